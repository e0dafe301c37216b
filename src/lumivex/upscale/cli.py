"""The `lumivex-upscale` command: upscale an image, an animation or a video, or every one in a folder, with a
network.

    lumivex-upscale INPUT [OUTPUT] [-s S | --width W --height H] [-n builtin|PATH.onnx] [--format F]
                    [--range {1,255}] [--bgr] [--strength S] [--tta]
                    [--precision auto|fp32|fp16|bf16]
                    [--tile-size N|auto] [--overlap N] [--batch-size N|auto] [--max-megapixels M] [--overwrite]
                    [--codec C] [--crf Q] [--preset P] [--dedup THRESHOLD] [--workers N] [--ray ADDRESS]
                    [--progress json] [-v] [--version]

A run goes parse, open (the network, once: `upscaler`), plan (every file checked before any work: `roads`),
execute (each job claimed, run and written atomically by `runner`, here or on Ray workers: `distributed`),
summarise; `progress` shows how it goes (bars, plain lines for logs, or JSON events for programs). A bad
input ends the run with a one-line error and exit status 2 before any work; a file that fails
later is one line, and the others are done; exit status 1 when any failed, 0 when all were done (--verbose
shows each failure's traceback). SIGINT or SIGTERM ends the run with one line and status 130 or 143, leaving no
temporary files or claims. Existing outputs are skipped unless --overwrite, so an interrupted run can be
resumed, and runs beside each other on one folder share the work.
"""

import argparse
import contextlib
import dataclasses
import importlib
import importlib.metadata
import pathlib
import sys

from lumivex.upscale import progress, roads, runner, signals, upscaler
from lumivex.upscale.messages import UsageError, first_line, positive_number

PROGRAM = "lumivex-upscale"
EXIT_USAGE = 2
EXIT_PARTIAL = 1
EXIT_STOPPED = 128  # and the signal's number
# Sub-commands: a first argument named here runs that module's main(argv) with the arguments after it.
SUBCOMMANDS = {"compare": "lumivex.upscale.compare"}


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=PROGRAM, description="Upscale an image or video, or every one in a folder, with a super-resolution "
                                  "network.")
    parser.add_argument("paths", nargs="*", type=pathlib.Path, metavar="INPUT [OUTPUT]",
                        help="image or video file, or a folder of them; then the output file or folder (default: "
                             "<input name>_x<scale> in the current folder, a folder for a folder; every output "
                             "keeps its input's format unless --format says otherwise, and in a folder its name)")
    parser.add_argument("-i", "--input", type=pathlib.Path, help="the input, as an option")
    parser.add_argument("-o", "--output", type=pathlib.Path, help="the output, as an option")
    parser.add_argument("-s", "--scale", type=positive_number, default=None,
                        help="enlargement factor, any positive number (default: the network's own); a network's "
                             "result is resized to a factor other than its own")
    parser.add_argument("--width", type=int, metavar="W",
                        help="the result's width in pixels instead of a factor (with --height alone: the height "
                             "follows the input's aspect); videos get even sides")
    parser.add_argument("--height", type=int, metavar="H", help="the result's height in pixels (see --width)")
    parser.add_argument("-n", "--model", default="builtin",
                        help="'builtin' (the network shipped with lumivex nearest at or above --scale) or the "
                             "path of an ONNX network")
    parser.add_argument("--format", choices=sorted(roads.image.FORMAT_SUFFIXES), type=str.lower,
                        help="still images' output format (default: the input's, where it holds the pixels)")
    parser.add_argument("--range", type=int, choices=(1, 255), dest="value_range", default=None,
                        help="the values the network takes and gives: 1 for 0-1, 255 for 0-255 (default: what "
                             "the file's metadata says, else 1)")
    parser.add_argument("--bgr", action="store_true", help="the network takes and gives blue, green, red")
    parser.add_argument("--strength", type=float, default=1.0, metavar="S",
                        help="how much of the network's result to keep, 0 to 1 (default 1): the rest is a plain "
                             "enlargement of the input to the same size")
    parser.add_argument("--tta", action="store_true",
                        help="test-time augmentation: run the network on the eight flips and transposes of each "
                             "window and average them; costs 8 times the network's time (networks with fixed "
                             "windows of unequal sides refuse it)")
    parser.add_argument("--precision", choices=upscaler.PRECISIONS, default="auto",
                        help="the network's arithmetic (default auto: fp16 on GPUs with tensor cores, else fp32); "
                             "a batch whose half-precision result holds NaN, infinities or only zeros runs again "
                             "at fp32, and the run says how many did")
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
    parser.add_argument("--dedup", type=float, default=0, metavar="THRESHOLD",
                        help="videos: a frame that differs from the one before by at most THRESHOLD levels "
                             "reuses its upscaled result instead of running the network (default 0: identical "
                             "frames only)")
    parser.add_argument("--workers", type=int, metavar="N",
                        help="share the files among N Ray workers, one per GPU (per CPU where there are no GPUs); "
                             "without --ray on a local Ray instance (needs lumivex[distributed])")
    parser.add_argument("--ray", metavar="ADDRESS",
                        help="run on the Ray cluster at ADDRESS ('auto': the one this machine belongs to), "
                             "by default with one worker per GPU of the cluster")
    parser.add_argument("--progress", choices=("json",),
                        help="json: one JSON object per line on stdout (plan, progress, result and summary events, "
                             "see the README) for programs; the other lines go to stderr")
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="show the whole traceback of each failure (for debugging a network)")
    # Flags that answer and end the run go here.
    parser.add_argument("--list-models", action=_ListModels, nargs=0,
                        help="list the models --model takes by name (downloaded once), with those already cached")
    parser.add_argument("--version", action="version", version=f"{PROGRAM} {importlib.metadata.version('lumivex')}")
    args = parser.parse_args(argv)
    # By position or by -i / -o: the input comes first, the output after it.
    paths = ([args.input] if args.input else []) + args.paths + ([args.output] if args.output else [])
    if not 1 <= len(paths) <= 2:
        parser.error(f"one input and at most one output are needed, got {len(paths)} paths")
    args.input, args.output = paths[0], paths[1] if len(paths) == 2 else None
    return args


