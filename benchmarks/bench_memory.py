"""Peak memory and wall time of the `lumivex-upscale` command against the image height, at a fixed width.

Each input is an RGB PNG written row by row (the benchmark itself holds no whole image), upscaled x2 with the
shipped network by the command in a child process; the peak resident memory is the child's own (wait4), the
time its wall time. `--command` runs another installation's command (say, an older release's venv) for a
before/after comparison. Run: .venv/bin/python -P benchmarks/bench_memory.py [--width 3000]
[--heights 1500 3000 6000] [--command PATH/lumivex-upscale] [--extra "--tile-size 256"]
"""

import argparse
import os
import pathlib
import shlex
import subprocess
import sys
import tempfile
import time

import numpy as np
import png

HERE = pathlib.Path(sys.executable).parent


def write_photo(path, width, height):
    """A smooth RGB pattern with a little noise, written by pypng one row at a time."""
    rng = np.random.default_rng(0)
    x = np.arange(width) / 37.0

    def rows():
        for y in range(height):
            planes = [0.5 + 0.3 * np.sin(x * (0.7 + 0.3 * k) + y / (29.0 + 7 * k)) for k in range(3)]
            row = np.stack(planes, axis=1) + 0.03 * rng.standard_normal((width, 3))
            yield (np.clip(row, 0, 1) * 255 + 0.5).astype(np.uint8).reshape(-1)

    with open(path, "wb") as file:
        png.Writer(width, height, greyscale=False, bitdepth=8).write(file, rows())


def run(command, source, target, extra):
    """(peak resident bytes, wall seconds, exit status) of one run of the command."""
    started = time.perf_counter()
    child = subprocess.Popen([command, str(source), str(target), "--overwrite", *extra],
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - started
    error = child.stderr.read().decode(errors="replace").strip().splitlines()
    child.stderr.close()
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        print(f"  exit {code}: {error[-1] if error else ''}", file=sys.stderr)
    return usage.ru_maxrss * 1024, seconds, code


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--width", type=int, default=3000)
    parser.add_argument("--heights", type=int, nargs="+", default=[1500, 3000, 6000])
    parser.add_argument("--command", default=str(HERE / "lumivex-upscale"))
    parser.add_argument("--extra", default="", help="more arguments for the command, one string")
    args = parser.parse_args()
    extra = shlex.split(args.extra)
    print(f"{args.command} {' '.join(extra)}; RGB PNG, x2, width {args.width}")
    print(f"{'height':>7} {'megapixels':>10} {'peak RSS MB':>12} {'wall s':>7} {'s/MP':>6}")
    with tempfile.TemporaryDirectory() as folder:
        for height in args.heights:
            source, target = pathlib.Path(folder, f"in_{height}.png"), pathlib.Path(folder, f"out_{height}.png")
            write_photo(source, args.width, height)
            peak, seconds, code = run(args.command, source, target, extra)
            megapixels = args.width * height / 1e6
            print(f"{height:>7} {megapixels:>10.1f} {peak / 1e6:>12.0f} {seconds:>7.1f} "
                  f"{seconds / megapixels:>6.2f}{'' if code == 0 else '  FAILED'}", flush=True)
            source.unlink()
            target.unlink(missing_ok=True)


if __name__ == "__main__":
    main()
