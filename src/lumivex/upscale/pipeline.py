"""Tiled upscaling with any model, in memory (`upscale`) or band by band from a reader (`upscale_bands`).

The image is cut into overlapping windows, the windows go to the model in NCHW batches (`images_to_batch` /
`batch_to_images`), every window's output is trimmed to its core and the cores are blended into the enlarged
image by `merge_tiles`.

Why trimmed cores: a convolutional network pads its input (or each layer) at the edge of what it is given, so
near a window's edge it computes something else than it does for the same pixels inside the whole image. The Gaussian
window of `merge_tiles` is nearly flat: blending only averages the wrong border values with the right ones.
So every window carries `overlap // 2` pixels of context on each inner side, which are cut away after the model
ran; the cores that reach the merge then equal the whole-image result wherever the network's receptive radius
is at most that context. At the image border windows are shifted inward instead of padded, so border pixels
see exactly what the network sees on the whole image. A model that states its `radius` gets that much context
unless the caller says otherwise.

Why bands: the cores are merged a band of core rows at a time, so memory holds one band's windows and
accumulators, not the whole image's. Merging per band gives the same numbers as merging the whole image, bit for
bit: every output pixel receives the same tiles in the same order. Where neighbouring cores share a row (an odd
overlap), the last core row of a band is merged again with the next band, from the outputs kept for it.

A model is any callable from an (N, C, h, w) float32 CuPy batch to an (N, C, scale*h, scale*w) float batch. It
may state `scale`, `radius`, `max_batch` (a fixed batch size) and `window` (a fixed (h, w) input). When it runs
out of device memory (`cupy.cuda.memory.OutOfMemoryError`, or `DeviceOutOfMemory` raised by the adapters in
`lumivex.upscale.models`), the batch is halved; before the first band is out, the windows' cores shrink too
(their context stays), and the work goes on.
"""

import math

import cupy as cp

from .defaults import DEFAULT_BATCH_SIZE, DEFAULT_OVERLAP, DEFAULT_TILE_SIZE
from .models.errors import DeviceOutOfMemory  # importable from here too, as before
from .rescale import output_size, rescale_bands
from .tile import merge_tiles
from ..utils.dtypes import to_float32
from ..utils.shapery import batch_to_images, images_to_batch

__all__ = ["DeviceOutOfMemory", "Grid", "default_overlap", "upscale", "upscale_bands"]

# The smallest enlarged core merge_tiles blends: its Gaussian window's sigma, a quarter of the side, must be
# at least one pixel.
MERGED_CORE = 4
# Output values per band and plane: the merge keeps about four float32 arrays of this size (64 MB in all),
# whatever the height; fewer, larger merges would save little of the time.
BAND_ELEMENTS = 1 << 22


def upscale(image, model, scale=None, *, tile_size=DEFAULT_TILE_SIZE, overlap=None,
            batch_size=DEFAULT_BATCH_SIZE, progress=None):
    """Enlarge an (H, W, C) float CuPy image `scale` times with `model`, window by window.

    `scale` is the factor of the result; None takes the model's own `scale`. A model that states its own scale
    enlarges by it, and where `scale` differs its result is resized to round(scale*H) x round(scale*W) (area
    averaging when shrinking, bilinear when enlarging); other models enlarge by `scale`, a whole number.
    `tile_size` is the largest side of the windows the model sees,
    `overlap` the number of pixels neighbouring windows share; each window gives up `overlap // 2` pixels on each
    inner side, so the overlap should be at least twice the model's receptive radius (None: twice the model's
    `radius`, or 32 for a model that states none). `batch_size` windows go to the model per call.
    `progress(done, total)` is called after every model call with the number of windows done; after a fall-back
    to a smaller tile size it starts again with a larger total.

    Returns a new float32 array (scale*H, scale*W, C), not clamped. The caller's image is never changed.
    Running out of device memory halves the batch, then the windows' cores (see the module's docstring).
    """
    if not isinstance(image, cp.ndarray) or image.ndim != 3 or image.dtype.kind != "f":
        raise ValueError(f"upscale() needs an (H, W, C) float CuPy array, got {_describe(image)}")
    height, width, channels = image.shape
    out_height, out_width = output_size(height, width, _requested_scale(model, scale))
    result = cp.empty((out_height, out_width, channels), dtype=cp.float32)
    row = 0
    for band in upscale_bands(image, model, scale, tile_size=tile_size, overlap=overlap, batch_size=batch_size,
                              progress=progress):
        result[row:row + band.shape[0]] = band
        row += band.shape[0]
    return result


