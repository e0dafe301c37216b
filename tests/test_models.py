"""The shipped super-resolution networks keep the contract the upscaling road relies on: names, metadata,
any channel count folded through one single-channel network, the output scale times larger and in the
input's orientation. Runs on onnxruntime's CPU provider, on host arrays.
"""

import importlib.resources

import numpy as np
import onnxruntime
import pytest



def open_model(scale):
    path = importlib.resources.files("lumivex.upscale") / "models" / f"sr_x{scale}.onnx"
    with importlib.resources.as_file(path) as file:
        return onnxruntime.InferenceSession(str(file), providers=["CPUExecutionProvider"])


@pytest.mark.parametrize("scale", [2, 4])
@pytest.mark.parametrize("channels", [1, 3, 4])
def test_network_upscales_each_channel_of_a_plane_alone(scale, channels):
    """Every channel is a different tilted plane (the first one flat grey); a network that mixes channels,
    misorders its sub-pixel phases, flips or shifts the image, or changes the brightness of flat areas
    fails to reproduce the plane sampled at the output pixel centres."""
    session = open_model(scale)
    assert [i.name for i in session.get_inputs()] == ["input"]
    assert [o.name for o in session.get_outputs()] == ["output"]
    metadata = session.get_modelmeta().custom_metadata_map
    assert metadata["scale"] == str(scale)
    radius = int(metadata["receptive_field_radius"])  # input pixels

    n, h, w = 2, 21, 30
    rng = np.random.default_rng(channels)
    levels = rng.uniform(0.3, 0.7, size=(n, channels, 1, 1))
    slopes = rng.uniform(-0.01, 0.01, size=(2, n, channels, 1, 1))
    slopes[:, :, 0] = 0
    ys, xs = np.arange(h)[:, None], np.arange(w)[None, :]
    image = (levels + slopes[0] * (ys - h / 2) + slopes[1] * (xs - w / 2)).astype(np.float32)

    output = session.run(["output"], {"input": image})[0]

    assert output.shape == (n, channels, h * scale, w * scale) and output.dtype == np.float32
    centre = lambda k: (k + 0.5) / scale - 0.5  # input coordinate of output pixel k
    yo, xo = centre(np.arange(h * scale))[:, None], centre(np.arange(w * scale))[None, :]
    expected = levels + slopes[0] * (yo - h / 2) + slopes[1] * (xo - w / 2)
    inner = slice(radius * scale, -radius * scale)  # the edge padding bends a plane near the border
    np.testing.assert_allclose(output[:, 0], expected[:, 0], atol=1 / 255)
    np.testing.assert_allclose(output[..., inner, inner], expected[..., inner, inner], atol=1 / 255)
