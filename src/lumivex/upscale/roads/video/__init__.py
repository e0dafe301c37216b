"""Upscaling video files: every frame through the tiled road, everything else the file had kept.

    from lumivex.upscale.roads.video import check_video, upscale_video

    job = check_video("clip.mkv", "clip_x2.mkv", scale=2)         # VideoError before any work
    report = upscale_video("clip.mkv", "clip_x2.mkv", upscaler)   # a lumivex.upscale.Upscaler

Kept as the input had them: the number of frames and every frame's timestamp (variable frame rate too), the
time base where the container can hold it, the sample aspect ratio, rotation, colour tags, the bit depth (10-bit
decodes to 16-bit RGB and encodes back to 10-bit), audio, subtitle and attachment streams (copied packet
for packet), chapters, container and stream metadata. The encoder is the input's codec family's unless asked
otherwise (`encoding`).

A frame that repeats the one before reuses its upscaled result instead of running the network (`repeats`).
Decoding, the network and encoding run at once (`stages`). The work goes in segments that start at the
input's keyframes and are kept, encoded, in a hidden folder beside the target (`segments`); an
interrupted run starts again at its first unfinished segment. The output is assembled from them at the end
and moved into place whole (`mux`); the folder is then removed.
"""

import dataclasses
import pathlib
import time

import av
import cupy as cp
import numpy as np

from ...messages import UsageError, first_line
from ...rescale import TargetSize
from ...upscaler import to_levels
from .encoding import Encoding, choose_encoding, lost_metadata
from .mux import assemble, check_container
from .repeats import RepeatSkipper
from .probe import CONTAINERS, VIDEO_SUFFIXES, VideoError, VideoSource, probe, scan
from .segments import WorkFolder, work_folder_path
from .stages import Frames, StageClock
from ....transform.resize import resize
from ....utils.dtypes import to_float32

__all__ = ["SEGMENT_SECONDS", "VIDEO_SUFFIXES", "Settings", "VideoError", "VideoJob", "VideoReport", "check_video",
           "upscale_video", "work_folder_path"]

# Work lost to an interruption is at most this much video (plus the distance to the next keyframe).
SEGMENT_SECONDS = 60.0


@dataclasses.dataclass
class VideoJob:
    """A checked video job: what is read, where it goes, in which container, and how it is encoded."""

    source: VideoSource
    target: pathlib.Path
    container: str  # FFmpeg muxer name
    encoding: Encoding
    headers: bytes  # the encoder's out-of-band headers (SPS/PPS and the like)
    notes: tuple = ()  # what the run should say before any work (HDR10 metadata the encoder drops)

    def __str__(self):
        return f"{self.source.picture} video"


@dataclasses.dataclass
class VideoReport:
    """What `upscale_video` did: frames written, of which reused from an interrupted run, the encoding, and
    each stage's busy seconds beside the wall-clock time; `repeated`: frames of this run that repeated the
    one before and reused its result without the network."""

    frames: int
    resumed: int
    encoding: Encoding
    seconds: dict
    wall: float
    repeated: int = 0

    def __str__(self):
        resumed = f", {self.resumed} resumed" if self.resumed else ""
        repeated = f", {self.repeated} repeated frames not upscaled again" if self.repeated else ""
        return f"{self.frames} frames{resumed}{repeated}, {self.encoding}"


UNIT = "frame"


@dataclasses.dataclass(frozen=True)
class Settings:
    """The encoder: `codec` (None: the input's codec family), its constant-quality value `crf` and speed
    `preset` (see `encoding.choose_encoding`); `dedup`: the largest difference in levels at which a frame
    still repeats the one before and reuses its result (0: identical frames only)."""

    codec: str | None = None
    crf: int | None = None
    preset: str | None = None
    dedup: float = 0

    def __post_init__(self):
        if type(self.dedup) not in (int, float) or not 0 <= self.dedup < float("inf"):
            raise UsageError(f"--dedup must be a number of levels, 0 or more, got {self.dedup!r}")


def takes(path):
    """Whether the video road takes `path` (by its suffix)."""
    return pathlib.Path(path).suffix.lower() in VIDEO_SUFFIXES


