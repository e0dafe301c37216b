"""Benchmark of the video road, `lumivex.upscale.roads.video.upscale_video`, with the shipped x2 network.

Makes a clip with PyAV (H.264, AAC), upscales it and reports frames per second and each stage's share of the
wall-clock time: decoding (with the YUV -> RGB conversion), the network (the tiled road, host <-> device
copies included) and encoding (RGB -> YUV, the encoder, the segment files); the join at the end is the rest.
The stages run at once, so their shares add up to more than 100% when they overlap. Uses a placeholder
network of the same contract, and says so, when the shipped one is not installed.

The baseline is the plain loop anyone would write by hand, run on the same clip in the same process,
interleaved with the road, best of `--repeats`: PyAV decodes a frame, one ONNX Runtime call enlarges the whole
frame, libx264 encodes it at CRF 18. The road runs with the tile and batch sizes the command would choose.
Run: .venv/bin/python -P benchmarks/bench_video.py [--size 640 272] [--frames 48] [--repeats 2] [--codec libx264]
[--nearest]
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
from lumivex.upscale import Upscaler, memory, pipeline  # noqa: E402
from lumivex.upscale.models import OnnxModel  # noqa: E402
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


def plain_loop(source, target, network_path):
    """Decode, one network call on the whole frame, encode: the hand-written baseline, frame after frame, with
    ONNX Runtime's default session."""
    import onnxruntime as ort

    session = ort.InferenceSession(str(network_path), providers=["CPUExecutionProvider"])
    name = session.get_inputs()[0].name
    with av.open(source) as clip, av.open(target, "w") as result:
        stream = clip.streams.video[0]
        stream.thread_type = "AUTO"
        encoder = result.add_stream("libx264", rate=stream.average_rate)
        encoder.width, encoder.height = 2 * stream.width, 2 * stream.height
        encoder.pix_fmt, encoder.options = "yuv420p", {"crf": "18"}
        for frame in clip.decode(stream):
            x = frame.to_ndarray(format="rgb24").transpose(2, 0, 1)[None].astype(np.float32) / 255
            y = session.run(None, {name: x})[0][0]
            pixels = np.ascontiguousarray((np.clip(y, 0, 1) * 255 + 0.5).astype(np.uint8).transpose(1, 2, 0))
            enlarged = av.VideoFrame.from_ndarray(pixels, format="rgb24")
            enlarged.pts, enlarged.time_base = frame.pts, frame.time_base
            result.mux(encoder.encode(enlarged))
        result.mux(encoder.encode(None))


class Nearest:
    scale = 2
    description = "nearest-neighbour enlargement"

    def __call__(self, batch):
        return batch.repeat(2, axis=2).repeat(2, axis=3)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, nargs=2, default=[640, 272], metavar=("WIDTH", "HEIGHT"))
    parser.add_argument("--frames", type=int, default=12 if QUICK else 48)
    parser.add_argument("--repeats", type=int, default=1 if QUICK else 2)
    parser.add_argument("--codec", default=None, help="encoder (default: libx264, the input's family)")
    parser.add_argument("--model", default=None, help="an ONNX network instead of the shipped one")
    parser.add_argument("--nearest", action="store_true",
                        help="nearest-neighbour enlargement instead of a network: what the codecs and the road "
                             "sustain on their own, the ceiling a fast GPU network approaches (no baseline)")
    parser.add_argument("--spinning", action="store_true",
                        help="the network's threads spin while they wait, as ONNX Runtime's default does")
    args = parser.parse_args()
    width, height = args.size
    with tempfile.TemporaryDirectory() as folder:
        model, which = (Nearest(), "none") if args.nearest else network(2, folder, args.model)
        if not args.nearest:
            model = OnnxModel(model.path, shared_cores=not args.spinning)
        source, target = os.path.join(folder, "clip.mp4"), os.path.join(folder, "clip_x2.mp4")
        make_clip(source, width, height, args.frames)
        print(f"{'GPU' if ON_GPU else 'CPU stand-in'}; network: {which}, {model.description}; x2")
        options = {}
        if not args.nearest:
            geometry = memory.choose_geometry(model, scale=2, overlap=pipeline.default_overlap(model),
                                              width=width, height=height)
            options = {"tile_size": geometry.tile_size, "batch_size": geometry.batch_size}
            print(f"memory: {geometry}")
        road, loop, report = [], [], None
        for _ in range(args.repeats):  # interleaved: a busy moment of the machine hits both
            started = time.perf_counter()
            report = upscale_video(source, target, Upscaler(model, **options), codec=args.codec)
            road.append(time.perf_counter() - started)
            if not args.nearest and not getattr(model, "uses_cuda", False):
                started = time.perf_counter()
                plain_loop(source, os.path.join(folder, "loop_x2.mp4"), model.path)
                loop.append(time.perf_counter() - started)
        wall = min(road)
        shares = {stage: seconds / report.wall for stage, seconds in report.seconds.items()}
        print(f"{width}x{height} -> {2 * width}x{2 * height}, {report.frames} frames, {report.encoding}")
        print(f"{'frames/s':>9} {'total s':>8} {'decode':>7} {'network':>8} {'encode':>7}")
        print(f"{report.frames / wall:>9.2f} {wall:>8.2f} {shares['decode']:>7.0%} {shares['network']:>8.0%} "
              f"{shares['encode']:>7.0%}")
        if loop:
            print(f"plain loop (decode, one ONNX Runtime call a frame, libx264 CRF 18): "
                  f"{report.frames / min(loop):.2f} frames/s, {min(loop):.2f} s; the road takes {wall / min(loop):.2f} times the loop's time "
                  f"(best of {args.repeats}, interleaved)")


if __name__ == "__main__":
    main()
