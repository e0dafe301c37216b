// Model batches: one image or a list of images into an NCHW batch (swap, resize, mean, scale), and a batch back
// into (H, W, C) images with scale and mean undone. The layout, dimension and mean checks run before the first
// in-place step, so a refused argument never leaves the caller's array half processed.
#include "shapery.hpp"

namespace lumivex::shapery {

namespace {

// The statements of the three bodies in source order, with the lines tracebacks report for them. A compound
// test reports its own line whichever of its parts fails; statements marked "cannot fail" have no failure site.

// batch_to_images (def at 55).
namespace batch_line {
enum : int {
    nchw_named = 65,         // if layout == "NCHW" (or else the inferred layout decides)
    guess = 68,              // layout = guess_image_layout(batch)
    inferred_tests = 69,     // if layout == "NCHW" ... elif layout == "NHWC"
    unsupported = 70,        // raise ValueError("Unsupported image layout: " + layout)
    new_results = 71,        // results = []
    for_entries = 72,        // for image in batch
    transpose = 74,          // image = image.transpose(1, 2, 0)
    swap_test = 75,          // if swap_rb
    swap = 76,               // image = rgb_to_bgr(image)
    mean_isinstance = 78,    // if isinstance(mean, (int, float))
    mean_number = 79,        // mean = (float(mean),)
    mean_first_length = 80,  // elif len(mean) == 1
    mean_single = 81,        // mean = (mean[0],)
    mean_second_length = 82, // elif len(mean) != 3
    mean_error = 83,         // raise ValueError(mean message)
    unscale = 85,            // image *= 1 / scalefactor
    add_mean = 87,           // image += cp.array(mean, dtype=image.dtype)
    append = 88,             // results.append(image)
};
}  // namespace batch_line

// images_to_batch (def at 101).
namespace images_line {
enum : int {
    is_list = 105,     // if isinstance(images, list)
    new_results = 106, // results = []
    for_images = 107,  // for image in images
    convert = 108,     // result = image_to_batch(image, scalefactor=..., layout=layout)   (through line 115)
    append = 116,      // results.append(result)
    stack = 117,       // return cp.stack(results, axis=0)
    convert_one = 118, // return image_to_batch(images, scalefactor=..., layout=layout)
};
}  // namespace images_line

// image_to_batch (def at 138).
namespace image_line {
enum : int {
    layout_tests = 150,       // if layout not in ("HWC", "HW", "CHW", "NHWC", "NCHW")
    guess = 151,              // layout = guess_image_layout(image)
    nchw_test = 153,          // if layout == "NCHW"
    nhwc_test = 155,          // if layout == "NHWC"
    nhwc_batch = 157,         // return image.transpose(0, 3, 1, 2)
    hw_test = 158,            // if layout == "HW"
    hw_axis = 159,            // image = image[..., cp.newaxis]
    read_dtype = 162,         // array_dtype = image.dtype
    swap_test = 165,          // if swap_rb and layout in ("HWC", "NHWC")
    swap = 166,               // image = bgr_to_rgb(image)
    size_is_int = 170,        // if isinstance(size, int)
    size_pair = 171,          // size = (size, size)
    resize = 172,             // image = resize(image, dsize=size, interpolation=INTER_AUTO)
    mean_isinstance = 176,    // if isinstance(mean, (int, float))
    mean_number = 177,        // mean = (float(mean),)
    mean_first_length = 178,  // elif len(mean) == 1
    mean_single = 179,        // mean = (mean[0],)
    mean_second_length = 180, // elif len(mean) != 3
    mean_error = 181,         // raise ValueError(mean message)
    subtract_mean = 182,      // image -= cp.array(mean, dtype=array_dtype)
    scale = 186,              // image *= scalefactor
    hwc_test = 189,           // if layout == "HWC"
    hwc_batch = 191,          // return image.transpose(2, 0, 1)[cp.newaxis, ...]
    chw_test = 192,           // if layout == "CHW"
    chw_batch = 194,          // return image[cp.newaxis, ...]
    unsupported = 196,        // raise ValueError("Unsupported image layout: " + layout)
};
}  // namespace image_line

// ValueError "Unsupported image layout: <str(layout)>".
void set_unsupported_layout(PyObject* layout) noexcept {
    Ref text = Ref::steal(PyObject_Str(layout));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_Concat(k.unsupported_layout_prefix.get(), text.get()));
    if (!message) return;
    PyErr_SetObject(k.value_error.get(), message.get());
}

// `array[index]` where the index holds `cp.newaxis` and `...`, in the given order.
Ref with_new_axis(PyObject* array, bool axis_first) noexcept {
    Ref newaxis = cp_attr(str.newaxis);
    if (!newaxis) return {};
    Ref index = axis_first ? rt::tuple(newaxis, Py_Ellipsis) : rt::tuple(Py_Ellipsis, newaxis);
    if (!index) return {};
    return rt::item(array, index.get());
}

// Refuses a named single-image layout whose number of dimensions the image does not have; otherwise the
// mean and scale steps would change the caller's array before the transpose fails.
int check_dimensions(PyObject* image, PyObject* layout, const Constant& expected) noexcept {
    Ref nd = rt::getattr(image, str.ndim.get());
    if (!nd) return -1;
    const int fits = rt::equals(nd.get(), expected.get());
    if (fits != 0) return fits < 0 ? -1 : 0;
    Ref shape = rt::getattr(image, str.shape.get());
    if (!shape) return -1;
    Ref message = Ref::steal(PyUnicode_FromFormat("Layout %R needs a %S-dimensional image, got shape %R", layout,
                                                  expected.get(), shape.get()));
    if (!message) return -1;
    PyErr_SetObject(k.value_error.get(), message.get());
    return -1;
}

// The layout names image_to_batch knows, in the order a given layout is tested against them.
enum Known : int { hwc_name, hw_name, chw_name, nhwc_name, nchw_name, not_known };
const Constant* const known[] = {&str.HWC, &str.HW, &str.CHW, &str.NHWC, &str.NCHW};
const Constant* const dimensions[] = {&k.three, &k.two, &k.three, nullptr, nullptr};

// An inferred verdict against the names, in the order of the steps that test it, with their source lines.
struct VerdictTest {
    Known name;
    int line;
};
constexpr VerdictTest verdict_tests[] = {{nchw_name, image_line::nchw_test},
                                         {nhwc_name, image_line::nhwc_test},
                                         {hw_name, image_line::hw_test},
                                         {hwc_name, image_line::hwc_test},
                                         {chw_name, image_line::chw_test}};

constexpr MeanLines image_mean_lines{image_line::mean_isinstance,   image_line::mean_number,
                                     image_line::mean_first_length, image_line::mean_single,
                                     image_line::mean_second_length, image_line::mean_error};
constexpr MeanLines entry_mean_lines{batch_line::mean_isinstance,   batch_line::mean_number,
                                     batch_line::mean_first_length, batch_line::mean_single,
                                     batch_line::mean_second_length, batch_line::mean_error};

}  // namespace

