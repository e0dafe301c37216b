"""The stand-in's device array: NumPy memory behind CuPy's array interface, with CuPy's refusals.

A `ndarray` here is not a NumPy array and cannot become one implicitly: NumPy asking for its data raises CuPy's
TypeError, and arithmetic with a host array, a list or any other non-array raises CuPy's "Unsupported type".
Results of NumPy calls come back as device arrays again; where CuPy returns a 0-d array (full indexing,
reductions) so does the stand-in, never a NumPy scalar.
"""

import numpy as np

IMPLICIT_CONVERSION = ("Implicit conversion to a NumPy array is not allowed. "
                       "Please use `.get()` to construct a NumPy array explicitly.")
NOT_MIMICKED = "cupy{} is not mimicked by the lumivex CPU stand-in"
SCALARS = (bool, int, float, complex, np.generic)


def unsupported(value):
    return TypeError(f"Unsupported type {type(value)}")


class OutOfMemoryError(MemoryError):
    """Raised, as by CuPy's memory pool, when an allocation cannot be served: OutOfMemoryError(size, total)."""

    def __init__(self, size=0, total=0, limit=0):
        try:
            message = f"Out of memory allocating {size:,} bytes (allocated so far: {total:,} bytes)."
        except (TypeError, ValueError):  # built by hand with a message, as tests of callers may do
            message = str(size)
        super().__init__(message)


def out_of_memory(error):
    """The device's error for a NumPy MemoryError, which knows the size it failed to allocate."""
    return OutOfMemoryError(int(getattr(error, "_total_size", 0)), 0)


def from_host(host):
    """Wrap a NumPy array (no copy): the stand-in's way of putting data on the 'device'."""
    array = object.__new__(ndarray)
    array._host = host
    return array


def to_device(value):
    """A NumPy result as CuPy would return it: arrays and NumPy scalars as device arrays, containers walked."""
    if isinstance(value, np.ndarray):
        return from_host(value)
    if isinstance(value, np.generic):
        return from_host(np.asarray(value))
    if type(value) is tuple or type(value) is list:
        return type(value)(to_device(v) for v in value)
    return value


def to_host_args(value):
    """Device arrays replaced by their NumPy memory, inside lists, tuples and keyword dicts too, for handing to
    NumPy."""
    if type(value) is ndarray:
        return value._host
    if type(value) is tuple or type(value) is list:
        return type(value)(to_host_args(v) for v in value)
    if type(value) is dict:
        return {key: to_host_args(v) for key, v in value.items()}
    return value


def refuse_host_arrays(values):
    """CuPy never takes a NumPy array where it computes: it would be an implicit host-to-device copy."""
    for value in values:
        if isinstance(value, np.ndarray):
            raise unsupported(value)
        if type(value) is tuple or type(value) is list:
            refuse_host_arrays(value)


def check_operand(value):
    """What CuPy's ufuncs accept: device arrays and scalars (Python or NumPy), nothing else."""
    if not (type(value) is ndarray or isinstance(value, SCALARS)):
        raise unsupported(value)
    return value._host if type(value) is ndarray else value


class ufunc:
    """An elementwise function of the stand-in: NumPy's ufunc behind CuPy's argument rules."""

    __module__ = "cupy"

    def __init__(self, numpy_ufunc):
        self._numpy = numpy_ufunc
        self.__name__ = numpy_ufunc.__name__
        self.__doc__ = numpy_ufunc.__doc__
        self.nin, self.nout, self.nargs = numpy_ufunc.nin, numpy_ufunc.nout, numpy_ufunc.nargs

    def __repr__(self):
        return f"<ufunc 'cupy_{self.__name__}'>"

    def __call__(self, *args, out=None, **kwargs):
        operands = [check_operand(a) for a in args]
        if out is not None:
            outs = out if isinstance(out, tuple) else (out,)
            for o in outs:
                if type(o) is not ndarray:
                    raise TypeError(f"Output arguments must be cupy arrays, got {type(o)}")
            kwargs["out"] = tuple(o._host for o in outs) if isinstance(out, tuple) else out._host
        try:
            result = self._numpy(*operands, **kwargs)
        except MemoryError as error:
            raise out_of_memory(error) from error
        if out is not None:
            return out  # the very array objects the caller passed, as CuPy returns them
        return to_device(result)

    def _method(name):
        def method(self, array, *args, **kwargs):
            refuse_host_arrays(args)
            refuse_host_arrays(kwargs.values())
            host = check_operand(array)
            return to_device(getattr(self._numpy, name)(host, *to_host_args(args), **to_host_args(kwargs)))
        method.__name__ = name
        return method

    reduce = _method("reduce")
    accumulate = _method("accumulate")
    reduceat = _method("reduceat")
    del _method

    def outer(self, a, b, **kwargs):
        return to_device(self._numpy.outer(check_operand(a), check_operand(b), **kwargs))

    def at(self, a, indices, b=None):
        if type(a) is not ndarray:
            raise unsupported(a)
        args = (indices._host if type(indices) is ndarray else indices,)
        if b is not None:
            args += (check_operand(b),)
        self._numpy.at(a._host, *args)


