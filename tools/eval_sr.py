"""Measures the shipped super-resolution networks against bicubic upscaling on the held-out photos and
writes docs/quality.md and the crop comparison docs/comparison_x2.png.

    .venv-train/bin/python tools/eval_sr.py            # or any Python with tools/train-requirements.txt

Each held-out photo (astronaut, chelsea, coffee, rocket from scikit-image's wheel; never trained on) is
cropped to a multiple of the scale, reduced with Pillow's bicubic filter and stored as 8 bits, then enlarged
back by Pillow's bicubic filter and by the network (output clipped and rounded to 8 bits, as a saved image
would be). PSNR is over the RGB values 0-255, SSIM is scikit-image's (7x7 window, channels averaged); both
leave out a border of `scale` pixels on every side.

That tiled upscaling gives the whole-image result is a matter of the upscaling road, not of the networks: the
test suite checks it on the real road with both shipped networks.
"""

import argparse
import pathlib
import sys

import numpy as np
import onnxruntime
import skimage
from PIL import Image, ImageDraw
from skimage.metrics import peak_signal_noise_ratio, structural_similarity

REPO = pathlib.Path(__file__).resolve().parent.parent
MODELS = REPO / "src" / "lumivex" / "upscale" / "models"
DATA = pathlib.Path(skimage.__file__).parent / "data"
HELD_OUT = ("astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg")
SCALES = (2, 4)
# Region of chelsea.png (x, y, width, height in full-resolution pixels) shown in the comparison picture.
COMPARISON_CROP = ("chelsea.png", (150, 40, 128, 128))


def load_rgb(name: str) -> np.ndarray:
    with Image.open(DATA / name) as image:
        return np.asarray(image.convert("RGB"))


def reduce(high: np.ndarray, scale: int) -> np.ndarray:
    h, w = high.shape[0] // scale, high.shape[1] // scale
    return np.asarray(Image.fromarray(high[:h * scale, :w * scale]).resize((w, h), Image.Resampling.BICUBIC))


def bicubic(low: np.ndarray, scale: int) -> np.ndarray:
    h, w = low.shape[:2]
    return np.asarray(Image.fromarray(low).resize((w * scale, h * scale), Image.Resampling.BICUBIC))


def run_network(session: onnxruntime.InferenceSession, low: np.ndarray) -> np.ndarray:
    """(H, W, C) float32 in [0, 1] to the network's unclamped (sH, sW, C) float32."""
    batch = np.ascontiguousarray(low.transpose(2, 0, 1)[None])
    return session.run(["output"], {"input": batch})[0][0].transpose(1, 2, 0)


def to_uint8(image: np.ndarray) -> np.ndarray:
    return np.clip(np.rint(image * 255), 0, 255).astype(np.uint8)


def scores(reference: np.ndarray, image: np.ndarray, border: int) -> tuple[float, float]:
    a, b = (im[border:-border, border:-border] for im in (reference, image))
    return (peak_signal_noise_ratio(a, b, data_range=255),
            structural_similarity(a, b, channel_axis=2, data_range=255))


def open_model(models: pathlib.Path, scale: int) -> onnxruntime.InferenceSession:
    return onnxruntime.InferenceSession(str(models / f"sr_x{scale}.onnx"), providers=["CPUExecutionProvider"])


def evaluate(models: pathlib.Path, scale: int) -> tuple[list[str], list[float], list[float]]:
    session = open_model(models, scale)
    rows, gains = [], []
    for name in HELD_OUT:
        high = load_rgb(name)
        low = reduce(high, scale)
        high = high[:low.shape[0] * scale, :low.shape[1] * scale]
        whole = run_network(session, low.astype(np.float32) / 255)
        base = scores(high, bicubic(low, scale), scale)
        net = scores(high, to_uint8(whole), scale)
        gains.append(net[0] - base[0])
        rows.append(f"| {name.split('.')[0]} | {high.shape[1]}×{high.shape[0]} | {base[0]:.2f} | {base[1]:.4f} | "
                    f"{net[0]:.2f} | {net[1]:.4f} | {net[0] - base[0]:+.2f} |")
        print(rows[-1], flush=True)
    return rows, gains


def comparison_picture(models: pathlib.Path, path: pathlib.Path, scale: int = 2, zoom: int = 2) -> None:
    """bicubic | network | original for one crop, each panel enlarged `zoom` times (nearest) to show pixels."""
    name, (x, y, w, h) = COMPARISON_CROP
    high = load_rgb(name)
    low = reduce(high, scale)
    session = open_model(models, scale)
    panels = {
        f"bicubic x{scale}": bicubic(low, scale),
        f"network x{scale}": to_uint8(run_network(session, low.astype(np.float32) / 255)),
        "original": high,
    }
    label_height, gap = 18, 4
    width = len(panels) * w * zoom + (len(panels) - 1) * gap
    canvas = Image.new("RGB", (width, h * zoom + label_height), "white")
    draw = ImageDraw.Draw(canvas)
    for index, (label, image) in enumerate(panels.items()):
        crop = Image.fromarray(image[y:y + h, x:x + w]).resize((w * zoom, h * zoom), Image.Resampling.NEAREST)
        left = index * (w * zoom + gap)
        canvas.paste(crop, (left, label_height))
        draw.text((left + 4, 3), label, fill="black")
    canvas.save(path, optimize=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=pathlib.Path, default=REPO / "docs", help="where to write the results")
    parser.add_argument("--models", type=pathlib.Path, default=MODELS, help="folder holding sr_x2.onnx, sr_x4.onnx")
    parser.add_argument("--scales", type=int, nargs="+", choices=SCALES, default=SCALES)
    args = parser.parse_args()
    args.docs.mkdir(parents=True, exist_ok=True)
    lines = [
        "# Quality of the shipped networks",
        "",
        "Written by `tools/eval_sr.py`. Held-out photos from scikit-image (never trained on), reduced by",
        "Pillow's bicubic filter and stored as 8 bits, then enlarged back by Pillow's bicubic filter and by the",
        "network (`src/lumivex/upscale/models/sr_x*.onnx`, output clipped and rounded to 8 bits). PSNR in dB",
        "over RGB 0-255, SSIM from scikit-image (7×7 window, channels averaged); a border of `scale` pixels is",
        "left out on every side.",
    ]
    worst_gain = np.inf
    for scale in args.scales:
        rows, gains = evaluate(args.models, scale)
        worst_gain = min(worst_gain, float(np.mean(gains)))
        lines += [
            "", f"## ×{scale}", "",
            "| photo | size | bicubic PSNR | bicubic SSIM | network PSNR | network SSIM | gain dB |",
            "|---|---|---|---|---|---|---|",
            *rows,
            f"| **mean** | | | | | | **{np.mean(gains):+.2f}** |",
        ]
    (args.docs / "quality.md").write_text("\n".join(lines) + "\n")
    if 2 in args.scales:
        comparison_picture(args.models, args.docs / "comparison_x2.png")
    print(f"wrote {args.docs / 'quality.md'} and {args.docs / 'comparison_x2.png'}")
    return 0 if worst_gain >= 0.5 else 1


if __name__ == "__main__":
    sys.exit(main())
