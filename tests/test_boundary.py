"""The function boundary against what can break it from outside Python: bodies that break the error contract,
and an embedding application that finalises the interpreter and initialises it again.
"""

import importlib.machinery
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

BROKEN_FILE = "src/lumivex_source/testing/broken_bodies"
# Where tools/test.sh has the build put the test-only modules, which the package never ships; tools/mutate.py
# points LUMIVEX_TEST_MODULE_DIR at its mutated build instead.
TEST_MODULE_DIR = pathlib.Path(os.environ.get("LUMIVEX_TEST_MODULE_DIR")
                               or pathlib.Path(__file__).resolve().parents[1] / "build" / "test-modules")


@pytest.fixture(scope="module")
def broken():
    """The test-only module lumivex.testing._broken_bodies, loaded from where the build left it."""
    path = TEST_MODULE_DIR / f"_broken_bodies{importlib.machinery.EXTENSION_SUFFIXES[0]}"
    if not path.is_file():
        pytest.fail(f"{path} is missing: bash tools/test.sh builds the test-only modules", pytrace=False)
    located = importlib.util.spec_from_file_location("lumivex.testing._broken_bodies", path)
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


def entries(error):
    found, tb = [], error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == BROKEN_FILE:
            found.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return found


def test_body_failing_without_an_exception_raises_system_error(broken):
    with pytest.raises(SystemError, match=r"^<function fail_without_exception at 0x[0-9a-f]+> returned NULL "
                                          r"without setting an exception$") as caught:
        broken.fail_without_exception()
    assert entries(caught.value) == [("lumivex.testing._broken_bodies.fail_without_exception", 3)]


def test_body_returning_a_result_with_an_exception_set_raises_system_error(broken):
    with pytest.raises(SystemError, match=r"^<function return_with_exception at 0x[0-9a-f]+> returned a result "
                                          r"with an exception set$") as caught:
        broken.return_with_exception()
    cause = caught.value.__cause__
    assert type(cause) is ValueError and str(cause) == "left set by the body"
    assert caught.value.__context__ is cause
    assert entries(caught.value) == [("lumivex.testing._broken_bodies.return_with_exception", 5)]
    assert broken.fail_without_exception.__name__  # the interpreter is still usable


# ---- finalising and initialising the interpreter again in one process ----

EMBEDDER = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdio.h>

/* Runs the script argv[1] in a fresh interpreter, finalises it, and does so again. */
int main(int argc, char** argv) {
    if (argc != 2) return 2;
    FILE* file = fopen(argv[1], "r");
    if (!file) return 2;
    static char script[1 << 16];
    size_t length = fread(script, 1, sizeof script - 1, file);
    fclose(file);
    script[length] = '\0';
    for (int round = 1; round <= 2; ++round) {
        Py_Initialize();
        printf("round %d\n", round);
        fflush(stdout);
        if (PyRun_SimpleString(script) != 0) return 3;
        if (Py_FinalizeEx() < 0) return 4;
    }
    return 0;
}
"""

# A plain module plays `cupy`: NumPy cannot be initialised twice in one process, and the import only binds it.
SCRIPT = """
import sys, types
sys.modules["cupy"] = types.ModuleType("cupy")

class Image:
    ndim = 3
    shape = (480, 640, 3)

for name in ("lumivex.utils.shapery", "lumivex.upscale.tile"):
    try:
        module = __import__(name, fromlist=["*"])
    except ImportError as error:
        print(name, "refused:", error)
    else:
        print(name, "imported:", module.__dict__.get("__name__"))
        if name.endswith("shapery"):
            print("guess:", module.guess_image_layout(Image()))
"""


def embedding_flags():
    """Compiler and linker flags for a program embedding this interpreter, or None when it cannot be built."""
    config = os.path.join(sysconfig.get_config_var("BINDIR") or "", f"python{sysconfig.get_python_version()}-config")
    if not os.path.exists(config):
        return None
    flags = subprocess.run([config, "--cflags", "--ldflags", "--embed"], capture_output=True, text=True)
    if flags.returncode != 0:
        return None
    found = flags.stdout.split()
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        # A static libpython lives in the program: the extension modules must find its symbols there.
        found += (sysconfig.get_config_var("LINKFORSHARED") or "").split()
    return found


def test_reinitialised_interpreter_refuses_the_dead_modules(tmp_path):
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler")
    flags = embedding_flags()
    if flags is None:
        pytest.skip("no python-config for this interpreter")
    source, program, script = tmp_path / "embed.c", tmp_path / "embed", tmp_path / "script.py"
    source.write_text(EMBEDDER)
    script.write_text(SCRIPT)
    subprocess.run([compiler, str(source), "-o", str(program), *flags], check=True, capture_output=True)

    # The child sees what this interpreter sees (the installed package and what it imports, NumPy included).
    env = dict(os.environ, PYTHONHOME=sys.base_prefix, PYTHONPATH=os.pathsep.join(path for path in sys.path if path))
    completed = subprocess.run([str(program), str(script)], capture_output=True, text=True, env=env, timeout=120)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    refusal = ("cannot be imported again after the interpreter that first imported it was finalised: it can only "
               "be loaded once per process.")
    assert completed.stdout.splitlines() == [
        "round 1",
        "lumivex.utils.shapery imported: lumivex.utils.shapery",
        "guess: HWC",
        "lumivex.upscale.tile imported: lumivex.upscale.tile",
        "round 2",
        f"lumivex.utils.shapery refused: Module 'shapery' {refusal}",
        f"lumivex.upscale.tile refused: Module 'tile' {refusal}",
    ]
