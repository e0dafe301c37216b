"""Small video clips for tests, made with PyAV: frames that differ strongly from each other, keyframes at a
fixed interval, and an audio stream, so that a clip of a few dozen frames spans several segments of the video
road and every stream it keeps can be compared."""

import fractions

import av
import numpy as np

TIME_BASE = fractions.Fraction(1, 12800)


def write_clip(path, *, frames=48, size=(32, 24), fps=1, gop=6, audio=True, seed=7):
    """Writes an H.264 clip at `path` with `frames` frames of `size` (width, height) at `fps` frames a second,
    a keyframe every `gop` frames, and a mono AAC track as long as the video; returns `path`."""
    width, height = size
    rng = np.random.default_rng(seed)
    # 8x8 blocks of colours drawn anew for each frame: each frame would be a scene cut, so keyframes come
    # only where `gop` puts them.
    blocks = rng.integers(0, 256, (frames, height // 8, width // 8, 3), dtype=np.uint8)
    pictures = blocks.repeat(8, axis=1).repeat(8, axis=2)
    step = int(1 / (fps * TIME_BASE))
    with av.open(str(path), "w") as container:
        video = container.add_stream("libx264", rate=fps, options={"x264-params": "scenecut=0"})
        video.width, video.height, video.pix_fmt = width, height, "yuv420p"
        video.time_base = video.codec_context.time_base = TIME_BASE
        video.codec_context.gop_size = gop
        sound = None
        if audio:
            sound = container.add_stream("aac", rate=8000)
            sound.layout = "mono"
        for number, picture in enumerate(pictures):
            frame = av.VideoFrame.from_ndarray(picture, format="rgb24").reformat(format="yuv420p")
            frame.pts, frame.time_base = number * step, TIME_BASE
            container.mux(video.encode(frame))
        container.mux(video.encode(None))
        if sound is not None:
            mux_tone(container, sound, int(frames * step * TIME_BASE * 8000))
    return path


def mux_tone(container, sound, samples):
    """Encodes `samples` samples of a 440 Hz tone at 8 kHz (mono) into the audio stream `sound` of `container`."""
    wave = (0.3 * np.sin(2 * np.pi * 440 * np.arange(samples) / 8000)).astype(np.float32)[None]
    for start in range(0, samples, 1024):
        chunk = av.AudioFrame.from_ndarray(wave[:, start:start + 1024], format="fltp", layout="mono")
        chunk.sample_rate, chunk.pts = 8000, start
        container.mux(sound.encode(chunk))
    container.mux(sound.encode(None))


def frames_and_times(path):
    """(every frame's time in seconds, the frames as RGB arrays) of the video stream of `path`."""
    with av.open(str(path)) as container:
        decoded = list(container.decode(container.streams.video[0]))
    return [frame.pts * frame.time_base for frame in decoded], np.stack([frame.to_ndarray(format="rgb24")
                                                                        for frame in decoded])
