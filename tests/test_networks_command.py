"""Networks as users bring them, through the command with its defaults: each file's contract read at load, its
context measured, and the tiled result within a level of 8 bits of the same network run on the whole image."""

import numpy as np
import pytest

pytest.importorskip("onnx")
onnxruntime = pytest.importorskip("onnxruntime")
Image = pytest.importorskip("PIL.Image")

from lumivex.testing import networks
from lumivex.upscale import cli

# id: (the file, what the whole-image run is, the command's flags, the factor produced, largest level difference)
CASES = {
    "x4 without --scale": (lambda: networks.variant_network(4), lambda: networks.reference_network(4), [], 4, 1),
    "x3": (lambda: networks.variant_network(3), lambda: networks.reference_network(3), [], 3, 1),
    "fixed 1x3x64x64": (lambda: networks.variant_network(batch=1, height=64, width=64),
                        lambda: networks.reference_network(), [], 2, 1),
    # On odd sides, a network that needs even ones sees the image with its last row and column repeated.
    "fp16 NHWC, even sides": (lambda: networks.variant_network(dtype="float16", layout="NHWC", multiple=2),
                              lambda: networks.reference_network(), [], 2, 1),
    "blocks of 4": (lambda: networks.block_network(block=4), lambda: networks.block_network(block=4),
                    ["--tile-size", "64"], 2, 1),  # several core rows, so that windows start inside the image
    "0-255, BGR": (lambda: networks.variant_network(value_range=255, bgr=True), lambda: networks.reference_network(),
                   ["--range", "255", "--bgr"], 2, 1),
    "deep stack": (lambda: networks.deep_network(12), lambda: networks.deep_network(12), [], 2, 2),
}


def photo(height, width):
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:height, 0:width] / 23.0
    planes = [0.5 + 0.35 * np.sin(x * (0.6 + 0.3 * k) + y * (1.1 - 0.2 * k)) for k in range(3)]
    pixels = np.stack(planes, axis=2) + 0.08 * rng.standard_normal((height, width, 3))
    return (np.clip(pixels, 0, 1) * 255 + 0.5).astype(np.uint8)


def whole_image_run(network, pixels, factor, multiple):
    session = onnxruntime.InferenceSession(network, providers=["CPUExecutionProvider"])
    height, width, _ = pixels.shape
    padded = np.pad(pixels, ((0, -height % multiple), (0, -width % multiple), (0, 0)), mode="edge")
    batch = (padded.astype(np.float32) / 255).transpose(2, 0, 1)[None]
    result = session.run(None, {session.get_inputs()[0].name: batch})[0][0].transpose(1, 2, 0)
    return (np.clip(result, 0, 1) * 255 + 0.5).astype(np.uint8)[:factor * height, :factor * width]


@pytest.mark.parametrize("case", CASES)
def test_a_users_network_runs_with_the_defaults_and_shows_no_seams(tmp_path, monkeypatch, capsys, case):
    variant, reference, flags, factor, levels = CASES[case]
    monkeypatch.chdir(tmp_path)
    pixels = photo(301, 263)  # odd sides, and more than one window each way at any tile size chosen
    Image.fromarray(pixels).save("photo.png")
    networks.write_network(tmp_path / "net.onnx", variant())

    assert cli.main(["photo.png", "--model", "net.onnx", *flags]) == 0, capsys.readouterr().err
    with Image.open(f"photo_x{factor}.png") as result:
        tiled = np.asarray(result)
    expected = whole_image_run(reference(), pixels, factor, {"fp16 NHWC, even sides": 2, "blocks of 4": 4}.get(case, 1))
    assert tiled.shape == expected.shape
    assert np.abs(tiled.astype(int) - expected).max() <= levels


def test_a_network_failing_inside_a_run_is_one_line_naming_it_and_the_other_files_go_on(tmp_path, monkeypatch,
                                                                                       capsys):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "photos").mkdir()
    pixels = photo(40, 30)
    pixels = np.clip(pixels, 1, 254)  # neither an exact 0 nor an exact 1, which the trap network fails on
    Image.fromarray(pixels).save("photos/fine.png")
    pixels[5, 5] = 0  # the trap: ONNX Runtime fails on a batch holding an exact 0
    Image.fromarray(pixels).save("photos/black.png")
    networks.write_network(tmp_path / "trap.onnx", networks.trap_network())

    assert cli.main(["photos", "--model", "trap.onnx"]) == cli.EXIT_PARTIAL
    error = capsys.readouterr().err.splitlines()
    assert len(error) == 1 and error[0].startswith("lumivex-upscale: failed photos/black.png: trap.onnx failed on ")
    assert "1 window of 40x30 pixels" in error[0] and "Traceback" not in error[0]
    assert sorted(path.name for path in (tmp_path / "photos_x2").iterdir()) == ["fine.png"]
