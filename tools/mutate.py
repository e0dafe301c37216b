"""Mutation check of the native modules: does the test suite notice small faults in the C++?

Makes a seeded random sample of mutants of src/lumivex_source (comparison and operator flips, changed
constants, negated conditions, deleted statements and error checks, swapped call arguments, ownership
flips), builds each one incrementally in a private copy of the sources (build/mutate/), and runs the tests
that concern the mutated module with -x against the mutated build. A mutant whose object file is identical
to the original's is equivalent by construction and is not tested; one that does not compile is stillborn.
The score is killed / (killed + survived); the survivors are printed with their diffs to be judged.

    .venv/bin/python tools/mutate.py [--count 200] [--seed 8] [--files GLOB ...] [--only ID ...]

Run it after `bash tools/test.sh` has made .venv. The working tree is never modified, so the suite can keep
running from it meanwhile.
"""

import argparse
import dataclasses
import json
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "mutate"
TREE = WORK / "tree"
BUILD = WORK / "build"
SITE = WORK / "site"
DEFAULT_FILES = ["src/lumivex_source/utils/*.cpp", "src/lumivex_source/upscale/*.cpp",
                 "src/lumivex_source/runtime/*.cpp"]
# The tests run for a mutant, its module's own first so that -x stops early. The module frames (shapery.cpp,
# tile.cpp) and the runtime also get the frame, import and linkage tests.
OWN_TESTS = {
    "utils": ["test_layout.py", "test_batch.py", "test_pixelshift.py"],
    "upscale": ["test_tile.py"],
    "runtime": ["test_binding.py", "test_frames.py"],
}
BODY_TESTS = ["test_tracebacks.py", "test_leaks.py", "test_binding.py"]
FRAME_TESTS = ["test_frames.py", "test_import_failures.py", "test_linkage.py"]
FRAME_SOURCES = {"shapery.cpp", "tile.cpp"}
MODULES = {"utils": "shapery", "upscale": "tile", "testing": "_broken_bodies"}

# (name, pattern, replacement) applied at each match on a code line; the replacement may use groups.
FLIPS = [
    ("relational", r"(?<=\s)<(?=\s)", "<="), ("relational", r"(?<=\s)<=(?=\s)", "<"),
    ("relational", r"(?<=\s)>(?=\s)", ">="), ("relational", r"(?<=\s)>=(?=\s)", ">"),
    ("relational", r"(?<=\s)==(?=\s)", "!="), ("relational", r"(?<=\s)!=(?=\s)", "=="),
    ("richcompare", r"\bPy_LT\b", "Py_LE"), ("richcompare", r"\bPy_LE\b", "Py_LT"),
    ("richcompare", r"\bPy_GT\b", "Py_GE"), ("richcompare", r"\bPy_GE\b", "Py_GT"),
    ("richcompare", r"\bPy_EQ\b", "Py_NE"), ("richcompare", r"\bPy_NE\b", "Py_EQ"),
    ("logical", r"(?<=\s)&&(?=\s)", "||"), ("logical", r"(?<=\s)\|\|(?=\s)", "&&"),
    ("arithmetic", r"(?<=\s)\+(?=\s)", "-"), ("arithmetic", r"(?<=\s)-(?=\s)", "+"),
    ("arithmetic", r"\+\+", "--"), ("arithmetic", r"(?<=\s)\+=(?=\s)", "-="),
    ("negate", r"\(!(?=[\w(])", "("), ("negate", r"\bif \((?=[\w.]+(->\w+)?\(?\)?\))", "if (!"),
    ("return", r"\breturn -1;", "return 0;"), ("return", r"\breturn 0;", "return -1;"),
    ("ownership", r"\bRef::steal\(", "Ref::borrow("), ("ownership", r"\bRef::borrow\(", "Ref::steal("),
    ("ownership", r"\bPy_(X?)DECREF\(", r"(void)("), ("ownership", r"\bPy_(X?)INCREF\(", r"(void)("),
    ("boolean", r"\btrue\b", "false"), ("boolean", r"\bfalse\b", "true"),
    ("rtops", r"\brt::add\(", "rt::subtract("), ("rtops", r"\brt::subtract\(", "rt::add("),
    ("rtops", r"\brt::multiply\(", "rt::add("), ("rtops", r"\brt::inplace_add\(", "rt::inplace_subtract("),
    ("rtops", r"\brt::inplace_subtract\(", "rt::inplace_add("),
    ("rtops", r"\brt::inplace_multiply\(", "rt::inplace_add("),
    ("rtops", r"\brt::true_divide\(", "rt::multiply("),
    ("rtops", r"\brt::floor_divide\(", "rt::true_divide("),
]
NUMBER = re.compile(r"(?<![\w.])(\d+)(?![\w.])")
# Statements worth deleting: single-line ifs (error checks), calls, assignments to existing names.
DELETABLE = re.compile(r"^\s*(if \(.*;|[\w:.>\-\[\]]+\(.*\);|[\w.\[\]]+(->\w+)? [-+*]?= .*;|Py_\w+\(.*\);)\s*$")


