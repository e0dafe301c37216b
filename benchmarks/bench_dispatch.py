"""Benchmark of the native call boundary: the five dispatch cases (layout inference, the NCHW pass-through, a
refused argument type, a binding error, an error raised inside a body), each against the same steps written in
plain Python and run by the interpreter, with a CPython builtin for scale where one fits.

Run after `bash tools/test.sh` has built .venv:  .venv/bin/python -P benchmarks/bench_dispatch.py
Two measurements:
- instructions per call under `valgrind --tool=callgrind`: one process runs each statement N and then 2N times
  between markers (a call of os.getppid, dumped by --dump-before), and the difference divided by N cancels the
  start-up and the marker; the figure includes the `for` loop that repeats the statement;
- wall clock, with the cases and implementations interleaved in every repetition, best repetition kept.
"""

import argparse
import glob
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

import common  # noqa: E402  (puts cupy in place first)

import lumivex.utils.shapery as shapery  # noqa: E402  (needs `cupy` importable first)


# ---- the same steps in plain Python ----

guess_image_layout = common.guess_image_layout


def image_to_batch(image, scalefactor=None, size=None, mean=None, swap_rb=True, layout="HWC"):
    if scalefactor is not None and type(scalefactor) is not float:
        raise TypeError(f"Argument 'scalefactor' has incorrect type (expected float, got {type(scalefactor).__name__})")
    if layout != "HWC" and layout != "HW" and layout != "CHW" and layout != "NHWC" and layout != "NCHW":
        layout = guess_image_layout(image)
    if layout == "NCHW":
        return image
    raise NotImplementedError("only the pass-through is benchmarked")


def image_to_batch_pixelshift(image, dim=4, scalefactor=None, mean=None, swap_rb=True):
    if type(dim) is not int:
        raise TypeError(f"Argument 'dim' has incorrect type (expected int, got {type(dim).__name__})")
    if scalefactor is not None and type(scalefactor) is not float:
        raise TypeError(f"Argument 'scalefactor' has incorrect type (expected float, got {type(scalefactor).__name__})")
    if dim < 1:
        raise ValueError("dim must be \u2265 1")
    raise NotImplementedError("only the dim error is benchmarked")


Small = common.Small


def refused(call, error):
    return f"try:\n    {call}\nexcept {error}:\n    pass"


# (label, statement, builtin statement for scale or None); the statement runs against the native module's
# names and against the plain-Python functions above.
CASES = [
    ("guess_image_layout, 3-tuple shape", "guess_image_layout(small)", "len(small.shape)"),
    ('image_to_batch(batch, layout="NCHW")', 'image_to_batch(batch, layout="NCHW")', None),
    ("refusal image_to_batch(img, 1)", refused("image_to_batch(small, 1)", "TypeError"),
     refused('floor("x")', "TypeError")),
    ("binding error image_to_batch()", refused("image_to_batch()", "TypeError"), None),
    ("body error (ValueError, traceback)", refused("image_to_batch_pixelshift(small, 0)", "ValueError"), None),
]
IMPLEMENTATIONS = ("native", "python", "builtin")


def namespace(implementation):
    names = {"small": Small(), "batch": common.cp.empty((2, 3, 8, 8), dtype=common.cp.uint8), "floor": math.floor}
    source = shapery if implementation == "native" else sys.modules[__name__]
    for name in ("guess_image_layout", "image_to_batch", "image_to_batch_pixelshift"):
        names[name] = getattr(source, name)
    return names


def loop(statement, implementation):
    """A function running `statement` n times, compiled like timeit compiles its loop."""
    body = "\n".join("        " + line for line in statement.splitlines())
    code = f"def run(n):\n    for _ in range(n):\n{body}\n"
    names = namespace(implementation)
    exec(compile(code, f"<{implementation}>", "exec"), names)
    return names["run"]


def loops():
    """(case index, implementation, run) for every statement measured, in table order."""
    found = []
    for index, (_, statement, builtin) in enumerate(CASES):
        found.append((index, "native", loop(statement, "native")))
        found.append((index, "python", loop(statement, "python")))
        if builtin:
            found.append((index, "builtin", loop(builtin, "builtin")))
    return found


