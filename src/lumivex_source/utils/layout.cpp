// guess_image_layout: infers an array's layout from its number of dimensions and axis sizes alone. It reads
// only `ndim` and `shape`, so it costs a few attribute reads and small-integer comparisons.
#include "shapery.hpp"

namespace lumivex::shapery {

namespace {

// `value in (1, 3, 4)` as a chain of == tests, stopping at the first match.
int is_channel_count(PyObject* value) noexcept {
    return rt::equals_any(value, {&k.one, &k.three, &k.four});
}

int greater_than_four(PyObject* value) noexcept { return rt::compare(value, k.four.get(), Py_GT); }
int at_most_four(PyObject* value) noexcept { return rt::compare(value, k.four.get(), Py_LE); }

// Test on `image.shape[index]`, reading `shape` afresh as each element is fetched.
template <class Test>
int shape_test(PyObject* image, Py_ssize_t index, Test test) noexcept {
    Ref shape = rt::getattr(image, str.shape.get());
    if (!shape) return -1;
    Ref value = rt::item_at(shape.get(), index);
    if (!value) return -1;
    return test(value.get());
}

Ref verdict(const Constant& layout) noexcept { return Ref::borrow(layout.get()); }

// Steps for three dimensions: a single channel-count end decides; otherwise the size test may.
Ref guess_three_dimensional(Frame& f, PyObject* image) noexcept {
    Ref shape = rt::getattr(image, str.shape.get());
    if (!shape) return f.fail(27);
    Ref c_first = rt::item_at(shape.get(), 0);
    if (!c_first) return f.fail(27);
    Ref shape_again = rt::getattr(image, str.shape.get());
    if (!shape_again) return f.fail(27);
    Ref c_last = rt::item_at(shape_again.get(), -1);
    if (!c_last) return f.fail(27);

    // The candidate list holds at most "CHW" then "HWC"; counting them is enough.
    int candidates = 0;
    const Constant* candidate = nullptr;
    const int chw = is_channel_count(c_first.get());
    if (chw < 0) return f.fail(29);
    if (chw) candidates += 1, candidate = &str.CHW;
    const int hwc = is_channel_count(c_last.get());
    if (hwc < 0) return f.fail(31);
    if (hwc) candidates += 1, candidate = &str.HWC;
    if (candidates == 1) return verdict(*candidate);

    int test = at_most_four(c_first.get());
    if (test > 0) test = shape_test(image, 1, greater_than_four);
    if (test > 0) test = shape_test(image, 2, greater_than_four);
    if (test < 0) return f.fail(37);
    if (test) return verdict(str.CHW);

    test = at_most_four(c_last.get());
    if (test > 0) test = shape_test(image, 0, greater_than_four);
    if (test > 0) test = shape_test(image, 1, greater_than_four);
    if (test < 0) return f.fail(39);
    if (test) return verdict(str.HWC);
    return verdict(str.ambiguous);
}

Ref guess_four_dimensional(Frame& f, PyObject* image) noexcept {
    int test = shape_test(image, 1, is_channel_count);
    if (test > 0) test = shape_test(image, 2, greater_than_four);
    if (test > 0) test = shape_test(image, 3, greater_than_four);
    if (test < 0) return f.fail(45);
    if (test) return verdict(str.NCHW);

    test = shape_test(image, -1, is_channel_count);
    if (test > 0) test = shape_test(image, 1, greater_than_four);
    if (test > 0) test = shape_test(image, 2, greater_than_four);
    if (test < 0) return f.fail(48);
    if (test) return verdict(str.NHWC);
    return verdict(str.ambiguous);
}

}  // namespace

Ref guess_image_layout(Frame& f, PyObject* const* args) noexcept {
    PyObject* image = args[0];
    Ref nd = rt::getattr(image, str.ndim.get());
    if (!nd) return f.fail(21);

    int test = rt::equals(nd.get(), k.two.get());
    if (test < 0) return f.fail(23);
    if (test) return verdict(str.HW);

    test = rt::equals(nd.get(), k.three.get());
    if (test < 0) return f.fail(26);
    if (test) return guess_three_dimensional(f, image);

    test = rt::equals(nd.get(), k.four.get());
    if (test < 0) return f.fail(43);
    if (test) return guess_four_dimensional(f, image);
    return verdict(str.unsupported);
}

}  // namespace lumivex::shapery
