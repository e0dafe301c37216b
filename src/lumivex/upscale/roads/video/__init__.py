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
Decoding, the network and encoding run at once (`stages`). The work goes in segments of a few seconds that
start at the input's keyframes and are kept, encoded, in a hidden folder beside the target (`segments`). Each
is claimed before it is made, so runs beside each other (processes, Ray workers, machines on a shared file
system) share the segments of one video, and an interrupted run leaves its finished ones to the next. The run
that finds every segment done assembles the output from them, under the output's claim, and moves it into
place whole (`mux`); the folder is then removed.
"""

import dataclasses
import os
import pathlib
import time

import av
import cupy as cp
import numpy as np

from ... import claims
from ...messages import UsageError, first_line
from ...rescale import TargetSize
from ...upscaler import to_levels
from .encoding import Encoding, choose_encoding, lost_metadata
from .mux import assemble, check_container
from .repeats import RepeatSkipper
from .probe import CONTAINERS, VIDEO_SUFFIXES, VideoError, VideoSource, probe, scan
from .segments import WorkFolder, kept_segments, work_folder_path
from .stages import Frames, StageClock
from ....transform.resize import resize
from ....utils.dtypes import to_float32

__all__ = ["SEGMENT_SECONDS", "VIDEO_SUFFIXES", "Settings", "VideoError", "VideoJob", "VideoReport", "check_video",
           "kept_segments", "share", "upscale_video", "work_folder_path"]

# The least length of a segment (it ends at the first keyframe after): the unit of work that runs share and
# that an interruption loses at most. Short enough that a clip of half a minute has several, long enough that
# starting an encoder for each (its first frame an IDR frame, its look-ahead filled anew) costs little.
SEGMENT_SECONDS = 5.0


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
    """What `upscale_video` did: frames written, of which made by an earlier or another run (`resumed`), the
    encoding, and each stage's busy seconds beside the wall-clock time; `repeated`: frames of this run that
    repeated the one before and reused its result without the network; `segments`: (made here, of all)."""

    frames: int
    resumed: int
    encoding: Encoding
    seconds: dict
    wall: float
    repeated: int = 0
    segments: tuple = (0, 0)

    def __str__(self):
        resumed = f", {self.resumed} resumed" if self.resumed else ""
        repeated = f", {self.repeated} repeated frames not upscaled again" if self.repeated else ""
        return f"{self.frames} frames{resumed}{repeated}, {self.encoding}"

    def shared(self):
        """The line of a video whose other segments are other runs' to finish."""
        made, total = self.segments
        return f"{made} of {total} segments done here, the rest by other runs"


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
    ones that count (a Ray worker gets them absolute). Segments held by other runs are not waited for: a
    VideoError says so."""
    return _finished(_checked(job).target, *share(job, upscaler, overwrite=replace, progress=progress))


def share(job, upscaler, *, overwrite=False, run=None, progress=None):
    """Makes the segments of the video of `job` that no other run has made or holds, one claim at a time, and
    joins them into the target where every segment is then done (under the target's claim, so only one run
    joins). Returns (status, VideoReport or None): a status of `claims` (WRITTEN: joined here), or
    claims.SHARED where segments were made here and other runs finish the video. `run`: see `claims.claim`."""
    return _share(_checked(job), upscaler, None, overwrite, run, progress, (job.settings or Settings()).dedup)


def _checked(job):
    return dataclasses.replace(job.checked, source=dataclasses.replace(job.checked.source, path=job.source),
                               target=job.target)


def _finished(target, status, report):
    """The report of a video this process wrote; FileExistsError or VideoError for one it did not."""
    if status == claims.WRITTEN:
        return report
    if status in (claims.EXISTS, claims.OVERTAKEN):
        raise FileExistsError(f"{target} appeared while this run worked on it; not replaced")
    if report is None:
        raise VideoError(f"{target}: other runs hold every segment still to be made")
    made, total = report.segments
    raise VideoError(f"{target}: {made} of {total} segments done here; other runs hold the rest")


def upscale_video(source, target, upscaler, *, codec=None, crf=None, preset=None, segment_seconds=None,
                  replace=True, progress=None, dedup=0):
    """Upscales every frame of the video `source` with `upscaler` (a lumivex.upscale.Upscaler) and writes
    `target` (.mp4, .mov, .mkv, .webm).

    `codec`, `crf`, `preset`: see `encoding.choose_encoding`. `segment_seconds` (default SEGMENT_SECONDS): the
    least length of a segment. `progress(done, total)` counts frames (done starts at the frames of the
    segments found done). `dedup`: see `Settings`. `replace=False` never replaces a file that appears at
    `target` meanwhile (FileExistsError). Returns a VideoReport.

    Segments that another run beside this one holds are not waited for: where they keep the video from being
    joined here, VideoError says so (the run that makes the last segment writes the file).

    Raises VideoError (one line) for an input that cannot be upscaled as asked, found before any work, or
    damage found while decoding; whatever the model raises. On any exception nothing is left at `target`;
    finished segments stay in the hidden folder `work_folder_path(target)` for the next run.
    """
    Settings(codec, crf, preset, dedup)  # checks `dedup` as the command does
    job = check_video(source, target, upscaler.scale, codec=codec, crf=crf, preset=preset)
    return _finished(job.target, *_share(job, upscaler, segment_seconds, replace, None, progress, dedup))


class _JoinedElsewhere(Exception):
    """The segments went into the output of another run while this one waited for the output's claim."""


