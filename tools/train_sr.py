"""Trains the shipped single-channel super-resolution networks and exports them to ONNX.

    .venv-train/bin/python tools/train_sr.py --scale 2
    .venv-train/bin/python tools/train_sr.py --scale 4

Development only (tools/train-requirements.txt); the package never imports this. The run is reproducible
(fixed seed, one thread, deterministic algorithms, fixed number of steps) and trains only on photos bundled in scikit-image's wheel;
astronaut, chelsea, coffee and rocket are held out for tools/eval_sr.py. Low-resolution inputs are made by
Pillow's bicubic downscaling, the same degradation the evaluation uses.

The network sees one channel at a time; the exported graph folds the channels of an (N, C, H, W) input into
the batch, so one file serves grayscale, RGB and alpha.
"""

import argparse
import pathlib
import sys
import time

import numpy as np
import onnx
import onnxruntime
import skimage
import torch
from onnx import TensorProto, helper, numpy_helper
from PIL import Image
from torch import nn
from torch.nn import functional

REPO = pathlib.Path(__file__).resolve().parent.parent
MODELS = REPO / "src" / "lumivex" / "upscale" / "models"
DATA = pathlib.Path(skimage.__file__).parent / "data"

# Photos from scikit-image's wheel used for training. Held out for evaluation: astronaut, chelsea, coffee,
# rocket. Left out as not photographic: chessboard_*, color, horse, logo, phantom, microaneurysms (tiny
# synthetic or binary images) and clock_motion (deliberately motion-blurred).
TRAIN_PHOTOS = (
    "brick.png", "camera.png", "cell.png", "coins.png", "grass.png", "gravel.png", "hubble_deep_field.jpg",
    "ihc.png", "moon.png", "motorcycle_left.png", "motorcycle_right.png", "page.png", "retina.jpg", "text.png",
)
HELD_OUT = ("astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg")

SEED = 20261208
THREADS = 1  # one thread per scale; run the two scales side by side on two cores
PATCH = 32     # side of the patch the network predicts, in input pixels (it reads 2r more)
BATCH = 32
OPSET = 17


