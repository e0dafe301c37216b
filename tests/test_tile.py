"""Tests of lumivex.upscale.tile: reflective padding, tiling, the Gaussian window and the tile merge.

Runs on the NumPy stand-in and, unchanged, on real CuPy; arrays are compared on the host.
"""

import random
import sys
import types

import numpy as np
import pytest

from lumivex.upscale import tile as T


def host_image(shape, seed=0, dtype=np.float32):
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "u":
        return rng.integers(0, 256, size=shape).astype(dtype)
    return rng.random(shape).astype(dtype)


def enlarge(cp, image, scale):
    """A stand-in model: nearest-neighbour enlargement, exact for every pixel value."""
    return image.repeat(scale, axis=0).repeat(scale, axis=1) if scale > 1 else image


def body_line(excinfo, function):
    """The source line of the traceback entry the module adds for `function`."""
    name = f"lumivex.upscale.tile.{function}"
    lines = [tb.tb_lineno for tb in _walk(excinfo.tb) if tb.tb_frame.f_code.co_name == name]
    assert len(lines) == 1, lines
    return lines[0]


def _walk(tb):
    while tb is not None:
        yield tb
        tb = tb.tb_next


# ---- padding ----

@pytest.mark.parametrize("height, width, patch, overlap, expected", [
    (256, 256, 128, 16, (352, 352)),
    (240, 300, 128, 16, (240, 352)),
    (464, 100, 128, 16, (464, 128)),
    (10, 10, 128, 16, (16, 16)),
    (16, 16, 128, 16, (16, 16)),
    (100, 100, 64, 0, (128, 128)),
])
def test_padding_is_the_smallest_fit_and_mirrors(cp, to_host, height, width, patch, overlap, expected):
    host = host_image((height, width, 3))
    padded = T.add_padding(cp.asarray(host), patch, overlap)
    assert padded.shape == expected + (3,) and padded.dtype == host.dtype
    reference = np.pad(host, ((0, expected[0] - height), (0, expected[1] - width), (0, 0)), mode="reflect")
    np.testing.assert_array_equal(to_host(padded), reference)


def test_padding_keeps_integer_dtype_and_passes_one_shared_zero_pair(cp, recorder, monkeypatch):
    pad = recorder(wrapped=cp.pad)
    monkeypatch.setattr(T, "cp", types.SimpleNamespace(pad=pad))
    image = cp.asarray(host_image((256, 240, 3), dtype=np.uint8))
    assert T.add_padding(image).dtype == np.uint8
    T.add_padding(image, overlap=0)
    (args0, kwargs0), (args1, kwargs1) = pad.calls
    assert args0[0] is image and kwargs0 == {"mode": "reflect"}
    assert args0[1] == ((0, 96), (0, 0), (0, 0)) and args1[1] == ((0, 0), (0, 16), (0, 0))
    assert args0[1][2] is args1[1][2]


# ---- tiling ----

@pytest.mark.parametrize("height, width, size, overlap, padded, origins", [
    (256, 256, 128, 16, (352, 352), [(y, x) for y in (0, 112, 224) for x in (0, 112, 224)]),
    (240, 240, 128, 16, (240, 240), [(0, 0), (0, 112), (112, 0), (112, 112)]),
    (100, 300, 128, 16, (128, 352), [(0, 0), (0, 112), (0, 224)]),
    (16, 500, 128, 16, (16, 576), []),
    (128, 128, 64, 0, (128, 128), [(0, 0), (0, 64), (64, 0), (64, 64)]),
])
def test_tiles_are_row_major_views_of_the_padded_image(cp, to_host, monkeypatch, height, width, size, overlap,
                                                       padded, origins):
    made, pad = [], T.add_padding

    def keep_padded(*args, **kwargs):
        made.append(pad(*args, **kwargs))
        return made[-1]

    monkeypatch.setattr(T, "add_padding", keep_padded)
    image = cp.asarray(host_image((height, width, 3)))
    tiles, shape = T.tile_image(image, size, overlap)
    assert isinstance(tiles, list) and shape == padded + (3,)
    assert len(tiles) == len(origins)
    full = made[0]
    for tile, (y, x) in zip(tiles, origins):
        assert tile.shape == (size, size, 3)
        np.testing.assert_array_equal(to_host(tile), to_host(full)[y:y + size, x:x + size])
        assert cp.shares_memory(tile, full)
    if overlap and len(tiles) > 1:  # neighbours overlap in the one padded array: a write shows through
        tiles[0][size - 1, size - 1] = 7
        assert float(tiles[1][size - 1, size - 1 - origins[1][1], 0]) == 7


