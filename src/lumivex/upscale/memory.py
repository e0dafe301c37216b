"""Tile and batch sizes that fit the memory at hand: device memory on a GPU, the host's on the CPU.

`choose_geometry` runs the network once on a small window and once on a larger one, takes how much the peak
memory grew each time, and fits a fixed cost plus a cost per window pixel. With what the road itself keeps (the
source rows of a band, the batch and its result, the band of output), that gives an estimate for every
candidate tile and batch size; the largest windows that fit in half the free memory win, up to the whole image
where it fits, so that no pixel is computed twice and context is the smallest share of each window. Estimates
miss (fragmentation, other processes): the road's out-of-memory fall-back stays for that.
"""

import ctypes
import dataclasses
import gc

import cupy as cp

from .defaults import DEFAULT_TILE_SIZE
from .grid import Grid, largest_core, round_up
from .pipeline import BAND_ELEMENTS

# Candidate tile sizes below the image's own longest side, which is always a candidate.
TILE_SIZES = (4096, 3072, 2048, 1536, 1024, 768, 512, 384, 256, 192, 128, 96, 64, 48, 32)
BATCH_SIZES = (16, 8, 4, 2, 1)
HEADROOM = 0.5  # the share of the free memory an estimate may take
# Window pixels per network call beyond which a larger call buys little: a GPU wants large calls; the CPU runs
# each call on all its cores anyway, so a batch of four windows took as long as four calls of one (shipped x2
# network, 3000 x 1500 photo: 21.2 s against 23.6 s) at more than twice the peak memory (1.4 GB against 0.66).
ENOUGH_PIXELS_GPU = 8 * 512 * 512
ENOUGH_PIXELS_CPU = 256 * 256
PROBE_SIDES = (128, 256)  # smaller windows show more of ONNX Runtime's per-call overhead as per-pixel cost
_GIGABYTE = 1e9


@dataclasses.dataclass(frozen=True)
class Geometry:
    tile_size: int
    batch_size: int
    estimate: int  # bytes the work is expected to take at most, beyond what the process held before
    free: int  # bytes free when it was chosen
    held: int = 0  # bytes the process held when it was chosen (host memory on the CPU, device memory on a GPU)
    on_gpu: bool = False

    @property
    def peak(self):
        """The expected peak of the process's memory (resident memory on the CPU, device memory on a GPU)."""
        return self.held + self.estimate

    def __str__(self):
        where = "device" if self.on_gpu else "resident"
        return (f"tile {self.tile_size}, batch {self.batch_size}: peak {where} memory about "
                f"{self.peak / _GIGABYTE:.1f} GB ({self.estimate / _GIGABYTE:.1f} GB of it for the network and the "
                f"road's arrays, of {self.free / _GIGABYTE:.1f} GB free)")