@dataclasses.dataclass
class Mutant:
    path: str
    line: int  # 1-based
    operator: str
    original: str
    mutated: str

    def ident(self):
        return f"{self.path}:{self.line}:{self.operator}:{zlib.crc32(self.mutated.encode()) % 10**6:06d}"


def code_spans(line):
    """Spans of `line` outside string and character literals and before a // comment."""
    spans, start, i, quote = [], 0, 0, None
    while i < len(line):
        ch = line[i]
        if quote:
            if ch == "\\":
                i += 1
            elif ch == quote:
                quote, start = None, i + 1
        elif ch in "\"'":
            spans.append((start, i))
            quote = ch
        elif line.startswith("//", i):
            spans.append((start, i))
            return spans
        i += 1
    if not quote:
        spans.append((start, len(line)))
    return spans


def inside(spans, begin, end):
    return any(a <= begin and end <= b for a, b in spans)


def swapped_arguments(line, spans):
    """Variants of `line` with two adjacent top-level arguments of one call exchanged."""
    variants = []
    for open_at in (m.start() for m in re.finditer(r"\w\(", line)):
        open_at += 1
        depth, args, arg_start = 0, [], open_at + 1
        for i in range(open_at, len(line)):
            ch = line[i]
            if ch in "([{":
                depth += 1
            elif ch in ")]}":
                depth -= 1
                if depth == 0:
                    args.append((arg_start, i))
                    break
            elif ch == "," and depth == 1:
                args.append((arg_start, i))
                arg_start = i + 1
        else:
            continue
        if not inside(spans, open_at, args[-1][1]):
            continue
        for (a0, a1), (b0, b1) in zip(args, args[1:]):
            first, second = line[a0:a1].strip(), line[b0:b1].strip()
            if first and second and first != second:
                variants.append(line[:a0] + line[a0:a1].replace(first, second) + line[a1:b0]
                                + line[b0:b1].replace(second, first) + line[b1:])
    return variants


def mutants_of(path):
    lines = (ROOT / path).read_text().splitlines()
    found = []
    for number, line in enumerate(lines, 1):
        stripped = line.strip()
        if not stripped or stripped.startswith(("//", "#", "extern \"C\"")) or "static_assert" in line:
            continue
        spans = code_spans(line)

        def add(operator, new):
            if new != line:
                found.append(Mutant(path, number, operator, line, new))

        for operator, pattern, replacement in FLIPS:
            for m in re.finditer(pattern, line):
                if inside(spans, m.start(), m.end()):
                    add(operator, line[:m.start()] + m.expand(replacement) + line[m.end():])
        for m in NUMBER.finditer(line):
            if inside(spans, m.start(), m.end()):
                value = int(m.group(1))
                for new in {value + 1, max(value - 1, 0)} - {value}:
                    add("constant", line[:m.start()] + str(new) + line[m.end():])
        if DELETABLE.match(line) and not stripped.startswith(("return", "} else")):
            add("delete", re.sub(r"\S.*", "", line))
        for variant in swapped_arguments(line, spans):
            add("swap-arguments", variant)
    return found


