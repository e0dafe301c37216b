"""What the benchmark scripts share: CuPy (or the NumPy stand-in) put in place before lumivex binds it, a device
synchronisation for honest timings, the plain-Python mean normalisation the batch comparisons repeat, and the
quick mode (LUMIVEX_BENCH_QUICK=1: fewer repetitions, same cases) that tools/gpu-check.sh runs them in.
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


def normalise_mean(mean):
    """The mean as the native bodies normalise it: one value for every channel, or three per channel."""
    if isinstance(mean, (int, float)):
        return (float(mean),)
    if len(mean) == 1:
        return (mean[0],)
    if len(mean) != 3:
        raise ValueError("Mean must be a single value or a tuple of three values.")
    return mean
