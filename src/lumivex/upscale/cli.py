"""The `lumivex-upscale` command: upscale an image file, or every image of a folder, with a network.

    lumivex-upscale INPUT [OUTPUT] [--scale {2,4}] [--model builtin|PATH.onnx] [--tile-size N]
                    [--overlap N] [--batch-size N] [--overwrite] [--workers N] [--ray ADDRESS] [-v]

Everything that can be checked is checked before any pixel is processed; a bad input ends the run with a
one-line error and exit status 2. A file that fails later (unreadable pixels, a network error, a full disk) is
one line, and the others are done; a summary counts what was written, skipped and failed; exit status 1 when
any failed, 0 when all were done (--verbose shows each failure's traceback). SIGINT or SIGTERM ends the run
with one line and status 130 or 143, leaving no temporary files or claims. Existing outputs are skipped unless
--overwrite, so an interrupted folder run can be resumed.

Runs beside each other on one folder share the work: each output is claimed before work (`claims`), and an
output that another run put in place meanwhile is never replaced unless --overwrite. What runs that died left
(temporary files, claims) is removed by the next one. Runs on the GPU when CuPy sees one, else on the CPU with
lumivex's NumPy stand-in for CuPy.

With --workers or --ray the files are shared out among Ray workers (`lumivex.upscale.distributed`, needs
`lumivex[distributed]`): one per GPU, each loading the network once, on a local Ray instance or a cluster.
"""

import argparse
import dataclasses
import pathlib
import sys
import time
import traceback

import lumivex.testing
from lumivex.upscale import atomic, claims, signals
from lumivex.upscale.defaults import DEFAULT_BATCH_SIZE, DEFAULT_OVERLAP, DEFAULT_TILE_SIZE
from lumivex.upscale.messages import first_line

PROGRAM = "lumivex-upscale"
EXIT_USAGE = 2
EXIT_PARTIAL = 1


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Upscale an image, or every image in a folder, with a super-resolution network.")
    parser.add_argument("input", type=pathlib.Path, help="image file or folder of images")
    parser.add_argument("output", nargs="?", type=pathlib.Path,
                        help="output file or folder (default: <input name>_x<scale>.png, or the folder "
                             "<input name>_x<scale>, in the current folder)")
    parser.add_argument("--scale", type=int, choices=(2, 4), default=2, help="enlargement factor (default 2)")
    parser.add_argument("--model", default="builtin",
                        help="'builtin' (the network shipped for --scale) or the path of an ONNX network")
    parser.add_argument("--tile-size", type=int, default=DEFAULT_TILE_SIZE,
                        help=f"side of the windows the network sees, in input pixels (default {DEFAULT_TILE_SIZE})")
    parser.add_argument("--overlap", type=int, default=DEFAULT_OVERLAP,
                        help=f"pixels neighbouring windows share (default {DEFAULT_OVERLAP})")
    parser.add_argument("--batch-size", type=int, default=DEFAULT_BATCH_SIZE,
                        help=f"windows per network call (default {DEFAULT_BATCH_SIZE})")
    parser.add_argument("--overwrite", action="store_true", help="replace outputs that already exist")
    parser.add_argument("--workers", type=int, metavar="N",
                        help="share the files among N Ray workers, one per GPU (per CPU where there are no GPUs); "
                             "without --ray on a local Ray instance (needs lumivex[distributed])")
    parser.add_argument("--ray", metavar="ADDRESS",
                        help="run on the Ray cluster at ADDRESS ('auto': the one this machine belongs to), "
                             "by default with one worker per GPU of the cluster")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show the whole traceback of each failure (for debugging a network)")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    tally = Tally()
    with signals.StopOnSignals() as stop:
        try:
            return _run(args, tally)
        except signals.Interrupted as interruption:
            stop.hold()
            # What the unwinding has not removed yet (it may itself have been cut short by the signal).
            atomic.remove_live_temporaries()
            claims.release_all()
            _report(tally.interrupted())
            return interruption.exit_status


@dataclasses.dataclass
class Tally:
    """What became of the images of a run, so far."""

    planned: int | None = None  # images to upscale, once the plan is made
    written: int = 0
    skipped: int = 0
    failed: int = 0

    def summary(self):
        total = self.written + self.skipped + self.failed
        return (f"{total} image{'s' * (total != 1)}: {self.written} written, {self.skipped} skipped, "
                f"{self.failed} failed")

    def interrupted(self):
        if self.planned is None:
            return "interrupted before any image was upscaled"
        return f"interrupted: {self.written} of {self.planned} written; run again to finish"


