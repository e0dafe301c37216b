"""Conversion of images to 32-bit float.

8- and 16-bit unsigned images are scaled to [0, 1] by their full range; every other real dtype keeps its values.
"""

import cupy as cp


def to_float32(image):
    """Return a new float32 array: uint8 / 255, uint16 / 65535, any other real number type cast unchanged."""
    image = cp.asarray(image)
    if image.dtype.kind == "c":
        raise TypeError(f"to_float32() cannot convert complex images (got {image.dtype})")
    out = image.astype(cp.float32)  # always a copy
    if image.dtype == cp.uint8:
        out /= 255
    elif image.dtype == cp.uint16:
        out /= 65535
    return out
