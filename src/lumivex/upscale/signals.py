"""SIGINT and SIGTERM (Ctrl-C, `kill`, systemd, container and Ray stops) as an exception that unwinds the
command, so that what it holds (temporary files, claims) is removed on the way out and the run ends with one
line and the shell's status for the signal (128 + its number) instead of a traceback or nothing at all."""

import signal
import threading

SIGNALS = (signal.SIGINT, signal.SIGTERM)


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
    """Within the `with` block SIGINT and SIGTERM raise Interrupted, until `hold()`; the handlers there before
    are put back after. Outside the main thread, where Python runs no signal handlers, it changes nothing."""

    def __init__(self):
        self._held = False
        self._previous = {}

    def hold(self):
        """Ignores further signals: the clean-up they would cut short is what the first one asked for."""
        self._held = True

    def _handle(self, signum, frame):
        if not self._held:
            raise Interrupted(signum)

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            self._previous = {number: signal.signal(number, self._handle) for number in SIGNALS}
        return self

    def __exit__(self, *exception):
        for number, handler in self._previous.items():
            # None: a handler installed from C, which Python cannot put back; the default is the nearest.
            signal.signal(number, signal.SIG_DFL if handler is None else handler)
        self._previous = {}
        return False
