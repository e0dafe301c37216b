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
    Py_ssize_t parameter_count;
    Py_ssize_t required_count; // parameters before the first default
};

// Fills `bound` (one borrowed slot per parameter) from a vectorcall; -1 with TypeError set on failure.
int bind_arguments(const Function& fn, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                   PyObject** bound) noexcept;

// Runs the exact-type tests in parameter order; -1 with TypeError set at the first failure.
int check_exact_types(const Function& fn, PyObject* const* bound) noexcept;

}  // namespace lumivex::rt