Ref image_to_batch(Frame& f, PyObject* const* args) noexcept {
    Ref image = Ref::borrow(args[0]);
    PyObject* const scalefactor = args[1];
    PyObject* const size = args[2];
    PyObject* const mean = args[3];
    PyObject* const swap_rb = args[4];
    Ref layout = Ref::borrow(args[5]);

    // The working layout is held as the known name it equals. A given name is that name for every later
    // test, so only an inferred verdict is compared again, in the order the steps test it. The verdict comes
    // before any step that changes data: an ambiguous or unsupported image leaves the caller's array as it was.
    int working = not_known;
    for (int name = 0; name < not_known && working == not_known; ++name) {
        const int differs = rt::compare(layout.get(), known[name]->get(), Py_NE);
        if (differs < 0) return f.fail(image_line::layout_tests);
        if (!differs) working = name;
    }
    if (working == not_known) {
        Ref guess = global(str.guess_image_layout);
        if (!guess) return f.fail(image_line::guess);
        layout = rt::call(guess.get(), image);
        if (!layout) return f.fail(image_line::guess);
        for (const auto& [name, line] : verdict_tests) {
            const int equal = rt::equals(layout.get(), known[name]->get());
            if (equal < 0) return f.fail(line);
            if (equal) {
                working = name;
                break;
            }
        }
        if (working == not_known) {
            set_unsupported_layout(layout.get());
            return f.fail(image_line::unsupported);
        }
    } else if (dimensions[working] && check_dimensions(image.get(), layout.get(), *dimensions[working]) < 0) {
        return f.fail(image_line::layout_tests);
    }

    if (working == nchw_name) return image;
    if (working == nhwc_name) {
        Ref batch = rt::call_method_tuple(image.get(), str.transpose.get(), k.axes_0312.get());
        if (!batch) return f.fail(image_line::nhwc_batch);
        return batch;
    }
    if (working == hw_name) {
        image = with_new_axis(image.get(), false);
        if (!image) return f.fail(image_line::hw_axis);
        working = hwc_name;
    }
    const bool hwc = working == hwc_name;

    Ref array_dtype = rt::getattr(image.get(), str.dtype.get());
    if (!array_dtype) return f.fail(image_line::read_dtype);

    const int swap = rt::truth(swap_rb);
    if (swap < 0) return f.fail(image_line::swap_test);
    if (swap && hwc) {  // a channels-first image is never swapped
        Ref bgr_to_rgb = global(str.bgr_to_rgb);
        if (!bgr_to_rgb) return f.fail(image_line::swap);
        image = rt::call(bgr_to_rgb.get(), image);
        if (!image) return f.fail(image_line::swap);
    }

    if (size != Py_None) {
        Ref dsize = Ref::borrow(size);
        const int is_int = PyObject_IsInstance(size, reinterpret_cast<PyObject*>(&PyLong_Type));
        if (is_int < 0) return f.fail(image_line::size_is_int);
        if (is_int) {
            dsize = rt::tuple(size, size);
            if (!dsize) return f.fail(image_line::size_pair);
        }
        Ref resize = global(str.resize);
        if (!resize) return f.fail(image_line::resize);
        Ref interpolation = global(str.INTER_AUTO);
        if (!interpolation) return f.fail(image_line::resize);
        image = rt::call_kw(resize.get(), k.kw_dsize_interpolation.get(), image, dsize, interpolation);
        if (!image) return f.fail(image_line::resize);
    }

    if (mean != Py_None) {
        Ref values = normalise_mean(f, mean, image_mean_lines);
        if (!values) return values;
        Ref array = cp_attr(str.array);
        if (!array) return f.fail(image_line::subtract_mean);
        Ref per_channel = rt::call_kw(array.get(), k.kw_dtype.get(), values, array_dtype);
        if (!per_channel) return f.fail(image_line::subtract_mean);
        if (!hwc) {  // channels first: the values run down the channel axis, (C,) -> (C, 1, 1)
            per_channel = rt::item(per_channel.get(), k.channel_column.get());
            if (!per_channel) return f.fail(image_line::subtract_mean);
        }
        image = rt::inplace_subtract(image.get(), per_channel.get());
        if (!image) return f.fail(image_line::subtract_mean);
    }

    if (scalefactor != Py_None) {
        image = rt::inplace_multiply(image.get(), scalefactor);
        if (!image) return f.fail(image_line::scale);
    }

    if (hwc) {
        Ref chw = rt::call_method_tuple(image.get(), str.transpose.get(), k.axes_201.get());
        if (!chw) return f.fail(image_line::hwc_batch);
        Ref batch = with_new_axis(chw.get(), true);
        if (!batch) return f.fail(image_line::hwc_batch);
        return batch;
    }
    Ref batch = with_new_axis(image.get(), true);
    if (!batch) return f.fail(image_line::chw_batch);
    return batch;
}

