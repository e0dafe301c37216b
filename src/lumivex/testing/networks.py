"""Small ONNX upscaling networks for tests and benchmarks, built in memory with `onnx.helper` (needs onnx),
all with fixed pseudo-random weights.

- `placeholder_network`: the contract of the shipped networks (input "input" NCHW float32 with any N, C, H,
  W; one single-channel network folded over the channels; output "output" (N, C, scale*H, scale*W), not
  clamped; metadata "scale"): two zero-padded 3x3 convolutions with biases (receptive radius 2) and a
  depth-to-space step.
- `reference_network` / `variant_network`: one colour network and the same network in every form a user's file
  may take; `deep_network`: a deep stack of known receptive radius; `misfit_network`, `trap_network`: files that
  must be refused at load or fail inside a call.
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


# ---- the networks users bring: every form of file, around one plain reference ----
#
# variant_network(...) wraps the core of reference_network(...) (same seed, same weights) in what a file may
# differ in: element type, layout, fixed batch or size, a side multiple, value range, colour order. Run through
# lumivex's adapter, each must give what the reference gives on the same batch (edge-replicated to the sizes
# the variant needs, then cropped).

def reference_network(scale=2, channels=3, seed=0):
    """A plain network: input "image" NCHW float32 [0, 1] RGB, `channels` fixed, any N, H, W; output "result"
    (N, channels, scale*H, scale*W). Two zero-padded 3x3 convolutions that mix the channels unevenly, so a
    swapped colour order or a wrong plane shows."""
    return variant_network(scale, channels=channels, seed=seed)


def variant_network(scale=2, *, channels=3, batch=None, height=None, width=None, dtype="float32",
                    layout="NCHW", multiple=1, value_range=1, bgr=False, shapes=True, metadata=None, seed=0):
    """The serialised network computing reference_network(scale, channels, seed) behind another contract:
    `batch`, `height`, `width` fixed sizes; `dtype` "float16" input and output (cast around the float32
    core); `layout` "NHWC"; `multiple` sides it needs (space-to-depth and back, which fails on other sides);
    `value_range` 255 (takes and gives 0-255); `bgr` takes and gives BGR; `shapes` False declares neither
    the input's nor the output's shape (not even their rank); `metadata` extra metadata_props."""
    from onnx import TensorProto, helper

    graph = _Graph()
    element = {"float32": TensorProto.FLOAT, "float16": TensorProto.FLOAT16}[dtype]
    core = _core_weights(graph, scale, channels, 4, seed)
    x = "image"
    if dtype != "float32":
        x = graph.node("Cast", [x], to=TensorProto.FLOAT)
    if layout == "NHWC":
        x = graph.node("Transpose", [x], perm=[0, 3, 1, 2])
    if value_range != 1:
        x = graph.node("Mul", [x, graph.constant(np.float32(1 / value_range))])
    order = graph.constant(np.array([2, 1, 0] + list(range(3, channels)), np.int64)) if bgr else None
    if bgr:
        x = graph.node("Gather", [x, order], axis=1)
    if multiple > 1:
        x = graph.node("SpaceToDepth", [x], blocksize=multiple)
        x = graph.node("DepthToSpace", [x], blocksize=multiple, mode="DCR")
    y = core(x)
    if bgr:
        y = graph.node("Gather", [y, order], axis=1)
    if value_range != 1:
        y = graph.node("Mul", [y, graph.constant(np.float32(value_range))])
    if layout == "NHWC":
        y = graph.node("Transpose", [y], perm=[0, 2, 3, 1])
    if dtype != "float32":
        y = graph.node("Cast", [y], to=element)
    graph.node("Identity", [y], output="result")
    sizes = [batch or "N", channels, height or "H", width or "W"]
    outputs = ["N", channels, "H2", "W2"]
    if layout == "NHWC":
        sizes, outputs = [sizes[i] for i in (0, 2, 3, 1)], [outputs[i] for i in (0, 2, 3, 1)]
    if not shapes:
        sizes = outputs = None
    return graph.serialise(f"variant_x{scale}", [helper.make_tensor_value_info("image", element, sizes)],
                           [helper.make_tensor_value_info("result", element, outputs)], metadata,
                           check=shapes)  # onnx's checker wants shapes, ONNX Runtime does not


def deep_network(depth, scale=2, features=8, seed=0):
    """A stack of `depth` zero-padded 3x3 convolutions (receptive radius `depth` input pixels) on RGB,
    ReLU between them, then depth-to-space: input "image" NCHW float32, output "result". Each layer keeps
    half of what it gets and spreads the rest over its neighbours, so the far context fades as in trained
    deep networks and the radius that matters to 8 bits lies well inside `depth`."""
    from onnx import TensorProto, helper

    graph = _Graph()
    rng = np.random.default_rng(seed)
    x = "image"
    widths = [3] + [features] * (depth - 1) + [3 * scale * scale]
    for layer, (inputs, outputs) in enumerate(zip(widths, widths[1:])):
        kernel = np.full((outputs, inputs, 3, 3), 0.5 / (8 * inputs))
        kernel[:, :, 1, 1] = 0.5 / inputs
        kernel *= 1 + 0.5 * rng.standard_normal(kernel.shape)
        x = graph.node("Conv", [x, graph.constant(kernel.astype(np.float32))], pads=[1, 1, 1, 1])
        if layer < depth - 1:
            x = graph.node("Relu", [x])
    graph.node("DepthToSpace", [x], output="result", blocksize=scale, mode="DCR")
    return graph.serialise(f"deep_{depth}",
                           [helper.make_tensor_value_info("image", TensorProto.FLOAT, ["N", 3, "H", "W"])],
                           [helper.make_tensor_value_info("result", TensorProto.FLOAT, ["N", 3, "H2", "W2"])])


def block_network(scale=2, block=2, seed=0):
    """A network that folds `block` x `block` pixels into channels, mixes them and unfolds `scale` times larger:
    its sides must be multiples of `block`, and a window that does not start on one sees other blocks than the
    whole image. Input "image" NCHW float32 RGB, output "result"."""
    from onnx import TensorProto, helper

    graph = _Graph()
    rng = np.random.default_rng(seed)
    folded, unfolded = 3 * block * block, 3 * (block * scale) ** 2
    kernel = (1 / folded + 0.3 / folded * rng.standard_normal((unfolded, folded, 1, 1))).astype(np.float32)
    x = graph.node("SpaceToDepth", ["image"], blocksize=block)
    x = graph.node("Conv", [x, graph.constant(kernel)])
    graph.node("DepthToSpace", [x], output="result", blocksize=block * scale, mode="DCR")
    return graph.serialise(f"blocks_{block}",
                           [helper.make_tensor_value_info("image", TensorProto.FLOAT, ["N", 3, "H", "W"])],
                           [helper.make_tensor_value_info("result", TensorProto.FLOAT, ["N", 3, "H2", "W2"])])


def symmetric_network(scale=2, seed=0):
    """A network that turns with its input: nearest-neighbour enlargement between two zero-padded 3x3
    convolutions whose kernels are unchanged by flips and transposes, so a flipped or transposed input gives the
    result flipped or transposed the same way. Input "image" NCHW float32 RGB, output "result"."""
    from onnx import TensorProto, helper

    graph = _Graph()
    rng = np.random.default_rng(seed)

    def symmetric(outputs, inputs):
        centre, edge, corner = rng.uniform(0.02, 0.2, (3, outputs, inputs, 1, 1))
        ring = np.array([[1, 0, 1], [0, 0, 0], [1, 0, 1]]) * corner + np.array([[0, 1, 0], [1, 0, 1], [0, 1, 0]]) * edge
        return graph.constant((ring + np.array([[0, 0, 0], [0, 1, 0], [0, 0, 0]]) * centre).astype(np.float32))

    x = graph.node("Relu", [graph.node("Conv", ["image", symmetric(FEATURES, 3)], pads=[1, 1, 1, 1])])
    x = graph.node("Resize", [x, "", graph.constant(np.array([1, 1, scale, scale], np.float32))], mode="nearest",
                   coordinate_transformation_mode="asymmetric", nearest_mode="floor")
    graph.node("Conv", [x, symmetric(3, FEATURES)], output="result", pads=[1, 1, 1, 1])
    return graph.serialise(f"symmetric_x{scale}",
                           [helper.make_tensor_value_info("image", TensorProto.FLOAT, ["N", 3, "H", "W"])],
                           [helper.make_tensor_value_info("result", TensorProto.FLOAT, ["N", 3, "H2", "W2"])])


def out_of_fp16_network(factor, scale=2, seed=0):
    """reference_network(scale) times a step that gives the input back in fp32 (to a rounding) but whose
    intermediate values leave the range of fp16: the input is scaled by `factor`, squared, and its square root
    scaled back. A `factor` of 300 overflows (fp16 ends at 65504) for inputs above about 0.85, giving
    infinities; one of 1e-4 underflows (below 6e-8 is 0), giving only zeros. The square passes through a Concat
    and a Slice: ONNX Runtime's CPU provider computes arithmetic it has no fp16 kernels for in fp32, but moves
    data in the converted type, so the square is held in fp16 there too."""
    from onnx import TensorProto, helper

    graph = _Graph()
    core = _core_weights(graph, scale, 3, FEATURES, seed)
    large = graph.node("Mul", ["image", graph.constant(np.float32(factor))])
    square = graph.node("Mul", [large, large])
    held = graph.node("Slice", [graph.node("Concat", [square, square], axis=1), graph.constant(np.array([0])),
                                graph.constant(np.array([3])), graph.constant(np.array([1]))])
    back = graph.node("Div", [graph.node("Sqrt", [held]), graph.constant(np.float32(factor))])
    step = graph.node("Resize", [back, "", graph.constant(np.array([1, 1, scale, scale], np.float32))],
                      mode="nearest")
    graph.node("Mul", [core("image"), step], output="result")
    return graph.serialise("out_of_fp16",
                           [helper.make_tensor_value_info("image", TensorProto.FLOAT, ["N", 3, "H", "W"])],
                           [helper.make_tensor_value_info("result", TensorProto.FLOAT, ["N", 3, "H2", "W2"])])


MISFITS = ("two inputs", "uint8 input", "two channels", "x1.5", "NaN", "channels changed")


def misfit_network(kind):
    """A serialised network that does not fit an upscaling model, of one of the MISFITS kinds: two image
    inputs, an 8-bit integer input, a two-channel input, output 1.5 times the input, NaN everywhere, or one
    output channel for three input channels."""
    from onnx import TensorProto, helper

    if kind not in MISFITS:
        raise ValueError(f"no misfit network {kind!r}; there are {MISFITS}")
    graph = _Graph()
    channels = 2 if kind == "two channels" else 3
    element = TensorProto.UINT8 if kind == "uint8 input" else TensorProto.FLOAT
    inputs = [helper.make_tensor_value_info("image", element, ["N", channels, "H", "W"])]
    x = graph.node("Cast", ["image"], to=TensorProto.FLOAT) if kind == "uint8 input" else "image"
    if kind == "two inputs":
        inputs.append(helper.make_tensor_value_info("guide", TensorProto.FLOAT, ["N", 3, "H", "W"]))
        x = graph.node("Add", [x, "guide"])
    if kind == "NaN":
        x = graph.node("Sqrt", [graph.node("Sub", [x, graph.constant(np.float32(2))])])
    if kind == "channels changed":
        x = graph.node("ReduceMean", [x], axes=[1], keepdims=1)
    factor = 1.5 if kind == "x1.5" else 2
    empty = graph.constant(np.zeros(0, np.float32))
    graph.node("Resize", [x, empty, graph.constant(np.array([1, 1, factor, factor], np.float32))],
               output="result", mode="nearest")
    return graph.serialise(f"misfit {kind}", inputs,
                           [helper.make_tensor_value_info("result", TensorProto.FLOAT, ["N", "C", "H2", "W2"])])


def trap_network(scale=2, seed=0):
    """reference_network(scale) that fails inside ONNX Runtime (an index out of bounds) on a batch holding an
    exact 0, and gives NaN on one holding an exact 1: values a probe of textures strictly inside (0, 1) never
    meets, so it loads and then fails inside a call."""
    from onnx import TensorProto, helper

    graph = _Graph()
    core = _core_weights(graph, scale, 3, 4, seed)
    y = core("image")
    lowest = graph.node("ReduceMin", ["image"], keepdims=0)
    index = graph.node("Cast", [graph.node("Equal", [lowest, graph.constant(np.float32(0))])], to=TensorProto.INT64)
    out_of_bounds = graph.node("Gather", [graph.constant(np.zeros(1, np.float32)), index])
    log = graph.node("Log", [graph.node("Sub", [graph.constant(np.float32(1)), "image"])])
    nan = graph.node("ReduceSum", [graph.node("Mul", [log, graph.constant(np.float32(0))])], keepdims=0)
    graph.node("Add", [graph.node("Add", [y, out_of_bounds]), nan], output="result")
    return graph.serialise(f"trap_x{scale}",
                           [helper.make_tensor_value_info("image", TensorProto.FLOAT, ["N", 3, "H", "W"])],
                           [helper.make_tensor_value_info("result", TensorProto.FLOAT, ["N", 3, "H2", "W2"])])


def write_network(path, network):
    """Writes the serialised `network` (bytes) to `path` and returns the path."""
    with open(path, "wb") as file:
        file.write(network)
    return path


def _core_weights(graph, scale, channels, features, seed):
    """The reference core as a function from a node name (NCHW float32) to its output's name."""
    rng = np.random.default_rng(seed)
    w1 = (1 / (9 * channels) + 0.1 * rng.standard_normal((features, channels, 3, 3))).astype(np.float32)
    b1 = (0.05 * rng.standard_normal(features)).astype(np.float32)
    w2 = (1 / (9 * features) + 0.05 * rng.standard_normal((channels * scale * scale, features, 3, 3)))
    b2 = 0.05 * rng.standard_normal(channels * scale * scale)
    names = [graph.constant(value.astype(np.float32)) for value in (w1, b1, w2, b2)]

    def core(x):
        x = graph.node("Relu", [graph.node("Conv", [x, names[0], names[1]], pads=[1, 1, 1, 1])])
        x = graph.node("Conv", [x, names[2], names[3]], pads=[1, 1, 1, 1])
        return graph.node("DepthToSpace", [x], blocksize=scale, mode="DCR") if scale > 1 else x
    return core


class _Graph:
    """Nodes and constants of a graph being built, with fresh names."""

    def __init__(self):
        self.nodes, self.constants = [], []

    def node(self, op, inputs, output=None, **attributes):
        from onnx import helper

        output = output or f"t{len(self.nodes)}"
        self.nodes.append(helper.make_node(op, inputs, [output], **attributes))
        return output

    def constant(self, value):
        from onnx import numpy_helper

        name = f"c{len(self.constants)}"
        self.constants.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    def serialise(self, name, inputs, outputs, metadata=None, check=True):
        import onnx
        from onnx import helper

        model = helper.make_model(helper.make_graph(self.nodes, name, inputs, outputs, self.constants),
                                  opset_imports=[helper.make_opsetid("", OPSET)])
        model.ir_version = 8
        if metadata:
            helper.set_model_props(model, dict(metadata))
        if check:
            onnx.checker.check_model(model)
        return model.SerializeToString()
