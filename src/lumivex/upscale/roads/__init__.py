"""The roads of the upscaler, one per kind of file: `image` (still images), `animation` (GIF, APNG, animated
WebP) and `video`. A file's kind is decided once, by `road_for`; planning checks everything that can be
checked before any work, once, and a Job carries its road and what planning found, so the work probes nothing
again.

    from lumivex.upscale import Settings, roads

    upscaler = Settings(scale=2).load()
    plan = roads.plan("photos", "photos_x2", upscaler.scale)     # UsageError before any work
    plan.make_output_folder()
    for job in plan.jobs:                                          # plan.problems: (path, reason) of the others
        job.run(upscaler)

Every road module has the same functions: `takes(path)`, `read(source, settings)` (the header: ImageError or
VideoError), `output_suffix(source, header, settings)`, `check(source, target, header, scale, settings)` (what
the work needs), `width(checked)`, `height(checked)` and `run(job, upscaler, *, replace, progress)`, and says
its progress `UNIT`. A road whose files are made in parts that runs share (a video's segments) also has
`share(job, upscaler, *, overwrite, run, progress)`. Each has its own `Settings` where it has any (the image
road's input limit and output format, the video encoder's and its repeated frames').
"""

import dataclasses
import os
import pathlib

from ..arrays import array_module

array_module()  # the roads bind `cupy` at their top

from . import animation, image, video  # noqa: E402
from .. import images  # noqa: E402
from ..messages import UsageError  # noqa: E402
from ..rescale import TargetSize  # noqa: E402

__all__ = ["Job", "Plan", "ROADS", "plan", "road_for", "upscale_file"]

ROADS = {"image": image, "animation": animation, "video": video}
_ERRORS = (images.ImageError, video.VideoError)


def road_for(path):
    """The name of the road that takes `path`: decided here, once per file (an animation is told by opening
    it; anything else that is not a video goes to the image road, which reports what it cannot read)."""
    for name in ("video", "animation"):
        if ROADS[name].takes(path):
            return name
    return "image"


@dataclasses.dataclass(frozen=True)
class Job:
    """One file to upscale: where it is, where the result goes, its road, what planning found (the image's
    header, the animation's frames, the checked video job) and the road's settings."""

    source: pathlib.Path
    target: pathlib.Path
    road: str
    checked: object
    settings: object = None

    @property
    def unit(self):
        return ROADS[self.road].UNIT

    @property
    def width(self):
        return ROADS[self.road].width(self.checked)

    @property
    def height(self):
        return ROADS[self.road].height(self.checked)

    @property
    def total(self):
        """The units of its work where planning knows them (an animation's frames), else None."""
        return getattr(self.checked, "frames", None) if self.road == "animation" else None

    @property
    def shared(self):
        """Whether its work goes in parts that several runs can make at once (see `share`)."""
        return hasattr(ROADS[self.road], "share")

    def share(self, upscaler, *, overwrite=False, run=None, progress=None):
        """Makes the parts of the file no other run has made or holds, and the file where they are then all
        done; returns (status of `claims`, report or None)."""
        return ROADS[self.road].share(self, upscaler, overwrite=overwrite, run=run, progress=progress)

    def run(self, upscaler, *, replace=False, progress=None):
        """Upscales the file; returns what was written (its description in str). FileExistsError when a file
        appeared at the target meanwhile and `replace` is off: it is never replaced."""
        return ROADS[self.road].run(self, upscaler, replace=replace, progress=progress)


@dataclasses.dataclass
class Plan:
    jobs: list[Job]
    skipped: list[Job]  # whose target exists (and no overwrite)
    problems: list[tuple[pathlib.Path, str]]  # inputs of a folder that cannot be upscaled, and why
    output_folder: pathlib.Path | None  # folder mode: where the results go (may not exist yet)

    def make_output_folder(self):
        """Creates the output folder where there are jobs for it; UsageError (one line) when it cannot."""
        if self.output_folder is None or not self.jobs:
            return
        try:
            self.output_folder.mkdir(exist_ok=True)
        except OSError as error:
            raise UsageError(f"{self.output_folder}: cannot create the output folder "
                             f"({error.strerror or error})") from None