def _run(args, tally):
    cp = lumivex.testing.install_cupy_standin()  # before anything binds cupy
    from lumivex.upscale import files, models

    try:
        options = files.Options(args.scale, args.tile_size, args.overlap, args.batch_size, args.overwrite)
        if args.model == "builtin":
            model_path = models.builtin_path(args.scale)
        else:
            model_path = args.model = pathlib.Path(args.model)
            if not model_path.is_file():
                raise files.UsageError(f"{model_path}: no such model file")
        on_ray = args.workers is not None or args.ray is not None
        if on_ray:
            _check_distributed(args)
        plan = files.plan_jobs(args.input, args.output, options)
        model = files.load_model(model_path, args.scale)
    except Exception as error:  # a file the network runtime cannot load raises its own types
        return _fail(error, args.verbose)

    if on_ray:
        from lumivex.upscale.distributed import describe_workers

        print(f"device: {describe_workers(args.workers, args.ray)}")
    else:
        print(f"device: {describe_device(cp)}")
    print(f"model: {model.description}")
    if model.notice:
        print(f"note: {model.notice}")
    _sweep(plan)
    for path, reason in plan.problems:  # one form for every image not upscaled, whenever that showed
        _report(f"failed {path}: {reason.removeprefix(f'{path}: ')}")
    for job in plan.skipped:
        print(f"{job.target} exists; skipped (--overwrite replaces it)")
    tally.planned = len(plan.jobs)
    tally.skipped, tally.failed = len(plan.skipped), len(plan.problems)
    if plan.output_folder is not None and plan.jobs:
        plan.output_folder.mkdir(exist_ok=True)

    if on_ray:
        from lumivex.upscale.distributed import ClusterError

        try:
            _upscale_distributed(plan.jobs, args.model, model_path, options, args, tally)
        except ClusterError as error:
            return _fail(error)
        finally:
            _sweep(plan, quiet=True)  # what workers killed by Ray left behind
    else:
        for job in plan.jobs:
            try:
                _upscale_one(job, model, options, tally)
            except Exception as error:  # one file's failure, wherever it arose, must not stop the others
                tally.failed += 1
                _report(f"failed {job.source}: {files.describe_failure(error, job.source)}")
                if args.verbose:
                    traceback.print_exception(error, file=sys.stderr)
    if plan.output_folder is not None:
        print(tally.summary())
    return EXIT_PARTIAL if tally.failed else 0


def _sweep(plan, quiet=False):
    """Removes what earlier runs that died left beside this run's outputs."""
    targets = [job.target for job in plan.jobs + plan.skipped]
    if not targets:
        return
    folder = targets[0].parent
    removed = claims.sweep(folder, [target.name for target in targets])
    if removed and not quiet:
        print(f"removed {removed} file{'s' * (removed != 1)} left in {folder} by runs that did not finish")


_SKIPPED = {
    claims.EXISTS: "was written by another run; skipped",
    claims.CLAIMED: "is being written by another run; skipped",
    claims.OVERTAKEN: "was written by another run while this one worked on it; kept that one",
}


def _upscale_one(job, model, options, tally):
    """Upscales one job unless another run has it; counts and prints what became of it."""
    from tqdm import tqdm

    from lumivex.upscale import animation, files, video

    started = time.perf_counter()
    sequence = video.is_video(job.source) or animation.is_animation(job.source)
    with tqdm(desc=job.source.name, unit="frame" if sequence else "tile", file=sys.stderr, leave=False,
              disable=None) as bar:
        def progress(done, total):
            bar.total = total
            bar.update(done - bar.n)

        written = []

        def write():
            written.append(files.process_file(job.source, job.target, model, options, progress))

        outcome = claims.write_once(job.target, write, overwrite=options.overwrite)
    # Counted before it is said: a signal may end the run right after the line, and its count must agree.
    if outcome == claims.WRITTEN:
        tally.written += 1
        print(f"wrote {job.target} ({written[0]}, x{options.scale}) in {time.perf_counter() - started:.1f} s",
              flush=True)
    else:
        tally.skipped += 1
        print(f"{job.target} {_SKIPPED[outcome]}", flush=True)


def _check_distributed(args):
    from lumivex.upscale import distributed, files

    if args.workers is not None and args.workers < 1:
        raise files.UsageError(f"--workers must be at least 1, got {args.workers}")
    try:
        distributed.require_ray()
    except distributed.ClusterError as error:
        raise files.UsageError(str(error)) from None


def _upscale_distributed(jobs, model_name, model_path, options, args, tally):
    """Upscales `jobs` on Ray workers, a line per finished file, counted in `tally`."""
    from lumivex.upscale import distributed

    def show(result, done, total):
        if result.status == distributed.FAILED:
            tally.failed += 1
            _report(f"[{done}/{total}] failed {result.job.source}: {result.error}")
            if args.verbose and result.details:
                print(result.details, file=sys.stderr, end="")
        elif result.status == distributed.WRITTEN:
            tally.written += 1
            print(f"[{done}/{total}] wrote {result.job.target}", flush=True)
        else:
            tally.skipped += 1
            line = (f"found {result.job.target}" if result.status == distributed.EXISTS
                    else f"{result.job.target} {_SKIPPED[result.status]}")
            print(f"[{done}/{total}] {line}", flush=True)

    started = time.perf_counter()
    # Each node has its own builtin networks; a user's network is found by a path that does not depend on
    # this process's working folder.
    model = "builtin" if model_name == "builtin" else str(model_path.absolute())
    results = distributed.upscale_jobs(jobs, model, options, workers=args.workers, address=args.ray,
                                       on_result=show)
    if results:
        print(f"{len(results)} files in {time.perf_counter() - started:.1f} s")


def describe_device(cp):
    """One line naming where the arrays live: the GPU's name, or the CPU stand-in."""
    if lumivex.testing.using_standin():
        return "CPU (NumPy stand-in for CuPy: no usable CUDA device)"
    device = cp.cuda.Device()
    name = cp.cuda.runtime.getDeviceProperties(device.id)["name"]
    return f"GPU {device.id}, {name.decode() if isinstance(name, bytes) else name}"


def _fail(error, verbose=False):
    _report(f"error: {first_line(error)}")
    if verbose:
        traceback.print_exception(error, file=sys.stderr)
    return EXIT_USAGE


def _report(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
