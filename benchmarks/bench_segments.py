"""Benchmark of what cutting a video into segments costs the encoder: each segment is encoded by an encoder of
its own (so runs can share them and an interrupted run keeps them), which starts with an IDR frame and an
empty look-ahead. Encodes the same frames with the video road's encoder (libx264 at CRF 18 by default, as the
road chooses it for an H.264 input) once whole and in segments of several lengths, and reports the time and
the bytes of each beside the whole, best of `--repeats`. The road's least segment length is
`lumivex.upscale.roads.video.SEGMENT_SECONDS`.
Run: .venv/bin/python -P benchmarks/bench_segments.py [--size 960 540] [--seconds 20] [--fps 25]
[--lengths 1 2 5 10] [--repeats 2]
"""

import argparse
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))  # the shared helpers, also under -P

from common import QUICK  # noqa: E402  (cupy settled first)

import av  # noqa: E402
import numpy as np  # noqa: E402

from lumivex.upscale.roads.video import SEGMENT_SECONDS, check_video  # noqa: E402


def pictures(width, height, count):
    """Frames like a camera's: a lit gradient, shapes that move across it, a little sensor noise."""
    rng = np.random.default_rng(0)
    rows, columns = np.mgrid[0:height, 0:width]
    base = np.stack([columns * 200 // width, rows * 200 // height, (rows + columns) * 100 // (width + height)], -1)
    for index in range(count):
        picture = base.copy()
        for shape in range(6):
            x = (shape * width // 6 + 7 * index) % width
            y = (shape * height // 7 + 3 * index * (shape % 3 - 1)) % height
            picture[max(0, y - 40):y + 40, max(0, x - 60):x + 60] = (40 * shape, 255 - 40 * shape, 128)
        picture = picture + rng.integers(-6, 7, picture.shape)
        yield np.clip(picture, 0, 255).astype(np.uint8)


def make_source(path, width, height, fps):
    """A one-frame H.264 clip of the size, for the road to choose its encoder as for a real input."""
    with av.open(path, "w") as container:
        video = container.add_stream("libx264", rate=fps)
        video.width, video.height, video.pix_fmt = width, height, "yuv420p"
        frame = av.VideoFrame(width, height, "yuv420p")
        frame.pts = 0
        container.mux(video.encode(frame))
        container.mux(video.encode(None))


def encode(encoding, frames, fps, segment_frames):
    """(seconds, bytes) of encoding `frames` with a new encoder every `segment_frames` frames."""
    started, size = time.perf_counter(), 0
    for start in range(0, len(frames), segment_frames):
        encoder = encoding.open_encoder()
        for index in range(start, min(start + segment_frames, len(frames))):
            frames[index].pts = int(index / (fps * encoding.time_base))  # the road's timestamps: the input's
            size += sum(packet.size for packet in encoder.encode(frames[index]))
        size += sum(packet.size for packet in encoder.encode(None))
    return time.perf_counter() - started, size


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, nargs=2, default=(480, 270) if QUICK else (960, 540))
    parser.add_argument("--seconds", type=float, default=8 if QUICK else 20)
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--lengths", type=float, nargs="+", default=[1, 2, 5, 10])
    parser.add_argument("--repeats", type=int, default=1 if QUICK else 2)
    args = parser.parse_args()
    width, height = args.size
    with tempfile.TemporaryDirectory() as folder:
        source = os.path.join(folder, "source.mp4")
        make_source(source, width, height, args.fps)
        encoding = check_video(source, os.path.join(folder, "out.mp4"), 1).encoding
    count = int(args.seconds * args.fps)
    frames = []
    for picture in pictures(width, height, count):
        frame = av.VideoFrame.from_ndarray(picture, format="rgb24").reformat(format=encoding.pix_fmt)
        frame.time_base = encoding.time_base
        frames.append(frame)
    print(f"{count} frames of {width}x{height} at {args.fps} fps, {encoding} ({dict(encoding.options)}); "
          f"the road's segments: at least {SEGMENT_SECONDS:g} s")
    lengths = [None] + [length for length in args.lengths if length * args.fps < count]
    best = {length: (float("inf"), 0) for length in lengths}
    for _ in range(args.repeats):  # interleaved, so that a busy moment of the machine falls on every row
        for length in lengths:
            seconds, size = encode(encoding, frames, args.fps, count if length is None else int(length * args.fps))
            best[length] = (min(best[length][0], seconds), size)
    whole_seconds, whole_size = best[None]
    print(f"| segments | encoding | time | bytes |")
    print(f"| --- | --- | --- | --- |")
    for length in lengths:
        seconds, size = best[length]
        name = "one encoder" if length is None else f"{length:g} s"
        print(f"| {name} | {seconds:.2f} s | {seconds / whole_seconds - 1:+.1%} | {size / whole_size - 1:+.1%} |")


if __name__ == "__main__":
    main()
