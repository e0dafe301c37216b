// Traceback entries for errors that leave native code, so that a Python traceback names the module function
// and the line of the statement that failed, as it would for Python source.
#include "function.hpp"

#include <frameobject.h>

namespace lumivex::rt {

void add_traceback(const char* name, const char* filename, int line, PyObject* globals) noexcept {
    // Building the code and frame objects can itself fail; the error being raised must survive that.
    PyObject* raised = PyErr_GetRaisedException();
    // An empty code object whose first line is `line` reports that line for a frame that never ran.
    PyCodeObject* code = PyCode_NewEmpty(filename, name, line);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(raised);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
    Py_XDECREF(code);
}

}  // namespace lumivex::rt
