"""Reading and writing image files for upscaling, keeping what the input was: bit depth, mode, floats, metadata.

    with images.open_image("scan.tif") as reader:          # header only: size, pixel format, metadata
        band = reader.read_rows(0, 64)                     # (64, W, C) NumPy array, upright
    images.write_image_rows("out.tif", bands, height, width, reader.pixel_format, reader.metadata)

PNG and TIFF stream: readers decode rows as they are asked for (pypng rows, TIFF strips or rows of tiles) and
writers take an iterable of row bands and never hold the image; JPEG, WebP, BMP and GIF are decoded and encoded
whole by Pillow. Files are written through a temporary file moved into place, so an interrupted run never leaves
a half-written image. EXIF orientation is applied on reading and reset to 1 in the metadata. `check_readable`
and `check_writable` validate files before any work starts; images above the decompression-bomb limit (Pillow's
`Image.MAX_IMAGE_PIXELS` unless `max_pixels` says otherwise) are refused from their header.

Modes: "1" (bilevel), "L" (grey), "LA", "RGB", "RGBA", at 8 bits; "L", "LA", "RGB", "RGBA" at 16 bits, and as
16 or 32-bit floats (TIFF only). Palette images are read as RGB (RGBA with transparency) and written so; CMYK
and YCbCr as RGB; PNG's tRNS colour keys as alpha.
"""

import dataclasses
import pathlib

import numpy as np

from ..atomic import atomic_output
from ..messages import first_line
from .formats import INPUT_SUFFIXES, ImageError, PixelFormat, check_writable, default_suffix, output_format
from .metadata import ORIENTATION_TAG, Metadata, Text
from .pillow_io import open_pillow, write_pillow
from .png_io import SIGNATURE as _PNG_SIGNATURE, open_png, write_png
from .reader import ImageReader
from .tiff_io import MAGIC as _TIFF_MAGIC, open_tiff, write_tiff

__all__ = ["INPUT_SUFFIXES", "ImageError", "ImageReader", "Metadata", "ORIENTATION_TAG", "PixelFormat", "Text",
           "Page", "check_readable", "check_writable", "default_suffix", "open_image", "read_image", "write_image",
           "write_image_pages", "write_image_rows"]


def open_image(path, *, max_pixels=None):
    """An ImageReader of the image at `path`, from its header only; ImageError when it is not an image this
    module reads, or is larger than `max_pixels` (None: Pillow's decompression-bomb limit)."""
    try:
        with open(path, "rb") as file:
            start = file.read(8)
    except OSError as error:
        raise ImageError(f"{path}: not a readable image ({error.strerror or error})") from None
    try:
        if start == _PNG_SIGNATURE:
            return open_png(path, max_pixels)
        if start[:4] in _TIFF_MAGIC:
            return open_tiff(path, max_pixels, open_pillow)
        return open_pillow(path, max_pixels)
    except ImageError:
        raise
    except (MemoryError, RecursionError):
        raise  # the machine's trouble, not the file's
    except Exception as error:  # a damaged file may make a parser raise anything; it is one file's failure
        raise ImageError(f"{path}: not a readable image ({type(error).__name__}: {first_line(error)})") from None


def check_readable(path, *, max_pixels=None):
    """The PixelFormat of the image at `path`, from its header only; ImageError when it is not a readable image
    or is larger than `max_pixels` (None: Pillow's decompression-bomb limit)."""
    with open_image(path, max_pixels=max_pixels) as reader:
        return reader.pixel_format


def read_image(path, *, max_pixels=None):
    """(pixels, pixel_format): an (H, W, C) array of the pixel format's dtype, upright (EXIF orientation
    applied)."""
    with open_image(path, max_pixels=max_pixels) as reader:
        return reader.read_rows(0, reader.height), reader.pixel_format


def write_image(path, pixels, pixel_format, metadata=None, *, replace=True):
    """Writes (H, W, C) `pixels` of `pixel_format.dtype` to `path` in `pixel_format`, atomically (temporary +
    rename); `replace=False` never replaces a file that appeared at `path` meanwhile (FileExistsError)."""
    pixels = np.asarray(pixels)
    if pixels.ndim == 2:
        pixels = pixels[:, :, None]
    write_image_rows(path, [pixels], pixels.shape[0], pixels.shape[1], pixel_format, metadata, replace=replace)


def write_image_rows(path, bands, height, width, pixel_format, metadata=None, *, replace=True):
    """Writes the image whose rows the iterable `bands` gives, top to bottom, as (k, `width`, C) arrays of
    `pixel_format.dtype` (`height` rows in all), to `path` in `pixel_format`, keeping of `metadata` what the format
    holds. PNG and TIFF are written band by band; JPEG, WebP and BMP are assembled in memory first.

    Atomic: on any exception, also one the bands raise (KeyboardInterrupt included), no file is left behind and
    the exception propagates; `replace=False` never replaces a file that appeared at `path` meanwhile
    (FileExistsError). ImageError before anything is written when the format cannot hold the image."""
    write_image_pages(path, [Page(bands, height, width, pixel_format, metadata)], replace=replace)


@dataclasses.dataclass(frozen=True)
class Page:
    """One image of a file to write: its row `bands` (as `write_image_rows` takes them), size, pixel format and
    metadata."""

    bands: object
    height: int
    width: int
    pixel_format: PixelFormat
    metadata: Metadata | None = None


def write_image_pages(path, pages, *, replace=True):
    """Writes the Pages `pages` to `path` as `write_image_rows` writes one, each as a page of a TIFF; a file of
    another format holds one page only (ImageError before anything is written)."""
    path = pathlib.Path(path)
    pages = list(pages)
    check_writable(path, pages[0].pixel_format, pages=len(pages))
    for page in pages:
        check_writable(path, page.pixel_format, (page.width, page.height))
        if page.height < 1 or page.width < 1:
            raise ValueError(f"{path}: an image needs at least one row and column, got {page.width}x{page.height}")
    format_name = output_format(path).name
    checked = [dataclasses.replace(page, bands=_checked_bands(page.bands, page.height, page.width,
                                                              page.pixel_format)) for page in pages]
    with atomic_output(path, replace=replace) as file:
        if format_name == "TIFF":
            write_tiff(file, checked)
            return
        page = checked[0]
        if format_name == "PNG":
            write_png(file, page.bands, page.height, page.width, page.pixel_format, page.metadata)
        else:
            write_pillow(file, page.bands, page.height, page.width, page.pixel_format, page.metadata, format_name)


def _checked_bands(bands, height, width, pixel_format):
    """The bands, each checked to be what the writer was told; ValueError (so nothing is written) otherwise."""
    expected = (width, pixel_format.channels)
    done = 0
    for band in bands:
        band = np.asarray(band)
        if band.ndim != 3 or band.shape[1:] != expected or band.dtype != pixel_format.dtype:
            raise ValueError(f"a band of {band.dtype} {band.shape} where (k, {width}, {pixel_format.channels}) "
                             f"{np.dtype(pixel_format.dtype)} was due")
        done += len(band)
        if done > height:
            raise ValueError(f"the bands hold more than the image's {height} rows")
        if len(band):
            yield band
    if done != height:
        raise ValueError(f"the bands hold {done} of the image's {height} rows")
