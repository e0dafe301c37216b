"""The decompression-bomb guard: images larger than a limit are refused from their header's size, before any
pixel is decoded, whichever library reads them; the command's `--max-megapixels` moves the limit.

The default is Pillow's own `Image.MAX_IMAGE_PIXELS`, read at each call so that a program that changed it is
obeyed. Pillow applies its limit itself while opening and decoding (a warning above it, an error above twice it),
so for the files Pillow reads its limit is made ours for that time: otherwise Pillow would refuse what the caller
allowed, or let through with a warning what the caller refused.
"""

import contextlib
import threading
import warnings

from PIL import Image

from .formats import ImageError

_pillow_limit = threading.Lock()


def pixel_limit(max_pixels):
    """The limit in force: `max_pixels`, or Pillow's when None (None or infinity there: no limit)."""
    limit = Image.MAX_IMAGE_PIXELS if max_pixels is None else max_pixels
    return None if limit is None or limit == float("inf") else limit


def check_size(path, width, height, max_pixels):
    """ImageError when a `width` x `height` image is above the limit `max_pixels` (see `pixel_limit`)."""
    limit = pixel_limit(max_pixels)
    if limit is not None and width * height > limit:
        raise ImageError(f"{path}: {width}x{height} is {width * height / 1e6:.1f} megapixels, above the limit of "
                         f"{limit / 1e6:g} against decompression bombs; raise it with --max-megapixels")


@contextlib.contextmanager
def pillow_limited(path, max_pixels):
    """Pillow's bomb limit made `max_pixels` (see `pixel_limit`) while Pillow opens and decodes `path`, its
    refusal turned into this module's ImageError. Pillow keeps the limit in a global: where it differs from
    ours it is changed under a lock and put back after (other threads see ours meanwhile)."""
    ours = pixel_limit(max_pixels)
    lock = _pillow_limit if Image.MAX_IMAGE_PIXELS != ours else contextlib.nullcontext()
    with lock, warnings.catch_warnings():
        warnings.simplefilter("error", Image.DecompressionBombWarning)
        saved = Image.MAX_IMAGE_PIXELS
        Image.MAX_IMAGE_PIXELS = ours
        try:
            yield
        except (Image.DecompressionBombError, Image.DecompressionBombWarning):
            raise ImageError(f"{path}: more than {ours / 1e6:g} megapixels, the limit against decompression "
                             f"bombs; raise it with --max-megapixels") from None
        finally:
            Image.MAX_IMAGE_PIXELS = saved