Ref images_to_batch(Frame& f, PyObject* const* args) noexcept {
    PyObject* const images = args[0];
    PyObject* const* const options = args + 1;  // scalefactor, size, mean, swap_rb, layout: k.kw_batch_options

    const int is_list = PyObject_IsInstance(images, reinterpret_cast<PyObject*>(&PyList_Type));
    if (is_list < 0) return f.fail(images_line::is_list);
    if (!is_list) {
        Ref image_to_batch = global(str.image_to_batch);
        if (!image_to_batch) return f.fail(images_line::convert_one);
        Ref batch = rt::call_kw(image_to_batch.get(), k.kw_batch_options.get(), images, options[0], options[1],
                                options[2], options[3], options[4]);
        if (!batch) return f.fail(images_line::convert_one);
        return batch;
    }

    Ref results = Ref::steal(PyList_New(0));
    if (!results) return f.fail(images_line::new_results);
    Ref iterator = Ref::steal(PyObject_GetIter(images));
    if (!iterator) return f.fail(images_line::for_images);
    while (Ref image = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref image_to_batch = global(str.image_to_batch);
        if (!image_to_batch) return f.fail(images_line::convert);
        Ref result = rt::call_kw(image_to_batch.get(), k.kw_batch_options.get(), image, options[0], options[1],
                                 options[2], options[3], options[4]);
        if (!result) return f.fail(images_line::convert);
        if (PyList_Append(results.get(), result.get()) < 0) return f.fail(images_line::append);
    }
    if (PyErr_Occurred()) return f.fail(images_line::for_images);

    Ref stack = cp_attr(str.stack);
    if (!stack) return f.fail(images_line::stack);
    Ref batch = rt::call_kw(stack.get(), k.kw_axis.get(), results, k.zero);
    if (!batch) return f.fail(images_line::stack);
    return batch;
}

