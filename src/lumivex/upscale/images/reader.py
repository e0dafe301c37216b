"""The reader every format opens: image size, pixel format and metadata from the header, and rows handed out band
by band, upright, holding only the rows asked for and what the format's compression unit decodes at once."""

import numpy as np

from ..messages import first_line
from .formats import ImageError
from .metadata import upright_metadata

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
_ROW_BY_ROW = (1, 2)  # orientations that keep each row a row of the upright image


def upright(pixels, orientation):
    """The (H, W, C) `pixels` turned as EXIF `orientation` says; the array itself for orientation 1."""
    turn = _UPRIGHT.get(orientation)
    return np.ascontiguousarray(turn(pixels)) if turn else pixels


class ImageReader:
    """One image file open for reading: `height`, `width`, `channels`, `pixel_format`, `metadata` and `format`
    (Pillow's name: "PNG", "TIFF", "JPEG", ...) come from the header, upright (EXIF orientation applied, and reset
    to 1 in `metadata`). `read_rows(y0, y1)` gives rows y0..y1-1 as an (y1 - y0, W, C) array of
    `pixel_format.dtype`; calls must come with non-decreasing y0 and y1, and may overlap. A file of several
    pages (a multi-page TIFF) opens as the reader of its first page; `pages()` lists the readers of them all.

    The format gives `blocks`, a function that starts decoding and returns an iterator of (k, W, C) arrays,
    top to bottom as stored, and `errors`, the exceptions its decoder raises for a broken file."""

    def __init__(self, path, image_format, pixel_format, size, metadata, blocks, *, orientation, errors=(),
                 close=None):
        self.path = path
        self.format = image_format
        self.pixel_format = pixel_format
        orientation = orientation if orientation in _UPRIGHT else 1  # 1, or a value no viewer knows either
        stored_width, stored_height = size
        self.width, self.height = (stored_height, stored_width) if orientation >= 5 else size
        self.metadata = upright_metadata(metadata, orientation)
        self._start_blocks = blocks
        self._orientation = orientation
        self._errors = tuple(errors)
        self._closers = [close] if close is not None else []
        self._pages = [self]
        self._blocks = None
        self._held = []  # arrays of consecutive rows, the first starting at image row self._first
        self._first = 0
        self._end = 0  # one past the last row held
        self._asked = (0, 0)

    @property
    def channels(self):
        return self.pixel_format.channels

    def read_rows(self, y0, y1):
        if not 0 <= y0 <= y1 <= self.height:
            raise ValueError(f"rows {y0}..{y1} are outside the image's 0..{self.height}")
        if y0 < self._asked[0] or y1 < self._asked[1]:
            raise ValueError(f"rows {y0}..{y1} asked after {self._asked[0]}..{self._asked[1]}: rows are read "
                             "top to bottom only")
        self._asked = (y0, y1)
        try:
            self._drop_below(y0)
            while self._end < y1:
                block = next(self._decoded(), None)
                if block is None:
                    raise ImageError(f"{self.path}: not a readable image (image file is truncated)")
                self._held.append(block)
                self._end += len(block)
                self._drop_below(y0)  # rows skipped over are not kept
        except ImageError:
            raise
        except self._errors as error:
            raise ImageError(f"{self.path}: not a readable image ({first_line(error)})") from None
        rows = np.concatenate(self._held) if len(self._held) > 1 else self._held[0] if self._held else None
        if rows is None:
            return np.empty((0, self.width, self.channels), self.pixel_format.dtype)
        return np.array(rows[y0 - self._first:y1 - self._first])

    def add_pages(self, others, *, close=None):
        """Makes this reader the first page of a file whose other pages `others` read; `close()` closes the
        file they share, after them."""
        self._pages = [self, *others]
        if close is not None:
            self._closers.append(close)

    def pages(self):
        """The readers of every page of the file, this one first: [self] for a file of one image."""
        return list(self._pages)

    def _decoded(self):
        if self._blocks is None:
            self._blocks = self._upright_blocks()
        return self._blocks

    def _upright_blocks(self):
        blocks = self._start_blocks()
        if self._orientation in _ROW_BY_ROW:
            for block in blocks:
                yield _UPRIGHT[self._orientation](block) if self._orientation != 1 else block
            return
        held = list(blocks)  # the turn needs the whole image
        whole = np.concatenate(held) if len(held) > 1 else held[0]
        del held
        yield upright(whole, self._orientation)

    def _drop_below(self, y0):
        while self._held and self._first + len(self._held[0]) <= y0:
            self._first += len(self._held.pop(0))
        if self._held and self._first < y0:
            self._held[0] = self._held[0][y0 - self._first:]
            self._first = y0
        if not self._held:
            self._first = self._end

    def close(self):
        for page in self._pages[1:]:
            page.close()
        self._pages = [self]
        if self._blocks is not None:
            self._blocks.close()
        self._held = []
        while self._closers:
            self._closers.pop(0)()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
