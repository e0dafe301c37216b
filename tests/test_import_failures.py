"""Import of the native modules when things go wrong, each in a fresh interpreter: a sibling module lacking a
name or failing, CuPy missing, a second exec with another module object, and a second interpreter.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

# Every child starts like the test session: `cupy` importable (real or stand-in) before lumivex modules load.
PRELUDE = """
import json, sys, types
import lumivex.testing
lumivex.testing.install_cupy_standin()

def report(**values):
    print("RESULT " + json.dumps(values))

def own_entries(error):
    found, tb = [], error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith("src/lumivex_source/"):
            found.append([code.co_name, code.co_filename, tb.tb_lineno])
        tb = tb.tb_next
    return found

def failure(module_name):
    try:
        __import__(module_name)
    except BaseException as error:
        return dict(type=type(error).__name__, message=str(error), entries=own_entries(error),
                    left_in_sys_modules=module_name in sys.modules, notes=getattr(error, "__notes__", []))
    return None
"""

SHAPERY, TILE = "lumivex.utils.shapery", "lumivex.upscale.tile"
INIT = {SHAPERY: ("init lumivex.utils.shapery", "src/lumivex_source/utils/shapery"),
        TILE: ("init lumivex.upscale.tile", "src/lumivex_source/upscale/tile")}


def run_child(*parts):
    """Runs the prelude and `parts` (each dedented on its own) in a new interpreter; returns what it reported."""
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    code = "\n".join([PRELUDE] + [textwrap.dedent(part) for part in parts])
    completed = subprocess.run([sys.executable, "-P", "-c", code],
                               capture_output=True, text=True, env=env, cwd=os.path.dirname(__file__), timeout=120)
    assert completed.returncode == 0, completed.stderr
    lines = [line for line in completed.stdout.splitlines() if line.startswith("RESULT ")]
    assert len(lines) == 1, completed.stdout + completed.stderr
    return json.loads(lines[0][len("RESULT "):])


INIT_LINE_OF_CUPY = {SHAPERY: 3, TILE: 1}


def init_entry(module, line):
    return [[*INIT[module], line]]


# ---- missing names and failing siblings ----

FAKE_RESIZE_WITHOUT_INTER_AUTO = """
    fake = types.ModuleType("lumivex.transform.resize")
    fake.resize = lambda *args, **kwargs: None
    sys.modules["lumivex.transform.resize"] = fake
"""
FAKE_DTYPES_WITHOUT_TO_FLOAT32 = """
    import lumivex.utils
    sys.modules["lumivex.utils.dtypes"] = types.ModuleType("lumivex.utils.dtypes")
"""
FAKE_BGR_WITH_BROKEN_GETATTR = """
    fake = types.ModuleType("lumivex.color.bgr")
    fake.bgr_to_rgb = lambda image: image
    def __getattr__(name):
        if name.startswith("__"):  # the import system asks for __path__ and friends
            raise AttributeError(name)
        raise KeyError(name)
    fake.__getattr__ = __getattr__
    sys.modules["lumivex.color.bgr"] = fake
"""

CUPY_WITH_BROKEN_SPEC = """
    class Refusing(types.ModuleType):
        @property
        def __spec__(self):
            raise RuntimeError("spec refused")
    sys.modules["cupy"] = Refusing("cupy")
"""
CUPY_WITH_BROKEN_INITIALIZING = """
    class Spec:
        @property
        def _initializing(self):
            raise RuntimeError("initializing refused")
    sys.modules["cupy"].__spec__ = Spec()
