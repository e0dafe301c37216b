// Import helpers: the import statements of the module frames, made through the interpreter's import system.
#include "imports.hpp"

#include "ops.hpp"

namespace lumivex::rt {

namespace {

// Whether `module.__spec__._initializing` is true; a module without one counts as initialised.
int still_initialising(PyObject* module) noexcept {
    Ref module_spec = getattr(module, "__spec__");
    if (!module_spec) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref initialising = getattr(module_spec.get(), "_initializing");
    if (!initialising) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return truth(initialising.get());
}

}  // namespace

Ref import_module(PyObject* name) noexcept {
    Ref module = Ref::steal(PyImport_GetModule(name));
    // A None entry blocks the import; the import system raises the proper error for it below.
    if (module && module.get() != Py_None) {
        const int initialising = still_initialising(module.get());
        if (initialising < 0) return {};
        if (!initialising) return module;
    } else if (PyErr_Occurred()) {
        return {};
    }
    return Ref::steal(PyImport_ImportModuleLevelObject(name, nullptr, nullptr, nullptr, 0));
}

Ref import_for_from(PyObject* name, PyObject* globals, PyObject* fromlist, int level) noexcept {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, globals, nullptr, fromlist, level));
}

Ref import_name(PyObject* module, PyObject* name) noexcept {
    Ref value = getattr(module, name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();

    Ref module_name = getattr(module, "__name__");
    if (module_name) {
        Ref full_name = Ref::steal(PyUnicode_FromFormat("%S.%S", module_name.get(), name));
        if (!full_name) return {};
        Ref submodule = Ref::steal(PyImport_GetModule(full_name.get()));
        if (submodule || PyErr_Occurred()) return submodule;
    } else if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return {};
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

}  // namespace lumivex::rt