class _ListModels(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        from lumivex.upscale.models import catalogue  # upscaler has chosen the arrays already

        print(catalogue.listing())
        parser.exit()


def _auto_or_count(text):
    if text == "auto":
        return None
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number or 'auto': {text!r}") from None


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] and argv[0] in SUBCOMMANDS:
        return importlib.import_module(SUBCOMMANDS[argv[0]]).main(argv[1:])
    args = parse_args(argv)
    tally = Tally()
    printer = progress.Printer.choose(args.progress)
    # With JSON events on stdout, every line for people goes to stderr.
    to_people = contextlib.redirect_stdout(sys.stderr) if printer.mode == "json" else contextlib.nullcontext()
    with printer, to_people:
        status = signals.StopOnSignals().run(lambda: _run(args, tally, printer), lambda: _interrupted(tally))
        printer.summary(tally, status, interrupted=status > EXIT_STOPPED)  # the shell's 128 + the signal
        return status


def _interrupted(tally):
    # What the unwinding has not removed yet (it may itself have been cut short by the signal).
    runner.abandon()
    _report(tally.interrupted())


@dataclasses.dataclass
class Tally:
    """What became of the files of a run, so far."""

    planned: int | None = None  # files to upscale, once the plan is made
    written: int = 0
    skipped: int = 0
    failed: int = 0
    fell_back: int = 0  # batches run again at fp32
    outputs: object = None  # runner.Placed of the planned outputs, taken before any work
    videos: list = dataclasses.field(default_factory=list)  # the planned jobs made in segments

    def summary(self):
        total = self.written + self.skipped + self.failed
        return (f"{total} image{'s' * (total != 1)}: {self.written} written, {self.skipped} skipped, "
                f"{self.failed} failed")

    def interrupted(self):
        if self.planned is None:
            return "interrupted before any image was upscaled"
        written = self.written if self.outputs is None else self.outputs.placed_since()  # what is on the disk
        kept = []
        for job in self.videos:
            found = roads.video.kept_segments(job.target)  # the segment files there now, whoever made them
            if found is not None and found[0] and not job.target.exists():
                kept.append(f"{found[0]} of {found[1]} segments of {job.source.name} kept for the next run")
        if kept:
            return f"interrupted: {written} of {self.planned} written; {'; '.join(kept)}"
        return f"interrupted: {written} of {self.planned} written; run again to finish"