def read(source, settings=None):
    """The VideoSource of `source` from its header and first frame; VideoError (one line) otherwise."""
    return probe(source)


def output_suffix(source, info, settings=None):
    return pathlib.Path(source).suffix


def check(source, target, info, scale, settings=None):
    """The VideoJob for upscaling the probed video `info` `scale` times into `target`, checked as far as it can
    be without reading every packet: an encoder keeps its depth and opens with the settings, the output
    container holds every stream. VideoError (one line) otherwise."""
    settings = settings or Settings()
    target = pathlib.Path(target)
    container = CONTAINERS.get(target.suffix.lower())
    if container is None:
        raise VideoError(f"{target}: cannot write {target.suffix or 'files without a suffix'} video; use one of "
                         f"{', '.join(sorted(CONTAINERS))}")
    if not isinstance(scale, TargetSize) and (type(scale) not in (int, float) or not 0 < scale < float("inf")):
        raise VideoError(f"the scale must be a positive number, got {scale!r}")
    encoding = choose_encoding(info, scale, container, codec=settings.codec, crf=settings.crf,
                               preset=settings.preset)
    headers = encoding.open_encoder().extradata or b""
    notes = tuple(note for note in [lost_metadata(info, encoding, container)] if note)
    job = VideoJob(info, target, container, encoding, headers, notes)
    check_container(job)
    return job


def check_video(source, target, scale, *, codec=None, crf=None, preset=None):
    """The VideoJob for upscaling `source` `scale` times into `target` (see `check`)."""
    return check(source, target, probe(source), scale, Settings(codec, crf, preset))


def width(job):
    return job.source.picture.width


def height(job):
    return job.source.picture.height


def run(job, upscaler, *, replace, progress=None):
    """Upscales the checked video of `job` into its target; returns a VideoReport. The job's paths are the
    ones that count (a Ray worker gets them absolute)."""
    checked = dataclasses.replace(job.checked, source=dataclasses.replace(job.checked.source, path=job.source),
                                  target=job.target)
    return _upscale(checked, upscaler, None, replace, progress, (job.settings or Settings()).dedup)


def upscale_video(source, target, upscaler, *, codec=None, crf=None, preset=None, segment_seconds=None,
                  replace=True, progress=None, dedup=0):
    """Upscales every frame of the video `source` with `upscaler` (a lumivex.upscale.Upscaler) and writes
    `target` (.mp4, .mov, .mkv, .webm).

    `codec`, `crf`, `preset`: see `encoding.choose_encoding`. `segment_seconds` (default SEGMENT_SECONDS): the
    least length of a resumable segment. `progress(done, total)` counts frames (done starts at the frames an
    interrupted run finished). `dedup`: see `Settings`. `replace=False` never replaces a file that appears at
    `target` meanwhile (FileExistsError). Returns a VideoReport.

    Raises VideoError (one line) for an input that cannot be upscaled as asked, found before any work, or
    damage found while decoding; whatever the model raises. On any exception nothing is left at `target`;
    finished segments stay in the hidden folder `work_folder_path(target)` for the next run.
    """
    Settings(codec, crf, preset, dedup)  # checks `dedup` as the command does
    job = check_video(source, target, upscaler.scale, codec=codec, crf=crf, preset=preset)
    return _upscale(job, upscaler, segment_seconds, replace, progress, dedup)


def _upscale(job, upscaler, segment_seconds, replace, progress, dedup=0):
    started = time.perf_counter()
    scan(job.source)
    frames = job.source.frames
    starts = job.source.segment_starts(SEGMENT_SECONDS if segment_seconds is None else segment_seconds)
    ends = starts[1:] + [len(frames)]
    work = WorkFolder(job.target, _identity(job, upscaler, starts, dedup),
                      [end - start for start, end in zip(starts, ends)], [frames[start] for start in starts],
                      job.headers)
    done = work.resume()
    clock = StageClock()
    frame_upscaler = RepeatSkipper(_frame_upscaler(upscaler, job.source.picture.bits,
                                                   (job.encoding.width, job.encoding.height)),
                                   dedup, job.source.picture.bits)
    try:
        if done < len(starts):
            _encode_segments(job, work, done, starts, ends, clock, progress, frame_upscaler)
        elif progress is not None:
            progress(len(frames), len(frames))
        assemble(job, work, replace=replace)
    except BaseException:
        if not any(work.segment_path(index).exists() for index in range(len(starts))):
            work.remove()  # nothing worth resuming: leave nothing behind
        raise
    work.remove()
    return VideoReport(len(frames), starts[done] if done < len(starts) else len(frames), job.encoding,
                       clock.seconds, time.perf_counter() - started, frame_upscaler.reused)


