"""Upscaling image files: the reusable core of the `lumivex-upscale` command, one file at a time.

    from lumivex.upscale.files import Options, plan_jobs, load_model, process_file

    options = Options(scale=2)                          # tile_size, overlap, batch_size, overwrite
    plan = plan_jobs("photos", "photos_x2", options)    # validation; UsageError before any work
    if plan.output_folder is not None:
        plan.output_folder.mkdir(exist_ok=True)
    model = load_model("builtin", options.scale)        # or the path of an ONNX file
    for job in plan.jobs:                               # plan.problems: (path, reason) of unusable inputs
        process_file(job.source, job.target, model, options)

`plan_jobs` checks everything it can without reading pixels: the input exists, every image's header reads,
the output's folder exists, no output is an input, the output format holds the input's pixel format; outputs
that already exist are listed in `plan.skipped` instead of `plan.jobs` unless `overwrite`. `process_file`
reads, upscales (`lumivex.upscale.pipeline.upscale`) and writes atomically (`lumivex.upscale.images`),
keeping the bit depth and mode; it never touches the source, and never replaces an output that appeared
meanwhile unless `overwrite`. Runs that may share an output folder claim each output first:
`claims.write_once(job.target, lambda: process_file(...), overwrite=options.overwrite)`.
Videos (.mp4, .mov, .mkv, .webm) and animated images (any GIF) go the same way, through `video` and
`animation`: checked by `plan_jobs`, upscaled frame by frame by `process_file`.
Needs `cupy` importable (real or stand-in).
"""

import dataclasses
import os
import pathlib

import cupy as cp

from . import animation, images, video
from .messages import first_line
from .models import load_model
from .defaults import DEFAULT_BATCH_SIZE, DEFAULT_OVERLAP, DEFAULT_TILE_SIZE
from .pipeline import upscale
from ..utils.dtypes import to_float32

__all__ = ["Job", "Options", "Plan", "UsageError", "describe_failure", "load_model", "plan_jobs", "process_file"]


class UsageError(ValueError):
    """Input the command cannot work with; the message is one line for the user. Nothing was done."""


@dataclasses.dataclass(frozen=True)
class Options:
    """How to upscale: factor, window side and overlap in input pixels, windows per model call, and whether
    existing outputs are replaced."""

    scale: int = 2
    tile_size: int = DEFAULT_TILE_SIZE
    overlap: int = DEFAULT_OVERLAP
    batch_size: int = DEFAULT_BATCH_SIZE
    overwrite: bool = False
    # Videos only: the encoder (None: the input's codec family), its constant-quality value and speed preset.
    codec: str | None = None
    crf: int | None = None
    preset: str | None = None

    def __post_init__(self):
        for name in ("scale", "tile_size", "batch_size"):
            if getattr(self, name) < 1:
                raise UsageError(f"--{name.replace('_', '-')} must be at least 1, got {getattr(self, name)}")
        if not 0 <= self.overlap < self.tile_size:
            raise UsageError(f"--overlap must be at least 0 and smaller than --tile-size ({self.tile_size}), "
                             f"got {self.overlap}")


@dataclasses.dataclass(frozen=True)
class Job:
    """One image to upscale: where it is, where the result goes, and its pixel format."""

    source: pathlib.Path
    target: pathlib.Path
    pixel_format: images.PixelFormat


@dataclasses.dataclass
class Plan:
    jobs: list  # [Job]
    skipped: list  # [Job] whose target exists (and no overwrite)
    problems: list  # [(path, reason)] inputs of a folder that cannot be upscaled
    output_folder: pathlib.Path | None  # folder mode: where the results go (may not exist yet)


def plan_jobs(source, target, options):
    """The Plan for upscaling `source` (an image file or a folder of them) into `target`.

    `target` None means "<name>_x<scale>.png" (a file) or "<name>_x<scale>" (a folder) in the current folder;
    an existing folder as target for a file means that name inside it. In folder mode each image keeps its
    file name. Raises UsageError for what makes the whole run impossible.
    """
    source = pathlib.Path(source)
    if not source.exists():
        raise UsageError(f"{source}: no such file or folder")
    if source.is_dir():
        return _plan_folder(source, None if target is None else pathlib.Path(target), options)
    if not source.is_file():
        raise UsageError(f"{source}: not a regular file")
    keeps_suffix = video.is_video(source) or animation.is_animation(source)
    default_name = f"{source.stem}_x{options.scale}{source.suffix if keeps_suffix else '.png'}"
    target = pathlib.Path(default_name) if target is None else pathlib.Path(target)
    if target.is_dir():
        target = target / default_name
    if not target.parent.is_dir():
        raise UsageError(f"{target}: the output folder {target.parent} does not exist")
    if _same_file(source, target):
        raise UsageError(f"{target}: the output would overwrite the input")
    try:
        job = _checked_job(source, target, options)
    except (images.ImageError, video.VideoError) as error:
        raise UsageError(str(error)) from None
    if target.exists() and not options.overwrite:
        return Plan([], [job], [], None)
    return Plan([job], [], [], None)


