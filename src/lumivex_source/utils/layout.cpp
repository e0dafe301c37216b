// guess_image_layout: infers an array's layout from its number of dimensions and axis sizes alone. It reads
// only `ndim` and `shape`, so it costs a few attribute reads and small-integer comparisons.
#include "shapery.hpp"

namespace lumivex::shapery {

namespace {

// guess_image_layout (def at 12): its statements in source order, with the lines tracebacks report for them.
// A compound test reports its own line whichever of its parts fails.
namespace guess_line {
enum : int {
    read_ndim = 21,         // nd = image.ndim
    nd_is_two = 23,         // if nd == 2
    nd_is_three = 26,       // if nd == 3
    read_ends = 27,         // c_first, c_last = image.shape[0], image.shape[-1]
    new_candidates = 28,    // candidates = []                     (counted here, not built: cannot fail)
    chw_candidate = 29,     // if c_first in (1, 3, 4)
    append_chw = 30,        //     candidates.append("CHW")          (cannot fail)
    hwc_candidate = 31,     // if c_last in (1, 3, 4)
    append_hwc = 32,        //     candidates.append("HWC")          (cannot fail)
    one_candidate = 34,     // if len(candidates) == 1              (cannot fail)
    chw_by_size = 37,       // if c_first <= 4 and image.shape[1] > 4 and image.shape[2] > 4
    hwc_by_size = 39,       // if c_last <= 4 and image.shape[0] > 4 and image.shape[1] > 4
    nd_is_four = 43,        // if nd == 4
    nchw_test = 45,         // if image.shape[1] in (1, 3, 4) and image.shape[2] > 4 and image.shape[3] > 4
    nhwc_test = 48,         // if image.shape[-1] in (1, 3, 4) and image.shape[1] > 4 and image.shape[2] > 4
};
}  // namespace guess_line

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
    if (!shape) return f.fail(guess_line::read_ends);
    Ref c_first = rt::item_at(shape.get(), 0);
    if (!c_first) return f.fail(guess_line::read_ends);
    Ref shape_again = rt::getattr(image, str.shape.get());
    if (!shape_again) return f.fail(guess_line::read_ends);
    Ref c_last = rt::item_at(shape_again.get(), -1);
    if (!c_last) return f.fail(guess_line::read_ends);

    // The candidate list holds at most "CHW" then "HWC"; counting them is enough.
    int candidates = 0;
    const Constant* candidate = nullptr;
    const int chw = is_channel_count(c_first.get());
    if (chw < 0) return f.fail(guess_line::chw_candidate);
    if (chw) candidates += 1, candidate = &str.CHW;
    const int hwc = is_channel_count(c_last.get());
    if (hwc < 0) return f.fail(guess_line::hwc_candidate);
    if (hwc) candidates += 1, candidate = &str.HWC;
    if (candidates == 1) return verdict(*candidate);

    int test = at_most_four(c_first.get());
    if (test > 0) test = shape_test(image, 1, greater_than_four);
    if (test > 0) test = shape_test(image, 2, greater_than_four);
    if (test < 0) return f.fail(guess_line::chw_by_size);
    if (test) return verdict(str.CHW);

    test = at_most_four(c_last.get());
    if (test > 0) test = shape_test(image, 0, greater_than_four);
    if (test > 0) test = shape_test(image, 1, greater_than_four);
    if (test < 0) return f.fail(guess_line::hwc_by_size);
    if (test) return verdict(str.HWC);
    return verdict(str.ambiguous);
}

Ref guess_four_dimensional(Frame& f, PyObject* image) noexcept {
    int test = shape_test(image, 1, is_channel_count);
    if (test > 0) test = shape_test(image, 2, greater_than_four);
    if (test > 0) test = shape_test(image, 3, greater_than_four);
    if (test < 0) return f.fail(guess_line::nchw_test);
    if (test) return verdict(str.NCHW);

    test = shape_test(image, -1, is_channel_count);
    if (test > 0) test = shape_test(image, 1, greater_than_four);
    if (test > 0) test = shape_test(image, 2, greater_than_four);
    if (test < 0) return f.fail(guess_line::nhwc_test);
    if (test) return verdict(str.NHWC);
    return verdict(str.ambiguous);
}

}  // namespace

Ref guess_image_layout(Frame& f, PyObject* const* args) noexcept {
    PyObject* image = args[0];
    Ref nd = rt::getattr(image, str.ndim.get());
    if (!nd) return f.fail(guess_line::read_ndim);

    int test = rt::equals(nd.get(), k.two.get());
    if (test < 0) return f.fail(guess_line::nd_is_two);
    if (test) return verdict(str.HW);

    test = rt::equals(nd.get(), k.three.get());
    if (test < 0) return f.fail(guess_line::nd_is_three);
    if (test) return guess_three_dimensional(f, image);

    test = rt::equals(nd.get(), k.four.get());
    if (test < 0) return f.fail(guess_line::nd_is_four);
    if (test) return guess_four_dimensional(f, image);
    return verdict(str.unsupported);
}

}  // namespace lumivex::shapery
