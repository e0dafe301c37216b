"""Which encoder writes the upscaled video and how: the input's codec family by default, a quality-based rate
(CRF 18 for H.264, its equivalent elsewhere), the input's bit depth, chroma layout, colour tags and HDR10
metadata (`hdr`), and the user's --codec/--crf/--preset; `Encoding` opens identically configured encoders
wherever one is needed.
"""

import dataclasses
import fractions
import os

import av

from ...rescale import output_size
from . import hdr
from .probe import VideoError, ffmpeg_reason

# The software encoder of each codec family the decoders name; "nvenc" picks the family's NVIDIA encoder.
FAMILY_ENCODERS = {"h264": "libx264", "hevc": "libx265", "vp9": "libvpx-vp9", "av1": "libsvtav1", "vp8": "libvpx"}
FAMILY_ALIASES = {"h265": "hevc", "x264": "h264", "x265": "hevc"}
NVENC = {"h264": "h264_nvenc", "hevc": "hevc_nvenc", "av1": "av1_nvenc"}
# When the input's family cannot go into the output container (H.264 into WebM) or keep its depth.
CONTAINER_FALLBACKS = {"webm": ("libvpx-vp9", "libsvtav1"), None: ("libx264", "libx265", "libsvtav1")}
# Constant-quality settings that look alike: x264's CRF 18 (visually near lossless) and its equivalents
# on the other encoders' scales.
DEFAULT_QUALITY = {"libx264": 18, "libx265": 22, "libvpx-vp9": 24, "libvpx": 10, "libsvtav1": 24,
                   "h264_nvenc": 19, "hevc_nvenc": 21, "av1_nvenc": 24}
# Each encoder's constant-quality scale: FFmpeg hands a value beyond it on and the encoder clamps it silently
# (x264 takes CRF 99 as 51), so one outside is refused.
QUALITY_RANGES = {"libx264": (0, 51), "libx265": (0, 51), "h264_nvenc": (0, 51), "hevc_nvenc": (0, 51)}
WIDEST_QUALITY_RANGE = (0, 63)
# Options an encoder gets unless the user says otherwise: libvpx's default is its slowest mode, and x265
# writes a report to the terminal unless told not to.
DEFAULT_OPTIONS = {"libvpx-vp9": {"deadline": "good", "cpu-used": "2", "row-mt": "1"},
                   "libvpx": {"deadline": "good", "cpu-used": "2"},
                   "libx265": {"x265-params": "log-level=error"}}
# Ceiling for libvpx's VP8, which needs a bit rate even in constant-quality mode.
VP8_CEILING = 200_000_000


@dataclasses.dataclass(frozen=True)
class Encoding:
    """Everything an encoder of the upscaled stream is opened with; equal Encodings give equal streams."""

    encoder: str
    pix_fmt: str
    width: int
    height: int
    time_base: fractions.Fraction
    rate: fractions.Fraction | None
    options: tuple  # ((name, value), ...) sorted
    bit_rate: int
    colorspace: int
    color_range: int
    color_primaries: int
    color_trc: int
    sample_aspect_ratio: fractions.Fraction | None

    def configure(self, context):
        """Sets up a video encoder context (a stream's, or one of `open_encoder`) before it is opened."""
        context.width, context.height, context.pix_fmt = self.width, self.height, self.pix_fmt
        context.time_base = self.time_base
        if self.rate:
            context.framerate = self.rate
        context.options = dict(self.options)
        if self.bit_rate:
            context.bit_rate = self.bit_rate
        context.colorspace, context.color_range = self.colorspace, self.color_range
        context.color_primaries, context.color_trc = self.color_primaries, self.color_trc
        if self.sample_aspect_ratio:
            context.sample_aspect_ratio = self.sample_aspect_ratio

    def open_encoder(self):
        """A new open encoder whose headers go out of band, as the containers want them (MP4, Matroska)."""
        context = av.CodecContext.create(self.encoder, "w")
        self.configure(context)
        context.flags |= av.codec.context.Flags.global_header
        try:
            context.open()
        except av.error.FFmpegError as error:
            hint = "; NVENC needs an NVIDIA GPU and its driver" if self.encoder.endswith("_nvenc") else ""
            raise VideoError(f"{self.encoder} cannot encode {self.width}x{self.height} {self.pix_fmt} with "
                             f"{_spell(self.options)} ({ffmpeg_reason(error)}{hint})") from None
        return context

    def identity(self):
        """What the encoder's output depends on, as JSON-ready values (resumed work must match it)."""
        return {field.name: str(getattr(self, field.name)) for field in dataclasses.fields(self)} | {
            "pyav": av.__version__, "libavcodec": ".".join(map(str, av.library_versions["libavcodec"]))}

    def __str__(self):
        return f"{self.encoder} {self.pix_fmt}"


def frame_size(width, height, scale):
    """(width, height) of the upscaled frames: exact for a whole factor; for any other, the nearest even sides,
    which every chroma subsampling takes (`rescale.output_size`)."""
    height, width = output_size(height, width, scale, even=True)
    return width, height


