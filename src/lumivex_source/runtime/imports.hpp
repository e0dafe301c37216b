// Import helpers for the module frames: `import x` that reuses a fully initialised module, and the two halves
// of `from .. import name` (importing the module relative to the package, then taking each name).
#pragma once

#include "ref.hpp"

namespace lumivex::rt {

// `import name` (absolute). A module already in sys.modules is used unless it is still initialising.
Ref import_module(PyObject* name) noexcept;

// The module of `from <name> import <fromlist>` at `level`, resolved against `globals`.
Ref import_for_from(PyObject* name, PyObject* globals, PyObject* fromlist, int level) noexcept;

// `name` taken from `module`; a missing attribute falls back to the submodule "<module>.<name>" in
// sys.modules, else ImportError "cannot import name <name>".
Ref import_name(PyObject* module, PyObject* name) noexcept;

}  // namespace lumivex::rt
