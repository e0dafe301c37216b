// The function type: attributes modelled on Python functions (__name__, __defaults__, __code__, ...), so that
// inspect.signature and help() see the real signature, and a vectorcall entry that binds, type-tests and runs
// the body, adding the traceback entry once at this boundary.
#include "function_object.hpp"

#include <cstddef>

namespace lumivex::rt {

namespace {

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

// Called when a body failed or left an exception set, with the body's result (stolen; null on failure). As
// CPython checks what a builtin returns, failure must come with an exception and a result must not: either
// breach becomes a SystemError naming the function, so it surfaces where it happened. Leaves an error set.
void report_failure(PyObject* self, PyObject* result) noexcept {
    if (!result) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", self);
        }
        return;
    }
    Py_DECREF(result);
    PyObject* cause = PyErr_GetRaisedException();
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", self);
    PyObject* error = PyErr_GetRaisedException();
    PyException_SetCause(error, Py_NewRef(cause));
    PyException_SetContext(error, cause);
    PyErr_SetRaisedException(error);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Function& fn = *as_function(self);
    PyObject* bound[max_parameters];
    if (bind_arguments(fn, args, nargsf, kwnames, bound) < 0) {
        add_traceback(fn, fn.def->first_line);
        return nullptr;
    }
    if (check_exact_types(fn, bound) < 0) return nullptr;

    // Bodies call back into Python, which may call these functions again (a rebound module name, a
    // self-referential list): keep that from exhausting the C stack.
    if (Py_EnterRecursiveCall(" in a lumivex function")) return nullptr;
    Frame frame;
    PyObject* result = fn.def->body(frame, bound).release();
    Py_LeaveRecursiveCall();
    if (result && !PyErr_Occurred()) [[likely]] return result;
    report_failure(self, result);
    add_traceback(fn, frame.line() ? frame.line() : fn.def->first_line);
    return nullptr;
}

// Every owned reference of a function object that the collector sees, so that traverse and dealloc cannot
// drift apart; then those it need not see (see function_object.hpp), released by dealloc alone.
constexpr PyObject* Function::*visited_fields[] = {
    &Function::name,     &Function::module_name, &Function::trace_name, &Function::doc,
    &Function::defaults, &Function::annotations, &Function::code,       &Function::parameter_names,
    &Function::globals,
};
constexpr PyObject* Function::*unvisited_fields[] = {
    &Function::too_many_head, &Function::too_few_head, &Function::type_heads, &Function::traceback_codes,
};

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Function* fn = as_function(self);
    for (PyObject* Function::*field : visited_fields) Py_VISIT(fn->*field);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Function* fn = as_function(self);
    for (PyObject* Function::*field : visited_fields) Py_XDECREF(fn->*field);
    for (PyObject* Function::*field : unvisited_fields) Py_XDECREF(fn->*field);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->name, self);
}

PyObject* none_getter(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* defaults_getter(PyObject* self, void*) noexcept {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

PyObject* annotations_getter(PyObject* self, void*) noexcept {
    return Py_NewRef(as_function(self)->annotations);
}

// Like a builtin, the function does not bind to instances when stored on a class. Having __get__ still matters:
// inspect counts only objects with it (or Python functions) as routines, and pydoc documents a non-routine as
// data, without its signature.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) noexcept { return Py_NewRef(self); }

// Pickled by reference, like any module-level function.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept { return Py_NewRef(as_function(self)->name); }

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module_name), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__defaults__", defaults_getter, nullptr, nullptr, nullptr},
    {"__kwdefaults__", none_getter, nullptr, nullptr, nullptr},
    {"__annotations__", annotations_getter, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
    PyTypeObject type{PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop
    type.tp_name = "lumivex.function";
    type.tp_basicsize = sizeof(Function);
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_traverse = function_traverse;
    type.tp_methods = function_methods;
    type.tp_members = function_members;
    type.tp_getset = function_getset;
    type.tp_descr_get = function_descr_get;
    return type;
}();

Ref make_code(const FunctionDef& def, const FunctionHome& home, PyObject* name) noexcept {
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(def.parameters.size());
    const Py_ssize_t nlocals = nparams + static_cast<Py_ssize_t>(def.locals.size());
    Ref varnames = Ref::steal(PyTuple_New(nlocals));
    if (!varnames) return {};
    for (Py_ssize_t i = 0; i < nlocals; ++i) {
        const char* text = i < nparams ? def.parameters[i].name : def.locals[i - nparams];
        PyObject* varname = PyUnicode_InternFromString(text);
        if (!varname) return {};
        PyTuple_SET_ITEM(varnames.get(), i, varname);
    }
    Ref filename = Ref::steal(PyUnicode_FromString(home.source_path));
    Ref empty_bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, 0));
    Ref empty_tuple = Ref::steal(PyTuple_New(0));
    if (!filename || !empty_bytes || !empty_tuple) return {};
    constexpr int optimized_newlocals = CO_OPTIMIZED | CO_NEWLOCALS;
    return Ref::steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        static_cast<int>(nparams), 0, 0, static_cast<int>(nlocals), 0, optimized_newlocals, empty_bytes.get(),
        empty_tuple.get(), empty_tuple.get(), varnames.get(), empty_tuple.get(), empty_tuple.get(),
        filename.get(), name, name, def.first_line, empty_bytes.get(), empty_bytes.get())));
}