def upscale_bands(source, model, scale=None, *, tile_size=DEFAULT_TILE_SIZE, overlap=None,
                  batch_size=DEFAULT_BATCH_SIZE, planes=None, progress=None):
    """The enlarged image as a generator of float32 CuPy bands of rows (k, scale*W, C), top to bottom.

    `source` is an (H, W, C) array (CuPy or NumPy, float or 8/16-bit: integers are read as 0-1 by to_float32) or
    a reader with `height`, `width`, `channels` and `read_rows(y0, y1)` returning such rows, asked for with
    non-decreasing y0 and y1. `planes` splits the channels into groups that go through the model separately
    (say (3, 1) for colour and alpha); by default all channels go together. The other arguments are those of
    `upscale`; the bands together equal its result, pixel for pixel. Nothing of the source is changed.
    """
    reader = source if hasattr(source, "read_rows") else _ArrayReader(source)
    factor = _network_scale(model, scale)
    overlap = default_overlap(model) if overlap is None else overlap
    _check_arguments(reader, factor, tile_size, overlap, batch_size)
    planes = (reader.channels,) if planes is None else tuple(planes)
    if sum(planes) != reader.channels or min(planes) < 1:
        raise ValueError(f"upscale_bands() needs planes that add up to the {reader.channels} channels, got {planes}")
    bands = _tiled_bands(reader, model, factor, tile_size, overlap, batch_size, planes, progress)
    scale = factor if scale is None else scale
    if scale == factor:
        return bands
    if type(scale) not in (int, float) or not scale > 0:
        raise ValueError(f"upscale() needs a positive scale, got {scale!r}")
    # The network enlarges by its own factor; its result is resized to the size asked for.
    return rescale_bands(bands, (factor * reader.height, factor * reader.width),
                         output_size(reader.height, reader.width, scale))


