"""The compare sheet: a title line, then the enlargements side by side, up to COLUMNS a row, each above a label
with its name, its time and the size of its network. Drawn with Pillow's default font."""

import numpy as np
from PIL import Image, ImageDraw, ImageFont

MARGIN = 8  # pixels around and between the cells
COLUMNS = 4
LINE = 16  # pixels a line of text takes
LABEL_HEIGHT = 2 * LINE
MIN_CELL_WIDTH = 160  # room for the labels of small crops
BACKGROUND = (255, 255, 255)
INK = (0, 0, 0)


def places(count, crop_width, crop_height):
    """(x, y) of the top left corner of each of `count` crops of the sheet, in order, and the sheet's (width,
    height)."""
    cell_width = max(crop_width, MIN_CELL_WIDTH)
    columns = min(count, COLUMNS)
    rows = -(-count // columns)
    corners = [(MARGIN + (index % columns) * (cell_width + MARGIN),
                MARGIN + LINE + MARGIN + (index // columns) * (crop_height + LABEL_HEIGHT + MARGIN))
               for index in range(count)]
    size = (MARGIN + columns * (cell_width + MARGIN), 2 * MARGIN + LINE + rows * (crop_height + LABEL_HEIGHT + MARGIN))
    return corners, size


def draw(entries, title):
    """The sheet of `entries` (compare.entries.Entry, all of one size) as an RGB Pillow image."""
    crop_height, crop_width = entries[0].pixels.shape[:2]
    corners, size = places(len(entries), crop_width, crop_height)
    sheet = Image.new("RGB", size, BACKGROUND)
    pen = ImageDraw.Draw(sheet)
    font = ImageFont.load_default()
    cell_width = max(crop_width, MIN_CELL_WIDTH)
    pen.text((MARGIN, MARGIN), _fitted(pen, title, size[0] - 2 * MARGIN, font), fill=INK, font=font)
    for entry, (x, y) in zip(entries, corners):
        sheet.paste(Image.fromarray(rgb(entry.pixels)), (x, y))
        for line, text in enumerate((entry.name, label(entry))):
            pen.text((x, y + crop_height + line * LINE + 2), _fitted(pen, text, cell_width, font), fill=INK,
                     font=font)
    return sheet


def rgb(pixels):
    """(h, w, 3) uint8 pixels of an (h, w, 1 or 3) enlargement: grey shown as grey."""
    return np.repeat(pixels, 3, axis=2) if pixels.shape[2] == 1 else pixels


def label(entry):
    """The second label line: "12 ms, 1.2 MB" (the time, and the network's size where there is one)."""
    milliseconds = entry.seconds * 1000
    seconds = (f"{milliseconds:.1f} ms" if milliseconds < 10 else f"{milliseconds:.0f} ms" if milliseconds < 1000
               else f"{entry.seconds:.2f} s")
    return seconds if entry.weight_bytes is None else f"{seconds}, {_bytes(entry.weight_bytes)}"


def _bytes(count):
    for unit in ("B", "kB", "MB"):
        if count < 1000:
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1000
    return f"{count:.1f} GB"


def _fitted(pen, text, width, font):
    """`text`, cut short with "..." where it is wider than `width` pixels."""
    if pen.textlength(text, font=font) <= width:
        return text
    while text and pen.textlength(text + "...", font=font) > width:
        text = text[:-1]
    return text + "..."
