"""Where the windows of a tiled upscale lie: the integers the road, its progress count and the memory estimate
all read.

Rows and columns are chosen on their own. Along each axis the image is cut into the fewest cores that windows of
the tile size can hold, all of one length but the last (k = ceil(side / largest core), core = ceil(side / k)),
so the cores are rectangles that cover the image once and never reach past it. Each core's window adds the
context the network needs on both sides; all windows have one shape, so they batch, and at the image border they
are shifted inward rather than padded, so border pixels see what the network sees on the whole image. A side
that fits one window is one window: the network computes every pixel of it once.

A network that needs sides of a `multiple` (say one that folds 2 x 2 pixels into channels) sees the image the
way it sees it whole: cut into blocks from the top left corner, and at the bottom and right edges extended by
repeating the last row and column to a multiple, as its adapter does for the whole image. So the windows start
on multiples and are multiples themselves, one block larger than the core and its context need, and they may
reach into that extension (`padded_height`, `padded_width`).
"""

import dataclasses
import math


@dataclasses.dataclass(frozen=True)
class Axis:
    """The cores and windows along one side of `side` pixels: core k covers [starts[k], ends[k]) and its window
    [windows[k], windows[k] + window)."""

    side: int
    padded: int  # the side extended to the network's multiple
    core: int  # the length of every core but perhaps the last
    window: int
    starts: tuple
    ends: tuple
    windows: tuple

    def __len__(self):
        return len(self.starts)

    @property
    def computed(self):
        """Pixels the network computes along this side, all windows together."""
        return len(self) * self.window


def cut_axis(side, tile_size, context, multiple, fixed_window=None):
    """The Axis of `side` pixels for windows of at most `tile_size` with `context` pixels on each inner side.
    `fixed_window`: the one window length the network takes (it is padded where the image is shorter)."""
    largest = largest_core(tile_size, context, multiple)
    if largest < 1:
        raise ValueError(f"upscale() needs a tile size above the overlap {2 * context}"
                         + (f" and {multiple - 1} pixels for windows on multiples of {multiple}"
                            if multiple > 1 else "") + f", got {tile_size}")
    padded = round_up(side, multiple)
    count = math.ceil(side / largest)
    core = math.ceil(side / count)
    count = math.ceil(side / core)  # spreading evenly may leave the last core nothing
    need = round_up(core + 2 * context + multiple - 1, multiple)
    # A network of a fixed size gets windows of that size wherever the image has room, so that only an image
    # smaller than it is padded, and the image border is the network's own, as in a whole-image run.
    window = min(need if fixed_window is None else fixed_window, padded)
    starts = tuple(k * core for k in range(count))
    ends = starts[1:] + (side,)
    windows = tuple(min(max((start - context) // multiple * multiple, 0), padded - window) for start in starts)
    return Axis(side, padded, core, window, starts, ends, windows)


def largest_core(tile_size, context, multiple):
    """The longest core windows of `tile_size` hold: the tile, for a network that needs multiples rounded down
    to one, less the context on both sides and the up to multiple - 1 pixels a window start rounded down costs."""
    return tile_size // multiple * multiple - 2 * context - (multiple - 1)


def round_up(value, multiple):
    return -(-value // multiple) * multiple


@dataclasses.dataclass(frozen=True)
class Grid:
    """The cores and windows of an image: `rows` along its height, `columns` along its width."""

    rows: Axis
    columns: Axis
    context: int
    multiple: int

    @classmethod
    def of(cls, height, width, tile_size, overlap, multiple=1, window=None):
        """The grid of an h x w image for windows of at most `tile_size` sharing `overlap` pixels (each keeps
        overlap // 2 of context on each inner side); `window` the (h, w) a fixed-size network takes."""
        context = overlap // 2
        fixed_h, fixed_w = (None, None) if window is None else window
        return cls(cut_axis(height, tile_size, context, multiple, fixed_h),
                   cut_axis(width, tile_size, context, multiple, fixed_w), context, multiple)

    @property
    def height(self):
        return self.rows.side

    @property
    def width(self):
        return self.columns.side

    @property
    def window_shape(self):
        return self.rows.window, self.columns.window

    @property
    def windows(self):
        return len(self.rows) * len(self.columns)

    @property
    def computed_per_pixel(self):
        """Pixels the network computes per image pixel: 1.0 where the image is one window."""
        return self.rows.computed * self.columns.computed / (self.height * self.width)

    def bands(self, most_rows):
        """(first, last) core rows of each band, top to bottom: as many core rows as make at most `most_rows`
        image rows, and at least one."""
        per_band = max(1, most_rows // self.rows.core)
        return [(first, min(first + per_band, len(self.rows)) - 1) for first in range(0, len(self.rows), per_band)]

    def band_rows(self, first, last):
        """(top, bottom) of the source rows the windows of core rows first..last read: bottom may lie in the
        extension to a multiple, past the image."""
        return self.rows.windows[first], self.rows.windows[last] + self.rows.window
