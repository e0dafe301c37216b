"""A NumPy-backed module that impersonates `cupy` on machines without a usable CUDA device, as strictly as it can.

Its names are exactly those of real CuPy (the list in cupy_names.json, made from CuPy by
tools/list_cupy_names.py): a name that only NumPy has raises AttributeError, as on a GPU. Its arrays
(device_array.ndarray) hold NumPy memory but are not NumPy arrays: NumPy cannot read them implicitly
(`np.asarray(x)` raises CuPy's TypeError), arithmetic with host arrays or lists raises CuPy's
"Unsupported type", and the way back to NumPy is `cupy.asnumpy(x)` or `x.get()`, which copy. Functions check
their arguments against CuPy's signatures, refuse host arrays, and refuse anything but a device array for the
parameters CuPy documents as taking `cupy.ndarray` (a Python list there fails as on CuPy).

What stays different from CuPy:
- NumPy does the arithmetic, so results follow NumPy's type promotion and rounding, and every call is
  synchronous; CUDA streams, events, kernels (ElementwiseKernel, RawKernel, fuse), memory pools, DLPack and
  the CUDA array interface are named but raise NotImplementedError when used (so does `ndarray.data`).
- `cupy.cuda.runtime.getDeviceCount()` returns 0 and `cupy.cuda.is_available()` False; the other runtime
  functions raise CUDARuntimeError as CuPy does on a machine without a device.
- Where CuPy refuses a non-array with AttributeError or a Cython argument TypeError, the stand-in raises
  TypeError "Unsupported type ..."; only the refusal is the same, not always its type or text.
- Indexing takes Python lists as CuPy does and refuses NumPy arrays as indices (stricter than CuPy, which
  copies them to the device). Item assignment takes device arrays and scalars, and a NumPy array only into a
  whole array (`a[:] = host`), as CuPy does; a list as the value is refused with TypeError.
- `x.base` is a new wrapper around the same memory, so `x.base is y` does not hold as on CuPy;
  `cupy.random` is NumPy's generator behind CuPy's names (other streams of numbers than on a GPU).
- A NumPy MemoryError from the stand-in's own calls becomes `cupy.cuda.memory.OutOfMemoryError`, but the
  CPU runs out of memory at other sizes than a GPU.
- The array type has one attribute CuPy's lacks, `_lumivex_host_memory`, through which lumivex hands this
  'device' memory (host memory) to CPU libraries in place: resize gives 8-bit images to OpenCV here, where on a
  GPU it runs array operations of the same arithmetic.
"""

import importlib.machinery
import importlib.resources
import inspect
import json
import types

import numpy as np

from . import device_array
from .device_array import (NOT_MIMICKED, OutOfMemoryError, from_host, ndarray, out_of_memory, refuse_host_arrays,
                           to_device, to_host_args, ufunc, unsupported)

ORIGIN = "lumivex.cpu_fallback stand-in for cupy (NumPy on the CPU)"
SUBMODULES = ("cupy.cuda", "cupy.cuda.runtime", "cupy.cuda.memory", "cupy.random")
_ARRAY_PROPERTIES = ("data", "device", "cstruct", "mdspan")


def cupy_names():
    """The recorded listing of real CuPy: versions, names per module and the attributes of cupy.ndarray."""
    text = importlib.resources.files(__package__).joinpath("cupy_names.json").read_text()
    return json.loads(text)


_LISTING = cupy_names()


# ---- CuPy-only names the stand-in implements ----

def asnumpy(a, stream=None, order="C", out=None, *, blocking=True):
    """A new NumPy array with the data of `a` (a copy of device memory; host objects are converted)."""
    if type(a) is ndarray:
        return a.get(stream=stream, order=order, out=out)
    if out is not None:
        out[...] = a
        return out
    return np.array(a, order=order)


def get_array_module(*args):
    """The stand-in for device arrays among `args`, else NumPy, as CuPy decides."""
    return _MODULES["cupy"] if any(type(a) is ndarray for a in args) else np


def _same_device_array(source, result):
    # CuPy hands back the very array object when no copy is needed.
    return source if type(source) is ndarray and result is source._host else from_host(result)


def array(obj, dtype=None, copy=True, order="K", subok=False, ndmin=0, *, blocking=False):
    result = np.array(to_host_args(obj), dtype=dtype, copy=copy, order=order, ndmin=ndmin)
    return _same_device_array(obj, result)


def asarray(a, dtype=None, order=None, *, copy=None, blocking=False):
    return _same_device_array(a, np.asarray(to_host_args(a), dtype=dtype, order=order, copy=copy))


