"""Record the names real CuPy offers, for the strict CPU stand-in in lumivex.cpu_fallback.

Run with a Python that has `cupy-cuda12x` installed (it imports without a GPU; nothing here touches a device):

    python3.12 -m venv /tmp/cupy-names && /tmp/cupy-names/bin/pip install cupy-cuda12x
    /tmp/cupy-names/bin/python tools/list_cupy_names.py > src/lumivex/cpu_fallback/cupy_names.json

For every public name of `cupy` and of the submodules lumivex and its tests reach, it records what kind of
object it is, the call signature where `inspect` can read one, and which parameters CuPy documents as taking
CuPy arrays only (so the stand-in can refuse lists and host arrays there, as CuPy does). It also records the
attributes of `cupy.ndarray`.
"""

import inspect
import json
import re
import sys
import types
import warnings

import cupy
import numpy

SUBMODULES = ("cupy", "cupy.cuda", "cupy.cuda.runtime", "cupy.cuda.memory", "cupy.random")

# "  a (cupy.ndarray): ..." in CuPy's Google-style docstrings.
_DOC_PARAM = re.compile(r"^\s+\*{0,2}(\w+)\s?\(([^)]*)\):", re.M)
_ARRAY_ONLY = {"cupy.ndarray", "~cupy.ndarray", "cupy.ndarray, optional"}


def signature_of(obj):
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return None
    return [[p.name, p.kind.name, p.default is not inspect.Parameter.empty] for p in sig.parameters.values()]


def documented_array_params(obj, params):
    names = {p[0] for p in params}
    only, sequences = [], []
    for name, kind in _DOC_PARAM.findall(obj.__doc__ or ""):
        if name not in names:
            continue
        if kind.strip() in _ARRAY_ONLY:
            only.append(name)
        elif kind.strip() in ("sequence of arrays", "tuple or list of arrays", "sequence of cupy.ndarray"):
            sequences.append(name)
    return only, sequences


def describe(module, name):
    obj = getattr(module, name)
    entry = {}
    if isinstance(obj, types.ModuleType):
        entry["kind"] = "module"
    elif module is cupy and getattr(numpy, name, None) is obj and obj is not None:
        entry["kind"] = "numpy"  # CuPy re-exports NumPy's own object (dtypes, constants)
    elif isinstance(obj, cupy.ufunc):
        entry["kind"] = "ufunc"
        entry["nin"] = obj.nin
    elif inspect.isclass(obj):
        entry["kind"] = "exception" if issubclass(obj, BaseException) else "class"
    elif callable(obj):
        entry["kind"] = "function"
        params = signature_of(obj)
        if params is not None:
            entry["signature"] = params
            only, sequences = documented_array_params(obj, params)
            if only:
                entry["array_params"] = only
            if sequences:
                entry["array_sequence_params"] = sequences
    else:
        entry["kind"] = "value"
        entry["type"] = type(obj).__name__
        if isinstance(obj, (bool, int, float, str)) or obj is None:
            entry["value"] = obj
    return entry


def main():
    warnings.simplefilter("ignore")  # NumPy's deprecated aliases warn when looked up for the comparison
    listing = {"cupy_version": cupy.__version__, "numpy_version": numpy.__version__, "modules": {}}
    for module_name in SUBMODULES:
        module = sys.modules.get(module_name) or __import__(module_name, fromlist=["_"])
        names = sorted(n for n in dir(module) if not n.startswith("_"))
        listing["modules"][module_name] = {n: describe(module, n) for n in names}
    listing["ndarray"] = sorted(n for n in dir(cupy.ndarray) if not n.startswith("_") or n.startswith("__"))
    json.dump(listing, sys.stdout, indent=1, sort_keys=True)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
