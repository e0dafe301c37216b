"""The enlargements compared: the input by nearest neighbour (what the pixels are), Pillow's bicubic filter (what
any viewer does) and each network through the tiled road, all to the same size, timed, as 8-bit pixels.

Needs `cupy` importable (real or stand-in): import it after lumivex.upscale.arrays.array_module().
"""

import dataclasses
import time

import cupy as cp
import numpy as np
from PIL import Image

from .. import images, pipeline
from ..rescale import output_size
from ...utils.dtypes import to_float32

NEAREST = "nearest"
BICUBIC = "bicubic"


@dataclasses.dataclass(frozen=True)
class Entry:
    """One enlargement of the crop: its `name`, `pixels` ((h, w, C) uint8, C 1 or 3), the `seconds` it took and
    `weight_bytes`, the size of the network's file (None for the plain enlargements)."""

    name: str
    pixels: np.ndarray
    seconds: float
    weight_bytes: int | None = None


def read_crop(path, box):
    """The colour channels (alpha left out) of `box` of the image at `path`, (h, w, C) pixels of the file's
    type, read band by band; images.ImageError for an unreadable file."""
    with images.open_image(path) as reader:
        colours = 1 if reader.pixel_format.mode in ("1", "L", "LA") else 3
        rows = reader.read_rows(box.y, box.y + box.height)
    return np.ascontiguousarray(rows[:, box.x:box.x + box.width, :colours])


def plain_entries(crop, scale):
    """The nearest-neighbour and bicubic enlargements of `crop` to `scale` times its size."""
    height, width = output_size(crop.shape[0], crop.shape[1], scale)
    return [_timed(name, lambda: _pillow_resize(crop, (width, height), method))
            for name, method in ((NEAREST, Image.Resampling.NEAREST), (BICUBIC, Image.Resampling.BICUBIC))]


def network_entry(name, model, crop, scale):
    """`model`'s enlargement of `crop` by the tiled road, as the command makes it, timed from the crop in host
    memory to the result back there."""
    entry = _timed(name, lambda: cp.asnumpy(pipeline.upscale(to_float32(cp.asarray(crop)), model, scale)))
    return dataclasses.replace(entry, weight_bytes=model.path.stat().st_size)


def _timed(name, enlarge):
    started = time.perf_counter()
    result = enlarge()
    seconds = time.perf_counter() - started
    return Entry(name, to_pixels(result), seconds)


def to_pixels(result):
    """8-bit pixels of a result: a float one clamped to 0-1 and rounded to the nearest level, as the command
    writes 8-bit images; an 8-bit one as it is."""
    if result.dtype == np.uint8:
        return result
    return (np.clip(result, 0, 1) * 255 + 0.5).astype(np.uint8)


def _pillow_resize(crop, size, method):
    """`crop` resized by Pillow to `size` (width, height): 8-bit pixels as Pillow resizes any 8-bit image (what
    viewers show), others as floats, which keep 16-bit and float inputs' precision."""
    if crop.dtype == np.uint8:
        resized = Image.fromarray(crop[:, :, 0] if crop.shape[2] == 1 else crop).resize(size, method)
        return np.asarray(resized).reshape(size[1], size[0], crop.shape[2])
    crop = to_float32(crop)
    # Pillow's float mode takes one channel at a time.
    planes = [np.asarray(Image.fromarray(np.ascontiguousarray(crop[:, :, channel])).resize(size, method))
              for channel in range(crop.shape[2])]
    return np.stack(planes, axis=2)
