"""Image resizing by separable per-axis weight matrices.

Each spatial axis is resampled by one (out x in) matrix product: area averaging when the axis shrinks, bilinear
interpolation with half-pixel centres and clamped edges (OpenCV's INTER_LINEAR) when it grows.
"""

import operator

import cupy as cp

INTER_LINEAR = 1
INTER_AREA = 3
INTER_AUTO = -1  # area or bilinear, chosen per axis; negative so it never collides with an OpenCV flag

_INTERPOLATIONS = (INTER_AUTO, INTER_AREA, INTER_LINEAR)


def resize(image, dsize, interpolation=INTER_AUTO):
    """Resize a 2-D (H, W) or 3-D image to `dsize` = (width, height) and return a new array.

    A 3-D image is taken as (C, H, W) when its first axis has at most 4 entries and its last more than 4, otherwise
    as (H, W, C); the result keeps the input's axis order and dtype (integers rounded to nearest and clipped).
    `interpolation` is INTER_AUTO (area when shrinking an axis, bilinear when enlarging it), INTER_AREA or
    INTER_LINEAR. Works on CuPy and NumPy arrays alike.
    """
    width, height = _check_dsize(dsize)
    if interpolation not in _INTERPOLATIONS:
        raise ValueError(f"unknown interpolation {interpolation!r}; use INTER_AUTO, INTER_AREA or INTER_LINEAR")
    if not (hasattr(image, "ndim") and hasattr(image, "dtype")):
        raise TypeError(f"resize() expects an image array, got {type(image).__name__}")
    if image.ndim == 2:
        axes = (0, 1)
    elif image.ndim == 3:
        axes = (1, 2) if image.shape[0] <= 4 < image.shape[2] else (0, 1)
    else:
        raise ValueError(f"resize() expects a 2-D or 3-D image, got {image.ndim} dimensions")
    kind = image.dtype.kind
    if kind not in "uif":
        raise TypeError(f"resize() supports integer and floating-point images, got {image.dtype}")
    if any(image.shape[a] == 0 for a in axes):
        raise ValueError(f"resize() cannot resize an empty image of shape {image.shape}")

    xp = cp.get_array_module(image)
    # float32 is exact for 8/16-bit pixels; wider integers and float64 need float64 to keep their values.
    wide = image.dtype == xp.float64 or (kind in "ui" and image.dtype.itemsize > 2)
    work = xp.float64 if wide else xp.float32
    jobs = [(a, n) for a, n in zip(axes, (height, width)) if n != image.shape[a]]
    jobs.sort(key=lambda job: job[1] / image.shape[job[0]])  # shrink first: later products see less data
    out = image
    for axis, n_out in jobs:
        weights = _weights(xp, image.shape[axis], n_out, interpolation).astype(work)
        out = xp.tensordot(weights, out.astype(work, copy=False), axes=([1], [axis]))
        out = xp.moveaxis(out, 0, axis)
    if out is image:
        return image.copy()
    if kind in "ui":
        info = xp.iinfo(image.dtype)
        out = xp.clip(xp.rint(out), info.min, info.max)
    return xp.ascontiguousarray(out.astype(image.dtype, copy=False))


def _check_dsize(dsize):
    message = f"dsize must be a (width, height) pair of positive integers, got {dsize!r}"
    try:
        width, height = dsize
        if isinstance(width, bool) or isinstance(height, bool):
            raise TypeError
        width, height = operator.index(width), operator.index(height)
    except (TypeError, ValueError):
        raise ValueError(message) from None
    if width <= 0 or height <= 0:
        raise ValueError(message)
    return width, height


def _weights(xp, n_in, n_out, interpolation):
    area = interpolation == INTER_AREA or (interpolation == INTER_AUTO and n_out < n_in)
    return _area_weights(xp, n_in, n_out) if area else _linear_weights(xp, n_in, n_out)


def _area_weights(xp, n_in, n_out):
    # Output pixel i covers the input interval [i*s, (i+1)*s); input pixel j counts by its overlap with it.
    s = n_in / n_out
    start = xp.arange(n_out, dtype=xp.float64)[:, None] * s
    j = xp.arange(n_in, dtype=xp.float64)[None, :]
    overlap = xp.maximum(xp.minimum(start + s, j + 1) - xp.maximum(start, j), 0)
    return overlap / overlap.sum(axis=1, keepdims=True)  # rows sum to exactly 1 despite rounding of s


def _linear_weights(xp, n_in, n_out):
    src = (xp.arange(n_out, dtype=xp.float64) + 0.5) * (n_in / n_out) - 0.5
    src = xp.clip(src, 0, n_in - 1)
    left = xp.floor(src)
    frac = (src - left)[:, None]
    left = left.astype(xp.int64)[:, None]
    right = xp.minimum(left + 1, n_in - 1)
    j = xp.arange(n_in)[None, :]
    return (j == left) * (1 - frac) + (j == right) * frac