def _frame_upscaler(upscaler, bits, size):
    """The network stage: decoded rgb24 / rgb48 pixels in host memory -> upscaled pixels of the same type, of
    the encoder's `size` (width, height)."""
    dtype = np.uint8 if bits <= 8 else np.uint16
    width, height = size

    def upscale_frame(pixels):
        image = to_float32(cp.asarray(pixels))  # uint8 / 255, uint16 / 65535
        if upscaler.output_size(*image.shape[:2]) == (height, width):
            return to_levels(upscaler.image(image), dtype)
        # A factor that is not whole, rounded to even sides for the encoder: the network's own result is
        # resized once, straight to them.
        native = dataclasses.replace(upscaler, scale=getattr(upscaler.model, "scale", None) or upscaler.scale,
                                     size=None)
        return to_levels(resize(native.image(image), dsize=size), dtype)

    return upscale_frame


def _encode_segments(job, work, done, starts, ends, clock, progress, upscale_frame):
    """The encoding stage, in this thread: segment after segment from `done` on, each by a new encoder."""
    source, encoding, picture = job.source, job.encoding, job.source.picture
    total = len(source.frames)
    if progress is not None:
        progress(starts[done], total)
    with Frames(source, starts[done], upscale_frame, clock) as frames:
        for index in range(done, len(starts)):
            with work.segment(index) as journal:
                encoder = encoding.open_encoder()
                durations = {source.frames[k]: source.durations[k] for k in range(starts[index], ends[index])}

                def write(frame):
                    try:
                        packets = encoder.encode(frame)
                    except av.error.FFmpegError as error:
                        raise VideoError(f"{job.target}: {encoding.encoder} failed ({first_line(error)})") from None
                    for packet in packets:
                        journal.write(packet.pts, packet.dts, durations.get(packet.pts, 0), packet.is_keyframe,
                                      bytes(packet))

                for expected in range(starts[index], ends[index]):
                    number, pixels = next(frames)
                    if number != expected:
                        raise VideoError(f"{source.path}: frame {number} came where frame {expected} was due")
                    timer = time.perf_counter()
                    frame = picture.from_rgb(pixels, encoding.pix_fmt)
                    frame.pts, frame.time_base = source.frames[expected], source.time_base
                    frame.colorspace, frame.color_range = encoding.colorspace, encoding.color_range
                    write(frame)
                    clock.add("encode", timer)
                    if progress is not None:
                        progress(expected + 1, total)
                timer = time.perf_counter()
                write(None)
                clock.add("encode", timer)
                journal.finish(ends[index] - starts[index], source.frames[starts[index]], job.headers)


def _identity(job, upscaler, starts, dedup=0):
    """What the result of the work depends on: resumed segments must have been made with all of it equal."""
    model, geometry = upscaler.model, upscaler.geometry()
    status = job.source.path.stat()
    model_path = getattr(model, "path", None)
    model_file = None
    if model_path is not None:
        model_stat = pathlib.Path(model_path).stat()
        model_file = [str(pathlib.Path(model_path).resolve()), model_stat.st_size, model_stat.st_mtime_ns]
    return {
        "source": [str(job.source.path.resolve()), status.st_size, status.st_mtime_ns],
        "encoding": job.encoding.identity(),
        "model": [f"{type(model).__module__}.{type(model).__qualname__}", getattr(model, "name", None),
                  getattr(model, "description", None), model_file],
        "upscale": [upscaler.scale, geometry["tile_size"], geometry["overlap"], geometry["batch_size"]],
        "segments": [starts, len(job.source.frames)],
        # Added only when set, so that segments of earlier runs without them still resume. Near repeats
        # change the result; identical ones do not.
        **({"size": str(upscaler.size)} if upscaler.size else {}),
        **({"dedup": dedup} if dedup else {}),
    }
