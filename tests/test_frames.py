"""Module frames of lumivex.utils.shapery and lumivex.upscale.tile: namespace contents and order, the function
objects' attributes (names, docstrings, defaults, annotations, code objects), signatures, pickling and re-import.
"""

import builtins
import copy
import gc
import importlib
import importlib.util
import inspect
import pickle
import pydoc
import subprocess
import sys
import typing

import pytest

import lumivex.color.bgr as bgr
import lumivex.transform.resize as resize_module
import lumivex.upscale.tile as tile
import lumivex.utils.dtypes as dtypes
import lumivex.utils.shapery as shapery

LAYOUT_NAMES = ("HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported")
# What the import machinery puts into every module dict before the exec step runs.
MACHINERY = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

ARRAY = "cp.ndarray"
SCALE = "float | None"
SIZE = "int | tuple[int, int] | None"
MEAN = "float | tuple[float, float, float] | None"

# name: (module, first line, [(parameter, annotation)], return annotation, locals, defaults)
FUNCTIONS = {
    "guess_image_layout": (shapery, 12, [("image", ARRAY)], "Layout",
                           ["nd", "c_first", "c_last", "candidates"], None),
    "batch_to_images": (shapery, 55, [("batch", ARRAY), ("scalefactor", SCALE), ("mean", MEAN),
                                      ("swap_rb", "bool"), ("layout", "Layout")], "list[cp.ndarray]",
                        ["results", "image"], (None, None, True, "NCHW")),
    "images_to_batch": (shapery, 101, [("images", "cp.ndarray | list[cp.ndarray]"), ("scalefactor", SCALE),
                                       ("size", SIZE), ("mean", MEAN), ("swap_rb", "bool"), ("layout", "Layout")],
                        "cp.ndarray", ["results", "image", "result"], (None, None, None, True, "HWC")),
    "image_to_batch": (shapery, 138, [("image", ARRAY), ("scalefactor", SCALE), ("size", SIZE), ("mean", MEAN),
                                      ("swap_rb", "bool"), ("layout", "Layout")],
                       "cp.ndarray", ["array_dtype"], (None, None, None, True, "HWC")),
    "image_to_batch_pixelshift": (shapery, 199, [("image", ARRAY), ("dim", "int"), ("scalefactor", SCALE),
                                                 ("mean", MEAN), ("swap_rb", "bool")], "cp.ndarray",
                                  ["h", "w", "c", "array_dtype", "h_sub", "w_sub", "out", "idx", "j", "i", "block"],
                                  (4, None, None, True)),
    "pixelshift_fuse": (shapery, 246, [("preds", ARRAY), ("acc", ARRAY), ("hits", ARRAY), ("start_idx", "int"),
                                       ("dim", "int")], "None", ["B", "k", "idx", "j", "i", "up"], None),
    "tile_image": (tile, 6, [("input_image", ARRAY), ("tile_size", "int"), ("overlap", "int")],
                   "tuple[list[cp.ndarray], tuple]",
                   ["height", "width", "channels", "tiles", "step", "y", "x", "tile"], (128, 16)),
    "add_padding": (tile, 37, [("input_image", ARRAY), ("patch_size", "int"), ("overlap", "int")], "cp.ndarray",
                    ["pad_height", "pad_width", "padded_blob"], (128, 16)),
    "merge_tiles": (tile, 49, [("tiles", "list[cp.ndarray]"), ("original_shape", "tuple[int, int, int]"),
                               ("padded_shape", "tuple[int, int, int]"), ("scale", "int"), ("tile_size", "int"),
                               ("overlap", "int")], "cp.ndarray",
                    ["height", "width", "channels", "merged_image", "weights", "step", "tile_index",
                     "gaussian_weights", "y", "x", "tile", "weighted_tile", "epsilon"], (128, 16)),
    "create_gaussian_weights": (tile, 96, [("size", "int"), ("sigma", "int")], "cp.ndarray",
                                ["x", "y", "d", "gaussian"], None),
}