def choose_geometry(model, *, scale, overlap, channels=3, width=4096, tile_size=None, batch_size=None,
                    on_gpu=None, height=None):
    """The Geometry for upscaling images up to `width` pixels wide (and `height` high, where it is known) with
    `model`, keeping a given `tile_size` or `batch_size` (None: chosen). `scale` is the network's factor,
    `overlap` the road's. Windows grow up to the whole image, so memory is bounded by the width where the height
    is not given (an image taller than wide is cut into windows no larger than its width)."""
    on_gpu = cp.cuda.is_available() if on_gpu is None else on_gpu
    free, held = _free_bytes(on_gpu), _held_bytes(on_gpu)
    window = getattr(model, "window", None)
    multiple = getattr(model, "multiple", None) or 1
    fixed, per_pixel = _network_cost(model, channels, on_gpu, window)
    enough = ENOUGH_PIXELS_GPU if on_gpu else ENOUGH_PIXELS_CPU
    # The tile that makes the image one window: its longest side with the context a cut would need. Where the
    # height is not known, windows as wide as the image, and at least of the default tile size, which small
    # images of any height fit whole.
    whole = round_up(max(width, height or DEFAULT_TILE_SIZE) + 2 * (overlap // 2) + multiple - 1, multiple)
    if tile_size is not None:
        tiles = [tile_size]
    elif window is not None:
        tiles = [min(window)]  # the road cuts windows of the network's size, whatever the tile size
    else:
        tiles = [t for t in (whole,) + TILE_SIZES if overlap < t <= whole] or [whole]
    most = getattr(model, "max_batch", None)
    batches = [batch_size] if batch_size is not None else [b for b in BATCH_SIZES if most is None or b <= most]
    best = None
    for tile in tiles:
        # The windows of an image of this width and height; where the height is not known, of an image tall
        # enough for windows as high as the tile.
        largest = largest_core(tile, overlap // 2, multiple)
        grid = Grid.of(height or 2 * largest, width, tile, overlap, multiple, window) if largest >= 1 else None
        window_pixels = tile * tile if grid is None else grid.rows.window * grid.columns.window
        for batch in batches:
            if grid is not None and batch > grid.windows and batch_size is None and batch != batches[-1]:
                continue  # more windows to a call than the image has
            estimate = int(fixed + per_pixel * batch * window_pixels
                           + _road_bytes(grid, batch, scale, channels, width))
            fits = estimate <= HEADROOM * free
            pixels = batch * window_pixels
            # Enough pixels per call first, then larger windows (less context per pixel), then less memory. A
            # call holds at most the image: a batch of its windows holds no more than its one window would.
            useful = min(pixels, enough, grid.height * grid.width if grid is not None else pixels)
            rank = (fits, useful if fits else -estimate, tile, -pixels)
            if best is None or rank > best[0]:
                best = (rank, Geometry(tile, batch, estimate, free, held, on_gpu))
    return best[1]


def _road_bytes(grid, batch, scale, channels, width):
    """What the road keeps besides the network: a band's source rows, the batch and its result, the band of
    output (and a copy of it, converted where it is written)."""
    if grid is None:
        return 0
    window = channels * grid.rows.window * grid.columns.window * 4
    band_rows = max(grid.rows.core, BAND_ELEMENTS // (scale * scale * width * channels))
    source = channels * (band_rows + 2 * grid.context + grid.multiple) * width * 4
    band = 2 * scale * scale * band_rows * width * channels * 4
    return source + batch * window * (1 + scale * scale) + band


def _network_cost(model, channels, on_gpu, window=None):
    """(fixed bytes, bytes per window pixel) of one network call, from the peak growth on two window sizes (one
    for a network of a fixed size, whose every call costs the same)."""
    sides = PROBE_SIDES if window is None else (min(window),)
    copy = getattr(model, "measuring_copy", None)
    if copy is None:
        growth = _growth(model, channels, on_gpu, sides)
    else:
        # A fresh copy for each window: ONNX Runtime keeps what a call allocated for the next, and grows that
        # store by doublings, so a window measured after another (or on a model that has run) shows either
        # nothing or a doubling.
        growth = [_growth(copy(), channels, on_gpu, [side])[0] for side in sides]
    if window is not None:
        return 0, growth[0] / sides[0] ** 2
    (a, b), (ga, gb) = (side * side for side in sides), growth
    # The larger window's whole cost per pixel at least: what the smaller one costs beyond it is per call.
    per_pixel = max((gb - ga) / (b - a), gb / b, 0)
    return max(ga - per_pixel * a, 0), per_pixel


def _growth(model, channels, on_gpu, sides):
    """How far calls on side x side windows, one after the other, raised the peak memory, after each."""
    # Mid-grey windows: values a network meets in any photo, where black or white may be edge cases of its own.
    model(cp.full((1, channels, 8, 8), 0.5, dtype=cp.float32))  # the first call sets the runtime up: not per pixel
    measure = _DeviceMeter() if on_gpu else _HostMeter()
    growth = []
    for side in sides:
        model(cp.full((1, channels, side, side), 0.5, dtype=cp.float32))
        growth.append(measure.growth())
    return growth


def _held_bytes(on_gpu):
    if on_gpu:
        free, total = cp.cuda.runtime.memGetInfo()
        return total - free - cp.get_default_memory_pool().free_bytes()
    return _status("VmRSS")


def _free_bytes(on_gpu):
    if on_gpu:
        free, _ = cp.cuda.runtime.memGetInfo()
        return free + cp.get_default_memory_pool().free_bytes()
    return _meminfo("MemAvailable")


class _HostMeter:
    """Peak resident memory of this process since it was made (Linux's high-water mark, reset at the start)."""

    def __init__(self):
        _return_freed_memory()
        try:
            with open("/proc/self/clear_refs", "w") as file:
                file.write("5")  # resets the high-water mark to the current size
        except OSError:
            pass
        self.start = _status("VmRSS")

    def growth(self):
        return max(_status("VmHWM") - self.start, 0)


class _DeviceMeter:
    """Device memory taken since it was made, by CuPy's pool and by other allocators (ONNX Runtime's arena)."""

    def __init__(self):
        cp.cuda.Device().synchronize()
        cp.get_default_memory_pool().free_all_blocks()  # so that the pool's growth shows the call's peak
        self.start = self._taken()

    def growth(self):
        cp.cuda.Device().synchronize()
        return max(self._taken() - self.start, 0)

    @staticmethod
    def _taken():
        free, total = cp.cuda.runtime.memGetInfo()
        return total - free


def _return_freed_memory():
    """Hands memory freed earlier back to the system, so that a call reusing it shows as growth."""
    gc.collect()
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):  # not glibc
        pass


def _status(field):
    with open("/proc/self/status") as file:
        for line in file:
            name, _, value = line.partition(":")
            if name == field:
                return int(value.split()[0]) * 1024
    return 0


def _meminfo(field):
    try:
        with open("/proc/meminfo") as file:
            for line in file:
                name, _, value = line.partition(":")
                if name == field:
                    return int(value.split()[0]) * 1024
    except OSError:
        pass
    return 8 * 1024 ** 3  # not Linux: assume a modest machine
