"""OpenCV's cv2.resize for 8-bit images whose pixels are in host memory, used only where it agrees with the
array operations that compute the same resize on a GPU.

Host memory is a NumPy array, or an array of lumivex's CPU stand-in for CuPy, whose device is the host: such an
array hands over its NumPy memory through `_lumivex_host_memory`, so OpenCV reads and writes it in place.

Whether the installed OpenCV computes the numbers the array operations compute (another version, or a build for
another CPU, may round differently) is checked once per kind of resize, on first use, by resizing small probe
images both ways. A disagreeing OpenCV is not used, and a warning says so once.
"""

import importlib
import warnings

import numpy as np

_NOT_LOADED = object()
# Imported on first use, as it takes longer to import than all of lumivex; None where it is not installed (the
# array operations then resize on the host as well).
cv2 = _NOT_LOADED

_FLAGS = {"linear": "INTER_LINEAR", "area": "INTER_AREA"}
# (input height, width, channels) -> (output height, width), per kind: enlarging and shrinking axes, edge rows,
# whole and fractional factors, 2 x 2 blocks with and without ties rounded up, 1-pixel axes.
_PROBES = {
    "linear": [((7, 5, 3), (13, 3)), ((5, 9, 1), (11, 17)), ((9, 16, 4), (9, 31)), ((17, 11, 2), (5, 8)),
               ((1, 6, 3), (4, 1)), ((40, 37, 3), (80, 74)), ((8, 6, 2), (4, 3))],
    "area": [((8, 6, 3), (4, 3)), ((9, 6, 1), (3, 2)), ((6, 4, 2), (3, 2)), ((10, 7, 3), (4, 3)),
             ((12, 8, 4), (12, 2)), ((31, 23, 3), (7, 11))],
}
_agrees = {}


def host_memory(array):
    """The NumPy array holding `array`'s elements when they are in host memory, else None."""
    if isinstance(array, np.ndarray):
        return array
    hand_over = getattr(type(array), "_lumivex_host_memory", None)
    return hand_over(array) if hand_over is not None else None


def resize_on_host(source, out, kind, array_resize):
    """Resize `source` (H, W, C) into `out` (H', W', C) with OpenCV; False when OpenCV cannot serve: not
    installed, not host memory, more than 4 channels, sizes it refuses, or numbers that differ from the array
    operations, which `array_resize(image, (height, width), kind)` computes for the probes."""
    if source.shape[2] > 4 or _opencv() is None:
        return False
    source, out = host_memory(source), host_memory(out)
    if source is None or out is None or not _opencv_agrees(kind, array_resize):
        return False
    try:
        _cv2_resize(source, out, kind)
    except cv2.error:  # beyond what OpenCV takes (sizes past its int limits): the array operations can
        return False
    return True


def _cv2_resize(source, out, kind):
    # cv2 takes an (H, W) array for one channel, and writes into `dst`, whose shape and dtype fit. (An OpenCV
    # that wrote elsewhere would leave the probe's output unwritten, and fail the probe.)
    squeeze = (lambda a: a[:, :, 0]) if source.shape[2] == 1 else (lambda a: a)
    cv2.resize(squeeze(source), (out.shape[1], out.shape[0]), dst=squeeze(out),
               interpolation=getattr(cv2, _FLAGS[kind]))


def _opencv():
    global cv2
    if cv2 is _NOT_LOADED:
        try:
            cv2 = importlib.import_module("cv2")
        except ImportError:
            cv2 = None
    return cv2


def _opencv_agrees(kind, array_resize):
    agrees = _agrees.get(kind)
    if agrees is None:
        rng = np.random.default_rng(0)
        agrees = True
        for in_shape, out_hw in _PROBES[kind]:
            image = rng.integers(0, 256, in_shape, dtype=np.uint8)
            by_opencv = np.empty(out_hw + in_shape[2:], dtype=np.uint8)
            _cv2_resize(image, by_opencv, kind)
            agrees = agrees and np.array_equal(by_opencv, array_resize(image, out_hw, kind))
        if not agrees:
            warnings.warn(f"OpenCV {cv2.__version__} computes 8-bit {_FLAGS[kind]} resizes differently from "
                          "lumivex on a GPU; lumivex resizes on the CPU without it, more slowly, so that both "
                          "devices give the same numbers", RuntimeWarning, stacklevel=5)
        _agrees[kind] = agrees
    return agrees
