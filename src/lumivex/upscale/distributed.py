"""Upscaling many files at once across the GPUs (or CPUs) of a Ray cluster, with Ray Data.

    from lumivex.upscale import Settings, plan
    from lumivex.upscale.distributed import upscale_jobs

    settings = Settings("builtin", scale=2)
    planned = plan("photos", "photos_x2", 2)                # the same checks as the single-process tool
    results = upscale_jobs(planned.jobs, settings, workers=2)       # a local Ray instance
    results = upscale_jobs(planned.jobs, settings, address="auto")  # every GPU of a running cluster
    failed = [result for result in results if result.error]

Each worker is a long-lived Ray actor holding one GPU (`num_gpus=1`), or one CPU where the cluster has no
GPUs; it loads the network once and runs `runner.run_job` on job after job, as the single-process command
does, so every output is the one it writes, byte for byte, with the same name, bit depth, mode and alpha, and
every Result the same. A job travels as planned (nothing is probed again), with absolute paths: every worker
must see the inputs and the output folder at the same absolute paths (one machine, or a shared file system).

Files of a folder and segments of a video go from one queue: a video job is dealt out to every worker (one row
each), and each of them makes the segments of that video no other has made or holds, claimed one by one as in
the single-process command; the one that finds them all done joins them. The rows of a file come back as one
Result (`_merged`), so the command counts files, not segments.

Nothing is lost or done twice: outputs are written to a temporary name and moved into place without replacing
what another run put there (unless `overwrite`); each output is claimed before work (`lumivex.upscale.claims`,
the same claims as the single-process command's, so runs beside each other share the work); a worker skips a
file whose output exists (unless `overwrite`), so a re-run, or Ray's retry of a worker's files after that
worker died, never writes a file twice; the claim of a worker that died is broken by the retry (it belongs to
the same run); a file that fails is reported with its error and the others go on; a dead worker is restarted
by Ray, which retries its unfinished files, up to `ATTEMPTS` times per file.

Needs Ray (`pip install 'lumivex[distributed]'`); only the command's --workers and --ray import this module,
and nothing else in lumivex imports Ray.
"""

import contextlib
import dataclasses
import logging
import os
import pickle
import secrets
import signal
import socket
import threading
import warnings

from . import runner, signals
from .messages import first_line

# How often a file is tried when its worker dies under it; a file that keeps killing workers (say, one that
# crashes the decoder) is then reported as failed instead of being retried for ever.
ATTEMPTS = 4
# Files are dealt out to the workers in at most this many blocks: few enough for Ray's bookkeeping on a
# collection of millions, many enough that every worker stays busy to the end.
MAX_BLOCKS = 1000
CONNECT_TIMEOUT = 10  # seconds a cluster's head has to take a connection


class ClusterError(RuntimeError):
    """Ray is missing, or the cluster cannot run the workers asked for; one line for the user."""


