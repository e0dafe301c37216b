"""Tiled upscaling with any model, in memory (`upscale`) or band by band from a reader (`upscale_bands`).

The image is cut into windows (`grid`), the windows go to the model in NCHW batches, and every window's output is
trimmed to its core and written where that core belongs in the enlarged image.

Why trimmed cores: a convolutional network pads its input (or each layer) at the edge of what it is given, so
near a window's edge it computes something else than it does for the same pixels inside the whole image. So
every window carries `overlap // 2` pixels of context on each inner side, which are cut away after the model
ran; the cores then equal the whole-image result wherever the network's receptive radius is at most that
context, and they cover the image once, so nothing is blended. At the image border windows are shifted inward
instead of padded, so border pixels see exactly what the network sees on the whole image. A model that states
its `radius` gets that much context unless the caller says otherwise.

Why bands: the output is made a band of core rows at a time, so memory holds one band and its windows, not the
whole image. The bands are the same numbers as the whole image, bit for bit: every output pixel comes from the
same window either way.

A model is any callable from an (N, C, h, w) float32 CuPy batch to an (N, C, scale*h, scale*w) float batch. It
may state `scale`, `radius`, `max_batch` (a fixed batch size), `window` (a fixed (h, w) input) and `multiple`
(window origins and sides on multiples of it). When it runs out of device memory
(`cupy.cuda.memory.OutOfMemoryError`, or `DeviceOutOfMemory` raised by the adapters in
`lumivex.upscale.models`), the batch is halved; before the first band is out, the windows' cores shrink too
(their context stays), and the work goes on.
"""

import cupy as cp

from .defaults import DEFAULT_BATCH_SIZE, DEFAULT_OVERLAP, DEFAULT_TILE_SIZE
from .grid import Grid, largest_core
from .models.errors import DeviceOutOfMemory
from .rescale import output_size, rescale_bands
from ..utils.dtypes import to_float32

__all__ = ["Grid", "default_overlap", "upscale", "upscale_bands"]

# Output values per band and plane (16 MB of float32), whatever the height: a band is at least one core row,
# and fewer, larger bands would save little of the time.
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
    if _requested_scale(model, scale) != _network_scale(model, scale):
        row = 0
        for band in upscale_bands(image, model, scale, tile_size=tile_size, overlap=overlap,
                                  batch_size=batch_size, progress=progress):
            result[row:row + band.shape[0]] = band
            row += band.shape[0]
    else:
        # The network's own factor: its cores go straight into the result, with no band copied again.
        for _ in _checked_bands(image, model, scale, tile_size, overlap, batch_size, None, progress, result):
            pass
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
    return _checked_bands(source, model, scale, tile_size, overlap, batch_size, planes, progress)


def _checked_bands(source, model, scale, tile_size, overlap, batch_size, planes, progress, out=None):
    reader = source if hasattr(source, "read_rows") else _ArrayReader(source)
    factor = _network_scale(model, scale)
    overlap = default_overlap(model) if overlap is None else overlap
    _check_arguments(reader, factor, tile_size, overlap, batch_size)
    planes = (reader.channels,) if planes is None else tuple(planes)
    if sum(planes) != reader.channels or min(planes) < 1:
        raise ValueError(f"upscale_bands() needs planes that add up to the {reader.channels} channels, got {planes}")
    bands = _tiled_bands(reader, model, factor, tile_size, overlap, batch_size, planes, progress, out)
    scale = factor if scale is None else scale
    if scale == factor:
        return bands
    if type(scale) not in (int, float) or not scale > 0:
        raise ValueError(f"upscale() needs a positive scale, got {scale!r}")
    # The network enlarges by its own factor; its result is resized to the size asked for.
    return rescale_bands(bands, (factor * reader.height, factor * reader.width),
                         output_size(reader.height, reader.width, scale))


