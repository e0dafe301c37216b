"""What the benchmark scripts share: CuPy (or the NumPy stand-in) put in place before lumivex binds it, a device
synchronisation for honest timings, the GPU memory pool's growth over a call, the plain-Python layout inference and mean normalisation the comparisons
repeat, the smallest object layout inference accepts, and the quick mode (LUMIVEX_BENCH_QUICK=1: fewer repetitions, same cases) that tools/gpu-check.sh runs them in.
"""

import os

import lumivex.testing

QUICK = os.environ.get("LUMIVEX_BENCH_QUICK") == "1"

cp = lumivex.testing.install_cupy_standin()
ON_GPU = not lumivex.testing.using_standin()


def sync():
    """Waits for queued GPU work, so a timing covers it; nothing to wait for on the stand-in."""
    if ON_GPU:
        cp.cuda.Device().synchronize()


def pool_growth(call):
    """Run `call` on a GPU with the memory pool emptied first; return its result and how far the pool grew,
    which is its high-water mark, as the pool keeps the blocks freed meanwhile."""
    pool = cp.get_default_memory_pool()
    pool.free_all_blocks()
    before = pool.total_bytes()
    result = call()
    sync()
    return result, pool.total_bytes() - before


def normalise_mean(mean):
    """The mean as the native bodies normalise it: one value for every channel, or three per channel."""
    if isinstance(mean, (int, float)):
        return (float(mean),)
    if len(mean) == 1:
        return (mean[0],)
    if len(mean) != 3:
        raise ValueError("Mean must be a single value or a tuple of three values.")
    return mean


def guess_image_layout(image):
    nd = image.ndim
    if nd == 2:
        return "HW"
    if nd == 3:
        c_first, c_last = image.shape[0], image.shape[-1]
        candidates = []
        if c_first in (1, 3, 4):
            candidates.append("CHW")
        if c_last in (1, 3, 4):
            candidates.append("HWC")
        if len(candidates) == 1:
            return candidates[0]
        if c_first <= 4 and image.shape[1] > 4 and image.shape[2] > 4:
            return "CHW"
        if c_last <= 4 and image.shape[0] > 4 and image.shape[1] > 4:
            return "HWC"
        return "ambiguous"
    if nd == 4:
        if image.shape[1] in (1, 3, 4) and image.shape[2] > 4 and image.shape[3] > 4:
            return "NCHW"
        if image.shape[-1] in (1, 3, 4) and image.shape[1] > 4 and image.shape[2] > 4:
            return "NHWC"
        return "ambiguous"
    return "unsupported"


class Small:
    """The smallest object guess_image_layout accepts: plain attributes, no array behind them."""

    ndim = 3
    shape = (480, 640, 3)
