"""The ways a network fails, shared by the model adapters and the upscaling road: refused at load
(`NetworkMismatch`), failed inside a call (`NetworkError`), out of device memory (`DeviceOutOfMemory`).

Each message is one line the command can show as it is. The classes take only that line, so they survive
pickling (Ray sends a worker's exceptions to the driver that way).
"""

from ..messages import first_line


class DeviceOutOfMemory(MemoryError):
    """A model adapter ran out of device memory outside CuPy's allocator (ONNX Runtime, PyTorch)."""


class NetworkMismatch(ValueError):
    """A network file that does not fit an upscaling model, refused at load: "NAME: what did not fit"."""

    @classmethod
    def of(cls, network, what):
        return cls(f"{network}: {what}")


class NetworkError(RuntimeError):
    """A network that failed inside a call: ONNX Runtime's error, a wrong output shape, NaN or infinite values."""

    @classmethod
    def during(cls, network, batch_shape, cause):
        """The error of `network` on a road batch of `batch_shape` (N, C, h, w); `cause` an exception or text."""
        n, c, h, w = batch_shape
        windows = "window" if n == 1 else "windows"
        text = first_line(cause) if isinstance(cause, BaseException) else cause
        return cls(f"{network} failed on {n} {windows} of {h}x{w} pixels with {c} channels: {text}")


class BadOutput(NetworkError):
    """A network's output holding NaN or infinite values (at reduced precision, a reason to run it at fp32)."""
