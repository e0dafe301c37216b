"""Animated images through the file road: every frame upscaled and shown as before, with each frame's duration,
the loop count and the disposal kept, in the input's format."""

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
ImageSequence = pytest.importorskip("PIL.ImageSequence")

from lumivex.upscale.roads.animation import check_animation
from lumivex.upscale import Upscaler, plan
from lumivex.upscale.images import ImageError

DURATIONS = [50, 100, 150, 200]


def nearest_x2(batch):
    return batch.repeat(2, axis=2).repeat(2, axis=3)


def frames():
    """Four frames of different colours with a transparent hole that moves down."""
    rng = np.random.default_rng(5)
    result = []
    for index in range(len(DURATIONS)):
        pixels = np.empty((12, 16, 4), np.uint8)
        pixels[:, :, :3] = rng.integers(0, 256, 3)
        pixels[:, :, 3] = 255
        pixels[2 * index:2 * index + 3, :5, 3] = 0
        result.append(Image.fromarray(pixels, "RGBA"))
    return result


def shown(path):
    """(loop, [(frame as shown, RGBA with the colour of transparent pixels zeroed), duration, disposal])."""
    with Image.open(path) as picture:
        result = []
        for frame in ImageSequence.Iterator(picture):
            pixels = np.array(frame.convert("RGBA"))
            pixels[pixels[:, :, 3] == 0] = 0
            disposal = getattr(frame, "disposal_method", frame.info.get("disposal"))
            result.append((pixels, frame.info.get("duration"), disposal))
        return picture.info.get("loop"), result


@pytest.mark.parametrize("suffix, options", [
    (".gif", dict(disposal=[2, 1, 2, 1], loop=3)),
    (".png", dict(disposal=[1, 0, 2, 0], blend=[0, 1, 0, 1], loop=0)),
    (".webp", dict(loop=2, lossless=True)),
], ids=["gif", "apng", "webp"])
def test_every_frame_is_upscaled_with_its_duration_loop_and_disposal(tmp_path, monkeypatch, suffix, options):
    monkeypatch.chdir(tmp_path)
    first, *rest = frames()
    first.save(f"anim{suffix}", save_all=True, append_images=rest, duration=DURATIONS, **options)
    (job,) = plan(f"anim{suffix}", None, 2).jobs
    assert job.target.name == f"anim_x2{suffix}"  # stays an animation of its own format
    job.run(Upscaler(nearest_x2, scale=2, tile_size=16, overlap=4))

    loop, before = shown(job.source)
    out_loop, after = shown(job.target)
    assert out_loop == loop and len(after) == len(before)
    for (pixels, duration, disposal), (out_pixels, out_duration, out_disposal) in zip(before, after):
        assert (out_duration, out_disposal) == (duration, disposal)
        np.testing.assert_array_equal(out_pixels, pixels.repeat(2, axis=0).repeat(2, axis=1))


@pytest.mark.parametrize("kind, refusal", [
    ("GIF to JPEG", r"b\.jpg: \.jpg cannot hold an animation; use \.gif$"),
    ("16-bit APNG", r"anim\.png: 16-bit animated PNG frames would be cut to 8 bits; not upscaled$"),
])
def test_what_an_animation_would_lose_is_refused_before_any_work(tmp_path, kind, refusal):
    if kind == "16-bit APNG":
        rng = np.random.default_rng(0)
        first, *rest = [Image.fromarray(rng.integers(0, 65536, (8, 10), dtype=np.uint16)) for _ in range(3)]
        source, target = tmp_path / "anim.png", tmp_path / "b.png"
    else:
        first, *rest = frames()
        source, target = tmp_path / "anim.gif", tmp_path / "b.jpg"
    first.save(source, save_all=True, append_images=rest, duration=100)
    with pytest.raises(ImageError, match=refusal):
        check_animation(str(source), str(target), 2)  # names as str or Path
