"""Tiled upscaling of one image with any model: `upscale(image, model, scale)`.

The image is cut into overlapping square windows, the windows go to the model in NCHW batches
(`images_to_batch` / `batch_to_images`), every window's output is trimmed to its core and the cores are blended
into the enlarged image by `merge_tiles`.

Why trimmed cores: a convolutional network pads its input (or each layer) at the edge of what it is given, so
near a window's edge it computes something else than it does for the same pixels inside the whole image. The Gaussian
window of `merge_tiles` is nearly flat: blending only averages the wrong border values with the right ones.
So every window carries `overlap // 2` pixels of context on each inner side, which are cut away after the model
ran; the cores that reach the merge then equal the whole-image result wherever the network's receptive radius
is at most that context. At the image border windows are shifted inward instead of padded, so border pixels
see exactly what the network sees on the whole image.

A model is any callable from an (N, C, h, w) float32 CuPy batch to an (N, C, scale*h, scale*w) float batch.
When it runs out of device memory (`cupy.cuda.memory.OutOfMemoryError`, or `DeviceOutOfMemory` raised by
the adapters in `lumivex.upscale.models`), the batch is halved, then the tile size, and the work goes on.
"""

import math

import cupy as cp

from .defaults import DEFAULT_BATCH_SIZE, DEFAULT_OVERLAP, DEFAULT_TILE_SIZE
from .models.errors import DeviceOutOfMemory  # importable from here too, as before
from .tile import merge_tiles
from ..utils.shapery import batch_to_images, images_to_batch


def upscale(image, model, scale, *, tile_size=DEFAULT_TILE_SIZE, overlap=DEFAULT_OVERLAP,
            batch_size=DEFAULT_BATCH_SIZE, progress=None):
    """Enlarge an (H, W, C) float CuPy image `scale` times with `model`, window by window.

    `tile_size` is the largest side of the windows the model sees, `overlap` the number of
    pixels neighbouring windows share; each window gives up `overlap // 2` pixels on each inner side, so the
    overlap should be at least twice the model's receptive radius. `batch_size` windows go to the model per
    call. `progress(done, total)` is called after every model call with the number of windows done; after a
    fall-back to a smaller tile size it starts again with a larger total.

    Returns a new float32 array (scale*H, scale*W, C), not clamped. The caller's image is never changed.
    """
    _check_arguments(image, scale, tile_size, overlap, batch_size)
    pixels = image.astype(cp.float32, copy=False)  # windows are copied into the batch; this is only read
    oom_errors = (cp.cuda.memory.OutOfMemoryError, DeviceOutOfMemory)
    while True:
        grid = Grid(image.shape[0], image.shape[1], tile_size, overlap)
        try:
            cores, batch_size = _run_model(pixels, grid, model, scale, batch_size, progress, oom_errors)
        except oom_errors as error:
            # Already one window per call: only smaller windows can help.
            if tile_size // 2 <= overlap:
                error.add_note(f"lumivex: out of device memory with tile size {tile_size}, batch size 1 and "
                               f"overlap {overlap}; no smaller tile size is left")
                raise
            tile_size //= 2
            continue
        return _merge(cores, grid, image.shape[2], scale)