def _tiled_bands(reader, model, scale, tile_size, overlap, batch_size, planes, progress):
    tile_size, batch_size = _within_model_limits(model, tile_size, overlap, batch_size)
    runner = _WindowRunner(model, scale, batch_size, progress)
    while True:
        grid = Grid(reader.height, reader.width, tile_size, overlap, getattr(model, "multiple", None) or 1,
                    getattr(model, "window", None), smallest_core=-(-MERGED_CORE // scale))
        started = False
        try:
            for band in _bands(reader, grid, runner, planes, scale):
                started = True
                yield band
            return
        except runner.oom_errors as error:
            # Smaller cores with the same context: the only help left once a window runs alone. Bands already
            # handed out were cut on this grid, so the grid can change only before the first.
            core = grid.step
            smaller = tile_size - core + core // 2
            if started or core // 2 < 1 or _largest_step(smaller, overlap, grid.multiple) < 1:
                error.add_note(f"lumivex: out of device memory with windows of {grid.window_h}x{grid.window_w}, "
                               f"batch size 1 and {grid.context} pixels of context; "
                               + ("bands were already written" if started else "no smaller core is left"))
                raise
            tile_size = smaller
            runner.restart()


def default_overlap(model):
    """Twice the receptive radius the model states, or the default overlap for models that state none."""
    radius = getattr(model, "radius", None)
    return DEFAULT_OVERLAP if radius is None else 2 * int(radius)


class Grid:
    """Where the windows and their cores lie for an h x w image.

    Cores are squares of side `core` on merge_tiles' grid (overlap `core_overlap`, the odd pixel of the
    overlap). The core side is the largest one the tile size allows (tile_size - 2 * context), shrunk to
    spread the fewest cores evenly over the image, so little work goes to cores that reach past it. The
    windows around the cores are `window_h` x `window_w` (core plus context, or the image side where that is
    smaller), shifted inward at the image border.

    A network that needs sides of a `multiple` (say one that folds 2 x 2 pixels into channels) sees the image
    the way it sees it whole: cut into blocks from the top left corner, and at the bottom and right edges
    extended by repeating the last row and column to a multiple, as its adapter does for the whole image. So the
    windows start on multiples and are multiples themselves, one block larger than the core and its context
    need, and they may reach into that extension (`padded_source_height`, `padded_source_width`).
    """

    def __init__(self, height, width, tile_size, overlap, multiple=1, window=None, smallest_core=1):
        self.height, self.width, self.multiple = height, width, multiple
        self.context = overlap // 2
        self.core_overlap = overlap - 2 * self.context
        largest_step = _largest_step(tile_size, overlap, multiple)
        if largest_step < 1:
            raise ValueError(f"upscale() needs a tile size above the overlap {overlap}"
                             + (f" and {multiple - 1} pixels for windows on multiples of {multiple}"
                                if multiple > 1 else "") + f", got {tile_size}")
        counts = [max(1, math.ceil((side - self.core_overlap) / largest_step)) for side in (height, width)]
        self.step = max(max(smallest_core - self.core_overlap, math.ceil((side - self.core_overlap) / count))
                        for side, count in zip((height, width), counts))
        self.core = self.step + self.core_overlap
        self.padded_source_height, self.padded_source_width = (_round_up(side, multiple) for side in (height, width))
        need = _round_up(self.core + 2 * self.context + multiple - 1, multiple)
        # A network of a fixed size gets windows of that size wherever the image has room, so that only an image
        # smaller than it is padded, and the image border is the network's own, as in a whole-image run.
        need_h, need_w = (need, need) if window is None else window
        self.window_h = min(need_h, self.padded_source_height)
        self.window_w = min(need_w, self.padded_source_width)
        self.rows = [k * self.step for k in range(counts[0])]
        self.columns = [k * self.step for k in range(counts[1])]
        self.padded_height = self.rows[-1] + self.core
        self.padded_width = self.columns[-1] + self.core

    def window_row(self, y):
        """Top row of the windows feeding the cores of the core row at `y`."""
        return _clamp((y - self.context) // self.multiple * self.multiple,
                      self.padded_source_height - self.window_h)

    def window_column(self, x):
        return _clamp((x - self.context) // self.multiple * self.multiple,
                      self.padded_source_width - self.window_w)


def _largest_step(tile_size, overlap, multiple):
    """The largest core step windows of `tile_size` leave: the tile less the overlap, and for a network that needs
    multiples the tile rounded down to one, less the up to multiple - 1 rows a window start rounded down costs."""
    return tile_size // multiple * multiple - overlap - (multiple - 1)


def _clamp(origin, largest):
    return min(max(origin, 0), largest)


def _round_up(value, multiple):
    return -(-value // multiple) * multiple


def _network_scale(model, scale):
    """The factor the model enlarges by: its own where it states one, else the one asked for."""
    factor = getattr(model, "scale", None)
    if factor is None:
        if scale is None:
            raise ValueError("upscale() needs a scale for a model that does not state its own")
        factor = scale
    return factor


def _requested_scale(model, scale):
    return _network_scale(model, scale) if scale is None else scale


def _check_arguments(reader, scale, tile_size, overlap, batch_size):
    if 0 in (reader.height, reader.width, reader.channels):
        raise ValueError(f"upscale() needs a non-empty image, got shape "
                         f"{(reader.height, reader.width, reader.channels)}")
    for name, value, smallest in (("scale", scale, 1), ("tile_size", tile_size, 1), ("overlap", overlap, 0),
                                  ("batch_size", batch_size, 1)):
        if type(value) is not int or value < smallest:
            raise ValueError(f"upscale() needs an int {name} of at least {smallest}, got {value!r}")
    if overlap >= tile_size:
        raise ValueError(f"upscale() needs an overlap smaller than the tile size, got {overlap} >= {tile_size}")


def _within_model_limits(model, tile_size, overlap, batch_size):
    """The tile and batch sizes cut down to what a model with a fixed window or batch takes."""
    window = getattr(model, "window", None)
    if window is not None:
        tile_size = min(tile_size, *window)
        if overlap >= tile_size:
            raise ValueError(f"the model takes windows of {window[0]}x{window[1]} only, which leave no core "
                             f"inside an overlap of {overlap}")
    max_batch = getattr(model, "max_batch", None)
    return tile_size, batch_size if max_batch is None else min(batch_size, max_batch)


def _describe(value):
    if isinstance(value, cp.ndarray):
        return f"shape {value.shape} of {value.dtype}"
    return type(value).__name__


class _ArrayReader:
    """An (H, W, C) array seen as a reader of rows."""

    def __init__(self, image):
        if not hasattr(image, "shape") or len(image.shape) != 3:
            raise ValueError(f"upscale() needs an (H, W, C) image, got {_describe(image)}")
        self.image = image
        self.height, self.width, self.channels = image.shape

    def read_rows(self, y0, y1):
        return self.image[y0:y1]


def _device_float32(rows):
    """Rows on the device as float32: a view where they already are, else a converted copy."""
    rows = cp.asarray(rows)
    return rows if rows.dtype == cp.float32 else to_float32(rows)


def _bands(reader, grid, runner, planes, scale):
    """The output bands of `grid`: each band's windows through the model, its cores merged, its finished rows
    handed out. Yields float32 arrays (rows, scale * width, channels)."""
    # The core rows of each band; with an odd overlap neighbouring core rows share one row of pixels, so a band
    # starts with the last core row of the band before (and so needs two rows to get anywhere).
    shared = 1 if grid.core_overlap else 0
    rows_per_band = max(1 + shared, BAND_ELEMENTS // (scale * scale * grid.step * grid.width * max(planes)))
    groups, first = [], 0
    while True:
        last = min(first + rows_per_band, len(grid.rows)) - 1
        groups.append((first, last))
        if last == len(grid.rows) - 1:
            break
        first = last + 1 - shared
    runner.count_windows(grid, groups, len(planes))
    kept = {}  # (plane, window origin) -> output of the model, for the windows the next band needs too
    emitted = 0  # input rows handed out so far
    for number, (first, last) in enumerate(groups):
        following = groups[number + 1] if number + 1 < len(groups) else None
        top, bottom = grid.window_row(grid.rows[first]), grid.window_row(grid.rows[last]) + grid.window_h
        pixels = _device_float32(reader.read_rows(top, min(bottom, grid.height)))
        if bottom > grid.height or grid.padded_source_width > grid.width:
            # Windows reaching into the extension of a network that needs multiples: the last row and column
            # repeated, as for the whole image.
            pixels = cp.pad(pixels, ((0, max(bottom - grid.height, 0)), (0, grid.padded_source_width - grid.width),
                                     (0, 0)), mode="edge")
        band_height = grid.rows[last] - grid.rows[first] + grid.core
        end = grid.height if following is None else grid.rows[last] + grid.step
        merged_planes = []
        channel = 0
        for plane, channels in enumerate(planes):
            plane_pixels = pixels[:, :, channel:channel + channels]
            channel += channels
            cores = runner.cores(plane, plane_pixels, top, grid, range(first, last + 1), kept)
            original = (band_height, grid.width, channels)
            padded = (band_height, grid.padded_width, channels)
            merged = merge_tiles(cores, original, padded, scale, tile_size=grid.core, overlap=grid.core_overlap)
            merged_planes.append(merged[scale * (emitted - grid.rows[first]):scale * (end - grid.rows[first])])
        needed = set() if following is None else {
            (grid.window_row(grid.rows[k]), grid.window_column(x)) for k in range(following[0], following[1] + 1)
            for x in grid.columns}
        for key in list(kept):
            if key[1] not in needed:
                del kept[key]
        emitted = end
        yield merged_planes[0] if len(merged_planes) == 1 else cp.concatenate(merged_planes, axis=2)


class _WindowRunner:
    """Runs windows through the model in batches, halving the batch when the device runs out of memory, and
    reports progress over the whole image."""

    oom_errors = (cp.cuda.memory.OutOfMemoryError, DeviceOutOfMemory)

    def __init__(self, model, scale, batch_size, progress):
        self.model, self.scale, self.progress = model, scale, progress
        self.batch_size = self.largest_batch = batch_size
        self.done = self.total = 0

    def restart(self):
        """Starts again on smaller windows, which may take a larger batch again."""
        self.batch_size = self.largest_batch
        self.done = 0

    def count_windows(self, grid, groups, planes):
        windows, previous = 0, set()
        for first, last in groups:
            origins = {(grid.window_row(grid.rows[k]), grid.window_column(x))
                       for k in range(first, last + 1) for x in grid.columns}
            windows += len(origins - previous)
            previous = origins
        self.total = windows * planes

    def cores(self, plane, pixels, top, grid, core_rows, kept):
        """The cores of `core_rows` (all columns, row-major) for the rows `pixels` of the image starting at
        `top`; the model's outputs are kept in `kept` under (plane, window origin) and reused from it."""
        sources, missing = [], []
        for k in core_rows:
            wy = grid.window_row(grid.rows[k])
            for x in grid.columns:
                origin = (wy, grid.window_column(x))
                sources.append((origin, grid.rows[k] - origin[0], x - origin[1]))
                if (plane, origin) not in kept and origin not in missing:
                    missing.append(origin)
        self._run(plane, pixels, top, grid, missing, kept)
        side = self.scale * grid.core
        cores = []
        for origin, cy, cx in sources:
            output = kept[plane, origin]
            core = output[self.scale * cy:self.scale * cy + side, self.scale * cx:self.scale * cx + side]
            if core.shape[:2] != (side, side):
                # The core reaches past the image (merge_tiles crops that part): fill it with zeros.
                core = cp.pad(core, ((0, side - core.shape[0]), (0, side - core.shape[1]), (0, 0)))
            cores.append(core)
        return cores

    def _run(self, plane, pixels, top, grid, origins, kept):
        start = 0
        while start < len(origins):
            chosen = origins[start:start + self.batch_size]
            windows = [pixels[y - top:y - top + grid.window_h, x:x + grid.window_w] for y, x in chosen]
            try:
                batch = images_to_batch(windows, swap_rb=False, layout="HWC")[:, 0]  # (N, 1, C, h, w) -> NCHW
                result = self.model(batch)
            except self.oom_errors:
                if self.batch_size == 1:
                    raise
                self.batch_size //= 2
                continue
            expected = (len(chosen), pixels.shape[2], self.scale * grid.window_h, self.scale * grid.window_w)
            if not isinstance(result, cp.ndarray) or result.shape != expected:
                raise ValueError(f"the model turned a batch of shape {batch.shape} into {_describe(result)}; "
                                 f"expected shape {expected} (scale {self.scale})")
            for origin, output in zip(chosen, batch_to_images(result, swap_rb=False)):  # (sh, sw, C) views
                kept[plane, origin] = output
            start += len(chosen)
            self.done += len(chosen)
            if self.progress is not None:
                self.progress(self.done, self.total)
