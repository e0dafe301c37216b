"""Upscaling many image files at once across the GPUs (or CPUs) of a Ray cluster, with Ray Data.

    from lumivex.upscale.files import Options, plan_jobs
    from lumivex.upscale.distributed import upscale_jobs

    options = Options(scale=2)
    plan = plan_jobs("photos", "photos_x2", options)        # the same checks as the single-process tool
    results = upscale_jobs(plan.jobs, "builtin", options, workers=2)       # a local Ray instance
    results = upscale_jobs(plan.jobs, "builtin", options, address="auto")  # every GPU of a running cluster
    failed = [result for result in results if result.error]

Each worker is a long-lived Ray actor holding one GPU (`num_gpus=1`), or one CPU where the cluster has no
GPUs; it loads the network once and runs `files.process_file` on file after file, so every output is the one
the single-process tool writes, byte for byte, with the same name, bit depth, mode and alpha. A worker sets up
`cupy` itself (the NumPy stand-in where it sees no CUDA device). Files travel by path: every worker must see
the inputs and the output folder at the same absolute paths (one machine, or a shared file system).

Nothing is lost or done twice: outputs are written to a temporary name and moved into place without replacing
what another run put there (unless `overwrite`); each output is claimed before work (`lumivex.upscale.claims`,
the same claims as the single-process command's, so runs beside each other share the work); a worker skips a
file whose output exists (unless `overwrite`), so a re-run, or Ray's retry of a worker's files after that
worker died, never writes a file twice; the claim of a worker that died is broken by the retry (it belongs to
the same run); a file that fails is reported with its error and the others go on; a dead worker is restarted
by Ray, which retries its unfinished files, up to `ATTEMPTS` times per file.

Needs Ray (`pip install 'lumivex[distributed]'`); nothing else in lumivex imports this module or Ray.
"""

import contextlib
import dataclasses
import logging
import os
import pathlib
import secrets
import signal
import socket
import threading
import traceback
import warnings

from . import claims, signals
from .claims import CLAIMED, EXISTS, OVERTAKEN, WRITTEN
from .messages import first_line

# How often a file is tried when its worker dies under it; a file that keeps killing workers (say, one that
# crashes the decoder) is then reported as failed instead of being retried for ever.
ATTEMPTS = 4
# Files are dealt out to the workers in at most this many blocks: few enough for Ray's bookkeeping on a
# collection of millions, many enough that every worker stays busy to the end.
MAX_BLOCKS = 1000
CONNECT_TIMEOUT = 10  # seconds a cluster's head has to take a connection
FAILED = "failed"


class ClusterError(RuntimeError):
    """Ray is missing, or the cluster cannot run the workers asked for; one line for the user."""


@dataclasses.dataclass(frozen=True)
class Result:
    """What became of one job: `status` WRITTEN, EXISTS (found already there when its turn came), CLAIMED
    (another run was making it), OVERTAKEN (another run put it in place first) or FAILED, with `error` (one
    line) and `details` (the traceback) for a failure."""

    job: object  # files.Job
    status: str
    error: str = ""
    details: str = ""


def upscale_jobs(jobs, model, options, *, workers=None, address=None, on_result=None):
    """Upscales `jobs` (files.Job, as planned by `files.plan_jobs`) on Ray workers; returns their Results in
    the order of `jobs`.

    `model` is "builtin", the path of an ONNX network, or a callable without arguments that returns a model
    (called in each worker after `cupy` is set up there, so it imports what it needs inside). `workers`: how
    many (default: one per GPU of the cluster, else one per CPU). `address`: the Ray cluster to join ("auto"
    for the one this machine is a node of, else the head's address); None uses the Ray instance this process
    already runs, or starts a local one. `on_result(result, done, total)` is called as each file finishes.
    Raises ClusterError when Ray or the resources are missing (before any work), or when the run breaks down
    as a whole (the files done by then stay done).
    """
    ray = require_ray()
    jobs = list(jobs)
    if not jobs:
        return []
    started = _connect(ray, address, workers)
    try:
        resources = ray.cluster_resources()
        gpus, cpus = int(resources.get("GPU", 0)), int(resources.get("CPU", 0))
        available, kind = (gpus, "GPUs") if gpus else (cpus, "CPUs")
        workers = available if workers is None else workers
        if not 1 <= workers <= available:
            raise ClusterError(f"{workers} workers asked for, but the Ray cluster has {available} {kind}")
        workers = min(workers, len(jobs))  # a worker without a file would only load the network
        return _run(ray, jobs, model, options, workers, gpus > 0, on_result)
    except ray.exceptions.RayError as error:  # say, a worker that cannot load the network
        raise ClusterError(f"the Ray run stopped: {first_line(error)}") from None
    finally:
        if started:
            ray.shutdown()


