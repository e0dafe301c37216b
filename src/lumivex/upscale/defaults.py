"""Default geometry of tiled upscaling, importable without CuPy (the command line shows them in its help).

The overlap gives each window 16 pixels of context on every inner side, enough for networks whose receptive
radius is at most 16 input pixels (the shipped ones need far less); 256-pixel windows spend about a third of
the network's work on that context.
"""

DEFAULT_TILE_SIZE = 256
DEFAULT_OVERLAP = 32
DEFAULT_BATCH_SIZE = 4