# Set by the module builder: the stand-in's ufuncs by name, through which operators and NumPy's own ufuncs
# applied to device arrays run (CuPy dispatches NumPy ufuncs to its own).
UFUNCS = {}
# The stand-in module's functions by name, for NumPy functions applied to device arrays.
FUNCTIONS = {}


def _binary(name, reflected=False, inplace=False):
    def operator(self, other):
        f = UFUNCS[name]
        if inplace:
            return f(self, other, out=self)
        return f(other, self) if reflected else f(self, other)
    return operator


def _unary(name):
    def operator(self):
        return UFUNCS[name](self)
    return operator


class ndarray:
    """Device array of the stand-in (NumPy memory on the CPU)."""

    __module__ = "cupy"  # type names in messages read as CuPy's: <class 'cupy.ndarray'>
    __slots__ = ("_host", "__weakref__")
    __hash__ = None

    def __init__(self, shape, dtype=float, memptr=None, strides=None, order="C"):
        if memptr is not None or strides is not None:
            raise NotImplementedError(NOT_MIMICKED.format(".ndarray(memptr=..., strides=...)"))
        self._host = np.empty(shape, dtype, order=order)

    # ---- the refusals: NumPy may not read device memory implicitly ----

    def __array__(self, dtype=None, copy=None):
        raise TypeError(IMPLICIT_CONVERSION)

    def __array_ufunc__(self, numpy_ufunc, method, *inputs, **kwargs):
        own = UFUNCS.get(numpy_ufunc.__name__)
        if own is None:
            return NotImplemented
        if method == "__call__":
            return own(*inputs, **kwargs)
        return getattr(own, method)(*inputs, **kwargs)

    def __array_function__(self, func, types, args, kwargs):
        own = FUNCTIONS.get(func.__name__)
        if own is None or not func.__module__.startswith("numpy"):
            return NotImplemented
        return own(*args, **kwargs)

    # ---- explicit transfers ----

    def _lumivex_host_memory(self):
        """The NumPy memory itself, no copy: this 'device' is the host, so lumivex may hand it to CPU libraries
        (resize to OpenCV) to read and write in place. Not a CuPy attribute; lumivex looks it up on the type."""
        return self._host

    def get(self, stream=None, order="C", out=None, blocking=True):
        """Copy to a new NumPy array (or into `out`)."""
        if out is not None:
            if not isinstance(out, np.ndarray):
                raise TypeError("Only numpy.ndarray can be obtained from cupy.ndarray")
            np.copyto(out, self._host)
            return out
        return np.array(self._host, order=order, copy=True)

    def set(self, arr, stream=None):
        """Copy a NumPy array of the same shape and dtype into this array."""
        if not isinstance(arr, np.ndarray):
            raise TypeError(f"Only numpy.ndarray can be set to cupy.ndarray, got {type(arr)}")
        if arr.shape != self.shape or arr.dtype != self.dtype:
            raise ValueError("Shape or dtype mismatch")
        np.copyto(self._host, arr)

    # ---- attributes ----

    shape = property(lambda self: self._host.shape, lambda self, value: setattr(self._host, "shape", value))
    dtype = property(lambda self: self._host.dtype)
    ndim = property(lambda self: self._host.ndim)
    size = property(lambda self: self._host.size)
    itemsize = property(lambda self: self._host.itemsize)
    nbytes = property(lambda self: self._host.nbytes)
    strides = property(lambda self: self._host.strides)
    flags = property(lambda self: self._host.flags)
    T = property(lambda self: from_host(self._host.T))
    mT = property(lambda self: from_host(self._host.mT))
    real = property(lambda self: from_host(self._host.real),
                    lambda self, value: setattr(self._host, "real", check_operand(value)))
    imag = property(lambda self: from_host(self._host.imag),
                    lambda self, value: setattr(self._host, "imag", check_operand(value)))
    base = property(lambda self: None if self._host.base is None else from_host(self._host.base))

    # ---- indexing and iteration ----

    def __getitem__(self, key):
        refuse_host_arrays(key if type(key) is tuple else (key,))
        return to_device(self._host[to_host_args(key)])

    def __setitem__(self, key, value):
        refuse_host_arrays(key if type(key) is tuple else (key,))
        if type(value) is ndarray:
            value = value._host
        elif isinstance(value, np.ndarray) and value.ndim:
            # CuPy copies a host array only into a whole array (`a[:] = host`); anywhere else it would fill.
            if not (key == slice(None) or key is Ellipsis):
                raise ValueError("non-scalar numpy.ndarray cannot be used for fill")
        elif not isinstance(value, SCALARS + (np.ndarray,)):
            raise unsupported(value)
        self._host[to_host_args(key)] = value

    def __len__(self):
        return len(self._host)

    def __iter__(self):
        if self.ndim == 0:
            raise TypeError("iteration over a 0-d array")
        return (from_host(row) for row in self._host)

    def __bool__(self):
        return bool(self._host)

    def __int__(self):
        return int(self._host)

    def __float__(self):
        return float(self._host)

    def __complex__(self):
        return complex(self._host)

    def __repr__(self):
        return repr(self._host)

    def __str__(self):
        return str(self._host)

    def __format__(self, format_spec):
        return format(self._host, format_spec)

    def __copy__(self):
        return from_host(self._host.copy())

    def __deepcopy__(self, memo):
        return from_host(self._host.copy())

    # ---- operators, through the stand-in's ufuncs ----

    __add__, __radd__, __iadd__ = _binary("add"), _binary("add", True), _binary("add", inplace=True)
    __sub__, __rsub__, __isub__ = _binary("subtract"), _binary("subtract", True), _binary("subtract", inplace=True)
    __mul__, __rmul__, __imul__ = _binary("multiply"), _binary("multiply", True), _binary("multiply", inplace=True)
    __truediv__, __rtruediv__, __itruediv__ = (_binary("true_divide"), _binary("true_divide", True),
                                               _binary("true_divide", inplace=True))
    __floordiv__, __rfloordiv__, __ifloordiv__ = (_binary("floor_divide"), _binary("floor_divide", True),
                                                  _binary("floor_divide", inplace=True))
    __mod__, __rmod__, __imod__ = _binary("remainder"), _binary("remainder", True), _binary("remainder", inplace=True)
    __pow__, __rpow__, __ipow__ = _binary("power"), _binary("power", True), _binary("power", inplace=True)
    __matmul__, __rmatmul__ = _binary("matmul"), _binary("matmul", True)
    __and__, __rand__, __iand__ = (_binary("bitwise_and"), _binary("bitwise_and", True),
                                   _binary("bitwise_and", inplace=True))
    __or__, __ror__, __ior__ = _binary("bitwise_or"), _binary("bitwise_or", True), _binary("bitwise_or", inplace=True)
    __xor__, __rxor__, __ixor__ = (_binary("bitwise_xor"), _binary("bitwise_xor", True),
                                   _binary("bitwise_xor", inplace=True))
    __lshift__, __rlshift__, __ilshift__ = (_binary("left_shift"), _binary("left_shift", True),
                                            _binary("left_shift", inplace=True))
    __rshift__, __rrshift__, __irshift__ = (_binary("right_shift"), _binary("right_shift", True),
                                            _binary("right_shift", inplace=True))
    __lt__, __le__ = _binary("less"), _binary("less_equal")
    __gt__, __ge__ = _binary("greater"), _binary("greater_equal")
    __eq__, __ne__ = _binary("equal"), _binary("not_equal")
    __neg__, __pos__, __abs__, __invert__ = _unary("negative"), _unary("positive"), _unary("absolute"), _unary("invert")

    def __divmod__(self, other):
        return UFUNCS["divmod"](self, other)

    def __rdivmod__(self, other):
        return UFUNCS["divmod"](other, self)


def _forwarding_method(name):
    def method(self, *args, **kwargs):
        refuse_host_arrays(args)
        refuse_host_arrays(kwargs.values())
        try:
            return to_device(getattr(self._host, name)(*to_host_args(args), **to_host_args(kwargs)))
        except MemoryError as error:
            raise out_of_memory(error) from error
    method.__name__ = method.__qualname__ = name
    method.__doc__ = getattr(np.ndarray, name).__doc__
    return method


def _not_mimicked(name):
    def method(self, *args, **kwargs):
        raise NotImplementedError(NOT_MIMICKED.format(f".ndarray.{name}"))
    method.__name__ = name
    return method


def complete_ndarray(cupy_attributes, properties):
    """Give the array class the rest of CuPy's array attributes: NumPy's same-named method, or a refusal.

    Attributes NumPy arrays have and CuPy arrays lack are never added, so using them fails here as on a GPU.
    """
    for name in cupy_attributes:
        if name.startswith("__") or name in ndarray.__dict__:
            continue
        if name in properties:
            setattr(ndarray, name, property(_not_mimicked(name)))
        elif callable(getattr(np.ndarray, name, None)):
            setattr(ndarray, name, _forwarding_method(name))
        else:
            setattr(ndarray, name, _not_mimicked(name))
