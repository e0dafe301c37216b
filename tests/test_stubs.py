"""The type stubs shipped for the native modules agree with the installed modules, checked by mypy's stubtest."""

import ast
import importlib.util
import pathlib
import subprocess
import sys
import typing

import pytest

import lumivex.utils.shapery as shapery

pytest.importorskip("mypy", reason="mypy (the test extra) is not installed")

MODULES = ["lumivex.utils.shapery", "lumivex.upscale.tile"]

# stubtest imports the modules itself, so `cupy` must be importable in its process first.
STUBTEST = """
import sys
import lumivex.testing
lumivex.testing.install_cupy_standin()
from mypy import stubtest
sys.exit(stubtest.test_stubs(stubtest.parse_options(sys.argv[1:])))
"""

# CuPy ships no type information: its arrays are Any to a type checker.
MYPY_CONFIG = "[mypy]\n[mypy-cupy,cupy.*]\nignore_missing_imports = True\n"
# stubtest compares a Literal alias only as a Union, which no runtime Literal is (checked below instead);
# __test__ is the doctest table every module binds, of no use to a type checker.
ALLOWLIST = "lumivex.utils.shapery.Layout\nlumivex.utils.shapery.__test__\nlumivex.upscale.tile.__test__\n"


def test_stubs_match_the_installed_modules(tmp_path):
    (tmp_path / "mypy.ini").write_text(MYPY_CONFIG)
    (tmp_path / "allowlist.txt").write_text(ALLOWLIST)
    completed = subprocess.run(
        [sys.executable, "-P", "-c", STUBTEST, "--mypy-config-file", "mypy.ini", "--allowlist", "allowlist.txt",
         *MODULES], capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert completed.returncode == 0, completed.stdout + completed.stderr


def test_stub_layout_names_the_layouts_of_the_module():
    stub = pathlib.Path(importlib.util.find_spec(MODULES[0]).origin).with_name("shapery.pyi")
    alias = next(node for node in ast.parse(stub.read_text()).body
                 if isinstance(node, ast.AnnAssign) and getattr(node.target, "id", None) == "Layout")
    assert ast.unparse(alias.value.value) == "Literal"
    assert ast.literal_eval(alias.value.slice) == typing.get_args(shapery.Layout)
