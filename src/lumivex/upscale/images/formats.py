"""What an image file holds and which files can hold it: pixel formats, output formats by suffix, and the checks
that refuse an output before any work rather than fail or cut it down after the work is done."""

import dataclasses
import pathlib

import numpy as np

_CHANNELS = {"1": 1, "L": 1, "LA": 2, "RGB": 3, "RGBA": 4}
_DTYPES = {("uint", 8): np.uint8, ("uint", 16): np.uint16, ("float", 16): np.float16, ("float", 32): np.float32}


class ImageError(ValueError):
    """A file that cannot be read as an image, or a format that cannot hold the image; one-line message."""


@dataclasses.dataclass(frozen=True)
class PixelFormat:
    """What an image file holds: `mode` ("1", "L", "LA", "RGB" or "RGBA"), `bits` per sample and their `kind`:
    "uint" (8 or 16 bits, 0 to the top level) or "float" (16 or 32 bits, any value, as scientific TIFFs hold)."""

    mode: str
    bits: int
    kind: str = "uint"

    def __post_init__(self):
        if self.mode not in _CHANNELS or (self.kind, self.bits) not in _DTYPES or (
                self.mode == "1" and (self.kind, self.bits) != ("uint", 8)):
            raise ValueError(f"no such pixel format: {self.bits}-bit {self.kind} {self.mode}")

    @property
    def has_alpha(self):
        return self.mode.endswith("A")

    @property
    def channels(self):
        return _CHANNELS[self.mode]

    @property
    def dtype(self):
        return _DTYPES[self.kind, self.bits]

    def __str__(self):
        return f"{self.bits}-bit {self.mode}" if self.kind == "uint" else f"{self.bits}-bit float {self.mode}"


@dataclasses.dataclass(frozen=True)
class OutputFormat:
    """A format written for a suffix: its Pillow name, the modes it holds at 8 and 16 bits and as floats, and
    the longest side its encoders take (None: no limit short of the format's own fields)."""

    name: str
    modes8: frozenset
    modes16: frozenset
    modes_float: frozenset
    max_side: int | None = None

    def holds(self, pixel_format):
        if pixel_format.kind == "float":
            return pixel_format.mode in self.modes_float
        return pixel_format.mode in (self.modes8 if pixel_format.bits == 8 else self.modes16)


_ALL = frozenset(_CHANNELS)
# PNG's and TIFF's headers keep a side in 31 and 32 bits.
_PNG = OutputFormat("PNG", _ALL, _ALL - {"1"}, frozenset(), 2**31 - 1)
# libjpeg refuses sides above 65,500 (its JPEG_MAX_DIMENSION), though the format's fields could say 65,535.
_JPEG = OutputFormat("JPEG", frozenset({"1", "L", "RGB"}), frozenset(), frozenset(), 65500)
_TIFF = OutputFormat("TIFF", _ALL, _ALL - {"1"}, _ALL - {"1"}, 2**32 - 1)
FORMATS = {
    ".png": _PNG,
    ".jpg": _JPEG,
    ".jpeg": _JPEG,
    ".tif": _TIFF,
    ".tiff": _TIFF,
    ".webp": OutputFormat("WEBP", frozenset({"RGB", "RGBA"}), frozenset(), frozenset(), 16383),
    ".bmp": OutputFormat("BMP", frozenset({"1", "L", "RGB"}), frozenset(), frozenset()),
}
INPUT_SUFFIXES = frozenset(FORMATS)
_BMP_MAX_BYTES = 2**32 - 1 - 1078  # its file size field is 32 bits; headers and a grey palette come first


def output_format(path):
    """The OutputFormat a file named `path` is written in; ImageError for a suffix no writer has."""
    suffix = pathlib.Path(path).suffix.lower()
    if suffix not in FORMATS:
        raise ImageError(f"{path}: cannot write {suffix or 'files without a suffix'}; "
                         f"use one of {', '.join(sorted(FORMATS))}")
    return FORMATS[suffix]


def check_writable(path, pixel_format, size=None, *, pages=1):
    """ImageError unless a file named `path` can hold `pixel_format` pixels, and an image of `size`
    ((width, height), when given) fits the format, and so do `pages` images (TIFF alone holds several)."""
    target = output_format(path)
    if pages > 1 and target.name != "TIFF":
        raise ImageError(f"{path}: {target.name} holds one image, the input has {pages} pages; use .tif")
    if not target.holds(pixel_format):
        better = ".tif" if pixel_format.kind == "float" else ".png"
        raise ImageError(f"{path}: {target.name} cannot hold the input's {pixel_format} pixels; use {better}")
    if size is None:
        return
    width, height = size
    if target.max_side is not None and max(width, height) > target.max_side:
        larger = [suffix for suffix in (".png", ".tif") if FORMATS[suffix].max_side > max(width, height)]
        raise ImageError(f"{path}: {target.name} holds at most {target.max_side:,} pixels a side, the output would "
                         f"be {width:,}x{height:,}; " + (f"use {' or '.join(larger)}" if larger else
                                                         "no format holds that; choose a smaller --scale"))
    if target.name == "BMP" and _bmp_bytes(width, height, pixel_format) > _BMP_MAX_BYTES:
        raise ImageError(f"{path}: BMP holds at most 4 GB, the output would be {width:,}x{height:,}; use .png")


def _bmp_bytes(width, height, pixel_format):
    bits = 1 if pixel_format.mode == "1" else 8 * pixel_format.channels
    return (width * bits + 31) // 32 * 4 * height  # rows padded to 4 bytes


def default_suffix(reader_format, pixel_format):
    """The suffix an output gets when the user names none: TIFF stays TIFF (it holds every depth and float,
    and its users expect it back), everything else becomes PNG, which holds every mode at 8 and 16 bits."""
    return ".tif" if reader_format == "TIFF" or pixel_format.kind == "float" else ".png"
