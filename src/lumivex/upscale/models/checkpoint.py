"""PyTorch checkpoints (.pth, .pt, .ckpt, .safetensors) as upscaling models, through spandrel and an ONNX export.

spandrel (the optional extra `lumivex[torch]`) tells the architecture from the weights and builds the module;
what it states (scale, channels, side multiple and minimum, fp16 support) is the contract. The module is then
exported to ONNX once, checked against itself at a second size (an export that froze a size, or lost a branch,
gives other results there) and kept in the cache folder by the checkpoint's digest, so that it runs on the
same road and runtimes as any ONNX file and a later run needs neither torch nor the export. An architecture that
cannot be exported runs as a TorchModel instead, and its description says so.

Pickled checkpoints are read with torch's weights-only loader: a file that would run code is refused.
"""

import dataclasses
import io
import math
import pathlib
import re
import time
import warnings

from .. import atomic
from . import cache
from .contract import MINIMUM_KEY, MULTIPLE_KEY, Contract
from .errors import NetworkMismatch
from .probe import announce

SUFFIXES = (".pth", ".pt", ".ckpt", ".safetensors")
EXPORT_VERSION = 1  # raised whenever exports change, so older ones are made again
OPSET = 17
INSTALL = 'pip install "lumivex[torch]"'
# spandrel's purposes that are no image-to-image upscaling or restoration of a whole picture.
REFUSED_PURPOSES = {"FaceSR": "a face restoration network", "Inpainting": "an inpainting network"}
EXPORT_CHECK_TOLERANCE = 0.25 / 255  # the export against the module at a second size, in [0, 1] values


class NotExportable(Exception):
    """Why a module could not be exported to an ONNX network that gives its results."""


def is_checkpoint(path):
    return pathlib.Path(path).suffix.lower() in SUFFIXES


def exports_folder():
    base = cache.folder()
    return None if base is None else base / "exports"


@dataclasses.dataclass(frozen=True)
class Described:
    """What spandrel states about a checkpoint, as kept in the cache beside its export."""

    architecture: str
    purpose: str
    scale: int
    channels: int
    parameters: int
    multiple: int
    minimum: int
    half: bool
    bfloat16: bool
    exported: bool = False
    reason: str = ""  # why it was not exported

    @classmethod
    def from_dict(cls, data):
        try:
            return cls(**data) if isinstance(data, dict) else None
        except TypeError:
            return None


def load_checkpoint(path, *, value_range=None, bgr=False, threads=None, digest=None):
    """The model of the checkpoint at `path`: an OnnxModel of its cached export, or a TorchModel where the
    architecture cannot be exported. `digest` is the file's SHA-256 where the caller knows it already.

    Raises NetworkMismatch (one line) for a file that is no usable upscaling checkpoint, or where the extra
    is not installed."""
    path = pathlib.Path(path)
    started = time.perf_counter()
    try:
        digest = digest or cache.file_digest(path)
    except OSError as error:
        raise NetworkMismatch.of(path.name, error.strerror or str(error)) from None
    record_name = f"checkpoint-{digest}-v{EXPORT_VERSION}.json"
    previous = Described.from_dict(cache.load(record_name))
    export = _export_path(digest, path)
    if previous is not None and previous.exported and export is not None and export.is_file():
        return _onnx_model(export, path.name, previous, value_range, bgr, threads, "from the cache", started)

    # Exported before or not, the export is tried only once per file: one that failed fails again.
    tries = export is not None and (previous is None or previous.exported)
    announce(f"{path.name}: reading the checkpoint with PyTorch" + (
        " and exporting it to ONNX (once per file: later runs take the export from the cache)" if tries else ""))
    descriptor = _read(path)
    described = _describe(descriptor, path.name)
    described = dataclasses.replace(described, multiple=_block(descriptor, described))
    if tries:
        try:
            _export(descriptor, described, export)
            described = dataclasses.replace(described, exported=True)
        except NotExportable as why:
            described = dataclasses.replace(described, reason=str(why))
    else:
        described = dataclasses.replace(described, reason=previous.reason if previous is not None else
                                        "there is no cache folder to keep an export in")
    cache.store(record_name, dataclasses.asdict(described))
    if described.exported:
        made = f"made now in {time.perf_counter() - started:.1f} s"
        return _onnx_model(export, path.name, described, value_range, bgr, threads, made, started)
    return _torch_model(descriptor, path.name, described, digest, value_range, bgr)


def _export_path(digest, path):
    folder = exports_folder()
    return None if folder is None else folder / f"{digest}-v{EXPORT_VERSION}" / f"{path.stem}.onnx"