def _plan_folder(source, target, options):
    target = pathlib.Path(f"{source.resolve().name}_x{options.scale}") if target is None else target
    if target.exists() and not target.is_dir():
        raise UsageError(f"{target}: the output for a folder must be a folder")
    if not target.parent.resolve().is_dir():
        raise UsageError(f"{target}: the output folder's parent {target.parent} does not exist")
    if target.resolve() == source.resolve():
        raise UsageError(f"{target}: the output folder is the input folder; results would overwrite inputs")
    suffixes = images.INPUT_SUFFIXES | video.VIDEO_SUFFIXES | animation.ANIMATION_FORMATS.keys()
    candidates = sorted(path for path in source.iterdir()
                        if path.suffix.lower() in suffixes and not path.name.startswith("."))
    if not candidates:
        raise UsageError(f"{source}: no images or videos ({', '.join(sorted(suffixes))}) in the folder")
    plan = Plan([], [], [], target)
    for path in candidates:
        destination = target / path.name
        try:
            if not path.is_file():
                raise images.ImageError(f"{path}: not a regular file")
            job = _checked_job(path, destination, options)
        except (images.ImageError, video.VideoError) as error:
            plan.problems.append((path, str(error)))
            continue
        (plan.skipped if destination.exists() and not options.overwrite else plan.jobs).append(job)
    return plan


def _checked_job(source, target, options):
    """The Job of one file, checked as far as it can be before any work; ImageError or VideoError."""
    if video.is_video(source):
        return Job(source, target, video.check_video(source, target, options.scale, codec=options.codec,
                                                     crf=options.crf, preset=options.preset))
    if animation.is_animation(source):
        return Job(source, target, animation.check_animation(source, target, options.scale))
    job = Job(source, target, images.check_readable(source))
    images.check_writable(target, job.pixel_format)
    return job


def _same_file(a, b):
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def process_file(source, target, model, options, progress=None):
    """Reads `source`, upscales it with `model` and writes `target` atomically in the same pixel format.

    Colour and alpha are upscaled separately (the alpha plane as a grey image) and put back together.
    `progress(done, total)` counts model windows over both passes. Returns the PixelFormat written.
    Raises images.ImageError for an unreadable file, and whatever the model raises; FileExistsError when a
    file appeared at `target` meanwhile (another run's) and `options.overwrite` is off: it is never replaced.

    Videos go to `video.upscale_video` and animated images (any GIF) to `animation.upscale_animation`, with
    `progress` counting frames; they return a report of what was written instead of a PixelFormat.
    """
    if video.is_video(source):
        return video.upscale_video(source, target, model, scale=options.scale, codec=options.codec,
                                   crf=options.crf, preset=options.preset, tile_size=options.tile_size,
                                   overlap=options.overlap, batch_size=options.batch_size,
                                   replace=options.overwrite, progress=progress)
    if animation.is_animation(source):
        return animation.upscale_animation(source, target, model, scale=options.scale,
                                           tile_size=options.tile_size, overlap=options.overlap,
                                           batch_size=options.batch_size, replace=options.overwrite,
                                           progress=progress)
    pixels, pixel_format = images.read_image(source)
    image = to_float32(cp.asarray(pixels))  # uint8 / 255, uint16 / 65535
    colours = 1 if pixel_format.mode in ("1", "L", "LA") else 3
    planes = [image[:, :, :colours]] + ([image[:, :, colours:]] if pixel_format.has_alpha else [])
    results = []
    for index, plane in enumerate(planes):
        report = None
        if progress is not None:
            def report(done, total, index=index):
                progress(index * total + done, len(planes) * total)
        results.append(upscale(plane, model, options.scale, tile_size=options.tile_size,
                               overlap=options.overlap, batch_size=options.batch_size, progress=report))
    result = cp.concatenate(results, axis=2) if len(results) > 1 else results[0]
    top = 255 if pixel_format.bits == 8 else 65535
    levels = (cp.clip(result, 0, 1) * top + 0.5).astype(pixel_format.dtype)  # rounded to the nearest level
    images.write_image(target, cp.asnumpy(levels), pixel_format, replace=options.overwrite)
    return pixel_format


def describe_failure(error, source):
    """One line for the user saying why `source` could not be upscaled: the first line of `error`'s message,
    after the name of its type where the message alone would not say what failed (a network's errors)."""
    message = first_line(error).removeprefix(f"{source}: ")
    if not isinstance(error, (images.ImageError, video.VideoError, OSError, MemoryError)):
        message = f"{type(error).__name__}: {message}"
    return message
