"""Nothing a call allocates outlives it: traced memory and the number of live objects stay flat over many
calls of every function, on its success path, on an error raised in its body and on a binding error.

Reference counts of the arguments (checked beside each module's tests) miss what a body leaks of its own
making, such as a whole accumulator buffer. tracemalloc sees NumPy's array data, which NumPy reports to it
(on a GPU it sees the host object of each leaked CuPy array), and gc.get_objects() every leaked container.
"""

import gc
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

from lumivex.upscale import tile
from lumivex.utils import shapery

WARM_UP = 10
WINDOWS = 3
CALLS = 20  # per window

def image(cp, shape):
    return cp.array((np.arange(int(np.prod(shape))) % 5 + 1).astype(np.float32).reshape(shape))


class ShapeOnly:
    """No array, only a shape: a generator of sides computed afresh (ints too large to be cached), so that
    unpacking it takes the generic way, an iterator and new objects, rather than a tuple's items."""

    scale = 100

    @property
    def shape(self):
        return (side * self.scale for side in (4, 4, 3))


# (function, arguments made afresh for each call, the error of the body or None)
CASES = [
    # Unpacked, then refused by the colour swap, which takes arrays only.
    (shapery.image_to_batch_pixelshift, lambda cp: ((ShapeOnly(), 2), {}), TypeError),
    (shapery.guess_image_layout, lambda cp: ((image(cp, (3, 8, 8)),), {}), None),
    (shapery.guess_image_layout, lambda cp: ((object(),), {}), AttributeError),
    (shapery.image_to_batch, lambda cp: ((image(cp, (8, 8, 3)), 0.5, 4, (1.0, 2.0, 3.0)), {}), None),
    (shapery.image_to_batch, lambda cp: ((image(cp, (8, 8, 3)),), {"mean": (1.0, 2.0)}), ValueError),
    (shapery.images_to_batch, lambda cp: (([image(cp, (8, 8, 3))] * 2, 0.5), {"mean": [0.5]}), None),
    (shapery.images_to_batch, lambda cp: (([image(cp, (8, 8, 3)), image(cp, (3, 9, 3))],), {"layout": None}),
     ValueError),
    (shapery.batch_to_images, lambda cp: ((image(cp, (2, 3, 8, 8)), 2.0, 0.5), {}), None),
    (shapery.batch_to_images, lambda cp: ((image(cp, (2, 3, 9, 3)),), {"layout": None}), ValueError),
    (shapery.image_to_batch_pixelshift, lambda cp: ((image(cp, (8, 8, 3)), 2, 0.5, (1.0,)), {}), None),
    (shapery.image_to_batch_pixelshift, lambda cp: ((image(cp, (6, 8, 3)),), {}), ValueError),
    (shapery.pixelshift_fuse, lambda cp: ((image(cp, (4, 3, 4, 4)), cp.zeros((3, 8, 8), dtype=cp.float32),
                                           cp.zeros((3, 8, 8)), 0, 2), {}), None),
    (shapery.pixelshift_fuse, lambda cp: ((image(cp, (4, 3, 4, 4)), cp.zeros((3, 8, 8), dtype=cp.float32),
                                           cp.zeros((3, 8, 8)), 0, 0), {}), ZeroDivisionError),
    (tile.add_padding, lambda cp: ((image(cp, (30, 20, 3)), 16, 4), {}), None),
    (tile.add_padding, lambda cp: ((image(cp, (30, 20, 3)), 4, 16), {}), ValueError),
    (tile.tile_image, lambda cp: ((image(cp, (30, 20, 3)), 16, 4), {}), None),
    # Offsets up to 288: ints past 256 are made afresh (smaller ones are shared and immortal), so a reference
    # kept to one is a leak that shows.
    (tile.tile_image, lambda cp: ((image(cp, (320, 320, 1)), 64, 16), {}), None),
    (tile.tile_image, lambda cp: ((image(cp, (30, 20, 3)), 4, 16), {}), ValueError),
    (tile.create_gaussian_weights, lambda cp: ((16, 4), {}), None),
    (tile.create_gaussian_weights, lambda cp: ((16, 0), {}), ValueError),
    # A bool for an int: refused by the binding, with a note that says why a subclass is.
    (tile.create_gaussian_weights, lambda cp: ((True, 4), {}), TypeError),
    # Nine tiles on a 3 x 3 grid, scaled by 2: each accumulator is 80 x 80 float32, 25 KiB.
    (tile.merge_tiles, lambda cp: (([image(cp, (32, 32, 1))] * 9, (36, 36, 1), (40, 40, 1), 2, 16, 4), {}), None),
    (tile.merge_tiles, lambda cp: (([image(cp, (16, 16, 1))] * 3, (36, 36, 1), (40, 40, 1), 1, 16, 4), {}),
     IndexError),
]


def call_once(function, make_arguments, error, cp):
    args, kwargs = make_arguments(cp)
    try:
        function(*args, **kwargs)
    except Exception as raised:  # noqa: BLE001 - the error path is one of the paths measured
        assert error is not None and isinstance(raised, error), raised
    else:
        assert error is None
    # A binding error: one positional argument too many.
    with pytest.raises(TypeError):
        function(*args, *[None] * (function.__code__.co_argcount + 1 - len(args)))


# Allocations that are not the functions' own: tracemalloc's, and a cache that NumPy's broadcast_arrays (under
# meshgrid) fills slowly over the first thousand calls, plain NumPy as much as the stand-in.
NOT_OURS = [tracemalloc.Filter(False, tracemalloc.__file__),
            tracemalloc.Filter(False, "*/numpy/lib/_stride_tricks_impl.py")]


def usage():
    gc.collect()
    snapshot = tracemalloc.take_snapshot().filter_traces(NOT_OURS)
    return sum(stat.size for stat in snapshot.statistics("filename")), len(gc.get_objects())


@pytest.mark.parametrize("function, make_arguments, error", CASES,
                         ids=[f"{f.__name__}-{e.__name__ if e else 'ok'}" for f, _, e in CASES])
def test_memory_and_objects_stay_flat(cp, function, make_arguments, error):
    # Warnings the array library issues would be kept by pytest's recorder, one entry per call.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        growth = measure(function, make_arguments, error, cp)
    # A leak grows every window (as in regrtest -R); caches that fill up once grow only some. One small
    # object leaked per call is CALLS objects and some 30 bytes each.
    assert min(objects for _, objects in growth) < CALLS // 2, growth
    assert min(memory for memory, _ in growth) < 16 * CALLS, growth


def measure(function, make_arguments, error, cp):
    """Growth of traced memory and of live objects over each window of calls, after a warm-up."""
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            call_once(function, make_arguments, error, cp)
        growth, (memory, objects) = [], usage()
        for _ in range(WINDOWS):
            for _ in range(CALLS):
                call_once(function, make_arguments, error, cp)
            (grown_memory, grown_objects) = usage()
            growth.append((grown_memory - memory, grown_objects - objects))
            memory, objects = grown_memory, grown_objects
        return growth
    finally:
        tracemalloc.stop()


def test_traceback_entries_share_their_code_object_without_keeping_it_again(cp):
    # Entries at one line reuse one code object, made with the function; each error's frame lets go of it.
    def entry_code():
        try:
            shapery.image_to_batch_pixelshift(image(cp, (8, 8, 3)), 0)
        except ValueError as error:
            tb = error.__traceback__
            while tb.tb_next is not None:
                tb = tb.tb_next
            return tb.tb_frame.f_code

    code = entry_code()
    held = sys.getrefcount(code)
    for _ in range(10):
        assert entry_code() is code
    assert sys.getrefcount(code) == held