def describe_workers(workers, address):
    """One line saying where the work goes, for the command's device line."""
    where = "a local Ray instance" if address is None else f"the Ray cluster at {address}"
    count = "one worker per GPU (or CPU)" if workers is None else f"{workers} worker{'s' * (workers != 1)}"
    return f"{count} on {where}"


def require_ray():
    """The `ray` module, with Ray Data; ClusterError when Ray is not installed."""
    try:
        import ray
        import ray.data
    except ImportError as error:
        raise ClusterError(f"upscaling on several workers needs Ray ({error}); "
                           "install it with: pip install 'lumivex[distributed]'") from None
    return ray


def _connect(ray, address, workers):
    """Joins or starts Ray unless this process is already connected; True when it started a connection."""
    if ray.is_initialized():
        return False
    settings = dict(include_dashboard=False, log_to_driver=False, logging_level=logging.WARNING)
    if address is None:
        # A new local instance, even where `ray start` runs a cluster on this machine, with at least as many
        # CPU slots as workers, so CPU workers never wait for each other.
        address = "local"
        settings["num_cpus"] = max(workers or 1, os.cpu_count() or 1)
    # Ray sets a SIGTERM handler of its own in the driver that exits at once; a caller that handles SIGTERM
    # (the command, which removes its claims and temporary files first) keeps its own.
    main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.getsignal(signal.SIGTERM) if main_thread else None
    _check_answers(address)
    try:
        ray.init(address=address, **settings)
    except (ConnectionError, RuntimeError, ValueError) as error:
        where = "start a local Ray instance" if address == "local" else f"reach the Ray cluster at {address}"
        raise ClusterError(f"cannot {where}: {first_line(error)}") from None
    except SystemExit as leaving:  # Ray's own SIGTERM handler, in place while it connects, exits so
        if leaving.code != signal.SIGTERM:
            raise
        raise signals.Interrupted(signal.SIGTERM) from None
    finally:
        if previous not in (None, signal.SIG_DFL):
            signal.signal(signal.SIGTERM, previous)
    return True


def _check_answers(address):
    """ClusterError unless the head at `address` ("host:port") takes a connection within CONNECT_TIMEOUT:
    Ray itself retries an address nobody answers at for ever."""
    host, _, port = address.rpartition(":")
    if address in ("local", "auto") or "://" in address or not port.isdigit():
        return
    try:
        socket.create_connection((host.strip("[]") or "127.0.0.1", int(port)), timeout=CONNECT_TIMEOUT).close()
    except TimeoutError:
        raise ClusterError(f"cannot reach the Ray cluster at {address}: no answer in {CONNECT_TIMEOUT} s") from None
    except OSError as error:
        raise ClusterError(f"cannot reach the Ray cluster at {address}: {error.strerror or error}") from None


def _run(ray, jobs, model, options, workers, on_gpus, on_result):
    with _quiet_and_tolerant(ray.data.DataContext.get_current()):
        return _share_out(ray, jobs, model, options, workers, on_gpus, on_result)


@contextlib.contextmanager
def _quiet_and_tolerant(context):
    """Ray Data set up for this run, and put back afterwards: no progress bars or notices of its own (they
    would drown the command's lines), and a block whose worker died ATTEMPTS times dropped instead of failing
    the whole run (its files come back missing and are reported)."""
    settings = {"enable_progress_bars": False, "print_on_execution_start": False, "max_errored_blocks": -1}
    saved = {name: getattr(context, name) for name in settings}
    logger = logging.getLogger("ray.data")
    level = logger.level
    try:
        for name, value in settings.items():
            setattr(context, name, value)
        logger.setLevel(logging.ERROR)
        yield
    finally:
        for name, value in saved.items():
            setattr(context, name, value)
        logger.setLevel(level)


