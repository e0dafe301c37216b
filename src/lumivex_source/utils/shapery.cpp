// Module frame of lumivex.utils.shapery: the function table (signatures, annotations, docstrings), the
// constants made once at import, and the exec steps that fill the namespace in its documented order.
#include "shapery.hpp"

#include "../runtime/constants.hpp"
#include "../runtime/missing_cupy.hpp"

namespace lumivex::shapery {

Strings str;
Constants k;

namespace {

using rt::Exact;
using rt::FunctionDef;
using rt::Parameter;

constexpr const char* image_annotation = "cp.ndarray";
constexpr const char* scalefactor_annotation = "float | None";
constexpr const char* size_annotation = "int | tuple[int, int] | None";
constexpr const char* mean_annotation = "float | tuple[float, float, float] | None";

constexpr Parameter guess_image_layout_parameters[] = {{"image", image_annotation}};
constexpr const char* guess_image_layout_locals[] = {"nd", "c_first", "c_last", "candidates"};

constexpr Parameter batch_to_images_parameters[] = {
    {"batch", image_annotation},
    {"scalefactor", scalefactor_annotation, Exact::float_or_none},
    {"mean", mean_annotation},
    {"swap_rb", "bool"},
    {"layout", "Layout"},
};
constexpr const char* batch_to_images_locals[] = {"results", "image"};

constexpr Parameter images_to_batch_parameters[] = {
    {"images", "cp.ndarray | list[cp.ndarray]"},
    {"scalefactor", scalefactor_annotation, Exact::float_or_none},
    {"size", size_annotation},
    {"mean", mean_annotation},
    {"swap_rb", "bool"},
    {"layout", "Layout"},
};
constexpr const char* images_to_batch_locals[] = {"results", "image", "result"};

constexpr Parameter image_to_batch_parameters[] = {
    {"image", image_annotation},
    {"scalefactor", scalefactor_annotation, Exact::float_or_none},
    {"size", size_annotation},
    {"mean", mean_annotation},
    {"swap_rb", "bool"},
    {"layout", "Layout"},
};
constexpr const char* image_to_batch_locals[] = {"array_dtype"};

constexpr Parameter image_to_batch_pixelshift_parameters[] = {
    {"image", image_annotation},
    {"dim", "int", Exact::int_},
    {"scalefactor", scalefactor_annotation, Exact::float_or_none},
    {"mean", mean_annotation},
    {"swap_rb", "bool"},
};
constexpr const char* image_to_batch_pixelshift_locals[] = {"h",     "w",     "c",   "array_dtype",
                                                            "h_sub", "w_sub", "out", "idx",
                                                            "j",     "i",     "block"};

constexpr Parameter pixelshift_fuse_parameters[] = {
    {"preds", image_annotation}, {"acc", image_annotation},   {"hits", image_annotation},
    {"start_idx", "int", Exact::int_}, {"dim", "int", Exact::int_},
};
constexpr const char* pixelshift_fuse_locals[] = {"B", "k", "idx", "j", "i", "up"};

// Docstrings, exactly as users see them in help().
constexpr const char guess_image_layout_doc[] =
    "\n    Infer the layout of an image array.\n\n    Args:\n        image (cp.ndarray): The input image array.\n"
    "    Returns:\n        Layout: The inferred layout of the image array.\n    ";
constexpr const char batch_to_images_doc[] =
    "\n    Convert a batch of images to a list of images.\n\n    Args:\n        batch (cp.ndarray): The input batch "
    "of images with shape (N, C, H, W) or (N, H, W, C).\n\n    Returns:\n        list[cp.ndarray]: A list of "
    "images, each with shape (H, W, C).\n    ";
constexpr const char images_to_batch_doc[] = "\n    Convert a list of images to batches.\n    ";
constexpr const char image_to_batch_doc[] = "\n    Convert a single image to a batch.\n    ";
constexpr const char image_to_batch_pixelshift_doc[] =
    "\n    (H, W, C) 画像からサブピクセル位置ごとに dim² 枚を取り出し、\n"
    "    (dim², C, H/dim, W/dim) の CHW テンソルを返す。\n    ";
constexpr const char pixelshift_fuse_doc[] =
    "\n    128²→4×Nearest→roll→accumulate だけを行い、\n    平均は最後に acc / hits で計算。\n"
    "    メモリ消費は acc+hits (~ 8 MiB for dim=8) と\n    バッチ分 (最大16枚) のみ。\n    ";

// The public functions in the order they are bound.
constexpr FunctionDef guess_image_layout_def{"guess_image_layout", 12, guess_image_layout_parameters,
                                               "Layout", guess_image_layout_locals, guess_image_layout_doc,
                                               guess_image_layout};
constexpr FunctionDef batch_to_images_def{"batch_to_images", 55, batch_to_images_parameters,
                                            "list[cp.ndarray]", batch_to_images_locals, batch_to_images_doc,
                                            batch_to_images};
constexpr FunctionDef images_to_batch_def{"images_to_batch", 101, images_to_batch_parameters, "cp.ndarray",
                                            images_to_batch_locals, images_to_batch_doc, images_to_batch};
constexpr FunctionDef image_to_batch_def{"image_to_batch", 138, image_to_batch_parameters, "cp.ndarray",
                                           image_to_batch_locals, image_to_batch_doc, image_to_batch};
constexpr FunctionDef image_to_batch_pixelshift_def{
    "image_to_batch_pixelshift", 199, image_to_batch_pixelshift_parameters, "cp.ndarray",
    image_to_batch_pixelshift_locals, image_to_batch_pixelshift_doc, image_to_batch_pixelshift};
constexpr FunctionDef pixelshift_fuse_def{"pixelshift_fuse", 246, pixelshift_fuse_parameters, "None",
                                            pixelshift_fuse_locals, pixelshift_fuse_doc, pixelshift_fuse};

int make_constants() noexcept {
#define LUMIVEX_INTERN(id) \
    if (rt::intern(str.id, #id) < 0) return -1;
    LUMIVEX_SHAPERY_STRINGS(LUMIVEX_INTERN)
#undef LUMIVEX_INTERN
    if (rt::make_int(k.zero, 0) < 0 || rt::make_int(k.one, 1) < 0 || rt::make_int(k.two, 2) < 0 || rt::make_int(k.three, 3) < 0 ||
        rt::make_int(k.four, 4) < 0) {
        return -1;
    }
    return 0;
}

int make_tuples() noexcept {
    if (rt::make_tuple(k.axes_0231, k.zero, k.two, k.three, k.one) < 0 ||
        rt::make_tuple(k.axes_120, k.one, k.two, k.zero) < 0 ||
        rt::make_tuple(k.axes_0312, k.zero, k.three, k.one, k.two) < 0 ||
        rt::make_tuple(k.axes_201, k.two, k.zero, k.one) < 0 || rt::make_tuple(k.axes_12, k.one, k.two) < 0 ||
        rt::make_tuple(k.layout_names, str.HW, str.HWC, str.CHW, str.NHWC, str.NCHW, str.ambiguous,
                  str.unsupported) < 0 ||
        rt::make_tuple(k.kw_dsize_interpolation, str.dsize, str.interpolation) < 0 ||
        rt::make_tuple(k.kw_dtype, str.dtype) < 0 || rt::make_tuple(k.kw_axis, str.axis) < 0 ||
        rt::make_tuple(k.kw_shift_axis, str.shift, str.axis) < 0 ||
        rt::make_tuple(k.kw_batch_options, str.scalefactor, str.size, str.mean, str.swap_rb, str.layout) < 0) {
        return -1;
    }
    Ref whole_axis = rt::slice(nullptr, nullptr);
    if (!whole_axis || rt::make_tuple(k.channel_column, whole_axis, Py_None, Py_None) < 0) return -1;
    return rt::make_str(k.mean_message, "Mean must be a single value or a tuple of three values.") < 0 ||
                   rt::make_str(k.unsupported_layout_prefix, "Unsupported image layout: ") < 0 ||
                   rt::make_str(k.dim_message, "dim must be \u2265 1") < 0 || rt::make_str(k.image_prefix, "Image ") < 0 ||
                   rt::make_str(k.times_sign, "\u00d7") < 0 || rt::make_str(k.not_divisible, " not divisible by dim=") < 0
               ? -1
               : 0;
}

int populate(rt::ModuleExec& exec) noexcept {
    if (make_constants() < 0 || exec.ensure_in_sys_modules() < 0) return -1;

    if (exec.keep_builtin(k.value_error, "ValueError") < 0) return -1;
    if (exec.keep_builtin(k.range, "range") < 0) return -1;

    if (make_tuples() < 0) return -1;
    // One defaults tuple object serves both batch builders.
    Ref batch_defaults = rt::tuple(Py_None, Py_None, Py_None, Py_True, str.HWC);
    Ref images_defaults = rt::tuple(Py_None, Py_None, Py_True, str.NCHW);
    Ref pixelshift_defaults = rt::tuple(k.four, Py_None, Py_None, Py_True);
    if (!batch_defaults || !images_defaults || !pixelshift_defaults) return -1;

    if (exec.from_import("typing", 0, {"Literal"}) < 0) return exec.fail(1);
    if (rt::import_cupy(exec) < 0) return exec.fail(3);
    if (exec.from_import("color.bgr", 2, {"bgr_to_rgb", "rgb_to_bgr"}) < 0) return exec.fail(5);
    if (exec.from_import("transform.resize", 2, {"INTER_AUTO", "resize"}) < 0) return exec.fail(6);
    if (exec.from_import("utils.dtypes", 2, {"to_float32"}) < 0) return exec.fail(7);

    Ref literal = frame.names.lookup(str.Literal.get());
    if (!literal) return exec.fail(9);
    Ref layout = rt::item(literal.get(), k.layout_names.get());
    if (!layout || exec.bind("Layout", layout.get()) < 0) return exec.fail(9);

    if (exec.add_functions({
            {&guess_image_layout_def, nullptr},
            {&batch_to_images_def, images_defaults.get()},
            {&images_to_batch_def, batch_defaults.get()},
            {&image_to_batch_def, batch_defaults.get()},
            {&image_to_batch_pixelshift_def, pixelshift_defaults.get()},
            {&pixelshift_fuse_def, nullptr},
        }) < 0) {
        return -1;
    }

    return exec.bind_test_dict();
}

}  // namespace

rt::ModuleFrame frame{.short_name = "shapery",
                      .full_name = "lumivex.utils.shapery",
                      .source_path = "src/lumivex_source/utils/shapery",
                      .populate = populate};

}  // namespace lumivex::shapery

extern "C" PyMODINIT_FUNC PyInit_shapery(void) {
    return lumivex::rt::ModuleDefinition<lumivex::shapery::frame>::init();
}
