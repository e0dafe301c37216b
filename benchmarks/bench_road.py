"""What the tiled road costs beyond the network: pixels the network computes per image pixel, and the road's
time against one bare ONNX Runtime call on the whole image.

The first table is arithmetic on the grid (`lumivex.upscale.grid`) for common image sizes: fixed tile sizes
and overlaps, and the geometry the command chooses on this machine for the shipped x2 network (`auto`). The
second times `upscale()` with that geometry against `session.run` on the whole image as one NCHW batch, same
network, same threads, interleaved, best of N; the bare call is the floor any road has to pay.
`--frames` times whole video frames instead (720p -> 1440p and 1080p -> 2160p by default): frames per second
and the share of the upload (host -> device), the road and the download, as the video road does them.
Run: .venv/bin/python -P benchmarks/bench_road.py [--photo 2048 2048] [--repeats 3] [--frames] [--model PATH]
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import ON_GPU, QUICK, cp, sync  # noqa: E402  (cupy settled first)

import numpy as np  # noqa: E402

from bench_upscale import network  # noqa: E402
from lumivex.upscale import memory, pipeline  # noqa: E402
from lumivex.upscale.grid import Grid  # noqa: E402

SIZES = [(640, 272), (640, 360), (854, 480), (960, 540), (1280, 720), (1920, 1080), (3000, 2000)]
FIXED = [(256, 10), (256, 32), (512, 32), (1024, 32)]


def computed_table(model):
    overlap = pipeline.default_overlap(model)
    print("pixels the network computes per image pixel")
    heads = [f"tile {tile}, overlap {ov}" for tile, ov in FIXED] + [f"auto, overlap {overlap}"]
    print(f"{'image':>10} " + " ".join(f"{head:>21}" for head in heads))
    for width, height in SIZES:
        geometry = memory.choose_geometry(model, scale=model.scale, overlap=overlap, width=width, height=height)
        cells = [Grid.of(height, width, tile, ov).computed_per_pixel for tile, ov in FIXED]
        auto = Grid.of(height, width, geometry.tile_size, overlap, model.multiple)
        cells.append(auto.computed_per_pixel)
        print(f"{width:>5}x{height:<4} " + " ".join(f"{cell:>21.2f}" for cell in cells[:-1])
              + f" {cells[-1]:>8.2f} (tile {geometry.tile_size})")


def photo(height, width):
    rng = np.random.default_rng(0)
    y, x = np.mgrid[0:height, 0:width] / 37.0
    planes = [0.5 + 0.3 * np.sin(x * (0.7 + 0.2 * k) + y) for k in range(3)]
    pixels = np.stack(planes, axis=2) + 0.03 * rng.standard_normal((height, width, 3))
    return np.clip(pixels, 0, 1).astype(np.float32)


def bare_call(model):
    """One network call on the whole image, as a hand-written loop makes it: ONNX Runtime's own session, the
    image as one NCHW batch."""
    session = model.session
    source = session.get_inputs()[0].name
    if getattr(model, "uses_cuda", False):
        return lambda image: model(cp.ascontiguousarray(image.transpose(2, 0, 1)[None]))
    return lambda image: session.run(None, {source: np.ascontiguousarray(cp.asnumpy(image).transpose(2, 0, 1)[None])})


def photo_times(model, width, height, repeats):
    geometry = memory.choose_geometry(model, scale=model.scale, overlap=pipeline.default_overlap(model),
                                      width=width, height=height)
    image = cp.asarray(photo(height, width))
    bare = bare_call(model)

    def road(pixels):
        return pipeline.upscale(pixels, model, tile_size=geometry.tile_size, batch_size=geometry.batch_size)

    times = {"road": [], "bare": []}
    for _ in range(repeats):
        for name, call in (("road", road), ("bare", bare)):  # interleaved: a busy moment hits both
            sync()
            started = time.perf_counter()
            call(image)
            sync()
            times[name].append(time.perf_counter() - started)
    road_s, bare_s = min(times["road"]), min(times["bare"])
    print(f"\n{width}x{height} photo, x{model.scale}, {geometry} (best of {repeats}, interleaved)")
    print(f"{'road s':>8} {'bare call s':>12} {'road / bare':>12}")
    print(f"{road_s:>8.2f} {bare_s:>12.2f} {road_s / bare_s:>12.2f}")


def frame_times(model, sizes, repeats):
    """Frames per second of whole frames through the road as the video road runs it: 8-bit pixels uploaded,
    upscaled, rounded to 8 bits and downloaded."""
    print(f"\n{'frame':>11} {'frames/s':>9} {'upload':>7} {'road':>6} {'download':>9}  geometry")
    for width, height in sizes:
        geometry = memory.choose_geometry(model, scale=model.scale, overlap=pipeline.default_overlap(model),
                                          width=width, height=height)
        pixels = (photo(height, width) * 255 + 0.5).astype(np.uint8)
        spent = {"upload": 0.0, "road": 0.0, "download": 0.0}
        for _ in range(repeats + 1):  # the first frame sets up the runtime (and cuDNN's search): not counted
            marks = [time.perf_counter()]
            image = cp.asarray(pixels).astype(cp.float32) / 255
            sync()
            marks.append(time.perf_counter())
            result = pipeline.upscale(image, model, tile_size=geometry.tile_size, batch_size=geometry.batch_size)
            sync()
            marks.append(time.perf_counter())
            cp.asnumpy((cp.clip(result, 0, 1) * 255 + 0.5).astype(cp.uint8))
            marks.append(time.perf_counter())
            if _ > 0:
                for name, start, end in zip(spent, marks, marks[1:]):
                    spent[name] += end - start
        total = sum(spent.values())
        print(f"{width:>5}x{height:<5} {repeats / total:>9.2f} "
              + " ".join(f"{spent[name] / total:>{len(name) if len(name) > 6 else 6}.0%}" for name in spent)
              + f"  tile {geometry.tile_size}, batch {geometry.batch_size}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--photo", type=int, nargs=2, default=[512, 512] if QUICK else [2048, 2048],
                        metavar=("WIDTH", "HEIGHT"))
    parser.add_argument("--repeats", type=int, default=1 if QUICK else 3)
    parser.add_argument("--frames", action="store_true", help="frames per second of 720p and 1080p frames")
    parser.add_argument("--frame-sizes", type=int, nargs="+", default=[1280, 720, 1920, 1080],
                        metavar="WIDTH HEIGHT")
    parser.add_argument("--model", default=None, help="an ONNX network instead of the shipped one")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        model, which = network(2, folder, args.model)
        print(f"{'GPU' if ON_GPU else 'CPU stand-in'}; network: {which}, {model.description}")
        if args.frames:
            sizes = list(zip(args.frame_sizes[::2], args.frame_sizes[1::2]))
            frame_times(model, sizes, args.repeats)
            return
        computed_table(model)
        photo_times(model, *args.photo, args.repeats)


if __name__ == "__main__":
    main()
