"""The options that set how much and how the network works on each file, through the command: --strength blends
with the plain enlargement, --tta averages the eight flips and transposes, --precision falls back to fp32."""

import numpy as np
import pytest

Image = pytest.importorskip("PIL.Image")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")

from lumivex.testing import networks
from lumivex.transform.resize import resize
from lumivex.upscale import cli, pipeline
from lumivex.upscale.arrays import array_module
from lumivex.upscale.upscaler import Settings, to_levels
from lumivex.utils.dtypes import to_float32

cp = array_module()
GEOMETRY = ["--tile-size", "24", "--overlap", "8", "--batch-size", "3"]


def picture(height=70, width=45, seed=3):
    return np.random.default_rng(seed).integers(0, 256, (height, width, 3), dtype=np.uint8)


def save(kind, folder, pixels):
    if kind == "image":
        Image.fromarray(pixels).save(folder / "in.png")
        return "in.png"
    frames = [Image.fromarray(pixels), Image.fromarray(pixels[::-1].copy())]
    frames[0].save(folder / "in.apng", format="PNG", save_all=True, append_images=frames[1:], duration=80)
    return "in.apng"


def first_frame(path):
    with Image.open(path) as image:
        return np.asarray(image.convert("RGB"))


@pytest.mark.parametrize("kind", ["image", "animation"])
@pytest.mark.parametrize("strength", [0, 0.3, 1])
def test_strength_blends_the_network_with_the_plain_enlargement(tmp_path, monkeypatch, kind, strength):
    monkeypatch.chdir(tmp_path)
    # Network bands of a few rows, cut unlike the plain enlargement's.
    monkeypatch.setattr(pipeline, "BAND_ELEMENTS", 3 * 4 * 90 * 11)
    networks.write_network(tmp_path / "net.onnx", networks.variant_network(2))
    name = save(kind, tmp_path, picture())
    pixels = picture()
    out = "out" + name[name.index("."):]
    assert cli.main([name, out, "-n", "net.onnx", "--strength", str(strength), *GEOMETRY]) == 0

    image = to_float32(cp.asarray(pixels))
    network = Settings("net.onnx", tile_size=24, overlap=8, batch_size=3).load().image(image)
    plain = resize(image, dsize=(90, 140))
    expected = to_levels(network * np.float32(strength) + plain * np.float32(1 - strength), np.uint8)
    np.testing.assert_array_equal(first_frame(out), expected)


def test_tta_with_a_network_that_turns_with_its_input_equals_the_plain_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    networks.write_network(tmp_path / "net.onnx", networks.symmetric_network(2))
    Image.fromarray(picture()).save("in.png")
    assert cli.main(["in.png", "plain.png", "-n", "net.onnx", *GEOMETRY]) == 0
    assert cli.main(["in.png", "tta.png", "-n", "net.onnx", "--tta", *GEOMETRY]) == 0
    plain, averaged = first_frame("plain.png").astype(int), first_frame("tta.png").astype(int)
    # The eight runs add up in other orders than one: a level's rounding may differ, nothing more.
    assert np.abs(plain - averaged).max() <= 1 and (plain != averaged).mean() < 0.001


def test_tta_is_refused_for_a_fixed_window_of_unequal_sides(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    networks.write_network(tmp_path / "net.onnx", networks.variant_network(batch=1, height=32, width=48))
    Image.fromarray(picture()).save("in.png")
    assert cli.main(["in.png", "out.png", "-n", "net.onnx", "--tta"]) == 2
    error = capsys.readouterr().err
    assert len(error.splitlines()) == 1 and "--tta" in error and "32x48" in error
    assert not (tmp_path / "out.png").exists()


@pytest.mark.parametrize("factor", [300, 1e-4], ids=["infinities", "zeros"])
def test_a_batch_out_of_the_fp16_range_runs_again_at_fp32(tmp_path, monkeypatch, capsys, factor):
    monkeypatch.chdir(tmp_path)
    networks.write_network(tmp_path / "net.onnx", networks.out_of_fp16_network(factor))
    # Bright pixels in every window: every batch overflows at fp16.
    Image.fromarray(picture()).save("in.png")
    assert cli.main(["in.png", "fp32.png", "-n", "net.onnx", "--precision", "fp32", *GEOMETRY]) == 0
    assert "ran again" not in capsys.readouterr().out
    assert cli.main(["in.png", "fp16.png", "-n", "net.onnx", "--precision", "fp16", *GEOMETRY]) == 0
    said = capsys.readouterr().out
    assert "CPU fp16" in said  # it did run converted
    notes = [line for line in said.splitlines() if "ran again at fp32" in line]
    assert len(notes) == 1 and notes[0].startswith("note: 5 batches")  # all: 5 x 3 windows
    np.testing.assert_array_equal(first_frame("fp16.png"), first_frame("fp32.png"))


def test_a_network_broken_at_fp32_too_fails_the_file_in_one_line(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    networks.write_network(tmp_path / "trap.onnx", networks.trap_network(2))
    Image.fromarray(np.full((20, 30, 3), 255, np.uint8)).save("white.png")  # NaN at any precision
    assert cli.main(["white.png", "out.png", "-n", "trap.onnx", "--precision", "fp16"]) == cli.EXIT_PARTIAL
    error = capsys.readouterr().err.splitlines()
    assert len(error) == 1 and error[0].startswith("lumivex-upscale: failed white.png: trap.onnx failed on 1 window "
                                                   "of 20x30 pixels") and "NaN" in error[0]
    assert not (tmp_path / "out.png").exists()
