"""ONNX networks run by ONNX Runtime as upscaling models.

With `onnxruntime-gpu` and a CUDA device the network runs on the CUDA execution provider and reads and writes
CuPy memory directly through I/O binding (no host round trip), in fp16 on devices with tensor cores (compute
capability 7.0 or newer). Otherwise it runs on the CPU provider: on the NumPy stand-in that is the natural
place; on a GPU machine whose ONNX Runtime lacks CUDA the batches are copied to the host and back, which
`notice` says.
"""

import pathlib

import cupy as cp
import numpy as np

from ..messages import first_line
from .errors import DeviceOutOfMemory

FP16_COMPUTE_CAPABILITY = 70
_OOM_MESSAGES = ("out of memory", "failed to allocate")


class OnnxModel:
    """Callable NCHW float32 CuPy batch -> NCHW float32 CuPy batch `scale` times larger, from an ONNX file.

    `scale` is read from the network's metadata ("scale") unless given; `fp16` None chooses by device;
    `threads` caps the CPU threads of one network call (None: ONNX Runtime's default, one per core).
    Raises ValueError for a file ONNX Runtime cannot load.
    """

    def __init__(self, path, *, scale=None, fp16=None, threads=None):
        import onnxruntime as ort

        self.path = pathlib.Path(path)
        self.notice = None
        on_device = cp.cuda.is_available()
        self.uses_cuda = on_device and "CUDAExecutionProvider" in ort.get_available_providers()
        if self.uses_cuda:
            self.device_id = cp.cuda.Device().id
            if fp16 is None:
                fp16 = int(cp.cuda.Device().compute_capability) >= FP16_COMPUTE_CAPABILITY
            providers = [("CUDAExecutionProvider", {"device_id": self.device_id}), "CPUExecutionProvider"]
        else:
            fp16 = False
            providers = ["CPUExecutionProvider"]
            if on_device:
                self.notice = ("onnxruntime has no CUDA provider here (install onnxruntime-gpu): the network "
                               "runs on the CPU, with host copies of every batch")
        network = str(self.path)
        if fp16:
            try:
                network = _fp16_network(self.path)
            except ImportError:
                fp16 = False
                self.notice = "the network runs in fp32 (install onnx for fp16 on this device)"
        try:
            session_options = ort.SessionOptions()
            if threads is not None:
                session_options.intra_op_num_threads = threads
            self.session = ort.InferenceSession(network, session_options, providers=providers)
        except Exception as error:  # ONNX Runtime's own exception types differ between versions
            raise ValueError(f"{self.path.name}: not a usable ONNX network ({first_line(error)})") from None
        self.fp16 = fp16
        inputs, outputs = self.session.get_inputs(), self.session.get_outputs()
        if len(inputs) != 1 or len(outputs) != 1 or len(inputs[0].shape) != 4:
            raise ValueError(f"{self.path.name}: an upscaling network needs one NCHW input and one output")
        self.input_name, self.output_name = inputs[0].name, outputs[0].name
        channels = inputs[0].shape[1]
        self.channels = channels if isinstance(channels, int) else None  # None: any channel count
        declared = self.session.get_modelmeta().custom_metadata_map.get("scale")
        self.scale = scale if scale is not None else (int(declared) if declared else None)
        where = "CUDA" + (" fp16" if fp16 else "") if self.uses_cuda else "CPU"
        self.description = f"{self.path.name} on ONNX Runtime {where}"

    def __call__(self, batch):
        n, c, h, w = batch.shape
        if self.channels is not None and c != self.channels:
            if self.channels == 3 and c == 1:
                # A colour-only network enlarges a single plane as grey: three equal planes, averaged back.
                return self(cp.repeat(batch, 3, axis=1)).mean(axis=1, keepdims=True)
            raise ValueError(f"{self.path.name} takes {self.channels} channels, got {c}")
        try:
            if self.uses_cuda:
                return self._run_on_device(batch)
            result = self.session.run([self.output_name], {self.input_name: _host_float32(batch)})[0]
        except Exception as error:
            if any(text in str(error).lower() for text in _OOM_MESSAGES):
                raise DeviceOutOfMemory(first_line(error)) from error
            raise
        return cp.asarray(result)

    def _run_on_device(self, batch):
        if self.scale is None:
            raise ValueError(f"{self.path.name} declares no scale; pass scale= to OnnxModel")
        batch = cp.ascontiguousarray(batch, dtype=cp.float32)
        n, c, h, w = batch.shape
        out = cp.empty((n, c, self.scale * h, self.scale * w), dtype=cp.float32)
        binding = self.session.io_binding()
        binding.bind_input(self.input_name, "cuda", self.device_id, np.float32, list(batch.shape), batch.data.ptr)
        binding.bind_output(self.output_name, "cuda", self.device_id, np.float32, list(out.shape), out.data.ptr)
        # ONNX Runtime works on its own stream: the batch must be complete before it reads it.
        cp.cuda.get_current_stream().synchronize()
        self.session.run_with_iobinding(binding)
        binding.synchronize_outputs()
        return out


def _host_float32(batch):
    return np.ascontiguousarray(cp.asnumpy(batch), dtype=np.float32)


def _fp16_network(path):
    """The network with fp16 weights and arithmetic but float32 input and output, serialised."""
    import onnx
    from onnxruntime.transformers.float16 import convert_float_to_float16

    return convert_float_to_float16(onnx.load(str(path)), keep_io_types=True).SerializeToString()