class SuperResolution(nn.Module):
    """ESPCN-sized single-channel network: one edge padding of the input, unpadded convolutions, and a
    learned linear upsampler (started as bicubic) added before the pixel shuffle.

    Padding only once, at the input, means training on real image content alone (no padded borders inside
    the network) and gives every output pixel the same dependence on the (2r+1)² input pixels around it (r the
    receptive field radius), which keeps tiled inference equal to whole-image inference away from tile borders.
    """

    def __init__(self, scale: int, features=(64, 64, 32)):
        super().__init__()
        self.scale = scale
        widths = (1, *features)
        kernels = (5,) + (3,) * len(features)
        layers = []
        for width_in, width_out, kernel in zip(widths, widths[1:], kernels):
            layers += [nn.Conv2d(width_in, width_out, kernel), nn.ReLU()]
        layers.append(nn.Conv2d(widths[-1], scale * scale, kernels[-1]))
        self.body = nn.Sequential(*layers)
        self.radius = sum(k // 2 for k in kernels)
        self.skip = nn.Conv2d(1, scale * scale, 2 * self.radius + 1)
        with torch.no_grad():
            self.skip.weight.copy_(torch.from_numpy(bicubic_phase_kernels(scale, self.radius)))
            self.skip.bias.zero_()
            # The residual branch starts silent, so training starts from plain bicubic upscaling.
            self.body[-1].weight.mul_(0.01)
            self.body[-1].bias.zero_()

    def features(self, padded: torch.Tensor) -> torch.Tensor:
        """(N, 1, H + 2r, W + 2r) input, already padded, to (N, scale², H, W) sub-pixel phases."""
        return self.body(padded) + self.skip(padded)

    def forward(self, image: torch.Tensor) -> torch.Tensor:
        r = self.radius
        padded = functional.pad(image, (r, r, r, r), mode="replicate")
        return functional.pixel_shuffle(self.features(padded), self.scale)


def pillow_bicubic(t: float) -> float:
    """Pillow's bicubic kernel (a = -0.5)."""
    a, t = -0.5, abs(t)
    if t < 1:
        return ((a + 2) * t - (a + 3)) * t * t + 1
    if t < 2:
        return (((t - 5) * t + 8) * t - 4) * a
    return 0.0


def bicubic_phase_kernels(scale: int, radius: int) -> np.ndarray:
    """(scale², 1, 2r+1, 2r+1) weights: channel i*scale+j gives output pixel (k*scale+i, l*scale+j) of
    Pillow's bicubic enlargement from the input around (k, l) (pixel centres aligned as Pillow does)."""
    taps = np.arange(-radius, radius + 1)
    rows = []
    for phase in range(scale):
        offset = (phase + 0.5) / scale - 0.5
        weights = np.array([pillow_bicubic(t - offset) for t in taps])
        rows.append(weights / weights.sum())
    kernels = np.zeros((scale * scale, 1, taps.size, taps.size), np.float32)
    for i in range(scale):
        for j in range(scale):
            kernels[i * scale + j, 0] = np.outer(rows[i], rows[j])
    return kernels


def load_photos(names) -> list[list[np.ndarray]]:
    """Each photo as the list of its colour channels, each an 8-bit image (grayscale photos give one)."""
    photos = []
    for name in names:
        with Image.open(DATA / name) as image:
            array = np.asarray(image if image.mode in ("L", "RGB") else image.convert("RGB"))
        photos.append([array] if array.ndim == 2 else [array[:, :, c] for c in range(array.shape[2])])
    return photos


def degrade(channel: np.ndarray, scale: int) -> tuple[np.ndarray, np.ndarray]:
    """(high, low) float32 pair in [0, 1]: the channel cropped to a multiple of scale, and its Pillow
    bicubic reduction by scale, rounded to 8 bits as a stored image would be."""
    h, w = (s - s % scale for s in channel.shape)
    high = channel[:h, :w]
    low = np.asarray(Image.fromarray(high).resize((w // scale, h // scale), Image.Resampling.BICUBIC))
    return high.astype(np.float32) / 255, low.astype(np.float32) / 255


class PatchSampler:
    """Random aligned (low, high) patch pairs with random flips and transposes. A photo is drawn uniformly,
    then one of its channels, so the one large photo (retina) does not dominate."""

    def __init__(self, photos, scale: int, radius: int, rng: np.random.Generator):
        self.photos = photos
        self.scale, self.radius, self.rng = scale, radius, rng

    def batch(self, size: int) -> tuple[torch.Tensor, torch.Tensor]:
        s, r, side = self.scale, self.radius, PATCH + 2 * self.radius
        lows, highs = [], []
        for _ in range(size):
            channels = self.photos[self.rng.integers(len(self.photos))]
            high, low = channels[self.rng.integers(len(channels))]
            y = int(self.rng.integers(0, low.shape[0] - side + 1))
            x = int(self.rng.integers(0, low.shape[1] - side + 1))
            lo = low[y:y + side, x:x + side]
            hi = high[(y + r) * s:(y + r + PATCH) * s, (x + r) * s:(x + r + PATCH) * s]
            flip_y, flip_x, transpose = self.rng.integers(0, 2, size=3)
            if flip_y:
                lo, hi = lo[::-1], hi[::-1]
            if flip_x:
                lo, hi = lo[:, ::-1], hi[:, ::-1]
            if transpose:
                lo, hi = lo.T, hi.T
            lows.append(lo)
            highs.append(hi)
        as_tensor = lambda patches: torch.from_numpy(np.ascontiguousarray(np.stack(patches))[:, None])
        return as_tensor(lows), as_tensor(highs)


def train(scale: int, features, steps: int, log_every: int) -> SuperResolution:
    torch.manual_seed(SEED + scale)
    rng = np.random.default_rng(SEED + scale)
    model = SuperResolution(scale, features)
    photos = [[degrade(channel, scale) for channel in photo] for photo in load_photos(TRAIN_PHOTOS)]
    sampler = PatchSampler(photos, scale, model.radius, rng)
    optimizer = torch.optim.Adam(model.parameters(), lr=1e-3)
    schedule = torch.optim.lr_scheduler.OneCycleLR(optimizer, max_lr=2e-3, total_steps=steps, pct_start=0.05)
    running = 0.0
    started_cpu, started_wall = time.process_time(), time.monotonic()
    for step in range(1, steps + 1):
        low, high = sampler.batch(BATCH)
        output = functional.pixel_shuffle(model.features(low), scale)
        loss = functional.l1_loss(output, high)
        optimizer.zero_grad(set_to_none=True)
        loss.backward()
        optimizer.step()
        schedule.step()
        running += loss.item()
        if step % log_every == 0 or step == steps:
            print(f"x{scale} step {step}/{steps}  L1 {running / log_every:.5f}  "
                  f"cpu {time.process_time() - started_cpu:.0f} s  wall {time.monotonic() - started_wall:.0f} s",
                  flush=True)
            running = 0.0
    return model.eval()


def export_onnx(model: SuperResolution, path: pathlib.Path) -> None:
    """Writes the graph by hand: Pad(edge) -> convolutions -> + skip -> fold -> DepthToSpace.

    input (N, C, H, W) is reshaped to (N*C, 1, H, W); the network's (N*C, s², H, W) phases are reshaped to
    (N, C*s², H, W), whose channel order (channel-major, then phase) is DepthToSpace's CRD order, giving
    (N, C, s*H, s*W) without a further reshape."""
    s, r = model.scale, model.radius
    initializers = [
        numpy_helper.from_array(np.array([-1, 1, 0, 0], np.int64), "fold_shape"),
        numpy_helper.from_array(np.array([0, 0, r, r, 0, 0, r, r], np.int64), "pads"),
        numpy_helper.from_array(np.array([-1, 0, 0], np.int64), "unfold_tail"),
    ]
    nodes = [
        helper.make_node("Reshape", ["input", "fold_shape"], ["single"]),
        helper.make_node("Pad", ["single", "pads"], ["padded"], mode="edge"),
    ]

    def conv(name: str, layer: nn.Conv2d, source: str) -> str:
        initializers.append(numpy_helper.from_array(layer.weight.detach().numpy(), f"{name}.weight"))
        initializers.append(numpy_helper.from_array(layer.bias.detach().numpy(), f"{name}.bias"))
        nodes.append(helper.make_node("Conv", [source, f"{name}.weight", f"{name}.bias"], [name],
                                      kernel_shape=list(layer.kernel_size)))
        return name

    current = "padded"
    convs = [m for m in model.body if isinstance(m, nn.Conv2d)]
    for index, layer in enumerate(convs):
        current = conv(f"conv{index}", layer, current)
        if index < len(convs) - 1:
            nodes.append(helper.make_node("Relu", [current], [f"relu{index}"]))
            current = f"relu{index}"
    skip = conv("skip", model.skip, "padded")
    nodes += [
        helper.make_node("Add", [current, skip], ["phases"]),
        helper.make_node("Shape", ["input"], ["batch_size"], start=0, end=1),
        helper.make_node("Concat", ["batch_size", "unfold_tail"], ["unfold_shape"], axis=0),
        helper.make_node("Reshape", ["phases", "unfold_shape"], ["unfolded"]),
        helper.make_node("DepthToSpace", ["unfolded"], ["output"], blocksize=s, mode="CRD"),
    ]
    graph = helper.make_graph(
        nodes, f"sr_x{s}",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, ["N", "C", "H", "W"])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, ["N", "C", f"{s}*H", f"{s}*W"])],
        initializers,
    )
    proto = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="lumivex tools/train_sr.py")
    proto.ir_version = 8  # runs on every onnxruntime release since 1.13
    proto.doc_string = (f"lumivex x{s} super-resolution: float32 NCHW in [0, 1], any channel count, output "
                        f"not clamped; receptive field radius {r} input pixels")
    helper.set_model_props(proto, {"scale": str(s), "receptive_field_radius": str(r)})
    onnx.checker.check_model(proto, full_check=True)
    path.parent.mkdir(parents=True, exist_ok=True)
    onnx.save(proto, path)


