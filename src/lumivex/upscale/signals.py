"""SIGINT and SIGTERM (Ctrl-C, `kill`, systemd, container and Ray stops) as an exception that unwinds the
command, so that what it holds (temporary files, claims) is removed on the way out and the run ends with one
line and the shell's status for the signal (128 + its number) instead of a traceback or nothing at all.

A signal may land anywhere, and Python does not always let its exception through: raised inside a weakref
callback or a `__del__` it is printed as "Exception ignored" and dropped, and native code may turn it into an
exception of its own (pybind11 makes it an ImportError "initialization failed" during `import onnxruntime`).
So the first signal is remembered as well as raised: a dropped one is raised again a moment later (SIGALRM,
from outside the callback), and `check()` raises it where code catching another exception must not take it for
a failure of its own.
"""

import signal
import sys
import threading

SIGNALS = (signal.SIGINT, signal.SIGTERM)
_AGAIN_AFTER = 0.002  # seconds after a dropped stop before it is raised again, out of the callback by then
_active = None  # the StopOnSignals in force in this process


class Interrupted(BaseException):
    """A stop signal arrived. A BaseException, like KeyboardInterrupt, so that code catching the Exception of
    one file lets it through."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum

    @property
    def exit_status(self):
        return 128 + self.signum


class StopOnSignals:
    """Within the `with` block SIGINT and SIGTERM raise Interrupted: the first one only, later ones are
    remembered but raise nothing while the first unwinds, nor after `hold()`; the handlers there before are put
    back after. Outside the main thread, where Python runs no signal handlers, it changes nothing."""

    def __init__(self):
        self._held = False
        self._previous = {}
        self._previous_hook = None
        self.received = None  # the number of the first stop signal

    def run(self, body, on_interrupt):
        """`body()`'s result, or the shell's status for the stop signal that came while it ran (or was dropped,
        or came as it returned), after `on_interrupt()` has cleaned up, with later signals ignored."""
        with self:
            try:
                try:
                    result = body()
                    check()
                except Interrupted as stop:
                    self._stopped_by(stop)
                self.hold()
            except Interrupted as stop:  # the first signal, landing between the lines above
                self._stopped_by(stop)
            if self.received is None:
                return result
            on_interrupt()
            return 128 + self.received

    def _stopped_by(self, stop):
        self.hold()
        if self.received is None:  # raised for a signal that another handler took (Ray's, while it connects)
            self.received = stop.signum

    def hold(self):
        """Ignores further signals: the clean-up they would cut short is what the first one asked for."""
        self._held = True

    def _handle(self, signum, frame):
        if self.received is None:
            self.received = signum
        if not self._held:
            self._held = True
            raise Interrupted(self.received)

    def _again(self, signum, frame):
        if self.received is not None and not self._held:
            self._held = True
            raise Interrupted(self.received)

    def _dropped(self, unraisable):
        if isinstance(unraisable.exc_value, Interrupted) and self.received is not None:
            # Raised where Python could only print and drop it: raised again once the callback is over.
            self._held = False
            signal.setitimer(signal.ITIMER_REAL, _AGAIN_AFTER)
            return
        self._previous_hook(unraisable)

    def __enter__(self):
        global _active
        if threading.current_thread() is threading.main_thread():
            self._previous = {number: signal.signal(number, self._handle) for number in SIGNALS}
            self._previous[signal.SIGALRM] = signal.signal(signal.SIGALRM, self._again)
            self._previous_hook, sys.unraisablehook = sys.unraisablehook, self._dropped
            _active = self
        return self

    def __exit__(self, *exception):
        global _active
        self._held = True  # a signal from here on is remembered, not raised out of the clean-up
        if self._previous:
            signal.setitimer(signal.ITIMER_REAL, 0)
            sys.unraisablehook = self._previous_hook
            _active = None
        for number, handler in self._previous.items():
            # None: a handler installed from C, which Python cannot put back; the default is the nearest.
            signal.signal(number, signal.SIG_DFL if handler is None else handler)
        self._previous = {}
        return False


def check():
    """Raises Interrupted when a stop signal came, whatever became of its own exception: for code that caught
    some other exception, which the signal may have been turned into."""
    if _active is not None and _active.received is not None:
        raise Interrupted(_active.received)
