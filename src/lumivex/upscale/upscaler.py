"""The network and how the road runs it, made in one place and used by every road and both executors.

    from lumivex.upscale import Settings, Upscaler

    upscaler = Settings("builtin", scale=3).load()     # the shipped x4 network, its result resized to x3
    upscaler, geometry = upscaler.fit(width=4000)      # tile and batch sizes from the memory at hand
    upscaler = Upscaler(my_model, scale=2, tile_size=128)   # any callable from NCHW batches to larger ones

`Settings` is what a user chooses (picklable: a Ray worker loads its own network from it); `Upscaler` holds the
loaded model with the factor it produces, the tile size, overlap and batch size. The overlap defaults to twice
the context the network measured or states; tile and batch sizes left open are fitted to the memory by `fit`,
and the road's defaults stand in until then. `to_levels` is the one rule turning float results into integer
levels.
"""

import dataclasses
import math

import numpy as np

from .arrays import array_module, describe

cp = array_module()  # before the road's modules bind `cupy`

from . import memory, pipeline, strength as blending  # noqa: E402
from .defaults import DEFAULT_BATCH_SIZE, DEFAULT_TILE_SIZE  # noqa: E402
from .messages import UsageError  # noqa: E402
from .models import load_model  # noqa: E402
from .models.augment import augmented  # noqa: E402
from .models.precision import PRECISIONS  # noqa: E402
from .rescale import TargetSize, output_size, rescale_bands  # noqa: E402
from ..transform.resize import resize  # noqa: E402

__all__ = ["Settings", "TargetSize", "Upscaler", "to_levels"]


@dataclasses.dataclass(frozen=True)
class Settings:
    """The network asked for and how to run it: `model` "builtin" (the shipped network nearest at or above
    `scale`) or an ONNX file's path; `scale` None is the network's own factor; `tile_size`, `overlap` and
    `batch_size` None are chosen (the overlap from the network's context, the others from the memory);
    `value_range` 1 or 255 (None: the file's word, else 1) and `bgr` say how the network wants its values.
    `size` (a rescale.TargetSize) asks for a size instead of a factor: `scale` is then only the enlargement
    the network is chosen for (the largest the files need). `strength` (0 to 1) is how much of the network's
    result is kept, the rest a plain enlargement of the input. `tta` runs the network on the eight flips and
    transposes of each window and averages them (eight times the work). `precision` "auto" (half where the
    device has tensor cores), "fp32" or "fp16": a batch broken at half precision runs again at fp32."""

    model: str = "builtin"
    scale: float | None = None
    tile_size: int | None = None
    overlap: int | None = None
    batch_size: int | None = None
    value_range: int | None = None
    bgr: bool = False
    size: TargetSize | None = None
    strength: float = 1.0
    tta: bool = False
    precision: str = "auto"

    def __post_init__(self):
        if self.precision not in PRECISIONS:
            raise UsageError(f"--precision must be one of {', '.join(PRECISIONS)}, got {self.precision!r}")
        if self.precision == "bf16":
            raise UsageError("--precision bf16 is not available on this road (ONNX Runtime's CUDA and CPU "
                             "providers); use fp16, which falls back to fp32 where it fails")
        try:
            object.__setattr__(self, "strength", blending.check(self.strength))
        except ValueError as error:
            raise UsageError(str(error)) from None
        # The scale is checked where the outputs are planned (`roads.plan`), the range where the network loads.
        for name in ("tile_size", "batch_size"):
            value = getattr(self, name)
            if value is not None and value < 1:
                raise UsageError(f"--{name.replace('_', '-')} must be at least 1, got {value}")
        if self.overlap is not None and self.overlap < 0:
            raise UsageError(f"--overlap must be at least 0, got {self.overlap}")
        if self.overlap is not None and self.tile_size is not None and self.overlap >= self.tile_size:
            raise UsageError(f"--overlap must be smaller than --tile-size ({self.tile_size}), got {self.overlap}")

    def load(self, *, threads=None):
        """The Upscaler of these settings; UsageError for a model that is neither a file nor a catalogue name, the network's own
        errors (NetworkMismatch) for one that does not fit."""
        try:
            model = load_model(self.model, self.scale, value_range=self.value_range, bgr=self.bgr, threads=threads,
                               fp16={"auto": None, "fp32": False, "fp16": True}[self.precision])
        except FileNotFoundError as missing:  # neither a file nor a name of the catalogue
            raise UsageError(str(missing)) from None
        if self.tta:
            try:
                model = augmented(model)
            except ValueError as refused:
                raise UsageError(str(refused)) from None
        scale = self.scale
        if self.size is not None:
            # The network runs at its own factor (a network that states none: the whole factor that covers
            # the size) and its result is resized to the size.
            scale = None if getattr(model, "scale", None) else math.ceil(self.scale or 1)
        return Upscaler(model, scale=scale, tile_size=self.tile_size, overlap=self.overlap,
                        batch_size=self.batch_size, size=self.size, strength=self.strength)