def check_export(model: SuperResolution, path: pathlib.Path) -> float:
    """Largest difference between the ONNX file under onnxruntime and the torch model, over shapes that
    exercise the channel folding."""
    session = onnxruntime.InferenceSession(str(path), providers=["CPUExecutionProvider"])
    rng = np.random.default_rng(0)
    worst = 0.0
    for shape in ((1, 1, 17, 23), (2, 3, 40, 31), (1, 4, 9, 64)):
        image = rng.random(shape, dtype=np.float32)
        got = session.run(["output"], {"input": image})[0]
        with torch.no_grad():
            single = model(torch.from_numpy(image.reshape(-1, 1, *shape[2:])))
        want = single.numpy().reshape(shape[0], shape[1], *single.shape[2:])
        assert got.shape == want.shape, (got.shape, want.shape)
        worst = max(worst, float(np.abs(got - want).max()))
    return worst


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, choices=(2, 4), required=True)
    parser.add_argument("--steps", type=int, default=5000, help="optimizer steps (default 5000)")
    parser.add_argument("--features", type=int, nargs="+", default=[64, 64, 32],
                        help="widths of the hidden layers: a 5x5 layer, then 3x3 ones (default 64 64 32)")
    parser.add_argument("--log-every", type=int, default=100)
    parser.add_argument("--output", type=pathlib.Path, help="ONNX file (default: the package's models folder)")
    args = parser.parse_args()
    torch.set_num_threads(THREADS)
    torch.set_flush_denormal(True)  # tiny gradients late in training would otherwise crawl
    torch.use_deterministic_algorithms(True)
    cpu, wall = time.process_time(), time.monotonic()
    model = train(args.scale, args.features, args.steps, args.log_every)
    path = args.output or MODELS / f"sr_x{args.scale}.onnx"
    export_onnx(model, path)
    difference = check_export(model, path)
    parameters = sum(p.numel() for p in model.parameters())
    print(f"x{args.scale}: {parameters} parameters, receptive field radius {model.radius}, "
          f"{path.stat().st_size} bytes -> {path}; onnxruntime vs torch max |diff| {difference:.2e}; "
          f"cpu {time.process_time() - cpu:.0f} s, wall {time.monotonic() - wall:.0f} s")
    if difference > 1e-4:
        print("export differs from the trained model", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
