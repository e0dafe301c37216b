// Out-of-line parts of the body operations: the ones too long to inline at every use.
#include "ops.hpp"

namespace lumivex::rt {

namespace {

int unpack_error(Py_ssize_t got, Py_ssize_t expected) noexcept {
    if (got > expected) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
    } else {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    }
    return -1;
}

}  // namespace

int unpack(PyObject* iterable, Ref* targets, Py_ssize_t count) noexcept {
    if (PyTuple_CheckExact(iterable) || PyList_CheckExact(iterable)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(iterable);
        if (size != count) return unpack_error(size, count);
        PyObject** items = PySequence_Fast_ITEMS(iterable);
        for (Py_ssize_t i = 0; i < count; ++i) targets[i] = Ref::borrow(items[i]);
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    if (!iterator) return -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref value = Ref::steal(PyIter_Next(iterator.get()));
        if (!value) {
            if (PyErr_Occurred()) return -1;
            return unpack_error(i, count);
        }
        targets[i] = std::move(value);
    }
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra) return unpack_error(count + 1, count);
    return PyErr_Occurred() ? -1 : 0;
}

int raise_with(PyObject* exception_class, PyObject* message) noexcept {
    PyErr_SetObject(exception_class, message);
    return -1;
}

int add_note(PyObject* error, PyObject* note) noexcept {
    static Constant add_note_name;  // interned on first use; refused arguments are rare
    if (!add_note_name) {
        Ref name = Ref::steal(PyUnicode_InternFromString("add_note"));
        if (!name) return -1;
        add_note_name.set(std::move(name));
    }
    PyObject* stack[] = {error, note};
    Ref added = Ref::steal(PyObject_VectorcallMethod(add_note_name.get(), stack, 2, nullptr));
    return added ? 0 : -1;
}

}  // namespace lumivex::rt
