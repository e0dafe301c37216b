"""Benchmark of resize against OpenCV's cv2.resize: time and extra memory for enlarging a photo-sized image.

Default case: a 3000x2000x3 uint8 image doubled (INTER_AUTO, bilinear here) and the same image halved (area).
Prints lumivex's and OpenCV's best time of --repeat runs, their ratio, the peak memory resize needs beyond its
result (tracemalloc on the stand-in, the memory pool's high-water mark on a GPU) as a multiple of the result's
size, and the largest difference from OpenCV; on the stand-in also the time of the array operations alone (what
a GPU runs, here on NumPy). Run: .venv/bin/python -P benchmarks/bench_resize.py [--repeat R]
"""

import argparse
import contextlib
import os
import sys
import time
import tracemalloc

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import ON_GPU, QUICK, cp, pool_growth, sync  # noqa: E402

import numpy as np  # noqa: E402

from lumivex.transform import _opencv  # noqa: E402
from lumivex.transform.resize import INTER_AREA, INTER_AUTO, INTER_LINEAR, resize  # noqa: E402

try:
    import cv2
except ImportError:  # the comparison is skipped, the timing of resize still runs
    cv2 = None


def best_time(call, repeat):
    """Best wall time and best process CPU time of `repeat` runs, in seconds.

    CPU time is the steadier figure on a shared machine; OpenCV may spread its work over several threads, so
    its CPU time can exceed its wall time.
    """
    wall = cpu = float("inf")
    for _ in range(repeat):
        sync()
        started, started_cpu = time.perf_counter(), time.process_time()
        call()
        sync()
        wall = min(wall, time.perf_counter() - started)
        cpu = min(cpu, time.process_time() - started_cpu)
    return wall, cpu


def extra_memory(call, result_bytes):
    """Peak bytes allocated during `call` beyond its result."""
    if ON_GPU:
        _, peak = pool_growth(call)
        return peak - result_bytes
    tracemalloc.start()
    try:
        result = call()
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del result
    return peak - result_bytes


def run_case(host, dsize, interpolation, repeat):
    image = cp.asarray(host)
    call = lambda: resize(image, dsize=dsize, interpolation=interpolation)  # noqa: E731
    result = call()
    seconds, cpu = best_time(call, repeat)
    extra = extra_memory(call, result.nbytes)
    line = (f"{host.shape[1]}x{host.shape[0]}x{host.shape[2]} {host.dtype} -> {dsize[0]}x{dsize[1]}: "
            f"lumivex {seconds * 1e3:6.1f} ms (cpu {cpu * 1e3:6.1f}), extra memory {extra / 2**20:5.1f} MiB "
            f"({extra / result.nbytes:.2f}x the result)")
    if cv2 is not None:
        flag = cv2.INTER_AREA if interpolation == INTER_AREA else cv2.INTER_LINEAR
        reference = cv2.resize(host, dsize, interpolation=flag)
        cv_seconds, cv_cpu = best_time(lambda: cv2.resize(host, dsize, interpolation=flag), repeat)
        difference = np.abs(cp.asnumpy(result).astype(np.int32) - reference).max()
        line += (f" | cv2 {cv_seconds * 1e3:6.1f} ms (cpu {cv_cpu * 1e3:6.1f}, {cv2.getNumThreads()} threads), "
                 f"ratio {seconds / cv_seconds:.2f} (cpu {cpu / cv_cpu:.2f}), max difference {difference}")
    if not ON_GPU:  # the array operations a GPU runs, here on NumPy: what the CPU would take without OpenCV
        with opencv_hidden():
            arrays, _ = best_time(call, repeat)
        line += f" | arrays alone {arrays * 1e3:6.1f} ms"
    print(line)


@contextlib.contextmanager
def opencv_hidden():
    saved = _opencv.cv2
    _opencv.cv2 = None
    try:
        yield
    finally:
        _opencv.cv2 = saved


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3 if QUICK else 5)  # best of 3 even when quick: one run is noise
    args = parser.parse_args()
    repeat = args.repeat

    print(f"device: {'GPU, CuPy' if ON_GPU else 'CPU, NumPy stand-in for CuPy'}; "
          f"OpenCV {cv2.__version__ if cv2 is not None else 'not installed'}")
    host = np.random.default_rng(0).integers(0, 256, (3000, 2000, 3), dtype=np.uint8)
    run_case(host, (4000, 6000), INTER_AUTO, repeat)      # x2: bilinear
    run_case(host, (1000, 1500), INTER_AUTO, repeat)      # /2: area
    run_case(host, (1333, 2111), INTER_LINEAR, repeat)    # non-integer ratios
    return 0


if __name__ == "__main__":
    sys.exit(main())