def text(*lines):
    """A docstring from its lines; the first is empty and the last holds the closing indentation."""
    return "\n".join(lines)


DOCS = {
    "guess_image_layout": text(
        "", "    Infer the layout of an image array.", "", "    Args:",
        "        image (cp.ndarray): The input image array.", "    Returns:",
        "        Layout: The inferred layout of the image array.", "    ",
    ),
    "batch_to_images": text(
        "", "    Convert a batch of images to a list of images.", "", "    Args:",
        "        batch (cp.ndarray): The input batch of images with shape (N, C, H, W) or (N, H, W, C).", "",
        "    Returns:", "        list[cp.ndarray]: A list of images, each with shape (H, W, C).", "    ",
    ),
    "images_to_batch": text("", "    Convert a list of images to batches.", "    "),
    "image_to_batch": text("", "    Convert a single image to a batch.", "    "),
    "image_to_batch_pixelshift": text(
        "", "    (H, W, C) 画像からサブピクセル位置ごとに dim² 枚を取り出し、",
        "    (dim², C, H/dim, W/dim) の CHW テンソルを返す。", "    ",
    ),
    "pixelshift_fuse": text(
        "", "    128²→4×Nearest→roll→accumulate だけを行い、", "    平均は最後に acc / hits で計算。",
        "    メモリ消費は acc+hits (~ 8 MiB for dim=8) と", "    バッチ分 (最大16枚) のみ。", "    ",
    ),
    "tile_image": text(
        "", "    Split the input image into overlapping tiles.", "", "    Parameters", "    ----------",
        "    input_image : cp.ndarray", "        Input image in the shape (height, width, channel) in RGB format.",
        "    tile_size : int, optional", "        Size of each tile, by default 128.", "    overlap : int, optional",
        "        Overlap between tiles, by default 16.", "", "    Returns", "    -------", "    list[cp.ndarray]",
        "        List of image tiles, each in the shape (tile_size, tile_size, channel) in RGB format.", "    ",
    ),
    "add_padding": None,
    "merge_tiles": None,
    "create_gaussian_weights": text(
        "", "    Create a Gaussian weight map for tile blending.", "", "    Parameters", "    ----------",
        "    size : int", "        Size of the weight map.", "    sigma : int",
        "        Standard deviation for the Gaussian distribution.", "", "    Returns", "    -------",
        "    cp.ndarray", "        Gaussian weight map in the shape (size, size, 1).", "    ",
    ),
}

SOURCE = {shapery: "src/lumivex_source/utils/shapery", tile: "src/lumivex_source/upscale/tile"}


def function(name):
    return getattr(FUNCTIONS[name][0], name)


# ---- namespaces ----