def _run(args, tally, printer):
    try:
        size = _target_size(args)
        if size is None:
            settings = _settings(args, args.scale)
            printer.stage("loading the network")
            network = _open(args, settings)
            printer.stage("reading the inputs")
            plan = _plan(args, network.scale)
        else:
            # The files say which enlargement the size needs; the network is chosen for the largest.
            printer.stage("reading the inputs")
            plan = _plan(args, size)
            settings = _settings(args, max((size.factor(job.height, job.width) for job in plan.jobs), default=1))
            printer.stage("loading the network")
            network = _open(args, settings)
        printer.stage("measuring the memory")
        network, geometry = _fit(args, network, plan)
        plan.make_output_folder()
    except Exception as error:  # a network the runtime cannot load, or that fails on a probe window
        return _fail(error, args.verbose, printer)
    printer.stage(None)
    _announce(args, network, geometry)
    _say_resampling(network, plan)
    for job in plan.jobs:  # what a file's encoder cannot keep
        for note in getattr(job.checked, "notes", ()):
            print(f"note: {job.source.name}: {note}")
    printer.plan(plan)
    _start(plan, tally)
    printer.planned(plan)
    status = _execute(args, settings, network, plan, tally, printer)
    if status is None and plan.output_folder is not None:
        print(tally.summary())
    return status or (EXIT_PARTIAL if tally.failed else 0)


def _on_ray(args):
    return args.workers is not None or args.ray is not None


def _target_size(args):
    """The TargetSize of --width / --height, or None; UsageError for a combination that cannot be."""
    if args.width is None and args.height is None:
        return None
    if args.scale is not None:
        flag = "--width" if args.width is not None else "--height"
        raise UsageError(f"{flag} and --scale both size the result; give one of them")
    return upscaler.TargetSize(args.width, args.height)


def _settings(args, scale):
    # Each node has its own builtin networks; a Ray worker finds a user's network by a path that does not
    # depend on this process's working folder.
    model = str(pathlib.Path(args.model).absolute()) if args.model != "builtin" and _on_ray(args) else args.model
    return upscaler.Settings(model, scale, args.tile_size, args.overlap, args.batch_size, args.value_range,
                             args.bgr, _target_size(args), args.strength, args.tta,
                             args.precision)


def _open(args, settings):
    """The Upscaler of `settings`, its network loaded once (also where Ray workers load their own: the
    command states what they run)."""
    if _on_ray(args):
        _check_distributed(args)
    return settings.load()


def _plan(args, scale):
    image_settings = roads.image.Settings(args.max_megapixels, args.format)
    video_settings = roads.video.Settings(args.codec, args.crf, args.preset, args.dedup)
    return roads.plan(args.input, args.output, scale, overwrite=args.overwrite,
                      image_settings=image_settings, video_settings=video_settings)


def _say_resampling(network, plan):
    """A note when the network's factor does not reach the enlargement asked for: that part is resampled."""
    shortfalls = [network.shortfall(job.height, job.width) for job in plan.jobs]
    largest = max((value for value in shortfalls if value is not None), default=None)
    if largest is not None:
        reached = getattr(network.model, "scale", None) or network.scale
        print(f"note: the network enlarges x{reached:g}; up to x{largest:.3g} more is plain resampling "
              f"(a network of a larger factor does better)")


def _say_fell_back(tally):
    """Once per run: how many batches ran again at fp32 because their half-precision result was broken."""
    batches = tally.fell_back
    if batches:
        print(f"note: {batches} batch{'es' * (batches != 1)} gave NaN, infinite or all-zero values at half "
              f"precision and ran again at fp32")


def _announce(args, network, geometry):
    if _on_ray(args):
        from lumivex.upscale.distributed import describe_workers

        print(f"device: {describe_workers(args.workers, args.ray)}")
    else:
        print(f"device: {network.device}")
    print(f"model: {network.description}")
    if network.notice:
        print(f"note: {network.notice}")
    warning = network.overlap_warning()
    if warning:
        _report(warning)
    if geometry is not None:
        print(f"memory: {geometry}")


