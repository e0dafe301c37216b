"""How a run shows its progress, in one of three forms chosen once per run (`Printer.choose`):

- "json": one JSON object per line on stdout for programs that wrap the command (the events are described in
  the README, a stable interface); the human lines go to stderr;
- "bar": a progress bar per file on stderr, for a terminal;
- "lines": without a terminal, a plain line on stderr every few seconds while the run works (a log is never
  silent for minutes, through a long network probe or a video's export too).

The local loop and the Ray executor both report through the same Printer: files as they finish (`result`),
and, where the work runs in this process, its units as they are done (`watch`).
"""

import contextlib
import json
import os
import sys
import threading
import time

__all__ = ["EVENTS_SECONDS", "Printer"]

EVENTS_SECONDS = 0.25  # the least time between two progress events: at most a few per second
# Seconds between the plain lines of a run without a terminal; LUMIVEX_PROGRESS_SECONDS changes it.
LINE_SECONDS = float(os.environ.get("LUMIVEX_PROGRESS_SECONDS", "5"))


class Printer:
    """Where the run's progress goes. `out` receives the JSON events, `err` the bars and plain lines."""

    def __init__(self, mode, *, out=None, err=None):
        if mode not in ("json", "bar", "lines"):
            raise ValueError(f"no progress form {mode!r}")
        self.mode = mode
        self._out, self._err = out or sys.stdout, err or sys.stderr
        self._lock = threading.Lock()
        self._started = time.monotonic()
        self._files, self._finished = 0, 0
        self._state = None  # what the next plain line says
        self._ticker = None

    @classmethod
    def choose(cls, asked=None, *, out=None, err=None):
        """The Printer of `--progress` (None: bars on a terminal, plain lines otherwise)."""
        err = err or sys.stderr
        if asked == "json":
            return cls("json", out=out, err=err)
        return cls("bar" if err.isatty() else "lines", out=out, err=err)

    def __enter__(self):
        if self.mode == "lines":
            self._ticker = _Ticker(self._tick, LINE_SECONDS)
        return self

    def __exit__(self, *exc_info):
        if self._ticker is not None:
            self._ticker.stop()

    def stage(self, text):
        """What the run is doing before or between files ("loading the network"), for the plain lines."""
        with self._lock:
            self._state = text

    def plan(self, plan):
        """The plan event: the files to upscale, and those found done or failing while planning."""
        self._files = len(plan.jobs)
        self._emit(event="plan", files=len(plan.jobs), skipped=len(plan.skipped), failed=len(plan.problems),
                   jobs=[{"source": str(job.source), "target": str(job.target), "kind": job.road, "unit": job.unit,
                          "total": job.total} for job in plan.jobs])

    def planned(self, plan):
        """The result events of the files settled while planning: outputs found there, inputs refused."""
        for job in plan.skipped:
            self._emit(event="result", source=str(job.source), target=str(job.target), status="skipped",
                       reason="exists", seconds=0.0)
        for path, reason in plan.problems:
            self._emit(event="result", source=str(path), target=None, status="failed",
                       reason=reason.removeprefix(f"{path}: "), seconds=0.0)

    @contextlib.contextmanager
    def watch(self, job):
        """A context for the work on `job` in this process, giving the road's progress(done, total)."""
        if self.mode == "bar":
            from tqdm import tqdm

            with tqdm(desc=job.source.name, unit=job.unit, file=self._err, leave=False) as bar:
                def progress(count, total):
                    bar.total = total
                    bar.update(count - bar.n)

                yield progress
            return
        meter = _Meter(job)
        with self._lock:
            self._state = meter

        def progress(count, total):
            if meter.update(count, total) and self.mode == "json":
                self._emit(event="progress", **meter.fields(), file_number=self._finished + 1, files=self._files)

        try:
            yield progress
        finally:
            with self._lock:
                self._state = None
            if self.mode == "json" and meter.pending:
                self._emit(event="progress", **meter.fields(), file_number=self._finished + 1, files=self._files)

    def result(self, result, status):
        """The result event of a file that was worked on (here or on a worker); `status` "written", "skipped"
        or "failed"."""
        self._finished += 1
        job = result.job
        reason = result.error if status == "failed" else (None if status == "written" else result.status)
        self._emit(event="result", source=str(job.source), target=str(job.target), status=status, reason=reason,
                   seconds=round(result.seconds, 3))

    def summary(self, tally, exit_status, interrupted=False):
        """The summary event: what became of the run's files, and its exit status."""
        self.stage(None)
        self._emit(event="summary", written=tally.written, skipped=tally.skipped, failed=tally.failed,
                   interrupted=interrupted, exit_status=exit_status,
                   seconds=round(time.monotonic() - self._started, 3))

    def error(self, message):
        """An error that ends the run before or outside any file's work."""
        self._emit(event="error", message=message)

    def _emit(self, **event):
        if self.mode != "json":
            return
        with self._lock:
            self._out.write(json.dumps(event) + "\n")
            self._out.flush()

    def _tick(self):
        with self._lock:
            state = self._state
        if state is None:
            return
        elapsed = _duration(time.monotonic() - self._started)
        line = state.line() if isinstance(state, _Meter) else f"{state} ({elapsed} so far)"
        print(f"progress: {line}", file=self._err, flush=True)


class _Meter:
    """Units done on one file, how fast, and whether an event is due."""

    def __init__(self, job):
        self.job = job
        self.done, self.total = 0, job.total
        self._first = None  # (time, count) of the first report: a resumed video starts past 0
        self._last_event = None
        self.pending = False

    def update(self, count, total):
        """Records a report; True when a progress event is due now."""
        now = time.monotonic()
        if self._first is None:
            self._first = (now, count)
        self.done, self.total = count, total
        due = self._last_event is None or now - self._last_event >= EVENTS_SECONDS or count == total
        self.pending = not due
        if due:
            self._last_event = now
        return due

    def rate(self):
        if self._first is None:
            return None
        seconds = time.monotonic() - self._first[0]
        return (self.done - self._first[1]) / seconds if seconds > 0 and self.done > self._first[1] else None

    def fields(self):
        self.pending = False
        rate = self.rate()
        eta = (self.total - self.done) / rate if rate and self.total is not None else None
        return {"source": str(self.job.source), "unit": self.job.unit, "done": self.done, "total": self.total,
                "rate": None if rate is None else round(rate, 3), "eta": None if eta is None else round(eta, 1)}

    def line(self):
        fields = self.fields()
        total = "?" if fields["total"] is None else fields["total"]
        text = f"{self.job.source.name}: {fields['done']} of {total} {self.job.unit}s"
        if fields["rate"] is not None:
            text += f", {fields['rate']:.3g} {self.job.unit}s/s"
        if fields["eta"] is not None:
            text += f", about {_duration(fields['eta'])} left"
        return text


def _duration(seconds):
    seconds = int(seconds + 0.5)
    if seconds < 60:
        return f"{seconds} s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes} min {seconds:02d} s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours} h {minutes:02d} min"


class _Ticker:
    """Calls `tick` every `seconds` in a thread of its own until stopped."""

    def __init__(self, tick, seconds):
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(tick, seconds), name="lumivex-progress",
                                        daemon=True)
        self._thread.start()

    def _run(self, tick, seconds):
        while not self._stop.wait(seconds):
            tick()

    def stop(self):
        self._stop.set()
        self._thread.join()
