"""Benchmark of the tiled-upscaling road: tile_image, a no-op model, merge_tiles.

Compares the native module with the same steps written in plain Python on the same arrays, and reports the
per-tile dispatch overhead (measured on small tiles, where array work is negligible). On a GPU it also reports
the achieved memory bandwidth of merge_tiles against the device's peak and the memory pool's high-water mark
against the two full-size accumulators. Run: .venv/bin/python -P benchmarks/bench_tile.py [--size N] [--repeat R]
"""

import argparse
import sys
import os
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import ON_GPU, QUICK, cp, pool_growth, sync  # noqa: E402


from lumivex.upscale import tile as native  # noqa: E402  (cupy must be settled first)
from lumivex.utils.dtypes import to_float32  # noqa: E402


# ---- the same steps in plain Python ----

def py_add_padding(image, patch_size=128, overlap=16):
    step = patch_size - overlap
    pad_height = step - (image.shape[0] - overlap) % step
    pad_width = step - (image.shape[1] - overlap) % step
    if pad_height == step:
        pad_height = 0
    if pad_width == step:
        pad_width = 0
    return cp.pad(image, ((0, pad_height), (0, pad_width), (0, 0)), mode="reflect")


def py_tile_image(image, tile_size=128, overlap=16):
    image = py_add_padding(image, patch_size=tile_size, overlap=overlap)
    height, width, _ = image.shape
    tiles = []
    step = tile_size - overlap
    for y in range(0, height - tile_size + 1, step):
        for x in range(0, width - tile_size + 1, step):
            tiles.append(image[y:y + tile_size, x:x + tile_size])
    return tiles, image.shape


def py_create_gaussian_weights(size, sigma):
    x, y = cp.meshgrid(cp.linspace(-1, 1, size), cp.linspace(-1, 1, size))
    d = cp.sqrt(x * x + y * y)
    gaussian = cp.exp(-(d ** 2 / float(sigma ** 2 * 2.0)))
    return (gaussian / cp.sum(gaussian))[:, :, cp.newaxis]


