"""Reading and writing image files for upscaling, keeping what the input was: bit depth and mode.

`read_image(path)` gives the pixels as an (H, W, C) uint8 or uint16 NumPy array, EXIF orientation applied,
with a `PixelFormat` saying what the file held; `write_image(path, pixels, pixel_format)` writes them back in
that format, through a temporary file renamed into place, so an interrupted run never leaves a half-written
image. Pillow does the work, except for 16-bit PNGs with colour or alpha, which Pillow would cut to 8 bits:
those go through pypng. `check_readable` and `check_writable` validate files before any work starts.

Modes: "1" (bilevel), "L" (grey), "LA", "RGB", "RGBA", at 8 bits; "L", "LA", "RGB", "RGBA" at 16 bits.
Palette images are read as RGB (RGBA with transparency) and written so; CMYK and YCbCr as RGB.
"""

import dataclasses
import pathlib

import numpy as np
from PIL import Image, UnidentifiedImageError

from .atomic import atomic_output
from .messages import first_line

ORIENTATION_TAG = 0x0112
_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_CONVERTED = {"P": None, "PA": "RGBA", "CMYK": "RGB", "YCbCr": "RGB", "RGBX": "RGB", "LAB": None, "HSV": None}
_PNG_COLOUR_TYPES = {0: "L", 2: "RGB", 4: "LA", 6: "RGBA"}  # 16-bit ones (palettes have at most 8 bits)
_PILLOW_8BIT = {"1", "L", "LA", "RGB", "RGBA"}
_PILLOW_16BIT_GREY = {"I;16", "I;16L", "I;16B", "I;16N"}
# Output formats by extension, and which 8-bit modes / 16-bit modes each can hold.
_FORMATS = {
    ".png": ("PNG", {"1", "L", "LA", "RGB", "RGBA"}, {"L", "LA", "RGB", "RGBA"}),
    ".jpg": ("JPEG", {"1", "L", "RGB"}, set()),
    ".jpeg": ("JPEG", {"1", "L", "RGB"}, set()),
    ".tif": ("TIFF", {"1", "L", "LA", "RGB", "RGBA"}, {"L"}),
    ".tiff": ("TIFF", {"1", "L", "LA", "RGB", "RGBA"}, {"L"}),
    ".webp": ("WEBP", {"RGB", "RGBA"}, set()),
    ".bmp": ("BMP", {"1", "L", "RGB"}, set()),
}
INPUT_SUFFIXES = frozenset(_FORMATS)


class ImageError(ValueError):
    """A file that cannot be read as an image, or a format that cannot hold the image; one-line message."""


@dataclasses.dataclass(frozen=True)
class PixelFormat:
    """What an image file holds: `mode` ("1", "L", "LA", "RGB" or "RGBA") and `bits` (8 or 16)."""

    mode: str
    bits: int

    @property
    def has_alpha(self):
        return self.mode.endswith("A")

    @property
    def dtype(self):
        return np.uint8 if self.bits == 8 else np.uint16

    def __str__(self):
        return f"{self.bits}-bit {self.mode}"


def check_readable(path):
    """The PixelFormat of the image at `path`, from its header only; ImageError when it is not an image."""
    try:
        with Image.open(path) as picture:
            return _pixel_format(path, picture)
    except (OSError, UnidentifiedImageError, Image.DecompressionBombError) as error:
        raise ImageError(f"{path}: not a readable image ({first_line(error)})") from None


def check_writable(path, pixel_format):
    """ImageError unless a file named `path` can hold `pixel_format`."""
    suffix = pathlib.Path(path).suffix.lower()
    if suffix not in _FORMATS:
        raise ImageError(f"{path}: cannot write {suffix or 'files without a suffix'}; "
                         f"use one of {', '.join(sorted(_FORMATS))}")
    name, modes8, modes16 = _FORMATS[suffix]
    if pixel_format.mode not in (modes8 if pixel_format.bits == 8 else modes16):
        raise ImageError(f"{path}: {name} cannot hold the input's {pixel_format} pixels; use .png")


def read_image(path):
    """(pixels, pixel_format): an (H, W, C) uint8 or uint16 array, upright (EXIF orientation applied)."""
    try:
        with Image.open(path) as picture:
            pixel_format = _pixel_format(path, picture)
            orientation = picture.getexif().get(ORIENTATION_TAG, 1)
            if pixel_format.bits == 16 and pixel_format.mode != "L":
                pixels = _read_png16(path)
            else:
                pixels = _pillow_pixels(picture, pixel_format)
    except (OSError, UnidentifiedImageError, Image.DecompressionBombError, ValueError) as error:
        raise ImageError(f"{path}: not a readable image ({first_line(error)})") from None
    if pixels.ndim == 2:
        pixels = pixels[:, :, None]
    return _upright(pixels, orientation), pixel_format


