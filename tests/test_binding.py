"""Argument binding of the public functions of both modules: the exact TypeError messages, the exact-type tests
and their notes, where traceback entries appear, reference counts on every path, and hostile arguments.
"""

import ctypes
import gc
import sys

import numpy as np
import pytest

import lumivex.upscale.tile as tile
import lumivex.utils.shapery as shapery

SUBCLASS_NOTE = "subclass"
# Each public function by name, with its module (sibling services bound in the namespaces are left out).
MODULE_OF = {name: module for module in (shapery, tile) for name, value in vars(module).items()
             if callable(value) and getattr(value, "__module__", None) == module.__name__}


class Poison:
    """Stands for an image; any attribute read fails at once, so that no body can get far with it."""

    def __init__(self):
        self.reads = []

    def __getattr__(self, name):
        self.reads.append(name)
        raise LookupError(f"poison: {name}")


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


IMG = Poison()


def entries(error):
    """(name, file, line) of every traceback entry of `error`."""
    tb, found = error.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


def own_entries(error):
    return [entry for entry in entries(error) if entry[1].startswith("src/lumivex_source/")]


def entry_of(fn, line):
    module = MODULE_OF[fn.__name__]
    return (f"{module.__name__}.{fn.__name__}", fn.__code__.co_filename, line)


# ---- argument count and keyword errors ----

S, T = shapery, tile
ARITY_CASES = [
    (S.guess_image_layout, (), {}, "guess_image_layout() takes exactly 1 positional argument (0 given)"),
    (S.guess_image_layout, (IMG, IMG), {}, "guess_image_layout() takes exactly 1 positional argument (2 given)"),
    (S.batch_to_images, (), {}, "batch_to_images() takes at least 1 positional argument (0 given)"),
    (S.batch_to_images, (IMG,) * 6, {}, "batch_to_images() takes at most 5 positional arguments (6 given)"),
    (S.images_to_batch, (IMG,) * 7, {}, "images_to_batch() takes at most 6 positional arguments (7 given)"),
    (S.image_to_batch, (IMG,) * 7, {}, "image_to_batch() takes at most 6 positional arguments (7 given)"),
    (S.image_to_batch, (), {"scalefactor": 1.0}, "image_to_batch() takes at least 1 positional argument (0 given)"),
    (S.image_to_batch_pixelshift, (IMG,) * 6, {},
     "image_to_batch_pixelshift() takes at most 5 positional arguments (6 given)"),
    (S.pixelshift_fuse, (IMG, IMG, IMG, 0), {}, "pixelshift_fuse() takes exactly 5 positional arguments (4 given)"),
    (S.pixelshift_fuse, (IMG,) * 6, {}, "pixelshift_fuse() takes exactly 5 positional arguments (6 given)"),
    # Keywords that leave a required parameter unfilled: the count is of leading parameters with a value.
    (S.pixelshift_fuse, (IMG, IMG, IMG), {"dim": 1},
     "pixelshift_fuse() takes exactly 5 positional arguments (3 given)"),
    (S.pixelshift_fuse, (IMG,), {"hits": IMG, "acc": IMG, "dim": 1},
     "pixelshift_fuse() takes exactly 5 positional arguments (3 given)"),
    (S.pixelshift_fuse, (), {"acc": IMG, "hits": IMG, "start_idx": 0, "dim": 1},
     "pixelshift_fuse() takes exactly 5 positional arguments (0 given)"),
    (T.tile_image, (), {}, "tile_image() takes at least 1 positional argument (0 given)"),
    (T.tile_image, (IMG, 1, 2, 3), {}, "tile_image() takes at most 3 positional arguments (4 given)"),
    (T.add_padding, (IMG,) * 4, {}, "add_padding() takes at most 3 positional arguments (4 given)"),
    (T.merge_tiles, ([], (), ()), {}, "merge_tiles() takes at least 4 positional arguments (3 given)"),
    (T.merge_tiles, ([], (), (), 2, 1, 1, 1), {}, "merge_tiles() takes at most 6 positional arguments (7 given)"),
    (T.merge_tiles, ([],), {"padded_shape": (), "scale": 2},
     "merge_tiles() takes at least 4 positional arguments (1 given)"),
    (T.create_gaussian_weights, (8,), {}, "create_gaussian_weights() takes exactly 2 positional arguments (1 given)"),
    (T.create_gaussian_weights, (), {"sigma": 2},
     "create_gaussian_weights() takes exactly 2 positional arguments (0 given)"),
    # Keyword errors.
    (S.guess_image_layout, (IMG,), {"layout": "HW"},
     "guess_image_layout() got an unexpected keyword argument 'layout'"),
    (S.guess_image_layout, (IMG,), {"image": IMG},
     "guess_image_layout() got multiple values for keyword argument 'image'"),
    (S.image_to_batch, (IMG, None, None, None, True, "HWC"), {"layout": "CHW"},
     "image_to_batch() got multiple values for keyword argument 'layout'"),
    (S.image_to_batch_pixelshift, (IMG,), {"size": 3},
     "image_to_batch_pixelshift() got an unexpected keyword argument 'size'"),
    (T.tile_image, (IMG,), {"patch_size": 64}, "tile_image() got an unexpected keyword argument 'patch_size'"),
    (T.add_padding, (IMG,), {"tile_size": 64}, "add_padding() got an unexpected keyword argument 'tile_size'"),
    (T.merge_tiles, ([], (), (), 2, 128), {"tile_size": 64},
     "merge_tiles() got multiple values for keyword argument 'tile_size'"),
    (T.create_gaussian_weights, (8,), {"Sigma": 2},
     "create_gaussian_weights() got an unexpected keyword argument 'Sigma'"),
    (S.guess_image_layout, (), {"画像": IMG}, "guess_image_layout() got an unexpected keyword argument '画像'"),
    # Binding comes before the type tests: the keyword error wins over a wrong type.
    (S.image_to_batch, (IMG, 1), {"colour": 1}, "image_to_batch() got an unexpected keyword argument 'colour'"),
    (T.create_gaussian_weights, (8.0,), {"size": 8},
     "create_gaussian_weights() got multiple values for keyword argument 'size'"),
]


