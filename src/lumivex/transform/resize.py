"""Image resizing by separable per-axis taps, computed in bands of output rows.

Each output pixel along an axis is a weighted sum of a few input pixels (its taps): two for bilinear
interpolation with half-pixel centres and clamped edges (OpenCV's INTER_LINEAR), and the input pixels its
footprint overlaps, weighted by the overlap, for exact area averaging (OpenCV's INTER_AREA; on an enlarged axis
this is box sampling). The work is proportional to the output (times the shrink factor for area averaging), and
the temporaries stay at a band of output rows, so the same code serves CuPy and NumPy arrays.

8-bit images resized one way on both axes take OpenCV's arithmetic instead (_eight_bit), computed by OpenCV
itself where the pixels are in host memory (_opencv).
"""

import operator

import cupy as cp
import numpy as np

from . import _eight_bit, _opencv

INTER_LINEAR = 1
INTER_AREA = 3
INTER_AUTO = -1  # area or bilinear, chosen per axis; negative so it never collides with an OpenCV flag

_INTERPOLATIONS = (INTER_AUTO, INTER_AREA, INTER_LINEAR)
_BAND_ELEMENTS = 1 << 18  # floats per band of output rows: small enough to stay in cache on the CPU
_GPU_BAND_ELEMENTS = 1 << 23  # a few launches per image, and buffers well below the image's own size


def resize(image, dsize, interpolation=INTER_AUTO):
    """Resize a 2-D (H, W) or 3-D image to `dsize` = (width, height) and return a new array.

    A 3-D image is taken as (C, H, W) when its first axis has at most 4 entries and its last more than 4, otherwise
    as (H, W, C); the result keeps the input's axis order and dtype. `interpolation` is INTER_AUTO (area when
    shrinking an axis, bilinear when enlarging it), INTER_AREA or INTER_LINEAR.

    8-bit images resized one way on both axes (bilinear, or area averaging with no axis enlarged) get OpenCV's
    cv2.resize numbers, its fixed-point bilinear and rounded block means, identical on every device: OpenCV
    computes them in host memory, array operations of the same arithmetic on a GPU. Every other resize computes
    float taps, in float32 for 8- and 16-bit integers and float16/float32, in float64 for wider integers and
    float64; integers are rounded to nearest, ties to even, and clipped to the dtype's range. Works on CuPy and
    NumPy arrays alike: the result lives where the input does, and no data crosses between host and device.
    """
    width, height = _check_dsize(dsize)
    if interpolation not in _INTERPOLATIONS:
        raise ValueError(f"unknown interpolation {interpolation!r}; use INTER_AUTO, INTER_AREA or INTER_LINEAR")
    if not (hasattr(image, "ndim") and hasattr(image, "dtype") and hasattr(image, "shape")):
        raise TypeError(f"resize() expects an image array, got {type(image).__name__}")
    if image.ndim == 2:
        channels_first = False
    elif image.ndim == 3:
        channels_first = image.shape[0] <= 4 < image.shape[2]
    else:
        raise ValueError(f"resize() expects a 2-D or 3-D image, got {image.ndim} dimensions")
    kind = image.dtype.kind
    if kind not in "uif":
        raise TypeError(f"resize() supports integer and floating-point images, got {image.dtype}")
    xp = cp.get_array_module(image)
    # (H, W, C) with rows first, so that a band of output rows is a slice of the result; contiguous, so that
    # each row is one run of W * C values that the passes below treat as a flat vector.
    source = xp.ascontiguousarray(xp.moveaxis(image, 0, -1) if channels_first else image)
    if 0 in source.shape[:2]:
        raise ValueError(f"resize() cannot resize an empty image of shape {image.shape}")

    channels = source.shape[2] if source.ndim == 3 else 1
    out = xp.empty((height, width) + source.shape[2:], dtype=image.dtype)
    if (height, width) == source.shape[:2]:
        out[...] = source
    else:
        _resize_into(xp, source.reshape(source.shape[:2] + (channels,)), out.reshape(height, width, channels),
                     interpolation)
    return xp.ascontiguousarray(xp.moveaxis(out, -1, 0)) if channels_first else out


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


def _resize_into(xp, source, out, interpolation):
    """Resize `source` (H, W, C) into `out` (H', W', C), both C-contiguous and of the same dtype."""
    kind = _one_way(source.shape[:2], out.shape[:2], interpolation) if source.dtype == np.uint8 else None
    if kind is not None:
        # OpenCV's numbers on every device: OpenCV itself where the pixels are in host memory, the same integer
        # arithmetic in array operations elsewhere.
        if not _opencv.resize_on_host(source, out, kind, _eight_bit_by_arrays_on_host):
            _eight_bit_by_arrays(xp, source, out, kind)
    else:
        _resize_by_taps(xp, source, out, interpolation)


