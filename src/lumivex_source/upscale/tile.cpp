// Module frame of lumivex.upscale.tile: the function table (signatures, annotations, docstrings), the
// constants made once at import, and the exec steps that fill the namespace in its documented order.
#include "tile.hpp"

#include "../runtime/constants.hpp"
#include "../runtime/missing_cupy.hpp"

namespace lumivex::tile {

Strings str;
Constants k;

namespace {

using rt::Exact;
using rt::FunctionDef;
using rt::Parameter;

constexpr Parameter tile_image_parameters[] = {
    {"input_image", "cp.ndarray"},
    {"tile_size", "int", Exact::int_},
    {"overlap", "int", Exact::int_},
};
constexpr const char* tile_image_locals[] = {"height", "width", "channels", "tiles", "step", "y", "x", "tile"};

constexpr Parameter add_padding_parameters[] = {
    {"input_image", "cp.ndarray"},
    {"patch_size", "int", Exact::int_},
    {"overlap", "int", Exact::int_},
};
constexpr const char* add_padding_locals[] = {"pad_height", "pad_width", "padded_blob"};

constexpr Parameter merge_tiles_parameters[] = {
    {"tiles", "list[cp.ndarray]", Exact::list},
    {"original_shape", "tuple[int, int, int]", Exact::tuple},
    {"padded_shape", "tuple[int, int, int]", Exact::tuple},
    {"scale", "int", Exact::int_},
    {"tile_size", "int", Exact::int_},
    {"overlap", "int", Exact::int_},
};
constexpr const char* merge_tiles_locals[] = {"height", "width",      "channels",         "merged_image",
                                              "weights", "step",      "tile_index",       "gaussian_weights",
                                              "y",       "x",         "tile",             "weighted_tile",
                                              "epsilon"};

constexpr Parameter create_gaussian_weights_parameters[] = {
    {"size", "int", Exact::int_},
    {"sigma", "int", Exact::int_},
};
constexpr const char* create_gaussian_weights_locals[] = {"x", "y", "d", "gaussian"};

// Docstrings, exactly as users see them in help().
constexpr const char tile_image_doc[] =
    "\n    Split the input image into overlapping tiles.\n\n    Parameters\n    ----------\n    input_image : "
    "cp.ndarray\n        Input image in the shape (height, width, channel) in RGB format.\n    tile_size : int, "
    "optional\n        Size of each tile, by default 128.\n    overlap : int, optional\n        Overlap between "
    "tiles, by default 16.\n\n    Returns\n    -------\n    list[cp.ndarray]\n        List of image tiles, each "
    "in the shape (tile_size, tile_size, channel) in RGB format.\n    ";
constexpr const char create_gaussian_weights_doc[] =
    "\n    Create a Gaussian weight map for tile blending.\n\n    Parameters\n    ----------\n    size : int\n"
    "        Size of the weight map.\n    sigma : int\n        Standard deviation for the Gaussian "
    "distribution.\n\n    Returns\n    -------\n    cp.ndarray\n        Gaussian weight map in the shape (size, "
    "size, 1).\n    ";

// The public functions in the order they are bound.
constexpr FunctionDef tile_image_def{"tile_image", 6, tile_image_parameters, "tuple[list[cp.ndarray], tuple]",
                                       tile_image_locals, tile_image_doc, tile_image};
constexpr FunctionDef add_padding_def{"add_padding", 37, add_padding_parameters, "cp.ndarray",
                                        add_padding_locals, nullptr, add_padding};
constexpr FunctionDef merge_tiles_def{"merge_tiles", 49, merge_tiles_parameters, "cp.ndarray",
                                        merge_tiles_locals, nullptr, merge_tiles};
constexpr FunctionDef create_gaussian_weights_def{"create_gaussian_weights", 96,
                                                    create_gaussian_weights_parameters, "cp.ndarray",
                                                    create_gaussian_weights_locals, create_gaussian_weights_doc,
                                                    create_gaussian_weights};

int make_constants() noexcept {
#define LUMIVEX_INTERN(id) \
    if (rt::intern(str.id, #id) < 0) return -1;
    LUMIVEX_TILE_STRINGS(LUMIVEX_INTERN)
#undef LUMIVEX_INTERN
    if (rt::make_int(k.zero, 0) < 0 || rt::make_int(k.one, 1) < 0 || rt::make_int(k.two, 2) < 0 ||
        rt::make_int(k.four, 4) < 0 || rt::make_int(k.sixteen, 16) < 0 ||
        rt::make_int(k.one_twenty_eight, 128) < 0 || rt::make_int(k.minus_one, -1) < 0 ||
        rt::make_float(k.two_point_zero, 2.0) < 0 ||
        rt::make_str(k.sigma_zero_message, "sigma must not be 0: a Gaussian window of zero width has no weights") < 0) {
        return -1;
    }
    return 0;
}

int make_tuples() noexcept {
    if (rt::make_tuple(k.no_padding, k.zero, k.zero) < 0 ||
        rt::set_constant(k.whole_axis, rt::slice(nullptr, nullptr)) < 0 ||
        rt::make_tuple(k.kw_mode, str.mode) < 0 ||
        rt::make_tuple(k.kw_patch_size_overlap, str.patch_size, str.overlap) < 0 ||
        rt::make_tuple(k.kw_dtype, str.dtype) < 0 || rt::make_tuple(k.kw_sigma, str.sigma) < 0) {
        return -1;
    }
    return 0;
}

int populate(rt::ModuleExec& exec) noexcept {
    if (make_constants() < 0 || exec.ensure_in_sys_modules() < 0) return -1;
    if (exec.keep_builtin(k.value_error, "ValueError") < 0) return -1;
    if (exec.keep_builtin(k.range, "range") < 0) return -1;
    if (make_tuples() < 0) return -1;
    // One defaults tuple object serves the three functions with (128, 16) defaults.
    Ref defaults = rt::tuple(k.one_twenty_eight, k.sixteen);
    if (!defaults) return -1;

    if (rt::import_cupy(exec) < 0) return exec.fail(1);
    if (exec.from_import("utils.dtypes", 2, {"to_float32"}) < 0) return exec.fail(3);

    if (exec.add_functions({
            {&tile_image_def, defaults.get()},
            {&add_padding_def, defaults.get()},
            {&merge_tiles_def, defaults.get()},
            {&create_gaussian_weights_def, nullptr},
        }) < 0) {
        return -1;
    }

    return exec.bind_test_dict();
}

}  // namespace

rt::ModuleFrame frame{.short_name = "tile",
                      .full_name = "lumivex.upscale.tile",
                      .source_path = "src/lumivex_source/upscale/tile",
                      .populate = populate};

}  // namespace lumivex::tile

extern "C" PyMODINIT_FUNC PyInit_tile(void) { return lumivex::rt::ModuleDefinition<lumivex::tile::frame>::init(); }
