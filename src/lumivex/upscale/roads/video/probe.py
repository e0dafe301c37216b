"""What a video file holds, read before any frame is upscaled: its streams, the picture's format (size, bit
depth, colour, aspect, rotation) and, by a pass over the video packets, every frame's timestamp and where the
keyframes are. Unreadable, damaged, truncated or unusable inputs are refused here with one line (VideoError).
"""

import bisect
import dataclasses
import fractions
import functools
import pathlib
import re
import struct

import av
import cv2
import numpy as np

from ...messages import first_line
from .hdr import HdrMetadata, read_metadata

# Output suffixes and the FFmpeg muxer each means.
CONTAINERS = {".mp4": "mp4", ".mov": "mov", ".mkv": "matroska", ".webm": "webm"}
VIDEO_SUFFIXES = frozenset(CONTAINERS)
UNSPECIFIED_COLOUR = 2  # FFmpeg's value for "unspecified" colour space, primaries and transfer
_MPEG_RANGE, _JPEG_RANGE = 1, 2
_DURATION_TAG = re.compile(r"(\d+):(\d\d):(\d\d(?:\.\d+)?)")
# The luma weights (Kr, Kb) of the YUV matrices FFmpeg names, by its colour space number. The conversions
# between YUV and RGB are done here in floating point and rounded once: FFmpeg's converter truncates on the
# way in and out, which made every output about a level darker than the photo road on the same frame.
_WEIGHTS = {1: (0.2126, 0.0722), 4: (0.30, 0.11), 5: (0.299, 0.114), 6: (0.299, 0.114), 7: (0.212, 0.087),
            9: (0.2627, 0.0593), 10: (0.2627, 0.0593)}
_UNTAGGED_WEIGHTS = (0.299, 0.114)  # BT.601, as FFmpeg's converter takes untagged video
# The format FFmpeg scales chroma planes in, for both conversions: every sample at 16 bits, a sample of b bits
# shifted left by 16 - b, so that only the chroma subsampling is left to FFmpeg.
_WIDE_YUV = "yuv444p16le"


class VideoError(ValueError):
    """A file that cannot be read as a video, or a video that cannot be upscaled as asked; one-line message."""


@dataclasses.dataclass(frozen=True)
class Picture:
    """The decoded picture of a video stream, as its first frame shows it."""

    width: int
    height: int
    pix_fmt: str
    bits: int  # per sample: 8 decodes to rgb24, more to rgb48
    colorspace: int  # FFmpeg's colour values (2: unspecified)
    color_range: int  # 0 unspecified, 1 limited (MPEG), 2 full (JPEG)
    color_primaries: int
    color_trc: int
    sample_aspect_ratio: fractions.Fraction | None
    display_matrix: tuple | None  # nine ints (rotation, flips), as the container has them
    hdr: HdrMetadata | None = None  # mastering display and light levels, where the video has them

    @property
    def rgb_format(self):
        return "rgb24" if self.bits <= 8 else "rgb48le"

    @property
    def conversion_range(self):
        """The range the YUV <-> RGB conversions assume: the tagged one, else full for the yuvj formats."""
        if self.color_range in (_MPEG_RANGE, _JPEG_RANGE):
            return self.color_range
        return _JPEG_RANGE if self.pix_fmt.startswith("yuvj") else _MPEG_RANGE

    @property
    def conversion_matrix(self):
        """The YUV matrix of both conversions; None lets FFmpeg pick its default for untagged video, the same
        way in and out."""
        return None if self.colorspace in (0, UNSPECIFIED_COLOUR) else self.colorspace

    def to_rgb(self, frame):
        """The decoded `frame` as an (H, W, 3) array of `rgb_format`, by the picture's matrix and range."""
        weights = self._weights()
        if weights is None:
            return frame.to_ndarray(format=self.rgb_format, src_colorspace=self.conversion_matrix,
                                    src_color_range=self.conversion_range)
        layout = _planar_layout(frame.format.name)
        if layout is None:  # semi-planar or packed: widened by FFmpeg, which then only moves samples
            wide = frame.reformat(format=_WIDE_YUV, **self._unconverted()).to_ndarray().astype(np.float32)
            bits, samples = 16, wide
        else:
            bits, samples = layout[0], cv2.merge(_read_planes(frame, layout))
        top = 255 if self.bits <= 8 else 65535
        to_rgb = _to_yuv(weights, bits, self.conversion_range, top, inverse=True)
        return _rounded(cv2.transform(samples, to_rgb), top)

    def from_rgb(self, pixels, pix_fmt):
        """A VideoFrame of `pix_fmt` holding the (H, W, 3) `rgb_format` `pixels`, by the picture's matrix and
        range."""
        weights = self._weights()
        if weights is None or av.VideoFormat(pix_fmt).is_rgb:
            return av.VideoFrame.from_ndarray(pixels, format=self.rgb_format).reformat(
                format=pix_fmt, dst_colorspace=self.conversion_matrix, dst_color_range=self.conversion_range)
        layout = _planar_layout(pix_fmt)
        # Semi-planar or packed formats are made at 4:4:4 and 16 bits, then FFmpeg only moves samples.
        bits = 16 if layout is None else layout[0]
        top = 255 if pixels.dtype == np.uint8 else 65535
        samples = cv2.transform(pixels.astype(np.float32), _to_yuv(weights, bits, self.conversion_range, top))
        if layout is not None:
            return _write_planes(pix_fmt, layout, samples)
        wide = av.VideoFrame.from_ndarray(_rounded(samples, 65535), format=_WIDE_YUV)
        return wide.reformat(format=pix_fmt, **self._unconverted())

    def _weights(self):
        """(Kr, Kb) of the picture's YUV matrix; None for RGB video and matrices left to FFmpeg."""
        if av.VideoFormat(self.pix_fmt).is_rgb:
            return None
        if self.colorspace in (0, UNSPECIFIED_COLOUR):
            return _UNTAGGED_WEIGHTS
        return _WEIGHTS.get(self.colorspace)

    def _unconverted(self):
        """reformat()'s arguments that keep YUV as it is: only the chroma layout and depth change."""
        matrix, colour_range = self.conversion_matrix, self.conversion_range
        return {"src_colorspace": matrix, "dst_colorspace": matrix, "src_color_range": colour_range,
                "dst_color_range": colour_range}

    def __str__(self):
        return f"{self.bits}-bit {self.pix_fmt}"


