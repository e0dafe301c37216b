# Type stubs of the native module lumivex.upscale.tile: the signatures and annotations the module itself carries,
# for editors and type checkers, which cannot read them from a compiled module.
import cupy as cp

from ..utils.dtypes import to_float32 as to_float32

def tile_image(
    input_image: cp.ndarray, tile_size: int = 128, overlap: int = 16
) -> tuple[list[cp.ndarray], tuple]: ...
def add_padding(input_image: cp.ndarray, patch_size: int = 128, overlap: int = 16) -> cp.ndarray: ...
def merge_tiles(
    tiles: list[cp.ndarray],
    original_shape: tuple[int, int, int],
    padded_shape: tuple[int, int, int],
    scale: int,
    tile_size: int = 128,
    overlap: int = 16,
) -> cp.ndarray: ...
def create_gaussian_weights(size: int, sigma: int) -> cp.ndarray: ...