def _one_way(in_hw, out_hw, interpolation):
    """"linear" or "area" when both axes are resized that way (or kept), as by one cv2.resize call; else None:
    INTER_AUTO shrinking one axis and enlarging the other, or INTER_AREA enlarging (box sampling)."""
    enlarges = any(n_out > n_in for n_in, n_out in zip(in_hw, out_hw))
    shrinks = any(n_out < n_in for n_in, n_out in zip(in_hw, out_hw))
    if interpolation == INTER_LINEAR or (interpolation == INTER_AUTO and not shrinks):
        return "linear"
    return None if enlarges else "area"


def _eight_bit_by_arrays(xp, source, out, kind):
    """OpenCV's 8-bit numbers by array operations."""
    height, width, channels = out.shape
    flat_source, flat_out = source.reshape(source.shape[0], -1), out.reshape(height, -1)
    band = _band_rows(xp, height, width * channels)
    factors = _eight_bit.whole_factors(source.shape[:2], out.shape[:2])
    # OpenCV averages 2 x 2 blocks for a bilinear halving, the same numbers but for how some channel counts round.
    if kind == "linear" and factors != (2, 2):
        # A kept axis too takes its (2048, 0) taps: the row pass rounds even those.
        rows, cols = (_Taps(*_eight_bit.linear_taps(n_in, n_out))
                      for n_in, n_out in zip(source.shape[:2], out.shape[:2]))
        _eight_bit.linear(xp, flat_source, flat_out, rows, cols.per_channel(channels), band)
    elif factors is not None:
        _eight_bit.area_blocks(xp, flat_source, flat_out, channels, factors, band)
    else:
        _resample_image(xp, source, out, lambda n_in, n_out: _Taps(*_eight_bit.area_taps(n_in, n_out)), np.float32)


def _eight_bit_by_arrays_on_host(image, out_hw, kind):
    """What the array operations give for a NumPy (H, W, C) uint8 image: the reference OpenCV is checked against."""
    out = np.empty(out_hw + image.shape[2:], dtype=np.uint8)
    _eight_bit_by_arrays(np, image, out, kind)
    return out


def _resize_by_taps(xp, source, out, interpolation):
    """The general path: float taps along each axis, rounded once at the end for integer images."""
    # float32 is exact for 8/16-bit pixels; wider integers and float64 need float64 to keep their values.
    dtype = source.dtype
    wide = dtype == np.float64 or (dtype.kind in "ui" and dtype.itemsize > 2)
    work = np.float64 if wide else np.float32
    _resample_image(xp, source, out, lambda n_in, n_out: _taps(n_in, n_out, interpolation, work), work)


def _resample_image(xp, source, out, make_taps, work):
    """Fill `out` (H', W', C) from `source` (H, W, C) with the taps `make_taps(n_in, n_out)` of each resized axis."""
    (in_height, in_width), (height, width, channels) = source.shape[:2], out.shape
    rows = make_taps(in_height, height) if in_height != height else None
    cols = make_taps(in_width, width).per_channel(channels) if in_width != width else None
    _resample(xp, source.reshape(in_height, -1), out.reshape(height, -1), rows, cols, work)


