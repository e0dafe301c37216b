# Type stubs of the native module lumivex.utils.shapery: the signatures and annotations the module itself carries,
# for editors and type checkers, which cannot read them from a compiled module.
from typing import Literal, TypeAlias

import cupy as cp

# The sibling services the module binds at import; rebinding them on the module changes what its functions call.
from ..color.bgr import bgr_to_rgb as bgr_to_rgb, rgb_to_bgr as rgb_to_bgr
from ..transform.resize import INTER_AUTO as INTER_AUTO, resize as resize
from ..utils.dtypes import to_float32 as to_float32

Layout: TypeAlias = Literal["HW", "HWC", "CHW", "NHWC", "NCHW", "ambiguous", "unsupported"]

def guess_image_layout(image: cp.ndarray) -> Layout: ...
def batch_to_images(
    batch: cp.ndarray,
    scalefactor: float | None = None,
    mean: float | tuple[float, float, float] | None = None,
    swap_rb: bool = True,
    layout: Layout = "NCHW",
) -> list[cp.ndarray]: ...
def images_to_batch(
    images: cp.ndarray | list[cp.ndarray],
    scalefactor: float | None = None,
    size: int | tuple[int, int] | None = None,
    mean: float | tuple[float, float, float] | None = None,
    swap_rb: bool = True,
    layout: Layout = "HWC",
) -> cp.ndarray: ...
def image_to_batch(
    image: cp.ndarray,
    scalefactor: float | None = None,
    size: int | tuple[int, int] | None = None,
    mean: float | tuple[float, float, float] | None = None,
    swap_rb: bool = True,
    layout: Layout = "HWC",
) -> cp.ndarray: ...
def image_to_batch_pixelshift(
    image: cp.ndarray,
    dim: int = 4,
    scalefactor: float | None = None,
    mean: float | tuple[float, float, float] | None = None,
    swap_rb: bool = True,
) -> cp.ndarray: ...
def pixelshift_fuse(preds: cp.ndarray, acc: cp.ndarray, hits: cp.ndarray, start_idx: int, dim: int) -> None: ...