def _read(path):
    """spandrel's descriptor of the checkpoint, its weights read without running any code of the file."""
    name = path.name
    try:
        import torch
        import spandrel
    except ImportError as error:
        raise NetworkMismatch.of(name, f"a PyTorch checkpoint needs PyTorch and spandrel ({error.name} is not "
                                       f"installed): {INSTALL}") from None
    try:
        if path.suffix.lower() == ".safetensors":
            from safetensors.torch import load_file

            state = load_file(str(path), device="cpu")
        else:
            state = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as error:
        # The weights-only loader names what a pickle would have called ("GLOBAL posix.system") when it
        # stops at it; any other failure is a file that is no checkpoint, or a damaged one.
        called = re.search(r"GLOBAL ([\w.]+)", str(error))
        if called:
            raise NetworkMismatch.of(name, f"refused: the file holds more than weights (loading it would call "
                                           f"{called[1]})") from None
        what = "torch cannot read it as weights" if "Weights only load failed" in str(error) else _first(error)
        raise NetworkMismatch.of(name, f"not a readable checkpoint ({what})") from None
    if not isinstance(state, dict):
        raise NetworkMismatch.of(name, f"holds a {type(state).__name__}, not the weights of a network")
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the architectures' notes on torch's own deprecations
            return spandrel.ModelLoader().load_from_state_dict(spandrel.canonicalize_state_dict(state)).eval()
    except spandrel.UnsupportedModelError:
        raise NetworkMismatch.of(name, "spandrel knows no architecture with these weights (not an image "
                                       "network, or one it does not support)") from None
    except Exception as error:
        raise NetworkMismatch.of(name, f"spandrel could not build its network ({_first(error)})") from None


def _describe(descriptor, name):
    """The Described of spandrel's descriptor; NetworkMismatch for what the road cannot run."""
    import spandrel

    architecture = descriptor.architecture.name
    if not isinstance(descriptor, spandrel.ImageModelDescriptor) or descriptor.purpose in REFUSED_PURPOSES:
        what = REFUSED_PURPOSES.get(descriptor.purpose, f"a {descriptor.purpose} network")
        raise NetworkMismatch.of(name, f"{architecture} is {what}, not an image upscaling or restoration "
                                       "network")
    if descriptor.input_channels != descriptor.output_channels or descriptor.input_channels not in (1, 3, 4):
        raise NetworkMismatch.of(name, f"{architecture} takes {descriptor.input_channels} channels and gives "
                                       f"{descriptor.output_channels}; an upscaling network gives what it takes "
                                       "(1, 3 or 4)")
    sizes = descriptor.size_requirements
    if sizes.square:
        raise NetworkMismatch.of(name, f"{architecture} takes only square images, which tiles cannot promise")
    parameters = sum(parameter.numel() for parameter in descriptor.model.parameters())
    return Described(architecture, descriptor.purpose, int(descriptor.scale), int(descriptor.input_channels),
                     int(parameters), int(sizes.multiple_of), int(sizes.minimum), bool(descriptor.supports_half),
                     bool(descriptor.supports_bfloat16))


