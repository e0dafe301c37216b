// Model batches: one image or a list of images into an NCHW batch (swap, resize, mean, scale), and a batch back
// into (H, W, C) images with scale and mean undone. The layout, dimension and mean checks run before the first
// in-place step, so a refused argument never leaves the caller's array half processed.
#include "shapery.hpp"

namespace lumivex::shapery {

namespace {

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
constexpr VerdictTest verdict_tests[] = {
    {nchw_name, 153}, {nhwc_name, 155}, {hw_name, 158}, {hwc_name, 189}, {chw_name, 192}};

constexpr MeanLines image_mean_lines{176, 177, 178, 179, 180, 181};
constexpr MeanLines entry_mean_lines{78, 79, 80, 81, 82, 83};

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
        if (differs < 0) return f.fail(150);
        if (!differs) working = name;
    }
    if (working == not_known) {
        Ref guess = global(str.guess_image_layout);
        if (!guess) return f.fail(151);
        layout = rt::call(guess.get(), image);
        if (!layout) return f.fail(151);
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
            return f.fail(196);
        }
    } else if (dimensions[working] && check_dimensions(image.get(), layout.get(), *dimensions[working]) < 0) {
        return f.fail(150);
    }

    if (working == nchw_name) return image;
    if (working == nhwc_name) {
        Ref batch = rt::call_method_tuple(image.get(), str.transpose.get(), k.axes_0312.get());
        if (!batch) return f.fail(157);
        return batch;
    }
    if (working == hw_name) {
        image = with_new_axis(image.get(), false);
        if (!image) return f.fail(159);
        working = hwc_name;
    }
    const bool hwc = working == hwc_name;

    Ref array_dtype = rt::getattr(image.get(), str.dtype.get());
    if (!array_dtype) return f.fail(162);

    const int swap = rt::truth(swap_rb);
    if (swap < 0) return f.fail(165);
    if (swap && hwc) {  // a channels-first image is never swapped
        Ref bgr_to_rgb = global(str.bgr_to_rgb);
        if (!bgr_to_rgb) return f.fail(166);
        image = rt::call(bgr_to_rgb.get(), image);
        if (!image) return f.fail(166);
    }

    if (size != Py_None) {
        Ref dsize = Ref::borrow(size);
        const int is_int = PyObject_IsInstance(size, reinterpret_cast<PyObject*>(&PyLong_Type));
        if (is_int < 0) return f.fail(170);
        if (is_int) {
            dsize = rt::tuple(size, size);
            if (!dsize) return f.fail(171);
        }
        Ref resize = global(str.resize);
        if (!resize) return f.fail(172);
        Ref interpolation = global(str.INTER_AUTO);
        if (!interpolation) return f.fail(172);
        image = rt::call_kw(resize.get(), k.kw_dsize_interpolation.get(), image, dsize, interpolation);
        if (!image) return f.fail(172);
    }

    if (mean != Py_None) {
        Ref values = normalise_mean(f, mean, image_mean_lines);
        if (!values) return values;
        Ref array = cp_attr(str.array);
        if (!array) return f.fail(182);
        Ref per_channel = rt::call_kw(array.get(), k.kw_dtype.get(), values, array_dtype);
        if (!per_channel) return f.fail(182);
        if (!hwc) {  // channels first: the values run down the channel axis, (C,) -> (C, 1, 1)
            per_channel = rt::item(per_channel.get(), k.channel_column.get());
            if (!per_channel) return f.fail(182);
        }
        image = rt::inplace_subtract(image.get(), per_channel.get());
        if (!image) return f.fail(182);
    }

    if (scalefactor != Py_None) {
        image = rt::inplace_multiply(image.get(), scalefactor);
        if (!image) return f.fail(186);
    }

    if (hwc) {
        Ref chw = rt::call_method_tuple(image.get(), str.transpose.get(), k.axes_201.get());
        if (!chw) return f.fail(191);
        Ref batch = with_new_axis(chw.get(), true);
        if (!batch) return f.fail(191);
        return batch;
    }
    Ref batch = with_new_axis(image.get(), true);
    if (!batch) return f.fail(194);
    return batch;
}

