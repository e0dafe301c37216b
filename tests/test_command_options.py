"""The command's size, progress and duplicate-frame options, through the installed command: results of the size
asked for, JSON events that add up, and repeated video frames that skip the network."""

import json
import subprocess
import sys

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
av = pytest.importorskip("av")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")

from lumivex.testing.networks import write_placeholder_network


@pytest.fixture(scope="module")
def network(tmp_path_factory):
    return str(write_placeholder_network(tmp_path_factory.mktemp("network") / "x2.onnx", 2))


def command(arguments, cwd):
    return subprocess.run([sys.executable, "-m", "lumivex.upscale.cli", *arguments], cwd=cwd, text=True,
                          capture_output=True, timeout=300)


def make_clip(path, pictures, *, rate=10):
    """An H.264 clip of `pictures` (rgb24 arrays), every frame's timestamp one step apart."""
    height, width = pictures[0].shape[:2]
    with av.open(str(path), "w") as container:
        stream = container.add_stream("libx264", rate=rate, options={"qp": "0"})
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv444p"
        for number, picture in enumerate(pictures):
            frame = av.VideoFrame.from_ndarray(picture, format="rgb24")
            frame.pts = number
            container.mux(stream.encode(frame))
        container.mux(stream.encode(None))
    return path


def frames_of(path):
    with av.open(str(path)) as container:
        return [(frame.pts, frame.to_ndarray(format="rgb24")) for frame in container.decode(video=0)]


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
])
def test_a_size_that_cannot_be_is_refused_before_work(tmp_path, network, flags, named):
    make_input("image", tmp_path)
    run = command(["odd.png", "out.png", "-n", network, *flags], tmp_path)
    assert run.returncode == 2
    assert len(run.stderr.splitlines()) == 1 and named in run.stderr
    assert not (tmp_path / "out.png").exists()
