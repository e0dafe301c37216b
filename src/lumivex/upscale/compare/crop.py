"""Which part of the image is compared: the box the user gives, or the most detailed one.

Networks differ where the image has detail (edges, texture, text); on a flat sky every method looks alike. So
the default crop is the window with the most gradient energy (the squared differences between neighbouring
pixels of the image's brightness), looked for on a coarse grid of half-window steps. The image is read band by
band, so memory holds a band of rows, not the image.
"""

import dataclasses
import math

import numpy as np


@dataclasses.dataclass(frozen=True)
class Box:
    x: int
    y: int
    width: int
    height: int

    def __str__(self):
        return f"{self.width}x{self.height} at {self.x},{self.y}"


class CropError(ValueError):
    """A crop that does not lie in the image; one-line message."""


def parse_box(text):
    """Box from "X,Y,W,H" (whole numbers, X and Y at least 0, W and H at least 1); ValueError otherwise."""
    parts = text.split(",")
    try:
        x, y, width, height = (int(part) for part in parts)
    except ValueError:
        raise ValueError(f"not X,Y,W,H in whole numbers: {text!r}") from None
    if x < 0 or y < 0 or width < 1 or height < 1:
        raise ValueError(f"X and Y must be at least 0, W and H at least 1, got {text!r}")
    return Box(x, y, width, height)


def clamped(box, image_width, image_height):
    """`box` with its size cut down to what the image holds right and below its corner; CropError when the
    corner lies outside the image."""
    if box.x >= image_width or box.y >= image_height:
        raise CropError(f"the crop's corner {box.x},{box.y} lies outside the {image_width}x{image_height} image")
    return Box(box.x, box.y, min(box.width, image_width - box.x), min(box.height, image_height - box.y))


def most_detailed(reader, width, height):
    """The Box of `width` x `height` (cut down to the image) with the most gradient energy in the image of
    `reader` (an images.ImageReader), read top to bottom once; the top left one among equals."""
    width, height = min(width, reader.width), min(height, reader.height)
    # Cells of half a window: a window spans 2 x 2 of them, so it is looked for at half-window steps.
    cell_w, cell_h = max(1, width // 2), max(1, height // 2)
    columns = np.arange(0, reader.width, cell_w)
    energy = np.zeros((math.ceil(reader.height / cell_h), len(columns)))
    above = None  # the last row of the band before, for the differences across the band's top edge
    for row, y0 in enumerate(range(0, reader.height, cell_h)):
        band = _brightness(reader.read_rows(y0, min(reader.height, y0 + cell_h)))
        down = np.diff(band if above is None else np.concatenate([above, band]), axis=0)
        across = np.diff(band, axis=1)
        per_column = np.square(down).sum(axis=0)
        per_column[1:] += np.square(across).sum(axis=0)
        energy[row] = np.add.reduceat(per_column, columns)
        above = band[-1:]
    padded = np.pad(energy, ((0, 1), (0, 1)))
    windows = padded[:-1, :-1] + padded[1:, :-1] + padded[:-1, 1:] + padded[1:, 1:]
    row, column = np.unravel_index(np.argmax(windows), windows.shape)
    return Box(min(int(column) * cell_w, reader.width - width), min(int(row) * cell_h, reader.height - height),
               width, height)


def _brightness(rows):
    """(k, W) float64 brightness of (k, W, C) pixels: the mean of the colour channels, alpha left out (its
    edges are no detail the networks differ on). The scale of the values does not matter for comparing
    windows."""
    colours = 1 if rows.shape[2] <= 2 else 3
    return rows[:, :, :colours].astype(np.float64).mean(axis=2)
