"""Benchmark of the video road, `lumivex.upscale.roads.video.upscale_video`, with the shipped x2 network.

Makes a clip with PyAV (H.264, AAC), upscales it and reports frames per second and each stage's share of the
wall-clock time: decoding (with the YUV -> RGB conversion), the network (the tiled road, host <-> device
copies included) and encoding (RGB -> YUV, the encoder, the segment files); the join at the end is the rest.
The stages run at once, so their shares add up to more than 100% when they overlap. Uses a placeholder
network of the same contract, and says so, when the shipped one is not installed.
Run: .venv/bin/python -P benchmarks/bench_video.py [--size 320 180] [--frames 96] [--codec libx264] [--nearest]
"""

import argparse
import fractions
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import ON_GPU, QUICK  # noqa: E402  (cupy settled first)

import av  # noqa: E402
import numpy as np  # noqa: E402

from bench_upscale import network  # noqa: E402
from lumivex.upscale import Upscaler  # noqa: E402
from lumivex.upscale.roads.video import upscale_video  # noqa: E402


def make_clip(path, width, height, frames):
    """A clip whose frames move (a drifting pattern over noise), so the encoder has real work."""
    rng = np.random.default_rng(0)
    base = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
    with av.open(path, "w") as container:
        video = container.add_stream("libx264", rate=25)
        video.width, video.height, video.pix_fmt = width, height, "yuv420p"
        sound = container.add_stream("aac", rate=48000)
        for index in range(frames):
            picture = np.roll(base, 3 * index, axis=1)
            frame = av.VideoFrame.from_ndarray(picture, format="rgb24")
            frame.pts, frame.time_base = index, fractions.Fraction(1, 25)
            container.mux(video.encode(frame))
        container.mux(video.encode(None))
        samples = frames * 48000 // 25
        wave = (0.2 * np.sin(np.arange(samples) * 0.05)).astype(np.float32)[None]
        for start in range(0, samples, 1024):
            chunk = av.AudioFrame.from_ndarray(wave[:, start:start + 1024], format="fltp", layout="mono")
            chunk.sample_rate, chunk.pts = 48000, start
            container.mux(sound.encode(chunk))
        container.mux(sound.encode(None))


class Nearest:
    scale = 2
    description = "nearest-neighbour enlargement"

    def __call__(self, batch):
        return batch.repeat(2, axis=2).repeat(2, axis=3)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, nargs=2, default=[320, 180], metavar=("WIDTH", "HEIGHT"))
    parser.add_argument("--frames", type=int, default=24 if QUICK else 96)
    parser.add_argument("--codec", default=None, help="encoder (default: libx264, the input's family)")
    parser.add_argument("--model", default=None, help="an ONNX network instead of the shipped one")
    parser.add_argument("--nearest", action="store_true",
                        help="nearest-neighbour enlargement instead of a network: what the codecs and the road "
                             "sustain on their own, the ceiling a fast GPU network approaches")
    args = parser.parse_args()
    width, height = args.size
    with tempfile.TemporaryDirectory() as folder:
        model, which = (Nearest(), "none") if args.nearest else network(2, folder, args.model)
        source, target = os.path.join(folder, "clip.mp4"), os.path.join(folder, "clip_x2.mp4")
        make_clip(source, width, height, args.frames)
        print(f"{'GPU' if ON_GPU else 'CPU stand-in'}; network: {which}, {model.description}; x2")
        started = time.perf_counter()
        report = upscale_video(source, target, Upscaler(model), codec=args.codec)
        wall = time.perf_counter() - started
        shares = {stage: seconds / wall for stage, seconds in report.seconds.items()}
        print(f"{width}x{height} -> {2 * width}x{2 * height}, {report.frames} frames, {report.encoding}")
        print(f"{'frames/s':>9} {'total s':>8} {'decode':>7} {'network':>8} {'encode':>7}")
        print(f"{report.frames / wall:>9.2f} {wall:>8.2f} {shares['decode']:>7.0%} {shares['network']:>8.0%} "
              f"{shares['encode']:>7.0%}")


if __name__ == "__main__":
    main()
