"""Upscaling image files: the reusable core of the `lumivex-upscale` command, one file at a time.

    from lumivex.upscale.files import Options, open_model, plan_jobs, process_file

    options = Options(scale=2)                          # tile_size, overlap, batch_size, overwrite, ...
    plan = plan_jobs("photos", "photos_x2", options)    # validation; UsageError before any work
    if plan.output_folder is not None:
        plan.output_folder.mkdir(exist_ok=True)
    model = open_model("builtin", options)              # or the path of an ONNX file
    for job in plan.jobs:                               # plan.problems: (path, reason) of unusable inputs
        process_file(job.source, job.target, model, options)

`plan_jobs` checks everything it can without reading pixels: the input exists, every image's header reads and
is within the size limit, the output's folder exists, no output is an input, the output format holds the input's
pixel format and the output's size; outputs that already exist are listed in `plan.skipped` instead of
`plan.jobs` unless `overwrite`. `process_file` streams: it reads rows as the road needs them, upscales band by
band (`lumivex.upscale.pipeline.upscale_bands`) and writes each band as it comes, atomically
(`lumivex.upscale.images`), keeping bit depth, mode, floats and metadata; memory holds a few bands, not the
image. It never touches the source, and never replaces an output that appeared
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
from .models import NetworkError, load_model
from .defaults import DEFAULT_BATCH_SIZE, DEFAULT_TILE_SIZE
from .pipeline import upscale_bands
from .rescale import output_size

__all__ = ["Job", "Options", "Plan", "UsageError", "describe_failure", "load_model", "open_model", "plan_jobs",
           "process_file"]


class UsageError(ValueError):
    """Input the command cannot work with; the message is one line for the user. Nothing was done."""


@dataclasses.dataclass(frozen=True)
class Options:
    """How to upscale: factor, window side and overlap in input pixels, windows per model call, whether existing
    outputs are replaced, how the network wants its values, and the largest image read.

    `scale` None is the network's own factor; any positive factor is accepted (the network's result is resized to
    it). `tile_size` or `batch_size` None is chosen from the memory at hand by the command (`memory`), the
    defaults elsewhere; `overlap` None is what the network needs (twice its receptive radius). `value_range` None
    takes the network file's word, else 0-1; 255 for networks that take and give 0-255. `max_megapixels` None
    keeps Pillow's decompression-bomb limit.
    """

    scale: float | None = 2
    tile_size: int | None = DEFAULT_TILE_SIZE
    overlap: int | None = None
    batch_size: int | None = DEFAULT_BATCH_SIZE
    overwrite: bool = False
    value_range: int | None = None
    bgr: bool = False
    max_megapixels: float | None = None
    # Videos only: the encoder (None: the input's codec family), its constant-quality value and speed preset.
    codec: str | None = None
    crf: int | None = None
    preset: str | None = None

    def __post_init__(self):
        if self.scale is not None and not (type(self.scale) in (int, float) and 0 < self.scale < float("inf")):
            raise UsageError(f"--scale must be a positive number, got {self.scale}")
        for name in ("tile_size", "batch_size"):
            value = getattr(self, name)
            if value is not None and value < 1:
                raise UsageError(f"--{name.replace('_', '-')} must be at least 1, got {value}")
        if self.overlap is not None and self.overlap < 0:
            raise UsageError(f"--overlap must be at least 0, got {self.overlap}")
        if self.overlap is not None and self.tile_size is not None and self.overlap >= self.tile_size:
            raise UsageError(f"--overlap must be smaller than --tile-size ({self.tile_size}), got {self.overlap}")
        if self.value_range not in (None, 1, 255):
            raise UsageError(f"--range must be 1 or 255, got {self.value_range}")
        if self.max_megapixels is not None and not self.max_megapixels > 0:
            raise UsageError(f"--max-megapixels must be positive, got {self.max_megapixels}")

    @property
    def max_pixels(self):
        """The largest image read, in pixels (None: Pillow's decompression-bomb limit)."""
        return None if self.max_megapixels is None else int(self.max_megapixels * 1_000_000)

    def geometry(self):
        """The road's tile_size, overlap and batch_size, with the defaults where none was chosen."""
        return {"tile_size": self.tile_size or DEFAULT_TILE_SIZE, "overlap": self.overlap,
                "batch_size": self.batch_size or DEFAULT_BATCH_SIZE}


def open_model(name, options, *, threads=None):
    """The model named by `name` ("builtin" or an ONNX file's path) as `options` want it: the shipped network
    nearest at or above the scale, values in the range and colour order asked for."""
    return load_model(name, options.scale, value_range=options.value_range, bgr=options.bgr, threads=threads)


@dataclasses.dataclass(frozen=True)
class Job:
    """One image to upscale: where it is, where the result goes, its pixel format and (images) its size."""

    source: pathlib.Path
    target: pathlib.Path
    pixel_format: images.PixelFormat
    size: tuple | None = None  # (height, width) of an image; None for videos and animations


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
    if options.scale is None:
        raise ValueError("plan_jobs() needs options.scale: the factor names the outputs")
    default_name = _default_name(source, options)
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
    if options.scale is None:
        raise ValueError("plan_jobs() needs options.scale: the factor names the outputs")
    target = pathlib.Path(f"{source.resolve().name}_x{options.scale:g}") if target is None else target
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
    with images.open_image(source, max_pixels=options.max_pixels) as reader:
        job = Job(source, target, reader.pixel_format, (reader.height, reader.width))
        pages = len(reader.pages())
    height, width = output_size(*job.size, options.scale)
    images.check_writable(target, job.pixel_format, (width, height), pages=pages)
    return job


def _default_name(source, options):
    """<name>_x<scale> with the input's suffix for videos and animations, .tif for TIFF and float images, else
    .png."""
    if video.is_video(source) or animation.is_animation(source):
        suffix = source.suffix
    else:
        try:
            with images.open_image(source, max_pixels=options.max_pixels) as reader:
                suffix = images.default_suffix(reader.format, reader.pixel_format)
        except images.ImageError:
            suffix = ".png"  # the checks that follow say what is wrong with the file
    return f"{source.stem}_x{options.scale:g}{suffix}"


def _same_file(a, b):
    if a.resolve() == b.resolve():
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def process_file(source, target, model, options, progress=None):
    """Reads `source`, upscales it with `model` and writes `target` atomically in the same pixel format, with
    the metadata the output format can hold.

    Colour and alpha are upscaled separately (the alpha plane as a grey image) and put back together, band by
    band. `progress(done, total)` counts model windows over both. Returns the PixelFormat written.
    Raises images.ImageError for an unreadable file, and whatever the model raises; FileExistsError when a
    file appeared at `target` meanwhile (another run's) and `options.overwrite` is off: it is never replaced.

    Videos go to `video.upscale_video` and animated images (any GIF) to `animation.upscale_animation`, with
    `progress` counting frames; they return a report of what was written instead of a PixelFormat.
    """
    geometry = options.geometry()
    if video.is_video(source):
        return video.upscale_video(source, target, model, scale=options.scale, codec=options.codec,
                                   crf=options.crf, preset=options.preset, replace=options.overwrite,
                                   progress=progress, **geometry)
    if animation.is_animation(source):
        return animation.upscale_animation(source, target, model, scale=options.scale,
                                           replace=options.overwrite, progress=progress, **geometry)
    scale = options.scale if options.scale is not None else model.scale

    def upscaled(page):  # one page of the file (a multi-page TIFF has several), upscaled as it is written
        pixel_format = page.pixel_format
        colours = 1 if pixel_format.mode in ("1", "L", "LA") else 3
        bands = upscale_bands(page, model, scale, planes=(colours, 1) if pixel_format.has_alpha else (colours,),
                              progress=progress, **geometry)
        height, width = output_size(page.height, page.width, scale)
        return images.Page((_pixels(band, pixel_format) for band in bands), height, width, pixel_format,
                           page.metadata)

    with images.open_image(source, max_pixels=options.max_pixels) as reader:
        images.write_image_pages(target, map(upscaled, reader.pages()), replace=options.overwrite)
    return reader.pixel_format


def _pixels(band, pixel_format):
    """A band of the road's float32 result as host pixels of `pixel_format`: integers clamped to 0-1 and rounded
    to the nearest level; floats kept as they are, values outside 0-1 included (scientific data)."""
    if pixel_format.kind == "float":
        return cp.asnumpy(band.astype(pixel_format.dtype))
    top = 255 if pixel_format.bits == 8 else 65535
    return cp.asnumpy((cp.clip(band, 0, 1) * top + 0.5).astype(pixel_format.dtype))


def describe_failure(error, source):
    """One line for the user saying why `source` could not be upscaled: the first line of `error`'s message,
    after the name of its type where the message alone would not say what failed (a network's errors)."""
    message = first_line(error).removeprefix(f"{source}: ")
    if not isinstance(error, (images.ImageError, video.VideoError, NetworkError, OSError, MemoryError)):
        message = f"{type(error).__name__}: {message}"
    return message