# ---- Gaussian window ----

@pytest.mark.parametrize("size, sigma, expected", [
    (3, 1, [[0.075114, 0.123841, 0.075114], [0.123841, 0.204180, 0.123841], [0.075114, 0.123841, 0.075114]]),
    (4, 1, [[0.038158, 0.059512, 0.059512, 0.038158], [0.059512, 0.092817, 0.092817, 0.059512],
            [0.059512, 0.092817, 0.092817, 0.059512], [0.038158, 0.059512, 0.059512, 0.038158]]),
    (2, 1, [[0.25, 0.25], [0.25, 0.25]]),
    (2, -7, [[0.25, 0.25], [0.25, 0.25]]),
    (1, 3, [[1.0]]),
])
def test_window_values(cp, to_host, size, sigma, expected):
    weights = T.create_gaussian_weights(size, sigma)
    assert weights.shape == (size, size, 1) and weights.dtype == np.float64
    np.testing.assert_allclose(to_host(weights)[:, :, 0], expected, atol=5e-7)


@pytest.mark.parametrize("size, sigma", [(5, 1), (64, 16), (128, 32), (31, 2)])
def test_window_is_symmetric_normalised_and_sign_blind(cp, to_host, size, sigma):
    w = to_host(T.create_gaussian_weights(size, sigma))[:, :, 0]
    np.testing.assert_allclose(w, w[::-1], rtol=1e-12)
    np.testing.assert_allclose(w, w[:, ::-1], rtol=1e-12)
    np.testing.assert_allclose(w, w.T, rtol=1e-12)
    assert w.sum() == pytest.approx(1.0, rel=1e-12)
    middle = w[(size - 1) // 2:size // 2 + 1, (size - 1) // 2:size // 2 + 1]
    assert (middle == w.max()).all()
    np.testing.assert_array_equal(to_host(T.create_gaussian_weights(size, -sigma))[:, :, 0], w)
    np.testing.assert_array_equal(to_host(T.create_gaussian_weights(size, sigma=sigma))[:, :, 0], w)


def test_empty_window(cp):
    assert T.create_gaussian_weights(0, 1).shape == (0, 0, 1)


# ---- merging ----

@pytest.mark.parametrize("scale", [1, 2, 4])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_identity_tiles_give_the_image_back(cp, to_host, scale, dtype):
    host = host_image((256, 256, 3), seed=scale, dtype=dtype)
    tiles, padded = T.tile_image(cp.asarray(host))
    out = T.merge_tiles([enlarge(cp, t, scale) for t in tiles], (256, 256, 3), padded, scale)
    assert out.shape == (256 * scale, 256 * scale, 3) and out.dtype == np.float32
    expected = enlarge(cp, host, scale).astype(np.float32)
    result = to_host(out)
    # (5, 5) one tile, (120, 5) two, (120, 120) four: each blend is the exact weighted average.
    for y, x in [(5, 5), (120, 5), (120, 120), (255, 255)]:
        np.testing.assert_allclose(result[y * scale, x * scale], expected[y * scale, x * scale], rtol=1e-6)
    np.testing.assert_allclose(result, expected, rtol=1e-6, atol=1e-7)


def test_constant_image_comes_back_unchanged_and_blend_is_the_weighted_mean(cp, to_host):
    tiles, padded = T.tile_image(cp.full((256, 256, 3), 0.7, dtype=cp.float32))
    np.testing.assert_allclose(to_host(T.merge_tiles(tiles, (256, 256, 3), padded, 1)), 0.7, rtol=1e-6)
    # Tile k holds the constant k: a pixel covered by tiles i, j comes out (w_i i + w_j j) / (w_i + w_j).
    flat = [cp.full((128, 128, 1), float(k), dtype=cp.float32) for k in range(9)]
    out = to_host(T.merge_tiles(flat, (352, 352, 1), (352, 352, 1), 1))
    w = to_host(T.create_gaussian_weights(128, 32))[:, :, 0]
    y, x = 120, 5  # rows 112..127 of tile 0 and rows 0..15 of tile 3
    expected = (w[120, 5] * 0 + w[8, 5] * 3) / (w[120, 5] + w[8, 5])
    assert out[y, x, 0] == pytest.approx(expected, rel=1e-6)


def test_uncovered_pixels_are_zero_and_finite(cp, to_host):
    tiles, _ = T.tile_image(cp.ones((240, 240, 3), dtype=cp.float32))
    out = to_host(T.merge_tiles(tiles, (300, 300, 3), (300, 300, 3), 1))
    assert np.isfinite(out).all()
    np.testing.assert_allclose(out[:240, :240], 1.0, rtol=1e-6)
    assert not out[240:].any() and not out[:, 240:].any()


def test_integer_tiles_are_converted(cp, to_host):
    host = host_image((240, 240, 3), dtype=np.uint8)
    tiles, padded = T.tile_image(cp.asarray(host))
    out = T.merge_tiles(tiles, (240, 240, 3), padded, 1)
    assert out.dtype == np.float32
    np.testing.assert_allclose(to_host(out), host / 255.0, rtol=1e-6, atol=1e-7)


def test_no_grid_positions_reads_no_tile(cp, to_host):
    out = T.merge_tiles([], (5, 6, 3), (16, 16, 2), 1)
    assert out.shape == (5, 6, 2) and not to_host(out).any()


@pytest.mark.parametrize("tiles, error, message", [
    (lambda cp: [], IndexError, "list index out of range"),
    (lambda cp: [cp.zeros((128, 128, 3))] * 3, IndexError, "list index out of range"),
    (lambda cp: [cp.zeros((64, 64, 3))] * 4, ValueError, "broadcast"),
    (lambda cp: [cp.zeros((128, 128, 5))] * 4, ValueError, "broadcast"),
])
def test_bad_tile_lists(cp, tiles, error, message):
    with pytest.raises(error, match=message):
        T.merge_tiles(tiles(cp), (240, 240, 3), (240, 240, 3), 1)


# ---- faults that raise instead of giving a wrong or empty result ----

@pytest.mark.parametrize("call, error, match", [
    (lambda cp: T.create_gaussian_weights(8, 0), ValueError, "sigma"),
    (lambda cp: T.merge_tiles([cp.ones((3, 3, 3))], (3, 3, 3), (3, 3, 3), 1, 3, 0), ValueError, "sigma"),
    (lambda cp: T.add_padding(cp.ones((20, 20, 3)), 8, 16), ValueError,
     r"^patch_size \(8\) must not be smaller than overlap \(16\)$"),
    (lambda cp: T.tile_image(cp.ones((32, 32, 3)), 16, 24), ValueError,
     r"^patch_size \(16\) must not be smaller than overlap \(24\)$"),
    (lambda cp: T.merge_tiles([], (32, 32, 3), (32, 32, 3), 1, 8, 16), ValueError,
     r"^tile_size \(8\) must not be smaller than overlap \(16\)$"),
    (lambda cp: T.tile_image(cp.ones((32, 32, 3)), 16, 16), ZeroDivisionError, "modulo"),
    (lambda cp: T.add_padding(cp.ones(20)), IndexError, "tuple index"),
    (lambda cp: T.add_padding(cp.float32(1)), IndexError, "tuple index"),
    (lambda cp: T.merge_tiles([], (4, 4), (4, 4, 3), 1), IndexError, "tuple index"),
    (lambda cp: T.merge_tiles([], (4, 4, 3), (4,), 1), IndexError, "tuple index"),
])
def test_mended_faults(cp, call, error, match):
    with pytest.raises(error, match=match):
        call(cp)


# ---- names looked up at each use ----

def test_recorded_calls(cp, recorder, monkeypatch):
    image = cp.asarray(host_image((240, 240, 3)))
    padder = recorder(wrapped=T.add_padding)
    monkeypatch.setattr(T, "add_padding", padder)
    tiles, padded = T.tile_image(image, 128, 16)
    assert padder.calls == [((image,), {"patch_size": 128, "overlap": 16})]

    convert = recorder(wrapped=T.to_float32)
    window = recorder(wrapped=T.create_gaussian_weights)
    monkeypatch.setattr(T, "to_float32", convert)
    monkeypatch.setattr(T, "create_gaussian_weights", window)
    enlarged = [enlarge(cp, t, 2) for t in tiles]
    T.merge_tiles(enlarged + [None], (240, 240, 3), padded, 2)  # the extra entry is never read
    assert window.calls == [((256,), {"sigma": 64})]
    assert len(convert.calls) == len(enlarged) == 4
    assert all(args == (t,) and args[0] is t and not kw for (args, kw), t in zip(convert.calls, enlarged))


def test_range_is_the_one_held_since_import(cp, recorder, monkeypatch):
    import builtins

    rebound = recorder(wrapped=range)
    monkeypatch.setattr(builtins, "range", rebound)
    tiles, padded = T.tile_image(cp.ones((240, 240, 3)))
    merged = T.merge_tiles(tiles, (240, 240, 3), padded, 1)
    monkeypatch.undo()
    assert len(tiles) == 4 and merged.shape == (240, 240, 3)
    assert (0, 113, 112) not in [args for args, _ in rebound.calls]  # the grid loops never saw the rebinding


# ---- traceback lines ----

def _raise(*args, **kwargs):
    raise RuntimeError("boom")


@pytest.mark.parametrize("patch, call, line", [
    ({}, lambda cp: T.merge_tiles([], (240, 240, 3), (240, 240, 3), 1), 75),
    ({"to_float32": _raise}, lambda cp: T.merge_tiles([cp.ones((128, 128, 3))], (240, 240, 3), (240, 240, 3), 1), 76),
    ({"create_gaussian_weights": _raise}, lambda cp: T.merge_tiles([], (2, 2, 3), (2, 2, 3), 1), 71),
    ({"cp": types.SimpleNamespace()}, lambda cp: T.merge_tiles([], (2, 2, 3), (2, 2, 3), 1), 64),
    ({}, lambda cp: T.merge_tiles([], (4, 4), (4, 4, 3), 1), 59),
    ({}, lambda cp: T.merge_tiles([], (4, 4, 3), (4, 4), 1), 61),
    ({}, lambda cp: T.merge_tiles([], (4, 4, 3), (4, 4, 3), 1, 8, 16), 57),
    ({}, lambda cp: T.merge_tiles([], (40, 40, 3), (40, 40, 3), 1, 16, 16), 73),
    ({}, lambda cp: T.merge_tiles([cp.ones((64, 64, 3))], (240, 240, 3), (240, 240, 3), 1), 78),
    ({}, lambda cp: T.merge_tiles([cp.ones((128, 128, 5))], (240, 240, 3), (240, 240, 3), 1), 80),
])
def test_merge_failures_name_the_statement(cp, monkeypatch, patch, call, line):
    for name, value in patch.items():
        monkeypatch.setattr(T, name, value)
    with pytest.raises(Exception) as excinfo:
        call(cp)
    assert body_line(excinfo, "merge_tiles") == line


@pytest.mark.parametrize("call, function, line", [
    (lambda cp: T.add_padding(cp.ones((4, 4, 3)), 16, 16), "add_padding", 38),
    (lambda cp: T.add_padding(cp.ones(4)), "add_padding", 39),
    (lambda cp: T.add_padding(cp.ones((4, 4)), 8, 0), "add_padding", 45),
    (lambda cp: T.tile_image(cp.ones((4, 4)), 8, 0), "tile_image", 24),
])
def test_padding_and_tiling_failures_name_the_statement(cp, call, function, line):
    with pytest.raises(Exception) as excinfo:
        call(cp)
    assert body_line(excinfo, function) == line


def test_padded_shape_must_have_three_entries(cp, monkeypatch):
    monkeypatch.setattr(T, "add_padding", lambda image, **kwargs: cp.ones((4, 4)))
    with pytest.raises(ValueError, match="need more than 2 values to unpack") as excinfo:
        T.tile_image(cp.ones((4, 4, 3)), 8, 0)
    assert body_line(excinfo, "tile_image") == 25


class Padded:
    """What a rebound add_padding may return: an image whose shape is an iterable but no tuple or list."""

    def __init__(self, sizes):
        self.sizes = sizes

    @property
    def shape(self):
        return iter(self.sizes)

    def __getitem__(self, key):
        return key


@pytest.mark.parametrize("sizes, message", [
    ((6, 6, 3), None),
    ((6, 6), "need more than 2 values to unpack"),
    ((6,), "need more than 1 value to unpack"),
    ((6, 6, 3, 1), "too many values to unpack (expected 3)"),
])
def test_padded_shape_is_unpacked_from_any_iterable(monkeypatch, sizes, message):
    monkeypatch.setattr(T, "add_padding", lambda image, **kwargs: Padded(sizes))
    if message is None:
        tiles, _ = T.tile_image(None, 4, 2)
        rows = columns = [slice(0, 4), slice(2, 6)]
        assert tiles == [(row, column) for row in rows for column in columns]
        return
    with pytest.raises(ValueError) as excinfo:
        T.tile_image(None, 4, 2)
    assert str(excinfo.value) == message and body_line(excinfo, "tile_image") == 25


# ---- property: tile, identity model, merge ----

def test_round_trip_over_random_geometry(cp, to_host):
    rng = random.Random(20240611)
    for case in range(40):
        size = rng.randint(4, 48)
        overlap = rng.randint(0, size - 1)
        height, width = rng.randint(overlap + 1, 150), rng.randint(overlap + 1, 150)
        channels, scale = rng.randint(1, 4), rng.randint(1, 3)
        host = host_image((height, width, channels), seed=case)
        tiles, padded = T.tile_image(cp.asarray(host), size, overlap)
        out = T.merge_tiles([enlarge(cp, t, scale) for t in tiles], host.shape, padded, scale, size, overlap)
        expected = host.repeat(scale, axis=0).repeat(scale, axis=1)
        np.testing.assert_allclose(to_host(out), expected, rtol=2e-6, atol=1e-7,
                                   err_msg=f"size={size} overlap={overlap} shape={host.shape} scale={scale}")


# ---- reference counts ----

def test_no_reference_leaks(cp):
    image = cp.asarray(host_image((100, 100, 3)))
    tiles, padded = T.tile_image(image, 32, 8)
    original = (100, 100, 3)
    short = (4, 4)
    size, overlap, scale = 3200, 800, 5000  # not cached small ints
    calls = [
        lambda: T.add_padding(image, 32, 8),
        lambda: T.tile_image(image, 32, 8),
        lambda: T.create_gaussian_weights(size, 0),
        lambda: T.merge_tiles(tiles, original, padded, 1, 32, 8),
        lambda: T.merge_tiles(tiles[:2], original, padded, 1, 32, 8),
        lambda: T.merge_tiles(tiles, short, padded, 1, 32, 8),
        lambda: T.merge_tiles(tiles, original, padded, scale, size, overlap + size),
        lambda: T.add_padding(image, size, overlap + size),
    ]
    watched = [image, tiles, padded, original, short, size, overlap, scale, *tiles]

    def run():
        for call in calls:
            try:
                call()
            except (ValueError, IndexError):
                pass

    run()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(50):
        run()
    assert [sys.getrefcount(obj) for obj in watched] == before