def _network(descriptor):
    """The descriptor's module as spandrel runs it (its own call and the clamp to [0, 1]), padding aside:
    the road fills windows to the sizes the network needs."""
    import torch

    call = getattr(descriptor, "_call_fn", None) or (lambda model, image: model(image))

    class Restoration(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.model = descriptor.model

        def forward(self, image):
            return call(self.model, image).clamp(0, 1)

    return Restoration().eval()


def _block(descriptor, described):
    """The side multiple windows must keep: spandrel's, or the attention window of the transformers (SwinIR
    and its kin), which pad their input to whole windows and attend within windows laid from its origin: a
    window of the road gives the whole image's result only where it starts on a multiple of theirs."""
    window = getattr(descriptor.model, "window_size", None)
    if isinstance(window, int) and 1 < window <= 64:
        return described.multiple * window // math.gcd(described.multiple, window)
    return described.multiple


def _sides(described, steps):
    """An (height, width) the network takes: at least 32 and its minimum, a multiple of its multiple,
    `steps` multiples larger (heights and widths differ, so that a swap shows)."""
    m = described.multiple
    base = -(-max(32, described.minimum) // m) * m
    return base + m * steps, base + m * (steps + 1 + (m == 1))


def _export(descriptor, described, target):
    """Exports the module to `target` (written whole or not at all) and checks the export against it at a
    second size; NotExportable says why it could not be done."""
    import numpy as np
    import onnx
    import onnxruntime as ort
    import torch

    network = _network(descriptor)
    c = described.channels
    generator = torch.Generator().manual_seed(0)
    example = torch.rand((1, c, *_sides(described, 1)), generator=generator)
    written = io.BytesIO()
    try:
        with warnings.catch_warnings(), torch.no_grad():
            warnings.simplefilter("ignore")  # the tracer's notes on shapes: the check below is what counts
            torch.onnx.export(network, (example,), written, input_names=["input"], output_names=["output"],
                              dynamic_axes={"input": {0: "n", 2: "h", 3: "w"}, "output": {0: "n", 2: "sh", 3: "sw"}},
                              opset_version=OPSET, dynamo=False)
        graph = onnx.load_from_string(written.getvalue())
    except Exception as error:
        raise NotExportable(f"torch could not export it to ONNX ({_first(error)})") from None
    # The minimum side is the adapter's to meet (the road's last windows may be smaller).
    onnx.helper.set_model_props(graph, {MINIMUM_KEY: str(described.minimum), MULTIPLE_KEY: str(described.multiple),
                                        "architecture": described.architecture})
    serialised = graph.SerializeToString()
    other = torch.rand((2, c, *_sides(described, 3)), generator=generator)
    try:
        with torch.no_grad():
            expected = network(other).numpy()
        session = ort.InferenceSession(serialised, providers=["CPUExecutionProvider"])
        found = session.run(None, {"input": other.numpy()})[0]
    except Exception as error:
        raise NotExportable(f"its ONNX export does not run ({_first(error)})") from None
    off = float(np.abs(found - expected).max()) if found.shape == expected.shape else None
    if off is None or not off <= EXPORT_CHECK_TOLERANCE:
        differs = "another shape" if off is None else f"values up to {off * 255:.1f} levels off"
        raise NotExportable(f"its ONNX export gives {differs} at another size than it was traced at")
    target.parent.mkdir(parents=True, exist_ok=True)
    with atomic.atomic_output(target) as file:
        file.write(serialised)


def _onnx_model(export, name, described, value_range, bgr, threads, made, started):
    from .onnx_model import OnnxModel

    model = OnnxModel(export, value_range=value_range, bgr=bgr, threads=threads,
                      fp16=None if described.half else False)
    if model.scale != described.scale:
        raise NetworkMismatch.of(name, f"its export enlarges x{model.scale}, spandrel says x{described.scale}")
    loaded = time.perf_counter() - started
    model.description = (f"{name}: {_summary(described)}; ONNX export {made}, loaded in {loaded:.2f} s: "
                         f"{model.description}, overlap {2 * model.radius}")
    return model


def _torch_model(descriptor, name, described, digest, value_range, bgr):
    """The module run by PyTorch where it cannot be exported: its context measured once, kept in the cache."""
    import cupy as cp

    from .probe import measure_radius
    from .torch_model import TorchModel

    module = _network(descriptor)
    if cp.cuda.is_available():  # the narrowest type spandrel says the architecture computes right in
        module = module.to("cuda")
        if described.half:
            module = module.half()
        elif described.bfloat16:
            module = module.bfloat16()
    contract = Contract("input", "output", channels=described.channels, multiple=described.multiple,
                        minimum=described.minimum, scale=described.scale, value_range=value_range or 1,
                        bgr=bool(bgr))
    entry = cache.entry_name(f"context-{digest}-v{EXPORT_VERSION}", contract.value_range, bgr)
    kept = cache.load(entry) or {}
    if isinstance(kept.get("radius"), int) and isinstance(kept.get("capped"), bool):
        radius, capped, measured = kept["radius"], kept["capped"], "from the cache"
    else:
        announce(f"{name}: measuring the context a window needs (once per file)")
        began = time.perf_counter()
        radius, capped = measure_radius(TorchModel(module, contract=contract, name=name), contract)
        measured = f"measured now in {time.perf_counter() - began:.1f} s"
        cache.store(entry, {"radius": radius, "capped": capped})
    model = TorchModel(module, contract=dataclasses.replace(contract, radius=radius), name=name)
    notices = [f"runs on PyTorch, not ONNX Runtime: {described.reason}"]
    if capped:
        notices.append(f"its result still changes with more than {radius} pixels of context; windows get that "
                       "much (seams may show; a larger overlap helps)")
    model.notice = "; ".join(notices)
    model.description = (f"{name}: {_summary(described)}; on PyTorch {model.device} {model.precision} "
                         f"(context {radius} px {measured}), overlap {2 * radius}")
    return model


def _summary(described):
    sides = f", sides multiple of {described.multiple}" if described.multiple > 1 else ""
    return (f"{described.architecture} x{described.scale}, {described.parameters:,} parameters, "
            f"{described.channels} channels{sides}")


def _first(error):
    from ..messages import first_line

    return first_line(error)