@pytest.mark.parametrize("fn, args, kwargs, message", ARITY_CASES)
def test_binding_errors(fn, args, kwargs, message):
    IMG.reads.clear()
    with pytest.raises(TypeError) as caught:
        fn(*args, **kwargs)
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")
    # One entry, at the function's first line, and it is the innermost one.
    assert own_entries(caught.value) == [entry_of(fn, fn.__code__.co_firstlineno)]
    assert entries(caught.value)[-1] == entry_of(fn, fn.__code__.co_firstlineno)
    assert IMG.reads == []


@pytest.mark.parametrize("fn", [shapery.guess_image_layout, shapery.image_to_batch, tile.merge_tiles])
def test_huge_positional_count(fn):
    bound = "exactly" if fn.__defaults__ is None else "at most"
    count = fn.__code__.co_argcount
    with pytest.raises(TypeError) as caught:
        fn(*range(10**5))
    assert str(caught.value) == (f"{fn.__name__}() takes {bound} {count} positional argument"
                                 f"{'' if count == 1 else 's'} (100000 given)")


def test_keyword_names_built_at_run_time_match():
    name = "".join(["im", "age"])  # equal to the parameter name but not the same object
    with pytest.raises(TypeError, match="multiple values for keyword argument 'image'"):
        shapery.guess_image_layout(IMG, **{name: IMG})
    assert shapery.guess_image_layout(**{name: np.empty((2, 2))}) == "HW"


class StrSub(str):
    pass


def test_str_subclass_keyword_is_a_keyword():
    assert shapery.guess_image_layout(**{StrSub("image"): np.empty((2, 2))}) == "HW"


# Non-string keyword names can only arrive from C: through the vectorcall protocol or PyObject_Call.
_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
_call = ctypes.pythonapi.PyObject_Call
_call.restype = ctypes.py_object
_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


