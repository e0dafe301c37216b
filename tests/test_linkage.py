# Checks the installed extension modules' linkage: they must load with nothing but the C
# library underneath and expose nothing but their PyInit_ entry point.
import importlib.util
import re
import shutil
import subprocess

import pytest

MODULES = ["lumivex.utils.shapery", "lumivex.upscale.tile"]


def _module_file(qualname):
    # find_spec on a submodule imports its parent packages but not the module itself,
    # which would need CuPy.
    found = importlib.util.find_spec(qualname)
    assert found is not None and found.origin, f"{qualname} is not installed"
    assert found.origin.endswith(".so"), found.origin
    return found.origin


def _run(tool, *args):
    if shutil.which(tool) is None:
        pytest.skip(f"{tool} is not available")
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def _needed(path):
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", _run("readelf", "-d", path))


@pytest.mark.parametrize("qualname", MODULES)
def test_needs_only_the_c_library(qualname):
    needed = _needed(_module_file(qualname))
    if any(lib.startswith(("libasan", "libubsan")) for lib in needed):
        pytest.skip("sanitizer build")
    assert "libc.so.6" in needed
    extra = [lib for lib in needed if lib != "libc.so.6" and not lib.startswith("ld-linux")]
    assert extra == []


@pytest.mark.parametrize("qualname", MODULES)
def test_exports_only_the_entry_point(qualname):
    out = _run("nm", "-D", "--defined-only", _module_file(qualname))
    # Columns: value, type letter, name. Anything else the loader could bind to from
    # outside (functions, data, weak or unique symbols) is a leak of internals.
    exported = sorted(fields[2] for fields in (line.split() for line in out.splitlines())
                      if len(fields) == 3)
    assert exported == ["PyInit_" + qualname.rpartition(".")[2]]
