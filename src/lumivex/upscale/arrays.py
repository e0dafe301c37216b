"""Which `cupy` the upscaling road computes with: the real CuPy where a CUDA device is usable, else lumivex's
NumPy stand-in. Chosen once, at the first use, so that the road works as a library on any machine without the
caller arranging anything; the choice is logged (logger "lumivex.upscale") and `describe()` says it in a line.
"""

import logging

import lumivex.cpu_fallback

_chosen = []


def array_module():
    """The module that plays `cupy` for this process, chosen on the first call."""
    if not _chosen:
        # Before any road module binds `cupy`: they import it at their top.
        _chosen.append(lumivex.cpu_fallback.install_cupy_standin())
        logging.getLogger("lumivex.upscale").info("arrays on %s", describe())
    return _chosen[0]


def describe():
    """One line naming where the arrays live: the GPU's name, or the CPU stand-in."""
    cp = array_module()
    if lumivex.cpu_fallback.using_standin():
        return "CPU (NumPy stand-in for CuPy: no usable CUDA device)"
    device = cp.cuda.Device()
    name = cp.cuda.runtime.getDeviceProperties(device.id)["name"]
    return f"GPU {device.id}, {name.decode() if isinstance(name, bytes) else name}"
