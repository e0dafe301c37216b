// Gaussian blending: the weight window and the merge of processed tiles into one image.
#include "tile.hpp"

namespace lumivex::tile {

Ref create_gaussian_weights(Frame& f, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return f.fail(96);
}

Ref merge_tiles(Frame& f, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return f.fail(49);
}

}  // namespace lumivex::tile
