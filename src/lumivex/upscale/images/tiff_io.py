"""TIFF files strip by strip (or one row of tiles at a time) through tifffile, at every depth TIFF has for grey and
RGB with or without alpha: 8 and 16-bit integers and 16 and 32-bit floats (kept as they are: no clamp to 0..1).
What tifffile leaves to others (palettes, CMYK, YCbCr, bilevel, inverted grey) is read whole by Pillow, as long as
Pillow holds it at full depth; the rest is refused rather than cut down.

Written with deflate (the "Adobe deflate" every TIFF reader knows) and the horizontal predictor on integers:
lossless, about half the size of uncompressed on photographs, and cheap next to the network; BigTIFF where the
file could pass 4 GB. The metadata goes to the tags made for it: ICC profile, XMP, resolution, and the
descriptive tags (description, make, model, software, date, artist, copyright)."""

import contextlib
import logging
import math
import re
import threading
import zlib

import numpy as np
import tifffile
from PIL import Image

from ..messages import first_line
from .formats import ImageError, PixelFormat
from .limits import check_size
from .metadata import Metadata, Text
from .reader import ImageReader

MAGIC = (b"II*\x00", b"MM\x00*", b"II+\x00", b"MM\x00+")
# Descriptive tags and the PNG keywords that say the same (PNG's own, where it has one).
TEXT_TAGS = {270: "Description", 271: "Make", 272: "Model", 305: "Software", 306: "Creation Time", 315: "Author",
             33432: "Copyright"}
_XMP_TAG = 700
_ORIENTATION_TAG = 274
_TIFF_DATE = re.compile(r"\d{4}:\d\d:\d\d \d\d:\d\d:\d\d")
_STRIP_BYTES = 1 << 18  # uncompressed bytes a strip holds; libtiff's readers like strips of this order
_BIGTIFF_FROM = 2**32 - 2**26  # raw bytes past which offsets might not fit in 32 bits (deflate can expand a bit)
DEFLATE_LEVEL = 3  # on differenced image data level 6 is no smaller, and half as fast
_COLOURS = {tifffile.PHOTOMETRIC.MINISBLACK: ("L", "LA"), tifffile.PHOTOMETRIC.RGB: ("RGB", "RGBA")}
_KINDS = {1: "uint", 3: "float"}  # SampleFormat
_OBJECT_NAME = re.compile(r"^<[^>]*>\s*")


def open_tiff(path, max_pixels, open_with_pillow):
    """A reader of the TIFF at `path`, its first page first (`ImageReader.pages` gives them all);
    `open_with_pillow(path, max_pixels, metadata, frame)` reads a page tifffile does not decode here."""
    try:
        with _refusing_lost_data(path):
            tiff = tifffile.TiffFile(path)
    except ImageError:
        raise
    except Exception as error:  # whatever a damaged header makes the parser raise
        raise ImageError(f"{path}: not a readable image ({first_line(error)})") from None
    try:
        with _refusing_lost_data(path):
            pages = list(tiff.pages)  # every IFD of the chain, so that a lost page is found before any work
        if not pages:
            raise ImageError(f"{path}: not a readable image (no pages)")
        readers = [_page_reader(tiff, page, index, path, max_pixels, open_with_pillow)
                   for index, page in enumerate(pages)]
    except ImageError:
        tiff.close()
        raise
    except Exception as error:
        tiff.close()
        raise ImageError(f"{path}: not a readable image ({first_line(error)})") from None
    except BaseException:
        tiff.close()
        raise
    first = readers[0]
    first.add_pages(readers[1:], close=tiff.close)
    return first


def _page_reader(tiff, page, index, path, max_pixels, open_with_pillow):
    """The ImageReader of one page; page `index` of the file."""
    if not isinstance(page, tifffile.TiffPage):  # a page tifffile only lists as a frame of another
        page = page.aspage()
    check_size(path, page.imagewidth, page.imagelength, max_pixels)
    metadata = tiff_metadata(tiff, page)
    pixel_format = _streamed_format(page)
    if pixel_format is None:
        _check_pillow_keeps_depth(path, page)
        return open_with_pillow(path, max_pixels, metadata, index)
    return ImageReader(path, "TIFF", pixel_format, (page.imagewidth, page.imagelength), metadata,
                       lambda: _blocks(tiff, page, pixel_format, path),
                       orientation=page.tags.valueof(_ORIENTATION_TAG, 1),
                       errors=(tifffile.TiffFileError, ValueError, NotImplementedError, OSError, RuntimeError,
                               IndexError, KeyError, EOFError))


