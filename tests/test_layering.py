"""The package stands on its own: none of its modules imports the test aids of lumivex.testing, and the command
and the Ray worker get their CPU fallback from lumivex.cpu_fallback.
"""

import ast
import os
import pathlib
import subprocess
import sys

import lumivex

HOME = pathlib.Path(lumivex.__file__).parent
TEST_AIDS = "lumivex.testing"


def imported_modules(path):
    """Every module an import statement anywhere in `path` names, relative imports resolved."""
    parts = ["lumivex", *path.relative_to(HOME).parent.parts]  # the package the file is in
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"), str(path))):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            base = node.module
            if node.level:  # `from .. import x` in lumivex/upscale/cli.py is lumivex.x
                base = ".".join(parts[:len(parts) - node.level + 1] + ([node.module] if node.module else []))
            yield base
            yield from (f"{base}.{alias.name}" for alias in node.names)  # `from lumivex import testing`


def test_no_module_of_the_package_imports_the_test_aids():
    offenders = sorted(
        f"{path.relative_to(HOME.parent)}: {name}"
        for path in HOME.rglob("*.py") if HOME / "testing" not in path.parents
        for name in imported_modules(path) if name == TEST_AIDS or name.startswith(TEST_AIDS + "."))
    assert offenders == []


def test_the_command_and_the_worker_run_without_the_test_aids(tmp_path):
    # A fresh interpreter, as a user's: the command checks its input (after setting up `cupy`) and refuses it,
    # and a Ray worker sets itself up with a model of its own.
    script = """
import sys
from lumivex.upscale import Upscaler, cli, distributed
try:
    status = cli.main([sys.argv[1]])
except SystemExit as leaving:
    status = leaving.code
distributed.UpscaleWorker(lambda: Upscaler(lambda batch: batch, scale=1, tile_size=8, overlap=2,
                                                  batch_size=1))
print(status, "cupy" in sys.modules, sorted(name for name in sys.modules if name.startswith("lumivex.testing")))
"""
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    completed = subprocess.run([sys.executable, "-P", "-c", script, str(tmp_path / "missing.png")],
                               capture_output=True, text=True, env=env, cwd=tmp_path, timeout=120)
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines()[-1] == "2 True []", completed.stdout + completed.stderr