def choose_encoding(source, scale, container, *, codec=None, crf=None, preset=None):
    """The Encoding for upscaling `source` `scale` times into `container` (an FFmpeg muxer name).

    `codec`: None (the input's family, else the container's usual one), a family ("h264", "hevc", "vp9",
    "av1", "vp8"), "nvenc" (the family's NVIDIA encoder) or an FFmpeg encoder name. `crf` is on the chosen
    encoder's own constant-quality scale; `preset` its speed preset. VideoError when no encoder can keep the
    bit depth, or the options do not apply.
    """
    # SVT-AV1 reports its whole configuration on the terminal at every encoder it opens (one per segment):
    # errors only, unless the user asked for more. Every encoder of the road is opened after this choice.
    os.environ.setdefault("SVT_LOG", "1")
    picture = source.picture
    for encoder in _candidates(source, container, codec):
        pix_fmt = _pixel_format(encoder, picture)
        if pix_fmt is not None:
            break
        if codec is not None:
            raise VideoError(f"{encoder} cannot keep the input's {picture}; choose another --codec "
                             f"(libx265 and libsvtav1 encode 10-bit)")
    else:
        raise VideoError(f"no encoder here can keep the input's {picture} in {container}")
    options = dict(DEFAULT_OPTIONS.get(encoder, {}))
    names = _private_options(encoder)
    quality = crf if crf is not None else DEFAULT_QUALITY.get(encoder)
    bit_rate = 0
    if quality is not None:
        option = "crf" if "crf" in names else "cq" if "cq" in names else None
        if option is None:
            raise VideoError(f"--crf does not apply to {encoder}, which has no constant-quality mode")
        low, high = QUALITY_RANGES.get(encoder, WIDEST_QUALITY_RANGE)
        if not low <= quality <= high:
            raise VideoError(f"--crf must be between {low} and {high} for {encoder}, got {quality}")
        options[option] = str(quality)
        if option == "cq":
            options["rc"] = "vbr"
        if encoder == "libvpx":
            bit_rate = VP8_CEILING
    if preset is not None:
        if "preset" in names:
            options["preset"] = str(preset)
        elif "cpu-used" in names:  # libvpx: a number is its speed, a word its deadline
            options["cpu-used" if str(preset).lstrip("-").isdigit() else "deadline"] = str(preset)
        else:
            raise VideoError(f"--preset does not apply to {encoder}")
    hdr.add_parameters(encoder, options, picture.hdr,
                       (pix_fmt, picture.color_primaries, picture.color_trc, picture.colorspace))
    return Encoding(encoder, pix_fmt, *frame_size(picture.width, picture.height, scale), source.time_base,
                    source.rate, tuple(sorted(options.items())), bit_rate, picture.colorspace,
                    picture.color_range or (2 if picture.pix_fmt.startswith("yuvj") else 0),
                    picture.color_primaries, picture.color_trc, picture.sample_aspect_ratio)


def lost_metadata(source, encoding, container):
    """The note for a run whose encoder drops the input's HDR10 metadata, naming the codecs here that keep it
    in `container`; None where nothing is lost."""
    metadata = source.picture.hdr
    if metadata is None or encoding.encoder in hdr.CARRIERS:
        return None
    usable = _muxable(container)
    keeping = [_family(name) for name in hdr.CARRIERS if _exists(name) and _family(name) in usable]
    advice = f"; --codec {' or '.join(keeping)} would keep it" if keeping else ""
    return f"{encoding.encoder} does not keep the input's {metadata}{advice}"


def _candidates(source, container, codec):
    if codec is None:
        family = FAMILY_ENCODERS.get(source.codec)
        fallbacks = CONTAINER_FALLBACKS.get(container, CONTAINER_FALLBACKS[None])
        usable = _muxable(container)
        return [name for name in dict.fromkeys(([family] if family else []) + list(fallbacks))
                if _exists(name) and _family(name) in usable]
    name = FAMILY_ALIASES.get(codec, codec)
    if name == "nvenc":
        family = FAMILY_ALIASES.get(source.codec, source.codec)
        if family not in NVENC:
            raise VideoError(f"no NVIDIA encoder for {source.codec} video; NVENC encodes {', '.join(NVENC)}")
        name = NVENC[family]
    name = FAMILY_ENCODERS.get(name, name)
    if not _exists(name):
        raise VideoError(f"no video encoder {codec!r} here; for example {', '.join(FAMILY_ENCODERS.values())}")
    return [name]


def _exists(name):
    try:
        return av.Codec(name, "w").type == "video"
    except (av.error.FFmpegError, ValueError):
        return False


def _family(encoder):
    return av.Codec(encoder, "w").canonical_name


def _muxable(container):
    import io

    with av.open(io.BytesIO(), "w", format=container) as probe:
        return probe.supported_codecs


def _pixel_format(encoder, picture):
    """The input's pixel format where the encoder takes it, else the closest one of the same depth and chroma
    layout; None when the encoder has no format that keeps the depth."""
    formats = [form.name for form in av.Codec(encoder, "w").video_formats or ()]
    if picture.pix_fmt in formats:
        return picture.pix_fmt
    wanted = _layout(picture.pix_fmt)
    ranked = sorted((_distance(wanted, _layout(name)), index, name) for index, name in enumerate(formats)
                    if _layout(name)[0] == wanted[0] and _layout(name)[1] >= wanted[1])
    return ranked[0][2] if ranked else None


def _layout(name):
    """(is RGB, bits, chroma subsampling, planar) of a pixel format."""
    form = av.VideoFormat(name, 64, 64)
    chroma = (form.components[1].width, form.components[1].height) if len(form.components) > 2 else (0, 0)
    return form.is_rgb, max(component.bits for component in form.components), chroma, form.is_planar


def _distance(wanted, offered):
    return (offered[1] - wanted[1], offered[2] != wanted[2], offered[3] != wanted[3])


def _private_options(encoder):
    return {option.name for option in av.CodecContext.create(encoder, "w").supported_options.private}


def _spell(options):
    return " ".join(f"{name}={value}" for name, value in options) or "its defaults"
