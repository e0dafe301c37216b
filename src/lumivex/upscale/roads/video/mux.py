"""The output file of a video job: the upscaled stream joined from its segments, every other stream of the
input copied packet for packet, chapters and metadata, interleaved by time; and the check, before any work,
that the output container can hold all of it.
"""

import contextlib
import fractions
import heapq
import io
import math

import av

from ...atomic import atomic_output
from ...messages import first_line
from .matroska import LayoutError, write_display_size
from .probe import VideoError, ffmpeg_reason, open_input

# Metadata a muxer writes itself: copying it would describe the input's encoder and length, not the output's.
_WRITTEN_BY_MUXER = {"encoder", "duration"}
_NAMES = {"mp4": "MP4", "mov": "QuickTime", "matroska": "Matroska", "webm": "WebM"}


def check_container(job):
    """VideoError naming the first stream the output container cannot hold (nothing is written)."""
    with open_input(job.source.path) as container:
        if _header_fails(job, container, job.source.copied) is None:
            return
        reason = _header_fails(job, container, [])
        if reason is not None:
            raise VideoError(f"{job.target}: {_NAMES[job.container]} cannot hold {job.encoding.encoder} video "
                             f"({reason}); choose another --codec or output suffix")
        for index in job.source.copied:
            reason = _header_fails(job, container, [index])
            if reason is not None:
                raise VideoError(f"{job.target}: {_NAMES[job.container]} cannot hold "
                                 f"{job.source.descriptions[index]} of {job.source.path.name} ({reason}); "
                                 f"use .mkv")
        raise VideoError(f"{job.target}: {_NAMES[job.container]} cannot hold the streams of "
                         f"{job.source.path.name} together ({_header_fails(job, container, job.source.copied)})")


def _header_fails(job, container, copied):
    """None when a header with the upscaled stream and the streams `copied` can be written, else why not."""
    output = av.open(io.BytesIO(), "w", format=job.container)
    try:
        _add_streams(output, job, container, copied)
        output.start_encoding()
    except (av.error.FFmpegError, ValueError, TypeError) as error:
        return ffmpeg_reason(error)
    finally:
        with contextlib.suppress(av.error.FFmpegError, ValueError):
            output.close()
    return None


def assemble(job, work, *, replace=True):
    """Writes `job.target` from the finished segments of `work` and the input's other streams, atomically."""
    with open_input(job.source.path) as container, atomic_output(job.target, replace=replace) as file:
        output = av.open(file, "w", format=job.container)
        try:
            video, copies = _add_streams(output, job, container, job.source.copied)
            output.start_encoding()
            if (video.codec_context.extradata or b"") != work.headers:
                raise VideoError(f"{job.target}: the encoder's headers changed between segments; run again")
            packets = heapq.merge(_video_packets(job, work, video), _copied_packets(container, copies),
                                  key=_time)
            for packet in packets:
                output.mux(packet)
        except BaseException as error:
            with contextlib.suppress(av.error.FFmpegError, ValueError):
                output.close()
            if isinstance(error, av.error.FFmpegError):
                raise VideoError(f"{job.target}: cannot write the video ({first_line(error)})") from None
            raise
        output.close()
        ratio = job.encoding.sample_aspect_ratio
        if job.container in ("matroska", "webm") and ratio and ratio != 1:
            try:  # FFmpeg's Matroska muxer leaves it out where the codec does not carry it
                write_display_size(file, ratio, webm=job.container == "webm")
            except LayoutError as error:
                raise VideoError(f"{job.target}: cannot keep the sample aspect ratio {ratio} ({error})") from None


def _add_streams(output, job, container, copied):
    source, encoding = job.source, job.encoding
    original = container.streams[source.video_index]
    video = output.add_stream(encoding.encoder)
    encoding.configure(video.codec_context)
    video.time_base = encoding.time_base
    if source.picture.display_matrix is not None:
        video.set_display_matrix(source.picture.display_matrix)
    _copy_tags(original, video)
    copies = {}
    for index in copied:
        stream = container.streams[index]
        copies[index] = output.add_stream_from_template(stream)
        _copy_tags(stream, copies[index])
    output.metadata.update(_kept(container.metadata))
    chapters = container.chapters()
    if chapters:
        output.set_chapters(chapters)
    return video, copies


def _copy_tags(stream, copy):
    copy.metadata.update(_kept(stream.metadata))
    copy.disposition = stream.disposition


def _kept(metadata):
    return {name: value for name, value in metadata.items() if name.lower() not in _WRITTEN_BY_MUXER}


def _video_packets(job, work, video):
    """The segments' packets in the output stream's time base, one stream: decode timestamps made to rise
    strictly across the joins (each segment's encoder started its own a little before its first frame)."""
    source_base, base = job.encoding.time_base, fractions.Fraction(video.time_base)
    last_dts = None
    for index in range(len(work.counts)):
        for pts, dts, duration, keyframe, data in work.packets(index):
            pts, dts = _rescale(pts, source_base, base), _rescale(dts, source_base, base)
            if last_dts is not None and dts <= last_dts:
                dts = last_dts + 1
            if dts > pts:
                raise VideoError(f"{job.target}: segment {index} cannot be joined to the one before "
                                 f"(its frames' order needs more time than the timestamps give)")
            last_dts = dts
            packet = av.Packet(data)
            packet.stream = video
            packet.time_base = base
            packet.pts, packet.dts = pts, dts
            packet.duration = _rescale(duration, source_base, base)
            packet.is_keyframe = keyframe
            yield packet


def _copied_packets(container, copies):
    if not copies:
        return
    for packet in container.demux([container.streams[index] for index in copies]):
        if packet.size == 0 and packet.pts is None and packet.dts is None:
            continue  # the demuxer's closing flush packet
        packet.stream = copies[packet.stream_index]
        yield packet


def _time(packet):
    """Seconds at which the packet is decoded, for interleaving."""
    timestamp = packet.dts if packet.dts is not None else packet.pts
    return -math.inf if timestamp is None else float(timestamp * packet.time_base)


def _rescale(value, source, target):
    return math.floor(value * source / target + fractions.Fraction(1, 2))