"""


@pytest.mark.parametrize("module, setup, error, message, line", [
    (SHAPERY, FAKE_RESIZE_WITHOUT_INTER_AUTO, "ImportError", "cannot import name INTER_AUTO", 6),
    (SHAPERY, FAKE_DTYPES_WITHOUT_TO_FLOAT32, "ImportError", "cannot import name to_float32", 7),
    (TILE, FAKE_DTYPES_WITHOUT_TO_FLOAT32, "ImportError", "cannot import name to_float32", 3),
    # Errors other than AttributeError while taking a name propagate unchanged.
    (SHAPERY, FAKE_BGR_WITH_BROKEN_GETATTR, "KeyError", "'rgb_to_bgr'", 5),
    # A sibling that cannot be imported at all.
    (SHAPERY, 'sys.modules["lumivex.color.bgr"] = None', "ModuleNotFoundError",
     "import of lumivex.color.bgr halted; None in sys.modules", 5),
    (SHAPERY, 'sys.modules["typing"] = None', "ModuleNotFoundError",
     "import of typing halted; None in sys.modules", 1),
    # CuPy missing: its import error propagates, with a note on how to install it.
    (SHAPERY, 'sys.modules["cupy"] = None', "ModuleNotFoundError", "import of cupy halted; None in sys.modules", 3),
    (TILE, 'sys.modules["cupy"] = None', "ModuleNotFoundError", "import of cupy halted; None in sys.modules", 1),
    # Asking an imported CuPy whether it is still initialising fails: that error propagates too.
    (SHAPERY, CUPY_WITH_BROKEN_SPEC, "RuntimeError", "spec refused", 3),
    (TILE, CUPY_WITH_BROKEN_INITIALIZING, "RuntimeError", "initializing refused", 1),
], ids=["shapery-INTER_AUTO", "shapery-to_float32", "tile-to_float32", "getattr-error", "bgr-missing",
        "typing-missing", "shapery-cupy-missing", "tile-cupy-missing", "cupy-spec-error", "cupy-initializing-error"])
def test_failing_import(module, setup, error, message, line):
    result = run_child(setup, f"report(**failure({module!r}))")
    notes = result.pop("notes")
    assert result == dict(type=error, message=message, entries=init_entry(module, line), left_in_sys_modules=False)
    if line == INIT_LINE_OF_CUPY[module] and error in ("ImportError", "ModuleNotFoundError"):
        # The error keeps its type and message; one note says how to get CuPy or the stand-in.
        assert len(notes) == 1
        for advice in ('pip install "lumivex[cuda12]"', '"lumivex[cuda13]"', "lumivex.testing.install_cupy_standin()"):
            assert advice in notes[0]
    else:
        assert notes == []


@pytest.mark.parametrize("module", [SHAPERY, TILE])
def test_import_without_the_builtin_range_fails_with_its_name_error(module):
    # The bodies hold the builtin `range` from the import on, so the import is where its absence shows.
    result = run_child("import builtins; saved = builtins.range; del builtins.range",
                       f"result = failure({module!r}); builtins.range = saved; report(**result)")
    assert result == dict(type="NameError", message="name 'range' is not defined", entries=[],
                          left_in_sys_modules=False, notes=[])


@pytest.mark.parametrize("module, setup, restore", [
    (SHAPERY, FAKE_RESIZE_WITHOUT_INTER_AUTO, 'del sys.modules["lumivex.transform.resize"]'),
    (SHAPERY, 'saved, sys.modules["cupy"] = sys.modules["cupy"], None', 'sys.modules["cupy"] = saved'),
    (TILE, FAKE_DTYPES_WITHOUT_TO_FLOAT32, 'del sys.modules["lumivex.utils.dtypes"]'),
], ids=["shapery-sibling", "shapery-cupy", "tile-sibling"])
def test_a_failed_import_can_be_retried(module, setup, restore):
    result = run_child(setup, f"""
    first = failure({module!r})
    {restore}
    import importlib, lumivex.utils.dtypes
    module = importlib.import_module({module!r})
    report(first_failed=first is not None, cp_bound=module.cp is sys.modules["cupy"],
           to_float32_bound=module.to_float32 is lumivex.utils.dtypes.to_float32,
           names=[name for name in vars(module) if not name.startswith("__")])
    """)
    assert result["first_failed"] and result["cp_bound"] and result["to_float32_bound"]
    expected = (["Literal", "cp", "bgr_to_rgb", "rgb_to_bgr", "INTER_AUTO", "resize", "to_float32", "Layout",
                 "guess_image_layout", "batch_to_images", "images_to_batch", "image_to_batch",
                 "image_to_batch_pixelshift", "pixelshift_fuse"] if module == SHAPERY else
                ["cp", "to_float32", "tile_image", "add_padding", "merge_tiles", "create_gaussian_weights"])
    assert result["names"] == expected


def test_a_retried_import_makes_a_new_module_whose_namespace_the_functions_use():
    result = run_child(FAKE_RESIZE_WITHOUT_INTER_AUTO, """
    made_by_failed_import = []
    def __getattr__(name):  # asked for the missing INTER_AUTO while the failing exec runs
        made_by_failed_import.append(sys.modules["lumivex.utils.shapery"])
        raise AttributeError(name)
    sys.modules["lumivex.transform.resize"].__getattr__ = __getattr__
    failure("lumivex.utils.shapery")
    del sys.modules["lumivex.transform.resize"]
    import importlib
    module = importlib.import_module("lumivex.utils.shapery")
    del module.cp
    try:
        module.image_to_batch(__import__("numpy").zeros((4, 4)), layout="HW")
    except NameError as error:
        looked_up = str(error)
    report(new=module is not made_by_failed_import[0], registered=sys.modules["lumivex.utils.shapery"] is module,
           again=importlib.import_module("lumivex.utils.shapery") is module, looked_up=looked_up)
    """)
    assert result == dict(new=True, registered=True, again=True, looked_up="name 'cp' is not defined")


def test_create_passes_spec_errors_on_and_exec_keeps_an_existing_sys_modules_entry():
    result = run_child("""
    import _imp, importlib.util
    spec = importlib.util.find_spec("lumivex.upscale.tile")
    class Refusing(type(spec)):
        @property
        def parent(self):
            raise RuntimeError("parent refused")
    spec.__class__ = Refusing
    try:
        _imp.create_dynamic(spec)
        created = "no error"
    except RuntimeError as error:
        created = str(error)
    spec.__class__ = Refusing.__base__
    placeholder = sys.modules["lumivex.upscale.tile"] = types.ModuleType("placeholder")
    module = importlib.util.module_from_spec(spec)
    once = _imp.create_dynamic(spec) is module  # the module object is made once, until an exec fails
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # on the interpreter it was built for, the exec warns nothing
        spec.loader.exec_module(module)
    report(created=created, once=once, kept=sys.modules["lumivex.upscale.tile"] is placeholder,
           package=module.__package__, works=module.create_gaussian_weights(3, 1).shape)
    """)
    assert result == dict(created="parent refused", once=True, kept=True, package="lumivex.upscale",
                          works=[3, 3, 1])


def test_an_imported_cupy_without_a_spec_counts_as_initialised():
    result = run_child("""
    stand_in = types.SimpleNamespace(**{key: value for key, value in vars(sys.modules["cupy"]).items()
                                        if key != "__spec__"})  # no __spec__ attribute at all
    sys.modules["cupy"] = stand_in
    import lumivex.upscale.tile as tile
    report(bound=tile.cp is stand_in)
    """)
    assert result == {"bound": True}


def test_a_name_missing_as_attribute_is_taken_from_sys_modules():
    result = run_child(FAKE_RESIZE_WITHOUT_INTER_AUTO, """
    marker = object()
    sys.modules["lumivex.transform.resize.INTER_AUTO"] = marker
    import lumivex.utils.shapery as shapery
    report(found=shapery.INTER_AUTO is marker)
    """)
    assert result == {"found": True}


def test_failure_leaves_the_process_usable():
    # After the failed import, the working module still answers; nothing freed early.
    result = run_child(FAKE_RESIZE_WITHOUT_INTER_AUTO, """
    failure("lumivex.utils.shapery")
    import gc; gc.collect()
    import lumivex.upscale.tile as tile
    report(doc=tile.tile_image.__doc__.splitlines()[1].strip())
    """)
    assert result == {"doc": "Split the input image into overlapping tiles."}


# ---- exec slot called again ----

@pytest.mark.parametrize("module, short", [(SHAPERY, "shapery"), (TILE, "tile")])
def test_exec_with_another_module_object_is_refused(module, short):
    result = run_child(f"""
    import ctypes, importlib
    module = importlib.import_module({module!r})
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype, get_def.argtypes = ctypes.c_void_p, [ctypes.py_object]
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.restype, exec_def.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
    definition = get_def(module)
    other = types.ModuleType("x")
    try:
        exec_def(other, definition)
        refused = None
    except BaseException as error:
        refused = [type(error).__name__, str(error)]
    before = dict(vars(module))
    module.cp = "rebound"
    again = exec_def(module, definition)
    unchanged = all(vars(module)[key] is value for key, value in before.items() if key != "cp")
    report(refused=refused, other_names=sorted(vars(other)), again=again, cp=module.cp, unchanged=unchanged,
           same=sys.modules[{module!r}] is module)
    """)
    assert result["refused"] == ["RuntimeError", f"Module '{short}' has already been imported. "
                                                 "Re-initialisation is not supported."]
    assert result["other_names"] == ["__doc__", "__loader__", "__name__", "__package__", "__spec__"]
    assert result["again"] == 0 and result["cp"] == "rebound"
    assert result["unchanged"] and result["same"]


# ---- a second interpreter in the process ----

# Runs inside the second interpreter; it reports through a file, since its exceptions stay inside it.
SUBINTERPRETER_CODE = """
import json
try:
    import {module}
    outcome = None
