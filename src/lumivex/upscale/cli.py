"""The `lumivex-upscale` command: upscale an image file, or every image of a folder, with a network.

    lumivex-upscale INPUT [OUTPUT] [--scale {2,4}] [--model builtin|PATH.onnx] [--tile-size N]
                    [--overlap N] [--batch-size N] [--overwrite] [--workers N] [--ray ADDRESS]

Everything that can be checked is checked before any pixel is processed; a bad input ends the run with a
one-line error and exit status 2. In folder mode an unusable image is reported and the others are done (exit
status 1 at the end). Existing outputs are skipped unless --overwrite, so an interrupted folder run can be
resumed. Runs on the GPU when CuPy sees one, else on the CPU with lumivex's NumPy stand-in for CuPy.

With --workers or --ray the files are shared out among Ray workers (`lumivex.upscale.distributed`, needs
`lumivex[distributed]`): one per GPU, each loading the network once, on a local Ray instance or a cluster.
"""

import argparse
import pathlib
import sys
import time

import lumivex.cpu_fallback
from lumivex.upscale.defaults import DEFAULT_BATCH_SIZE, DEFAULT_OVERLAP, DEFAULT_TILE_SIZE

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
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    cp = lumivex.cpu_fallback.install_cupy_standin()  # before anything binds cupy
    from lumivex.upscale import files, images, models

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
    except (files.UsageError, FileNotFoundError, ValueError) as error:
        return _fail(error)

    if on_ray:
        from lumivex.upscale.distributed import describe_workers

        print(f"device: {describe_workers(args.workers, args.ray)}")
    else:
        print(f"device: {describe_device(cp)}")
    print(f"model: {model.description}")
    if model.notice:
        print(f"note: {model.notice}")
    for path, reason in plan.problems:
        _report(f"skipped {path}: {reason.removeprefix(f'{path}: ')}")
    for job in plan.skipped:
        print(f"{job.target} exists; skipped (--overwrite replaces it)")
    if plan.output_folder is not None and plan.jobs:
        plan.output_folder.mkdir(exist_ok=True)

    failures = len(plan.problems)
    if on_ray:
        from lumivex.upscale.distributed import ClusterError

        try:
            failures += _upscale_distributed(plan.jobs, args.model, model_path, options, args)
        except ClusterError as error:
            return _fail(error)
    else:
        for job in plan.jobs:
            try:
                _upscale_one(job, model, options)
            except (images.ImageError, MemoryError, OSError) as error:
                failures += 1
                _report(f"failed {job.source}: {str(error).removeprefix(f'{job.source}: ')}")
    if failures:
        _report(f"{failures} of {len(plan.problems) + len(plan.jobs) + len(plan.skipped)} images not upscaled")
        return EXIT_PARTIAL
    return 0


def _upscale_one(job, model, options):
    from tqdm import tqdm

    from lumivex.upscale import files

    started = time.perf_counter()
    with tqdm(desc=job.source.name, unit="tile", file=sys.stderr, leave=False, disable=None) as bar:
        def progress(done, total):
            bar.total = total
            bar.update(done - bar.n)

        pixel_format = files.process_file(job.source, job.target, model, options, progress)
    print(f"wrote {job.target} ({pixel_format}, x{options.scale}) in {time.perf_counter() - started:.1f} s")


def _check_distributed(args):
    from lumivex.upscale import distributed, files

    if args.workers is not None and args.workers < 1:
        raise files.UsageError(f"--workers must be at least 1, got {args.workers}")
    try:
        distributed.require_ray()
    except distributed.ClusterError as error:
        raise files.UsageError(str(error)) from None


def _upscale_distributed(jobs, model_name, model_path, options, args):
    """Upscales `jobs` on Ray workers, a line per finished file; returns the number that failed."""
    from lumivex.upscale import distributed

    def show(result, done, total):
        if result.status == distributed.FAILED:
            _report(f"[{done}/{total}] failed {result.job.source}: {result.error}")
        else:
            print(f"[{done}/{total}] {'wrote' if result.status == distributed.WRITTEN else 'found'} "
                  f"{result.job.target}", flush=True)

    started = time.perf_counter()
    # Each node has its own builtin networks; a user's network is found by a path that does not depend on
    # this process's working folder.
    model = "builtin" if model_name == "builtin" else str(model_path.absolute())
    results = distributed.upscale_jobs(jobs, model, options, workers=args.workers, address=args.ray,
                                       on_result=show)
    if results:
        print(f"{len(results)} files in {time.perf_counter() - started:.1f} s")
    return sum(result.status == distributed.FAILED for result in results)


def describe_device(cp):
    """One line naming where the arrays live: the GPU's name, or the CPU stand-in."""
    if lumivex.cpu_fallback.using_standin():
        return "CPU (NumPy stand-in for CuPy: no usable CUDA device)"
    device = cp.cuda.Device()
    name = cp.cuda.runtime.getDeviceProperties(device.id)["name"]
    return f"GPU {device.id}, {name.decode() if isinstance(name, bytes) else name}"


def _fail(error):
    _report(f"error: {error}")
    return EXIT_USAGE


def _report(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
