"""One way to run a job, for the command's own loop and for the Ray workers alike: claim the output, run the
job's road (which writes atomically), and say in a Result what became of it; one file's failure is a Result,
never an exception that stops the others.

    for job in plan.jobs:
        result = run_job(job, upscaler, overwrite=False)   # WRITTEN, EXISTS, CLAIMED, OVERTAKEN, SHARED or FAILED

A video is made in segments that runs share: each run makes those no other has made or holds, and the one that
finds them all done joins them (SHARED for the others, with how many segments each made).
"""

import dataclasses
import sys
import time
import traceback

from .arrays import array_module

array_module()  # before the roads and the models bind `cupy` (a Ray worker starts here)

from . import atomic, claims, images, signals  # noqa: E402
from .claims import CLAIMED, EXISTS, OVERTAKEN, SHARED, WRITTEN  # noqa: E402
from .messages import first_line  # noqa: E402
from .models import NetworkError  # noqa: E402
from .roads.video import VideoError  # noqa: E402

__all__ = ["CLAIMED", "EXISTS", "FAILED", "OVERTAKEN", "Placed", "Result", "SHARED", "WRITTEN", "abandon",
           "describe_failure", "run_here", "run_job", "sweep", "tell_broken_claims"]

FAILED = "failed"


@dataclasses.dataclass(frozen=True)
class Result:
    """What became of one job: `status` WRITTEN, EXISTS (found already there when its turn came), CLAIMED
    (another run was making it), OVERTAKEN (another run put it in place first), SHARED (some of its segments
    made here, the rest and the file by other runs) or FAILED; for a file written, what was written
    (`written`, one line; for SHARED, what was done here) and how long it took; for a failure, `error` (one
    line) and `details` (the traceback); `fell_back`, how many of its batches ran again at fp32
    (models.precision); `segments`, for a video made in segments, (made here, of all)."""

    job: object  # roads.Job
    status: str
    written: str = ""
    seconds: float = 0.0
    error: str = ""
    details: str = ""
    fell_back: int = 0
    segments: tuple = (0, 0)


def run_job(job, upscaler, *, overwrite=False, run=None, progress=None):
    """Upscales `job` with `upscaler` unless another run has it or made it; returns its Result. `run` names the
    run this process works for (see `claims.claim`); `progress(done, total)` as the road counts."""
    started = time.perf_counter()
    written = []
    fell_back = getattr(upscaler.model, "fell_back", 0)

    def write():
        written.append(job.run(upscaler, replace=overwrite, progress=progress))

    try:
        # An existing output is found done: by an earlier run, by another run beside this one, or by this run's
        # attempt before a retry.
        if job.shared:  # claimed part by part, and as a whole only to be joined
            status, report = job.share(upscaler, overwrite=overwrite, run=run, progress=progress)
            written.append(report)
        else:
            status = claims.write_once(job.target, write, overwrite=overwrite, run=run)
    except Exception as error:  # one file's failure, wherever it arose, must not stop the others
        signals.check()  # unless it is a stop signal that the code it landed in turned into another error
        return Result(job, FAILED, error=describe_failure(error, job.source),
                      details="".join(traceback.format_exception(error)),
                      fell_back=getattr(upscaler.model, "fell_back", 0) - fell_back)
    report = written[0] if written else None
    text = "" if report is None else report.shared() if status == SHARED else str(report)
    return Result(job, status, text if status in (WRITTEN, SHARED) else "", time.perf_counter() - started,
                  fell_back=getattr(upscaler.model, "fell_back", 0) - fell_back,
                  segments=getattr(report, "segments", (0, 0)))


def run_here(jobs, upscaler, *, overwrite=False, on_result=None, watch=None):
    """Runs `jobs` one after the other in this process; `on_result(result, done, total)` as each finishes.
    `watch(job)` is a context giving the road's progress(done, total) for that job (see `progress.Printer`);
    None shows a progress bar on stderr where it is a terminal."""
    if watch is None:
        from .progress import Printer

        watch = Printer("bar" if sys.stderr.isatty() else "lines").watch
    for done, job in enumerate(jobs, 1):
        with watch(job) as progress:
            result = run_job(job, upscaler, overwrite=overwrite, progress=progress)
        if on_result is not None:
            on_result(result, done, len(jobs))


def describe_failure(error, source):
    """One line for the user saying why `source` could not be upscaled: the first line of `error`'s message,
    after the name of its type where the message alone would not say what failed (a network's errors)."""
    message = first_line(error).removeprefix(f"{source}: ")
    if not isinstance(error, (images.ImageError, VideoError, NetworkError, OSError, MemoryError)):
        message = f"{type(error).__name__}: {message}"
    return message


def sweep(targets):
    """Removes what runs that died left beside `targets` (their temporaries and claims); (folder, how many)."""
    if not targets:
        return None, 0
    folder = targets[0].parent
    return folder, claims.sweep(folder, [target.name for target in targets])


def abandon():
    """Removes this process's temporaries and claims: a run cut short leaves nothing behind."""
    atomic.remove_live_temporaries()
    claims.release_all()


# What an interrupted run counts as written: the outputs put in place since the plan, whatever the run itself
# had counted when the signal came.
Placed = atomic.Snapshot


def tell_broken_claims(say):
    """`say(line)` is called whenever a claim that could not be read is broken as stale."""
    claims.notify = say