def write_image(path, pixels, pixel_format, *, replace=True):
    """Writes (H, W, C) uint8/uint16 `pixels` to `path` in `pixel_format`, atomically (temporary + rename);
    `replace=False` never replaces a file that appeared at `path` meanwhile (FileExistsError)."""
    path = pathlib.Path(path)
    check_writable(path, pixel_format)
    format_name = _FORMATS[path.suffix.lower()][0]
    with atomic_output(path, replace=replace) as file:
        if pixel_format.bits == 16 and pixel_format.mode != "L":
            _write_png16(file, pixels, pixel_format)
        else:
            _pillow_image(pixels, pixel_format).save(file, format=format_name, **_save_options(format_name))


def _pixel_format(path, picture):
    mode = picture.mode
    if picture.format == "PNG":
        bit_depth, colour_type = _png_header(path)
        if bit_depth == 16:
            return PixelFormat(_PNG_COLOUR_TYPES[colour_type], 16)
    if mode in _PILLOW_8BIT:
        return PixelFormat(mode, 8)
    if mode in _PILLOW_16BIT_GREY:
        return PixelFormat("L", 16)
    if mode in _CONVERTED and _CONVERTED[mode] is not None:
        return PixelFormat(_CONVERTED[mode], 8)
    if mode == "P":
        return PixelFormat("RGBA" if "transparency" in picture.info else "RGB", 8)
    raise ImageError(f"{path}: unsupported pixel format {mode}")


def _png_header(path):
    """(bit depth, colour type) from the PNG's IHDR chunk (Pillow reports neither for 16-bit colour)."""
    with open(path, "rb") as file:
        header = file.read(26)  # signature, IHDR length and type, width, height, bit depth, colour type
    if header[:8] != _PNG_SIGNATURE or len(header) != 26:
        return None, None
    return header[24], header[25]


def _pillow_pixels(picture, pixel_format):
    if pixel_format.bits == 16:  # grey, in one of Pillow's 16-bit or 32-bit integer modes
        return np.asarray(picture, dtype=np.uint32).astype(np.uint16)
    if picture.mode != pixel_format.mode:
        picture = picture.convert(pixel_format.mode)
    if pixel_format.mode == "1":
        picture = picture.convert("L")
    return np.asarray(picture, dtype=np.uint8)


def _read_png16(path):
    import png

    width, height, rows, info = png.Reader(filename=str(path)).asDirect()
    planes = info["planes"]
    return np.vstack([np.asarray(row, dtype=np.uint16) for row in rows]).reshape(height, width, planes)


def _write_png16(file, pixels, pixel_format):
    import png

    height, width, planes = pixels.shape
    writer = png.Writer(width, height, greyscale=pixel_format.mode in ("L", "LA"), alpha=pixel_format.has_alpha,
                        bitdepth=16)
    writer.write_array(file, np.ascontiguousarray(pixels, dtype=np.uint16).reshape(-1))


def _pillow_image(pixels, pixel_format):
    if pixel_format.bits == 16:
        return Image.fromarray(np.ascontiguousarray(pixels[:, :, 0], dtype=np.uint16))
    planes = pixels[:, :, 0] if pixels.shape[2] == 1 else pixels
    picture = Image.fromarray(np.ascontiguousarray(planes, dtype=np.uint8))
    if pixel_format.mode == "1":
        picture = picture.convert("1", dither=Image.Dither.NONE)
    return picture


def _save_options(format_name):
    return {"JPEG": {"quality": 95}, "WEBP": {"quality": 95}}.get(format_name, {})


# EXIF orientation 2..8: the turn or flip that makes the image upright, as Pillow's ImageOps.exif_transpose.
_UPRIGHT = {
    2: lambda a: a[:, ::-1],
    3: lambda a: a[::-1, ::-1],
    4: lambda a: a[::-1],
    5: lambda a: a.transpose(1, 0, 2),
    6: lambda a: np.rot90(a, -1),
    7: lambda a: np.rot90(a, 2).transpose(1, 0, 2),
    8: lambda a: np.rot90(a, 1),
}


def _upright(pixels, orientation):
    turn = _UPRIGHT.get(orientation)
    return np.ascontiguousarray(turn(pixels)) if turn else pixels