class Grid:
    """Where the windows and their cores lie for an h x w image.

    Cores are squares of side `core` on merge_tiles' grid (overlap `core_overlap`, the odd pixel of the
    overlap). The core side is the largest one the tile size allows (tile_size - 2 * context), shrunk to
    spread the fewest cores evenly over the image, so little work goes to cores that reach past it. The
    windows around the cores are `window_h` x `window_w` (core plus context, or the image side where that is
    smaller), shifted inward at the image border.
    """

    def __init__(self, height, width, tile_size, overlap):
        self.height, self.width = height, width
        self.context = overlap // 2
        self.core_overlap = overlap - 2 * self.context
        largest_step = tile_size - 2 * self.context - self.core_overlap
        counts = [max(1, math.ceil((side - self.core_overlap) / largest_step)) for side in (height, width)]
        self.step = max(max(1, math.ceil((side - self.core_overlap) / count))
                        for side, count in zip((height, width), counts))
        self.core = self.step + self.core_overlap
        self.window_h = min(self.core + 2 * self.context, height)
        self.window_w = min(self.core + 2 * self.context, width)
        self.rows = [k * self.step for k in range(counts[0])]
        self.columns = [k * self.step for k in range(counts[1])]
        self.padded_height = self.rows[-1] + self.core
        self.padded_width = self.columns[-1] + self.core
        # The window that feeds each core, row-major like merge_tiles' grid; equal windows run once.
        self.windows = []
        self.core_sources = []  # per core: (index into windows, core origin inside that window)
        index_of = {}
        for y in self.rows:
            wy = _clamp(y - self.context, height - self.window_h)
            for x in self.columns:
                wx = _clamp(x - self.context, width - self.window_w)
                index = index_of.setdefault((wy, wx), len(self.windows))
                if index == len(self.windows):
                    self.windows.append((wy, wx))
                self.core_sources.append((index, y - wy, x - wx))


def _clamp(origin, largest):
    return min(max(origin, 0), largest)


def _check_arguments(image, scale, tile_size, overlap, batch_size):
    if not isinstance(image, cp.ndarray) or image.ndim != 3 or image.dtype.kind != "f":
        raise ValueError(f"upscale() needs an (H, W, C) float CuPy array, got {_describe(image)}")
    if 0 in image.shape:
        raise ValueError(f"upscale() needs a non-empty image, got shape {image.shape}")
    for name, value, smallest in (("scale", scale, 1), ("tile_size", tile_size, 1), ("overlap", overlap, 0),
                                  ("batch_size", batch_size, 1)):
        if type(value) is not int or value < smallest:
            raise ValueError(f"upscale() needs an int {name} of at least {smallest}, got {value!r}")
    if overlap >= tile_size:
        raise ValueError(f"upscale() needs an overlap smaller than the tile size, got {overlap} >= {tile_size}")


def _describe(value):
    if isinstance(value, cp.ndarray):
        return f"shape {value.shape} of {value.dtype}"
    return type(value).__name__


def _run_model(pixels, grid, model, scale, batch_size, progress, oom_errors):
    """Runs every window through the model; returns the cores (views of the outputs) and the batch size
    that worked."""
    outputs = []
    total = len(grid.windows)
    while len(outputs) < total:
        chosen = grid.windows[len(outputs):len(outputs) + batch_size]
        windows = [pixels[y:y + grid.window_h, x:x + grid.window_w] for y, x in chosen]
        try:
            batch = images_to_batch(windows, swap_rb=False, layout="HWC")[:, 0]  # (N, 1, C, h, w) -> NCHW
            result = model(batch)
        except oom_errors:
            if batch_size == 1:
                raise
            batch_size //= 2
            continue
        expected = (len(chosen), pixels.shape[2], scale * grid.window_h, scale * grid.window_w)
        if not isinstance(result, cp.ndarray) or result.shape != expected:
            raise ValueError(f"the model turned a batch of shape {batch.shape} into {_describe(result)}; "
                             f"expected shape {expected} (scale {scale})")
        outputs.extend(batch_to_images(result, swap_rb=False))  # (scale*h, scale*w, C) views
        if progress is not None:
            progress(len(outputs), total)
    side = scale * grid.core
    cores = []
    for index, cy, cx in grid.core_sources:
        core = outputs[index][scale * cy:scale * cy + side, scale * cx:scale * cx + side]
        if core.shape[:2] != (side, side):
            # The core reaches past the image (merge_tiles crops that part): fill it with zeros.
            core = cp.pad(core, ((0, side - core.shape[0]), (0, side - core.shape[1]), (0, 0)))
        cores.append(core)
    return cores, batch_size


def _merge(cores, grid, channels, scale):
    original = (grid.height, grid.width, channels)
    padded = (grid.padded_height, grid.padded_width, channels)
    return merge_tiles(cores, original, padded, scale, tile_size=grid.core, overlap=grid.core_overlap)
