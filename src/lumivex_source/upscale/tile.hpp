// Shared declarations of the tile module: its interned names and constants, made once at import, the
// namespace lookup the bodies use, and the four function bodies.
#pragma once

#include "../runtime/function.hpp"
#include "../runtime/module_frame.hpp"
#include "../runtime/ops.hpp"

namespace lumivex::tile {

using rt::Constant;
using rt::Frame;
using rt::Ref;

// Every attribute, keyword and module-level name the bodies use, interned once at import.
#define LUMIVEX_TILE_STRINGS(X)                                                                              \
    X(cp) X(add_padding) X(create_gaussian_weights) X(to_float32) X(shape) X(pad) X(mode) X(reflect)          \
    X(patch_size) X(overlap) X(zeros) X(float32) X(dtype) X(linspace) X(meshgrid) X(sqrt) X(exp) X(sum)        \
    X(newaxis) X(sigma)

struct Strings {
#define LUMIVEX_DECLARE(id) Constant id;
    LUMIVEX_TILE_STRINGS(LUMIVEX_DECLARE)
#undef LUMIVEX_DECLARE
};

struct Constants {
    Constant zero, one, two, four, sixteen, one_twenty_eight, minus_one;
    Constant two_point_zero;  // the float 2.0
    Constant no_padding;      // the (0, 0) pair shared by every pad call
    Constant whole_axis;      // slice(None, None, None)
    // Keyword-name tuples of the calls the bodies make.
    rt::KeywordNames<1> kw_mode;
    rt::KeywordNames<2> kw_patch_size_overlap;
    rt::KeywordNames<1> kw_dtype, kw_sigma;
    // The builtins the bodies use, fetched once at import.
    Constant value_error, range;
    Constant sigma_zero_message;
};

extern Strings str;
extern Constants k;
extern rt::ModuleFrame frame;

// A module-level name as the bodies see it at this moment: the module dict, then the builtins.
inline Ref global(const Constant& name) noexcept { return frame.names.lookup(name.get()); }

// `cp.<attribute>`, with `cp` looked up at this moment like any module-level name.
inline Ref cp_attr(const Constant& attribute) noexcept {
    return frame.names.lookup_attribute(str.cp.get(), attribute.get());
}

Ref tile_image(Frame& f, PyObject* const* args) noexcept;
Ref add_padding(Frame& f, PyObject* const* args) noexcept;
Ref merge_tiles(Frame& f, PyObject* const* args) noexcept;
Ref create_gaussian_weights(Frame& f, PyObject* const* args) noexcept;

}  // namespace lumivex::tile
