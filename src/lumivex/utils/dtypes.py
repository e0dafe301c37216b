"""Conversion of images to 32-bit float.

Contract, as the tile merging relies on it: one positional array in, a new float32 array out, of the same shape
and on the same device as the input (a CuPy array gives a CuPy array, a NumPy array a NumPy array; nothing
crosses between host and device, and anything that is not an array is refused). The result never shares memory
with the input, even when the input already is float32, so callers may change it in place.

dtype rules: uint8 is divided by 255 and uint16 by 65535, so full-range 8- and 16-bit pixels land in [0, 1];
every other real dtype (bool, other integers, float16/32/64) keeps its values, rounded to the nearest float32
(int32 and wider lose digits beyond 2**24, float64 beyond float32's precision and range). Complex images are
refused with TypeError.
"""

import cupy as cp


def to_float32(image):
    """Return a new float32 array: uint8 / 255, uint16 / 65535, any other real number type cast unchanged."""
    if not (hasattr(image, "dtype") and hasattr(image, "astype")):
        raise TypeError(f"to_float32() expects an image array, got {type(image).__name__}")
    if image.dtype.kind == "c":
        raise TypeError(f"to_float32() cannot convert complex images (got {image.dtype})")
    out = image.astype(cp.float32)  # always a copy
    if image.dtype == cp.uint8:
        out /= 255
    elif image.dtype == cp.uint16:
        out /= 65535
    return out
