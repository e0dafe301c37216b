"""`lumivex-upscale compare`: several networks, a plain bicubic enlargement and the input enlarged by nearest
neighbour, run on one crop of an image, side by side, so that a user can choose a network before a long run.

    lumivex-upscale compare IN [--model A --model B ...] [--crop X,Y,W,H] [--scale S] [-o SHEET]

Writes SHEET (a PNG of the crops, each labelled with its name, time and network size) and beside it a page of
the same name ending in .html: one self-contained file with the crops embedded and a before/after slider
between any two of them. `crop` chooses the crop (by default the most detailed one), `entries` makes the
enlargements, `sheet` and `page` draw them, `command` is the command line.
"""

from .command import main

__all__ = ["main"]
