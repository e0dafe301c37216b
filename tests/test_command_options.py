"""The command's size, progress and duplicate-frame options, through the installed command: results of the size
asked for, JSON events that add up, and repeated video frames that skip the network."""

import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
av = pytest.importorskip("av")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")

from lumivex.upscale import cli, progress


def command(arguments, cwd):
    return subprocess.run([sys.executable, "-m", cli.__name__, *arguments], cwd=cwd, text=True,
                          capture_output=True, timeout=300)


def make_clip(path, pictures, *, rate=10, pts=None):
    """A lossless H.264 clip of `pictures` (rgb24 arrays) at timestamps `pts` (default one step apart)."""
    height, width = pictures[0].shape[:2]
    with av.open(str(path), "w") as container:
        stream = container.add_stream("libx264", rate=rate, options={"qp": "0"})
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv444p"
        for number, picture in enumerate(pictures):
            frame = av.VideoFrame.from_ndarray(picture, format="rgb24")
            frame.pts = number if pts is None else pts[number]
            container.mux(stream.encode(frame))
        container.mux(stream.encode(None))
    return path


def frames_of(path):
    with av.open(str(path)) as container:
        return [(round(frame.time, 6), frame.to_ndarray(format="rgb24")) for frame in container.decode(video=0)]


def odd_picture(seed=0):
    return np.random.default_rng(seed).integers(0, 256, (21, 33, 3), dtype=np.uint8)


def make_input(kind, folder):
    if kind == "image":
        Image.fromarray(odd_picture()).save(folder / "odd.png")
        return "odd.png"
    if kind == "animation":
        frames = [Image.fromarray(odd_picture(seed)) for seed in range(3)]
        frames[0].save(folder / "odd.gif", save_all=True, append_images=frames[1:], duration=80, loop=0)
        return "odd.gif"
    make_clip(folder / "odd.mp4", [np.pad(odd_picture(seed), ((0, 1), (0, 1), (0, 0))) for seed in range(3)])
    return "odd.mp4"  # 34 x 22: H.264 wants even sides


# (kind, flags, size expected (width, height)): one side gives the other by the aspect; a video's odd side is
# made even; x4 of 33 with a x2 network is half network, half resampling.
@pytest.mark.parametrize("kind, flags, expected, resampled", [
    ("image", ["--width", "101"], (101, 64), "x1.53"),
    ("image", ["--height", "40"], (63, 40), None),
    ("animation", ["--width", "50", "--height", "31"], (50, 31), None),
    ("video", ["--width", "75"], (76, 50), "x1.11"),
])
def test_a_size_asked_for_is_the_size_written(tmp_path, network, kind, flags, expected, resampled):
    name = make_input(kind, tmp_path)
    run = command([name, "out" + name[name.index("."):], "-n", network, *flags], tmp_path)
    assert run.returncode == 0, run.stderr
    if kind == "video":
        with av.open(str(tmp_path / "out.mp4")) as container:
            stream = container.streams.video[0]
            assert (stream.width, stream.height) == expected
            assert stream.frames == 3
    else:
        with Image.open(tmp_path / f"out{name[name.index('.'):]}") as picture:
            assert picture.size == expected
    notes = [line for line in run.stdout.splitlines() if "plain resampling" in line]
    assert (notes[0].split("up to ")[1].split()[0] if notes else None) == resampled


@pytest.mark.parametrize("flags, named", [
    (["--width", "0"], "--width"),
    (["--height", "-4"], "--height"),
    (["--width", "64", "--scale", "2"], "--width"),
    (["--dedup", "-1"], "--dedup"),
    (["--strength", "1.5"], "--strength"),
    (["--precision", "bf16"], "--precision bf16"),
])
def test_a_size_that_cannot_be_is_refused_before_work(tmp_path, network, flags, named):
    make_input("image", tmp_path)
    run = command(["odd.png", "out.png", "-n", network, "--progress", "json", *flags], tmp_path)
    assert run.returncode == 2
    assert len(run.stderr.splitlines()) == 1 and named in run.stderr
    assert not (tmp_path / "out.png").exists()
    error, summary = [json.loads(line) for line in run.stdout.splitlines()]
    assert error["event"] == "error" and named in error["message"]
    assert (summary["event"], summary["exit_status"]) == ("summary", 2)


SLOW = ["--tile-size", "8", "--overlap", "4", "--batch-size", "1"]  # a window per network call: many reports


