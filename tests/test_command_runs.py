"""The command as real processes: stopped by SIGINT and SIGTERM mid-run, two runs at once on one folder, and
what runs that died left behind cleaned up by the next one without touching what live runs hold."""

import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")
pytest.importorskip("tqdm")

from lumivex.upscale import atomic, claims, cli

# Many one-window network calls per image, so that a run takes long enough to be stopped in the middle.
SLOW = ["--tile-size", "8", "--overlap", "4", "--batch-size", "1"]


def start(arguments, cwd):
    return subprocess.Popen([sys.executable, "-m", "lumivex.upscale.cli", *arguments], cwd=cwd, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def hidden(folder):
    return sorted(path.name for path in folder.iterdir() if path.name.startswith("."))


def written(out):
    return re.findall(r"^wrote (\S+) ", out, re.MULTILINE)


@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_a_signal_mid_run_ends_it_cleanly_and_a_rerun_finishes(tmp_path, monkeypatch, capsys, network, number,
                                                                make_photos):
    make_photos(tmp_path / "photos", 4, 300)
    child = start(["photos", "out", "--model", network, *SLOW], tmp_path)
    lines = []
    while not (lines and lines[-1].startswith("wrote ")):
        lines.append(child.stdout.readline())
        assert lines[-1], child.communicate()[1]
    while not claims.lock_path(tmp_path / "out" / "1.png").exists():
        assert child.poll() is None, child.communicate()[1]
        time.sleep(0.001)
    child.send_signal(number)  # the child is now upscaling the second image, holding its claim
    out, err = child.communicate(timeout=120)
    assert child.returncode == 128 + number
    done = len(written("".join(lines) + out))
    assert err == f"lumivex-upscale: interrupted: {done} of 4 written; run again to finish\n"
    results = sorted((tmp_path / "out").iterdir())
    assert hidden(tmp_path / "out") == [] and 1 <= len(results) == done < 4
    for path in results:
        with Image.open(path) as image:
            image.load()  # whole

    monkeypatch.chdir(tmp_path)
    assert cli.main(["photos", "out", "--model", network]) == 0
    assert len(written(capsys.readouterr().out)) == 4 - done
    assert len(list((tmp_path / "out").iterdir())) == 4


def test_two_runs_started_together_write_each_output_once(tmp_path, network, make_photos):
    make_photos(tmp_path / "photos", 8, 200)
    runs = [start(["photos", "out", "--model", network, *SLOW], tmp_path) for _ in range(2)]
    outputs = [run.communicate(timeout=300) for run in runs]
    assert [run.returncode for run in runs] == [0, 0], [err for _, err in outputs]
    wrote = [target for out, _ in outputs for target in written(out)]
    assert sorted(wrote) == [f"out/{index}.png" for index in range(8)]
    # Claimed, not raced: no run upscaled a file that the other then put in place first.
    assert not any("while this one worked on it" in out for out, _ in outputs)
    assert hidden(tmp_path / "out") == []


LIVE_HOLDER = """
import pathlib, sys
from lumivex.upscale import atomic, claims
target = pathlib.Path(sys.argv[1])
assert claims.claim(target)
atomic.temporary_path(target).write_bytes(b"half")  # as if writing its result
print(flush=True)
sys.stdin.read()
"""

DEAD_HOLDER = """
import os, pathlib, sys
from lumivex.upscale import atomic, claims
target = pathlib.Path(sys.argv[1])
assert claims.claim(target)
atomic.temporary_path(target).write_bytes(b"half")
print(os.getpid())
os._exit(0)  # as if killed: nothing released
"""


def forge_claim(target, age=0, **owner):
    """A claim as another process of this or another host writes it."""
    lock = claims.lock_path(target)
    lock.write_text(json.dumps({"host": socket.gethostname(), "boot": "", "started": None, "run": None,
                                "token": "0" * 16, **owner}))
    os.utime(lock, (time.time() - age,) * 2)
    return lock.name


def test_leftovers_of_dead_runs_are_removed_and_live_claims_respected(tmp_path, monkeypatch, capsys, network,
                                                                      make_photos):
    make_photos(tmp_path / "photos", 6, 6)
    out = tmp_path / "out"
    out.mkdir()
    dead = subprocess.run([sys.executable, "-c", DEAD_HOLDER, str(out / "0.png")], capture_output=True, text=True,
                          check=True)
    dead_pid = int(dead.stdout)
    live = subprocess.Popen([sys.executable, "-c", LIVE_HOLDER, str(out / "1.png")], text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert live.stdout.readline() == "\n"
        left = [name for name in hidden(out) if atomic.parse_temporary_name(name) == ("0.png", dead_pid)]
        left += [claims.lock_path(out / "0.png").name,
                 forge_claim(out / "3.png", age=2 * 24 * 3600, host="elsewhere", pid=dead_pid),  # host died
                 forge_claim(out / "4.png", pid=live.pid, started=1),  # pid since reused by a younger process
                 forge_claim(out / "5.png", pid=live.pid, boot="before a reboot")]
        # Held: by the live process, by a run on another host (whose pid means nothing here).
        held = [name for name in hidden(out) if atomic.parse_temporary_name(name) == ("1.png", live.pid)]
        held += [claims.lock_path(out / "1.png").name, forge_claim(out / "2.png", host="elsewhere", pid=dead_pid)]
        forged = {
            "left": [f".5.png.{os.getpid()}.0123abcd.part",  # this process's pid, once another process's
                     f"..3.png.lock.{dead_pid}.0123abcd.part"],  # a claim half made long ago (aged below)
            # Beside the claim of another host's run; a claim being made, maybe on another host.
            "held": [f".2.png.{dead_pid}.89abcdef.part", f"..4.png.lock.{dead_pid}.89abcdef.part"],
            # Not this command's, or not for an output of this run.
            "strangers": [f".9.png.{dead_pid}.0123abcd.part", f".0.png.{dead_pid}.part", ".0.png.lock.bak"],
        }
        for name in sum(forged.values(), []):
            (out / name).write_bytes(b"")
        os.utime(out / forged["left"][1], (time.time() - 3600,) * 2)
        left, held, strangers = left + forged["left"], held + forged["held"], forged["strangers"]
        assert len(left) == 7 and len(held) == 5 and hidden(out) == sorted(left + held + strangers)

        monkeypatch.chdir(tmp_path)
        assert cli.main(["photos", "out", "--model", network]) == 0
        printed = capsys.readouterr().out
        assert sorted(written(printed)) == ["out/0.png", "out/3.png", "out/4.png", "out/5.png"]
        assert "out/1.png is being written by another run; skipped" in printed
        assert "out/2.png is being written by another run; skipped" in printed
        assert "removed 7 files left in out by runs that did not finish" in printed
        assert hidden(out) == sorted(held + strangers)
    finally:
        live.communicate("")


@pytest.mark.parametrize("refusal", [FileExistsError, PermissionError], ids=["taken by others", "no write access"])
def test_a_claim_not_made_leaves_nothing_that_stops_a_later_one(tmp_path, monkeypatch, refusal):
    # Taken: each time this run finds the claim gone and tries again, another run has taken it first.
    def refused(path, replace=True):
        raise refusal(path)

    monkeypatch.setattr(atomic, "atomic_output", refused)
    monkeypatch.setattr(claims, "_read", lambda lock: None)
    if refusal is FileExistsError:
        assert claims.claim(tmp_path / "a.png") is False
    else:
        with pytest.raises(PermissionError):
            claims.claim(tmp_path / "a.png")
    monkeypatch.undo()  # the other runs are done, the folder writable: this run takes the claim now
    assert claims.claim(tmp_path / "a.png") is True
    assert claims.release_all() == 1


def peak_memory_of_a_run(arguments, cwd):
    """The peak resident memory of one run of the command, in bytes, and its exit status."""
    child = start(arguments, cwd)
    _, status, usage = os.wait4(child.pid, 0)
    child.communicate()
    return usage.ru_maxrss * 1024, os.waitstatus_to_exitcode(status)


def test_memory_does_not_grow_with_the_height_of_the_image(tmp_path, network):
    png = pytest.importorskip("png")
    width, peaks = 400, []
    for height in (1600, 6400):  # both of more than two bands of core rows
        rng = np.random.default_rng(height)  # noise: a photo's compression, not a repeated row's
        with open(tmp_path / f"{height}.png", "wb") as file:
            png.Writer(width, height, greyscale=False).write(
                file, (rng.integers(0, 256, width * 3, dtype=np.uint8) for _ in range(height)))
        peak, status = peak_memory_of_a_run([f"{height}.png", "--model", network, "--batch-size", "1"], tmp_path)
        assert status == 0
        peaks.append(peak)
    # Held whole, the taller result (and its float accumulators, four times as large) would add over 300 MB.
    assert peaks[1] - peaks[0] < 40e6, peaks


def test_only_the_temporaries_of_processes_that_are_gone_are_orphans(tmp_path):
    live = subprocess.Popen([sys.executable, "-c", LIVE_HOLDER, str(tmp_path / "a.png")], text=True,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        assert live.stdout.readline() == "\n"
        dead = subprocess.run([sys.executable, "-c", DEAD_HOLDER, str(tmp_path / "b.png")], capture_output=True,
                              text=True, check=True)
        orphans = [atomic.parse_temporary_name(path.name) for path in atomic.orphaned_temporaries(tmp_path)]
        assert orphans == [("b.png", int(dead.stdout))]
    finally:
        live.communicate("")