def _share(job, upscaler, segment_seconds, overwrite, run, progress, dedup=0):
    started = time.perf_counter()
    if claims.found_done(job.target, overwrite=overwrite):
        return claims.EXISTS, None
    scan(job.source)
    frames = job.source.frames
    starts = job.source.segment_starts(SEGMENT_SECONDS if segment_seconds is None else segment_seconds)
    ends = starts[1:] + [len(frames)]
    counts = [end - start for start, end in zip(starts, ends)]
    work = WorkFolder(job.target, _identity(job, upscaler, starts, dedup), counts,
                      [frames[start] for start in starts], job.headers)
    done = work.resume(run=run)
    resumed = sum(counts[index] for index in done)
    clock = StageClock()
    upscale_frame = _frame_upscaler(upscaler, job.source.picture.bits, (job.encoding.width, job.encoding.height))
    made, repeated = [], []
    counter = _Counter(progress, resumed, len(frames))

    def report():
        return VideoReport(len(frames), len(frames) - sum(counts[index] for index in made), job.encoding,
                           clock.seconds, time.perf_counter() - started, sum(repeated),
                           (len(made), len(starts)))

    def join():
        if not work.complete():
            raise _JoinedElsewhere
        if counter.done != len(frames):
            counter.show(len(frames))  # the frames other runs made since this one looked
        assemble(job, work, replace=overwrite)
        work.remove()

    try:
        counter.show(resumed)
        for index in range(len(starts)):
            if index in done:
                continue
            with work.claimed(index, run=run) as mine:
                if not mine:
                    continue  # another run makes it
                if claims.found_done(job.target, overwrite=overwrite):
                    break  # joined by another run meanwhile (which began after this one looked)
                if work.finished(index):
                    continue  # made by another run since this one looked
                # Repeats are looked for within a segment only, so that a segment is the same whoever makes it.
                skipper = RepeatSkipper(upscale_frame, dedup, job.source.picture.bits)
                _encode_segment(job, work, index, starts[index], ends[index], clock, counter, skipper)
                made.append(index)
                repeated.append(skipper.reused)
        if not work.complete():
            if made:
                return claims.SHARED, report()
            return (claims.EXISTS if claims.found_done(job.target, overwrite=overwrite) else claims.CLAIMED), None
        try:
            status = claims.write_once(job.target, join, overwrite=overwrite, run=run)
        except _JoinedElsewhere:
            status = claims.EXISTS
    except BaseException:
        if not made:
            work.discard()  # nothing worth resuming, unless other runs are at work in it
        raise
    if status != claims.WRITTEN and made:
        return claims.SHARED, report()  # what was made here went into another run's output
    return status, report()


class _Counter:
    """The frames of the video done, for `progress(done, total)`: those found done, then this run's."""

    def __init__(self, progress, done, total):
        self.progress, self.done, self.total = progress, done, total

    def show(self, done=None):
        if done is not None:
            self.done = done
        if self.progress is not None:
            self.progress(self.done, self.total)

    def add(self):
        self.done += 1
        self.show()


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


def _encode_segment(job, work, index, start, end, clock, counter, upscale_frame):
    """Makes segment `index` (frames `start` to `end`, the first a keyframe) in this thread: decoded from its
    own keyframe, upscaled and encoded by a new encoder."""
    source, encoding, picture = job.source, job.encoding, job.source.picture
    with Frames(source, start, upscale_frame, clock, end=end) as frames, work.segment(index) as journal:
        encoder = encoding.open_encoder()
        durations = {source.frames[k]: source.durations[k] for k in range(start, end)}

        def write(frame):
            try:
                packets = encoder.encode(frame)
            except av.error.FFmpegError as error:
                raise VideoError(f"{job.target}: {encoding.encoder} failed ({first_line(error)})") from None
            for packet in packets:
                journal.write(packet.pts, packet.dts, durations.get(packet.pts, 0), packet.is_keyframe,
                              bytes(packet))

        for expected in range(start, end):
            number, pixels = next(frames)
            if number != expected:
                raise VideoError(f"{source.path}: frame {number} came where frame {expected} was due")
            timer = time.perf_counter()
            frame = picture.from_rgb(pixels, encoding.pix_fmt)
            frame.pts, frame.time_base = source.frames[expected], source.time_base
            frame.colorspace, frame.color_range = encoding.colorspace, encoding.color_range
            write(frame)
            clock.add("encode", timer)
            counter.add()
        timer = time.perf_counter()
        write(None)
        clock.add("encode", timer)
        journal.finish(end - start, source.frames[start], job.headers)


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
        # Not the tile and batch sizes: each run sharing the work fits them to its own memory, and the frames
        # do not depend on them (the windows' cores equal the whole frame's result).
        "upscale": [upscaler.scale, geometry["overlap"]],
        "segments": [starts, len(job.source.frames)],
        # Added only when set, so that segments of earlier runs without them still resume. Near repeats
        # change the result; identical ones do not.
        **({"size": str(upscaler.size)} if upscaler.size else {}),
        **({"dedup": dedup} if dedup else {}),
    }
