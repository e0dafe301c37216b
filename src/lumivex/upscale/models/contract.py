"""What an ONNX network takes and gives: the `Contract` an `OnnxModel` keeps, and the part of it that the graph
and its metadata state (`read_graph`). The probe (probe.py) finds the rest by running the network.

Metadata keys read (`metadata_props`, all optional): "value_range" ("255" or "0-255" when the network takes
and gives 0-255; "1" or "0-1"), "receptive_radius" or "receptive_field_radius" (the context in input pixels
a window needs, used as it is instead of measuring it), "minimum_size" (the smallest side it takes: smaller
windows are filled up to it), "side_multiple" (the least multiple its sides and window origins keep; the
probe may find a larger one). The factor is always what the probe sees.
"""

import dataclasses

from .errors import NetworkMismatch

ELEMENT_TYPES = {"tensor(float)": "float32", "tensor(float16)": "float16"}
CHANNEL_COUNTS = (1, 3, 4)
VALUE_RANGES = (1, 255)
RANGE_KEY = "value_range"
RADIUS_KEYS = ("receptive_radius", "receptive_field_radius")
MINIMUM_KEY = "minimum_size"
MULTIPLE_KEY = "side_multiple"


@dataclasses.dataclass(frozen=True)
class Contract:
    """How to feed a network an image batch and read its result.

    `dtype`/`output_dtype` "float32" or "float16"; `layout` "NCHW" or "NHWC"; `channels` 1, 3, 4 or None
    (any count, each batch as it comes); `batch`, `height`, `width` fixed sizes or None; `multiple` what
    each free side must be a multiple of; `scale` the integer factor; `radius` the context in input pixels
    a window needs on each side for its core to equal the whole-image result within half an 8-bit level;
    `value_range` 1 or 255 (the value of white); `bgr` whether the colour order is BGR; `minimum` the
    smallest free side it takes.
    """

    input_name: str
    output_name: str
    dtype: str = "float32"
    output_dtype: str = "float32"
    layout: str = "NCHW"
    channels: int | None = None
    batch: int | None = None
    height: int | None = None
    width: int | None = None
    multiple: int = 1
    scale: int = 1
    radius: int = 0
    value_range: int = 1
    bgr: bool = False
    minimum: int = 0

    @property
    def window(self):
        """The largest (height, width) input the network takes, or None. A side fixed on one axis only limits
        the other to the same, which the free side can take as well."""
        if self.height is None and self.width is None:
            return None
        return (self.height or self.width, self.width or self.height)

    @property
    def plain(self):
        """True when a road batch goes to the network as it is: float32 NCHW RGB in [0, 1], free sizes."""
        return (self.dtype == self.output_dtype == "float32" and self.layout == "NCHW" and self.batch is None
                and self.window is None and self.multiple == 1 and self.minimum <= 1 and self.value_range == 1
                and not self.bgr)

    def summary(self):
        """One line of what differs from a plain network, with the factor and the context, e.g.
        "x4, NHWC float16, batch 1, 64x64 windows, values 0-255, BGR, context 12 px"."""
        parts = [f"x{self.scale}"]
        form = " ".join(part for part in (self.layout if self.layout != "NCHW" else "",
                                          self.dtype if self.dtype != "float32" else "") if part)
        parts += [form] if form else []
        parts += [f"{self.channels} channel" + "s" * (self.channels > 1)] if self.channels in (1, 4) else []
        parts += [f"batch {self.batch}"] if self.batch is not None else []
        if self.window is not None:
            parts.append("{}x{} windows".format(*self.window))
        elif self.multiple > 1:
            parts.append(f"sides multiple of {self.multiple}")
        parts += ["values 0-255"] if self.value_range == 255 else []
        parts += ["BGR"] if self.bgr else []
        parts.append(f"context {self.radius} px")
        return ", ".join(parts)


@dataclasses.dataclass(frozen=True)
class Declared:
    """What the network's metadata states; None where it says nothing."""

    value_range: int | None = None
    radius: int | None = None
    minimum: int = 0
    multiple: int = 1


def read_graph(session, network):
    """(Contract with the graph's names, element types, layout, channels and fixed sizes, and the probe's
    findings left at their defaults; Declared) of an ONNX Runtime session. NetworkMismatch names the first
    thing that does not fit an image network."""
    inputs, outputs = session.get_inputs(), session.get_outputs()
    if len(inputs) != 1:
        names = ", ".join(i.name for i in inputs)
        raise NetworkMismatch.of(network, f"takes {len(inputs)} inputs ({names}); an upscaling network takes "
                                          "one image")
    if len(outputs) != 1:
        names = ", ".join(o.name for o in outputs)
        raise NetworkMismatch.of(network, f"gives {len(outputs)} outputs ({names}); an upscaling network "
                                          "gives one image")
    source, result = inputs[0], outputs[0]
    for role, arg in (("input", source), ("output", result)):
        if arg.type not in ELEMENT_TYPES:
            raise NetworkMismatch.of(network, f"its {role} {arg.name!r} is {arg.type}; float32 or float16 "
                                              "is needed")
        if arg.shape and len(arg.shape) != 4:  # ONNX Runtime gives [] for a rank the graph leaves open
            raise NetworkMismatch.of(network, f"its {role} {arg.name!r} has shape {arg.shape}; an image "
                                              "network takes and gives 4 dimensions (NCHW or NHWC)")
    dims = [d if isinstance(d, int) and d > 0 else None for d in source.shape or [None] * 4]
    # Which axis holds the channels: the one of 1, 3 or 4 at either place; NCHW where nothing tells.
    nhwc = dims[1] not in CHANNEL_COUNTS and dims[3] in CHANNEL_COUNTS
    n, c, h, w = (dims[0], dims[3], dims[1], dims[2]) if nhwc else dims
    if c is not None and c not in CHANNEL_COUNTS:
        shape = "x".join(str(d) if d else "?" for d in dims)
        raise NetworkMismatch.of(network, f"takes {c} channels (input {shape} read as NCHW); 1, 3 or 4 "
                                          "are supported")
    declared = read_metadata(session.get_modelmeta().custom_metadata_map, network)
    contract = Contract(source.name, result.name, ELEMENT_TYPES[source.type], ELEMENT_TYPES[result.type],
                        "NHWC" if nhwc else "NCHW", c, n, h, w, multiple=declared.multiple,
                        minimum=declared.minimum)
    return contract, declared


def read_metadata(metadata, network):
    """The Declared of a network's metadata map; NetworkMismatch for a value that cannot be read."""
    def number(key, allowed=lambda value: True):
        text = metadata.get(key)
        if text is None:
            return None
        value = text.strip().removeprefix("0-")
        if not value.isdigit() or not allowed(int(value)):
            raise NetworkMismatch.of(network, f"its metadata {key}={text!r} cannot be read")
        return int(value)

    radii = [number(key) for key in RADIUS_KEYS]
    return Declared(value_range=number(RANGE_KEY, lambda v: v in VALUE_RANGES),
                    radius=next((r for r in radii if r is not None), None), minimum=number(MINIMUM_KEY) or 0,
                    multiple=number(MULTIPLE_KEY, lambda v: 1 <= v <= 64) or 1)