def plan(source, target, scale, *, overwrite=False, image_settings=None, video_settings=None):
    """The Plan for upscaling `source` (a file or a folder of them) `scale` times (a number, or a
    `rescale.TargetSize`) into `target`.

    `target` None means "<name>_x<scale>" ("<name>_w<width>" and the like for a size) with the output's
    suffix (a file) or "<name>_x<scale>" (a folder) in the current folder; an existing folder as target for a
    file means that name inside it. Every output gets the suffix of one rule (`output_suffix` of its road:
    the input's own, or the format asked for), and in folder mode the input's name. Raises UsageError for
    what makes the whole run impossible, among it an output that is an input (by a link, a hard link or
    another path).
    """
    settings = {"image": image_settings or image.Settings(), "animation": None,
                "video": video_settings or video.Settings()}
    source = pathlib.Path(source)
    if not isinstance(scale, TargetSize) and (type(scale) not in (int, float) or not 0 < scale < float("inf")):
        raise UsageError(f"--scale must be a positive number, got {scale!r}")
    if not source.exists():
        raise UsageError(f"{source}: no such file or folder")
    if source.is_dir():
        return _plan_folder(source, None if target is None else pathlib.Path(target), scale, overwrite, settings)
    if not source.is_file():
        raise UsageError(f"{source}: not a regular file")
    road = road_for(source)
    try:
        header = ROADS[road].read(source, settings[road])
        name = f"{source.stem}_{_tag(scale)}{ROADS[road].output_suffix(source, header, settings[road])}"
        target = pathlib.Path(name) if target is None else pathlib.Path(target)
        if target.is_dir():
            target = target / name
        if not target.parent.is_dir():
            raise UsageError(f"{target}: the output folder {target.parent} does not exist")
        _refuse_outputs_onto_inputs([source], [target])
        job = Job(source, target, road, ROADS[road].check(source, target, header, scale, settings[road]),
                  settings[road])
    except _ERRORS as error:
        raise UsageError(str(error)) from None
    # A dangling link at the output is no output: the job's write says what is wrong with it.
    if os.path.exists(target) and not overwrite:
        return Plan([], [job], [], None)
    return Plan([job], [], [], None)


def _plan_folder(source, target, scale, overwrite, settings):
    target = pathlib.Path(f"{source.resolve().name}_{_tag(scale)}") if target is None else target
    if target.exists() and not target.is_dir():
        raise UsageError(f"{target}: the output for a folder must be a folder")
    parent = target.parent.resolve()
    if not parent.is_dir():
        raise UsageError(f"{target}: the output folder's parent {target.parent} does not exist")
    if target.resolve() == source.resolve():
        raise UsageError(f"{target}: the output folder is the input folder; results would overwrite inputs")
    if not target.exists() and not os.access(parent, os.W_OK | os.X_OK):
        raise UsageError(f"{target}: cannot create the output folder ({target.parent} is not writable)")
    suffixes = images.INPUT_SUFFIXES | video.VIDEO_SUFFIXES | animation.ANIMATION_FORMATS.keys()
    candidates = sorted(path for path in source.iterdir()
                        if path.suffix.lower() in suffixes and not path.name.startswith("."))
    if not candidates:
        raise UsageError(f"{source}: no images or videos ({', '.join(sorted(suffixes))}) in the folder")
    plan = Plan([], [], [], target)
    read = []  # (path, road, header, destination) of the inputs whose header reads
    owners = {}  # destination -> the input it is the output of
    for path in candidates:
        road = road_for(path)
        try:
            if not path.is_file():
                raise images.ImageError(f"{path}: not a regular file")
            header = ROADS[road].read(path, settings[road])
        except _ERRORS as error:
            plan.problems.append((path, str(error)))
            continue
        destination = target / f"{path.stem}{ROADS[road].output_suffix(path, header, settings[road])}"
        taken = owners.setdefault(destination, path)
        if taken != path:  # a.png and a.jpg, with --format png
            plan.problems.append((path, f"its output {destination} is already {taken.name}'s; rename one"))
            continue
        read.append((path, road, header, destination))
    _refuse_outputs_onto_inputs(candidates, [destination for *_, destination in read])
    for path, road, header, destination in read:
        try:
            job = Job(path, destination, road, ROADS[road].check(path, destination, header, scale, settings[road]),
                      settings[road])
        except _ERRORS as error:
            plan.problems.append((path, str(error)))
            continue
        (plan.skipped if os.path.exists(destination) and not overwrite else plan.jobs).append(job)
    plan.problems.sort()
    return plan


def _tag(scale):
    """What a default output name carries after the input's: "x2" for a factor, "w1920" or "1920x1080" for a
    size."""
    return f"{scale}" if isinstance(scale, TargetSize) else f"x{scale:g}"


def _refuse_outputs_onto_inputs(sources, targets):
    """UsageError when an output is one of the inputs under another name: the same path, a symbolic link to
    it or from it, or a hard link. Writing it would replace an input not yet read, or read an earlier result."""
    inputs = {}
    for path in sources:
        try:
            status = os.stat(path)
        except OSError:
            continue  # reported by its road
        inputs[status.st_dev, status.st_ino] = path
        inputs[str(path.resolve())] = path
    for target in targets:
        found = inputs.get(str(target.resolve()))
        if found is None:
            try:
                status = os.stat(target)
            except OSError:
                continue  # not there yet (a dangling link is resolved above)
            found = inputs.get((status.st_dev, status.st_ino))
        if found is not None:
            raise UsageError(f"{target}: the output would overwrite the input {found}")


def upscale_file(source, target, upscaler, *, overwrite=False, progress=None, image_settings=None,
                 video_settings=None):
    """Upscales the file `source` (an image, animation or video) into `target` with `upscaler`, checked as the
    command checks it (UsageError before any work); returns what was written. An existing `target` is
    replaced only with `overwrite` (FileExistsError otherwise). `progress(done, total)` as the road counts."""
    found = plan(source, target, upscaler.scale, overwrite=overwrite, image_settings=image_settings,
                 video_settings=video_settings)
    if found.skipped:
        raise FileExistsError(f"{found.skipped[0].target} exists; pass overwrite=True to replace it")
    return found.jobs[0].run(upscaler, replace=overwrite, progress=progress)
