// The note attached when CuPy cannot be imported: a bare "No module named 'cupy'" does not say that CuPy comes
// from an extra matching the CUDA version, nor that a machine without a GPU can use the NumPy stand-in.
#include "missing_cupy.hpp"

#include "ops.hpp"

namespace lumivex::rt {

namespace {

constexpr const char* how_to_get_cupy =
    "lumivex needs CuPy: pip install \"lumivex[cuda12]\" (or \"lumivex[cuda13]\") installs it for CUDA 12 (or 13).\n"
    "Without a GPU, call lumivex.testing.install_cupy_standin() before importing lumivex modules to run them on "
    "the NumPy stand-in for CuPy.";

void note_how_to_get_cupy() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromString(how_to_get_cupy));
    // The ImportError is what the import reports; a failure to attach the courtesy note must not replace it.
    if (!note || add_note(error.get(), note.get()) < 0) PyErr_Clear();
    PyErr_SetRaisedException(error.release());
}

}  // namespace

int import_cupy(const ModuleExec& exec) noexcept {
    if (exec.import_as("cupy", "cp") == 0) return 0;
    note_how_to_get_cupy();
    return -1;
}

}  // namespace lumivex::rt