except BaseException as error:
    outcome = [type(error).__name__, str(error)]
with open({out!r}, "w") as stream:
    json.dump(outcome, stream)
"""


@pytest.mark.parametrize("module", [SHAPERY, TILE])
def test_second_interpreter_is_refused(module, tmp_path):
    pytest.importorskip("_testcapi")  # the child runs the same interpreter build
    out = str(tmp_path / "outcome.json")
    code = SUBINTERPRETER_CODE.format(module=module, out=out)
    # The legacy configuration shares the main interpreter's GIL, so only the module's own check can refuse it.
    result = run_child(f"""
    import importlib
    import _testcapi
    module = importlib.import_module({module!r})
    status = _testcapi.run_in_subinterp({code!r})
    with open({out!r}) as stream:
        outcome = json.load(stream)
    report(status=status, outcome=outcome, still_works=module.__test__ == {{}} and sys.modules[{module!r}] is module)
    """)
    refusal = "Interpreter change detected - this module can only be loaded into one interpreter per process."
    assert result == {"status": 0, "still_works": True, "outcome": ["ImportError", refusal]}


def test_failed_imports_leave_nothing_behind():
    # Each failed import makes an ImportError with a note and a traceback entry; all of it must die with it.
    result = run_child('''
        import builtins, gc, tracemalloc
        sys.modules["cupy"] = None

        def fail_both():
            for name in ("lumivex.utils.shapery", "lumivex.upscale.tile"):
                try:
                    __import__(name)
                except ImportError:
                    pass

        def state():
            gc.collect()
            return tracemalloc.get_traced_memory()[0], len(gc.get_objects()), sys.getrefcount(builtins)

        tracemalloc.start()
        # Warm up until the import system's caches are full: with an allocator that hands out fresh addresses
        # (the sanitizer build), CPython's type attribute cache keeps a few hundred of its temporary names.
        for _ in range(300):
            fail_both()
        memory, objects, references = state()
        for _ in range(80):
            fail_both()
        grown_memory, grown_objects, grown_references = state()
        report(memory=grown_memory - memory, objects=grown_objects - objects,
               builtins_references=grown_references - references)
    ''')
    # The import system's own caches grow by a few kilobytes once; a leak grows with every one of 160 failures.
    assert result["objects"] <= 0 and result["memory"] < 16384 and result["builtins_references"] == 0, result


@pytest.mark.parametrize("module", [SHAPERY, TILE])
def test_the_module_object_lives_on_when_nothing_else_holds_it(module):
    # The next import in the process is given the same object again, so it must outlive its other holders.
    result = run_child(f"""
    import gc, importlib, weakref
    module = importlib.import_module({module!r})
    held = weakref.ref(module)
    package, _, short = {module!r}.rpartition(".")
    del sys.modules[{module!r}], module
    delattr(sys.modules[package], short)
    gc.collect()
    report(alive=held() is not None, again=importlib.import_module({module!r}) is held())
    """)
    assert result == dict(alive=True, again=True)


IMPORT_WITH_EACH_ALLOCATION_FAILING = """
import importlib.util, typing, _testcapi
import lumivex.color.bgr, lumivex.transform.resize, lumivex.utils.dtypes  # what the modules import
# Cached as shapery asks for it: CPython 3.12's own code under typing's cache crashes when an allocation in it
# fails (a key tuple left with a hole), which is none of ours to test.
typing.Literal["HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported"]
spec = importlib.util.find_spec({name!r})

