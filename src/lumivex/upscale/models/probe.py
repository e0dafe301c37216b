"""The probe: runs a network once per file on small textured inputs to find what its graph leaves open: the
factor, the side multiple it needs, and the context a window needs (the receptive radius that matters).

The radius is measured, not computed from the graph: a window's core is compared with the same pixels of a
whole-image run while the context around the core grows, and the smallest context that keeps every core
pixel within half an 8-bit level is the radius. Deep networks see far in theory but their far pixels weigh
nothing that 8 bits can show; the measurement finds what matters.
"""

import dataclasses
import os
import sys

import cupy as cp
import numpy as np

from ..messages import first_line
from .contract import CHANNEL_COUNTS
from .errors import NetworkMismatch

MULTIPLES = (1, 2, 4, 8, 16, 32, 64)
MAX_SCALE = 8
SMALLEST_SIDE = 24  # probe sides: a network that halves its input a few times still keeps some pixels
TOLERANCE = 0.5 / 255
CORE = 16
CAPS = (8, 16, 32, 64)  # growing contexts tried in turn; a larger whole image pays only where needed
BRIGHTNESS_DOUBT = 0.25  # of white: a mean shift on the test image that suggests the wrong value range
# A network file this large (weights of a deep network) takes seconds to minutes to measure on a CPU: the user
# is told before it starts, rather than wait in silence.
SLOW_PROBE_BYTES = 2_000_000


def announce(text):
    """Tells the user, before it starts, about work that takes more than a moment (on stderr, one line)."""
    print(f"lumivex: {text}", file=sys.stderr, flush=True)


def announce_probe(path):
    """Says that the probe of the network file at `path` is starting, where the file is large enough for it
    to take more than a moment."""
    try:
        large = os.path.getsize(path) >= SLOW_PROBE_BYTES
    except OSError:
        return
    if large:
        announce(f"{os.path.basename(path)}: measuring the context a window needs (once per file: later runs "
                 "take it from the cache)")


@dataclasses.dataclass(frozen=True)
class Findings:
    """What the probe found: `scale`, `multiple`, `channels` (for a graph that leaves them open: 3, or None
    when any count runs), `radius` (`capped` when even the largest context tried did not settle the result)
    and `brightness_shift` (mean output minus mean input, as a fraction of white, on the test texture)."""

    scale: int
    multiple: int
    channels: int | None
    radius: int
    capped: bool
    brightness_shift: float

    @classmethod
    def from_dict(cls, data):
        """The Findings a cache entry holds, or None when it holds something else."""
        if not isinstance(data, dict):
            return None
        try:
            findings = cls(**data)
        except TypeError:
            return None
        counts = (findings.scale, findings.multiple, findings.radius)
        if not all(type(v) is int and v >= 0 for v in counts) or findings.channels not in (None, *CHANNEL_COUNTS) \
                or type(findings.capped) is not bool or not isinstance(findings.brightness_shift, float):
            return None
        return findings

    def to_dict(self):
        return dataclasses.asdict(self)


