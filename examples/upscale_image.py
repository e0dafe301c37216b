"""Upscale a photo tile by tile: pad and cut it with tile_image, enlarge every tile, blend them with merge_tiles.

The "model" is lumivex's own resize (bilinear enlargement by the scale factor), run on batches of tiles through
the model-batch conversions when they are available. Runs on the GPU when CuPy has one, else on the CPU.
Usage: python examples/upscale_image.py [INPUT] [OUTPUT] [--scale 2] [--tile-size 128] [--overlap 16]
"""

import argparse
import pathlib
import sys
import time

import numpy as np
from PIL import Image

import lumivex.testing

SAMPLE = pathlib.Path(__file__).resolve().parent / "data" / "coffee.jpg"
BATCH = 16  # tiles per model call


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Upscale an image by overlapping tiles with lumivex.")
    parser.add_argument("input", nargs="?", type=pathlib.Path, default=SAMPLE,
                        help=f"PNG or JPEG to upscale (default: the bundled sample {SAMPLE.name})")
    parser.add_argument("output", nargs="?", type=pathlib.Path,
                        help="where to write the result (default: <input name>_x<scale>.png here)")
    parser.add_argument("--scale", type=int, default=2, help="enlargement factor (default 2)")
    parser.add_argument("--tile-size", type=int, default=128, help="tile side in input pixels (default 128)")
    parser.add_argument("--overlap", type=int, default=16, help="overlap of neighbouring tiles (default 16)")
    args = parser.parse_args(argv)
    if args.scale < 1:
        parser.error("--scale must be at least 1")
    if not 0 <= args.overlap < args.tile_size:
        parser.error("--overlap must be at least 0 and smaller than --tile-size")
    if args.tile_size * args.scale < 4:
        parser.error("--tile-size times --scale must be at least 4")
    if args.output is None:
        args.output = pathlib.Path(f"{args.input.stem}_x{args.scale}.png")
    return args


class Upscaler:
    """The stand-in model: enlarges a list of tiles by `scale` with resize, batched as a model would see them."""

    def __init__(self, scale, tile_size):
        from lumivex.utils import shapery

        self.size = tile_size * scale
        self.shapery = shapery

    def __call__(self, tiles):
        # images_to_batch resizes each tile and stacks (N, 1, C, H, W); the model sees (N, C, H, W).
        batch = self.shapery.images_to_batch(tiles, size=self.size, swap_rb=False)
        return self.shapery.batch_to_images(batch[:, 0], swap_rb=False)


def progress(done, total, started):
    width = 30
    filled = width * done // total
    sys.stderr.write(f"\r  tiles [{'#' * filled}{'.' * (width - filled)}] {done}/{total}  "
                     f"{time.perf_counter() - started:5.1f} s")
    sys.stderr.flush()


def main(argv=None):
    args = parse_args(argv)
    cp = lumivex.testing.install_cupy_standin()
    if lumivex.testing.using_standin():
        print("note: no usable CUDA device for CuPy; running on the CPU with the NumPy stand-in (slower)")
    from lumivex.upscale.tile import merge_tiles, tile_image  # after cupy is settled

    def sync():
        if not lumivex.testing.using_standin():
            cp.cuda.Device().synchronize()

    with Image.open(args.input) as picture:
        pixels = np.asarray(picture.convert("RGB"))
    if min(pixels.shape[:2]) <= args.overlap:
        sys.exit(f"{args.input}: the image must be larger than the overlap ({args.overlap} px) on both sides")
    print(f"{args.input}: {pixels.shape[1]}x{pixels.shape[0]} -> "
          f"{pixels.shape[1] * args.scale}x{pixels.shape[0] * args.scale} "
          f"(tiles {args.tile_size} px, overlap {args.overlap} px)")
    model = Upscaler(args.scale, args.tile_size)

    started = time.perf_counter()
    image = cp.asarray(pixels)
    tiles, padded_shape = tile_image(image, args.tile_size, args.overlap)
    enlarged = []
    for first in range(0, len(tiles), BATCH):
        enlarged.extend(model(tiles[first:first + BATCH]))
        progress(len(enlarged), len(tiles), started)
    sys.stderr.write("\n")
    merged = merge_tiles(enlarged, image.shape, padded_shape, args.scale, args.tile_size, args.overlap)
    result = cp.asnumpy(cp.clip(merged * 255 + 0.5, 0, 255)).astype(np.uint8)  # merge_tiles gives [0, 1] here
    sync()
    elapsed = time.perf_counter() - started

    Image.fromarray(result).save(args.output)
    print(f"wrote {args.output} ({result.shape[1]}x{result.shape[0]}, {len(tiles)} tiles) in {elapsed:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
