// Argument binding for the module functions: positional-or-keyword parameters filled from a vectorcall with
// no per-call allocation, the exact TypeError messages of CPython's generated argument parsers, and the
// exact-type tests that run after binding and before the body.
#include "function_object.hpp"
#include "ops.hpp"

#include <cstdio>
#include <cstring>

namespace lumivex::rt {

namespace {

// `head` followed by `tail`, both ASCII, in one allocation.
PyObject* join_ascii(PyObject* head, const char* tail, size_t tail_length) noexcept {
    const Py_ssize_t head_length = PyUnicode_GET_LENGTH(head);
    PyObject* text = PyUnicode_New(head_length + static_cast<Py_ssize_t>(tail_length), 127);
    if (!text) return nullptr;
    Py_UCS1* data = PyUnicode_1BYTE_DATA(text);
    memcpy(data, PyUnicode_1BYTE_DATA(head), static_cast<size_t>(head_length));
    memcpy(data + head_length, tail, tail_length);
    return text;
}

// Raises `exception_class(message)` and returns -1; a failure to build the message raises that error instead.
int raise_message(PyObject* exception_class, PyObject* message) noexcept {
    if (!message) return -1;
    PyErr_SetObject(exception_class, message);
    Py_DECREF(message);
    return -1;
}

// "<head><given> given)": the head holds everything up to the count given, made with the function.
int arity_error(PyObject* head, Py_ssize_t given) noexcept {
    char tail[32];
    const int length = snprintf(tail, sizeof tail, "%zd given)", given);
    if (!PyUnicode_IS_ASCII(head)) return raise_message(PyExc_TypeError, PyUnicode_FromFormat("%U%s", head, tail));
    return raise_message(PyExc_TypeError, join_ascii(head, tail, static_cast<size_t>(length)));
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
    if (nargs > count) return arity_error(fn.too_many_head, nargs);

    if (!kwnames) {  // the common call: positional arguments fill the leading parameters, defaults the rest
        if (nargs < fn.required_count) return arity_error(fn.too_few_head, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
        for (Py_ssize_t i = nargs; i < count; ++i) bound[i] = PyTuple_GET_ITEM(fn.defaults, i - fn.required_count);
        return 0;
    }

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
        return arity_error(fn.too_few_head, given);
    }
    for (Py_ssize_t i = fn.required_count; i < count; ++i) {
        if (!bound[i]) bound[i] = PyTuple_GET_ITEM(fn.defaults, i - fn.required_count);
    }
    return 0;
}

namespace {

// The note of a refused subclass, interned once per process.
Constant subclass_note;

int add_subclass_note(PyObject* error) noexcept {
    if (!subclass_note) {
        Ref note = Ref::steal(PyUnicode_InternFromString(
            "subclasses of builtin types are refused here: the argument must be exactly of the builtin type"));
        if (!note) return -1;
        subclass_note.set(std::move(note));
    }
    return add_note(error, subclass_note.get());
}

// TypeError "Argument '<name>' has incorrect type (expected <type>, got <type of given>)", from the head made
// with the function; the given type's name is cut at 200 bytes, as "%.200s" cuts it.
int type_error(const Function& fn, size_t index, PyTypeObject* expected, PyObject* given) noexcept {
    PyObject* head = PyTuple_GET_ITEM(fn.type_heads, static_cast<Py_ssize_t>(index));
    const char* type_name = Py_TYPE(given)->tp_name;
    char tail[201];  // the cut name and ')': join_ascii takes its length, so no terminator
    size_t length = 0;
    bool ascii = PyUnicode_IS_ASCII(head);
    for (; length < 200 && type_name[length]; ++length) {
        ascii = ascii && static_cast<unsigned char>(type_name[length]) < 128;
        tail[length] = type_name[length];
    }
    tail[length++] = ')';
    PyObject* message = ascii ? join_ascii(head, tail, length)
                              : PyUnicode_FromFormat("%U%.200s)", head, Py_TYPE(given)->tp_name);
    raise_message(PyExc_TypeError, message);
    // Without memory for the message the error is a MemoryError, which takes no note (it may be the one
    // preallocated instance, shared by every later failure).
    if (!PyObject_TypeCheck(given, expected) || !PyErr_ExceptionMatches(PyExc_TypeError)) return -1;

    // A subclass would pass an isinstance test, so say why it is refused.
    Ref error = Ref::steal(PyErr_GetRaisedException());
    if (add_subclass_note(error.get()) < 0) return -1;  // the failure of add_note replaces the TypeError
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
                if (!PyLong_CheckExact(value)) return type_error(fn, i, &PyLong_Type, value);
                break;
            case Exact::float_or_none:
                if (value != Py_None && !PyFloat_CheckExact(value)) {
                    return type_error(fn, i, &PyFloat_Type, value);
                }
                break;
            case Exact::list:
                if (!PyList_CheckExact(value)) return type_error(fn, i, &PyList_Type, value);
                break;
            case Exact::tuple:
                if (!PyTuple_CheckExact(value)) return type_error(fn, i, &PyTuple_Type, value);
                break;
        }
    }
    return 0;
}

}  // namespace lumivex::rt
