// The frame shared by both extension modules: multi-phase init with one module object per process, the
// interpreter check, the version warning, refusal of a second exec, and the exec context through which a module
// fills its namespace statement by statement.
#pragma once

#include "function.hpp"
#include "namespace.hpp"

#include <cstdint>
#include <initializer_list>

namespace lumivex::rt {

class ModuleExec;

struct ModuleFrame {
    const char* short_name;   // "shapery"
    const char* full_name;    // "lumivex.utils.shapery"
    const char* source_path;  // "src/lumivex_source/utils/shapery"
    // The module's own exec steps after the common ones; -1 on failure, with the source line recorded in the
    // context when the failing step has one.
    int (*populate)(ModuleExec& exec) noexcept;

    // Process-wide state: the module lives until the process ends.
    int64_t interpreter_id = -1;
    Constant module{};
    bool executed = false;
    Namespace names{};  // what the bodies look names up in
};

class ModuleExec {
public:
    ModuleExec(ModuleFrame& frame, PyObject* module, PyObject* dict) noexcept
        : frame_(frame), module_(module), dict_(dict) {}

    PyObject* module() const noexcept { return module_; }
    PyObject* dict() const noexcept { return dict_; }
    int line() const noexcept { return line_; }

    // Records the source line of the failing statement and returns -1.
    int fail(int at) noexcept {
        line_ = at;
        return -1;
    }

    // Inserts the module into sys.modules under its full name unless an entry exists.
    int ensure_in_sys_modules() noexcept;
    // Keeps the builtin `name` in `slot` for the bodies; NameError if the builtins lack it.
    int keep_builtin(Constant& slot, const char* name) const noexcept;
    // Binds `name` in the module namespace.
    int bind(const char* name, PyObject* value) const noexcept;
    int bind(PyObject* name, PyObject* value) const noexcept;
    // `import <module> as <name>`, reusing a fully initialised module from sys.modules.
    int import_as(const char* module, const char* name) const noexcept;
    // `from <module> import <names...>` at `level`, relative to this module's package; binds each name.
    int from_import(const char* module, int level, std::initializer_list<const char*> names) const noexcept;
    // Creates the public functions and binds each under its name, in the order given; a failure is reported at
    // the first line of the function being created.
    struct Function {
        const FunctionDef* def;
        PyObject* defaults;  // null: no defaults
    };
    int add_functions(std::initializer_list<Function> functions) noexcept;
    // Binds `__test__` to a new empty dict, the last step of every exec.
    int bind_test_dict() const noexcept;

private:
    ModuleFrame& frame_;
    PyObject* module_;
    PyObject* dict_;
    int line_ = 0;
};

// The create and exec slots of the module definitions.
PyObject* module_create(ModuleFrame& frame, PyObject* module_spec) noexcept;
int module_exec(ModuleFrame& frame, PyObject* module) noexcept;

// The module definition of one frame, with the create and exec slots bound to it.
template <ModuleFrame& frame>
struct ModuleDefinition {
    static PyObject* create(PyObject* module_spec, PyModuleDef*) noexcept { return module_create(frame, module_spec); }
    static int exec(PyObject* module) noexcept { return module_exec(frame, module); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, reinterpret_cast<void*>(create)},
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    // No docstring, no per-module state (the module is one object per process), no method table.
    static inline PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, frame.short_name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };
    static PyObject* init() noexcept { return PyModuleDef_Init(&definition); }
};

// Interns `text` into `slot`; -1 on failure.
int intern(Constant& slot, const char* text) noexcept;

}  // namespace lumivex::rt