def run(command, timeout, **kwargs):
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout, **kwargs)
        return done.returncode, done.stdout + done.stderr
    except subprocess.TimeoutExpired:
        return "timeout", ""


def object_code(objects):
    # The whole object file: code, relocations and initialised data (a type object filled at compile time
    # lives in .data). The compiler's output is deterministic, so equal bytes mean an equivalent mutant.
    return {obj: obj.read_bytes() for obj in objects}


def objects_of(path):
    return sorted(BUILD.glob(f"CMakeFiles/*.dir/{path}.o"))


def prepare(python):
    """Copies the sources into the private tree, configures and builds it, and lays out an importable package."""
    WORK.mkdir(parents=True, exist_ok=True)
    for part in ["CMakeLists.txt", "cmake", "src/lumivex_source"]:
        top = ROOT / part
        sources = [top] if top.is_file() else sorted(p for p in top.rglob("*") if p.is_file())
        for source in sources:
            # Written afresh only when it differs (an interrupted run may have left a mutant), with a new
            # modification time so that the build sees it.
            target = TREE / source.relative_to(ROOT)
            if not target.exists() or target.read_bytes() != source.read_bytes():
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(source.read_bytes())
    if not (BUILD / "CMakeCache.txt").exists():
        generator = ["-G", "Ninja"] if shutil.which("ninja") else []
        code, out = run(["cmake", "-S", str(TREE), "-B", str(BUILD), *generator, "-DCMAKE_BUILD_TYPE=Release",
                         f"-DPython_EXECUTABLE={python}"], 600)
        if code != 0:
            sys.exit(f"mutate: configuring the private build failed:\n{out}")
    build_or_die()
    shutil.copytree(ROOT / "src" / "lumivex", SITE / "lumivex", dirs_exist_ok=True)
    link_modules()
    # An interpreter that finds the mutated package first and the project's test tools after it; tests that
    # start child interpreters with sys.executable and no PYTHONPATH then see the mutant too.
    venv = WORK / "venv"
    if not (venv / "bin" / "python").exists():
        base = run([python, "-c", "import sys; print(sys._base_executable)"], 60)[1].strip()
        code, out = run([base, "-m", "venv", "--without-pip", str(venv)], 300)
        if code != 0:
            sys.exit(f"mutate: making {venv} failed:\n{out}")
    packages = run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"], 60)[1].strip()
    (own,) = venv.glob("lib/python3*/site-packages")
    (own / "lumivex_mutate.pth").write_text(f"{SITE}\n{packages}\n")
    return str(venv / "bin" / "python")


def build():
    return run(["cmake", "--build", str(BUILD), "-j1"], 600)


def build_or_die():
    code, out = build()
    if code != 0:
        sys.exit(f"mutate: building the unmutated sources failed:\n{out}")


def link_modules():
    for folder, module in MODULES.items():
        (built,) = BUILD.glob(f"{module}.*.so")
        target = SITE / "lumivex" / folder / built.name
        target.unlink(missing_ok=True)
        target.symlink_to(built)


def tests_for(path, python, timeout):
    parts = path.split("/")
    area, name = parts[2], parts[-1]
    if area == "runtime":
        files = OWN_TESTS["runtime"] + sorted(p.name for p in (ROOT / "tests").glob("test_*.py"))
    else:
        files = OWN_TESTS[area] + BODY_TESTS + (FRAME_TESTS if name in FRAME_SOURCES else [])
    files = list(dict.fromkeys(f for f in files if f != "test_services.py"))
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return run([python, "-P", "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", *[f"tests/{f}" for f in files]],
               timeout, cwd=ROOT, env=env)


