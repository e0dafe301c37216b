"""Red/blue channel exchange for channels-last images (H, W, C) and batches (N, H, W, C).

Contract, as the native modules rely on it: one positional array in, a new writable array out, of the same shape,
dtype and device as the input, with channels 0 and 2 of the last axis exchanged when that axis has at least three
entries (a fourth, alpha, channel stays in place). Grey images (2-D) and images with one or two channels come
back as plain copies. The result never shares memory with the input, so callers may change it in place (the
batch conversions subtract means and scale it) without touching their own array. No data crosses between host
and device: a CuPy array gives a CuPy array, a NumPy array a NumPy array; anything else is refused.
"""


def bgr_to_rgb(image):
    """Return a copy of `image` with channels 0 and 2 of the last axis exchanged (blue-green-red to RGB)."""
    return _swap_red_blue(image)


def rgb_to_bgr(image):
    """Return a copy of `image` with channels 0 and 2 of the last axis exchanged (the inverse of bgr_to_rgb)."""
    return _swap_red_blue(image)


def _swap_red_blue(image):
    if not (hasattr(image, "ndim") and hasattr(image, "copy") and hasattr(image, "shape")):
        raise TypeError(f"expected an image array, got {type(image).__name__}")
    out = image.copy()  # on the input's device, C-ordered and writable even for a read-only or strided input
    # A 2-D array is a grey image whose last axis is its width, not a channel axis.
    if out.ndim >= 3 and out.shape[-1] >= 3:
        out[..., 0] = image[..., 2]
        out[..., 2] = image[..., 0]
    return out
