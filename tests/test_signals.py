"""Stop signals at any moment end a run with one line and the shell's status: while a native module loads, at
the last rename, while Ray connects, and when the code they land in drops or replaces their exception."""

import gc
import pathlib
import signal
import socket
import subprocess
import sys
import time
import weakref

import pytest

pytest.importorskip("PIL.Image")
pytest.importorskip("onnxruntime")

from lumivex.upscale import signals


class _Dropping:
    """An object whose weakref callback raises the stop signal there, where Python can only drop its exception."""


def _dropped_in_a_weakref_callback():
    thing = _Dropping()
    reference = weakref.ref(thing, lambda _: signal.raise_signal(signal.SIGTERM))
    del thing
    gc.collect()
    assert reference() is None
    return _work()


def _turned_into_another_error():
    try:
        signal.raise_signal(signal.SIGTERM)
    except signals.Interrupted:
        pass  # as pybind11 does while a module initialises...
    try:
        raise ImportError("initialization failed")  # ...giving its own error instead
    except ImportError:
        signals.check()  # where the command would report the error
    return 0


def _at_return():
    signal.raise_signal(signal.SIGINT)
    return 0


def _work():
    for _ in range(500):
        time.sleep(0.002)  # the rest of the run, long enough for the dropped signal to be raised again
    _finished.append(True)
    return 0


_finished = []


def _taken_by_another_handler():
    raise signals.Interrupted(signal.SIGTERM)  # as Ray's handler, in place while it connects, makes it


@pytest.mark.parametrize("body, status", [(_dropped_in_a_weakref_callback, 143), (_turned_into_another_error, 143),
                                          (_at_return, 130), (_taken_by_another_handler, 143)],
                         ids=["dropped", "replaced", "at return", "another handler's"])
def test_a_stop_signal_whose_exception_is_lost_still_stops_the_run(capfd, body, status):
    cleaned = []
    _finished.clear()
    hook = sys.unraisablehook
    assert signals.StopOnSignals().run(body, lambda: cleaned.append(True)) == status
    assert sys.unraisablehook is hook  # the caller's again: later lost exceptions are reported as before
    assert cleaned == [True]
    assert _finished == []  # the run stopped soon after the signal, not at its end
    assert capfd.readouterr().err == ""  # no "Exception ignored" report
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL or callable(signal.getsignal(signal.SIGTERM))


def start(command, arguments, cwd):
    return subprocess.Popen([*command, *arguments], cwd=cwd, text=True, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def loading_onnxruntime(child, folder):
    """Waits until the process maps ONNX Runtime's library: it is importing it."""
    while "onnxruntime" not in pathlib.Path(f"/proc/{child.pid}/maps").read_text():
        assert child.poll() is None, child.communicate()
        time.sleep(0.001)


def last_rename(child, folder):
    """Waits until the last output is in place: the process is between its last rename and its end."""
    while not (folder / "out" / "2.png").exists():
        assert child.poll() is None, child.communicate()
        time.sleep(0.0005)


@pytest.mark.parametrize("moment", [loading_onnxruntime, last_rename], ids=["start-up", "last rename"])
def test_a_signal_at_start_up_or_at_the_last_rename_ends_the_run_with_one_line(tmp_path, network, command, moment,
                                                                                make_photos):
    make_photos(tmp_path / "photos", 3, 24)
    child = start(command, ["photos", "out", "--model", network], tmp_path)
    moment(child, tmp_path)
    child.send_signal(signal.SIGTERM)
    out, err = child.communicate(timeout=120)
    on_disk = len(list((tmp_path / "out").glob("*.png"))) if (tmp_path / "out").exists() else 0
    if child.returncode in (0, -signal.SIGTERM):  # the run had ended: before the signal came, or as it came
        assert moment is last_rename and on_disk == 3 and err == "", err
        assert out.splitlines()[-1] == "3 images: 3 written, 0 skipped, 0 failed"
        return
    assert child.returncode == 143, err
    if "interrupted before" in err:
        assert err == "lumivex-upscale: interrupted before any image was upscaled\n"
    else:
        assert err == f"lumivex-upscale: interrupted: {on_disk} of 3 written; run again to finish\n"
    assert not [path for path in (tmp_path / "out").glob(".*")] if (tmp_path / "out").exists() else True


@pytest.fixture
def silent_address():
    """An address on the loopback that takes no connection: a listener whose queue is full."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    address = f"127.0.0.1:{listener.getsockname()[1]}"
    waiting = []
    for _ in range(4):  # fills the queue; further connection attempts are left unanswered
        client = socket.socket()
        client.setblocking(False)
        client.connect_ex(listener.getsockname())
        waiting.append(client)
    yield address
    for client in waiting:
        client.close()
    listener.close()


def test_a_ray_address_nobody_answers_at_is_one_line_and_sigterm_meanwhile_one_too(tmp_path, network, command,
                                                                                   monkeypatch, capsys,
                                                                                   silent_address, make_photos):
    pytest.importorskip("ray")
    from lumivex.upscale import cli, distributed

    make_photos(tmp_path / "photos", 1, 8)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(distributed, "CONNECT_TIMEOUT", 0.5)
    assert cli.main(["photos", "out", "--model", network, "--ray", silent_address]) == 2
    assert capsys.readouterr().err == (f"lumivex-upscale: error: cannot reach the Ray cluster at {silent_address}: "
                                       f"no answer in 0.5 s\n")

    child = start(command, ["photos", "out", "--model", network, "--ray", silent_address], tmp_path)
    while not child.stdout.readline().startswith("model:"):  # past the checks: on its way to the cluster
        assert child.poll() is None, child.communicate()
    child.send_signal(signal.SIGTERM)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 143
    assert err in ("lumivex-upscale: interrupted: 0 of 1 written; run again to finish\n",
                   "lumivex-upscale: interrupted before any image was upscaled\n")  # the plan not quite counted
