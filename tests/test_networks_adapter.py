"""Any network a user brings gives what the same network gives in plain form: every variant of one reference
network (element type, layout, fixed batch or size, side multiple, value range, colour order, factor, channel
count), loaded as an OnnxModel, against the reference run directly by ONNX Runtime; files that do not fit are
refused at load, and failures inside a call come back as one NetworkError line."""

import numpy as np
import pytest

pytest.importorskip("onnx")
onnxruntime = pytest.importorskip("onnxruntime")

from lumivex.testing import networks
from lumivex.upscale import models

# id: (variant_network arguments, OnnxModel arguments, (scale, max_batch, window))
VARIANTS = {
    "fixed 1x3x64x64": ({"batch": 1, "height": 64, "width": 64}, {}, (2, 1, (64, 64))),
    "fixed batch 3": ({"batch": 3}, {}, (2, 3, None)),
    "fp16 NHWC": ({"dtype": "float16", "layout": "NHWC"}, {}, (2, None, None)),
    "even sides": ({"multiple": 2}, {}, (2, None, None)),
    "x3, sides of 8": ({"scale": 3, "multiple": 8}, {}, (3, None, None)),
    "sides of 32": ({"multiple": 32}, {}, (2, None, None)),
    "fixed height 40, sides of 4": ({"height": 40, "multiple": 4}, {}, (2, None, (40, 40))),
    "x1": ({"scale": 1}, {}, (1, None, None)),
    "x8, the most taken": ({"scale": 8}, {}, (8, None, None)),
    "0-255 said": ({"value_range": 255}, {"value_range": 255}, (2, None, None)),
    "0-255 in metadata": ({"value_range": 255, "metadata": {"value_range": "255"}}, {}, (2, None, None)),
    "BGR": ({"bgr": True}, {"bgr": True}, (2, None, None)),
    "one channel": ({"channels": 1}, {}, (2, None, None)),
    "four channels": ({"channels": 4}, {}, (2, None, None)),
    "no declared shapes": ({"shapes": False}, {}, (2, None, None)),
    "all at once": ({"scale": 4, "batch": 2, "height": 40, "dtype": "float16", "layout": "NHWC",
                     "value_range": 255, "bgr": True}, {"value_range": 255, "bgr": True}, (4, 2, (40, 40))),
}
FP16_TOLERANCE = 3e-3  # fp16 rounding of the input and output, about 2^-11 each on values up to 1


@pytest.fixture(scope="module")
def loaded(tmp_path_factory):
    """OnnxModel of a variant, made once per variant."""
    folder, made = tmp_path_factory.mktemp("variants"), {}

    def load(name):
        if name not in made:
            arguments, options, _ = VARIANTS[name]
            path = networks.write_network(folder / f"{len(made)}.onnx", networks.variant_network(**arguments))
            made[name] = models.OnnxModel(path, **options)
        return made[name]
    return load


def reference_result(windows, scale=2, channels=3, height=None, width=None, multiple=1, **_):
    """What the variant must give for the road's batch `windows` (host, NCHW): the reference network on the batch
    edge-replicated to the sizes the variant takes, cropped back; a grey plane through a colour network as the
    mean of three equal planes, colour through a one-channel network plane by plane, and colour through a
    four-channel one with an opaque alpha plane."""
    session = onnxruntime.InferenceSession(networks.reference_network(scale, channels),
                                           providers=["CPUExecutionProvider"])
    n, c, h, w = windows.shape
    size_h = height or -(-h // multiple) * multiple
    size_w = width or -(-w // multiple) * multiple
    x = np.pad(windows, ((0, 0), (0, 0), (0, size_h - h), (0, size_w - w)), mode="edge")
    run = lambda planes: session.run(None, {"image": np.ascontiguousarray(planes)})[0]
    if channels == 1:
        y = run(x.reshape(n * c, 1, size_h, size_w)).reshape(n, c, scale * size_h, scale * size_w)
    elif c == 1:
        y = reference_result(np.repeat(windows, 3, axis=1), scale, channels, height, width, multiple)
        return y.mean(axis=1, keepdims=True)
    elif channels == 4:
        y = run(np.concatenate([x, np.ones_like(x[:, :1])], axis=1))[:, :3]
    else:
        y = run(x)
    return y[..., :scale * h, :scale * w]


@pytest.mark.parametrize("shape", [(5, 3, 13, 21), (2, 1, 40, 37)], ids=["5 odd colour windows", "2 grey"])
@pytest.mark.parametrize("name", VARIANTS)
def test_a_variant_gives_what_the_reference_gives(cp, to_host, loaded, name, shape):
    arguments, _, (scale, max_batch, window) = VARIANTS[name]
    model = loaded(name)
    assert (model.scale, model.max_batch, model.window, model.notice) == (scale, max_batch, window, None)
    assert model.multiple == arguments.get("multiple", 1)  # a larger one only costs padding, so nothing else tells
    if name == "all at once":  # what the command's device line says of the network
        assert model.contract.summary() == "x4, NHWC float16, batch 2, 40x40 windows, values 0-255, BGR, context 2 px"
    rng = np.random.default_rng(sum(shape))
    batch = rng.uniform(0, 1, size=shape).astype(np.float32)

    result = model(cp.asarray(batch))

    assert isinstance(result, cp.ndarray) and result.dtype == cp.float32
    tolerance = FP16_TOLERANCE if arguments.get("dtype") == "float16" else 2e-5
    np.testing.assert_allclose(to_host(result), reference_result(batch, **arguments), rtol=0, atol=tolerance)


@pytest.mark.parametrize("kind, what", [
    ("two inputs", "takes 2 inputs (image, guide)"),
    ("uint8 input", "tensor(uint8)"),
    ("two channels", "takes 2 channels"),
    ("x1.5", "output of 37x40 for an input of 25x27 is not a whole multiple"),
    ("NaN", "NaN"),
    ("channels changed", "gives 1 channel for 3"),
])
def test_a_network_that_does_not_fit_is_refused_at_load_in_one_line(tmp_path, kind, what):
    path = networks.write_network(tmp_path / "user.onnx", networks.misfit_network(kind))
    with pytest.raises(models.NetworkMismatch) as refusal:
        models.OnnxModel(path)
    message = str(refusal.value)
    assert message.startswith("user.onnx: ") and what in message and "\n" not in message


@pytest.mark.parametrize("value, cause", [(0.0, "indices element out of data bounds"),
                                          (1.0, "it gave NaN or infinite values")])
def test_a_failure_inside_a_call_is_one_network_error_line(cp, tmp_path, value, cause):
    model = models.OnnxModel(networks.write_network(tmp_path / "trap.onnx", networks.trap_network()))
    batch = np.full((2, 3, 10, 12), 0.5, np.float32)
    batch[1, 2, 4, 5] = value
    with pytest.raises(models.NetworkError) as failure:
        model(cp.asarray(batch))
    message = str(failure.value)
    assert message.startswith("trap.onnx failed on 2 windows of 10x12 pixels") and cause in message
    assert "\n" not in message


@pytest.mark.parametrize("scale, factor", [(None, 2), (1.5, 2), (3, 4), (8, 4)])
def test_builtin_is_the_shipped_network_nearest_at_or_above_the_scale(scale, factor):
    try:
        model = models.load_model("builtin", scale)
    except FileNotFoundError as missing:
        pytest.skip(str(missing))
    # Any channel count goes through them as it is (they fold the channels themselves).
    assert (model.scale, model.name, model.radius, model.contract.channels) == (factor, f"sr_x{factor}.onnx", 5, None)
    assert model.contract.plain  # RGB in 0-1 unless the caller says otherwise
