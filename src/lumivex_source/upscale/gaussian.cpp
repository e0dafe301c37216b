// create_gaussian_weights: the normalised Gaussian window with which overlapping tiles are blended, built by
// whole-array CuPy calls (the module links no maths library) with a trailing axis to broadcast over channels.
#include "tile.hpp"

namespace lumivex::tile {

namespace {

// create_gaussian_weights (def at 96): its statements in source order, with the lines tracebacks report for
// them. A statement reports its own line whichever of its parts fails.
namespace window_line {
enum : int {
    x = 112,         // x = cp.linspace(-1, 1, size)
    y = 113,         // y = cp.linspace(-1, 1, size)
    grid = 114,      // x, y = cp.meshgrid(x, y)
    distance = 115,  // d = cp.sqrt(x * x + y * y)
    gaussian = 116,  // gaussian = cp.exp(-(d ** 2 / (2.0 * sigma ** 2)))
    normalise = 117, // gaussian = gaussian / cp.sum(gaussian)
    result = 118,    // return gaussian[:, :, cp.newaxis]
};
}  // namespace window_line

// `cp.<name>(*args)`, looking `cp` up afresh as every use in the body does.
template <class... Args>
Ref cp_call(const Constant& name, const Args&... args) noexcept {
    Ref function = cp_attr(name);
    if (!function) return {};
    return rt::call(function.get(), args...);
}

}  // namespace

Ref create_gaussian_weights(Frame& f, PyObject* const* args) noexcept {
    PyObject* size = args[0];
    PyObject* sigma = args[1];

    // A zero sigma divides every distance by zero: the map would be all NaN and so would any merge using it.
    const int flat = rt::equals(sigma, k.zero.get());
    if (flat < 0) return f.fail(window_line::x);
    if (flat) {
        PyErr_SetObject(k.value_error.get(), k.sigma_zero_message.get());
        return f.fail(window_line::x);
    }

    Ref x = cp_call(str.linspace, k.minus_one, k.one, size);
    if (!x) return f.fail(window_line::x);
    Ref y = cp_call(str.linspace, k.minus_one, k.one, size);
    if (!y) return f.fail(window_line::y);

    Ref grid = cp_call(str.meshgrid, x, y);
    if (!grid) return f.fail(window_line::grid);
    Ref axes[2];
    if (rt::unpack(grid.get(), axes, 2) < 0) return f.fail(window_line::grid);
    x = std::move(axes[0]);
    y = std::move(axes[1]);

    Ref xx = rt::multiply(x.get(), x.get());
    Ref yy = xx ? rt::multiply(y.get(), y.get()) : Ref();
    Ref squares = yy ? rt::add(xx.get(), yy.get()) : Ref();
    Ref d = squares ? cp_call(str.sqrt, squares) : Ref();
    if (!d) return f.fail(window_line::distance);

    // The divisor is a Python float: sigma ** 2 stays an exact int until it meets 2.0.
    Ref sigma_squared = rt::power(sigma, k.two.get());
    Ref divisor = sigma_squared ? rt::multiply(sigma_squared.get(), k.two_point_zero.get()) : Ref();
    if (divisor) divisor = rt::to_float(divisor.get());
    Ref d_squared = divisor ? rt::power(d.get(), k.two.get()) : Ref();
    Ref quotient = d_squared ? rt::true_divide(d_squared.get(), divisor.get()) : Ref();
    Ref exponent = quotient ? rt::negative(quotient.get()) : Ref();
    Ref gaussian = exponent ? cp_call(str.exp, exponent) : Ref();
    if (!gaussian) return f.fail(window_line::gaussian);

    Ref total = cp_call(str.sum, gaussian);
    if (total) gaussian = rt::true_divide(gaussian.get(), total.get());
    if (!total || !gaussian) return f.fail(window_line::normalise);

    Ref newaxis = cp_attr(str.newaxis);
    if (!newaxis) return f.fail(window_line::result);
    Ref key = rt::tuple(k.whole_axis, k.whole_axis, newaxis);
    if (!key) return f.fail(window_line::result);
    Ref result = rt::item(gaussian.get(), key.get());
    if (!result) return f.fail(window_line::result);
    return result;
}

}  // namespace lumivex::tile
