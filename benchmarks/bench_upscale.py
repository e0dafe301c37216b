"""Benchmark of the whole upscaling road, `lumivex.upscale.pipeline.upscale`, with the shipped x2 network.

Reports windows (tiles) per second for square inputs and how the time splits between the network and the rest
(cutting windows, batching, trimming, merging). Uses a placeholder network of the same contract, and says so,
when the shipped one is not installed. Run: .venv/bin/python -P benchmarks/bench_upscale.py [--sizes 512 2048] [--model PATH.onnx]
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import ON_GPU, cp, sync  # noqa: E402

from lumivex.upscale import models  # noqa: E402  (cupy must be settled first)
from lumivex.upscale.pipeline import upscale  # noqa: E402


class TimedModel:
    """Wraps a model and adds up the time spent in it, device work included."""

    def __init__(self, model):
        self.model = model
        self.seconds = 0.0

    def __call__(self, batch):
        sync()
        started = time.perf_counter()
        result = self.model(batch)
        sync()
        self.seconds += time.perf_counter() - started
        return result


def network(scale, folder, path=None):
    if path is not None:
        return models.load_model(path, scale), "given"
    try:
        return models.load_model("builtin", scale), "shipped"
    except FileNotFoundError:
        from lumivex.testing.networks import write_placeholder_network

        path = write_placeholder_network(os.path.join(folder, f"placeholder_x{scale}.onnx"), scale)
        return models.OnnxModel(path), "PLACEHOLDER (shipped network not installed)"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[512, 2048, 4096])
    parser.add_argument("--scale", type=int, default=2)
    parser.add_argument("--batch-size", type=int, default=None)
    parser.add_argument("--model", default=None, help="an ONNX network instead of the shipped one")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        model, which = network(args.scale, folder, args.model)
        options = {} if args.batch_size is None else {"batch_size": args.batch_size}
        print(f"{'GPU' if ON_GPU else 'CPU stand-in'}; network: {which}, {model.description}; x{args.scale}")
        print(f"{'input':>10} {'windows':>8} {'total s':>8} {'windows/s':>10} {'network':>8} {'rest':>6}")
        for size in args.sizes:
            image = cp.random.default_rng(0).random((size, size, 3), dtype=cp.float32)
            timed = TimedModel(model)
            windows = []
            sync()
            started = time.perf_counter()
            result = upscale(image, timed, args.scale, progress=lambda done, total: windows.append(total), **options)
            sync()
            total = time.perf_counter() - started
            del result
            share = timed.seconds / total
            print(f"{size:>5}x{size:<4} {windows[-1]:>8} {total:>8.2f} {windows[-1] / total:>10.1f} "
                  f"{share:>7.0%} {1 - share:>6.0%}")


if __name__ == "__main__":
    main()