@pytest.mark.parametrize("module, names", [
    (shapery, ["__builtins__", "Literal", "cp", "bgr_to_rgb", "rgb_to_bgr", "INTER_AUTO", "resize", "to_float32",
               "Layout", "guess_image_layout", "batch_to_images", "images_to_batch", "image_to_batch",
               "image_to_batch_pixelshift", "pixelshift_fuse", "__test__"]),
    (tile, ["__builtins__", "cp", "to_float32", "tile_image", "add_padding", "merge_tiles",
            "create_gaussian_weights", "__test__"]),
], ids=["shapery", "tile"])
def test_namespace_holds_exactly_the_bound_names_in_order(module, names):
    # Other tests delete and restore module attributes, which moves them to the end of the dict: read the order
    # from a fresh interpreter.
    script = (
        "import lumivex.testing as t; t.install_cupy_standin()\n"
        f"import {module.__name__} as m\n"
        "print(' '.join(vars(m)))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert [name for name in out.split() if name not in MACHINERY] == names


@pytest.mark.parametrize("module", [shapery, tile], ids=["shapery", "tile"])
def test_common_module_attributes(module, cp):
    assert module.__builtins__ is builtins
    assert module.cp is cp and module.cp is sys.modules["cupy"]
    assert module.to_float32 is dtypes.to_float32
    assert type(module.__test__) is dict and module.__test__ == {}
    assert module.__doc__ is None
    assert module.__package__ == module.__name__.rpartition(".")[0]
    assert module.__spec__.origin == module.__file__


def test_shapery_binds_the_sibling_services():
    assert shapery.Literal is typing.Literal
    assert shapery.bgr_to_rgb is bgr.bgr_to_rgb and shapery.rgb_to_bgr is bgr.rgb_to_bgr
    assert shapery.resize is resize_module.resize
    assert shapery.INTER_AUTO is resize_module.INTER_AUTO


def test_layout_is_the_literal_of_the_seven_names():
    assert shapery.Layout == typing.Literal[LAYOUT_NAMES]
    assert typing.get_origin(shapery.Layout) is typing.Literal
    assert typing.get_args(shapery.Layout) == LAYOUT_NAMES


def test_the_two_modules_do_not_share_a_test_dict():
    assert shapery.__test__ is not tile.__test__


# ---- function attributes ----

@pytest.mark.parametrize("name", FUNCTIONS)
def test_names_and_module(name):
    fn = function(name)
    module = FUNCTIONS[name][0]
    assert fn.__name__ == name and fn.__qualname__ == name
    assert fn.__module__ == module.__name__
    assert repr(fn).startswith(f"<function {name} at ")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_docstring_is_exact(name):
    doc = function(name).__doc__
    assert doc == DOCS[name]
    if doc is not None:
        assert type(doc) is str


def test_japanese_docstrings_are_single_characters():
    # Each symbol is one code point, not a byte sequence decoded the wrong way.
    assert "dim²" in shapery.image_to_batch_pixelshift.__doc__
    assert shapery.image_to_batch_pixelshift.__doc__.count("\u00b2") == 2
    fuse = shapery.pixelshift_fuse.__doc__
    assert "128\u00b2\u2192" in fuse and "4\u00d7Nearest" in fuse and "\u3002" in fuse
    assert fuse.encode("utf-8").decode("utf-8") == fuse


@pytest.mark.parametrize("name", FUNCTIONS)
def test_defaults(name):
    fn = function(name)
    assert fn.__defaults__ == FUNCTIONS[name][5]
    assert fn.__kwdefaults__ is None


@pytest.mark.parametrize("functions", [
    [shapery.image_to_batch, shapery.images_to_batch],
    [tile.tile_image, tile.add_padding, tile.merge_tiles],
], ids=["batch-builders", "tile-defaults"])
def test_equal_defaults_share_one_tuple(functions):
    first = functions[0].__defaults__
    assert type(first) is tuple
    assert all(fn.__defaults__ is first for fn in functions)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_annotations_are_texts_in_parameter_order_with_return_last(name):
    _, _, parameters, returns, _, _ = FUNCTIONS[name]
    annotations = function(name).__annotations__
    assert type(annotations) is dict
    assert list(annotations.items()) == parameters + [("return", returns)]
    assert all(type(value) is str for value in annotations.values())


@pytest.mark.parametrize("name", FUNCTIONS)
def test_code_object(name):
    module, first_line, parameters, _, local_names, _ = FUNCTIONS[name]
    code = function(name).__code__
    assert isinstance(code, type(test_code_object.__code__))
    assert code.co_filename == SOURCE[module]
    assert code.co_name == name
    assert code.co_firstlineno == first_line
    assert code.co_argcount == len(parameters)
    assert code.co_posonlyargcount == 0 and code.co_kwonlyargcount == 0
    assert code.co_varnames == tuple(p for p, _ in parameters) + tuple(local_names)
    assert code.co_flags == 3
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS


@pytest.mark.parametrize("name", FUNCTIONS)
def test_the_collector_sees_every_reference_a_function_holds(name):
    module = FUNCTIONS[name][0]
    function = getattr(module, name)
    # Made for the function alone, these are held by it alone (and by getrefcount's argument).
    counts = sys.getrefcount(function.__code__), sys.getrefcount(function.__annotations__)
    assert counts == (2, 2)
    held = [function.__name__, function.__module__, function.__doc__, function.__code__, function.__annotations__,
            vars(module)] + ([function.__defaults__] if function.__defaults__ is not None else [])
    referents = gc.get_referents(function)
    assert all(any(referent is value for referent in referents) for value in held)
    # The other two: the traceback name and the tuple of parameter names.
    assert len(referents) == len(held) + 2


def test_a_function_is_held_by_its_module_alone():
    # In a fresh interpreter (the tests here hold functions too): the namespace holds the one reference that
    # making the function handed over; the list and the comprehension's name hold the others.
    child = """
import sys, lumivex.testing
lumivex.testing.install_cupy_standin()
import lumivex.upscale.tile as tile, lumivex.utils.shapery as shapery
native = [value for module in (shapery, tile) for value in vars(module).values() if type(value).__module__ == "lumivex"]
print(len(native), sorted({sys.getrefcount(value) - 1 for value in native}))  # less getrefcount's own
"""
    completed = subprocess.run([sys.executable, "-P", "-c", child], capture_output=True, text=True, timeout=60)
    assert completed.stdout.split() == ["10", "[3]"], completed.stderr


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature(name):
    _, _, parameters, returns, _, defaults = FUNCTIONS[name]
    signature = inspect.signature(function(name))
    assert list(signature.parameters) == [p for p, _ in parameters]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in signature.parameters.values())
    assert [p.annotation for p in signature.parameters.values()] == [a for _, a in parameters]
    padded = (inspect.Parameter.empty,) * (len(parameters) - len(defaults or ())) + (defaults or ())
    assert tuple(p.default for p in signature.parameters.values()) == padded
    assert signature.return_annotation == returns


