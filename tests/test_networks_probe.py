"""The probe's findings: the context it measures settles a deep network's result to half an 8-bit level and
no less would, a radius the file declares is taken as it is, and a second load of the same file runs nothing
(the findings come from the cache, which a broken or unwritable cache folder only bypasses)."""

import numpy as np
import pytest

pytest.importorskip("onnx")
onnxruntime = pytest.importorskip("onnxruntime")

from lumivex.testing import networks
from lumivex.upscale import models
from lumivex.upscale.models.probe import texture

DEPTH = 12  # 3x3 convolutions: the receptive radius, of which far less matters to 8 bits
HALF_LEVEL = 0.5 / 255


def photo_like(height, width, seed=1):
    """Smooth colour waves with a little noise, in [0, 1], (3, height, width)."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width] / 37.0
    planes = [0.5 + 0.3 * np.sin(x * rng.uniform(0.5, 2) + y * rng.uniform(0.5, 2) + k) for k in range(3)]
    return np.clip(np.stack(planes) + 0.05 * rng.standard_normal((3, height, width)), 0, 1).astype(np.float32)


def worst_core_error(session, image, context, scale=2, core=16):
    """The largest difference between cores of `core` pixels cut with `context` around them and the same
    pixels of the whole-image result, over cores spread over the image."""
    run = lambda pixels: session.run(None, {"image": np.ascontiguousarray(pixels[None])})[0][0]
    whole = run(image)
    worst = 0.0
    for y, x in ((40, 40), (52, 30), (30, 61), (63, 57)):
        found = run(image[:, y - context:y + core + context, x - context:x + core + context])
        inside = found[:, scale * context:scale * (context + core), scale * context:scale * (context + core)]
        wanted = whole[:, scale * y:scale * (y + core), scale * x:scale * (x + core)]
        worst = max(worst, float(np.abs(inside - wanted).max()))
    return worst


def test_the_measured_radius_is_the_context_that_settles_the_result(tmp_path):
    network = networks.deep_network(DEPTH)
    model = models.OnnxModel(networks.write_network(tmp_path / "deep.onnx", network))
    session = onnxruntime.InferenceSession(network, providers=["CPUExecutionProvider"])
    assert 0 < model.radius < DEPTH
    assert worst_core_error(session, photo_like(120, 120), model.radius) <= HALF_LEVEL
    assert worst_core_error(session, texture(120, 120, 3, seed=5), model.radius - 1) > HALF_LEVEL


def test_a_network_that_sees_the_whole_image_is_given_the_largest_context_tried(cp):
    from lumivex.upscale.models.contract import Contract
    from lumivex.upscale.models.probe import measure_radius

    def lit_by_the_corner(batch):  # every output pixel depends on the image's first pixel, however far
        return batch.repeat(2, axis=2).repeat(2, axis=3) + batch[..., :1, :1]

    assert measure_radius(lit_by_the_corner, Contract("image", "result", scale=2)) == (64, True)


@pytest.mark.parametrize("key", ["receptive_radius", "receptive_field_radius"])
def test_a_declared_radius_is_taken_as_it_is(tmp_path, key):
    network = networks.variant_network(metadata={key: "11"})
    assert models.OnnxModel(networks.write_network(tmp_path / "declared.onnx", network)).radius == 11


@pytest.mark.parametrize("cache", ["usable", "unwritable", "corrupted"])
def test_a_second_load_of_the_same_file_runs_nothing(tmp_path, monkeypatch, cache):
    runs = []
    real_run = onnxruntime.InferenceSession.run
    monkeypatch.setattr(onnxruntime.InferenceSession, "run",
                        lambda session, *args, **kwargs: runs.append(1) or real_run(session, *args, **kwargs))
    folder = tmp_path / "cache"
    if cache == "unwritable":
        folder.write_text("a file where the cache folder would be")
    monkeypatch.setenv("XDG_CACHE_HOME", str(folder))
    network = networks.deep_network(8, seed=3)
    first = models.OnnxModel(networks.write_network(tmp_path / "first.onnx", network))
    probe_runs = len(runs)
    if cache == "corrupted":
        (entry,) = (folder / "lumivex").iterdir()
        entry.write_text('{"version": 1, "scale": "2", "multiple": 1, "channels": null, "radius": 0, '
                         '"capped": false, "brightness_shift": 0.0}')

    # The same bytes under another name: the cache knows files by their content.
    second = models.OnnxModel(networks.write_network(tmp_path / "second.onnx", network))

    assert probe_runs > 0 and second.contract == first.contract
    assert len(runs) == (2 * probe_runs if cache != "usable" else probe_runs)
