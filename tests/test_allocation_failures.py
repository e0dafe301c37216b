"""Memory running out at any one allocation of a module's import: the result is MemoryError, or the module as
it is with memory to spare, never a crash or another error (a missing builtin, say). Each module is imported
in a fresh interpreter, whose allocator fails the n-th allocation for one n after another until one succeeds.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

_testcapi = pytest.importorskip("_testcapi")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("this CPython's _testcapi cannot make allocations fail", allow_module_level=True)

PRELUDE = """
import importlib.util, json, sys, _testcapi
import lumivex.testing
lumivex.testing.install_cupy_standin()
import typing, lumivex.color.bgr, lumivex.transform.resize, lumivex.utils.dtypes  # what the modules import
# Cached as shapery asks for it: CPython 3.12's own code under typing's cache crashes when an allocation in it
# fails (a key tuple left with a hole), which is none of ours to test.
typing.Literal["HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported"]

def failing_once(n, step):
    # The n-th allocation from here fails (it may be one that the step recovers from).
    _testcapi.set_nomemory(n, n + 1)
    try:
        return step(), None
    except BaseException as error:
        return None, error
    finally:
        _testcapi.remove_mem_hooks()

def describe(error):
    return f"{type(error).__name__}: {error} {getattr(error, '__notes__', '')}"
"""

IMPORT = """
name = {name!r}
spec = importlib.util.find_spec(name)

def load():
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

wrong, n = [], 0
while True:
    module, error = failing_once(n, load)
    sys.modules.pop(name, None)
    if error is None:
        break  # past its last allocation, or one it could do without: imported
    if not isinstance(error, MemoryError):
        wrong.append([n, describe(error)])
    n += 1
works = len(module.create_gaussian_weights(4, 1)) == 4 if name.endswith("tile") else bool(module.guess_image_layout)
print(json.dumps(dict(tried=n, wrong=wrong, works=works)))
"""

def run_child(code):
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    completed = subprocess.run([sys.executable, "-P", "-c", PRELUDE + textwrap.dedent(code)], capture_output=True,
                               text=True, env=env, timeout=300)
    assert completed.returncode == 0, completed.stderr[-3000:]
    return json.loads(completed.stdout.splitlines()[-1])


@pytest.mark.parametrize("name", ["lumivex.utils.shapery", "lumivex.upscale.tile"])
def test_running_out_of_memory_in_an_import_gives_memory_error_and_nothing_else(name):
    result = run_child(IMPORT.format(name=name))
    assert result["wrong"] == [] and result["works"], result
    assert result["tried"] > 50  # the failures reached into the module's own work
