"""What the two modes of tools/mutate.py share: the mutant record, the work folder, running commands and tests,
and the private interpreter that finds a mutated package before the installed one.
"""

import dataclasses
import os
import pathlib
import subprocess
import sys
import zlib
from xml.etree import ElementTree

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "mutate"


@dataclasses.dataclass
class Mutant:
    path: str      # relative to the repository root
    line: int      # first line replaced, 1-based
    operator: str
    original: str  # the lines line..end_line as they are
    mutated: str   # what replaces them (any number of lines)
    end_line: int = 0  # last line replaced; 0: the same as line

    def __post_init__(self):
        self.end_line = self.end_line or self.line

    def ident(self):
        return f"{self.path}:{self.line}:{self.operator}:{zlib.crc32(self.mutated.encode()) % 10**6:06d}"

    def apply(self, text):
        """`text` (the whole unmutated file) with this mutant in place."""
        lines = text.splitlines(keepends=True)
        lines[self.line - 1:self.end_line] = [self.mutated + "\n"]
        return "".join(lines)


def run(command, timeout, **kwargs):
    """(exit status or "timeout", stdout and stderr together)."""
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, **kwargs)
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired:
        return "timeout", ""


def run_tests(python, files, timeout, options=(), **env):
    """The test files (names in tests/) run with -x by `python`, from the repository root as the suite runs."""
    environment = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    environment.update(PYTHONDONTWRITEBYTECODE="1", **env)
    return run([python, "-P", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *options,
                *[f"tests/{f}" for f in files]], timeout, cwd=ROOT, env=environment)


def seconds_per_file(junit):
    """Seconds each test file took, by file name, from pytest's --junitxml report in the xunit1 form."""
    spent = {}
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        name = pathlib.Path(case.get("file", "")).name
        spent[name] = spent.get(name, 0.0) + float(case.get("time", 0))
    return spent


def site_packages(python):
    """The folder the interpreter `python` installs pure-Python packages into (.venv's, where lumivex is)."""
    return pathlib.Path(run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"], 60)[1].strip())


def private_interpreter(venv, site, python):
    """A venv's python that finds `site` (the mutated package) first and what `python` has installed after it;
    tests that start child interpreters with sys.executable and no PYTHONPATH then see the mutant too."""
    if not (venv / "bin" / "python").exists():
        base = run([python, "-c", "import sys; print(sys._base_executable)"], 60)[1].strip()
        code, out = run([base, "-m", "venv", "--without-pip", str(venv)], 300)
        if code != 0:
            sys.exit(f"mutate: making {venv} failed:\n{out}")
    (own,) = venv.glob("lib/python3*/site-packages")
    (own / "lumivex_mutate.pth").write_text(f"{site}\n{site_packages(python)}\n")
    return str(venv / "bin" / "python")
