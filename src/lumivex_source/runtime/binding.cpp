// Argument binding for the module functions: positional-or-keyword parameters filled from a vectorcall with
// no per-call allocation, the exact TypeError messages of CPython's generated argument parsers, and the
// exact-type tests that run after binding and before the body.
#include "function_object.hpp"

namespace lumivex::rt {

namespace {

int arity_error(const Function& fn, const char* bound_kind, Py_ssize_t bound, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 PyUnicode_AsUTF8(fn.name), bound_kind, bound, bound == 1 ? "" : "s", given);
    return -1;
}

// Index of the parameter named `key`, or -1. Interned names match by identity; the equality pass catches
// keywords built at run time.
Py_ssize_t find_parameter(const Function& fn, PyObject* key) noexcept {
    PyObject** names = &PyTuple_GET_ITEM(fn.parameter_names, 0);
    for (Py_ssize_t i = 0; i < fn.parameter_count; ++i) {
        if (names[i] == key) return i;
    }
    for (Py_ssize_t i = 0; i < fn.parameter_count; ++i) {
        if (PyUnicode_Compare(names[i], key) == 0) return i;
    }
    return -1;
}

}  // namespace

int bind_arguments(const Function& fn, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                   PyObject** bound) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t count = fn.parameter_count;
    const bool has_defaults = fn.required_count < count;
    if (nargs > count) return arity_error(fn, has_defaults ? "at most" : "exactly", count, nargs);

    for (Py_ssize_t i = 0; i < count; ++i) bound[i] = i < nargs ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", PyUnicode_AsUTF8(fn.name));
            return -1;
        }
        const Py_ssize_t index = find_parameter(fn, key);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         PyUnicode_AsUTF8(fn.name), key);
            return -1;
        }
        if (bound[index]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         PyUnicode_AsUTF8(fn.name), key);
            return -1;
        }
        bound[index] = args[nargs + k];
    }

    for (Py_ssize_t i = 0; i < fn.required_count; ++i) {
        if (bound[i]) continue;
        Py_ssize_t given = 0;
        while (given < count && bound[given]) ++given;
        return arity_error(fn, has_defaults ? "at least" : "exactly", fn.required_count, given);
    }
    for (Py_ssize_t i = fn.required_count; i < count; ++i) {
        if (!bound[i]) bound[i] = PyTuple_GET_ITEM(fn.defaults, i - fn.required_count);
    }
    return 0;
}

namespace {

int type_error(const Parameter& parameter, PyTypeObject* expected, PyObject* given) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter.name, expected->tp_name, Py_TYPE(given)->tp_name);
    if (!PyObject_TypeCheck(given, expected)) return -1;

    // A subclass would pass an isinstance test, so say why it is refused.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromString(
        "subclasses of builtin types are refused here: the argument must be exactly of the builtin type"));
    if (!note) return -1;
    Ref added = Ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
    if (!added) return -1;  // the failure of add_note replaces the TypeError
    PyErr_SetRaisedException(error.release());
    return -1;
}

}  // namespace

int check_exact_types(const Function& fn, PyObject* const* bound) noexcept {
    const auto parameters = fn.def->parameters;
    for (size_t i = 0; i < parameters.size(); ++i) {
        PyObject* value = bound[i];
        switch (parameters[i].exact) {
            case Exact::any:
                break;
            case Exact::int_:
                if (!PyLong_CheckExact(value)) return type_error(parameters[i], &PyLong_Type, value);
                break;
            case Exact::float_or_none:
                if (value != Py_None && !PyFloat_CheckExact(value)) {
                    return type_error(parameters[i], &PyFloat_Type, value);
                }
                break;
            case Exact::list:
                if (!PyList_CheckExact(value)) return type_error(parameters[i], &PyList_Type, value);
                break;
            case Exact::tuple:
                if (!PyTuple_CheckExact(value)) return type_error(parameters[i], &PyTuple_Type, value);
                break;
        }
    }
    return 0;
}

}  // namespace lumivex::rt