def upscale_jobs(jobs, upscaler, *, overwrite=False, workers=None, address=None, on_result=None):
    """Upscales `jobs` (roads.Job, as planned by `roads.plan`) on Ray workers; returns their `runner.Result`s in
    the order of `jobs`.

    `upscaler` is an `upscaler.Settings` (a user's network by its absolute path), or a callable without
    arguments that returns an Upscaler (called in each worker, so it imports what it needs inside); each
    worker fits the tile and batch sizes left open to its own device. `overwrite` replaces existing outputs.
    `workers`: how
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
        if not any(job.shared for job in jobs):
            workers = min(workers, len(jobs))  # a worker without a file would only load the network
        return _run(ray, jobs, upscaler, overwrite, workers, gpus > 0, on_result)
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
    # Ray's own notices and warnings would come between the command's lines; what goes wrong with a file or
    # the run comes back as the command's own lines.
    settings = dict(include_dashboard=False, log_to_driver=False, logging_level=logging.ERROR)
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


def _run(ray, jobs, upscaler, overwrite, workers, on_gpus, on_result):
    with _quiet_and_tolerant(ray.data.DataContext.get_current()):
        return _share_out(ray, jobs, upscaler, overwrite, workers, on_gpus, on_result)


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


def _share_out(ray, jobs, upscaler, overwrite, workers, on_gpus, on_result):
    rows, shares = [], []
    for index, job in enumerate(jobs):
        pickled = pickle.dumps(dataclasses.replace(job, source=job.source.absolute(), target=job.target.absolute()))
        # Every worker may take a share of a video's segments; a file of one piece goes to one worker.
        shares.append(workers if job.shared else 1)
        rows += [{"index": index, "row": len(rows) + share, "job": pickled} for share in range(shares[-1])]
    dataset = ray.data.from_items(rows, override_num_blocks=min(len(rows), MAX_BLOCKS))
    resources = {"num_gpus": 1} if on_gpus else {"num_cpus": 1}
    run = secrets.token_hex(8)  # the workers' claims say they belong to this run (see claims.claim)
    # A CPU worker runs the network on the CPUs it was given, not on every core: with the network's default of
    # one thread per core, the workers of one machine would only take turns on the same cores.
    threads = None if on_gpus else resources["num_cpus"]
    # Ray Data queues a few rows on each worker ahead; the shares of a video must go to different workers
    # instead, one row each as a worker comes free.
    in_flight = 1 if any(job.shared for job in jobs) else None
    with warnings.catch_warnings():
        # Ray Data names no parameter of its own for the retries yet; the remote arguments still carry them.
        warnings.filterwarnings("ignore", "`ray_remote_args` is deprecated")
        results = dataset.map_batches(
            UpscaleWorker, fn_constructor_args=(upscaler, overwrite, threads, run),
            batch_size=1, compute=ray.data.ActorPoolStrategy(size=workers, max_tasks_in_flight_per_actor=in_flight),
            max_restarts=-1, max_task_retries=ATTEMPTS - 1, **resources)

    parts, by_index = {}, {}

    def settle(index, result):
        by_index[index] = result
        if on_result is not None:
            on_result(result, len(by_index), len(jobs))

    for row in results.iter_rows():
        index = int(row["index"])
        parts.setdefault(index, []).append(runner.Result(
            jobs[index], str(row["status"]), str(row["written"]), float(row["seconds"]), str(row["error"]),
            str(row["details"]), int(row["fell_back"]), (int(row["made"]), int(row["segments"]))))
        if len(parts[index]) == shares[index]:
            settle(index, _merged(parts[index]))
    for index, job in enumerate(jobs):
        if index not in by_index:
            settle(index, runner.Result(job, runner.FAILED, error=f"its worker died {ATTEMPTS} times while "
                                                                  f"upscaling it"))
    return [by_index[index] for index in range(len(jobs))]


# What the shares of one file say together: the first of these statuses any of them has.
_PRECEDENCE = [runner.WRITTEN, runner.FAILED, runner.OVERTAKEN, runner.SHARED, runner.CLAIMED, runner.EXISTS]


def _merged(results):
    """The one Result of a file from the Results of the workers that shared its work."""
    if len(results) == 1:
        return results[0]
    first = min(results, key=lambda result: _PRECEDENCE.index(result.status))
    made = sum(result.segments[0] for result in results)
    total = max(result.segments[1] for result in results)
    written = first.written
    if first.status == runner.SHARED:
        written = f"{made} of {total} segments done here, the rest by other runs"
    elif first.status == runner.CLAIMED and made:  # this run's segments went into another run's output
        first = dataclasses.replace(first, status=runner.SHARED)
        written = f"{made} of {total} segments done here, the rest by other runs"
    return dataclasses.replace(first, written=written, seconds=max(result.seconds for result in results),
                               fell_back=sum(result.fell_back for result in results), segments=(made, total))


class UpscaleWorker:
    """A Ray Data worker: loads the network once, fits its own device, then runs batches of jobs with
    `runner.run_job`, claiming each output as the single-process command does, for the run `run`."""

    def __init__(self, upscaler, overwrite=False, threads=None, run=None):
        made = upscaler() if callable(upscaler) else upscaler.load(threads=threads)
        # Each worker fits its own device, which the driver cannot see.
        self._upscaler, _ = made.fit()
        self._overwrite = overwrite
        self._run = run

    def __call__(self, batch):
        columns = {"status": [], "written": [], "seconds": [], "error": [], "details": [], "fell_back": [],
                   "made": [], "segments": []}
        for job, row in zip(batch["job"], batch["row"]):
            # Claims name the row, not only the run: Ray's retry of a row after its worker died breaks what
            # that worker held, and never what the workers sharing the same video hold.
            result = runner.run_job(pickle.loads(job), self._upscaler, overwrite=self._overwrite,
                                    run=f"{self._run}/{row}")
            for name in ("status", "written", "seconds", "error", "details", "fell_back"):
                columns[name].append(getattr(result, name))
            columns["made"].append(result.segments[0])
            columns["segments"].append(result.segments[1])
        return {"index": batch["index"], **columns}