// Annotation texts in parameter order, "return" last.
Ref make_annotations(const FunctionDef& def) noexcept {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const Parameter& parameter : def.parameters) {
        Ref text = Ref::steal(PyUnicode_FromString(parameter.annotation));
        if (!text || PyDict_SetItemString(annotations.get(), parameter.name, text.get()) < 0) return {};
    }
    Ref text = Ref::steal(PyUnicode_FromString(def.return_annotation));
    if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return {};
    return annotations;
}

// The fixed start of the arity message for `bound` positional arguments, up to the count given.
Ref arity_head(const FunctionDef& def, const char* bound_kind, Py_ssize_t bound) noexcept {
    return Ref::steal(PyUnicode_FromFormat("%.200s() takes %.8s %zd positional argument%.1s (", def.name, bound_kind,
                                           bound, bound == 1 ? "" : "s"));
}

// The type of a parameter's exact test, or null for an untested one.
PyTypeObject* expected_type(Exact exact) noexcept {
    switch (exact) {
        case Exact::any: return nullptr;
        case Exact::int_: return &PyLong_Type;
        case Exact::float_or_none: return &PyFloat_Type;
        case Exact::list: return &PyList_Type;
        case Exact::tuple: return &PyTuple_Type;
    }
    return nullptr;
}

// Per parameter, the fixed start of its type-test message up to the given type's name; None where untested.
Ref make_type_heads(const FunctionDef& def) noexcept {
    Ref heads = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(def.parameters.size())));
    if (!heads) return {};
    for (size_t i = 0; i < def.parameters.size(); ++i) {
        const PyTypeObject* expected = expected_type(def.parameters[i].exact);
        PyObject* head = expected ? PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got ",
                                                         def.parameters[i].name, expected->tp_name)
                                  : Py_NewRef(Py_None);
        if (!head) return {};
        PyTuple_SET_ITEM(heads.get(), static_cast<Py_ssize_t>(i), head);
    }
    return heads;
}

}  // namespace

Ref make_function(const FunctionDef& def, const FunctionHome& home, PyObject* defaults) noexcept {
    if (PyType_Ready(&function_type) < 0) return {};
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(def.parameters.size());
    const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (nparams > max_parameters || ndefaults > nparams) {
        PyErr_Format(PyExc_SystemError, "bad function description for %s", def.name);
        return {};
    }

    Ref name = Ref::steal(PyUnicode_InternFromString(def.name));
    if (!name) return {};
    Ref module_name = Ref::steal(PyUnicode_FromString(home.module_name));
    Ref trace_name = Ref::steal(PyUnicode_FromFormat("%s.%s", home.module_name, def.name));
    Ref doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    Ref annotations = make_annotations(def);
    Ref code = make_code(def, home, name.get());
    Ref parameter_names = Ref::steal(PyTuple_New(nparams));
    const bool has_defaults = ndefaults > 0;
    Ref too_many_head = arity_head(def, has_defaults ? "at most" : "exactly", nparams);
    Ref too_few_head = arity_head(def, has_defaults ? "at least" : "exactly", nparams - ndefaults);
    Ref type_heads = make_type_heads(def);
    if (!module_name || !trace_name || !doc || !annotations || !code || !parameter_names || !too_many_head ||
        !too_few_head || !type_heads) {
        return {};
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        PyObject* parameter_name = PyUnicode_InternFromString(def.parameters[i].name);
        if (!parameter_name) return {};
        PyTuple_SET_ITEM(parameter_names.get(), i, parameter_name);
    }

    Function* fn = PyObject_GC_New(Function, &function_type);
    if (!fn) return {};
    // No failures past this point: every field is filled before the object is tracked.
    fn->vectorcall = function_vectorcall;
    fn->def = &def;
    fn->source_path = home.source_path;
    fn->name = name.release();
    fn->module_name = module_name.release();
    fn->trace_name = trace_name.release();
    fn->doc = doc.release();
    fn->defaults = Py_XNewRef(defaults);
    fn->annotations = annotations.release();
    fn->code = code.release();
    fn->parameter_names = parameter_names.release();
    fn->globals = Py_NewRef(home.globals);
    fn->too_many_head = too_many_head.release();
    fn->too_few_head = too_few_head.release();
    fn->type_heads = type_heads.release();
    fn->traceback_codes = nullptr;
    fn->parameter_count = nparams;
    fn->required_count = nparams - ndefaults;
    PyObject_GC_Track(fn);
    return Ref::steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace lumivex::rt
