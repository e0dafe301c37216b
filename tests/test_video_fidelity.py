"""What a video output holds besides its frames' order: the levels of the photo road on the same frame, in every
range and matrix a clip may carry, and its sample aspect ratio in every container and codec the command writes."""

import fractions
import subprocess

import numpy as np
import pytest

av = pytest.importorskip("av")
Image = pytest.importorskip("PIL.Image")
pytest.importorskip("onnxruntime")

from lumivex.testing.networks import write_placeholder_network
from lumivex.upscale.roads.video import matroska as video_matroska
from lumivex.upscale.roads.video.probe import Picture

LIMITED, FULL = 1, 2
UNTAGGED, BT709, BT601, BT2020 = 2, 1, 6, 9


def smooth_colours(height, width, seed=0):
    """A photo-like RGB image 0..1: random colours every 16 pixels, blended between."""
    rng = np.random.default_rng(seed)
    grid = rng.random((height // 16 + 2, width // 16 + 2, 3))
    rows = np.linspace(0, grid.shape[0] - 1.001, height)
    columns = np.linspace(0, grid.shape[1] - 1.001, width)
    top, left = rows.astype(int), columns.astype(int)
    down, across = (rows - top)[:, None, None], (columns - left)[None, :, None]
    image = (grid[top][:, left] * (1 - down) * (1 - across) + grid[top + 1][:, left] * down * (1 - across)
             + grid[top][:, left + 1] * (1 - down) * across + grid[top + 1][:, left + 1] * down * across)
    return image


def picture(pix_fmt, matrix, colour_range):
    bits = max(component.bits for component in av.VideoFormat(pix_fmt).components)
    return Picture(64, 48, pix_fmt, bits, matrix, colour_range, 2, 2, None, None)


@pytest.mark.parametrize("pix_fmt", ["yuv420p", "yuv444p", "yuv422p10le", "nv12", "p010le"])
@pytest.mark.parametrize("matrix", [UNTAGGED, BT709, BT601, BT2020])
@pytest.mark.parametrize("colour_range", [LIMITED, FULL])
def test_colour_conversion_there_and_back_keeps_the_levels(pix_fmt, matrix, colour_range):
    clip = picture(pix_fmt, matrix, colour_range)
    top = 255 if clip.bits <= 8 else 65535
    rgb = (smooth_colours(48, 64) * top + 0.5).astype(np.uint8 if top == 255 else np.uint16)
    back = clip.to_rgb(clip.from_rgb(rgb, pix_fmt))
    error = (back.astype(float) - rgb) * 255 / top  # in 8-bit levels
    # No level lost on the way (FFmpeg's own conversions lose about one); saturated colours whose chroma is
    # shared with their neighbours may leave the gamut and be clipped, a few levels here and there.
    assert np.abs(error.mean(axis=(0, 1))).max() < 0.1, error.mean(axis=(0, 1))
    assert np.abs(error).mean() < 2


@pytest.mark.parametrize("matrix, colour_range, rgb, yuv", [
    (BT601, LIMITED, (255, 0, 0), (81, 90, 240)),
    (UNTAGGED, LIMITED, (255, 0, 0), (81, 90, 240)),  # untagged video is BT.601, as FFmpeg takes it
    (BT709, LIMITED, (255, 0, 0), (63, 102, 240)),
    (BT601, FULL, (255, 0, 0), (76, 85, 255)),
    (BT2020, LIMITED, (0, 0, 255), (29, 240, 119)),
    (BT709, LIMITED, (255, 255, 255), (235, 128, 128)),
    (4, LIMITED, (255, 0, 0), (82, 90, 240)),  # FCC
    (7, LIMITED, (0, 0, 255), (35, 240, 116)),  # SMPTE 240M
])
def test_colours_become_the_samples_their_matrix_and_range_give(matrix, colour_range, rgb, yuv):
    clip = picture("yuv444p", matrix, colour_range)
    frame = clip.from_rgb(np.full((48, 64, 3), rgb, np.uint8), "yuv444p")
    assert tuple(int(np.frombuffer(plane, np.uint8)[0]) for plane in frame.planes) == yuv
    assert np.abs(clip.to_rgb(frame)[0, 0].astype(int) - rgb).max() <= 1  # back within the samples' rounding


def test_the_chroma_of_an_odd_last_column_is_that_column_s_own():
    clip = picture("yuv420p", BT601, LIMITED)
    rgb = np.zeros((2, 3, 3), np.uint8)
    rgb[:, 2] = (255, 0, 0)  # grey, grey, red: the last chroma sample covers the red column alone
    frame = clip.from_rgb(rgb, "yuv420p")
    assert [int(np.frombuffer(frame.planes[2], np.uint8)[index]) for index in range(2)] == [128, 240]


@pytest.fixture(scope="module")
def network(tmp_path_factory):
    return str(write_placeholder_network(tmp_path_factory.mktemp("network") / "x2.onnx", 2))


def write_clip(path, rgb, *, encoder="libx264", pix_fmt="yuv420p", matrix=UNTAGGED, colour_range=LIMITED,
               sar=None, frames=2):
    clip = picture(pix_fmt, matrix, colour_range)
    with av.open(str(path), "w") as container:
        stream = container.add_stream(encoder, rate=25, options={"qp": "0"} if encoder == "libx264" else {})
        stream.width, stream.height, stream.pix_fmt = rgb.shape[1], rgb.shape[0], pix_fmt
        context = stream.codec_context
        context.colorspace, context.color_range = matrix, colour_range
        if sar is not None:
            context.sample_aspect_ratio = sar
        for index in range(frames):
            frame = clip.from_rgb(rgb, pix_fmt)
            frame.pts = index
            frame.colorspace, frame.color_range = matrix, colour_range
            container.mux(stream.encode(frame))
        container.mux(stream.encode(None))
    return clip


def first_frame(path, clip):
    with av.open(str(path)) as container:
        return clip.to_rgb(next(container.decode(video=0)))


@pytest.mark.parametrize("matrix, colour_range", [(UNTAGGED, LIMITED), (BT709, FULL)])
def test_a_video_output_has_the_levels_of_the_photo_road_on_the_same_frame(tmp_path, network, command, matrix,
                                                                           colour_range):
    clip = write_clip(tmp_path / "clip.mp4", (smooth_colours(48, 64) * 255 + 0.5).astype(np.uint8), matrix=matrix,
                      colour_range=colour_range)
    Image.fromarray(first_frame(tmp_path / "clip.mp4", clip)).save(tmp_path / "frame.png")
    for arguments in (["clip.mp4", "--crf", "0"], ["frame.png"]):  # the video losslessly encoded
        completed = subprocess.run([*command, *arguments, "--model", network], cwd=tmp_path, capture_output=True,
                                   text=True, timeout=300)
        assert completed.returncode == 0, completed.stderr
    photo = np.asarray(Image.open(tmp_path / "frame_x2.png"), dtype=float)
    video = first_frame(tmp_path / "clip_x2.mp4", clip).astype(float)
    assert np.abs((video - photo).mean(axis=(0, 1))).max() < 0.25, (video - photo).mean(axis=(0, 1))


@pytest.mark.parametrize("output, codec", [("out.mkv", "av1"), ("out.webm", "vp9"), ("out.mkv", "h264"),
                                           ("out.mp4", "av1")])
def test_the_sample_aspect_ratio_survives_every_container_and_codec(tmp_path, network, command, output, codec):
    ratio = fractions.Fraction(128, 117)
    write_clip(tmp_path / "clip.mkv", np.zeros((48, 64, 3), np.uint8), sar=ratio)
    completed = subprocess.run([*command, "clip.mkv", output, "--model", network, "--codec", codec], cwd=tmp_path,
                               capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    with av.open(str(tmp_path / output)) as container:
        stream = container.streams.video[0]
        kept, width = stream.sample_aspect_ratio, stream.codec_context.width
        assert sum(1 for _ in container.decode(stream)) == 2  # the file is whole after its header was changed
    if output.endswith(".webm"):  # WebM holds a display width in whole pixels only
        assert round(width * ratio) == width * kept
    else:
        assert kept == ratio


def matroska_header(path):
    """The bytes of a small Matroska file as FFmpeg writes them, and where its segment's size is."""
    with av.open(str(path), "w", format="matroska") as container:
        stream = container.add_stream("libvpx-vp9", rate=25)
        stream.width, stream.height, stream.pix_fmt = 64, 48, "yuv420p"
        frame = av.VideoFrame(64, 48, "yuv420p")
        frame.pts = 0
        container.mux(stream.encode(frame))
        container.mux(stream.encode(None))
    data = path.read_bytes()
    return data, data.index(b"\x18\x53\x80\x67") + 4


@pytest.mark.parametrize("damage", ["unknown size", "cut short", "not a segment"])
def test_a_matroska_file_laid_out_otherwise_is_left_as_it_is(tmp_path, damage):
    data, size_at = matroska_header(tmp_path / "clip.mkv")
    if damage == "unknown size":  # as a live stream's muxer writes it
        data = data[:size_at] + b"\x01" + b"\xff" * 7 + data[size_at + 8:]
    elif damage == "cut short":  # inside the track list's id
        data = data[:data.index(b"\x16\x54\xae\x6b") + 2]
    else:
        data = data[:size_at - 4] + b"\x1a\x45\xdf\xa3" + data[size_at:]
    (tmp_path / "damaged.mkv").write_bytes(data)
    with open(tmp_path / "damaged.mkv", "r+b") as file, pytest.raises(video_matroska.LayoutError):
        video_matroska.write_display_size(file, fractions.Fraction(2, 1))
    assert (tmp_path / "damaged.mkv").read_bytes() == data