def load_failing(n):
    # The n-th allocation from here fails (it may be one that the import recovers from).
    _testcapi.set_nomemory(n, n + 1)
    try:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module, None
    except BaseException as error:
        return None, error
    finally:
        _testcapi.remove_mem_hooks()
        sys.modules.pop({name!r}, None)

wrong, n = [], 0
while True:
    module, error = load_failing(n)
    if error is None:
        break  # past its last allocation, or one it could do without: imported
    if not isinstance(error, MemoryError):
        wrong.append([n, f"{{type(error).__name__}}: {{error}}"])
    n += 1
works = (len(module.create_gaussian_weights(4, 1)) == 4 if {name!r}.endswith("tile")
         else module.guess_image_layout(__import__("numpy").zeros((3, 5, 5))) == "CHW")
report(tried=n, wrong=wrong, works=works)
"""


@pytest.mark.parametrize("module", [SHAPERY, TILE])
def test_running_out_of_memory_in_an_import_gives_memory_error_and_nothing_else(module):
    # Each allocation in turn fails, until one that fails no more is past the import's last; a missing builtin
    # or a crash in between is a fault.
    if not hasattr(pytest.importorskip("_testcapi"), "set_nomemory"):
        pytest.skip("this CPython's _testcapi cannot make allocations fail")
    result = run_child(IMPORT_WITH_EACH_ALLOCATION_FAILING.format(name=module))
    assert result["wrong"] == [] and result["works"], result
    assert result["tried"] > 50  # the failures reached into the module's own work
