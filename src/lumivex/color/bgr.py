"""Red/blue channel exchange for channels-last images (H, W, C) and batches (N, H, W, C).

Both functions always return a new array, so callers may modify the result in place without touching their input.
"""

import cupy as cp


def bgr_to_rgb(image):
    """Return a copy of `image` with channels 0 and 2 of the last axis exchanged.

    Images with fewer than three channels, and 2-D (grey) images, come back as plain copies;
    a fourth (alpha) channel stays where it is.
    """
    return _swap_red_blue(image)


def rgb_to_bgr(image):
    """Return a copy of `image` with channels 0 and 2 of the last axis exchanged (the inverse of bgr_to_rgb)."""
    return _swap_red_blue(image)


def _swap_red_blue(image):
    out = cp.array(image, copy=True)
    # A 2-D array is a grey image whose last axis is its width, not a channel axis.
    if out.ndim >= 3 and out.shape[-1] >= 3:
        red = out[..., 0].copy()
        out[..., 0] = out[..., 2]
        out[..., 2] = red
    return out
