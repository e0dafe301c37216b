"""How much of the network's result a user keeps: `--strength S` blends it with a plain enlargement of the input
to the same size, S * network + (1 - S) * plain, band by band so memory holds a band of each.

The plain enlargement is `rescale_bands` of the input's rows, which equals `transform.resize` of the whole image.
A reader hands its rows out top to bottom once, so the rows it gives the network are kept here until the plain
enlargement has taken them too.
"""

import cupy as cp

from .rescale import rescale_bands
from ..transform.resize import resize
from ..utils.dtypes import to_float32


def check(strength):
    """The strength as a float; ValueError outside 0..1."""
    strength = float(strength)
    if not 0 <= strength <= 1:
        raise ValueError(f"--strength must be from 0 to 1, got {strength:g}")
    return strength


def blend_image(result, image, strength):
    """The whole `result` of an (H, W, C) float `image` blended with the image's plain enlargement."""
    height, width = result.shape[:2]
    plain = resize(image, dsize=(width, height)).astype(cp.float32, copy=False)
    return _mix(result, plain, strength)


def blended_bands(source, run, out_hw, strength):
    """The bands `run(source)` makes from `source` (an array or a row reader, see `pipeline.upscale_bands`),
    blended with the plain enlargement of `source` to `out_hw`."""
    shared = _SharedRows(source)
    plain = rescale_bands(shared.rest(), (shared.height, shared.width), out_hw)
    return _aligned_mix(run(shared), plain, strength)


def _mix(network, plain, strength):
    return network * cp.float32(strength) + plain * cp.float32(1 - strength)


def _aligned_mix(network_bands, plain_bands, strength):
    """Two streams of bands of the same rows, cut differently, mixed into bands as the network's come."""
    held = None  # plain rows received and not yet used
    for band in network_bands:
        while held is None or held.shape[0] < band.shape[0]:
            more = next(plain_bands)
            held = more if held is None else cp.concatenate([held, more], axis=0)
        yield _mix(band, held[:band.shape[0]], strength)
        held = held[band.shape[0]:]
    for _ in plain_bands:  # lets the plain road finish its own bookkeeping
        pass


class _SharedRows:
    """A reader of rows for the network that keeps what it read until `rest()` (the plain enlargement's rows,
    top to bottom) has handed it out too; the source is read once, top to bottom."""

    def __init__(self, source):
        self.source = source if hasattr(source, "read_rows") else None
        self.array = source if self.source is None else None
        if self.source is not None:
            self.height, self.width, self.channels = source.height, source.width, source.channels
        else:
            self.height, self.width, self.channels = source.shape
        self._rows, self._first = None, 0  # rows held, from image row self._first on
        self._network_from = self._plain_from = 0

    def read_rows(self, y0, y1):
        self._network_from = y0
        rows = self._ensure(y1)[y0 - self._first:y1 - self._first]
        self._drop()
        return rows

    def rest(self):
        """The image's rows as float32 device bands, top to bottom, each read once from the source."""
        while self._plain_from < self.height:
            if self._end() <= self._plain_from:  # the network has not read this far yet
                self._ensure(min(self.height, self._plain_from + 64))
            end = self._end() if self.array is None else self.height
            band = self._rows[self._plain_from - self._first:end - self._first]
            self._plain_from = end
            self._drop()
            yield to_float32(cp.asarray(band))

    def _end(self):
        return self._first + (0 if self._rows is None else self._rows.shape[0])

    def _ensure(self, y1):
        if self.array is not None:
            self._rows, self._first = self.array, 0
            return self._rows
        if self._end() < y1:
            more = self.source.read_rows(self._end(), y1)
            self._rows = more if self._rows is None else _concatenate(self._rows, more)
        return self._rows

    def _drop(self):
        if self.array is None:
            below = min(self._network_from, self._plain_from)
            if below > self._first:
                self._rows = self._rows[below - self._first:]
                self._first = below


def _concatenate(held, more):
    return cp.get_array_module(held).concatenate([held, more], axis=0)
