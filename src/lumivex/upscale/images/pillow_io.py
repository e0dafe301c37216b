"""The formats Pillow reads and writes whole: JPEG, WebP, BMP, GIF (its first frame) and whatever else Pillow
opens, and the TIFFs tifffile leaves to it. Pixels keep their mode where the format has it; palettes become RGB
(RGBA with transparency), CMYK and YCbCr become RGB."""

import numpy as np
from PIL import Image, UnidentifiedImageError

from ..messages import first_line
from .formats import ImageError, PixelFormat
from .limits import check_size, pillow_limited
from .metadata import ORIENTATION_TAG, Metadata, Text, strip_exif_prefix
from .reader import ImageReader

_CONVERTED = {"P": None, "PA": "RGBA", "CMYK": "RGB", "YCbCr": "RGB", "RGBX": "RGB", "LAB": None, "HSV": None}
_PILLOW_8BIT = {"1", "L", "LA", "RGB", "RGBA"}
_PILLOW_16BIT_GREY = {"I;16", "I;16L", "I;16B", "I;16N"}
_ERRORS = (OSError, UnidentifiedImageError, ValueError, SyntaxError, EOFError)
_QUALITY = 95
_JPEG_MARKER_BYTES = 65533  # what one JPEG marker segment holds; Pillow refuses to save longer EXIF or XMP


def open_pillow(path, max_pixels, metadata=None, frame=0):
    """A reader of the image at `path` as Pillow reads it (its frame `frame`, for a page of a TIFF); `metadata`
    where the caller read it already."""
    try:
        with pillow_limited(path, max_pixels):
            picture = Image.open(path)
    except ImageError:  # a ValueError too: refused as a bomb, already one line that says so
        raise
    except _ERRORS as error:
        raise ImageError(f"{path}: not a readable image ({first_line(error)})") from None
    try:
        if frame:
            picture.seek(frame)
        check_size(path, *picture.size, max_pixels)
        pixel_format = _pixel_format(path, picture)
        orientation = picture.getexif().get(ORIENTATION_TAG, 1)
        if metadata is None:
            metadata = _metadata(picture)
    except BaseException:
        picture.close()
        raise

    def blocks():
        with pillow_limited(path, max_pixels):
            pixels = _pillow_pixels(picture, pixel_format)
        yield pixels[:, :, None] if pixels.ndim == 2 else pixels

    return ImageReader(path, picture.format, pixel_format, picture.size, metadata, blocks,
                       orientation=orientation if isinstance(orientation, int) else 1, errors=_ERRORS,
                       close=picture.close)


def _pixel_format(path, picture):
    mode = picture.mode
    if mode in _PILLOW_8BIT:
        return PixelFormat(mode, 8)
    if mode in _PILLOW_16BIT_GREY:
        return PixelFormat("L", 16)
    if _CONVERTED.get(mode) is not None:
        return PixelFormat(_CONVERTED[mode], 8)
    if mode == "P":
        return PixelFormat("RGBA" if "transparency" in picture.info else "RGB", 8)
    raise ImageError(f"{path}: unsupported pixel format {mode}")


def _pillow_pixels(picture, pixel_format):
    if pixel_format.bits == 16:  # grey, in one of Pillow's 16-bit integer modes
        return np.asarray(picture, dtype=np.uint32).astype(np.uint16)
    if picture.mode != pixel_format.mode:
        picture = picture.convert(pixel_format.mode)
    if pixel_format.mode == "1":
        picture = picture.convert("L")
    return np.asarray(picture, dtype=np.uint8)


def _metadata(picture):
    info = picture.info
    comment = info.get("comment")
    if isinstance(comment, bytes):
        try:
            comment = comment.decode("utf-8")
        except UnicodeDecodeError:
            comment = comment.decode("latin-1")
    dpi = info.get("dpi")
    return Metadata(icc_profile=info.get("icc_profile") or None, exif=strip_exif_prefix(info.get("exif")),
                    xmp=_bytes(info.get("xmp")), texts=(Text("Comment", comment),) if comment else (),
                    dpi=tuple(float(value) for value in dpi) if dpi and all(dpi) else None)


def _bytes(value):
    if not value:
        return None
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


def write_pillow(file, bands, height, width, pixel_format, metadata, format_name):
    """Assembles the row `bands` in memory (these formats are encoded whole) and saves them with Pillow."""
    pixels = np.empty((height, width, pixel_format.channels), pixel_format.dtype)
    y = 0
    for band in bands:
        pixels[y:y + len(band)] = band
        y += len(band)
    _pillow_image(pixels, pixel_format).save(file, format=format_name, **_save_options(format_name, metadata))


def _pillow_image(pixels, pixel_format):
    planes = pixels[:, :, 0] if pixels.shape[2] == 1 else pixels
    picture = Image.fromarray(np.ascontiguousarray(planes, dtype=np.uint8))
    if pixel_format.mode == "1":
        picture = picture.convert("1", dither=Image.Dither.NONE)
    return picture


def _save_options(format_name, metadata):
    options = {"quality": _QUALITY} if format_name in ("JPEG", "WEBP") else {}
    if metadata is None:
        return options
    if format_name in ("JPEG", "WEBP"):
        limit = _JPEG_MARKER_BYTES if format_name == "JPEG" else float("inf")
        if metadata.icc_profile:  # Pillow spreads a long profile over several markers itself
            options["icc_profile"] = metadata.icc_profile
        if metadata.exif and len(metadata.exif) + 6 <= limit:
            options["exif"] = b"Exif\x00\x00" + metadata.exif if format_name == "JPEG" else metadata.exif
        if metadata.xmp and len(metadata.xmp) + 29 <= limit:  # after its namespace's name
            options["xmp"] = metadata.xmp
    if format_name == "JPEG" and metadata.text("Comment"):
        options["comment"] = metadata.text("Comment").encode("utf-8")
    if format_name in ("JPEG", "BMP") and metadata.dpi:
        options["dpi"] = tuple(round(value) for value in metadata.dpi)
    return options
