"""HDR10 video through the command: the mastering display and content light levels of the input reach the
output's stream where its encoder writes them (read back as FFmpeg's decoder reports them), and a run whose
encoder cannot carry them says so once, before any work."""

import fractions
import struct
import subprocess

import numpy as np
import pytest

av = pytest.importorskip("av")
pytest.importorskip("onnxruntime")

from av.sidedata.sidedata import Type

from lumivex.upscale.roads.video import hdr  # noqa: F401  what the command runs (the mutation check goes by imports)

BT2020, PQ, LIMITED = 9, 16, 1
# A BT.2020 display of 1000 cd/m2 down to 0.005, in x265's steps (0.00002 of a chromaticity, 0.0001 cd/m2).
MASTER_DISPLAY = "G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,50)"
RED, GREEN, BLUE, WHITE = (0.68, 0.32), (0.265, 0.69), (0.15, 0.06), (0.3127, 0.329)
LUMINANCE = (0.005, 1000)
LIGHT_LEVELS = (1000, 400)  # MaxCLL, MaxFALL


def write_hdr_clip(path, sar=None, mastering=True):
    """Three 10-bit PQ BT.2020 frames by libx265, with its light level SEI and (`mastering`) its mastering
    display SEI."""
    params = f"log-level=error:hdr10=1:max-cll={LIGHT_LEVELS[0]},{LIGHT_LEVELS[1]}"
    params += f":master-display={MASTER_DISPLAY}" if mastering else ""
    with av.open(str(path), "w") as container:
        stream = container.add_stream("libx265", rate=25, options={"x265-params": params})
        stream.width, stream.height, stream.pix_fmt = 64, 48, "yuv420p10le"
        context = stream.codec_context
        context.colorspace = context.color_primaries = BT2020
        context.color_trc, context.color_range = PQ, LIMITED
        if sar is not None:
            context.sample_aspect_ratio = sar
        rng = np.random.default_rng(5)
        for index in range(3):
            pixels = rng.integers(0, 65536, (48, 64, 3), dtype=np.uint16)
            frame = av.VideoFrame.from_ndarray(pixels, format="rgb48le").reformat(format="yuv420p10le")
            frame.pts = index
            container.mux(stream.encode(frame))
        container.mux(stream.encode(None))


def hdr_side_data(path):
    """(mastering display as flat floats: red, green, blue, white x and y, least and greatest luminance;
    (MaxCLL, MaxFALL)) of the first frame of `path`, None for each it lacks; and its stream's facts."""
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        frame = next(container.decode(stream))
        mastering = frame.side_data.get(Type.MASTERING_DISPLAY_METADATA)
        light = frame.side_data.get(Type.CONTENT_LIGHT_LEVEL)
        if mastering is not None:
            values = struct.unpack_from("<22i", bytes(mastering))  # FFmpeg's AVMasteringDisplayMetadata
            assert values[20:] == (1, 1)  # primaries and luminance both set
            mastering = [values[index] / values[index + 1] for index in range(0, 20, 2)]
        # x265 writes the options it ran with into the stream: whether it tuned its quantiser for PQ.
        x265 = frame.side_data.get(Type.SEI_UNREGISTERED)
        tuned = None if x265 is None else " hdr10-opt " in bytes(x265).decode("latin-1")
        facts = (frame.format.name, frame.color_primaries, frame.color_trc, frame.colorspace,
                 stream.sample_aspect_ratio or None, tuned)
        return mastering, None if light is None else struct.unpack_from("<2I", bytes(light)), facts


@pytest.mark.parametrize("output, codec, sar, mastering, tolerance, tuned", [
    ("out.mkv", None, None, True, 0, True),  # the input's family: x265's own steps, exactly
    # AV1 stores 1/65536 of a chromaticity, 1/16384 cd/m2 at the low end and 1/256 at the high end; an
    # anamorphic Matroska output has its header rewritten after FFmpeg wrote it.
    ("out.mkv", "av1", fractions.Fraction(4, 3), True, 1 / 32768, None),
    ("out.mp4", None, None, False, 0, True),
], ids=["hevc", "av1, anamorphic", "light levels alone"])
def test_hdr10_metadata_reaches_the_output_stream(tmp_path, network, command, output, codec, sar, mastering,
                                                  tolerance, tuned):
    write_hdr_clip(tmp_path / "clip.mkv", sar, mastering)
    completed = subprocess.run([*command, "clip.mkv", output, "--model", network]
                               + (["--codec", codec] if codec else []),
                               cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    assert "note:" not in completed.stdout and "x265 [" not in completed.stderr
    kept, light, facts = hdr_side_data(tmp_path / output)
    if mastering:
        np.testing.assert_allclose(kept, [*RED, *GREEN, *BLUE, *WHITE, *LUMINANCE], rtol=0, atol=tolerance + 1e-12)
    else:
        assert kept is None
    assert light == LIGHT_LEVELS
    assert facts == ("yuv420p10le", BT2020, PQ, BT2020, sar, tuned)


def test_an_encoder_that_drops_hdr10_metadata_is_named_before_any_work(tmp_path, network, command):
    write_hdr_clip(tmp_path / "clip.mkv")
    completed = subprocess.run([*command, "clip.mkv", "out.mkv", "--model", network, "--codec", "h264"],
                               cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    notes = [line for line in lines if "HDR10" in line]
    assert notes == ["note: clip.mkv: libx264 does not keep the input's HDR10 mastering display and light levels; "
                     "--codec hevc or av1 would keep it"]
    assert lines.index(notes[0]) < next(index for index, line in enumerate(lines) if line.startswith("wrote "))
    assert hdr_side_data(tmp_path / "out.mkv")[:2] == (None, None)
