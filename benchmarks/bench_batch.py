"""Benchmark of the model-batch conversions against the same steps written in plain Python.

Run after `bash tools/test.sh` has built .venv:  .venv/bin/python -P benchmarks/bench_batch.py
Uses real CuPy on a CUDA machine, the NumPy stand-in otherwise; prints milliseconds per call and, on tiny
arrays where the array work is negligible, the per-call dispatch cost of native and Python code.
"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import ON_GPU, QUICK, cp, normalise_mean, sync  # noqa: E402

import numpy as np  # noqa: E402

from lumivex.utils import shapery  # noqa: E402
from lumivex.utils.shapery import batch_to_images, image_to_batch  # noqa: E402


# ---- the same steps in plain Python, looking the services up in the module namespace as the native code does ----

def image_to_batch_py(image, scalefactor=None, size=None, mean=None, swap_rb=True, layout="HWC"):
    if layout not in ("HWC", "HW", "CHW", "NHWC", "NCHW"):
        layout = shapery.guess_image_layout(image)
    elif layout in ("HWC", "HW", "CHW") and image.ndim != len(layout):
        raise ValueError(f"Layout {layout!r} needs a {len(layout)}-dimensional image, got shape {image.shape}")
    if layout == "NCHW":
        return image
    if layout == "NHWC":
        return image.transpose(0, 3, 1, 2)
    if layout == "HW":
        image = image[..., cp.newaxis]
        layout = "HWC"
    if layout not in ("HWC", "CHW"):
        raise ValueError(f"Unsupported image layout: {layout}")
    array_dtype = image.dtype
    if swap_rb and layout == "HWC":
        image = shapery.bgr_to_rgb(image)
    if size is not None:
        if isinstance(size, int):
            size = (size, size)
        image = shapery.resize(image, dsize=size, interpolation=shapery.INTER_AUTO)
    if mean is not None:
        mean = normalise_mean(mean)
        values = cp.array(mean, dtype=array_dtype)
        image -= values if layout == "HWC" else values[:, None, None]
    if scalefactor is not None:
        image *= scalefactor
    if layout == "HWC":
        return image.transpose(2, 0, 1)[cp.newaxis, ...]
    return image[cp.newaxis, ...]


def batch_to_images_py(batch, scalefactor=None, mean=None, swap_rb=True, layout="NCHW"):
    channels_first = layout == "NCHW"
    if not channels_first:
        layout = shapery.guess_image_layout(batch)
        channels_first = layout == "NCHW"
        if not channels_first and layout != "NHWC":
            raise ValueError(f"Unsupported image layout: {layout}")
    results = []
    checked = mean is None
    for image in batch:
        if channels_first:
            image = image.transpose(1, 2, 0)
        if swap_rb:
            image = shapery.rgb_to_bgr(image)
        if not checked:
            mean = normalise_mean(mean)
            checked = True
        if scalefactor is not None:
            image *= 1 / scalefactor
        if mean is not None:
            image += cp.array(mean, dtype=image.dtype)
        results.append(image)
    return results


# ---- timing ----

def timed_round(function, number, args, kwargs):
    start = time.perf_counter()
    for _ in range(number):
        function(*args, **kwargs)
    sync()
    return (time.perf_counter() - start) / number


def per_call(native, python, *args, repeat=3 if QUICK else 9, budget=0.05 if QUICK else 0.2, **kwargs):
    """Best seconds per call of each function; their rounds alternate so that load on the machine hits both."""
    for function in (native, python):
        function(*args, **kwargs)
    sync()
    once = max(timed_round(python, 1, args, kwargs), 1e-7)
    number = max(1, min(100_000, int(budget / once)))
    rounds = {native: [], python: []}
    for _ in range(repeat):
        for function in (native, python):
            rounds[function].append(timed_round(function, number, args, kwargs))
    return min(rounds[native]), min(rounds[python])


def row(label, times, unit=1e3, suffix="ms"):
    native, python = times
    print(f"{label:<58} native {native * unit:9.3f} {suffix}   python {python * unit:9.3f} {suffix}   "
          f"ratio {native / python:5.2f}")


def main():
    device = "GPU (CuPy)" if ON_GPU else "CPU (NumPy stand-in)"
    print(f"lumivex batch conversions on {device}, Python {sys.version.split()[0]}")
    rng = np.random.default_rng(0)
    frame = cp.array(rng.integers(0, 256, (1080, 1920, 3), dtype=np.uint8))
    frame_f32 = frame.astype(cp.float32)
    model_out = cp.array(rng.random((16, 3, 224, 224), dtype=np.float32))

    print("\nWhole calls (array work included):")
    row("image_to_batch 1920x1080x3 uint8, defaults", per_call(image_to_batch, image_to_batch_py, frame))
    options = dict(scalefactor=1 / 255, size=224, mean=(0.485, 0.456, 0.406))
    # A float factor cannot be applied in place to uint8 data, so the scaled case starts from float32.
    row("image_to_batch 1920x1080x3 float32, size+mean+scale",
        per_call(image_to_batch, image_to_batch_py, frame_f32, **options))
    row("batch_to_images 16x3x224x224 float32, defaults", per_call(batch_to_images, batch_to_images_py, model_out))
    # Without a colour swap the scale and mean are undone in place: the batch drifts, the timing does not.
    row("batch_to_images 16x3x224x224 float32, scale+mean, no swap",
        per_call(batch_to_images, batch_to_images_py, model_out, 2.0, 0.5, False))

    print("\nDispatch overhead per call (tiny arrays, services are no-ops):")
    tiny = cp.zeros((8, 8, 3), dtype=cp.float32)
    tiny_batch = cp.zeros((16, 3, 8, 8), dtype=cp.float32)
    identity = lambda image, *args, **kwargs: image  # noqa: E731
    saved = {name: getattr(shapery, name) for name in ("bgr_to_rgb", "rgb_to_bgr", "resize")}
    for name in saved:
        setattr(shapery, name, identity)
    try:
        cases = [
            ("image_to_batch, NCHW pass-through", (tiny_batch,), dict(layout="NCHW")),
            ("image_to_batch 8x8x3, defaults", (tiny,), {}),
            ("image_to_batch 8x8x3, size+mean+scale", (tiny,), options),
            ("batch_to_images 16x3x8x8, defaults", (tiny_batch,), {}),
        ]
        pairs = {image_to_batch: image_to_batch_py, batch_to_images: batch_to_images_py}
        for label, args, kwargs in cases:
            native_fn = image_to_batch if label.startswith("image") else batch_to_images
            native, python = per_call(native_fn, pairs[native_fn], *args, **kwargs)
            row(label, (native, python), 1e6, "us")
            print(f"{'':<58} saved by native dispatch: {(python - native) * 1e6:8.2f} us/call")
    finally:
        for name, value in saved.items():
            setattr(shapery, name, value)


if __name__ == "__main__":
    main()
