"""One video made by several runs of the command at once: they share its segments, each made once, and the
file is the one a single run writes; a run killed mid-segment loses nothing, an interrupted one says what it
kept, and the next run makes only the segments still missing or damaged."""

import json
import re
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest

av = pytest.importorskip("av")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")
pytest.importorskip("tqdm")

from lumivex.testing.networks import write_placeholder_network
from lumivex.testing.videos import frames_and_times, write_clip
from lumivex.upscale import cli
from lumivex.upscale.roads.video import work_folder_path

# 48 frames at one a second with a keyframe every 6: 8 segments of 6 frames (at least 5 s each).
SEGMENTS, FRAMES_EACH = 8, 6
# Many one-window network calls per frame, so that a segment takes long enough to be shared or cut short.
SLOW = ["--tile-size", "8", "--overlap", "4", "--batch-size", "1"]


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """(folder with the clip, the network and what one run writes for it)."""
    folder = tmp_path_factory.mktemp("clip")
    write_clip(folder / "clip.mp4", frames=SEGMENTS * FRAMES_EACH, size=(96, 64))
    write_placeholder_network(folder / "x2.onnx", 2)
    assert cli.main([str(folder / "clip.mp4"), str(folder / "alone.mp4"), "--model", str(folder / "x2.onnx")]) == 0
    return folder,


def start(folder, *extra):
    return subprocess.Popen([sys.executable, "-m", "lumivex.upscale.cli", "clip.mp4", "out.mp4", "--model",
                             "x2.onnx", *SLOW, *extra], cwd=folder, text=True, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def copy_inputs(made, folder):
    for name in ("clip.mp4", "x2.onnx"):
        shutil.copy2(made[0] / name, folder / name)


def segments_made(out):
    """How many segments a run's lines say it made: the joiner's frames less those resumed, or the count of a
    run whose segments another run joined."""
    wrote = re.search(r"^wrote out\.mp4 \((\d+) frames(?:, (\d+) resumed)?", out, re.MULTILINE)
    if wrote:
        return (int(wrote[1]) - int(wrote[2] or 0)) // FRAMES_EACH
    shared = re.search(rf"^clip\.mp4: (\d+) of {SEGMENTS} segments done here, the rest by other runs$", out,
                       re.MULTILINE)
    return int(shared[1]) if shared else 0


def same_video(path, reference):
    """The frames and timestamps of `path` are those of `reference`, its other streams the same packets.
    Frames are compared within the encoder's noise: x264 does not make a clip of a few frames the same way
    twice, even in one process."""
    times, frames = frames_and_times(path)
    reference_times, reference_frames = frames_and_times(reference)
    assert times == reference_times
    errors = np.abs(frames.astype(np.int16) - reference_frames).mean(axis=(1, 2, 3))
    assert errors.max() < 3, errors  # any other frame of the clip differs by about 85 levels on average
    with av.open(str(path)) as mine, av.open(str(reference)) as theirs:
        assert [(bytes(packet), packet.pts) for packet in mine.demux(audio=0)] == [
            (bytes(packet), packet.pts) for packet in theirs.demux(audio=0)]


def finished_cleanly(folder, made):
    same_video(folder / "out.mp4", made[0] / "alone.mp4")
    assert not work_folder_path(folder / "out.mp4").exists()
    assert not [path.name for path in folder.iterdir() if path.name.startswith(".")]


def test_two_runs_started_together_make_each_segment_once(tmp_path, made):
    copy_inputs(made, tmp_path)
    runs = [start(tmp_path) for _ in range(2)]
    outputs = [run.communicate(timeout=300) for run in runs]
    assert [run.returncode for run in runs] == [0, 0], [err for _, err in outputs]
    assert sum(len(re.findall(r"^wrote ", out, re.MULTILINE)) for out, _ in outputs) == 1
    counts = sorted(segments_made(out) for out, _ in outputs)
    assert sum(counts) == SEGMENTS and counts[0] > 0, outputs  # shared, and no segment made twice
    finished_cleanly(tmp_path, made)


def progress_until(child, frames):
    """Reads the JSON events of `child` until one says `frames` frames are done."""
    for line in child.stdout:
        event = json.loads(line)
        if event["event"] == "progress" and event["done"] >= frames:
            return
    raise AssertionError(child.communicate()[1])


def test_a_killed_run_loses_nothing_and_an_interrupted_one_says_what_it_kept(tmp_path, monkeypatch, capsys, made):
    copy_inputs(made, tmp_path)
    work = work_folder_path(tmp_path / "out.mp4")

    def kept():
        return sorted(path.name for path in work.iterdir() if path.suffix == ".packets")

    killed = start(tmp_path, "--progress", "json")
    progress_until(killed, 2 * FRAMES_EACH + 3)  # in the middle of the third segment
    killed.send_signal(signal.SIGKILL)
    killed.communicate()
    assert 2 <= len(kept()) < SEGMENTS
    assert [path for path in work.iterdir() if path.name.endswith(".lock")]  # the claim of the segment it made

    stopped = start(tmp_path, "--progress", "json")
    progress_until(stopped, 5 * FRAMES_EACH + 1)  # five segments in place
    stopped.send_signal(signal.SIGINT)
    _, err = stopped.communicate(timeout=120)
    assert stopped.returncode == 128 + signal.SIGINT
    on_disk = len(kept())
    assert err.splitlines()[-1] == (f"lumivex-upscale: interrupted: 0 of 1 written; {on_disk} of {SEGMENTS} "
                                    f"segments of clip.mp4 kept for the next run")
    assert on_disk >= 5 and not [path for path in work.iterdir() if path.name.startswith(".")]

    (work / "000001.packets").unlink()  # a gap: the segments after it are kept all the same
    (work / "000003.packets").write_bytes(b"damaged")  # made again
    monkeypatch.chdir(tmp_path)
    assert cli.main(["clip.mp4", "out.mp4", "--model", "x2.onnx"]) == 0
    assert segments_made(capsys.readouterr().out) == SEGMENTS - on_disk + 2  # only the missing ones
    finished_cleanly(tmp_path, made)


class CountingNearest:
    """x2 nearest-neighbour model that counts the frames it saw (one window each) and stops the run, as Ctrl-C
    would, at the `stop_at`th."""

    scale = 2

    def __init__(self, stop_at=None):
        self.calls, self.stop_at = 0, stop_at

    def __call__(self, batch):
        self.calls += 1
        if self.calls == self.stop_at:
            raise KeyboardInterrupt
        return batch.repeat(2, axis=2).repeat(2, axis=3)


def test_segments_of_another_job_are_never_mixed_in(tmp_path):
    from lumivex.upscale import Upscaler
    from lumivex.upscale.roads.video import upscale_video

    source = write_clip(tmp_path / "clip.mp4", frames=4 * FRAMES_EACH)
    target = tmp_path / "out.mp4"
    with pytest.raises(KeyboardInterrupt):
        upscale_video(source, target, Upscaler(CountingNearest(stop_at=2 * FRAMES_EACH + 2)), crf=30)
    assert len(list(work_folder_path(target).glob("*.packets"))) == 2

    model = CountingNearest()
    report = upscale_video(source, target, Upscaler(model))  # another quality: the kept segments do not count
    assert (model.calls, report.resumed) == (4 * FRAMES_EACH, 0)
    assert not work_folder_path(target).exists()