def asanyarray(a, dtype=None, order=None, *, blocking=False):
    return _same_device_array(a, np.asarray(to_host_args(a), dtype=dtype, order=order))


def ascontiguousarray(a, dtype=None):
    if type(a) is not ndarray:
        raise unsupported(a)
    return _same_device_array(a, np.ascontiguousarray(a._host, dtype=dtype))


_IMPLEMENTED = {f.__name__: f for f in (asnumpy, get_array_module, array, asarray, asanyarray, ascontiguousarray)}


# ---- generic wrappers around NumPy functions ----

def _signature(params):
    kinds = inspect.Parameter
    return inspect.Signature([
        kinds(name, getattr(kinds, kind), default=None if has_default else kinds.empty)
        for name, kind, has_default in params])


def _wrap_function(name, numpy_function, entry):
    signature = _signature(entry["signature"]) if "signature" in entry else None
    array_params = tuple(entry.get("array_params", ()))
    sequence_params = tuple(entry.get("array_sequence_params", ()))

    def function(*args, **kwargs):
        if signature is not None:
            bound = signature.bind(*args, **kwargs).arguments  # CuPy's own parameters, not NumPy's
            for param in array_params:
                value = bound.get(param)
                if param in bound and type(value) is not ndarray and not (value is None and param == "out"):
                    raise unsupported(value)
            for param in sequence_params:
                if param in bound and any(type(v) is not ndarray for v in bound[param]):
                    raise TypeError(f"Only cupy arrays can be {name}d" if name.endswith("stack")
                                    else "Only cupy arrays can be concatenated")
        refuse_host_arrays(args)
        refuse_host_arrays(kwargs.values())
        try:
            return to_device(numpy_function(*to_host_args(args), **to_host_args(kwargs)))
        except MemoryError as error:
            raise out_of_memory(error) from error

    function.__name__ = function.__qualname__ = name
    function.__doc__ = numpy_function.__doc__
    if signature is not None:
        function.__signature__ = signature
    return function


def _not_mimicked_function(qualified):
    def function(*args, **kwargs):
        raise NotImplementedError(NOT_MIMICKED.format(qualified))
    function.__name__ = qualified.rsplit(".", 1)[-1]
    return function


def _not_mimicked_class(qualified, base=object):
    def refuse(*args, **kwargs):
        raise NotImplementedError(NOT_MIMICKED.format(qualified))
    return type(qualified.rsplit(".", 1)[-1], (base,), {"__new__": refuse, "__module__": "cupy"})


class _NotMimickedModule(types.ModuleType):
    """A CuPy submodule the stand-in only names: any attribute use says so."""

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        raise NotImplementedError(NOT_MIMICKED.format(f"{self.__name__[4:]}.{name}"))


# ---- CUDA ----

class CUDARuntimeError(RuntimeError):
    def __init__(self, status=100):
        self.status = status
        super().__init__("cudaErrorNoDevice: no CUDA-capable device is detected")


def _runtime_function(name):
    if name == "getDeviceCount":
        return lambda: 0

    def function(*args, **kwargs):
        raise CUDARuntimeError()
    function.__name__ = name
    return function


# ---- cupy.random: NumPy's generators behind CuPy's names ----

class _Generator:
    """What cupy.random.default_rng returns: draws land in device arrays."""

    def __init__(self, numpy_generator):
        self._numpy = numpy_generator

    def __getattr__(self, name):
        method = getattr(self._numpy, name)
        if not callable(method):
            return method

        def draw(*args, **kwargs):
            refuse_host_arrays(args)
            return to_device(method(*to_host_args(args), **to_host_args(kwargs)))
        return draw


def _random_function(name):
    if name == "default_rng":
        return lambda seed=None: _Generator(np.random.default_rng(to_host_args(seed)))
    numpy_function = getattr(np.random, name, None)
    if not callable(numpy_function):
        return _not_mimicked_function(f".random.{name}")

    def function(*args, **kwargs):
        refuse_host_arrays(args)
        return to_device(numpy_function(*to_host_args(args), **to_host_args(kwargs)))
    function.__name__ = name
    return function


# ---- assembly ----

_MODULES = {}


def _fill(module, module_name, resolve):
    for name, entry in _LISTING["modules"][module_name].items():
        setattr(module, name, resolve(name, entry))