class _LostData(logging.Handler):
    """Collects what tifffile says at ERROR level: by its convention, that the data it returns are wrong or
    incomplete (a segment cut short and zero-filled, a page skipped), which for this reader is a damaged file."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.thread = threading.get_ident()
        self.messages = []

    def emit(self, record):
        if record.thread == self.thread:  # another thread's file is that thread's business
            self.messages.append(record.getMessage())


@contextlib.contextmanager
def _refusing_lost_data(path):
    """ImageError after the block when tifffile reported data it could not read in it."""
    logger = logging.getLogger("tifffile")
    handler = _LostData()
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
    if handler.messages:
        # "<tifffile.TiffPage 0 @8> truncated strip @ (...) (88 < 192 samples) padded": what, without the
        # object's name and the repair tifffile made.
        message = _OBJECT_NAME.sub("", handler.messages[0]).removesuffix(" padded").strip()
        raise ImageError(f"{path}: not a readable image ({message})")


def _streamed_format(page):
    """The PixelFormat of a page tifffile decodes here, None for one left to Pillow."""
    modes = _COLOURS.get(page.photometric)
    kind = _KINDS.get(page.sampleformat)
    if modes is None or kind is None or page.bitspersample not in ((8, 16) if kind == "uint" else (16, 32)):
        return None
    extra = page.samplesperpixel - (1 if modes[0] == "L" else 3)
    if not 0 <= extra <= 1 or page.is_subsampled:
        return None
    return PixelFormat(modes[extra], page.bitspersample, kind)


def _check_pillow_keeps_depth(path, page):
    bits = page.bitspersample if isinstance(page.bitspersample, int) else max(page.bitspersample)
    grey16 = bits == 16 and page.samplesperpixel == 1 and page.sampleformat == 1
    if bits > 8 and not grey16:
        raise ImageError(f"{path}: unsupported pixel format ({bits}-bit {page.photometric.name.lower()} with "
                         f"{page.samplesperpixel} samples a pixel)")


def _blocks(tiff, page, pixel_format, path):
    """Row bands as stored: one strip, or one row of tiles, at a time (all planes of it where planes are
    stored apart)."""
    height, width, channels = page.imagelength, page.imagewidth, pixel_format.channels
    planes = channels if page.planarconfig == tifffile.PLANARCONFIG.SEPARATE else 1
    samples = channels // planes
    segment_height = page.tilelength if page.is_tiled else min(page.rowsperstrip, height)
    segment_width = page.tilewidth if page.is_tiled else width
    across = math.ceil(width / segment_width)
    down = math.ceil(height / segment_height)
    decode = page.decode
    for row in range(down):
        rows = min(segment_height, height - row * segment_height)
        band = np.zeros((rows, width, channels), pixel_format.dtype)
        for plane in range(planes):
            for column in range(across):
                index = (plane * down + row) * across + column
                with _refusing_lost_data(path):
                    data = _segment(tiff, page, decode, index, path)
                if data is None:
                    continue  # a segment never written: zeros, as tifffile and libtiff make it
                x = column * segment_width
                part = data.reshape(-1, segment_width, samples)[:rows, :width - x]
                if len(part) < rows:
                    raise ImageError(f"{path}: not a readable image (segment {index} holds {len(part)} of its "
                                     f"{rows} rows)")
                band[:, x:x + part.shape[1], plane * samples:(plane + 1) * samples] = part
        yield band


def _segment(tiff, page, decode, index, path):
    count = page.databytecounts[index]
    if count == 0:
        return None
    tiff.filehandle.seek(page.dataoffsets[index])
    data = tiff.filehandle.read(count)
    if len(data) < count:
        raise ImageError(f"{path}: not a readable image (image file is truncated: segment {index} has "
                         f"{len(data)} of its {count} bytes)")
    if page.compression in (6, 7, 34892, 33007):  # JPEG segments may share tables kept in the page
        array, _, _ = decode(data, index, jpegtables=page.jpegtables, jpegheader=page.jpegheader)
    else:
        array, _, _ = decode(data, index)
    return array


def tiff_metadata(tiff, page):
    tags = page.tags
    texts = []
    for code, keyword in TEXT_TAGS.items():
        value = tags.valueof(code)
        if code == 270 and (tiff.is_shaped or tiff.is_imagej or tiff.is_ome):
            continue  # tifffile's, ImageJ's or OME's account of the array's shape, no longer true after upscaling
        if isinstance(value, bytes):
            value = value.decode("utf-8", "replace")
        if isinstance(value, str) and value.strip("\0 "):
            texts.append(Text(keyword, value.rstrip("\0")))
    xmp = tags.valueof(_XMP_TAG)
    return Metadata(icc_profile=page.iccprofile or None, xmp=bytes(xmp) if xmp else None, texts=tuple(texts),
                    dpi=_dpi(tags))


def _dpi(tags):
    x, y = tags.valueof(282), tags.valueof(283)
    unit = tags.valueof(296, 2)  # inches unless the file says otherwise
    if not x or not y or unit not in (2, 3) or not x[1] or not y[1] or not x[0] or not y[0]:
        return None
    per_inch = 1 if unit == 2 else 2.54
    return (x[0] / x[1] * per_inch, y[0] / y[1] * per_inch)


def write_tiff(file, pages):
    """Writes `pages` (images.Page: row bands, size, pixel format, metadata) to the open binary `file` as a TIFF,
    page after page, strip by strip."""
    raw_bytes = sum(page.width * page.height * page.pixel_format.channels * page.pixel_format.bits // 8
                    for page in pages)
    # Named for tifffile, which takes the name of a file object for a path, and a temporary file has none.
    handle = tifffile.FileHandle(file, mode="wb", name="output.tif")
    with tifffile.TiffWriter(handle, bigtiff=raw_bytes > _BIGTIFF_FROM, byteorder="<") as tiff:
        for page in pages:
            _write_page(tiff, page.bands, page.height, page.width, page.pixel_format, page.metadata)


def _write_page(tiff, bands, height, width, pixel_format, metadata):
    channels = pixel_format.channels
    bilevel = pixel_format.mode == "1"
    row_bytes = width * channels * pixel_format.bits // 8
    rows_per_strip = max(1, min(height, _STRIP_BYTES // row_bytes))
    predictor = pixel_format.kind == "uint" and not bilevel
    colour = pixel_format.mode.startswith("RGB")
    tiff.write(_encoded_strips(bands, rows_per_strip, pixel_format, predictor),
               shape=(height, width, channels) if channels > 1 else (height, width),
               dtype=bool if bilevel else pixel_format.dtype,
               photometric="rgb" if colour else "minisblack", planarconfig="contig",
               extrasamples=("unassalpha",) if pixel_format.has_alpha else None,
               rowsperstrip=rows_per_strip, compression="zlib", predictor=2 if predictor else None,
               metadata=None, software=False, **_tag_arguments(metadata))


def _encoded_strips(bands, rows_per_strip, pixel_format, predictor):
    """The bands regrouped into strips of `rows_per_strip` rows, each deflated as TIFF stores it."""
    little_endian = np.dtype(pixel_format.dtype).newbyteorder("<")
    pending, count = [], 0

    def encode(strip):
        if pixel_format.mode == "1":
            data = np.packbits(strip[:, :, 0] >= 128, axis=1)
        elif predictor:  # each sample stored as the difference to the one left of it, wrapping around
            data = strip.copy()
            data[:, 1:] -= strip[:, :-1]
            data = data.astype(little_endian, copy=False)
        else:
            data = strip.astype(little_endian, copy=False)
        return zlib.compress(np.ascontiguousarray(data).tobytes(), DEFLATE_LEVEL)

    for band in bands:
        while len(band):
            take = min(rows_per_strip - count, len(band))
            pending.append(band[:take])
            count += take
            band = band[take:]
            if count == rows_per_strip:
                yield encode(np.concatenate(pending) if len(pending) > 1 else pending[0])
                pending, count = [], 0
    if pending:
        yield encode(np.concatenate(pending))


def _tag_arguments(metadata):
    if metadata is None:
        return {}
    arguments = {}
    if metadata.icc_profile:
        arguments["iccprofile"] = metadata.icc_profile
    if metadata.dpi:
        arguments["resolution"] = tuple(float(value) for value in metadata.dpi)
        arguments["resolutionunit"] = "INCH"
    values = _exif_descriptions(metadata.exif)
    values.update({code: metadata.text(keyword) for code, keyword in TEXT_TAGS.items()
                   if metadata.text(keyword) is not None})
    if 306 in values and not _TIFF_DATE.fullmatch(values[306]):
        del values[306]  # TIFF's date has one form; PNG's Creation Time is free text
    extratags = [(code, "s", 0, value.encode("utf-8"), True) for code, value in sorted(values.items()) if value]
    if metadata.xmp:
        extratags.append((_XMP_TAG, "B", len(metadata.xmp), metadata.xmp, True))
    if extratags:
        arguments["extratags"] = extratags
    return arguments


def _exif_descriptions(exif):
    """The descriptive tags of an EXIF block's first IFD (the same tags as TIFF's own), by tag number."""
    if not exif:
        return {}
    parsed = Image.Exif()
    try:
        parsed.load(exif)
    except (ValueError, SyntaxError, OSError, KeyError, TypeError):
        return {}
    found = {}
    for code in TEXT_TAGS:
        value = parsed.get(code)
        if isinstance(value, bytes):
            value = value.decode("utf-8", "replace")
        if isinstance(value, str) and value.strip("\0 "):
            found[code] = value.rstrip("\0")
    return found