Ref batch_to_images(Frame& f, PyObject* const* args) noexcept {
    PyObject* const batch = args[0];
    PyObject* const scalefactor = args[1];
    Ref mean = Ref::borrow(args[2]);
    PyObject* const swap_rb = args[3];
    PyObject* const layout = args[4];

    // Entries of an NCHW batch, named or inferred, are transposed to (H, W, C); NHWC entries already are.
    int channels_first = rt::equals(layout, str.NCHW.get());
    if (channels_first < 0) return f.fail(batch_line::nchw_named);
    if (!channels_first) {
        Ref guess = global(str.guess_image_layout);
        if (!guess) return f.fail(batch_line::guess);
        Ref inferred = rt::call(guess.get(), batch);
        if (!inferred) return f.fail(batch_line::guess);
        channels_first = rt::equals(inferred.get(), str.NCHW.get());
        if (channels_first < 0) return f.fail(batch_line::inferred_tests);
        if (!channels_first) {
            const int channels_last = rt::equals(inferred.get(), str.NHWC.get());
            if (channels_last < 0) return f.fail(batch_line::inferred_tests);
            if (!channels_last) {
                set_unsupported_layout(inferred.get());
                return f.fail(batch_line::unsupported);
            }
        }
    }

    Ref results = Ref::steal(PyList_New(0));
    if (!results) return f.fail(batch_line::new_results);
    Ref iterator = Ref::steal(PyObject_GetIter(batch));
    if (!iterator) return f.fail(batch_line::for_entries);
    // The mean is checked once, at the first entry and before anything is written into it, so a bad mean
    // cannot leave entry 0 scaled; an empty batch never looks at it.
    bool mean_checked = mean.get() == Py_None;
    while (Ref image = Ref::steal(PyIter_Next(iterator.get()))) {
        if (channels_first) {
            image = rt::call_method_tuple(image.get(), str.transpose.get(), k.axes_120.get());
            if (!image) return f.fail(batch_line::transpose);
        }
        const int swap = rt::truth(swap_rb);
        if (swap < 0) return f.fail(batch_line::swap_test);
        if (swap) {
            Ref rgb_to_bgr = global(str.rgb_to_bgr);
            if (!rgb_to_bgr) return f.fail(batch_line::swap);
            image = rt::call(rgb_to_bgr.get(), image);
            if (!image) return f.fail(batch_line::swap);
        }
        if (!mean_checked) {
            mean = normalise_mean(f, mean.get(), entry_mean_lines);
            if (!mean) return mean;
            mean_checked = true;
        }
        if (scalefactor != Py_None) {
            Ref factor = rt::true_divide(k.one.get(), scalefactor);
            if (!factor) return f.fail(batch_line::unscale);
            image = rt::inplace_multiply(image.get(), factor.get());
            if (!image) return f.fail(batch_line::unscale);
        }
        if (mean.get() != Py_None) {
            Ref array = cp_attr(str.array);
            if (!array) return f.fail(batch_line::add_mean);
            Ref dtype = rt::getattr(image.get(), str.dtype.get());
            if (!dtype) return f.fail(batch_line::add_mean);
            Ref values = rt::call_kw(array.get(), k.kw_dtype.get(), mean, dtype);
            if (!values) return f.fail(batch_line::add_mean);
            image = rt::inplace_add(image.get(), values.get());
            if (!image) return f.fail(batch_line::add_mean);
        }
        if (PyList_Append(results.get(), image.get()) < 0) return f.fail(batch_line::append);
    }
    if (PyErr_Occurred()) return f.fail(batch_line::for_entries);
    return results;
}

}  // namespace lumivex::shapery
