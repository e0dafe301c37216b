"""Benchmark of the sub-pixel phase road: image_to_batch_pixelshift and pixelshift_fuse against the same steps
written in plain Python, on a 2048×2048×3 image with dim 4 (16 phases, fused in batches of 4).

Run with the project's CPython 3.12 after `bash tools/test.sh` has installed the package:
    .venv/bin/python benchmarks/bench_pixelshift.py [--repeat N]
Without a usable CUDA device the NumPy stand-in plays CuPy; the array work then runs on the CPU and dominates,
so the per-phase dispatch overhead is measured separately on a tiny image where the array work is negligible.
On a GPU the script also reports wall time and bytes moved per second.
"""

import argparse
import statistics
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import ON_GPU, QUICK, cp, normalise_mean, sync  # noqa: E402

import lumivex.utils.shapery as shapery  # noqa: E402  (cupy must be in place first)

DIM, BATCH = 4, 4


# ---- the same steps in plain Python ----

def python_decompose(image, dim=4, scalefactor=None, mean=None, swap_rb=True):
    if dim < 1:
        raise ValueError("dim must be \u2265 1")
    h, w, c = image.shape
    if h % dim or w % dim:
        raise ValueError(f"Image {h}\u00d7{w} not divisible by dim={dim}")
    if swap_rb:
        image = shapery.bgr_to_rgb(image)
    array_dtype = image.dtype
    if mean is not None:
        mean = normalise_mean(mean)
        image -= cp.array(mean, dtype=array_dtype)
    if scalefactor is not None:
        image *= scalefactor
    h_sub, w_sub = h // dim, w // dim
    out = cp.empty((dim * dim, c, h_sub, w_sub), dtype=image.dtype)
    idx = 0
    for j in range(dim):
        for i in range(dim):
            block = image[j::dim, i::dim]
            out[idx] = cp.ascontiguousarray(block).transpose(2, 0, 1)
            idx += 1
    return out


def python_fuse(preds, acc, hits, start_idx, dim):
    for k in range(preds.shape[0]):
        j, i = divmod(start_idx + k, dim)
        up = preds[k].repeat(dim, axis=1).repeat(dim, axis=2)
        up = cp.roll(up, shift=(j, i), axis=(1, 2))
        acc += up.astype(cp.float32)
        hits += 1


# ---- measurement ----

def timed(steps, repeat):
    """Fastest wall time in seconds of each step, the steps run alternately (after one warm-up run each) so
    that drifting machine load affects them alike."""
    best = [float("inf")] * len(steps)
    for run in range(repeat + 1):
        for n, step in enumerate(steps):
            start = time.perf_counter()
            step()
            sync()
            if run:
                best[n] = min(best[n], time.perf_counter() - start)
    return best


def road(decompose, fuse, h, w, c):
    image = cp.ones((h, w, c), cp.float32)
    acc = cp.zeros((c, h, w), cp.float32)
    hits = cp.zeros((1, h, w), cp.float32)
    state = {}

    def decompose_step():
        state["phases"] = decompose(image, DIM, 0.5, (0.1, 0.2, 0.3))

    def fuse_step():
        phases = state["phases"]
        for start in range(0, DIM * DIM, BATCH):
            fuse(phases[start:start + BATCH], acc, hits, start, DIM)

    return decompose_step, fuse_step


def bytes_moved(h, w, c, itemsize=4):
    """Bytes read and written by the array operations, counting each operand once per operation."""
    image = h * w * c * itemsize
    # swap (read, write), mean and scale in place (read, write each), compaction and plane copy per phase.
    decompose = 2 * image + 2 * image + 2 * image + 2 * image + 2 * image
    phase, full, counter = image // DIM ** 2, image, h * w * itemsize
    per_prediction = (phase + phase * DIM) + (phase * DIM + full) + 2 * full + 2 * full + 3 * full + 2 * counter
    return decompose, DIM * DIM * per_prediction


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=1 if QUICK else 5, help="timed runs per case (median reported)")
    args = parser.parse_args()
    print(f"array module: {'CuPy on ' + cp.cuda.runtime.getDeviceProperties(0)['name'].decode() if ON_GPU else 'NumPy stand-in (CPU)'}")
    print(f"dim={DIM} ({DIM * DIM} phases), batches of {BATCH}, float32, swap + mean + scale")

    native = (shapery.image_to_batch_pixelshift, shapery.pixelshift_fuse)
    python = (python_decompose, python_fuse)
    h, w, c = 2048, 2048, 3
    (nd, nf), (pd, pf) = road(*native, h, w, c), road(*python, h, w, c)
    t_nd, t_pd, t_nf, t_pf = timed([nd, pd, nf, pf], args.repeat)
    times = {"native": (t_nd, t_nf), "python": (t_pd, t_pf)}
    for label, (d_time, f_time) in times.items():
        print(f"{h}x{w}x{c} {label:6s}: decompose {d_time * 1e3:9.2f} ms   fuse (16 phases) {f_time * 1e3:9.2f} ms")
    if ON_GPU:
        d_bytes, f_bytes = bytes_moved(h, w, c)
        d_time, f_time = times["native"]
        print(f"native bytes moved: decompose {d_bytes / d_time / 1e9:.1f} GB/s, fuse {f_bytes / f_time / 1e9:.1f} GB/s"
              f" (model: {d_bytes / 2**20:.0f} MiB and {f_bytes / 2**20:.0f} MiB)")

    # Dispatch overhead: a tiny image keeps the array work negligible, so the time is the cost of the calls.
    (nd, nf), (pd, pf) = road(*native, 8, 8, 3), road(*python, 8, 8, 3)
    phases = DIM * DIM
    nd, pd, nf, pf = (t / phases for t in timed([nd, pd, nf, pf], max(args.repeat * 200, 1000)))
    print("per-phase time on an 8x8x3 image (dispatch overhead):")
    print(f"  native: decompose {nd * 1e6:7.2f} us/phase   fuse {nf * 1e6:7.2f} us/phase")
    print(f"  python: decompose {pd * 1e6:7.2f} us/phase   fuse {pf * 1e6:7.2f} us/phase")
    print(f"  saved by native code: decompose {(pd - nd) * 1e6:.2f} us/phase, fuse {(pf - nf) * 1e6:.2f} us/phase")


if __name__ == "__main__":
    main()