def _fit(args, network, plan):
    """(Upscaler, Geometry or None): the tile and batch sizes left open fitted to this machine's memory (Ray
    workers fit their own devices)."""
    if _on_ray(args) or not plan.jobs:
        return network, None
    return network.fit(width=max((job.width for job in plan.jobs), default=4096))


def _start(plan, tally):
    """Says what the plan found, and removes what runs that died left beside its outputs."""
    runner.tell_broken_claims(lambda line: print(line, flush=True))
    _sweep(plan)
    for path, reason in plan.problems:  # one form for every file not upscaled, whenever that showed
        _report(f"failed {path}: {reason.removeprefix(f'{path}: ')}")
    for job in plan.skipped:
        print(f"{job.target} exists; skipped (--overwrite replaces it)")
    tally.outputs = runner.Placed([job.target for job in plan.jobs])
    tally.videos = [job for job in plan.jobs if job.shared]
    tally.planned = len(plan.jobs)
    tally.skipped, tally.failed = len(plan.skipped), len(plan.problems)


def _sweep(plan, quiet=False):
    folder, removed = runner.sweep([job.target for job in plan.jobs + plan.skipped])
    if removed and not quiet:
        print(f"removed {removed} file{'s' * (removed != 1)} left in {folder} by runs that did not finish")


def _execute(args, settings, network, plan, tally, printer):
    """Runs the plan's jobs here or on Ray workers, a line per finished file; an exit status when the run as a
    whole broke down, else None."""
    def show(result, done, total):
        printer.result(result, _show(result, f"{network.size}" if network.size else f"x{network.scale:g}", tally,
                                     args.verbose))
        printer.stage(f"{done} of {total} files done")

    if not _on_ray(args):
        runner.run_here(plan.jobs, network, overwrite=args.overwrite, on_result=show, watch=printer.watch)
        _say_fell_back(tally)
        return None
    printer.stage(f"0 of {len(plan.jobs)} files done")
    from lumivex.upscale import distributed

    try:
        distributed.upscale_jobs(plan.jobs, settings, overwrite=args.overwrite, workers=args.workers,
                                 address=args.ray, on_result=show)
    except distributed.ClusterError as error:
        return _fail(error, printer=printer)
    finally:
        _sweep(plan, quiet=True)  # what workers killed by Ray left behind
    _say_fell_back(tally)
    return None


_SKIPPED = {
    runner.EXISTS: "was written by another run; skipped",
    runner.CLAIMED: "is being written by another run; skipped",
    runner.OVERTAKEN: "was written by another run while this one worked on it; kept that one",
}


def _show(result, enlargement, tally, verbose):
    """The one line of a finished job, counted before it is said: a signal may end the run right after the
    line, and its count must agree. Returns what became of it: "failed", "written" or "skipped"."""
    job = result.job
    tally.fell_back += result.fell_back
    if result.status == runner.FAILED:
        tally.failed += 1
        _report(f"failed {job.source}: {result.error}")
        if verbose:
            print(result.details, file=sys.stderr, end="")
        return "failed"
    if result.status == runner.WRITTEN:
        tally.written += 1
        print(f"wrote {job.target} ({result.written}, {enlargement}) in {result.seconds:.1f} s", flush=True)
        return "written"
    tally.skipped += 1  # not written by this run, and not failed: another run finishes it
    if result.status == runner.SHARED:
        print(f"{job.source}: {result.written}", flush=True)
    else:
        print(f"{job.target} {_SKIPPED[result.status]}", flush=True)
    return "skipped"


def _check_distributed(args):
    from lumivex.upscale import distributed

    if args.workers is not None and args.workers < 1:
        raise UsageError(f"--workers must be at least 1, got {args.workers}")
    try:
        distributed.require_ray()
    except distributed.ClusterError as error:
        raise UsageError(str(error)) from None


def _fail(error, verbose=False, printer=None):
    signals.check()  # a stop signal that the code it landed in turned into another error is no error
    _report(f"error: {first_line(error)}")
    if printer is not None:
        printer.error(first_line(error))
    if verbose:
        import traceback

        traceback.print_exception(error, file=sys.stderr)
    return EXIT_USAGE


def _report(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
