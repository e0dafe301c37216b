// The function object of both modules: a static description per public function (parameters, annotations,
// code-object data, body) and the callable Python object made from it at import. Calls go through vectorcall,
// are bound and type-tested by binding.cpp, and errors leaving the body get one traceback entry.
#pragma once

#include "ref.hpp"

#include <span>

namespace lumivex::rt {

// Exact builtin type required of a parameter after binding; subclasses are refused too.
enum class Exact : unsigned char { any, int_, float_or_none, list, tuple };

struct Parameter {
    const char* name;
    const char* annotation;
    Exact exact = Exact::any;
};

// The line bookkeeping of one running body: a failing statement records its source line, and the function
// boundary turns it into the traceback entry.
class Frame {
public:
    Ref fail(int at) noexcept {
        line_ = at;
        return {};
    }
    int line() const noexcept { return line_; }

private:
    int line_ = 0;
};

// A body receives the bound arguments (borrowed, one per parameter, defaults filled in) and returns the
// result, or an empty Ref with the Python error set and the failing line recorded in the frame.
using Body = Ref (*)(Frame& frame, PyObject* const* args);

inline constexpr Py_ssize_t max_parameters = 8;

struct FunctionDef {
    const char* name;
    int first_line;
    std::span<const Parameter> parameters;
    const char* return_annotation;
    std::span<const char* const> locals;  // local variable names after the parameters, for __code__
    const char* doc;                      // null: no docstring
    Body body;
};

// Where the functions of one module live: names used for __module__, tracebacks and __code__.
struct FunctionHome {
    const char* module_name;  // "lumivex.utils.shapery"
    const char* source_path;  // "src/lumivex_source/utils/shapery"
    PyObject* globals;        // the module dict, used for traceback frames
};

// Creates the function object. `defaults` is a tuple for the trailing parameters, or null for none.
Ref make_function(const FunctionDef& def, const FunctionHome& home, PyObject* defaults) noexcept;

// Adds a traceback entry "<name>" in `filename` at `line` to the exception being raised.
void add_traceback(const char* name, const char* filename, int line, PyObject* globals) noexcept;

}  // namespace lumivex::rt
