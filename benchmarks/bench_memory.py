"""Peak memory and wall time of the `lumivex-upscale` command against the image height, at a fixed width.

Each input (8-bit RGB PNG by default; `--kind la16` a 16-bit grey-with-alpha PNG, `--kind tif` an 8-bit RGB
TIFF) is written band by band by lumivex's own writers (the benchmark holds no whole image), then upscaled x2
with the shipped network by the command in a child process. The peak resident memory is the child's own
(wait4), the time its wall time, beside the estimate of the tile and batch sizes the command chose (of the
host's memory on the CPU; of the device's on a GPU, where the peak resident memory does not show it).
`--command` runs another installation's command (say, an older release's venv) for a before/after comparison.
Run: .venv/bin/python -P benchmarks/bench_memory.py [--width 3000] [--heights 1500 3000 6000]
[--kind rgb|la16|tif] [--command PATH/lumivex-upscale] [--extra "--tile-size 256"]
"""

import argparse
import os
import pathlib
import re
import shlex
import subprocess
import sys
import tempfile
import time

import numpy as np

from lumivex.upscale import images

HERE = pathlib.Path(sys.executable).parent


KINDS = {"rgb": (".png", images.PixelFormat("RGB", 8)), "la16": (".png", images.PixelFormat("LA", 16)),
         "tif": (".tif", images.PixelFormat("RGB", 8))}


def write_photo(path, width, height, pixel_format):
    """A smooth pattern with a little noise, written 64 rows at a time."""
    rng = np.random.default_rng(0)
    x = np.arange(width) / 37.0
    top = 255 if pixel_format.bits == 8 else 65535
    channels = len(pixel_format.mode)

    def bands():
        for first in range(0, height, 64):
            y = np.arange(first, min(height, first + 64))[:, None, None] / 29.0
            planes = 0.5 + 0.3 * np.sin(x[None, :, None] * (0.7 + 0.3 * np.arange(channels)) + y)
            band = planes + 0.03 * rng.standard_normal(planes.shape)
            yield (np.clip(band, 0, 1) * top + 0.5).astype(pixel_format.dtype)

    images.write_image_rows(path, bands(), height, width, pixel_format)


def run(command, source, target, extra):
    """(peak resident bytes, wall seconds, exit status, the command's memory estimate or "") of one run."""
    started = time.perf_counter()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        child = subprocess.Popen([command, str(source), str(target), "--overwrite", *extra], stdout=out, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - started
        out.seek(0), err.seek(0)
        said, error = out.read().decode(errors="replace"), err.read().decode(errors="replace").strip().splitlines()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        print(f"  exit {code}: {error[-1] if error else ''}", file=sys.stderr)
    estimate = re.search(r"^memory: .*about ([0-9.]+ GB)", said, re.MULTILINE)
    return usage.ru_maxrss * 1024, seconds, code, estimate[1] if estimate else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    quick = os.environ.get("LUMIVEX_BENCH_QUICK") == "1"
    parser.add_argument("--width", type=int, default=1000 if quick else 3000)
    parser.add_argument("--heights", type=int, nargs="+", default=[500, 2000] if quick else [1500, 3000, 6000])
    parser.add_argument("--kind", choices=sorted(KINDS), default="rgb")
    parser.add_argument("--command", default=str(HERE / "lumivex-upscale"))
    parser.add_argument("--extra", default="", help="more arguments for the command, one string")
    args = parser.parse_args()
    extra = shlex.split(args.extra)
    suffix, pixel_format = KINDS[args.kind]
    print(f"{args.command} {' '.join(extra)}; {pixel_format} {suffix}, x2, width {args.width}")
    print(f"{'height':>7} {'megapixels':>10} {'peak RSS MB':>12} {'wall s':>7} {'s/MP':>6} {'estimate':>9}")
    with tempfile.TemporaryDirectory() as folder:
        for height in args.heights:
            source = pathlib.Path(folder, f"in_{height}{suffix}")
            target = pathlib.Path(folder, f"out_{height}{suffix}")
            write_photo(source, args.width, height, pixel_format)
            peak, seconds, code, estimate = run(args.command, source, target, extra)
            megapixels = args.width * height / 1e6
            print(f"{height:>7} {megapixels:>10.1f} {peak / 1e6:>12.0f} {seconds:>7.1f} "
                  f"{seconds / megapixels:>6.2f} {estimate:>9}{'' if code == 0 else '  FAILED'}", flush=True)
            source.unlink()
            target.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