def vectorcall(fn, args, kwnames):
    stack = (ctypes.py_object * max(len(args), 1))(*args)
    return _vectorcall(fn, stack, len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize("fn, positional, keys", [
    (shapery.guess_image_layout, 0, (1,)),
    (shapery.guess_image_layout, 1, (None,)),
    (shapery.image_to_batch, 1, ("scalefactor", b"size")),
    (tile.merge_tiles, 4, (3.5,)),
])
def test_non_string_keywords_through_vectorcall(fn, positional, keys):
    args = [IMG] * positional + [object() for _ in keys]
    with pytest.raises(TypeError) as caught:
        vectorcall(fn, args, keys)
    assert str(caught.value) == f"{fn.__name__}() keywords must be strings"
    assert own_entries(caught.value) == [entry_of(fn, fn.__code__.co_firstlineno)]


@pytest.mark.parametrize("kwargs", [{1: 2}, {"image": IMG, (1, 2): 3}])
def test_non_string_keywords_through_call_are_refused(kwargs):
    # The interpreter's dict unpacking refuses these before the function sees them.
    with pytest.raises(TypeError, match="keywords must be strings$"):
        _call(shapery.guess_image_layout, (), kwargs)


def test_vectorcall_with_repeated_keyword_name():
    with pytest.raises(TypeError) as caught:
        vectorcall(tile.create_gaussian_weights, [8, 1, 2], ("sigma", "sigma"))
    assert str(caught.value) == "create_gaussian_weights() got multiple values for keyword argument 'sigma'"


# ---- exact-type tests ----

LONG_NAME_TYPE = type("L" * 300, (), {})

TYPE_CASES = [
    (S.image_to_batch, (IMG, 1), {}, "scalefactor", "float", "int", False),
    (S.image_to_batch, (IMG, True), {}, "scalefactor", "float", "bool", False),
    (S.image_to_batch, (IMG,), {"scalefactor": FloatSub(0.5)}, "scalefactor", "float", "FloatSub", True),
    (S.image_to_batch, (IMG, np.float64(0.5)), {}, "scalefactor", "float", "numpy.float64", True),
    (S.images_to_batch, ([IMG],), {"scalefactor": "0.5"}, "scalefactor", "float", "str", False),
    (S.batch_to_images, (IMG, 1), {}, "scalefactor", "float", "int", False),
    (S.image_to_batch_pixelshift, (IMG, True), {}, "dim", "int", "bool", True),
    (S.image_to_batch_pixelshift, (IMG, 4.0), {}, "dim", "int", "float", False),
    (S.image_to_batch_pixelshift, (IMG, None), {}, "dim", "int", "NoneType", False),
    (S.image_to_batch_pixelshift, (IMG, 4.0, 1), {}, "dim", "int", "float", False),  # parameter order
    (S.image_to_batch_pixelshift, (IMG, 4, 1), {}, "scalefactor", "float", "int", False),
    (S.image_to_batch_pixelshift, (IMG,), {"scalefactor": 1, "dim": IntSub(4)}, "dim", "int", "IntSub", True),
    (S.pixelshift_fuse, (IMG, IMG, IMG, 1.0, 1.0), {}, "start_idx", "int", "float", False),
    (S.pixelshift_fuse, (IMG, IMG, IMG, 0, None), {}, "dim", "int", "NoneType", False),
    (S.pixelshift_fuse, (IMG, IMG, IMG), {"dim": 2, "start_idx": False}, "start_idx", "int", "bool", True),
    (S.pixelshift_fuse, (IMG, IMG, IMG, np.int64(0), 2), {}, "start_idx", "int", "numpy.int64", False),
    (T.tile_image, (IMG, 128.0), {}, "tile_size", "int", "float", False),
    (T.tile_image, (IMG, True), {}, "tile_size", "int", "bool", True),
    (T.tile_image, (IMG,), {"overlap": None}, "overlap", "int", "NoneType", False),
    (T.add_padding, (IMG, 64, 1.5), {}, "overlap", "int", "float", False),
    (T.add_padding, (IMG,), {"patch_size": IntSub(64)}, "patch_size", "int", "IntSub", True),
    (T.merge_tiles, ((), (4, 4, 3), (4, 4, 3), 2), {}, "tiles", "list", "tuple", False),
    (T.merge_tiles, ([], (4, 4, 3), [4, 4, 3], 2), {}, "padded_shape", "tuple", "list", False),
    (T.merge_tiles, (ListSub(), (4, 4, 3), (4, 4, 3), 2), {}, "tiles", "list", "ListSub", True),
    (T.merge_tiles, ([], TupleSub(), (), 2), {}, "original_shape", "tuple", "TupleSub", True),
    (T.merge_tiles, ([], (), (), 2.0), {}, "scale", "int", "float", False),
    (T.merge_tiles, ([], (), (), 2, None), {}, "tile_size", "int", "NoneType", False),
    (T.merge_tiles, ([], (), (), 2), {"overlap": False}, "overlap", "int", "bool", True),
    (T.merge_tiles, (None, None, None, None), {}, "tiles", "list", "NoneType", False),
    (T.create_gaussian_weights, (8, 2.0), {}, "sigma", "int", "float", False),
    (T.create_gaussian_weights, (True, 1), {}, "size", "int", "bool", True),
    (T.create_gaussian_weights, (LONG_NAME_TYPE(), 1), {}, "size", "int", "L" * 200, False),
    # A non-ASCII name cut at 200 bytes, inside a character: the remnant byte becomes U+FFFD.
    (T.create_gaussian_weights, (type("x" + "\u00e9" * 150, (), {})(), 1), {}, "size", "int",
     "x" + "\u00e9" * 99 + "\ufffd", False),
]


@pytest.mark.parametrize("fn, args, kwargs, parameter, expected, given, noted", TYPE_CASES)
def test_exact_type_tests(fn, args, kwargs, parameter, expected, given, noted, monkeypatch, recorder):
    module = MODULE_OF[fn.__name__]
    fake_cp = recorder()
    monkeypatch.setattr(module, "cp", fake_cp)
    IMG.reads.clear()
    with pytest.raises(TypeError) as caught:
        fn(*args, **kwargs)
    error = caught.value
    assert str(error) == f"Argument '{parameter}' has incorrect type (expected {expected}, got {given})"
    if noted:
        assert len(error.__notes__) == 1 and SUBCLASS_NOTE in error.__notes__[0]
    else:
        assert not hasattr(error, "__notes__")
    assert own_entries(error) == []  # a failed type test adds no traceback entry
    assert IMG.reads == [] and fake_cp.calls == []  # nothing of the body ran


def passes_type_tests(fn, *args, **kwargs):
    """True when the call got past binding and the type tests: the body ran (returned or raised from inside)."""
    try:
        fn(*args, **kwargs)
    except Exception as error:
        # The arity is right, so an entry of this function can only come from its body.
        return any(entry[0].endswith("." + fn.__name__) for entry in own_entries(error))
    return True


@pytest.mark.parametrize("fn, args, kwargs", [
    (S.image_to_batch, (IMG, None), {}),
    (S.image_to_batch, (IMG, 0.5), {}),
    (S.image_to_batch, (IMG,), {"scalefactor": 0.5, "size": 1.5, "mean": "x", "swap_rb": 0, "layout": 7}),
    (S.images_to_batch, (IMG, -0.0, "size", None, None, None), {}),
    (S.batch_to_images, (IMG,), {"swap_rb": "yes", "layout": None}),
    (S.image_to_batch_pixelshift, (IMG, 2, None), {}),
    (S.image_to_batch_pixelshift, (IMG,), {"dim": 10**30, "scalefactor": float("nan")}),
    (S.pixelshift_fuse, (IMG, IMG, IMG, -1, 0), {}),
    (T.tile_image, (IMG,), {}),
    (T.add_padding, (IMG, 0, -5), {}),
    (T.merge_tiles, ([IMG], (1,), (), 0), {}),
    (T.create_gaussian_weights, (), {"sigma": 1, "size": 2}),
])
def test_accepted_values_reach_the_body(fn, args, kwargs, monkeypatch):
    # With `cp` and the image unusable, a body stops at its first use of either.
    monkeypatch.setattr(MODULE_OF[fn.__name__], "cp", Poison())
    assert passes_type_tests(fn, *args, **kwargs)


# ---- reference counts ----

class Shape:
    """Shape-like object; its elements are fresh objects whose counts can be watched."""

    def __init__(self, *sizes):
        self.sizes = sizes

    def __getitem__(self, index):
        return self.sizes[index]


class Image:
    def __init__(self, ndim, shape):
        self.ndim = ndim
        self.shape = shape


def fresh(n):
    """A new float equal to `n`: small ints are shared and immortal, so their counts never move."""
    return float(str(n))


def fresh_int(n):
    """A new int object (beyond the cached small ints)."""
    return 10**30 + n


LEAK_CASES = {
    "success-3d": lambda: (shapery.guess_image_layout, (Image(fresh(3), (fresh(3), fresh(640), fresh(480))),), {}),
    "success-4d": lambda: (shapery.guess_image_layout, (Image(fresh(4), Shape(8, fresh(3), fresh(224), 224)),), {}),
    "success-size-test": lambda: (shapery.guess_image_layout, (Image(3, (fresh(64), fresh(64), fresh(2))),), {}),
    "body-error": lambda: (shapery.guess_image_layout, (Image(3, None),), {}),
    "no-ndim": lambda: (shapery.guess_image_layout, (object(),), {}),
    "too-many": lambda: (shapery.guess_image_layout, (object(), object()), {}),
    "too-few": lambda: (tile.merge_tiles, ([], (1,)), {"scale": fresh_int(2)}),
    "unexpected": lambda: (shapery.image_to_batch, (object(),), {"bogus": object()}),
    "repeated": lambda: (tile.tile_image, (object(), fresh_int(64)), {"tile_size": object()}),
    "type-plain": lambda: (shapery.image_to_batch, (object(), fresh_int(1)), {}),
    "type-noted": lambda: (tile.merge_tiles, (ListSub(), (), (), fresh_int(2)), {}),
    "type-keyword": lambda: (shapery.pixelshift_fuse, (object(), object(), object()),
                             {"start_idx": 1.5, "dim": FloatSub(2)}),
}


def counts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def watched(args, kwargs):
    found = list(args) + list(kwargs.values())
    for obj in list(found):
        found.extend(vars(obj).values() if isinstance(obj, Image) else ())
        if isinstance(obj, Image) and isinstance(obj.shape, (tuple, Shape)):
            found.extend(obj.shape if isinstance(obj.shape, tuple) else obj.shape.sizes)
    return found


@pytest.mark.parametrize("case", LEAK_CASES)
def test_argument_reference_counts_return(case, monkeypatch):
    fn, args, kwargs = LEAK_CASES[case]()
    monkeypatch.setattr(MODULE_OF[fn.__name__], "cp", Poison())

    def run(times):
        for _ in range(times):
            try:
                fn(*args, **kwargs)
            except Exception:
                pass

    run(50)
    gc.collect()
    objects = watched(args, kwargs) + [fn]
    before = counts(objects)
    run(2000)
    gc.collect()
    assert counts(objects) == before


def test_reference_counts_with_non_string_keywords():
    key, args = 1.5, [object(), object()]
    kwnames = (key,)
    stack = (ctypes.py_object * 2)(*args)

    def run(times):
        for _ in range(times):
            try:
                _vectorcall(shapery.guess_image_layout, stack, 1, kwnames)
            except TypeError:
                pass

    watched_objects = args + [key, kwnames]
    run(50)
    before = counts(watched_objects)
    run(2000)
    assert counts(watched_objects) == before


# ---- hostile objects as arguments ----

class HostileType(type):
    """A metaclass whose instances' type name and isinstance answers cannot be trusted."""

    def __instancecheck__(cls, obj):
        raise RuntimeError("instancecheck must not be consulted")

    def __subclasscheck__(cls, sub):
        raise RuntimeError("subclasscheck must not be consulted")


class HostileFloat(float, metaclass=HostileType):
    pass


class HostileInt(int, metaclass=HostileType):
    def __eq__(self, other):
        raise RuntimeError("compared")

    __hash__ = int.__hash__


@pytest.mark.parametrize("fn, args, parameter, given", [
    (S.image_to_batch, (IMG, HostileFloat(1.0)), "scalefactor", "HostileFloat"),
    (T.create_gaussian_weights, (HostileInt(3), 1), "size", "HostileInt"),
])
def test_type_tests_do_not_run_python_code_of_the_argument(fn, args, parameter, given):
    with pytest.raises(TypeError) as caught:
        fn(*args)
    assert str(caught.value).startswith(f"Argument '{parameter}' has incorrect type")
    assert str(caught.value).endswith(f"got {given})")
    assert SUBCLASS_NOTE in caught.value.__notes__[0]


def test_recursion_through_the_function_itself_raises_recursion_error():
    # Reading `shape` calls the function again on the same object, entirely in C.
    class SelfShaped:
        ndim = 3
        shape = property(shapery.guess_image_layout)

    with pytest.raises(RecursionError):
        shapery.guess_image_layout(SelfShaped())

    class SelfDimensioned:
        ndim = property(shapery.guess_image_layout)

    with pytest.raises(RecursionError):
        shapery.guess_image_layout(SelfDimensioned())


def test_recursion_through_python_code(monkeypatch):
    class Deep:
        @property
        def ndim(self):
            return shapery.guess_image_layout(self)

    with pytest.raises(RecursionError):
        shapery.guess_image_layout(Deep())
    # And the function still works afterwards.
    assert shapery.guess_image_layout(np.empty((2, 2))) == "HW"


def test_errors_after_the_builtins_are_replaced(monkeypatch):
    # The traceback entry is built with the module globals; odd __builtins__ must not break it. (Replaced, not
    # deleted: deleting would move the name to the end of the namespace once restored.)
    monkeypatch.setattr(shapery, "__builtins__", 5)
    with pytest.raises(TypeError, match="takes exactly 1 positional argument"):
        shapery.guess_image_layout()
    with pytest.raises(AttributeError):
        shapery.guess_image_layout(object())
