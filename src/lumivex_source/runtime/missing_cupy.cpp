// The note attached when CuPy cannot be imported: a bare "No module named 'cupy'" does not say that CuPy comes
// from an extra matching the CUDA version, nor that a machine without a GPU can use the NumPy stand-in.
#include "missing_cupy.hpp"

#include "ref.hpp"

namespace lumivex::rt {

namespace {

constexpr const char* how_to_get_cupy =
    "lumivex needs CuPy: pip install \"lumivex[cuda12]\" (or \"lumivex[cuda13]\") installs it for CUDA 12 (or 13).\n"
    "Without a GPU, call lumivex.testing.install_cupy_standin() before importing lumivex modules to run them on "
    "the NumPy stand-in for CuPy.";

}  // namespace

void note_how_to_get_cupy() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return;
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(PyUnicode_FromString(how_to_get_cupy));
    Ref added = note ? Ref::steal(PyObject_CallMethod(error.get(), "add_note", "O", note.get())) : Ref();
    // The ImportError is what the import reports; a failure to attach the courtesy note must not replace it.
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(error.release());
}

}  // namespace lumivex::rt