def _cupy_attribute(name, entry):
    kind = entry["kind"]
    if kind == "numpy":
        return getattr(np, name)
    if kind == "module":
        return _MODULES.get(f"cupy.{name}") or _NotMimickedModule(f"cupy.{name}")
    if name in _IMPLEMENTED:
        return _IMPLEMENTED[name]
    if name == "ndarray":
        return ndarray
    if name == "ufunc":
        return ufunc
    numpy_object = getattr(np, name, None)
    if kind == "ufunc" and isinstance(numpy_object, np.ufunc):
        return device_array.UFUNCS.setdefault(name, ufunc(numpy_object))
    if kind == "function" and callable(numpy_object) and not isinstance(numpy_object, type):
        return _wrap_function(name, numpy_object, entry)
    if kind == "value" and "value" in entry:
        return entry["value"]
    if kind == "exception" and isinstance(numpy_object, type):
        return numpy_object
    if kind == "exception":
        return _not_mimicked_class(f".{name}", Exception)
    if kind in ("function", "ufunc"):
        return _not_mimicked_function(f".{name}")
    return _not_mimicked_class(f".{name}")


def _cuda_attribute(name, entry):
    if name in ("runtime", "memory"):
        return _MODULES[f"cupy.cuda.{name}"]
    if name == "is_available":
        return lambda: False
    if entry["kind"] == "module":
        return _NotMimickedModule(f"cupy.cuda.{name}")
    if entry["kind"] == "function":
        return _not_mimicked_function(f".cuda.{name}")
    return _not_mimicked_class(f".cuda.{name}")


def _runtime_attribute(name, entry):
    if entry["kind"] == "exception" and name == "CUDARuntimeError":
        return CUDARuntimeError
    if entry["kind"] == "value":
        return entry.get("value")
    if entry["kind"] == "function":
        return _runtime_function(name)
    return _not_mimicked_class(f".cuda.runtime.{name}")


def _memory_attribute(name, entry):
    if name == "OutOfMemoryError":
        return OutOfMemoryError
    if name == "CUDARuntimeError":
        return CUDARuntimeError
    if entry["kind"] == "module":
        return _NotMimickedModule(f"cupy.cuda.memory.{name}")
    if entry["kind"] == "function":
        return _not_mimicked_function(f".cuda.memory.{name}")
    return _not_mimicked_class(f".cuda.memory.{name}")


def _random_attribute(name, entry):
    if entry["kind"] == "function":
        return _random_function(name)
    if entry["kind"] == "value":
        return entry.get("value")
    return _not_mimicked_class(f".random.{name}")


def _new_module(name, doc):
    module = types.ModuleType(name, doc)
    # importlib reads __spec__ of modules found in sys.modules (import locks, reloads): it must be a ModuleSpec.
    module.__spec__ = importlib.machinery.ModuleSpec(name, None, origin=ORIGIN)
    module.__lumivex_standin__ = True
    return module


def make_standin():
    """Build the stand-in module named "cupy" and its submodules (not yet placed in sys.modules).

    Returns the "cupy" module; `submodules(module)` gives the others by their full names.
    """
    _MODULES.clear()
    device_array.UFUNCS.clear()
    device_array.FUNCTIONS.clear()
    for name in ("cupy",) + SUBMODULES:
        _MODULES[name] = _new_module(
            name, f"NumPy-backed stand-in for {name} (lumivex.cpu_fallback); no GPU is involved.")
    _fill(_MODULES["cupy.cuda.runtime"], "cupy.cuda.runtime", _runtime_attribute)
    _fill(_MODULES["cupy.cuda.memory"], "cupy.cuda.memory", _memory_attribute)
    _fill(_MODULES["cupy.cuda"], "cupy.cuda", _cuda_attribute)
    _fill(_MODULES["cupy.random"], "cupy.random", _random_attribute)
    cupy = _MODULES["cupy"]
    _fill(cupy, "cupy", _cupy_attribute)
    cupy.__version__ = _LISTING["cupy_version"]
    for name in _LISTING["modules"]["cupy"]:
        value = getattr(cupy, name)
        if callable(value) and not isinstance(value, type):
            device_array.FUNCTIONS[name] = value
    device_array.UFUNCS.setdefault("divmod", ufunc(np.divmod))
    device_array.complete_ndarray(_LISTING["ndarray"], _ARRAY_PROPERTIES)
    cupy.__lumivex_submodules__ = dict(_MODULES)
    return cupy


def submodules(module):
    """The stand-in's submodules by full name ("cupy.cuda", ...), for sys.modules."""
    return {name: m for name, m in module.__lumivex_submodules__.items() if name != "cupy"}


def is_standin(module):
    """True when `module` is a stand-in made by make_standin."""
    return getattr(module, "__dict__", {}).get("__lumivex_standin__", False) is True
