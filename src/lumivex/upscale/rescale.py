"""Resizing an image that arrives band by band, for a requested scale that differs from the network's own factor.

`rescale_bands` takes the bands of rows of an (H, W, C) float32 image and yields the bands of the resized image,
holding only the input rows that the next output rows need. Each output row is computed as `resize` computes
it for the whole image (the same taps: area averaging on a shrinking axis, bilinear on an enlarging one; the
column pass first, then the rows, in float32), so the result is the same, bit for bit.
"""

import dataclasses
import math

import cupy as cp
import numpy as np

from ..transform import resize as _resize
from .messages import UsageError

OUTPUT_ROWS = 256  # output rows per yielded band: temporaries stay at a few rows of the output's width


@dataclasses.dataclass(frozen=True)
class TargetSize:
    """The size a user asks for instead of a factor: `width` and/or `height` in pixels; with one of them, the
    other follows the input's aspect."""

    width: int | None = None
    height: int | None = None

    def __post_init__(self):
        for name in ("width", "height"):
            value = getattr(self, name)
            if value is not None and (type(value) is not int or value < 1):
                raise UsageError(f"--{name} must be a positive whole number of pixels, got {value!r}")
        if self.width is None and self.height is None:
            raise UsageError("a target size needs a width or a height")

    def size(self, height, width):
        """(height, width) asked for an input of `height` x `width` (the side not given rounded half up)."""
        if self.width is not None and self.height is not None:
            return self.height, self.width
        if self.width is not None:
            return max(1, math.floor(height * self.width / width + 0.5)), self.width
        return self.height, max(1, math.floor(width * self.height / height + 0.5))

    def factor(self, height, width):
        """The largest enlargement on either axis for an input of `height` x `width`."""
        out_height, out_width = self.size(height, width)
        return max(out_height / height, out_width / width)

    def __str__(self):
        # What output names carry in place of "x<scale>".
        if self.width is not None and self.height is not None:
            return f"{self.width}x{self.height}"
        return f"w{self.width}" if self.width is not None else f"h{self.height}"


def output_size(height, width, scale, *, even=False):
    """(height, width) of an image `scale` times as large: exact for a whole factor; for any other, rounded half
    up to whole pixels (at least 1), or with `even` to the nearest even sides (at least 2), which every chroma
    subsampling of a video encoder takes. `scale` may be a TargetSize: the size asked for, with `even` each odd
    side one pixel larger. Every output of the package is sized here."""
    if isinstance(scale, TargetSize):
        height, width = scale.size(height, width)
        return (height + height % 2, width + width % 2) if even else (height, width)
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
