// The way forward for a user whose `import cupy` failed: both module frames attach it to the ImportError, whose
// type and message stay as the import system raised them.
#pragma once

namespace lumivex::rt {

// Adds a note on installing CuPy (or using the CPU stand-in) to the raised exception when it is an ImportError;
// any other error is left as it is.
void note_how_to_get_cupy() noexcept;

}  // namespace lumivex::rt
