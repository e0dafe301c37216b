"""Upscaling images, animations and videos with super-resolution networks, tile by tile.

    from lumivex.upscale import Settings, upscale_file

    upscaler = Settings("builtin", scale=2).load()      # the network, resolved once
    upscale_file("photo.jpg", "photo_x2.jpg", upscaler)

The names below load on first use, and with them the arrays' module: real CuPy where a CUDA device is usable,
else lumivex's NumPy stand-in (`arrays`), so the road runs as a library on any machine without set-up. The
native `tile` module and the road's parts are submodules: `pipeline` (tiled upscaling of arrays), `models`,
`images`, `roads` (one per kind of file), `runner`, `distributed`, `cli`.
"""

import importlib

# Name -> the submodule that holds it.
_EXPORTS = {"Settings": "upscaler", "Upscaler": "upscaler", "plan": "roads", "upscale_file": "roads"}

__all__ = sorted(_EXPORTS)


def __getattr__(name):
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f"{__name__}.{_EXPORTS[name]}"), name)
