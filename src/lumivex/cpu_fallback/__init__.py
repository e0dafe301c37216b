"""What plays `cupy` in this process: the real CuPy when a CUDA device is usable, else lumivex's NumPy stand-in.

The command and the Ray workers call install_cupy_standin() so that they run on machines without a GPU, and the
tests run on the same stand-in; it must happen before anything imports lumivex modules that use CuPy.
LUMIVEX_FORCE_STANDIN=1 forces the stand-in even where a device is usable.
"""

import os
import sys

FORCE_ENV = "LUMIVEX_FORCE_STANDIN"
_CUPY_PACKAGES = ("cupy", "cupyx", "cupy_backends")


def cuda_available():
    """True when the real CuPy imports and sees at least one CUDA device."""
    before = set(sys.modules)
    try:
        import cupy

        from .standin import is_standin

        usable = not is_standin(cupy) and cupy.cuda.runtime.getDeviceCount() > 0
    except Exception:
        usable = False
    if not usable:
        # A CuPy that failed here must not linger half-imported for a later `import cupy` to find.
        _forget_cupy(keep=before)
    return usable


def install_cupy_standin(force=False):
    """Make `import cupy` yield a usable module and return it.

    The real CuPy is returned unchanged when a CUDA device is usable; otherwise, or with `force` (or the
    environment variable LUMIVEX_FORCE_STANDIN=1), the NumPy stand-in is put into sys.modules as "cupy".
    Modules that bound `cupy` before this call keep what they bound.
    """
    from .standin import is_standin, make_standin, submodules

    current = sys.modules.get("cupy")
    if is_standin(current):
        return current
    force = force or os.environ.get(FORCE_ENV) == "1"
    if not force and cuda_available():
        return sys.modules["cupy"]
    _forget_cupy(keep=())
    module = make_standin()
    sys.modules["cupy"] = module
    sys.modules.update(submodules(module))
    return module


def using_standin():
    """True when `import cupy` currently yields the stand-in."""
    from .standin import is_standin

    return is_standin(sys.modules.get("cupy"))


def _forget_cupy(keep):
    for name in list(sys.modules):
        if name not in keep and name.split(".", 1)[0] in _CUPY_PACKAGES:
            del sys.modules[name]
