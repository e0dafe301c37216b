// Model batches: one image or a list of images into an NCHW batch, and a batch back into images.
#include "shapery.hpp"

namespace lumivex::shapery {

namespace {

Ref not_implemented(Frame& f, int line) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return f.fail(line);
}

}  // namespace

Ref batch_to_images(Frame& f, PyObject* const*) noexcept { return not_implemented(f, 55); }
Ref images_to_batch(Frame& f, PyObject* const*) noexcept { return not_implemented(f, 101); }
Ref image_to_batch(Frame& f, PyObject* const*) noexcept { return not_implemented(f, 138); }

}  // namespace lumivex::shapery
