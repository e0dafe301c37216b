"""Videos through the upscaler: every frame upscaled in its own place and time, every other stream, the
aspect, rotation, colour, depth, chapters and metadata kept; refusals before work; resumption after an
interruption without redoing finished segments."""

import fractions
import threading

import numpy as np
import pytest

av = pytest.importorskip("av")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")
pytest.importorskip("tqdm")

from lumivex.upscale import Upscaler, cli
from lumivex.upscale.roads import video
from lumivex.testing.videos import mux_tone
from lumivex.upscale.roads.video import VideoError, check_video, upscale_video, work_folder_path

WIDTH, HEIGHT = 32, 24
TIME_BASE = fractions.Fraction(1, 12800)
STEP = 512  # 25 frames a second in TIME_BASE
BT709 = 1


def pictures(count):
    """Frames that differ strongly from each other: 8x8 blocks of colours drawn anew for each frame."""
    rng = np.random.default_rng(7)
    blocks = rng.integers(0, 256, (count, HEIGHT // 8, WIDTH // 8, 3), dtype=np.uint8)
    return blocks.repeat(8, axis=1).repeat(8, axis=2)


def make_clip(path, *, frames=24, codec="libx264", pix_fmt="yuv420p", vfr=False, audio=True, subtitles=False,
              chapters=False, attachment=False, sar=None, rotation=None, bt709=False, gop=6):
    """A clip made with PyAV; keyframes every `gop` frames."""
    container = av.open(str(path), "w")
    container.metadata["title"] = "lumivex test clip"
    # Keyframes every `gop` frames exactly: the frames differ so much that each would be a scene cut.
    options = {"x265-params": "log-level=error"} if codec == "libx265" else {"x264-params": "scenecut=0"}
    video = container.add_stream(codec, rate=25, options=options)
    video.width, video.height, video.pix_fmt = WIDTH, HEIGHT, pix_fmt
    video.time_base = video.codec_context.time_base = TIME_BASE
    video.codec_context.gop_size = gop
    video.metadata["language"] = "eng"
    if sar is not None:
        video.codec_context.sample_aspect_ratio = sar
    if rotation is not None:
        video.set_display_rotation(rotation)
    if bt709:
        context = video.codec_context
        context.colorspace = context.color_primaries = context.color_trc = context.color_range = BT709
    sound = None
    if audio:
        sound = container.add_stream("aac", rate=8000)
        sound.layout = "mono"
        sound.metadata["language"] = "fra"
    text = None
    if subtitles:
        text = container.add_mux_stream("subrip")
        text.metadata["language"] = "deu"
        text.disposition = av.stream.Disposition.forced
    if attachment:
        container.add_attachment("font.ttf", "font/ttf", b"\x00\x01font" * 20)
    if chapters:
        millis = fractions.Fraction(1, 1000)
        container.set_chapters([
            {"id": 1, "start": 0, "end": 400, "time_base": millis, "metadata": {"title": "Opening"}},
            {"id": 2, "start": 400, "end": 900, "time_base": millis, "metadata": {"title": "Middle"}}])
    rng = np.random.default_rng(3)
    pts = 0
    for picture in pictures(frames):
        frame = av.VideoFrame.from_ndarray(picture, format="rgb24").reformat(
            format=pix_fmt, dst_colorspace=BT709 if bt709 else None, dst_color_range=BT709 if bt709 else None)
        frame.pts, frame.time_base = pts, TIME_BASE
        container.mux(video.encode(frame))
        pts += STEP * (int(rng.integers(1, 4)) if vfr else 1)
    container.mux(video.encode(None))
    if sound is not None:
        mux_tone(container, sound, int(pts * TIME_BASE * 8000))
    if text is not None:
        for number in range(3):
            packet = av.Packet(f"line {number}".encode())
            packet.stream, packet.time_base = text, fractions.Fraction(1, 1000)
            packet.pts = packet.dts = 300 * number
            packet.duration = 200
            container.mux(packet)
    container.close()
    return path


def decoded(path):
    """(seconds of each frame, RGB frames, the video stream's facts) of the file at `path`."""
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        frames = list(container.decode(stream))
        context = stream.codec_context
        facts = {"time_base": stream.time_base, "size": (context.width, context.height),
                 "sar": stream.sample_aspect_ratio, "pix_fmt": context.pix_fmt, "rotation": frames[0].rotation,
                 "colour": (frames[0].colorspace, frames[0].color_range, frames[0].color_primaries,
                            frames[0].color_trc),
                 "language": stream.metadata.get("language")}
        return ([frame.pts * frame.time_base for frame in frames],
                np.stack([frame.to_ndarray(format="rgb24") for frame in frames]), facts)


def others(path):
    """Everything of the file but its video pictures: the other streams' packets (bytes and times), their
    kinds and languages, attachments, chapters, container title."""
    with av.open(str(path)) as container:
        streams = [stream for stream in container.streams if stream.type != "video"]
        kept = {"streams": [(stream.type, stream.metadata.get("language"), stream.disposition)
                            for stream in streams],
                "attachments": [stream.data for stream in streams if stream.type == "attachment"],
                "chapters": [(chapter["start"] * chapter["time_base"], chapter["metadata"])
                             for chapter in container.chapters()],
                "title": container.metadata.get("title")}
        carried = [stream for stream in streams if stream.type != "attachment"]
        packets = container.demux(carried) if carried else []  # demux() of no streams reads them all
        kept["packets"] = [(packet.stream.type, bytes(packet), packet.pts * packet.time_base,
                            packet.dts * packet.time_base) for packet in packets if packet.size]
        return kept


@pytest.mark.parametrize("name, clip", [
    ("audio.mp4", dict()),
    ("everything.mkv", dict(subtitles=True, chapters=True, attachment=True)),
    ("variable.mp4", dict(vfr=True, frames=30)),
    ("ten-bit.mkv", dict(codec="libx265", pix_fmt="yuv420p10le", audio=False)),
    ("anamorphic.mp4", dict(sar=fractions.Fraction(2, 1), rotation=90, bt709=True)),
], ids=["mp4 with audio", "mkv with subtitles, chapters, attachment", "variable frame rate", "10-bit",
        "anamorphic, rotated, BT.709"])
def test_command_keeps_every_frame_in_its_place_and_everything_else(tmp_path, monkeypatch, capsys, network,
                                                                    name, clip):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(video, "SEGMENT_SECONDS", 0.2)  # several segments, joined at the end
    source = make_clip(tmp_path / name, **clip)
    assert cli.main([name, "--model", network]) == 0
    target = tmp_path / f"{source.stem}_x2{source.suffix}"
    assert f"wrote {target.name}" in capsys.readouterr().out

    times, frames, facts = decoded(source)
    out_times, out_frames, out_facts = decoded(target)
    assert out_times == times  # count and every timestamp, exactly
    assert out_facts == facts | {"size": (2 * WIDTH, 2 * HEIGHT)}  # time base, aspect, depth, rotation, colour
    assert others(target) == others(source)  # packets byte for byte at the same times, chapters, metadata
    assert_own_frames(out_frames, frames)
    assert not work_folder_path(target).exists()


def assert_own_frames(upscaled, frames):
    """Each upscaled frame, brought back to the input's size, is nearest to its own input frame."""
    small = upscaled.reshape(len(frames), HEIGHT, 2, WIDTH, 2, 3).mean(axis=(2, 4))
    distances = ((small[:, None] - frames[None].astype(np.float64)) ** 2).sum(axis=(2, 3, 4))
    np.testing.assert_array_equal(distances.argmin(axis=1), np.arange(len(frames)))


def truncate(path):
    data = path.read_bytes()
    path.write_bytes(data[:len(data) * 6 // 10])


@pytest.mark.parametrize("name, clip, spoil, arguments, status, message", [
    ("subtitles.mkv", dict(subtitles=True), None, ["subtitles.mkv", "out.mp4"], cli.EXIT_USAGE,
     "MP4 cannot hold stream #2 (srt subtitle, deu)"),
    ("fonts.mkv", dict(attachment=True, audio=False), None, ["fonts.mkv", "out.mov"], cli.EXIT_USAGE,
     "QuickTime cannot hold stream #1 (font/ttf attachment)"),
    ("broken.mp4", dict(), lambda path: path.write_bytes(b"\x00\x00\x00\x18ftypisom" + bytes(200)),
     ["broken.mp4"], cli.EXIT_USAGE, "broken.mp4: not a readable video"),
    ("cut.mkv", dict(frames=48), truncate, ["cut.mkv"], cli.EXIT_PARTIAL, "truncated"),
], ids=["subtitles into mp4", "attachment into mov", "unreadable", "truncated"])
def test_unusable_videos_get_one_line_and_nothing_is_written(tmp_path, monkeypatch, capsys, network, name, clip,
                                                             spoil, arguments, status, message):
    monkeypatch.chdir(tmp_path)
    source = make_clip(tmp_path / name, **clip)
    if spoil is not None:
        spoil(source)
    before = sorted(tmp_path.iterdir())
    assert cli.main([*arguments, "--model", network]) == status
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1
    assert sorted(tmp_path.iterdir()) == before  # no output, no temporary, no work folder


class Interrupt:
    """Progress callback that raises `error` once `after` frames are done, as Ctrl-C would."""

    def __init__(self, after, error):
        self.after, self.error = after, error

    def __call__(self, done, total):
        if done >= self.after:
            raise self.error


class CountingNearest:
    """x2 nearest-neighbour model that counts the windows it saw and fails on the `fail_at`th call."""

    scale = 2

    def __init__(self, fail_at=None):
        self.calls, self.fail_at = 0, fail_at

    def __call__(self, batch):
        self.calls += 1
        if self.calls == self.fail_at:
            raise RuntimeError("the network broke")
        return batch.repeat(2, axis=2).repeat(2, axis=3)


@pytest.mark.parametrize("stop, name", [("ctrl-c", "long.mp4"), ("model error", "long.mkv")])
def test_an_interrupted_video_resumes_at_its_first_unfinished_segment(tmp_path, stop, name):
    source = make_clip(tmp_path / name, frames=48, subtitles=name.endswith(".mkv"))  # keyframes every 6 frames
    target = tmp_path / f"long_x2{source.suffix}"
    before = set(threading.enumerate())
    if stop == "ctrl-c":
        model, progress, expected = CountingNearest(), Interrupt(30, KeyboardInterrupt()), KeyboardInterrupt
    else:
        model, progress, expected = CountingNearest(fail_at=31), None, RuntimeError
    with pytest.raises(expected):
        upscale_video(source, target, Upscaler(model), segment_seconds=0.4, progress=progress)  # segments of 12 frames
    assert set(threading.enumerate()) == before  # the decoding and network threads are gone
    assert not target.exists()
    work = work_folder_path(target)
    assert sorted(path.name for path in work.iterdir()) == ["000000.packets", "000001.packets", "job.json"]

    resumed, counted = CountingNearest(), []
    report = upscale_video(source, target, Upscaler(resumed), segment_seconds=0.4,
                           progress=lambda done, total: counted.append((done, total)))
    assert (report.resumed, resumed.calls) == (24, 24)  # segments 0 and 1 reused, 2 and 3 done
    assert counted == [(done, 48) for done in range(24, 49)]  # the reused frames at once, then frame by frame
    assert not work.exists()
    times, frames, _ = decoded(target)
    assert times == decoded(source)[0]
    assert_own_frames(frames, decoded(source)[1])
    assert others(target) == others(source)


def test_a_video_that_fails_before_its_first_segment_leaves_no_work_behind(tmp_path):
    source = make_clip(tmp_path / "short.mp4", frames=12)
    target = tmp_path / "short_x2.mp4"
    with pytest.raises(RuntimeError):
        upscale_video(source, target, Upscaler(CountingNearest(fail_at=1)), segment_seconds=0.4)
    assert sorted(path.name for path in tmp_path.iterdir()) == ["short.mp4"]


def test_ten_bit_video_is_upscaled_and_encoded_in_more_than_eight_bits(tmp_path, cp):
    source = make_clip(tmp_path / "ten.mkv", codec="libx265", pix_fmt="yuv420p10le", audio=False, frames=6)
    seen = []

    def nearest(batch):
        seen.append(batch.copy())
        return batch.repeat(2, axis=2).repeat(2, axis=3)

    nearest.scale = 2
    upscale_video(source, tmp_path / "ten_x2.mkv", Upscaler(nearest))
    levels = np.concatenate([cp.asnumpy(batch).ravel() for batch in seen]) * 255
    assert np.abs(levels - np.round(levels)).max() > 0.1  # finer than 8-bit levels reached the network
    assert decoded(tmp_path / "ten_x2.mkv")[2]["pix_fmt"] == "yuv420p10le"
    # WebM's VP9 encoder here has no 10-bit: the default goes to AV1 instead; asking for VP9 is refused.
    assert check_video(source, tmp_path / "out.webm", 2).encoding.pix_fmt == "yuv420p10le"
    with pytest.raises(VideoError, match="libvpx-vp9 cannot keep the input's 10-bit yuv420p10le"):
        check_video(source, tmp_path / "out.webm", 2, codec="vp9")


def test_a_pixel_format_the_encoder_lacks_becomes_the_nearest_of_its_chroma_layout(tmp_path):
    source = make_clip(tmp_path / "camera.mov", codec="mjpeg", pix_fmt="yuvj422p", audio=False, frames=3)
    assert check_video(source, tmp_path / "out.webm", 2).encoding.pix_fmt == "yuv422p"  # VP9 has no yuvj422p


@pytest.mark.parametrize("suffix, preset, option", [(".mp4", "veryfast", ("preset", "veryfast")),
                                                    (".webm", "3", ("cpu-used", "3"))])
def test_the_preset_reaches_the_encoder_under_its_own_name(tmp_path, suffix, preset, option):
    source = make_clip(tmp_path / "clip.mp4", audio=False, frames=3)
    assert option in check_video(source, tmp_path / f"out{suffix}", 2, preset=preset).encoding.options
