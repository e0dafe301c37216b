"""A NumPy-backed module that impersonates `cupy` on machines without a usable CUDA device.

Everything NumPy offers is reachable through it, plus the few CuPy-only names the package and its tests use
(`asnumpy`, `get_array_module`, `cuda.runtime.getDeviceCount`,
`cuda.memory.OutOfMemoryError`).
"""

import importlib.machinery
import types

import numpy as np

ORIGIN = "lumivex.testing stand-in for cupy (NumPy on the CPU)"


class OutOfMemoryError(MemoryError):
    """CuPy's allocation failure, raised by test models; same constructor as CuPy's."""

    def __init__(self, size, total, limit=0):
        super().__init__(f"Out of memory allocating {size:,} bytes (allocated so far: {total:,} bytes).")


def make_standin():
    """Build a fresh stand-in module named "cupy" (not yet placed in sys.modules)."""
    module = types.ModuleType("cupy", "NumPy-backed stand-in for CuPy (lumivex.testing); no GPU is involved.")
    # importlib reads __spec__ of modules found in sys.modules (import locks, reloads): it must be a ModuleSpec.
    module.__spec__ = importlib.machinery.ModuleSpec("cupy", None, origin=ORIGIN)
    module.__lumivex_standin__ = True
    module.ndarray = np.ndarray

    def asnumpy(a, stream=None, order="C", out=None, blocking=True):
        """Return `a` as a NumPy array (a no-op for the stand-in's own arrays)."""
        if out is None:
            return np.asarray(a, order=order)
        out[...] = a
        return out

    def get_array_module(*args):
        """Every array is a NumPy array here, so the stand-in itself is the right module."""
        return module

    def __getattr__(name):
        # Dunder lookups must fail: a borrowed numpy `__path__` would let `import cupy.x` load numpy files.
        if name.startswith("__"):
            raise AttributeError(f"module 'cupy' (lumivex stand-in) has no attribute {name!r}")
        try:
            return getattr(np, name)
        except AttributeError:
            raise AttributeError(f"module 'cupy' (lumivex stand-in) has no attribute {name!r}") from None

    def __dir__():
        return sorted(set(dir(np)) | set(module.__dict__))

    runtime = types.ModuleType("cupy.cuda.runtime")
    runtime.getDeviceCount = lambda: 0
    cuda = types.ModuleType("cupy.cuda")
    cuda.runtime = runtime
    cuda.is_available = lambda: False
    memory = types.ModuleType("cupy.cuda.memory")
    memory.OutOfMemoryError = OutOfMemoryError
    cuda.memory = memory
    module.cuda = cuda

    module.asnumpy = asnumpy
    module.get_array_module = get_array_module
    module.__getattr__ = __getattr__
    module.__dir__ = __dir__
    return module


def is_standin(module):
    """True when `module` is a stand-in made by make_standin."""
    return getattr(module, "__dict__", {}).get("__lumivex_standin__", False) is True
