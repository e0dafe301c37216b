"""Resizing an image that arrives band by band, for a requested scale that differs from the network's own factor.

`rescale_bands` takes the bands of rows of an (H, W, C) float32 image and yields the bands of the resized image,
holding only the input rows that the next output rows need. Each output row is computed as `resize` computes
it for the whole image (the same taps: area averaging on a shrinking axis, bilinear on an enlarging one; the
column pass first, then the rows, in float32), so the result is the same, bit for bit.
"""

import math

import cupy as cp
import numpy as np

from ..transform import resize as _resize

OUTPUT_ROWS = 256  # output rows per yielded band: temporaries stay at a few rows of the output's width


def output_size(height, width, scale, *, even=False):
    """(height, width) of an image `scale` times as large: exact for a whole factor; for any other, rounded half
    up to whole pixels (at least 1), or with `even` to the nearest even sides (at least 2), which every chroma
    subsampling of a video encoder takes. Every output of the package is sized here."""
    if even and not float(scale).is_integer():
        return max(2, 2 * math.floor(height * scale / 2 + 0.5)), max(2, 2 * math.floor(width * scale / 2 + 0.5))
    return max(1, math.floor(height * scale + 0.5)), max(1, math.floor(width * scale + 0.5))


def rescale_bands(bands, in_hw, out_hw):
    """The bands of `bands` (float32 CuPy (k, W, C), together `in_hw` in size) resized to `out_hw`."""
    (in_height, in_width), (out_height, out_width) = in_hw, out_hw
    rows = _resize._taps(in_height, out_height, _resize.INTER_AUTO, np.float32) if in_height != out_height else None
    cols = _resize._taps(in_width, out_width, _resize.INTER_AUTO, np.float32) if in_width != out_width else None
    held, held_from = None, 0  # input rows received and still needed, and the index of the first of them
    bands = iter(bands)
    col_pass = row_pass = None
    for first in range(0, out_height, OUTPUT_ROWS):
        last = min(out_height, first + OUTPUT_ROWS)
        lo, hi = (first, last) if rows is None else (int(rows.index[first:last].min()),
                                                       int(rows.index[first:last].max()) + 1)
        while held is None or held_from + held.shape[0] < hi:
            band = next(bands)
            held = band if held is None else cp.concatenate([held, band], axis=0)
        if held_from < lo:
            held, held_from = held[lo - held_from:], lo
        block = held[lo - held_from:hi - held_from]
        channels = block.shape[2]
        flat = cp.ascontiguousarray(block).reshape(hi - lo, in_width * channels)
        if cols is not None:
            if col_pass is None:
                flat_cols = cols.per_channel(channels)
                col_pass = _resize._Pass(cp, flat_cols.index, flat_cols.weight, np.float32)
            flat = col_pass.apply(cp, flat, _buffers(flat.shape[0], out_width * channels), axis=1)
        if rows is not None:
            if row_pass is None:
                row_pass = _resize._Pass(cp, rows.index, rows.weight[:, :, None], np.float32)
            flat = row_pass.apply(cp, flat, _buffers(last - first, flat.shape[1]), axis=0, rows=(first, last, lo))
        yield flat.reshape(last - first, out_width, channels)
    for _ in bands:  # the source may still hold rows no output row needs (never with whole-pixel sizes)
        pass


def _buffers(rows, length):
    return cp.empty((rows, length), dtype=cp.float32), cp.empty((rows, length), dtype=cp.float32)