def _share_out(ray, jobs, model, options, workers, on_gpus, on_result):
    rows = [{"index": index, "source": str(job.source.absolute()), "target": str(job.target.absolute())}
            for index, job in enumerate(jobs)]
    dataset = ray.data.from_items(rows, override_num_blocks=min(len(rows), MAX_BLOCKS))
    resources = {"num_gpus": 1} if on_gpus else {"num_cpus": 1}
    run = secrets.token_hex(8)  # the workers' claims say they belong to this run (see claims.claim)
    # A CPU worker runs the network on the CPUs it was given, not on every core: with the network's default of
    # one thread per core, the workers of one machine would only take turns on the same cores.
    threads = None if on_gpus else resources["num_cpus"]
    with warnings.catch_warnings():
        # Ray Data names no parameter of its own for the retries yet; the remote arguments still carry them.
        warnings.filterwarnings("ignore", "`ray_remote_args` is deprecated")
        results = dataset.map_batches(
            UpscaleWorker, fn_constructor_args=(model, dataclasses.asdict(options), threads, run),
            batch_size=1, compute=ray.data.ActorPoolStrategy(size=workers),
            max_restarts=-1, max_task_retries=ATTEMPTS - 1, **resources)

    by_index = {}
    for row in results.iter_rows():
        index = int(row["index"])
        result = Result(jobs[index], str(row["status"]), str(row["error"]), str(row["details"]))
        by_index[index] = result
        if on_result is not None:
            on_result(result, len(by_index), len(jobs))
    for index, job in enumerate(jobs):
        if index not in by_index:
            by_index[index] = result = Result(job, FAILED, f"its worker died {ATTEMPTS} times while upscaling it")
            if on_result is not None:
                on_result(result, len(by_index), len(jobs))
    return [by_index[index] for index in range(len(jobs))]


class UpscaleWorker:
    """A Ray Data worker: sets up `cupy`, loads the model once, then upscales batches of (source, target),
    claiming each output as the single-process command does (`claims.write_once`), for the run `run`."""

    def __init__(self, model, options, threads=None, run=None):
        import lumivex.cpu_fallback

        lumivex.cpu_fallback.install_cupy_standin()  # before anything binds cupy
        from . import files

        self._files = files
        self._options = files.Options(**options)
        self._run = run
        self._model = model() if callable(model) else files.open_model(model, self._options, threads=threads)
        if self._options.tile_size is None or self._options.batch_size is None:
            # Each worker fits its own device, which the driver cannot see.
            from . import memory, pipeline

            overlap = self._options.overlap
            geometry = memory.choose_geometry(
                self._model, scale=getattr(self._model, "scale", 2), tile_size=self._options.tile_size,
                overlap=pipeline.default_overlap(self._model) if overlap is None else overlap,
                batch_size=self._options.batch_size)
            self._options = dataclasses.replace(self._options, tile_size=geometry.tile_size,
                                                batch_size=geometry.batch_size)

    def __call__(self, batch):
        statuses, errors, details = [], [], []
        for source, target in zip(batch["source"], batch["target"]):
            status, error, detail = self._upscale(pathlib.Path(source), pathlib.Path(target))
            statuses.append(status)
            errors.append(error)
            details.append(detail)
        return {"index": batch["index"], "status": statuses, "error": errors, "details": details}

    def _upscale(self, source, target):
        def write():
            self._files.process_file(source, target, self._model, self._options)

        try:
            # An existing output is found done: by an earlier run, by another run beside this one, or by this
            # run's attempt before a retry.
            status = claims.write_once(target, write, overwrite=self._options.overwrite, run=self._run)
        except Exception as error:  # one bad file must not stop the thousands after it
            return FAILED, self._files.describe_failure(error, source), "".join(traceback.format_exception(error))
        return status, "", ""