def judge(mutant, python, baseline, timeout):
    source = TREE / mutant.path
    original = source.read_text()
    lines = original.splitlines(keepends=True)
    lines[mutant.line - 1] = mutant.mutated + "\n"
    try:
        source.write_text("".join(lines))
        code, out = build()
        if code != 0:
            return "stillborn", ""
        objects = objects_of(mutant.path)
        if object_code(objects) == {o: baseline[o] for o in objects}:
            return "equivalent", ""
        code, out = tests_for(mutant.path, python, timeout)
        if code == 0:
            return "survived", ""
        return "killed", out.strip().splitlines()[-1] if out.strip() else f"exit {code}"
    finally:
        source.write_text(original)
        os.utime(source)


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("mutate: terminated"))  # so the mutated file is restored
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=200, help="mutants to sample (default 200)")
    parser.add_argument("--seed", type=int, default=8, help="seed of the sample (default 8)")
    parser.add_argument("--files", nargs="*", default=DEFAULT_FILES, help="source globs to mutate")
    parser.add_argument("--only", nargs="*", help="run just these mutant ids (as printed in a report)")
    parser.add_argument("--timeout", type=int, default=120, help="seconds per mutant's test run")
    parser.add_argument("--python", default=str(ROOT / ".venv" / "bin" / "python"))
    parser.add_argument("--report", default=str(WORK / "report.json"))
    parser.add_argument("--list", action="store_true", help="only count the candidate mutants per operator")
    args = parser.parse_args()

    paths = sorted({str(p.relative_to(ROOT)) for pattern in args.files for p in ROOT.glob(pattern)})
    candidates = [m for path in paths for m in mutants_of(path)]
    if args.list:
        counts = {}
        for m in candidates:
            counts[m.operator] = counts.get(m.operator, 0) + 1
        print(len(candidates), "candidates:", json.dumps(counts))
        return
    if args.only:
        wanted = set(args.only)
        sample = [m for m in candidates if m.ident() in wanted]
    else:
        sample = random.Random(args.seed).sample(candidates, min(args.count, len(candidates)))
        sample.sort(key=lambda m: (m.path, m.line))  # keeps incremental rebuilds to one object at a time

    python = prepare(args.python)
    baseline = object_code(sorted(BUILD.glob("CMakeFiles/*.dir/**/*.o")))
    code, out = tests_for("src/lumivex_source/runtime/-", python, args.timeout * 3)
    if code != 0:
        sys.exit(f"mutate: the unmutated build fails its tests:\n{out[-3000:]}")

    results, started = [], time.monotonic()
    for n, mutant in enumerate(sample, 1):
        verdict, detail = judge(mutant, python, baseline, args.timeout)
        results.append({**dataclasses.asdict(mutant), "id": mutant.ident(), "verdict": verdict, "detail": detail})
        print(f"[{n}/{len(sample)}] {verdict:10} {mutant.ident()}  {mutant.mutated.strip()[:90]}", flush=True)
    build()  # back to the unmutated objects

    tally = {v: sum(r["verdict"] == v for r in results) for v in ["killed", "survived", "equivalent", "stillborn"]}
    tested = tally["killed"] + tally["survived"]
    score = 100.0 * tally["killed"] / tested if tested else 100.0
    pathlib.Path(args.report).write_text(json.dumps({"tally": tally, "score": score, "mutants": results}, indent=1))
    print(f"\n{len(results)} mutants in {time.monotonic() - started:.0f} s: {json.dumps(tally)}")
    print(f"score: {tally['killed']}/{tested} behaviour-changing mutants killed = {score:.1f}%")
    for r in results:
        if r["verdict"] == "survived":
            print(f"\nSURVIVED {r['id']}\n  - {r['original'].strip()}\n  + {r['mutated'].strip()}")
    return 0 if score >= 95.0 else 1


if __name__ == "__main__":
    sys.exit(main())
