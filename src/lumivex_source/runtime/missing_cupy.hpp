// `import cupy as cp` for both module frames, with the way forward for a user whose import failed: the
// ImportError keeps the type and message the import system gave it and gains a note on installing CuPy.
#pragma once

#include "module_frame.hpp"

namespace lumivex::rt {

// Binds `cp` in the module being executed; -1 with the error set on failure. An ImportError gets a note on
// installing CuPy (or using the CPU stand-in); any other error is left as it is.
int import_cupy(const ModuleExec& exec) noexcept;

}  // namespace lumivex::rt
