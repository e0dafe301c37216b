// Traceback entries for errors that leave native code, so that a Python traceback names the module function
// and the line of the statement that failed, as it would for Python source.
#include "function_object.hpp"

#include <frameobject.h>

namespace lumivex::rt {

namespace {

// Adds an entry for `code` (which names the function, file and line) to the exception being raised. Building
// the frame can itself fail; the error being raised must survive that.
void add_entry(PyObject* raised, PyCodeObject* code, PyObject* globals) noexcept {
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_SetRaisedException(raised);  // in place of the frame's own failure, if it failed
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// Lines past this distance from the first line are not cached (no body is that long).
constexpr Py_ssize_t max_cached_offset = 4096;

// The code object of `fn` at `line` (a new reference), cached on first use; null with an error set on failure.
PyCodeObject* code_at(Function& fn, int line) noexcept {
    const Py_ssize_t offset = line - fn.def->first_line;
    if (offset < 0 || offset > max_cached_offset) {
        return PyCode_NewEmpty(fn.source_path, PyUnicode_AsUTF8(fn.trace_name), line);  // new reference
    }
    if (!fn.traceback_codes) {
        fn.traceback_codes = PyList_New(0);
        if (!fn.traceback_codes) return nullptr;
        PyObject_GC_UnTrack(fn.traceback_codes);  // it only ever holds code objects and None: no cycles
    }
    PyObject* codes = fn.traceback_codes;
    if (offset < PyList_GET_SIZE(codes) && PyList_GET_ITEM(codes, offset) != Py_None) {
        return reinterpret_cast<PyCodeObject*>(Py_NewRef(PyList_GET_ITEM(codes, offset)));
    }
    while (PyList_GET_SIZE(codes) <= offset) {
        if (PyList_Append(codes, Py_None) < 0) return nullptr;
    }
    // An empty code object whose first line is `line` reports that line for a frame that never ran.
    PyCodeObject* code = PyCode_NewEmpty(fn.source_path, PyUnicode_AsUTF8(fn.trace_name), line);
    if (!code) return nullptr;
    PyList_SetItem(codes, offset, Py_NewRef(reinterpret_cast<PyObject*>(code)));  // replaces a None: cannot fail
    return code;
}

}  // namespace

void add_traceback(Function& fn, int line) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    PyCodeObject* code = code_at(fn, line);
    add_entry(raised, code, fn.globals);
    Py_XDECREF(code);
}

void add_traceback(const char* name, const char* filename, int line, PyObject* globals) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(filename, name, line);
    add_entry(raised, code, globals);
    Py_XDECREF(code);
}

}  // namespace lumivex::rt