def _tiled_bands(reader, model, scale, tile_size, overlap, batch_size, planes, progress, out=None):
    tile_size, batch_size = _within_model_limits(model, tile_size, overlap, batch_size)
    runner = _WindowRunner(model, scale, batch_size, progress)
    while True:
        grid = Grid.of(reader.height, reader.width, tile_size, overlap, getattr(model, "multiple", None) or 1,
                       getattr(model, "window", None))
        started = False
        try:
            for band in _bands(reader, grid, runner, planes, scale, out):
                started = True
                yield band
            return
        except runner.oom_errors as error:
            # Smaller cores with the same context: the only help left once a window runs alone. Bands already
            # handed out were cut on this grid, so the grid can change only before the first.
            core = max(grid.rows.core, grid.columns.core)
            smaller = min(tile_size, max(grid.window_shape)) - core + core // 2
            if started or core // 2 < 1 or largest_core(smaller, grid.context, grid.multiple) < 1:
                error.add_note(f"lumivex: out of device memory with windows of {grid.rows.window}x"
                               f"{grid.columns.window}, batch size 1 and {grid.context} pixels of context; "
                               + ("bands were already written" if started else "no smaller core is left"))
                raise
            tile_size = smaller
            runner.restart()


def default_overlap(model):
    """Twice the receptive radius the model states, or the default overlap for models that state none."""
    radius = getattr(model, "radius", None)
    return DEFAULT_OVERLAP if radius is None else 2 * int(radius)


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


def _bands(reader, grid, runner, planes, scale, out=None):
    """The output bands of `grid`: each band's windows through the model, their cores written where they belong.
    Yields float32 arrays (rows, scale * width, channels), views of `out` where it is given."""
    runner.count_windows(grid, len(planes))
    most_rows = max(1, BAND_ELEMENTS // (scale * scale * grid.width * max(planes)))
    for first, last in grid.bands(most_rows):
        top, bottom = grid.band_rows(first, last)
        pixels = _device_float32(reader.read_rows(top, min(bottom, grid.height)))
        if bottom > grid.height or grid.columns.padded > grid.width:
            # Windows reaching into the extension of a network that needs multiples: the last row and column
            # repeated, as for the whole image.
            pixels = cp.pad(pixels, ((0, max(bottom - grid.height, 0)), (0, grid.columns.padded - grid.width),
                                     (0, 0)), mode="edge")
        y0, y1 = grid.rows.starts[first], grid.rows.ends[last]
        if out is None:
            band = cp.empty((scale * (y1 - y0), scale * grid.width, reader.channels), dtype=cp.float32)
        else:
            band = out[scale * y0:scale * y1]
        channel = 0
        for channels in planes:
            runner.paste(pixels[:, :, channel:channel + channels], top, grid, range(first, last + 1),
                         band[:, :, channel:channel + channels], y0)
            channel += channels
        yield band


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

    def count_windows(self, grid, planes):
        self.total = grid.windows * planes

    def paste(self, pixels, top, grid, core_rows, band, band_top):
        """Runs the windows of `core_rows` (all columns) on `pixels`, the image rows from `top` on, and writes
        each window's core into `band`, the output of the image rows from `band_top` on."""
        rows, columns, s = grid.rows, grid.columns, self.scale
        cores = [(k, j) for k in core_rows for j in range(len(columns))]
        start = 0
        while start < len(cores):
            chosen = cores[start:start + self.batch_size]
            windows = [pixels[rows.windows[k] - top:rows.windows[k] - top + rows.window,
                              columns.windows[j]:columns.windows[j] + columns.window].transpose(2, 0, 1)
                       for k, j in chosen]
            batch = windows[0][None] if len(windows) == 1 else cp.stack(windows)
            try:
                result = self.model(batch)
            except self.oom_errors:
                if self.batch_size == 1:
                    raise
                self.batch_size //= 2
                continue
            expected = (len(chosen), pixels.shape[2], s * rows.window, s * columns.window)
            if not isinstance(result, cp.ndarray) or result.shape != expected:
                raise ValueError(f"the model turned a batch of shape {batch.shape} into {_describe(result)}; "
                                 f"expected shape {expected} (scale {self.scale})")
            for output, (k, j) in zip(result, chosen):
                # The core's place in the window, and in the band.
                cy, cx = rows.starts[k] - rows.windows[k], columns.starts[j] - columns.windows[j]
                h, w = rows.ends[k] - rows.starts[k], columns.ends[j] - columns.starts[j]
                y, x = s * (rows.starts[k] - band_top), s * columns.starts[j]
                band[y:y + s * h, x:x + s * w] = output[:, s * cy:s * (cy + h), s * cx:s * (cx + w)].transpose(1, 2, 0)
            start += len(chosen)
            self.done += len(chosen)
            if self.progress is not None:
                self.progress(self.done, self.total)