def make_mixed_folder(folder):
    """A folder of one of each kind, an input that fails, and one whose output is there already."""
    folder.mkdir()
    rng = np.random.default_rng(5)
    Image.fromarray(rng.integers(0, 256, (48, 40, 3), dtype=np.uint8)).save(folder / "photo.png")
    Image.fromarray(odd_picture()).save(folder / "done.png")
    make_input("animation", folder)
    make_input("video", folder)
    (folder / "broken.png").write_bytes(b"not an image")
    whole = (folder / "photo.png").read_bytes()
    (folder / "cut.png").write_bytes(whole[:len(whole) // 2])  # its header reads; its pixels do not


def test_json_events_parse_and_add_up(tmp_path, network):
    make_mixed_folder(tmp_path / "in")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "done.png").write_bytes(b"an earlier run's")
    run = command(["in", "out", "-n", network, "--progress", "json", *SLOW], tmp_path)
    events = [json.loads(line) for line in run.stdout.splitlines()]  # nothing else on stdout
    assert run.returncode == 1 and "wrote out/photo.png" in run.stderr
    plan, summary = events[0], events[-1]
    assert (plan["event"], summary["event"]) == ("plan", "summary")
    assert (plan["files"], plan["skipped"], plan["failed"]) == (4, 1, 1)
    results = {event["source"]: event for event in events if event["event"] == "result"}
    statuses = {source: event["status"] for source, event in results.items()}
    assert statuses == {"in/photo.png": "written", "in/odd.gif": "written", "in/odd.mp4": "written",
                        "in/done.png": "skipped", "in/broken.png": "failed", "in/cut.png": "failed"}
    assert "not a readable image" in results["in/broken.png"]["reason"]
    assert results["in/cut.png"]["reason"] and results["in/photo.png"]["reason"] is None
    assert results["in/done.png"]["reason"] == "exists"
    assert (summary["written"], summary["skipped"], summary["failed"], summary["exit_status"]) == (3, 1, 2, 1)
    totals = {job["source"]: job["total"] for job in plan["jobs"]}
    assert totals["in/odd.gif"] == 3
    for job in [job for job in plan["jobs"] if job["source"] != "in/cut.png"]:
        reports = [event for event in events if event["event"] == "progress" and event["source"] == job["source"]]
        done = [event["done"] for event in reports]
        assert done == sorted(done) and done[-1] == reports[-1]["total"] > 0
        assert job["total"] in (None, reports[-1]["total"])
        # At most a few a second, however many windows the network ran.
        assert len(reports) <= 2 + results[job["source"]]["seconds"] / progress.EVENTS_SECONDS * 1.1
    photo = [event for event in events if event["event"] == "progress" and event["source"] == "in/photo.png"]
    assert photo[-1]["total"] > 20 and photo[-1]["unit"] == "tile"
    assert photo[-1]["rate"] > 0 and photo[-1]["eta"] == 0


def test_without_a_terminal_stderr_gets_plain_progress_lines(tmp_path, network):
    picture = np.random.default_rng(2).integers(0, 256, (160, 160, 3), dtype=np.uint8)  # 1600 network calls
    Image.fromarray(picture).save(tmp_path / "odd.png")
    run = subprocess.run([sys.executable, "-m", "lumivex.upscale.cli", "odd.png", "out.png", "-n", network, *SLOW],
                         cwd=tmp_path, text=True, capture_output=True, timeout=300,
                         env={**os.environ, "LUMIVEX_PROGRESS_SECONDS": "0.02"})
    assert run.returncode == 0, run.stderr
    lines = [line for line in run.stderr.splitlines() if line.startswith("progress: odd.png: ")]
    assert lines and " of " in lines[-1] and "tiles" in lines[-1]
    assert any(re.search(r", about \d+ s left$", line) for line in lines)
    assert "progress:" not in run.stdout


class CountingNetwork:
    """A x2 network (pixel repetition) that counts its calls."""

    scale, radius = 2, 0

    def __init__(self):
        self.calls = 0

    def __call__(self, batch):
        self.calls += 1
        return batch.repeat(2, axis=2).repeat(2, axis=3)


# Frames 1, 2 repeat 0; 4 repeats 3; 6 is 5 changed by one level; 7 repeats 6. Exact: 4 reused; with
# --dedup 4 frame 6 too (5 in all).
@pytest.mark.parametrize("dedup, reused", [(0, [1, 2, 4, 7]), (4, [1, 2, 4, 6, 7])])
def test_repeated_video_frames_reuse_the_result_and_keep_every_timestamp(tmp_path, dedup, reused):
    from lumivex.upscale import Upscaler
    from lumivex.upscale.arrays import array_module
    from lumivex.upscale.roads.video import upscale_video

    base = [np.random.default_rng(seed).integers(8, 240, (24, 32, 3), dtype=np.uint8) for seed in range(3)]
    pictures = [base[0], base[0], base[0], base[1], base[1], base[2], base[2] + 1, base[2] + 1]
    pts = [0, 1, 3, 4, 7, 8, 9, 12]  # uneven steps: each must come out where it went in
    make_clip(tmp_path / "in.mp4", pictures, pts=pts)
    network = CountingNetwork()
    upscaler = Upscaler(network, tile_size=64, batch_size=1)
    upscaler.image(array_module().zeros((24, 32, 3), np.float32))
    one_frame, network.calls = network.calls, 0
    report = upscale_video(tmp_path / "in.mp4", tmp_path / "out.mp4", upscaler, dedup=dedup)
    assert report.repeated == len(reused)
    assert network.calls == (len(pictures) - len(reused)) * one_frame
    written = frames_of(tmp_path / "out.mp4")
    assert [stamp for stamp, _ in written] == [stamp for stamp, _ in frames_of(tmp_path / "in.mp4")] == [
        stamp / 10 for stamp in pts]
    for number in reused:
        assert np.array_equal(written[number][1], written[number - 1][1])
    assert not np.array_equal(written[6][1], written[5][1]) or 6 in reused


def test_the_command_reuses_identical_frames_only_unless_told(tmp_path, network):
    # Flat frames: 101 after 100 comes out of the codec one level apart, which only --dedup may call a repeat.
    pictures = [np.full((22, 34, 3), level, np.uint8) for level in (100, 100, 101)]
    make_clip(tmp_path / "in.mp4", pictures)
    run = command(["in.mp4", "out.mp4", "-n", network], tmp_path)
    assert run.returncode == 0, run.stderr
    assert "1 repeated frames not upscaled again" in run.stdout
