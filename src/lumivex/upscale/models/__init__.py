"""Models for `lumivex.upscale.pipeline.upscale`, and the networks shipped with the package.

- `OnnxModel(path, *, value_range=None, bgr=False)`: any ONNX super-resolution network, its contract read
  from the file and a probe at load (`model.contract`: factor, context, element type, layout, fixed sizes,
  side multiple, channels, value range, colour order), run by ONNX Runtime (CUDA with I/O binding on CuPy
  memory where `onnxruntime-gpu` and a device are present, the CPU otherwise).
- `TorchModel(module)`: a user's PyTorch module, handed CuPy arrays through DLPack (needs torch).
- `load_model(name, scale=None, ...)`: "builtin" (the shipped network nearest at or above `scale`: `sr_x2.onnx`,
  `sr_x4.onnx` beside this file), an ONNX file by path, a PyTorch checkpoint by path (checkpoint.py: through
  spandrel and an ONNX export kept in the cache), or a model of the catalogue by name (catalogue.py, fetched
  by download.py); `builtin_path(scale)` the shipped file for 2 or 4.
- `catalogue.listing()`: the text that lists the catalogue's models, with those already downloaded.

Every model is a callable from an (N, C, h, w) float32 CuPy batch to an (N, C, scale*h, scale*w) one and has
`description` (one line for users) and `notice` (None, or one line worth telling users, such as host copies).
ONNX models also state `scale`, `radius`, `max_batch`, `window` and `name` for the road. Their errors are in
`errors`: NetworkMismatch at load, NetworkError inside a call, DeviceOutOfMemory; `download.DownloadError`.
"""

import pathlib

from . import catalogue, checkpoint, download
from .contract import Contract
from .download import DownloadError
from .errors import DeviceOutOfMemory, NetworkError, NetworkMismatch
from .onnx_model import OnnxModel
from .torch_model import TorchModel

BUILTIN_SCALES = (2, 4)
DEFAULT_BUILTIN_SCALE = 2
_HERE = pathlib.Path(__file__).resolve().parent


def builtin_path(scale):
    """Path of the shipped network for `scale` (2 or 4); FileNotFoundError when it is not installed."""
    if scale not in BUILTIN_SCALES:
        raise ValueError(f"no builtin network for scale {scale}; builtin scales are {BUILTIN_SCALES}")
    path = _HERE / f"sr_x{scale}.onnx"
    if not path.is_file():
        raise FileNotFoundError(f"the builtin x{scale} network is not installed (looked for {path})")
    return path


def builtin_scale(scale=None):
    """The factor of the shipped network for an output `scale` times larger: the nearest at or above it (so
    the road only ever shrinks a result), the largest where none is, x2 for None."""
    if scale is None:
        return DEFAULT_BUILTIN_SCALE
    return next((factor for factor in BUILTIN_SCALES if factor >= scale), BUILTIN_SCALES[-1])


def load_model(name, scale=None, *, value_range=None, bgr=False, threads=None, fp16=None):
    """The model named by `name`: "builtin" (the shipped network for `scale`, see builtin_scale), the path of
    an ONNX file or of a PyTorch checkpoint (.pth, .pt, .ckpt, .safetensors: needs `lumivex[torch]`), or the
    name of a catalogue model (`catalogue.listing()`), downloaded into the cache folder the first time. A
    network may enlarge by any factor (`scale` is then the road's business).

    `value_range`, `bgr`, `threads` and `fp16` (ONNX files only) as for OnnxModel. Raises NetworkMismatch for a file that is no usable
    network, FileNotFoundError for a builtin network that is not installed or a name that is neither a file
    nor in the catalogue, DownloadError for a catalogue model that could not be fetched.
    """
    options = {"value_range": value_range, "bgr": bgr, "threads": threads}
    if str(name) == "builtin":
        return OnnxModel(builtin_path(builtin_scale(scale)), fp16=fp16, **options)
    path = pathlib.Path(name)
    if not path.exists():
        entry = catalogue.find(name)
        if entry is not None:
            path, digest = download.fetch(entry)
            if not checkpoint.is_checkpoint(path):  # the catalogue may name ONNX files too
                return OnnxModel(path, fp16=fp16, **options)
            return checkpoint.load_checkpoint(path, digest=digest, **options)
        if path.suffix == "" and path.parent == pathlib.Path("."):
            raise FileNotFoundError(f"{name}: no such model file, nor a model of the catalogue (--list-models "
                                    "lists them)")
    if checkpoint.is_checkpoint(path):
        return checkpoint.load_checkpoint(path, **options)
    return OnnxModel(path, fp16=fp16, **options)


__all__ = ["BUILTIN_SCALES", "Contract", "DeviceOutOfMemory", "DownloadError", "NetworkError", "NetworkMismatch",
           "OnnxModel",
           "TorchModel", "builtin_path", "builtin_scale", "load_model"]