@functools.lru_cache(maxsize=64)
def _to_yuv(weights, bits, colour_range, top, inverse=False):
    """The 3 x 4 matrix (cv2.transform's) from RGB samples 0..`top` to YUV samples of `bits` bits in
    `colour_range`, or back with `inverse`."""
    kr, kb = weights
    kg = 1 - kr - kb
    normalised = np.array([[kr, kg, kb],  # luma 0..1, chroma -0.5..0.5 from RGB 0..1
                           [-kr / (2 - 2 * kb), -kg / (2 - 2 * kb), 0.5],
                           [0.5, -kg / (2 - 2 * kr), -kb / (2 - 2 * kr)]])
    if colour_range == _JPEG_RANGE:
        highest = 2**bits - 1
        offsets, spans = np.array([0, 2 ** (bits - 1), 2 ** (bits - 1)]), np.array([highest] * 3)
    else:
        unit = 2 ** (bits - 8)
        offsets, spans = np.array([16, 128, 128]) * unit, np.array([219, 224, 224]) * unit
    forward = spans[:, None] * normalised / top
    if inverse:
        backward = np.linalg.inv(forward)
        return np.hstack([backward, -backward @ offsets[:, None]]).astype(np.float32)
    return np.hstack([forward, offsets[:, None]]).astype(np.float32)


def _rounded(samples, top):
    """Float samples clamped to 0..`top` and rounded to the nearest, as uint8 (top 255) or uint16."""
    np.clip(samples, 0, top, out=samples)
    samples += 0.5
    return samples.astype(np.uint8 if top == 255 else np.uint16)


@functools.lru_cache(maxsize=64)
def _planar_layout(pix_fmt):
    """(bits, chroma step across, chroma step down) of a planar YUV format with a plane for each of Y, U and V,
    one little-endian sample an element (yuv420p, yuvj422p, yuv444p10le, ...); None for any other."""
    form = av.VideoFormat(pix_fmt, 64, 64)
    components = form.components
    if (form.is_rgb or not form.is_planar or form.is_big_endian or len(components) != 3
            or [component.plane for component in components] != [0, 1, 2]
            or any(component.is_alpha for component in components)
            or len({component.bits for component in components}) != 1):
        return None
    bits = components[0].bits
    return bits, 64 // components[1].width, 64 // components[1].height


def _sample_type(bits):
    return np.dtype(np.uint8) if bits == 8 else np.dtype("<u2")


