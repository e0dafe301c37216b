// Layout of the function object, shared by the type (function.cpp) and argument binding (binding.cpp).
#pragma once

#include "function.hpp"

namespace lumivex::rt {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    const char* source_path;
    // Owned references, set once at creation. Cycles through `globals` are broken by clearing the dict.
    PyObject* name;            // interned str, also __qualname__
    PyObject* module_name;     // str
    PyObject* trace_name;      // "<module>.<function>" for traceback entries
    PyObject* doc;             // str or None
    PyObject* defaults;        // tuple or null
    PyObject* annotations;     // dict
    PyObject* code;            // code object
    PyObject* parameter_names; // tuple of interned str, one per parameter
    PyObject* globals;         // module dict
    // Owned references made for speed, which can never lead back to the function (strs, a tuple of strs and
    // None, a list of code objects): released with it, but not shown to the collector, so that
    // gc.get_referents lists only what the function's attributes hold.
    PyObject* too_many_head;   // "<name>() takes at most 6 positional arguments (": the binding messages up to
    PyObject* too_few_head;    // the count given, made once; "exactly" in both for functions without defaults
    PyObject* type_heads;      // tuple, per parameter: "Argument '<name>' ... got " for tested ones, else None
    PyObject* traceback_codes; // list indexed by line - first line: the code object of the traceback entries
                               // at that line, or None; null until the first error
    Py_ssize_t parameter_count;
    Py_ssize_t required_count; // parameters before the first default
};

// Adds the traceback entry of `fn` at `line` to the exception being raised, from a code object made once per
// line (a frame is still made per error: a traceback owns its frames).
void add_traceback(Function& fn, int line) noexcept;

// Fills `bound` (one borrowed slot per parameter) from a vectorcall; -1 with TypeError set on failure.
int bind_arguments(const Function& fn, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                   PyObject** bound) noexcept;

// Runs the exact-type tests in parameter order; -1 with TypeError set at the first failure.
int check_exact_types(const Function& fn, PyObject* const* bound) noexcept;

}  // namespace lumivex::rt
