// Sub-pixel phases: decomposition of an image into its dim² phases and fusion of the predictions made for them.
#include "shapery.hpp"

namespace lumivex::shapery {

Ref image_to_batch_pixelshift(Frame& f, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return f.fail(199);
}

Ref pixelshift_fuse(Frame& f, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return f.fail(246);
}

}  // namespace lumivex::shapery
