// Create and exec slots shared by both modules. The module object is made once per process and never torn
// down; a failed exec drops it so that a later import starts afresh.
#include "module_frame.hpp"

#include "imports.hpp"
#include "ops.hpp"

namespace lumivex::rt {

namespace {

// Copies module_spec.<attribute> into the module dict as `key`; a missing attribute is skipped.
int copy_module_spec_attribute(PyObject* module_spec, const char* attribute, PyObject* dict, const char* key,
                        bool skip_none) noexcept {
    Ref value = getattr(module_spec, attribute);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, key, value.get());
}

int warn_on_version_mismatch(const ModuleFrame& frame) noexcept {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, frame.full_name, "does not match", major, minor);
}

// Set when the interpreter that loaded this library is finalised. The module objects and constants of that
// interpreter are dead (the module dicts wiped to None) but still referenced, and the interpreter state of a
// later Py_Initialize has the same ID, so the create slot needs this to refuse instead of reviving them.
bool interpreter_finalised = false;
bool finalisation_watched = false;

void note_finalisation() noexcept { interpreter_finalised = true; }

int watch_finalisation() noexcept {
    if (finalisation_watched) return 0;
    if (Py_AtExit(note_finalisation) < 0) {
        PyErr_SetString(PyExc_ImportError, "cannot register the interpreter exit hook of a lumivex module");
        return -1;
    }
    finalisation_watched = true;
    return 0;
}

}  // namespace

PyObject* module_create(ModuleFrame& frame, PyObject* module_spec) noexcept {
    if (interpreter_finalised) {
        PyErr_Format(PyExc_ImportError,
                     "Module '%s' cannot be imported again after the interpreter that first imported it was "
                     "finalised: it can only be loaded once per process.",
                     frame.short_name);
        return nullptr;
    }
    const int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id < 0) return nullptr;
    if (frame.interpreter_id == -1) {
        if (watch_finalisation() < 0) return nullptr;
        frame.interpreter_id = interpreter_id;
    } else if (frame.interpreter_id != interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (frame.module) return Py_NewRef(frame.module.get());

    Ref name = getattr(module_spec, "name");
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_module_spec_attribute(module_spec, "loader", dict, "__loader__", false) < 0 ||
        copy_module_spec_attribute(module_spec, "origin", dict, "__file__", false) < 0 ||
        copy_module_spec_attribute(module_spec, "parent", dict, "__package__", false) < 0 ||
        copy_module_spec_attribute(module_spec, "submodule_search_locations", dict, "__path__", true) < 0) {
        return nullptr;
    }
    frame.module.set(Ref::borrow(module.get()));
    return module.release();
}

int module_exec(ModuleFrame& frame, PyObject* module) noexcept {
    if (frame.executed) {
        if (module == frame.module.get()) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     frame.short_name);
        return -1;
    }

    PyObject* dict = PyModule_GetDict(module);
    if (!dict) return -1;
    frame.module.set(Ref::borrow(module));
    ModuleExec exec(frame, module, dict);

    int status = -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref builtins_name = builtins ? Ref::steal(PyUnicode_InternFromString("__builtins__")) : Ref();  // see getattr
    if (builtins_name && PyObject_SetAttr(module, builtins_name.get(), builtins.get()) == 0 &&
        warn_on_version_mismatch(frame) == 0) {
        frame.names.set(dict, PyModule_GetDict(builtins.get()));
        status = frame.populate(exec);
    }
    if (status == 0) {
        frame.executed = true;
        return 0;
    }

    if (exec.line()) {
        Ref trace_name = Ref::steal(PyUnicode_FromFormat("init %s", frame.full_name));
        if (trace_name) add_traceback(PyUnicode_AsUTF8(trace_name.get()), frame.source_path, exec.line(), dict);
    }
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", frame.full_name);
    frame.module.set(Ref());
    return -1;
}

int ModuleExec::ensure_in_sys_modules() noexcept {
    PyObject* modules = PyImport_GetModuleDict();
    Ref name = Ref::steal(PyUnicode_FromString(frame_.full_name));
    if (!name) return -1;
    const int present = PySequence_Contains(modules, name.get());
    if (present != 0) return present < 0 ? -1 : 0;
    return PyObject_SetItem(modules, name.get(), module_);
}

int ModuleExec::keep_builtin(Constant& slot, const char* name) const noexcept {
    // PyDict_GetItemString would swallow a failure to make the key, reporting MemoryError as a NameError.
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return -1;
    PyObject* value = PyDict_GetItemWithError(frame_.names.builtins(), key.get());
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        return -1;
    }
    slot.set(Ref::borrow(value));
    return 0;
}

int ModuleExec::bind(const char* name, PyObject* value) const noexcept {
    return PyDict_SetItemString(dict_, name, value);
}

int ModuleExec::bind(PyObject* name, PyObject* value) const noexcept { return PyDict_SetItem(dict_, name, value); }

int ModuleExec::import_as(const char* module, const char* name) const noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    if (!module_name) return -1;
    Ref imported = import_module(module_name.get());
    if (!imported) return -1;
    return bind(name, imported.get());
}

int ModuleExec::from_import(const char* module, int level, std::initializer_list<const char*> names) const noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString(module));
    Ref fromlist = Ref::steal(PyList_New(0));
    if (!module_name || !fromlist) return -1;
    for (const char* name : names) {
        Ref text = Ref::steal(PyUnicode_InternFromString(name));
        if (!text || PyList_Append(fromlist.get(), text.get()) < 0) return -1;
    }
    Ref imported = import_for_from(module_name.get(), dict_, fromlist.get(), level);
    if (!imported) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(fromlist.get()); ++i) {
        PyObject* name = PyList_GET_ITEM(fromlist.get(), i);
        Ref value = import_name(imported.get(), name);
        if (!value || bind(name, value.get()) < 0) return -1;
    }
    return 0;
}

int ModuleExec::add_functions(std::initializer_list<Function> functions) noexcept {
    const FunctionHome home{frame_.full_name, frame_.source_path, dict_};
    for (const Function& function : functions) {
        Ref made = make_function(*function.def, home, function.defaults);
        if (!made || bind(function.def->name, made.get()) < 0) return fail(function.def->first_line);
    }
    return 0;
}

int ModuleExec::bind_test_dict() const noexcept {
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    return bind("__test__", test.get());
}

int intern(Constant& slot, const char* text) noexcept {
    Ref value = Ref::steal(PyUnicode_InternFromString(text));
    if (!value) return -1;
    slot.set(std::move(value));
    return 0;
}

}  // namespace lumivex::rt
