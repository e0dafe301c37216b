"""Models for `lumivex.upscale.pipeline.upscale`, and the networks shipped with the package.

- `OnnxModel(path)`: an ONNX network run by ONNX Runtime (CUDA with I/O binding on CuPy memory where
  `onnxruntime-gpu` and a device are present, the CPU otherwise).
- `TorchModel(module)`: a user's PyTorch module, handed CuPy arrays through DLPack (needs torch).
- `builtin_path(scale)` / `load_model(name, scale)`: the shipped x2 and x4 networks (`sr_x2.onnx`,
  `sr_x4.onnx` beside this file: one single-channel network folded over any number of channels, input
  "input" in [0, 1], output "output" not clamped, metadata "scale"), or an ONNX file by path.

Every model is a callable from an (N, C, h, w) float32 CuPy batch to an (N, C, scale*h, scale*w) one and has
`description` (one line for users) and `notice` (None, or one line worth telling users, such as host copies).
"""

import pathlib

from .onnx_model import OnnxModel
from .torch_model import TorchModel

BUILTIN_SCALES = (2, 4)
_HERE = pathlib.Path(__file__).resolve().parent


def builtin_path(scale):
    """Path of the shipped network for `scale` (2 or 4); FileNotFoundError when it is not installed."""
    if scale not in BUILTIN_SCALES:
        raise ValueError(f"no builtin network for scale {scale}; builtin scales are {BUILTIN_SCALES}")
    path = _HERE / f"sr_x{scale}.onnx"
    if not path.is_file():
        raise FileNotFoundError(f"the builtin x{scale} network is not installed (looked for {path})")
    return path


def load_model(name, scale, *, threads=None):
    """The model named by `name`: "builtin" (the shipped network for `scale`) or the path of an ONNX file.

    `threads` caps the CPU threads of a network call (see OnnxModel). Raises ValueError when the network
    declares another scale in its metadata than `scale`.
    """
    path = builtin_path(scale) if str(name) == "builtin" else pathlib.Path(name)
    model = OnnxModel(path, threads=threads)
    if model.scale is not None and model.scale != scale:
        raise ValueError(f"{path.name} enlarges x{model.scale}, not x{scale}")
    return model


__all__ = ["BUILTIN_SCALES", "OnnxModel", "TorchModel", "builtin_path", "load_model"]
