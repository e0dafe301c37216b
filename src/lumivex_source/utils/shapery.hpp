// Shared declarations of the shapery module: its interned names and constants, made once at import, the
// namespace lookup the bodies use, and the six function bodies (one file per group of bodies).
#pragma once

#include "../runtime/function.hpp"
#include "../runtime/module_frame.hpp"
#include "../runtime/ops.hpp"

namespace lumivex::shapery {

using rt::Constant;
using rt::Frame;
using rt::Ref;

// Every attribute, keyword, module-level and layout name the bodies use, interned once at import.
#define LUMIVEX_SHAPERY_STRINGS(X)                                                                           \
    X(cp) X(guess_image_layout) X(bgr_to_rgb) X(rgb_to_bgr) X(resize) X(INTER_AUTO) X(image_to_batch)           \
    X(Literal) X(ndim) X(shape) X(dtype) X(transpose) X(newaxis) X(array) X(stack) X(empty)                   \
    X(ascontiguousarray) X(roll) X(repeat) X(astype) X(float32) X(dsize) X(interpolation) X(axis) X(shift)    \
    X(scalefactor) X(size) X(mean) X(swap_rb) X(layout) X(HW) X(HWC) X(CHW) X(NHWC) X(NCHW) X(ambiguous)      \
    X(unsupported)

struct Strings {
#define LUMIVEX_DECLARE(id) Constant id;
    LUMIVEX_SHAPERY_STRINGS(LUMIVEX_DECLARE)
#undef LUMIVEX_DECLARE
};

struct Constants {
    Constant zero, one, two, three, four;
    // Ready-made argument tuples for transpose and friends.
    Constant axes_0231, axes_120, axes_0312, axes_201, axes_12;
    Constant layout_names;  // the seven Layout values, in order
    // Keyword-name tuples of the calls the bodies make.
    rt::KeywordNames<2> kw_dsize_interpolation;
    rt::KeywordNames<1> kw_dtype, kw_axis;
    rt::KeywordNames<2> kw_shift_axis;
    rt::KeywordNames<5> kw_batch_options;
    // The builtins the bodies use, fetched once at import.
    Constant value_error, range;
    // Message texts.
    Constant mean_message, unsupported_layout_prefix, dim_message, image_prefix, times_sign, not_divisible;
    // Batch conversions: the index (slice(None), None, None) that stands a per-channel vector up as (C, 1, 1).
    Constant channel_column;
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

// Source lines of the statements of the mean normalisation, which the batch and pixel-shift bodies share.
struct MeanLines {
    int isinstance, number, first_length, single, second_length, error;
};

// The caller's `mean` normalised: a number or a one-element sequence becomes a one-element tuple, which
// broadcasts over any channel count; three values are kept; any other length raises the mean ValueError.
Ref normalise_mean(Frame& f, PyObject* mean, const MeanLines& at) noexcept;

Ref guess_image_layout(Frame& f, PyObject* const* args) noexcept;
Ref batch_to_images(Frame& f, PyObject* const* args) noexcept;
Ref images_to_batch(Frame& f, PyObject* const* args) noexcept;
Ref image_to_batch(Frame& f, PyObject* const* args) noexcept;
Ref image_to_batch_pixelshift(Frame& f, PyObject* const* args) noexcept;
Ref pixelshift_fuse(Frame& f, PyObject* const* args) noexcept;

}  // namespace lumivex::shapery
