"""Tile and batch sizes that fit the memory at hand: device memory on a GPU, the host's on the CPU.

`choose_geometry` runs the network once on a small window and once on a larger one, takes how much the peak
memory grew each time, and fits a fixed cost plus a cost per window pixel. With what the road itself keeps (the
batch, one band's window outputs and its merge), that gives an estimate for every candidate tile and batch size;
the largest that fits in half the free memory wins. Estimates miss (fragmentation, other processes): the road's
out-of-memory fall-back stays for that.
"""

import dataclasses

import cupy as cp

from .pipeline import BAND_ELEMENTS, Grid

TILE_SIZES = (1024, 768, 512, 384, 256, 192, 128, 96, 64, 48, 32)
BATCH_SIZES = (16, 8, 4, 2, 1)
HEADROOM = 0.5  # the share of the free memory an estimate may take
# Window pixels per network call beyond which a larger call buys little: a GPU wants large calls; the CPU runs
# each call on all its cores anyway, so a batch of four windows took as long as four calls of one (shipped x2
# network, 3000 x 1500 photo: 21.2 s against 23.6 s) at more than twice the peak memory (1.4 GB against 0.66).
ENOUGH_PIXELS_GPU = 8 * 512 * 512
ENOUGH_PIXELS_CPU = 256 * 256
LARGEST_CPU_TILE = 256  # larger windows on the CPU only save a little context, at a growing memory cost
PROBE_SIDES = (64, 128)
_GIGABYTE = 1e9


@dataclasses.dataclass(frozen=True)
class Geometry:
    tile_size: int
    batch_size: int
    estimate: int  # bytes the work is expected to take at most
    free: int  # bytes free when it was chosen

    def __str__(self):
        return (f"tile {self.tile_size}, batch {self.batch_size}: about {self.estimate / _GIGABYTE:.1f} GB of "
                f"{self.free / _GIGABYTE:.1f} GB free")


def choose_geometry(model, *, scale, overlap, channels=3, width=4096, tile_size=None, batch_size=None,
                    on_gpu=None):
    """The Geometry for upscaling images up to `width` pixels wide with `model`, keeping a given `tile_size` or
    `batch_size` (None: chosen). `scale` is the network's factor, `overlap` the road's."""
    on_gpu = cp.cuda.is_available() if on_gpu is None else on_gpu
    free = _free_bytes(on_gpu)
    window = getattr(model, "window", None)
    fixed, per_pixel = _network_cost(model, channels, on_gpu, window)
    enough = ENOUGH_PIXELS_GPU if on_gpu else ENOUGH_PIXELS_CPU
    largest = TILE_SIZES[0] if on_gpu else LARGEST_CPU_TILE
    if tile_size is not None:
        tiles = [tile_size]
    elif window is not None:
        tiles = [min(window)]  # the road cuts windows of the network's size, whatever the tile size
    else:
        tiles = [t for t in TILE_SIZES if overlap < t <= largest]
    most = getattr(model, "max_batch", None)
    batches = [batch_size] if batch_size is not None else [b for b in BATCH_SIZES if most is None or b <= most]
    best = None
    for tile in tiles:
        for batch in batches:
            estimate = int(fixed + per_pixel * batch * tile * tile
                           + _road_bytes(tile, batch, overlap, scale, channels, width))
            fits = estimate <= HEADROOM * free
            pixels = batch * tile * tile
            # Enough pixels per call first, then larger windows (less context per pixel), then less memory.
            rank = (fits, min(pixels, enough) if fits else -estimate, tile, -pixels)
            if best is None or rank > best[0]:
                best = (rank, Geometry(tile, batch, estimate, free))
    return best[1]


def _road_bytes(tile, batch, overlap, scale, channels, width):
    """What the road keeps besides the network: the batch and its result, one band's window outputs, the merge."""
    grid = Grid(tile, width, tile, overlap)
    window = channels * tile * tile * 4
    rows_per_band = max(1, BAND_ELEMENTS // (scale * scale * grid.step * width * channels))
    band_windows = rows_per_band * len(grid.columns)
    merge = 4 * 4 * min(BAND_ELEMENTS, rows_per_band * scale * scale * grid.step * width * channels)
    return batch * window * (1 + scale * scale) + band_windows * window * scale * scale + merge


def _network_cost(model, channels, on_gpu, window=None):
    """(fixed bytes, bytes per window pixel) of one network call, from the peak growth on two window sizes (one
    for a network of a fixed size, whose every call costs the same)."""
    sides = PROBE_SIDES if window is None else (min(window),)
    # Mid-grey windows: values a network meets in any photo, where black or white may be edge cases of its own.
    model(cp.full((1, channels, 8, 8), 0.5, dtype=cp.float32))  # the first call sets the runtime up: not per pixel
    measure = _DeviceMeter() if on_gpu else _HostMeter()
    growth = []
    for side in sides:
        model(cp.full((1, channels, side, side), 0.5, dtype=cp.float32))
        growth.append(measure.growth())
    if window is not None:
        return 0, growth[0] / sides[0] ** 2
    (a, b), (ga, gb) = (side * side for side in sides), growth
    per_pixel = max((gb - ga) / (b - a), gb / b / 4, 0)
    return max(ga - per_pixel * a, 0), per_pixel


def _free_bytes(on_gpu):
    if on_gpu:
        free, _ = cp.cuda.runtime.memGetInfo()
        return free + cp.get_default_memory_pool().free_bytes()
    return _meminfo("MemAvailable")


class _HostMeter:
    """Peak resident memory of this process since it was made (Linux's high-water mark, reset at the start)."""

    def __init__(self):
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
