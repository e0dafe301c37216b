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
    // The builtin `name`, looked up once; NameError if the builtins lack it.
    Ref builtin(const char* name) const noexcept;
    // Binds `name` in the module namespace.
    int bind(const char* name, PyObject* value) const noexcept;
    int bind(PyObject* name, PyObject* value) const noexcept;
    // `import <module> as <name>`, reusing a fully initialised module from sys.modules.
    int import_as(const char* module, const char* name) const noexcept;
    // `from <module> import <names...>` at `level`, relative to this module's package; binds each name.
    int from_import(const char* module, int level, std::initializer_list<const char*> names) const noexcept;
    // Creates a public function and binds it under its name.
    int add_function(const FunctionDef& def, PyObject* defaults) const noexcept;

private:
    ModuleFrame& frame_;
    PyObject* module_;
    PyObject* dict_;
    int line_ = 0;
};

// The create and exec slots of the module definitions.
PyObject* module_create(ModuleFrame& frame, PyObject* module_spec) noexcept;
int module_exec(ModuleFrame& frame, PyObject* module) noexcept;

// Interns `text` into `slot`; -1 on failure.
int intern(Constant& slot, const char* text) noexcept;

}  // namespace lumivex::rt