def check_equivalence():
    """The plain-Python versions do what the native ones do on the benchmarked inputs."""
    native, python = namespace("native"), namespace("python")
    assert native["guess_image_layout"](native["small"]) == python["guess_image_layout"](python["small"]) == "HWC"
    batch = native["batch"]
    assert native["image_to_batch"](batch, layout="NCHW") is batch
    assert python["image_to_batch"](batch, layout="NCHW") is batch
    for statement, error in (("image_to_batch(small, 1)", TypeError), ("image_to_batch()", TypeError),
                             ("image_to_batch_pixelshift(small, 0)", ValueError)):
        messages = []
        for names in (native, python):
            try:
                eval(statement, names)
            except error as raised:
                messages.append(str(raised))
        assert len(messages) == 2, statement
        if statement != "image_to_batch()":  # the binding messages differ in wording, not in cost
            assert messages[0] == messages[1], messages


# ---- callgrind ----

def worker(n):
    """Runs inside callgrind: marker, n runs, marker, 2n runs, for every statement, then a last marker."""
    measured = loops()
    for _, _, run in measured:
        run(10)  # warm the specialising interpreter and any lazily made objects
    for _, _, run in measured:
        os.getppid()
        run(n)
        os.getppid()
        run(2 * n)
    os.getppid()


def dump_totals(directory):
    """Instruction totals of the callgrind dumps, in dump order."""
    def part(path):
        match = re.search(r"\.(\d+)$", path)
        return int(match.group(1)) if match else 0

    totals = []
    for path in sorted(glob.glob(os.path.join(directory, "callgrind.out.*")), key=part):
        if part(path) == 0:
            continue  # the final dump at exit
        with open(path) as dump:
            text = dump.read()
        match = re.search(r"^(?:totals|summary): (\d+)", text, re.MULTILINE)
        totals.append(int(match.group(1)))
    return totals


def instructions_per_call(n):
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        print("valgrind not found: no instruction counts", file=sys.stderr)
        return None
    with tempfile.TemporaryDirectory() as directory:
        command = [valgrind, "--tool=callgrind", "--dump-before=os_getppid",
                   f"--callgrind-out-file={os.path.join(directory, 'callgrind.out')}",
                   sys.executable, "-P", os.path.abspath(__file__), "--worker", str(n)]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        totals = dump_totals(directory)
    measured = loops()
    # Dump 1 is the start-up; then each statement has its n dump and its 2n dump.
    if len(totals) != 1 + 2 * len(measured):
        # The markers need the interpreter's own symbol os_getppid; a stripped libpython has none.
        print(f"expected {1 + 2 * len(measured)} callgrind dumps, found {len(totals)}: no instruction counts "
              "(is libpython stripped?)", file=sys.stderr)
        return None
    counts = {}
    for position, (index, implementation, _) in enumerate(measured):
        once, twice = totals[1 + 2 * position], totals[2 + 2 * position]
        counts[index, implementation] = (twice - once) / n
    return counts


# ---- wall clock ----

def nanoseconds_per_call(repeat, number):
    measured = loops()
    best = {}
    for _ in range(repeat):
        for index, implementation, run in measured:  # interleaved: drift hits every case alike
            start = time.perf_counter()
            run(number)
            elapsed = (time.perf_counter() - start) / number * 1e9
            key = index, implementation
            best[key] = min(best.get(key, math.inf), elapsed)
    return best


def table(title, unit, figures, digits):
    print(f"\n{title} ({unit} per call, loop included)")
    print(f"{'case':38} {'native':>9} {'python':>9} {'ratio':>6} {'builtin':>9} {'ratio':>6}")
    for index, (label, _, _) in enumerate(CASES):
        native, python = figures[index, "native"], figures[index, "python"]
        builtin = figures.get((index, "builtin"))
        row = f"{label:38} {native:9.{digits}f} {python:9.{digits}f} {native / python:6.2f}"
        if builtin is not None:
            row += f" {builtin:9.{digits}f} {native / builtin:6.2f}"
        print(row)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="N of the callgrind runs (N and 2N calls)")
    parser.add_argument("--repeat", type=int, default=7, help="wall-clock repetitions")
    parser.add_argument("--number", type=int, default=100_000, help="calls per wall-clock repetition")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--worker", type=int, help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker is not None:
        worker(options.worker)
        return

    check_equivalence()
    print(f"cupy: {'CuPy' if common.ON_GPU else 'NumPy stand-in'}; python {sys.version.split()[0]}")
    if not options.no_callgrind:
        counts = instructions_per_call(options.calls)
        if counts:
            table("callgrind", "instructions", counts, 0)
    table("wall clock", "ns", nanoseconds_per_call(options.repeat, options.number), 1)


if __name__ == "__main__":
    main()
