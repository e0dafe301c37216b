"""Animated images (GIF, APNG, animated WebP) through the upscaler: every frame, with each frame's duration, the
loop count and the disposal (GIF, APNG) kept, written back in the input's format by Pillow.

Pillow hands out each frame composed onto the canvas as the viewer shows it; those frames are upscaled
(colour and alpha separately, as for still images) and written whole. Written whole, a frame's disposal no
longer changes what is seen, so keeping the input's disposal is safe; APNG frames replace the canvas region
they cover (blend "source") rather than being drawn over it, so a frame that became more transparent shows
as it is. Any GIF goes this road, animated or not: the still-image road has no GIF writer.
"""

import dataclasses
import pathlib

import cupy as cp
import numpy as np
from PIL import Image, ImageSequence, UnidentifiedImageError

from ..atomic import atomic_output
from ..images import ImageError
from ..messages import first_line
from ..rescale import output_size
from ..upscaler import to_levels
from ...utils.dtypes import to_float32

__all__ = ["ANIMATION_FORMATS", "Animation", "check_animation", "upscale_animation"]

# Output suffixes that hold animations, Pillow's format for each, and the largest side it can write.
ANIMATION_FORMATS = {".gif": ("GIF", 65535), ".png": ("PNG", 2**31 - 1), ".apng": ("PNG", 2**31 - 1),
                     ".webp": ("WEBP", 16383)}
_APNG_BLEND_SOURCE = 0
_GIF_OPAQUE = 128  # GIF transparency is all or nothing: alpha from here up is opaque


@dataclasses.dataclass(frozen=True)
class Animation:
    """What a checked animated image holds."""

    format: str  # Pillow's: "GIF", "PNG", "WEBP"
    frames: int
    width: int
    height: int

    def __str__(self):
        return f"{self.frames}-frame {'APNG' if self.format == 'PNG' else self.format}"


UNIT = "frame"


def takes(path):
    """Whether the animation road takes `path`: an image of several frames, or any GIF."""
    path = pathlib.Path(path)
    if path.suffix.lower() not in ANIMATION_FORMATS:
        return False
    try:
        with Image.open(path) as picture:
            return picture.format == "GIF" or getattr(picture, "n_frames", 1) > 1
    except (OSError, UnidentifiedImageError, Image.DecompressionBombError):
        return False  # left to the image road, which reports it


def read(source, settings=None):
    """The Animation at `source`; ImageError (one line) when it cannot be read or upscaled."""
    source = pathlib.Path(source)
    try:
        with Image.open(source) as picture:
            animation = Animation(picture.format, getattr(picture, "n_frames", 1), *picture.size)
            if picture.format == "PNG" and _png_bit_depth(source) == 16:
                raise ImageError(f"{source}: 16-bit animated PNG frames would be cut to 8 bits; not upscaled")
    except (OSError, UnidentifiedImageError, Image.DecompressionBombError) as error:
        raise ImageError(f"{source}: not a readable image ({first_line(error)})") from None
    return animation


def output_suffix(source, animation, settings=None):
    return pathlib.Path(source).suffix


def check(source, target, animation, scale, settings=None):
    """`animation`, after checking that `target` can hold it `scale` times larger; ImageError otherwise."""
    source, target = pathlib.Path(source), pathlib.Path(target)
    written = ANIMATION_FORMATS.get(target.suffix.lower())
    if written is None:
        raise ImageError(f"{target}: {target.suffix or 'a file without a suffix'} cannot hold an animation; "
                         f"use {source.suffix.lower()}")
    largest = max(output_size(animation.height, animation.width, scale))
    if largest > written[1]:
        raise ImageError(f"{target}: {written[0]} holds images up to {written[1]} pixels a side; the result "
                         f"would have {largest}")
    return animation


def check_animation(source, target, scale):
    """The Animation at `source`, after checking that `target` can hold it `scale` times larger; ImageError
    (one line) otherwise."""
    return check(source, target, read(source), scale)