@dataclasses.dataclass(frozen=True)
class Upscaler:
    """A model and the geometry the road runs it with. `scale` None is the model's own factor (a model that
    states none needs one); `overlap` None is twice the model's context. `size` (a rescale.TargetSize): every
    result is resized to that size, from the network's result at `scale`. `strength` below 1 blends every result
    with the input's plain enlargement to the same size (see `strength`)."""

    model: object
    scale: float | None = None
    tile_size: int | None = None
    overlap: int | None = None
    batch_size: int | None = None
    size: TargetSize | None = None
    strength: float = 1.0

    def __post_init__(self):
        object.__setattr__(self, "strength", blending.check(self.strength))
        if self.scale is None:
            if getattr(self.model, "scale", None) is None:
                raise UsageError("the model does not say its scale; pass scale=")
            object.__setattr__(self, "scale", self.model.scale)
        given = self.overlap is not None
        if not given:
            object.__setattr__(self, "overlap", pipeline.default_overlap(self.model))
        if self.tile_size is not None and self.overlap >= self.tile_size:
            whence = "--overlap" if given else "what the network needs; --overlap sets it"
            raise UsageError(f"--tile-size must be larger than the overlap {self.overlap} ({whence}), got "
                             f"{self.tile_size}")

    @property
    def description(self):
        return getattr(self.model, "description", type(self.model).__name__)

    @property
    def notice(self):
        return getattr(self.model, "notice", None)

    @property
    def device(self):
        """Where the arrays live, in one line."""
        return describe()

    def overlap_warning(self):
        """A line when the overlap given leaves the windows less context than the network needs, else None."""
        needed = getattr(self.model, "radius", None)
        if needed is None or self.overlap // 2 >= needed:
            return None
        return (f"warning: --overlap {self.overlap} gives each window {self.overlap // 2} pixels of context; "
                f"{getattr(self.model, 'name', 'the network')} needs {needed} (--overlap {2 * needed}) for tiles "
                f"without seams")

    def fit(self, width=4096, height=None):
        """(Upscaler, Geometry): the tile and batch sizes left open chosen from the memory at hand for images up
        to `width` pixels wide (and `height` high, where known: an image that fits is one window). Without a height, memory
        stays bounded by the width: windows as wide as the image, as many down it as it needs. Geometry None
        when both were given."""
        if self.tile_size is not None and self.batch_size is not None:
            return self, None
        if self.tile_size is None:
            largest = memory.TILE_SIZES[0]
            if getattr(self.model, "window", None) is None and self.overlap >= largest:
                raise UsageError(f"--overlap {self.overlap} leaves no window: the windows chosen are at most "
                                 f"{largest} pixels a side; give a larger --tile-size")
        geometry = memory.choose_geometry(self.model, scale=getattr(self.model, "scale", 2), overlap=self.overlap,
                                          width=width, height=height, tile_size=self.tile_size,
                                          batch_size=self.batch_size)
        return dataclasses.replace(self, tile_size=geometry.tile_size, batch_size=geometry.batch_size), geometry

    def output_size(self, height, width):
        """(height, width) of the result for an image of `height` x `width`."""
        return output_size(height, width, self.size or self.scale)

    def shortfall(self, height, width):
        """How much of the enlargement of a `height` x `width` input is plain resampling: the factor asked for
        over what the network reaches, or None when the network reaches it."""
        asked = self.size.factor(height, width) if self.size is not None else self.scale
        reached = getattr(self.model, "scale", None) or self.scale
        return asked / reached if asked > reached * (1 + 1e-9) else None

    def bands(self, source, *, planes=None, progress=None):
        """The result as bands of float32 rows (see `pipeline.upscale_bands`)."""
        if self.strength == 1:
            return self._network_bands(source, planes, progress)
        height, width = (source.height, source.width) if hasattr(source, "read_rows") else source.shape[:2]
        return blending.blended_bands(source, lambda rows: self._network_bands(rows, planes, progress),
                                      self.output_size(height, width), self.strength)

    def _network_bands(self, source, planes, progress):
        bands = pipeline.upscale_bands(source, self.model, self.scale, planes=planes, progress=progress,
                                       **self.geometry())
        if self.size is None:
            return bands
        native = output_size(source.height, source.width, self.scale)
        wanted = self.output_size(source.height, source.width)
        return bands if native == wanted else rescale_bands(bands, native, wanted)

    def image(self, image, *, progress=None):
        """The whole result of an (H, W, C) float image in memory (see `pipeline.upscale`)."""
        result = pipeline.upscale(image, self.model, self.scale, progress=progress, **self.geometry())
        if self.size is not None:
            height, width = self.output_size(*image.shape[:2])
            if result.shape[:2] != (height, width):
                result = resize(result, dsize=(width, height))
        return result if self.strength == 1 else blending.blend_image(result, image, self.strength)

    def geometry(self):
        """The tile size, overlap and batch size the road runs with (its defaults for sizes not chosen)."""
        return {"tile_size": self.tile_size or DEFAULT_TILE_SIZE, "overlap": self.overlap,
                "batch_size": self.batch_size or DEFAULT_BATCH_SIZE}


def to_levels(result, dtype):
    """The road's float32 result as host pixels of `dtype`: integers clamped to 0-1 and rounded to the nearest
    level; floats kept as they are, values outside 0-1 included (scientific data)."""
    dtype = np.dtype(dtype)
    if dtype.kind == "f":
        return cp.asnumpy(result.astype(dtype))
    return cp.asnumpy((cp.clip(result, 0, 1) * np.iinfo(dtype).max + 0.5).astype(dtype))