Ref images_to_batch(Frame& f, PyObject* const* args) noexcept {
    PyObject* const images = args[0];
    PyObject* const* const options = args + 1;  // scalefactor, size, mean, swap_rb, layout: k.kw_batch_options

    const int is_list = PyObject_IsInstance(images, reinterpret_cast<PyObject*>(&PyList_Type));
    if (is_list < 0) return f.fail(105);
    if (!is_list) {
        Ref image_to_batch = global(str.image_to_batch);
        if (!image_to_batch) return f.fail(118);
        Ref batch = rt::call_kw(image_to_batch.get(), k.kw_batch_options.get(), images, options[0], options[1],
                                options[2], options[3], options[4]);
        if (!batch) return f.fail(118);
        return batch;
    }

    Ref results = Ref::steal(PyList_New(0));
    if (!results) return f.fail(106);
    Ref iterator = Ref::steal(PyObject_GetIter(images));
    if (!iterator) return f.fail(107);
    while (Ref image = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref image_to_batch = global(str.image_to_batch);
        if (!image_to_batch) return f.fail(108);
        Ref result = rt::call_kw(image_to_batch.get(), k.kw_batch_options.get(), image, options[0], options[1],
                                 options[2], options[3], options[4]);
        if (!result) return f.fail(108);
        if (PyList_Append(results.get(), result.get()) < 0) return f.fail(116);
    }
    if (PyErr_Occurred()) return f.fail(107);

    Ref stack = cp_attr(str.stack);
    if (!stack) return f.fail(117);
    Ref batch = rt::call_kw(stack.get(), k.kw_axis.get(), results, k.zero);
    if (!batch) return f.fail(117);
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
    if (channels_first < 0) return f.fail(65);
    if (!channels_first) {
        Ref guess = global(str.guess_image_layout);
        if (!guess) return f.fail(68);
        Ref inferred = rt::call(guess.get(), batch);
        if (!inferred) return f.fail(68);
        channels_first = rt::equals(inferred.get(), str.NCHW.get());
        if (channels_first < 0) return f.fail(69);
        if (!channels_first) {
            const int channels_last = rt::equals(inferred.get(), str.NHWC.get());
            if (channels_last < 0) return f.fail(69);
            if (!channels_last) {
                set_unsupported_layout(inferred.get());
                return f.fail(70);
            }
        }
    }

    Ref results = Ref::steal(PyList_New(0));
    if (!results) return f.fail(71);
    Ref iterator = Ref::steal(PyObject_GetIter(batch));
    if (!iterator) return f.fail(72);
    // The mean is checked once, at the first entry and before anything is written into it, so a bad mean
    // cannot leave entry 0 scaled; an empty batch never looks at it.
    bool mean_checked = mean.get() == Py_None;
    while (Ref image = Ref::steal(PyIter_Next(iterator.get()))) {
        if (channels_first) {
            image = rt::call_method_tuple(image.get(), str.transpose.get(), k.axes_120.get());
            if (!image) return f.fail(74);
        }
        const int swap = rt::truth(swap_rb);
        if (swap < 0) return f.fail(75);
        if (swap) {
            Ref rgb_to_bgr = global(str.rgb_to_bgr);
            if (!rgb_to_bgr) return f.fail(76);
            image = rt::call(rgb_to_bgr.get(), image);
            if (!image) return f.fail(76);
        }
        if (!mean_checked) {
            mean = normalise_mean(f, mean.get(), entry_mean_lines);
            if (!mean) return mean;
            mean_checked = true;
        }
        if (scalefactor != Py_None) {
            Ref factor = rt::true_divide(k.one.get(), scalefactor);
            if (!factor) return f.fail(85);
            image = rt::inplace_multiply(image.get(), factor.get());
            if (!image) return f.fail(85);
        }
        if (mean.get() != Py_None) {
            Ref array = cp_attr(str.array);
            if (!array) return f.fail(87);
            Ref dtype = rt::getattr(image.get(), str.dtype.get());
            if (!dtype) return f.fail(87);
            Ref values = rt::call_kw(array.get(), k.kw_dtype.get(), mean, dtype);
            if (!values) return f.fail(87);
            image = rt::inplace_add(image.get(), values.get());
            if (!image) return f.fail(87);
        }
        if (PyList_Append(results.get(), image.get()) < 0) return f.fail(88);
    }
    if (PyErr_Occurred()) return f.fail(72);
    return results;
}

}  // namespace lumivex::shapery
