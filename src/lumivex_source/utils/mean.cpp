// Normalisation of the per-channel mean shared by the batch builders, the batch splitter and the pixel-shift
// decomposition. One value applies to every channel whatever the channel count (grey, RGB, RGBA).
#include "shapery.hpp"

namespace lumivex::shapery {

namespace {

int is_number(PyObject* value) noexcept {
    const int is_int = PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (is_int != 0) return is_int;
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyFloat_Type));
}

}  // namespace

Ref normalise_mean(Frame& f, PyObject* mean, const MeanLines& at) noexcept {
    const int number = is_number(mean);
    if (number < 0) return f.fail(at.isinstance);
    if (number) {
        Ref value = rt::to_float(mean);
        if (!value) return f.fail(at.number);
        Ref single = rt::tuple(value);
        if (!single) return f.fail(at.number);
        return single;
    }
    Py_ssize_t length = rt::length(mean);
    if (length < 0) return f.fail(at.first_length);
    if (length == 1) {
        Ref first = rt::item_at(mean, 0);
        if (!first) return f.fail(at.single);
        Ref single = rt::tuple(first);
        if (!single) return f.fail(at.single);
        return single;
    }
    length = rt::length(mean);
    if (length < 0) return f.fail(at.second_length);
    if (length != 3) {
        PyErr_SetObject(k.value_error.get(), k.mean_message.get());
        return f.fail(at.error);
    }
    return Ref::borrow(mean);
}

}  // namespace lumivex::shapery
