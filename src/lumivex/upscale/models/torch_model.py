"""A PyTorch module as an upscaling model: CuPy batches go in and come out through DLPack, no copies.

torch is optional and imported only when such a model is made. The module must live where the arrays live
(on the GPU with real CuPy, on the CPU with the NumPy stand-in); its parameters' dtype decides the precision.
"""

import cupy as cp

from ..messages import first_line
from .adapter import Adapter
from .errors import DeviceOutOfMemory


class TorchModel:
    """Callable NCHW float32 CuPy batch -> NCHW float32 CuPy batch, running `module` in inference mode.

    With a `contract` (a checkpoint's: channels, side multiple and minimum, scale, radius) batches go through
    the adapter, which fills windows to the sizes the module takes, and the model states `scale`, `radius`,
    `multiple`, `window` and `max_batch` for the road as an OnnxModel does; `name` names it in errors.
    """

    def __init__(self, module, *, contract=None, name=None):
        import torch

        self.torch = torch
        self.module = module.eval()
        first = next(iter(module.parameters()), None)
        self.dtype = first.dtype if first is not None else torch.float32
        self.device = first.device.type if first is not None else "cpu"
        self.precision = str(self.dtype).removeprefix("torch.")
        self.name = name or type(module).__name__
        self.description = f"PyTorch {type(module).__name__} ({self.precision})"
        self.notice = None
        self.contract = contract
        self._adapter = None
        if contract is not None:
            self.scale, self.radius, self.multiple = contract.scale, contract.radius, contract.multiple
            self.window, self.max_batch = None, None
            self._adapter = Adapter(contract, lambda x, out_shape: self._run(x), self.name)

    def __call__(self, batch):
        return self._run(batch) if self._adapter is None else self._adapter(batch)

    def _run(self, batch):
        torch = self.torch
        # The CPU stand-in's arrays hold host memory, which it hands over in place (it has no DLPack).
        host = getattr(type(batch), "_lumivex_host_memory", None)
        inputs = torch.from_numpy(host(batch)) if host is not None else torch.from_dlpack(batch)  # no copies
        try:
            with torch.inference_mode():
                outputs = self.module(inputs.to(self.dtype)).float().contiguous()
        except torch.cuda.OutOfMemoryError as error:
            raise DeviceOutOfMemory(first_line(error)) from error
        return cp.asarray(outputs.numpy()) if host is not None else cp.from_dlpack(outputs)
