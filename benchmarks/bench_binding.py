"""Benchmark of call overhead: guess_image_layout and a bound-but-rejected image_to_batch call, each against a
plain-Python function doing the same work. Prints nanoseconds per call and the native/Python ratio.

Run with the installed package:  .venv/bin/python -P benchmarks/bench_binding.py [--repeat N]
"""

import argparse
import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

import common  # noqa: E402  (puts cupy in place first)

import lumivex.utils.shapery as shapery  # noqa: E402  (needs `cupy` importable first)


guess_image_layout = common.guess_image_layout


def image_to_batch(image, scalefactor=None, size=None, mean=None, swap_rb=True, layout="HWC"):
    if scalefactor is not None and type(scalefactor) is not float:
        raise TypeError(f"Argument 'scalefactor' has incorrect type (expected float, got {type(scalefactor).__name__})")
    raise NotImplementedError


Small = common.Small


def rejected(fn, image):
    def run():
        try:
            fn(image, 1)
        except TypeError:
            pass
    return run


def per_call_ns(fn, repeat, number):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=2 if common.QUICK else 7)
    parser.add_argument("--number", type=int, default=20_000 if common.QUICK else 200_000)
    options = parser.parse_args()

    small, array = Small(), common.cp.empty((8, 3, 32, 32), dtype=common.cp.uint8)
    assert shapery.guess_image_layout(small) == guess_image_layout(small) == "HWC"
    assert shapery.guess_image_layout(array) == guess_image_layout(array) == "NCHW"
    cases = [
        ("guess_image_layout, small object", lambda: shapery.guess_image_layout(small),
         lambda: guess_image_layout(small)),
        ("guess_image_layout, (8, 3, 32, 32) array", lambda: shapery.guess_image_layout(array),
         lambda: guess_image_layout(array)),
        ("image_to_batch(img, 1), rejected", rejected(shapery.image_to_batch, small),
         rejected(image_to_batch, small)),
    ]
    print(f"cupy: {'NumPy stand-in' if not common.ON_GPU else 'CuPy'}")
    print(f"{'case':42} {'native ns':>10} {'python ns':>10} {'ratio':>7}")
    for label, native, python in cases:
        native_ns = per_call_ns(native, options.repeat, options.number)
        python_ns = per_call_ns(python, options.repeat, options.number)
        print(f"{label:42} {native_ns:10.1f} {python_ns:10.1f} {native_ns / python_ns:7.2f}")


if __name__ == "__main__":
    main()
