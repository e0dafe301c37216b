"""Testing and CPU-only development aids: run lumivex without a GPU, and small networks to test the road with.

Never imported by the package itself. The stand-in for CuPy is the package's own CPU fallback
(lumivex.cpu_fallback), named here too for tests and examples: call install_cupy_standin() before anything
imports lumivex modules that use CuPy; with a usable CUDA device the real CuPy is kept.
LUMIVEX_FORCE_STANDIN=1 forces the stand-in.
"""

from lumivex.cpu_fallback import FORCE_ENV, cuda_available, install_cupy_standin, using_standin

__all__ = ["FORCE_ENV", "cuda_available", "install_cupy_standin", "using_standin"]