def py_merge_tiles(tiles, original_shape, padded_shape, scale, tile_size=128, overlap=16):
    tile_size, overlap = tile_size * scale, overlap * scale
    original_shape = (original_shape[0] * scale, original_shape[1] * scale, original_shape[2])
    padded_shape = (padded_shape[0] * scale, padded_shape[1] * scale, padded_shape[2])
    height, width, _ = padded_shape
    merged = cp.zeros(padded_shape, dtype=cp.float32)
    weights = cp.zeros(padded_shape, dtype=cp.float32)
    step = tile_size - overlap
    index = 0
    window = py_create_gaussian_weights(tile_size, sigma=tile_size // 4)
    for y in range(0, height - tile_size + 1, step):
        for x in range(0, width - tile_size + 1, step):
            weighted = to_float32(tiles[index]) * window
            merged[y:y + tile_size, x:x + tile_size] += weighted
            weights[y:y + tile_size, x:x + tile_size] += window
            index += 1
    weights += weights == 0
    merged /= weights
    return merged[:original_shape[0], :original_shape[1]]


# ---- measurement ----

def timed(function, repeat):
    """Best wall time of `repeat` runs, in seconds, after one warm-up."""
    function()
    best = float("inf")
    for _ in range(repeat):
        sync()
        start = time.perf_counter()
        function()
        sync()
        best = min(best, time.perf_counter() - start)
    return best


def road(impl_tile, impl_merge, image, scale, tile_size, overlap, model_output):
    """Tile, run the no-op model (it hands back one ready-made upscaled tile), merge."""
    tiles, padded = impl_tile(image, tile_size, overlap)
    outputs = [model_output for _ in tiles]
    return impl_merge(outputs, image.shape, padded, scale, tile_size, overlap)


def merge_traffic_bytes(n_tiles, out_tile, channels, padded_elements):
    """Bytes the merge must move at least: per tile the float32 conversion, the float64 weighting, two region
    read-modify-writes; then the blend over both accumulators."""
    px = out_tile * out_tile
    per_tile = (px * channels * (4 + 4)           # to_float32: read, write
                + px * channels * (4 + 8) + px * 8  # multiply: read tile and window, write float64
                + px * channels * (4 + 8 + 4)     # merged region += weighted
                + px * (8 + 4 + 4) * channels)    # weights region += window (broadcast over channels)
    blend = padded_elements * ((4 + 1) + (4 + 1 + 4) + (4 + 4 + 4))  # ==0, +=, /=
    return n_tiles * per_tile + blend


def peak_bandwidth():
    props = cp.cuda.runtime.getDeviceProperties(cp.cuda.Device().id)
    # memoryClockRate is in kHz; DDR doubles the transfers per clock.
    return 2.0 * props["memoryClockRate"] * 1e3 * props["memoryBusWidth"] / 8, props["name"].decode()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=2048, help="side of the square test image")
    parser.add_argument("--repeat", type=int, default=1 if QUICK else 3)
    args = parser.parse_args()

    device = peak_bandwidth()[1] if ON_GPU else "CPU, NumPy stand-in for CuPy"
    print(f"device: {device}; image {args.size}x{args.size}x3 float32, tile 128, overlap 16")
    image = cp.asarray(cp.random.default_rng(0).random((args.size, args.size, 3), dtype=cp.float32))
    tiles, padded = native.tile_image(image)
    n_tiles = len(tiles)

    for scale in (2, 4):
        out_tile = 128 * scale
        model_output = cp.ones((out_tile, out_tile, 3), dtype=cp.float32)
        t_native = timed(lambda: road(native.tile_image, native.merge_tiles, image, scale, 128, 16, model_output),
                         args.repeat)
        t_python = timed(lambda: road(py_tile_image, py_merge_tiles, image, scale, 128, 16, model_output),
                         args.repeat)
        print(f"scale {scale}: {n_tiles} tiles -> {padded[0] * scale}x{padded[1] * scale}x3 | "
              f"native {t_native * 1e3:9.1f} ms | python {t_python * 1e3:9.1f} ms | "
              f"per tile {t_native / n_tiles * 1e6:8.1f} us vs {t_python / n_tiles * 1e6:8.1f} us")
        if ON_GPU:
            outputs = [model_output] * n_tiles
            merge = lambda: native.merge_tiles(outputs, image.shape, padded, scale)  # noqa: E731
            t_merge = timed(merge, args.repeat)
            elements = padded[0] * scale * padded[1] * scale * padded[2]
            moved = merge_traffic_bytes(n_tiles, out_tile, 3, elements)
            peak, _ = peak_bandwidth()
            print(f"  merge_tiles {t_merge * 1e3:.1f} ms, ~{moved / t_merge / 1e9:.0f} GB/s "
                  f"of {peak / 1e9:.0f} GB/s peak ({moved / t_merge / peak:.0%})")
            result, high = pool_growth(merge)
            accumulators = 2 * elements * 4
            print(f"  memory pool high-water {high / 2**20:.0f} MiB; two accumulators {accumulators / 2**20:.0f} MiB; "
                  f"rest {(high - accumulators) / 2**20:.0f} MiB")
            del result

    # Dispatch overhead: tiny tiles make the array work negligible, so the time per tile is mostly the cost of
    # issuing the calls. Both versions make the same array calls; the difference is the interpreter's share.
    small = cp.asarray(cp.random.default_rng(1).random((512, 512, 3), dtype=cp.float32))
    model_output = cp.ones((8, 8, 3), dtype=cp.float32)
    count = len(native.tile_image(small, 8, 2)[0])
    t_native = timed(lambda: road(native.tile_image, native.merge_tiles, small, 1, 8, 2, model_output), args.repeat)
    t_python = timed(lambda: road(py_tile_image, py_merge_tiles, small, 1, 8, 2, model_output), args.repeat)
    print(f"dispatch (8-px tiles, {count} tiles): native {t_native / count * 1e6:.2f} us/tile, "
          f"python {t_python / count * 1e6:.2f} us/tile")
    return 0


if __name__ == "__main__":
    sys.exit(main())
