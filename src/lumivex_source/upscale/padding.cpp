// Reflective padding and tiling: pad an image to fit the tile grid, then cut it into overlapping tile views.
#include "tile.hpp"

namespace lumivex::tile {

Ref add_padding(Frame& f, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return f.fail(37);
}

Ref tile_image(Frame& f, PyObject* const*) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return f.fail(6);
}

}  // namespace lumivex::tile
