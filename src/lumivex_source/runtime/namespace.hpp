// Module-level name lookup for function bodies: the module dict first, then the builtins, as Python resolves
// a global name. Bodies look names up at each use, so a caller that rebinds a module attribute is honoured.
#pragma once

#include "ref.hpp"

namespace lumivex::rt {

class Namespace {
public:
    void set(PyObject* globals, PyObject* builtins) noexcept {
        globals_.set(Ref::borrow(globals));
        builtins_.set(Ref::borrow(builtins));
    }
    PyObject* globals() const noexcept { return globals_.get(); }
    PyObject* builtins() const noexcept { return builtins_.get(); }

    // The value bound to `name`, or an empty Ref with NameError (or the lookup's own error) set.
    Ref lookup(PyObject* name) const noexcept {
        if (PyObject* value = PyDict_GetItemWithError(globals_.get(), name)) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
        if (PyObject* value = PyDict_GetItemWithError(builtins_.get(), name)) return Ref::borrow(value);
        if (PyErr_Occurred()) return {};
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return {};
    }

    // `name.attribute`, with `name` looked up as above: `cp.zeros` and the like.
    Ref lookup_attribute(PyObject* name, PyObject* attribute) const noexcept {
        Ref value = lookup(name);
        if (!value) return {};
        return Ref::steal(PyObject_GetAttr(value.get(), attribute));
    }

private:
    Constant globals_;
    Constant builtins_;
};

}  // namespace lumivex::rt
