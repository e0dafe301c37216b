"""The `lumivex-upscale` command: upscale an image file, or every image of a folder, with a network.

    lumivex-upscale INPUT [OUTPUT] [--scale S] [--model builtin|PATH.onnx] [--range {1,255}] [--bgr]
                    [--tile-size N|auto] [--overlap N] [--batch-size N|auto] [--max-megapixels M] [--overwrite]
                    [--codec C] [--crf Q] [--preset P] [--workers N] [--ray ADDRESS] [-v]

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

import lumivex.cpu_fallback
from lumivex.upscale import atomic, claims, signals
from lumivex.upscale.messages import first_line

PROGRAM = "lumivex-upscale"
EXIT_USAGE = 2
EXIT_PARTIAL = 1


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Upscale an image or video, or every one in a folder, with a super-resolution "
                                  "network.")
    parser.add_argument("input", type=pathlib.Path, help="image or video file, or a folder of them")
    parser.add_argument("output", nargs="?", type=pathlib.Path,
                        help="output file or folder (default: <input name>_x<scale> with .png, .tif for TIFF and "
                             "float images, the input's suffix for videos and animations; or the folder "
                             "<input name>_x<scale>; in the current folder)")
    parser.add_argument("--scale", type=_positive_number, default=None,
                        help="enlargement factor, any positive number (default: the network's own; 'builtin' "
                             "takes the shipped network nearest at or above it); a network's result is resized "
                             "to a factor other than its own")
    parser.add_argument("--model", default="builtin",
                        help="'builtin' (a network shipped with lumivex) or the path of an ONNX network")
    parser.add_argument("--range", type=int, choices=(1, 255), dest="value_range", default=None,
                        help="the values the network takes and gives: 1 for 0-1, 255 for 0-255 (default: what "
                             "the file's metadata says, else 1)")
    parser.add_argument("--bgr", action="store_true", help="the network takes and gives blue, green, red")
    parser.add_argument("--tile-size", type=_auto_or_count, default=None, metavar="N|auto",
                        help="side of the windows the network sees, in input pixels (default auto: from the "
                             "free memory)")
    parser.add_argument("--overlap", type=int, default=None,
                        help="pixels neighbouring windows share (default: what the network needs, twice its "
                             "receptive radius, read from the file or measured once)")
    parser.add_argument("--batch-size", type=_auto_or_count, default=None, metavar="N|auto",
                        help="windows per network call (default auto: from the free memory)")
    parser.add_argument("--max-megapixels", type=float, default=None,
                        help="largest input image read, in megapixels (default: Pillow's limit against "
                             "decompression bombs, about 89)")
    parser.add_argument("--overwrite", action="store_true", help="replace outputs that already exist")
    parser.add_argument("--codec", help="videos: encoder or codec family (h264, hevc, vp9, av1, nvenc; default: "
                                        "the input's)")
    parser.add_argument("--crf", type=int, help="videos: the encoder's constant-quality value (default: about "
                                                "CRF 18 of x264)")
    parser.add_argument("--preset", help="videos: the encoder's speed preset")
    parser.add_argument("--workers", type=int, metavar="N",
                        help="share the files among N Ray workers, one per GPU (per CPU where there are no GPUs); "
                             "without --ray on a local Ray instance (needs lumivex[distributed])")
    parser.add_argument("--ray", metavar="ADDRESS",
                        help="run on the Ray cluster at ADDRESS ('auto': the one this machine belongs to), "
                             "by default with one worker per GPU of the cluster")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show the whole traceback of each failure (for debugging a network)")
    return parser.parse_args(argv)


def _positive_number(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be positive, got {text}")
    return int(value) if value.is_integer() else value


def _auto_or_count(text):
    if text == "auto":
        return None
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number or 'auto': {text!r}") from None


def main(argv=None):
    args = parse_args(argv)
    tally = Tally()
    return signals.StopOnSignals().run(lambda: _run(args, tally), lambda: _interrupted(tally))


def _interrupted(tally):
    # What the unwinding has not removed yet (it may itself have been cut short by the signal).
    atomic.remove_live_temporaries()
    claims.release_all()
    _report(tally.interrupted())


@dataclasses.dataclass
class Tally:
    """What became of the images of a run, so far."""

    planned: int | None = None  # images to upscale, once the plan is made
    written: int = 0
    skipped: int = 0
    failed: int = 0
    outputs: atomic.Snapshot | None = None  # of the planned outputs, before any work

    def summary(self):
        total = self.written + self.skipped + self.failed
        return (f"{total} image{'s' * (total != 1)}: {self.written} written, {self.skipped} skipped, "
                f"{self.failed} failed")

    def interrupted(self):
        if self.planned is None:
            return "interrupted before any image was upscaled"
        written = self.written if self.outputs is None else self.outputs.placed_since()  # what is on the disk
        return f"interrupted: {written} of {self.planned} written; run again to finish"


def _run(args, tally):
    cp = lumivex.cpu_fallback.install_cupy_standin()  # before anything binds cupy
    from lumivex.upscale import files, models

    try:
        options = files.Options(args.scale, args.tile_size, args.overlap, args.batch_size, args.overwrite,
                                args.value_range, args.bgr, args.max_megapixels, args.codec, args.crf, args.preset)
        if args.model == "builtin":
            model_path = models.builtin_path(models.builtin_scale(args.scale))
        else:
            model_path = args.model = pathlib.Path(args.model)
            if not model_path.is_file():
                raise files.UsageError(f"{model_path}: no such model file")
        on_ray = args.workers is not None or args.ray is not None
        if on_ray:
            _check_distributed(args)
        model = files.open_model(model_path, options)
        # The factor produced names the outputs: the one asked for, else the network's own.
        options = dataclasses.replace(options, scale=model.scale if args.scale is None else args.scale)
        plan = files.plan_jobs(args.input, args.output, options)
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
    _warn_of_small_overlap(model, options)
    if not on_ray and plan.jobs and (options.tile_size is None or options.batch_size is None):
        try:
            options = _fit_memory(model, options, plan)
        except Exception as error:  # the network failing on a small probe window: it will not do the work
            return _fail(error, args.verbose)
    claims.notify = lambda line: print(line, flush=True)  # says when an unreadable claim is broken
    _sweep(plan)
    for path, reason in plan.problems:  # one form for every image not upscaled, whenever that showed
        _report(f"failed {path}: {reason.removeprefix(f'{path}: ')}")
    for job in plan.skipped:
        print(f"{job.target} exists; skipped (--overwrite replaces it)")
    tally.outputs = atomic.Snapshot([job.target for job in plan.jobs])
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
                signals.check()  # unless it is a stop signal that the code it landed in turned into another error
                tally.failed += 1
                _report(f"failed {job.source}: {files.describe_failure(error, job.source)}")
                if args.verbose:
                    traceback.print_exception(error, file=sys.stderr)
    if plan.output_folder is not None:
        print(tally.summary())
    return EXIT_PARTIAL if tally.failed else 0


def _warn_of_small_overlap(model, options):
    needed = getattr(model, "radius", None)
    if options.overlap is not None and needed is not None and options.overlap // 2 < needed:
        _report(f"warning: --overlap {options.overlap} gives each window {options.overlap // 2} pixels of context; "
                f"{model.name} needs {needed} (--overlap {2 * needed}) for tiles without seams")


def _fit_memory(model, options, plan):
    """Options with the tile and batch sizes left to choose chosen from the memory at hand, said once."""
    from lumivex.upscale import memory, pipeline

    widths = [job.size[1] for job in plan.jobs if job.size is not None]
    overlap = pipeline.default_overlap(model) if options.overlap is None else options.overlap
    geometry = memory.choose_geometry(model, scale=getattr(model, "scale", 2), overlap=overlap,
                                      width=max(widths, default=4096), tile_size=options.tile_size,
                                      batch_size=options.batch_size)
    print(f"memory: {geometry}")
    return dataclasses.replace(options, tile_size=geometry.tile_size, batch_size=geometry.batch_size)


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
        print(f"wrote {job.target} ({written[0]}, x{options.scale:g}) in {time.perf_counter() - started:.1f} s",
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
    if lumivex.cpu_fallback.using_standin():
        return "CPU (NumPy stand-in for CuPy: no usable CUDA device)"
    device = cp.cuda.Device()
    name = cp.cuda.runtime.getDeviceProperties(device.id)["name"]
    return f"GPU {device.id}, {name.decode() if isinstance(name, bytes) else name}"


def _fail(error, verbose=False):
    signals.check()  # a stop signal that the code it landed in turned into another error is no error
    _report(f"error: {first_line(error)}")
    if verbose:
        traceback.print_exception(error, file=sys.stderr)
    return EXIT_USAGE


def _report(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