def texture(height, width, channels, seed=0):
    """A (channels, height, width) float32 NumPy test image strictly inside (0, 1): blocky noise at five
    scales, one pixel to 16, so it holds hard edges and fine detail at full contrast, harder on a network's
    context than photos are."""
    rng = np.random.default_rng(seed)
    pixels = np.zeros((channels, height, width))
    for cell in (1, 2, 4, 8, 16):
        grid = rng.standard_normal((channels, -(-height // cell), -(-width // cell)))
        pixels += np.repeat(np.repeat(grid, cell, axis=1), cell, axis=2)[:, :height, :width]
    return (0.5 + 0.48 * np.tanh(pixels / np.sqrt(5))).astype(np.float32)


def probe_geometry(run, contract, network):
    """(scale, multiple, channels, brightness shift) of the network that `run` (NumPy array in the network's
    form -> its output) runs, given the graph's `contract` with its value range. The multiple is the
    smallest of MULTIPLES, and at least the contract's, for which sides that are odd multiples of it give a
    whole multiple of them; fixed sides are taken as they are. Channels the graph leaves open are 3 unless one
    channel runs as well.
    NetworkMismatch says what did not fit."""
    channels, batch = contract.channels or 3, contract.batch or 1
    first_failure = None
    # A multiple the file states is the least, whether a power of two or not.
    for multiple in sorted(m for m in {contract.multiple, *MULTIPLES} if m >= contract.multiple):
        h = contract.height or _odd_multiple(multiple, 0)
        w = contract.width or _odd_multiple(multiple, 2)
        image = texture(h, w, channels)
        x = _network_input(image, batch, contract)
        shape = "x".join(map(str, x.shape))
        try:
            y = np.asarray(run(x))
        except Exception as error:  # ONNX Runtime's exception types differ between versions
            failure = f"fails on a probe input of {shape} ({contract.layout}): {first_line(error)}"
        else:
            if y.ndim != 4:
                raise NetworkMismatch.of(network, f"gives a {y.ndim}-dimensional output for an input of {shape}")
            y = y.transpose(0, 3, 1, 2) if contract.layout == "NHWC" else y
            if y.shape[0] != batch:
                raise NetworkMismatch.of(network, f"gives {y.shape[0]} images for a batch of {batch} ({shape})")
            if y.shape[1] != channels:
                given = f"{y.shape[1]} channel" + "s" * (y.shape[1] != 1)
                raise NetworkMismatch.of(network, f"gives {given} for {channels} ({shape})")
            height, width = y.shape[2:]
            scale = height // h
            if height % h == 0 and width % w == 0 and width // w == scale >= 1:
                if scale > MAX_SCALE:
                    raise NetworkMismatch.of(network, f"enlarges x{scale}; at most x{MAX_SCALE} is supported")
                if not np.isfinite(y).all():
                    raise NetworkMismatch.of(network, f"gives NaN or infinite values on a probe input of {shape}")
                shift = float(y.mean(dtype=np.float64)) / contract.value_range - float(image.mean(dtype=np.float64))
                if contract.channels is None and not _runs_on_one_channel(run, image[:1], batch, scale,
                                                                           contract):
                    channels = 3
                else:
                    channels = contract.channels
                return scale, multiple, channels, shift
            failure = (f"its output of {height}x{width} for an input of {h}x{w} is not a whole multiple of "
                       "it (the same on both sides)")
        first_failure = first_failure or failure
        if contract.height and contract.width:
            break  # no other size to try
    raise NetworkMismatch.of(network, first_failure)


def _network_input(image, batch, contract):
    """The (C, h, w) [0, 1] `image` as a batch in the network's form."""
    x = np.broadcast_to(image, (batch,) + image.shape) * contract.value_range
    return np.ascontiguousarray(x.transpose(0, 2, 3, 1) if contract.layout == "NHWC" else x, dtype=contract.dtype)


def _runs_on_one_channel(run, plane, batch, scale, contract):
    """Whether the network takes a single plane as well, giving one plane `scale` times larger. Asked only
    where the graph leaves the channels open, which it does in NCHW alone (an NHWC input is told by them)."""
    try:
        y = np.asarray(run(_network_input(plane, batch, contract)))
    except Exception:
        return False
    h, w = plane.shape[1:]
    return y.shape == (batch, 1, scale * h, scale * w)


def _odd_multiple(multiple, extra):
    """The smallest odd multiple of `multiple` of at least SMALLEST_SIDE, `extra` odd steps further (the
    two sides differ, so that a network that swaps them shows)."""
    odd = -(-SMALLEST_SIDE // multiple)
    return multiple * (odd + (odd % 2 == 0) + extra)


def measure_radius(model, contract, seed=0):
    """(radius, capped): the smallest context, a multiple of the contract's side multiple, with which a
    window's core equals the whole-image result of `model` (a road-batch callable) within TOLERANCE, and
    whether no context up to the largest of CAPS (or what a fixed window leaves) did.

    Contexts are multiples of the side multiple and the core starts on one, so each window starts where the
    network's own grid (space-to-depth inside, strided layers) lies in the whole image.
    """
    m, s = contract.multiple, contract.scale
    channels = 1 if contract.channels == 1 else 3
    window = contract.window
    core = min(CORE, min(window) // 4) if window else CORE
    core = -(-max(core, 1) // m) * m
    low = 0  # the smallest context not yet seen to fall short
    for cap in CAPS:
        cap = -(-cap // m) * m
        margin = -(-max(8, cap // 4) // m) * m  # the whole image reaches past the largest context tried
        size_h, size_w = window or (core + 2 * (cap + margin),) * 2
        y0, x0 = (size_h - core) // 2 // m * m, (size_w - core) // 2 // m * m
        reach = min(y0, x0)  # the core starts at or before the middle: the far margins are no smaller
        image = cp.asarray(texture(size_h, size_w, channels, seed))[None]
        whole = model(image)[..., s * y0:s * (y0 + core), s * x0:s * (x0 + core)]

        def fits(context):
            cut = cp.ascontiguousarray(image[..., y0 - context:y0 + core + context,
                                             x0 - context:x0 + core + context])
            found = model(cut)[..., s * context:s * (context + core), s * context:s * (context + core)]
            return float(cp.abs(found - whole).max()) <= TOLERANCE

        high = min(cap, reach)
        if fits(high):
            while low < high:  # bisection: fits(high) holds, every context below low falls short
                middle = (low + high) // 2 // m * m
                if fits(middle):
                    high = middle
                else:
                    low = middle + m
            return high, False
        low = high + m
        if high < cap:
            break  # a fixed window leaves no more context
    return high, True

