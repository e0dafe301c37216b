"""The road of still images (PNG, JPEG, TIFF, WebP, BMP): read row by row as the tiles need them, upscaled band
by band, each band written as it comes, atomically, keeping bit depth, mode, floats and the metadata the output
format holds; memory holds a few bands, not the image. Colour and alpha go through the network separately (the
alpha plane as a grey image) and are put back together.
"""

import dataclasses
import pathlib

from .. import images
from ..messages import UsageError
from ..rescale import output_size
from ..upscaler import to_levels

UNIT = "tile"
# What --format names, and the suffix written for it.
FORMAT_SUFFIXES = {"png": ".png", "jpg": ".jpg", "jpeg": ".jpg", "tif": ".tif", "tiff": ".tif", "webp": ".webp",
                   "bmp": ".bmp"}


@dataclasses.dataclass(frozen=True)
class Settings:
    """`max_megapixels`: the largest input read (None: Pillow's decompression-bomb limit); `format`: the output
    format's name (a key of FORMAT_SUFFIXES; None keeps the input's where it holds the pixels)."""

    max_megapixels: float | None = None
    format: str | None = None

    def __post_init__(self):
        if self.max_megapixels is not None and not self.max_megapixels > 0:
            raise UsageError(f"--max-megapixels must be positive, got {self.max_megapixels}")
        if self.format is not None and self.format not in FORMAT_SUFFIXES:
            raise UsageError(f"--format must be one of {', '.join(FORMAT_SUFFIXES)}, got {self.format}")

    @property
    def max_pixels(self):
        return None if self.max_megapixels is None else int(self.max_megapixels * 1_000_000)


@dataclasses.dataclass(frozen=True)
class Header:
    """What planning read of an image: its format's name, pixel format, size and number of pages."""

    format: str
    pixel_format: images.PixelFormat
    height: int
    width: int
    pages: int = 1

    def __str__(self):
        return str(self.pixel_format)


def takes(path):
    return pathlib.Path(path).suffix.lower() in images.INPUT_SUFFIXES


def read(source, settings):
    """The Header of the image at `source`; ImageError (one line) when it is not one this road reads."""
    with images.open_image(source, max_pixels=settings.max_pixels) as reader:
        return Header(reader.format, reader.pixel_format, reader.height, reader.width, len(reader.pages()))


def output_suffix(source, header, settings):
    """The format asked for; else the input's own where it holds the pixels; else TIFF for floats, PNG."""
    if settings.format is not None:
        return FORMAT_SUFFIXES[settings.format]
    try:
        if images.output_format(source).holds(header.pixel_format):
            return pathlib.Path(source).suffix
    except images.ImageError:
        pass  # a suffix no writer has
    return ".tif" if header.pixel_format.kind == "float" else ".png"


def check(source, target, header, scale, settings):
    """ImageError (one line) unless `target` can hold the result; returns what the work needs to know."""
    height, width = output_size(header.height, header.width, scale)
    images.check_writable(target, header.pixel_format, (width, height), pages=header.pages)
    return header


def width(header):
    return header.width


def height(header):
    return header.height


def run(job, upscaler, *, replace, progress=None):
    """Upscales the image of `job` into its target, every page of it; returns the PixelFormat written."""
    def upscaled(page):  # one page of the file (a multi-page TIFF has several), upscaled as it is written
        pixel_format = page.pixel_format
        colours = 1 if pixel_format.mode in ("1", "L", "LA") else 3
        height, width = upscaler.output_size(page.height, page.width)
        bands = upscaler.bands(page, planes=(colours, 1) if pixel_format.has_alpha else (colours,),
                               progress=progress)
        return images.Page((to_levels(band, pixel_format.dtype) for band in bands), height, width, pixel_format,
                           page.metadata)

    with images.open_image(job.source, max_pixels=job.settings.max_pixels) as reader:
        images.write_image_pages(job.target, map(upscaled, reader.pages()), replace=replace)
    return reader.pixel_format