def _read_planes(frame, layout):
    """Y, U and V of a planar `frame` as float32 sample planes of the frame's size, the chroma ones interpolated
    between the samples' centres."""
    bits, across, down = layout
    dtype = _sample_type(bits)
    planes = []
    for index, plane in enumerate(frame.planes):
        rows = np.frombuffer(plane, dtype).reshape(plane.height, plane.line_size // dtype.itemsize)
        samples = rows[:, :plane.width].astype(np.float32)
        if index and (across, down) != (1, 1):
            samples = cv2.resize(samples, (frame.width, frame.height), interpolation=cv2.INTER_LINEAR)
        planes.append(samples)
    return planes


def _write_planes(pix_fmt, layout, samples):
    """A VideoFrame of the planar `pix_fmt` from (H, W, 3) float YUV samples; each chroma sample the mean of the
    pixels it covers."""
    bits, across, down = layout
    height, width = samples.shape[:2]
    top = 2**bits - 1
    planes = [np.ascontiguousarray(samples[:, :, index]) for index in range(3)]
    planes[1:] = [_block_means(plane, down, across) for plane in planes[1:]]
    frame = av.VideoFrame(width, height, pix_fmt)
    dtype = _sample_type(bits)
    for plane, values in zip(frame.planes, planes):
        rows = np.zeros((plane.height, plane.line_size // dtype.itemsize), dtype)
        rows[:, :plane.width] = _rounded(values[:plane.height, :plane.width], top)
        plane.update(rows.tobytes())
    return frame


def _block_means(plane, down, across):
    """The means of `down` x `across` blocks of `plane`, the edge repeated to fill the last ones."""
    if down == across == 1:
        return plane
    height, width = plane.shape
    padded = np.pad(plane, ((0, -height % down), (0, -width % across)), mode="edge")
    return cv2.resize(padded, (padded.shape[1] // across, padded.shape[0] // down), interpolation=cv2.INTER_AREA)


@dataclasses.dataclass
class VideoSource:
    """A video file as planned: which stream is upscaled, which are copied, and (after `scan`) its frames."""

    path: pathlib.Path
    video_index: int
    codec: str  # decoder name of the upscaled stream, e.g. "h264"
    time_base: fractions.Fraction
    rate: fractions.Fraction | None  # average frame rate, for the encoder's rate control only
    picture: Picture
    copied: list  # indices of the streams copied packet for packet (audio, subtitles, attachments, data, cover)
    descriptions: dict  # stream index -> "stream #1 (aac audio, fra)", for messages
    frames: list = None  # after scan: every frame's pts in display order
    durations: list = None  # after scan: each frame's packet duration (0 when unknown)
    keyframes: list = None  # after scan: indices into frames of the frames a decoder can start at

    def seconds(self, pts):
        return float(pts * self.time_base)

    def segment_starts(self, seconds):
        """Indices into `frames` where segments of at least `seconds` begin, each at a keyframe."""
        starts = [0]
        for index in self.keyframes:
            if index > 0 and self.seconds(self.frames[index] - self.frames[starts[-1]]) >= seconds:
                starts.append(index)
        return starts


def open_input(path):
    """The PyAV input container of `path`; VideoError when it cannot be opened as a media file."""
    try:
        return av.open(str(path), "r")
    except (av.error.FFmpegError, OSError, UnicodeDecodeError) as error:
        raise VideoError(f"{path}: not a readable video ({ffmpeg_reason(error)})") from None


def probe(path):
    """The VideoSource of `path` from its header and first frame (no scan yet); VideoError for what cannot be
    upscaled: no video stream, several, one with alpha, or one that does not decode."""
    path = pathlib.Path(path)
    with open_input(path) as container:
        pictures = [stream for stream in container.streams.video if not _is_cover(stream)]
        if not pictures:
            raise VideoError(f"{path}: no video stream")
        if len(pictures) > 1:
            raise VideoError(f"{path}: {len(pictures)} video streams; only files with one can be upscaled")
        stream = pictures[0]
        if stream.metadata.get("alpha_mode") == "1":
            raise VideoError(f"{path}: the video has an alpha channel, which would be lost; not upscaled")
        picture = _first_picture(path, container, stream)
        copied = [other.index for other in container.streams if other.index != stream.index]
        descriptions = {other.index: _describe(other) for other in container.streams}
        rate = stream.average_rate or stream.guessed_rate
        return VideoSource(path, stream.index, stream.codec_context.name, fractions.Fraction(stream.time_base),
                           fractions.Fraction(rate) if rate else None, picture, copied, descriptions)


def scan(source):
    """Fills in `source.frames`, `durations` and `keyframes` from a pass over the video packets (no decoding),
    and refuses a file whose packets end before its header says the video does (a truncated download)."""
    frames, keyframe_pts, packets, end = [], [], 0, None
    with open_input(source.path) as container:
        stream = container.streams[source.video_index]
        try:
            for packet in container.demux(stream):
                if packet.size == 0:
                    continue  # the demuxer's closing flush packet
                packets += 1
                if packet.pts is None:
                    raise VideoError(f"{source.path}: video frames without timestamps; cannot keep their timing")
                if packet.is_discard:
                    continue  # before the start the container's edit list sets: decoded, never shown
                frames.append((packet.pts, packet.duration or 0))
                if packet.is_keyframe:
                    keyframe_pts.append(packet.pts)
                closes = packet.pts + (packet.duration or 0)
                end = closes if end is None else max(end, closes)
        except av.error.FFmpegError as error:
            at = f" near {source.seconds(end):.2f} s" if end is not None else ""
            raise VideoError(f"{source.path}: damaged or truncated video{at} ({ffmpeg_reason(error)})") from None
        if not frames:
            raise VideoError(f"{source.path}: no video frames")
        _check_complete(source, stream, packets, end, max(duration for _, duration in frames))
    frames.sort()
    source.frames = [pts for pts, _ in frames]
    source.durations = [duration for _, duration in frames]
    source.keyframes = sorted({bisect.bisect_left(source.frames, pts) for pts in keyframe_pts})
    if not source.keyframes or source.keyframes[0] != 0:
        source.keyframes.insert(0, 0)  # decoding from the file's start always works
    return source


def _check_complete(source, stream, packets, end, longest):
    declared_frames = stream.frames  # MP4 and MOV count their samples in the header
    if declared_frames and packets < declared_frames:
        raise VideoError(f"{source.path}: truncated: {packets} of the {declared_frames} video frames its header "
                         f"lists are there")
    declared = _declared_end(stream)
    if declared is not None:
        found = source.seconds(end)
        # A frame's length of slack: the declared end may or may not include the last frame's duration.
        if declared - found > max(source.seconds(longest), 0.05) * 1.5:
            raise VideoError(f"{source.path}: truncated: the video ends at {found:.2f} s of the {declared:.2f} s "
                             f"its header declares")


def _declared_end(stream):
    """Where the header says the video stream ends, in seconds, or None when it does not say."""
    if stream.duration:
        return float((stream.start_time or 0) * stream.time_base + stream.duration * stream.time_base)
    match = _DURATION_TAG.fullmatch(stream.metadata.get("DURATION", ""))  # Matroska's per-track tag
    if match:
        hours, minutes, seconds = match.groups()
        return int(hours) * 3600 + int(minutes) * 60 + float(seconds)
    return None


def _first_picture(path, container, stream):
    try:
        frame = next(container.decode(stream), None)
    except av.error.FFmpegError as error:
        raise VideoError(f"{path}: the video does not decode ({ffmpeg_reason(error)})") from None
    if frame is None:
        raise VideoError(f"{path}: no decodable video frame")
    form = frame.format
    if form.has_palette or form.is_bit_stream or any(component.is_alpha for component in form.components):
        raise VideoError(f"{path}: {form.name} video (alpha or palette) cannot be upscaled without loss")
    matrix = stream.codec_context.coded_side_data.get("display_matrix")
    sar = stream.sample_aspect_ratio
    return Picture(
        frame.width, frame.height, form.name, max(component.bits for component in form.components),
        frame.colorspace, frame.color_range, frame.color_primaries, frame.color_trc,
        fractions.Fraction(sar) if sar else None,
        struct.unpack("<9i", matrix) if matrix and len(matrix) == 36 else None, read_metadata(frame, stream))


def _is_cover(stream):
    return bool(stream.disposition & av.stream.Disposition.attached_pic)


def _describe(stream):
    context = stream.codec_context
    kind = "attachment" if stream.type == "attachment" else stream.type
    name = context.name if context is not None else stream.metadata.get("mimetype", "?")
    language = stream.metadata.get("language")
    return f"stream #{stream.index} ({name} {kind}{', ' + language if language else ''})"


def ffmpeg_reason(error):
    """FFmpeg's reason without the path PyAV repeats after it."""
    text = first_line(error)
    return re.sub(r"^\[Errno -?\d+\] ", "", text).split(": '", 1)[0]
