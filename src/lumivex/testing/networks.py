"""Small ONNX upscaling networks for tests and benchmarks, built in memory with `onnx.helper` (needs onnx).

They keep the contract of the shipped networks (input "input" NCHW float32 with any N, C, H, W; one
single-channel network folded over the channels; output "output" (N, C, scale*H, scale*W), not clamped;
metadata "scale") with fixed pseudo-random weights: two zero-padded 3x3 convolutions with biases (receptive
radius 2) and a depth-to-space step.
"""

import numpy as np

FEATURES = 4
OPSET = 17


def placeholder_network(scale, seed=0):
    """The serialised ONNX network (bytes) enlarging `scale` times."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    rng = np.random.default_rng(seed)
    # Near an average of the neighbourhood, so outputs stay in range, with enough variation to show any
    # difference in what the network sees at a border.
    w1 = (1 / 9 + 0.1 * rng.standard_normal((FEATURES, 1, 3, 3))).astype(np.float32)
    b1 = (0.05 * rng.standard_normal(FEATURES)).astype(np.float32)
    w2 = (1 / (9 * FEATURES) + 0.05 * rng.standard_normal((scale * scale, FEATURES, 3, 3))).astype(np.float32)
    b2 = (0.05 * rng.standard_normal(scale * scale)).astype(np.float32)
    constants = [numpy_helper.from_array(value, name) for value, name in (
        (w1, "w1"), (b1, "b1"), (w2, "w2"), (b2, "b2"), (np.array([-1, 1, 0, 0], np.int64), "planes"))]
    nodes = [
        helper.make_node("Reshape", ["input", "planes"], ["x"]),  # (N*C, 1, H, W)
        helper.make_node("Conv", ["x", "w1", "b1"], ["c1"], pads=[1, 1, 1, 1]),
        helper.make_node("Relu", ["c1"], ["r1"]),
        helper.make_node("Conv", ["r1", "w2", "b2"], ["c2"], pads=[1, 1, 1, 1]),
        helper.make_node("DepthToSpace", ["c2"], ["y"], blocksize=scale, mode="DCR"),  # (N*C, 1, sH, sW)
        helper.make_node("Shape", ["input"], ["nc"], start=0, end=2),
        helper.make_node("Shape", ["y"], ["hw"], start=2, end=4),
        helper.make_node("Concat", ["nc", "hw"], ["shape"], axis=0),
        helper.make_node("Reshape", ["y", "shape"], ["output"]),
    ]
    graph = helper.make_graph(
        nodes, f"placeholder_x{scale}",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, ["N", "C", "H", "W"])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, ["N", "C", "H2", "W2"])],
        constants)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8  # readable by older ONNX Runtime releases too
    helper.set_model_props(model, {"scale": str(scale)})
    onnx.checker.check_model(model)
    return model.SerializeToString()


def write_placeholder_network(path, scale, seed=0):
    """Writes placeholder_network(scale, seed) to `path` and returns the path."""
    with open(path, "wb") as file:
        file.write(placeholder_network(scale, seed))
    return path
