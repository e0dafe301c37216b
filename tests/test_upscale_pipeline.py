"""The tiled upscaling road: tiles merge into the whole-image result, and running out of device memory falls
back to smaller batches, then smaller tiles."""

import numpy as np
import pytest

# A GPU machine without a network may lack the optional packages; there these tests skip with a reason.
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")

from lumivex.testing.networks import write_placeholder_network
from lumivex.upscale import models
from lumivex.upscale.pipeline import upscale


@pytest.fixture(scope="module")
def placeholders(tmp_path_factory):
    folder = tmp_path_factory.mktemp("networks")
    return {scale: models.OnnxModel(write_placeholder_network(folder / f"x{scale}.onnx", scale))
            for scale in (2, 4)}


def photo_like(cp, height, width, channels=3, seed=0):
    """Smooth shapes with a little noise, in [0, 1]."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width] / 37.0
    planes = [0.5 + 0.3 * np.sin(x * rng.uniform(0.5, 2) + y * rng.uniform(0.5, 2) + k) for k in range(channels)]
    pixels = np.stack(planes, axis=2) + 0.05 * rng.standard_normal((height, width, channels))
    return cp.asarray(np.clip(pixels, 0, 1).astype(np.float32))


def whole_image_result(cp, model, image):
    batch = cp.ascontiguousarray(image.transpose(2, 0, 1)[None])
    return model(batch)[0].transpose(1, 2, 0)


def psnr(expected, actual):
    with np.errstate(divide="ignore"):  # identical results: infinite
        return 10 * np.log10(1 / np.mean((expected.astype(np.float64) - actual) ** 2))


@pytest.mark.parametrize("network", ["placeholder", "builtin"])
@pytest.mark.parametrize("scale", [2, 4])
@pytest.mark.parametrize("geometry", [{}, {"tile_size": 40, "overlap": 6, "batch_size": 3}],
                         ids=["defaults", "small tiles"])
def test_tiled_result_equals_the_whole_image_result(cp, to_host, placeholders, network, scale, geometry):
    if network == "builtin":
        try:
            model = models.load_model("builtin", scale)
        except FileNotFoundError as missing:
            pytest.skip(str(missing))
    else:
        model = placeholders[scale]
    image = photo_like(cp, 300, 530)  # more than one window each way with the default tile size
    tiled = to_host(upscale(image, model, scale, **geometry))
    assert tiled.shape == (300 * scale, 530 * scale, 3)
    assert psnr(to_host(whole_image_result(cp, model, image)), tiled) >= 50


class ShortOfMemory:
    """A model that runs out of device memory for batches or windows above a size, recording what ran."""

    def __init__(self, cp, model, max_batch, max_side):
        self.cp, self.model, self.max_batch, self.max_side = cp, model, max_batch, max_side
        self.ran = []

    def __call__(self, batch):
        if batch.shape[0] > self.max_batch or batch.shape[2] > self.max_side:
            raise self.cp.cuda.memory.OutOfMemoryError(batch.nbytes * 100, 0)
        self.ran.append(batch.shape)
        return self.model(batch)


@pytest.mark.parametrize("max_batch, max_side, smaller_tiles", [
    (1, 1000, False),   # halves the batch down to one window
    (2, 40, True),      # halves the batch, then (still short) the tile size
])
def test_running_out_of_memory_halves_the_batch_then_the_tile_size(cp, to_host, placeholders, max_batch,
                                                                   max_side, smaller_tiles):
    image = photo_like(cp, 150, 230)
    before = to_host(image).copy()
    plenty = ShortOfMemory(cp, placeholders[2], 4, 1000)
    upscale(image, plenty, 2, tile_size=64, overlap=8, batch_size=4)
    short = ShortOfMemory(cp, placeholders[2], max_batch, max_side)
    result = to_host(upscale(image, short, 2, tile_size=64, overlap=8, batch_size=4))
    assert {shape[0] for shape in short.ran[:-1]} == {max_batch}  # the last batch may be a remainder
    assert (max(shape[2] for shape in short.ran) < plenty.ran[0][2]) == smaller_tiles
    assert psnr(to_host(whole_image_result(cp, placeholders[2], image)), result) >= 50
    np.testing.assert_array_equal(to_host(image), before)


def test_out_of_memory_for_the_smallest_tile_is_raised(cp, placeholders):
    short = ShortOfMemory(cp, placeholders[2], 1, 0)
    with pytest.raises(cp.cuda.memory.OutOfMemoryError):
        upscale(photo_like(cp, 50, 50), short, 2, tile_size=64, overlap=8)


def test_a_torch_module_is_a_model(cp, to_host):
    torch = pytest.importorskip("torch")
    from lumivex.testing import using_standin

    module = torch.nn.Sequential(torch.nn.Conv2d(3, 12, 3, padding=1), torch.nn.ReLU(),
                                 torch.nn.Conv2d(12, 12, 3, padding=1), torch.nn.PixelShuffle(2))
    model = models.TorchModel(module if using_standin() else module.cuda())
    image = photo_like(cp, 90, 130)
    tiled = to_host(upscale(image, model, 2, tile_size=40, overlap=6))
    assert psnr(to_host(whole_image_result(cp, model, image)), tiled) >= 50


class RowReader:
    """A 16-bit image read row band by row band, recording what was asked for."""

    def __init__(self, pixels):
        self.pixels = pixels
        self.height, self.width, self.channels = pixels.shape
        self.asked = []

    def read_rows(self, y0, y1):
        self.asked.append((y0, y1))
        return self.pixels[y0:y1]


@pytest.mark.parametrize("overlap", [8, 9], ids=["even overlap", "odd overlap"])
def test_bands_equal_the_whole_image_result_bit_for_bit(cp, to_host, monkeypatch, placeholders, overlap):
    from lumivex.upscale import pipeline

    pixels = np.random.default_rng(3).integers(0, 65536, (203, 71, 4), dtype=np.uint16)
    image = cp.asarray(pixels.astype(np.float32) / 65535)
    whole = to_host(upscale(image, placeholders[2], 2, tile_size=40, overlap=overlap, batch_size=3))
    monkeypatch.setattr(pipeline, "BAND_ELEMENTS", 1)  # as few core rows per band as the overlap allows
    reader = RowReader(pixels)
    bands = [to_host(band) for band in pipeline.upscale_bands(reader, placeholders[2], 2, tile_size=40,
                                                              overlap=overlap, batch_size=3, planes=(3, 1))]
    assert len(bands) > 3
    np.testing.assert_array_equal(np.concatenate(bands), whole)
    starts, ends = zip(*reader.asked)
    assert list(starts) == sorted(starts) and list(ends) == sorted(ends) and max(e - s for s, e in reader.asked) < 100


@pytest.mark.parametrize("scale", [3, 1.5, 0.5])
def test_another_scale_resizes_the_networks_result_band_by_band(cp, to_host, monkeypatch, placeholders, scale):
    from lumivex.transform.resize import resize
    from lumivex.upscale import rescale

    image = photo_like(cp, 61, 45)
    full = upscale(image, placeholders[2], tile_size=32, overlap=8)
    monkeypatch.setattr(rescale, "OUTPUT_ROWS", 7)
    result = to_host(upscale(image, placeholders[2], scale, tile_size=32, overlap=8))
    assert result.shape == (int(61 * scale + 0.5), int(45 * scale + 0.5), 3)
    np.testing.assert_array_equal(result, to_host(resize(full, dsize=result.shape[1::-1])))


class Nearest:
    """Enlarges each pixel into a `scale` x `scale` block."""

    def __init__(self, scale):
        self.scale = scale

    def __call__(self, batch):
        return batch.repeat(self.scale, axis=2).repeat(self.scale, axis=3)


@pytest.mark.parametrize("shape", [(1, 1, 3), (1, 7, 1), (3, 2, 4)])
@pytest.mark.parametrize("scale", [1, 2, 3])
def test_images_of_a_few_pixels_are_upscaled(cp, to_host, shape, scale):
    pixels = np.random.default_rng(1).random(shape, dtype=np.float32)
    result = to_host(upscale(cp.asarray(pixels), Nearest(scale)))
    np.testing.assert_allclose(result, pixels.repeat(scale, axis=0).repeat(scale, axis=1), rtol=1e-6)


@pytest.mark.parametrize("width, height", [(640, 272), (320, 180), (300, None)],
                         ids=["whole image", "smaller than a call holds", "height not known"])
def test_the_chosen_geometry_takes_at_most_half_the_free_memory(monkeypatch, placeholders, width, height):
    from lumivex.upscale import memory
    from lumivex.upscale.grid import Grid

    def choose(free):
        monkeypatch.setattr(memory, "_free_bytes", lambda on_gpu: int(free))
        return memory.choose_geometry(placeholders[2], scale=2, overlap=10, width=width, height=height,
                                      on_gpu=False)

    ample = choose(64e9)  # the image is one window: every pixel computed once, whatever its height
    grid = Grid.of(height or 5 * width, width, ample.tile_size, 10)
    assert ample.batch_size == 1 and len(grid.columns) == 1 and len(grid.rows) == (1 if height else 5)
    tight = choose(1.5 * ample.estimate)  # the ample choice would take two thirds of it
    assert tight.estimate <= tight.free / 2 and tight.tile_size < ample.tile_size


def test_the_estimate_holds_after_the_network_has_run(cp):
    from lumivex.upscale import memory

    try:
        model = models.load_model("builtin", 2)
    except FileNotFoundError as missing:
        pytest.skip(str(missing))
    before = memory.choose_geometry(model, scale=2, overlap=10, width=640, height=272)
    # ONNX Runtime keeps what a call allocated for the next: measured on this session, a window no larger
    # than this one would show no growth at all.
    model(cp.full((1, 3, 512, 512), 0.5, dtype=cp.float32))
    after = memory.choose_geometry(model, scale=2, overlap=10, width=640, height=272)
    assert after.estimate > 0.8 * before.estimate