def width(animation):
    return animation.width


def height(animation):
    return animation.height


def run(job, upscaler, *, replace, progress=None):
    """Upscales the checked animation of `job` into its target; returns the Animation."""
    return _write(job.source, job.target, job.checked, upscaler, replace, progress)


def upscale_animation(source, target, upscaler, *, replace=True, progress=None):
    """Upscales every frame of the animated image `source` with `upscaler` (an Upscaler) and writes `target`
    atomically, in the format of its suffix (.gif, .png, .webp). `progress(done, total)` counts frames. Returns
    the Animation read. Raises ImageError (one line) for a file that cannot be read or written, and whatever the
    model raises."""
    return _write(source, target, check_animation(source, target, upscaler.scale), upscaler, replace, progress)


def _write(source, target, animation, upscaler, replace, progress):
    source, target = pathlib.Path(source), pathlib.Path(target)
    written = ANIMATION_FORMATS[target.suffix.lower()][0]
    try:
        with Image.open(source) as picture:
            info = dict(picture.info)
            alpha = _has_alpha(picture)
            frames, durations, disposals = [], [], []
            for number, frame in enumerate(ImageSequence.Iterator(picture)):
                frame.load()  # WebP tells a frame's duration only once it is decoded
                durations.append(frame.info.get("duration", 0))
                disposals.append(_disposal(frame))
                pixels = np.asarray(frame.convert("RGBA" if alpha else "RGB"))
                frames.append(_upscale_pixels(pixels, upscaler, written))
                if progress is not None:
                    progress(number + 1, animation.frames)
    except (OSError, UnidentifiedImageError, Image.DecompressionBombError, EOFError) as error:
        raise ImageError(f"{source}: not a readable image ({first_line(error)})") from None
    options = {"save_all": True, "append_images": frames[1:], "duration": durations}
    if "loop" in info:
        options["loop"] = info["loop"]  # absent: a GIF that plays once stays so
    if written == "GIF":
        options["disposal"] = [value if value is not None else 0 for value in disposals]
        options["optimize"] = False  # keeps every frame, even one equal to the one before
    elif written == "PNG":
        options["disposal"] = [value or 0 for value in disposals]
        options["blend"] = [_APNG_BLEND_SOURCE] * len(frames)
    else:
        options.update(lossless=_webp_lossless(source), quality=95)
    with atomic_output(target, replace=replace) as file:
        frames[0].save(file, format=written, **options)
    return animation


def _upscale_pixels(pixels, upscaler, written):
    image = to_float32(cp.asarray(pixels))
    planes = [image[:, :, :3]] + ([image[:, :, 3:]] if image.shape[2] == 4 else [])
    results = [upscaler.image(plane) for plane in planes]
    result = cp.concatenate(results, axis=2) if len(results) > 1 else results[0]
    levels = to_levels(result, np.uint8)
    if written == "GIF" and levels.shape[2] == 4:
        levels[:, :, 3] = np.where(levels[:, :, 3] >= _GIF_OPAQUE, 255, 0)
    return Image.fromarray(levels, "RGBA" if levels.shape[2] == 4 else "RGB")


def _has_alpha(picture):
    """Whether any frame has transparency (so every frame keeps an alpha plane)."""
    for frame in ImageSequence.Iterator(picture):
        if frame.mode in ("RGBA", "LA", "PA") or "transparency" in frame.info:
            return True
    return False


def _disposal(frame):
    if frame.format == "GIF":
        return getattr(frame, "disposal_method", 0)
    return frame.info.get("disposal")


def _png_bit_depth(path):
    with open(path, "rb") as file:
        header = file.read(25)
    return header[24] if len(header) == 25 else None


def _webp_lossless(path):
    """Whether the WebP's frames are stored losslessly (VP8L), so the output stays lossless too."""
    with open(path, "rb") as file:
        return b"VP8L" in file.read(1 << 16)
