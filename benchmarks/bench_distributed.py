"""Benchmark of the distributed road, `lumivex.upscale.distributed`, against the single-process tool.

Upscales the same folder of small RGB images (x2) in one process (`runner.run_here`, the network
loaded once) and on a local Ray instance with 1 and 2 workers, and reports files per second; also Ray's fixed
costs: starting the local instance, and a one-file run (starting the workers, each loading the network, and
Ray Data's planning), which every run pays once. Uses the shipped x2 network, or a placeholder network of the
same contract, and says so, when it is not installed.
Run: .venv/bin/python -P benchmarks/bench_distributed.py [--files 64] [--size 128] [--workers 1 2]
"""

import argparse
import os
import pathlib
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import ON_GPU  # noqa: E402  (settles cupy)

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

from lumivex.upscale import Settings, distributed, models, plan, runner  # noqa: E402


def network(folder):
    try:
        return str(models.builtin_path(2)), "shipped"
    except FileNotFoundError:
        from lumivex.testing.networks import write_placeholder_network

        return str(write_placeholder_network(folder / "placeholder_x2.onnx", 2)), "PLACEHOLDER"


def make_photos(folder, count, size):
    folder.mkdir()
    rng = np.random.default_rng(0)
    for index in range(count):
        Image.fromarray(rng.integers(0, 256, (size, size, 3), dtype=np.uint8)).save(folder / f"{index:04}.png")
    return folder


def fresh_jobs(photos, folder, name):
    """The jobs for upscaling every photo into a new folder `name`."""
    target = folder / name
    target.mkdir()
    return plan(photos, target, 2).jobs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=64)
    parser.add_argument("--size", type=int, default=128, help="side of each square input image")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=3, help="timings per figure; the shortest counts")
    args = parser.parse_args()
    import ray

    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        path, which = network(folder)
        photos = make_photos(folder / "photos", args.files, args.size)
        print(f"{'GPU' if ON_GPU else 'CPU stand-in'}, {os.cpu_count()} cores; network: {which}; "
              f"{args.files} files of {args.size}x{args.size} RGB, x2")

        runs = iter(range(1_000_000))  # each run writes into a fresh folder

        def best(function, count):
            """The shortest of `repeat` timings of function(jobs) on `count` fresh jobs (the machine is shared)."""
            timings = []
            for _ in range(args.repeat):
                jobs = fresh_jobs(photos, folder, f"run{next(runs)}")[:count]
                started = time.perf_counter()
                function(jobs)
                timings.append(time.perf_counter() - started)
            return min(timings)

        def alone(jobs):
            runner.run_here(jobs, Settings(path, 2).load())

        seconds = best(alone, args.files)
        print(f"{'single process':>22}: {seconds:6.2f} s, {args.files / seconds:6.1f} files/s")

        started = time.perf_counter()
        ray.init(address="local", num_cpus=max(args.workers + [os.cpu_count()]), include_dashboard=False,
                 log_to_driver=False)
        print(f"{'Ray start-up':>22}: {time.perf_counter() - started:6.2f} s (once per process)")
        try:
            for workers in args.workers:
                def shared(jobs):
                    results = distributed.upscale_jobs(jobs, Settings(path, 2), workers=workers)
                    assert all(result.status == runner.WRITTEN for result in results)

                fixed = best(shared, 1)
                seconds = best(shared, args.files)
                # What the files cost beyond a one-file run: the rate once the workers are up.
                beyond = (args.files - 1) / (seconds - fixed) if seconds > fixed else float("inf")
                print(f"{f'Ray, {workers} worker(s)':>22}: {seconds:6.2f} s, {args.files / seconds:6.1f} files/s; "
                      f"a one-file run takes {fixed:.2f} s, the other files {beyond:.1f} files/s")
        finally:
            ray.shutdown()


if __name__ == "__main__":
    main()