@pytest.mark.parametrize("name", FUNCTIONS)
def test_is_a_routine_but_not_a_method(name):
    fn = function(name)
    holder = type("Holder", (), {"attribute": fn})
    assert holder().attribute is fn and holder.attribute is fn
    assert inspect.isroutine(fn)


@pytest.mark.parametrize("module", [shapery, tile], ids=["shapery", "tile"])
def test_help_documents_the_functions_with_their_signatures(module):
    text = pydoc.render_doc(module, renderer=pydoc.plaintext)
    functions = text[text.index("\nFUNCTIONS\n"):]
    for name, (home, _, _, _, _, _) in FUNCTIONS.items():
        if home is module:
            assert f"    {name}{inspect.signature(getattr(module, name))}\n" in functions


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", FUNCTIONS)
def test_pickled_by_reference(name, protocol):
    fn = function(name)
    data = pickle.dumps(fn, protocol)
    assert name.encode() in data and FUNCTIONS[name][0].__name__.encode() in data
    assert pickle.loads(data) is fn


@pytest.mark.parametrize("name", ["guess_image_layout", "merge_tiles"])
def test_copies_are_the_function_itself(name):
    fn = function(name)
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn


# ---- one module object per process ----

@pytest.mark.parametrize("module", [shapery, tile], ids=["shapery", "tile"])
def test_reimport_yields_the_same_module_and_changes_nothing(module, monkeypatch):
    name = module.__name__
    before = dict(vars(module))
    monkeypatch.setattr(module, "cp", "rebound by the caller")
    monkeypatch.delitem(sys.modules, name)
    again = importlib.import_module(name)
    assert again is module and sys.modules[name] is module
    # The second exec does nothing: caller rebinding survives, nothing is recreated.
    assert module.cp == "rebound by the caller"
    for key, value in before.items():
        if key not in MACHINERY and key != "cp":
            assert vars(module)[key] is value, key


@pytest.mark.parametrize("module", [shapery, tile], ids=["shapery", "tile"])
def test_repeated_create_returns_the_module(module):
    spec = importlib.util.find_spec(module.__name__)
    assert importlib.util.module_from_spec(spec) is module


@pytest.mark.parametrize("module", [shapery, tile], ids=["shapery", "tile"])
def test_reload_keeps_the_module(module):
    assert importlib.reload(module) is module
    assert sys.modules[module.__name__] is module