def _band_rows(xp, height, row_length):
    """Output rows per band: a GPU wants few large launches, the CPU bands that stay in its caches."""
    on_gpu = xp is not np and getattr(xp, "cuda", None) is not None and xp.cuda.is_available()
    return min(height, max(1, (_GPU_BAND_ELEMENTS if on_gpu else _BAND_ELEMENTS) // row_length))


class _Taps:
    """For each output index along one axis: the input indices (n_out, k) and weights (n_out, k) it sums.

    Computed on the host from the sizes alone (a few numbers per output
    index) and moved to the image's device once per call.
    """

    def __init__(self, index, weight):
        self.index, self.weight = index, weight

    def per_channel(self, channels):
        """The taps along a flattened (W * C) row: every channel of a pixel takes its pixel's taps."""
        if channels == 1:
            return self
        index = self.index[:, None, :] * channels + np.arange(channels)[None, :, None]
        weight = np.broadcast_to(self.weight[:, None, :], index.shape)
        return _Taps(index.reshape(-1, index.shape[2]), weight.reshape(-1, index.shape[2]))


def _taps(n_in, n_out, interpolation, work):
    area = interpolation == INTER_AREA or (interpolation == INTER_AUTO and n_out < n_in)
    index, weight = _area_taps(n_in, n_out) if area else _linear_taps(n_in, n_out)
    return _Taps(index, weight.astype(work))


def _linear_taps(n_in, n_out):
    src = (np.arange(n_out, dtype=np.float64) + 0.5) * (n_in / n_out) - 0.5
    src = np.clip(src, 0, n_in - 1)
    left = np.floor(src)
    frac = src - left
    left = left.astype(np.intp)
    right = np.minimum(left + 1, n_in - 1)
    return np.stack([left, right], axis=1), np.stack([1 - frac, frac], axis=1)


def _area_taps(n_in, n_out):
    # Output pixel i covers the input interval [i*s, (i+1)*s); input pixel j counts by its overlap with it.
    s = n_in / n_out
    start = np.arange(n_out, dtype=np.float64) * s
    first = np.floor(start).astype(np.intp)
    k = int(np.ceil(s)) + 1  # the most input pixels an interval of length s can touch
    index = np.minimum(first[:, None] + np.arange(k), n_in - 1)
    j = first[:, None] + np.arange(k)
    overlap = np.maximum(np.minimum(start[:, None] + s, j + 1) - np.maximum(start[:, None], j), 0)
    overlap[j >= n_in] = 0
    used = overlap.any(axis=0)  # an integer factor never reaches its last possible tap: don't gather it
    index, overlap = index[:, used], overlap[:, used]
    return index, overlap / overlap.sum(axis=1, keepdims=True)  # rows sum to exactly 1 despite rounding of s


def _resample(xp, source, out, rows, cols, work):
    """Fill `out` (H', W' * C) from `source` (H, W * C): the column pass first within each band of output rows.

    A band recomputes the column pass for the one or two input rows it shares with its neighbour; that is the
    price of temporaries no larger than the band. The temporaries are allocated once and reused by every band:
    fresh ones per band cost more (page faults on the CPU, allocator calls on the GPU) than the arithmetic.
    """
    height, row_length = out.shape
    band = _band_rows(xp, height, row_length)
    col_pass = row_pass = None
    if cols is not None:
        col_pass = _Pass(xp, cols.index, cols.weight, work)
    if rows is not None:
        row_pass = _Pass(xp, rows.index, rows.weight[:, :, None], work)
    # The column pass of a band reads at most this many input rows.
    span = band if rows is None else int((rows.index[band - 1:] - rows.index[:height - band + 1, :1]).max()) + 1
    col_buffers = _Buffers(xp, (span, row_length), work) if cols is not None else None
    row_buffers = _Buffers(xp, (band, row_length), work) if rows is not None else None
    for first in range(0, height, band):
        last = min(height, first + band)
        if rows is None:
            lo, hi = first, last
        else:
            lo, hi = int(rows.index[first:last].min()), int(rows.index[first:last].max()) + 1
        block = source[lo:hi]
        if cols is not None:
            block = col_pass.apply(xp, block, col_buffers.view(hi - lo), axis=1)
        if rows is not None:
            block = row_pass.apply(xp, block, row_buffers.view(last - first), axis=0, rows=(first, last, lo))
        if out.dtype.kind in "ui":
            # Weights are non-negative and sum to 1, so sums stay within the input's range: rounding is the
            # only step left, and it writes the result's dtype directly.
            xp.rint(block, out=out[first:last], casting="unsafe")
        else:
            out[first:last] = block


class _Pass:
    """One axis's taps on the image's device: per tap, the input indices and weights of all output indices."""

    def __init__(self, xp, index, weight, work):
        self.index = [xp.asarray(np.ascontiguousarray(index[:, t])) for t in range(index.shape[1])]
        self.weight = [xp.asarray(np.ascontiguousarray(weight[:, t], dtype=work)) for t in range(weight.shape[1])]

    def apply(self, xp, block, buffers, axis, rows=None):
        total, term = buffers
        for t, (index, weight) in enumerate(zip(self.index, self.weight)):
            if rows is not None:  # a band of output rows: its taps, relative to the band's first input row
                first, last, lo = rows
                index, weight = index[first:last] - lo, weight[first:last]
            xp.multiply(xp.take(block, index, axis=axis), weight, out=total if t == 0 else term)
            if t:
                total += term
        return total


class _Buffers:
    """Two work-dtype arrays (running total, current term) of a band's largest shape, handed out as views."""

    def __init__(self, xp, shape, work):
        self.total = xp.empty(shape, dtype=work)
        self.term = xp.empty(shape, dtype=work)

    def view(self, rows):
        return self.total[:rows], self.term[:rows]
