"""A user's PyTorch module as an upscaling model: CuPy batches go in and come out through DLPack, no copies.

torch is optional and imported only when such a model is made. The module must live where the arrays live
(on the GPU with real CuPy, on the CPU with the NumPy stand-in); its parameters' dtype decides the precision.
"""

import cupy as cp

from ..messages import first_line
from .errors import DeviceOutOfMemory


class TorchModel:
    """Callable NCHW float32 CuPy batch -> NCHW float32 CuPy batch, running `module` in inference mode."""

    def __init__(self, module):
        import torch

        self.torch = torch
        self.module = module.eval()
        first = next(iter(module.parameters()), None)
        self.dtype = first.dtype if first is not None else torch.float32
        self.description = f"PyTorch {type(module).__name__} ({str(self.dtype).removeprefix('torch.')})"
        self.notice = None

    def __call__(self, batch):
        torch = self.torch
        inputs = torch.from_dlpack(batch)  # shares the CuPy memory
        try:
            with torch.inference_mode():
                outputs = self.module(inputs.to(self.dtype))
        except torch.cuda.OutOfMemoryError as error:
            raise DeviceOutOfMemory(first_line(error)) from error
        return cp.from_dlpack(outputs.float().contiguous())
