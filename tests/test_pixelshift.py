"""Tests of the sub-pixel phase road: image_to_batch_pixelshift, pixelshift_fuse, and the two together.

Every case runs on the NumPy stand-in and, unchanged, on real CuPy.
"""

import gc
import sys

import numpy as np
import pytest

import lumivex.utils.shapery as shapery
from lumivex.utils.shapery import image_to_batch_pixelshift, pixelshift_fuse

SOURCE = "src/lumivex_source/utils/shapery"
MEAN_MESSAGE = "Mean must be a single value or a tuple of three values."


def host_image(shape, dtype=np.float32, seed=0):
    return np.random.default_rng(seed).integers(0, 100, size=shape).astype(dtype)


def failing_line(excinfo, function):
    """Source line of the traceback entry that the native body added for `function`."""
    lines = []
    tb = excinfo.value.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name == f"lumivex.utils.shapery.{function.__name__}" and code.co_filename == SOURCE:
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    assert len(lines) == 1, lines
    return lines[0]


def phase_reference(host, dim):
    """out[r*dim+s][ch, y, x] = image[y*dim+r, x*dim+s, ch], element by element."""
    h, w, c = host.shape
    out = np.empty((dim * dim, c, h // dim, w // dim), host.dtype)
    for r in range(dim):
        for s in range(dim):
            for y in range(h // dim):
                for x in range(w // dim):
                    out[r * dim + s, :, y, x] = host[y * dim + r, x * dim + s, :]
    return out


def fuse_reference(preds, start_idx, dim):
    """Sum of the enlarged, cyclically shifted predictions, from the per-pixel formula."""
    n, c, h, w = preds.shape
    hu, wu = h * dim, w * dim
    acc = np.zeros((c, hu, wu), np.float64)
    ys, xs = np.meshgrid(np.arange(hu), np.arange(wu), indexing="ij")
    for k in range(n):
        row, col = divmod(start_idx + k, dim)
        acc += preds[k][:, ((ys - row) % hu) // dim, ((xs - col) % wu) // dim]
    return acc


# ---- decomposition ----

def test_four_by_four_example_planes_in_row_major_phase_order(cp, to_host):
    image = cp.array(np.arange(16, dtype=np.int64).reshape(4, 4, 1))
    out = image_to_batch_pixelshift(image, 2, swap_rb=False)
    assert out.shape == (4, 1, 2, 2) and out.dtype == image.dtype
    planes = to_host(out)[:, 0].tolist()
    assert planes == [[[0, 2], [8, 10]], [[1, 3], [9, 11]], [[4, 6], [12, 14]], [[5, 7], [13, 15]]]
    assert not cp.shares_memory(out, image)


@pytest.mark.parametrize("shape, dim", [((8, 12, 3), 4), ((8, 12, 3), 2), ((6, 9, 1), 3), ((4, 8, 4), 4),
                                        ((5, 7, 2), 1)])
def test_every_pixel_lands_in_its_phase(cp, to_host, shape, dim):
    host = host_image(shape)
    out = image_to_batch_pixelshift(cp.array(host), dim, swap_rb=False)
    np.testing.assert_array_equal(to_host(out), phase_reference(host, dim))


def test_dim_one_is_a_channels_first_copy(cp, to_host):
    host = host_image((3, 5, 3))
    image = cp.array(host)
    out = image_to_batch_pixelshift(image, 1, swap_rb=False)
    np.testing.assert_array_equal(to_host(out), host.transpose(2, 0, 1)[np.newaxis])
    assert not cp.shares_memory(out, image)


def test_zero_rows_give_empty_phases(cp):
    out = image_to_batch_pixelshift(cp.zeros((0, 8, 3), cp.float32), swap_rb=False)
    assert out.shape == (16, 3, 0, 2)


# ---- argument errors and their order ----

@pytest.mark.parametrize("shape, kwargs, error, message", [
    ((5, 5), {"dim": 0}, ValueError, "dim must be \u2265 1"),
    ((6, 8, 3), {"dim": -3}, ValueError, "dim must be \u2265 1"),
    ((512, 512), {}, ValueError, "need more than 2 values to unpack"),
    ((512,), {}, ValueError, "need more than 1 value to unpack"),
    ((1, 512, 512, 3), {}, ValueError, "too many values to unpack (expected 3)"),
    ((6, 8, 3), {}, ValueError, "Image 6\u00d78 not divisible by dim=4"),
    ((8, 6, 3), {}, ValueError, "Image 8\u00d76 not divisible by dim=4"),
    ((9, 9, 3), {"dim": 2}, ValueError, "Image 9\u00d79 not divisible by dim=2"),
    ((8, 8, 3), {"dim": 4.0}, TypeError, "Argument 'dim' has incorrect type (expected int, got float)"),
    ((8, 8, 3), {"dim": True}, TypeError, "Argument 'dim' has incorrect type (expected int, got bool)"),
    ((8, 8, 3), {"scalefactor": 2}, TypeError,
     "Argument 'scalefactor' has incorrect type (expected float, got int)"),
])
def test_rejected_arguments_run_no_service(cp, monkeypatch, recorder, shape, kwargs, error, message):
    swap = recorder()
    monkeypatch.setattr(shapery, "bgr_to_rgb", swap)
    with pytest.raises(error) as excinfo:
        image_to_batch_pixelshift(cp.zeros(shape, cp.float32), **kwargs)
    assert str(excinfo.value) == message
    assert swap.calls == []


def test_dim_is_checked_before_the_image_is_looked_at():
    class NoShape:
        @property
        def shape(self):
            raise AssertionError("image read")

    with pytest.raises(ValueError, match="dim must be"):
        image_to_batch_pixelshift(NoShape(), 0)


# ---- preprocessing ----

@pytest.mark.parametrize("channels", [1, 3, 4])
@pytest.mark.parametrize("mean, subtracted", [(0.5, 0.5), (2, 2.0), ((2,), 2.0), ([1.5], 1.5), (True, 1.0)])
def test_single_mean_applies_to_every_channel(cp, to_host, channels, mean, subtracted):
    host = host_image((4, 4, channels))
    out = image_to_batch_pixelshift(cp.array(host), 2, mean=mean, swap_rb=False)
    np.testing.assert_array_equal(to_host(out), phase_reference(host - np.float32(subtracted), 2))


def test_three_means_go_per_channel_after_the_swap(cp, to_host):
    host = host_image((4, 4, 3))
    image = cp.array(host)
    out = image_to_batch_pixelshift(image, 2, mean=(1.0, 2.0, 3.0), scalefactor=0.5)
    expected = (host[..., ::-1] - np.float32([1, 2, 3])) * np.float32(0.5)
    np.testing.assert_array_equal(to_host(out), phase_reference(expected, 2))
    np.testing.assert_array_equal(to_host(image), host)  # the swap made a new working image


@pytest.mark.parametrize("mean", [(1.0, 2.0), (1, 2, 3, 4), []])
def test_bad_mean_length_fails_after_the_swap_before_any_change(cp, to_host, monkeypatch, recorder, mean):
    host = host_image((4, 4, 3))
    image = cp.array(host)
    swap = recorder(result=image)  # the working image is the caller's array
    monkeypatch.setattr(shapery, "bgr_to_rgb", swap)
    with pytest.raises(ValueError) as excinfo:
        image_to_batch_pixelshift(image, 2, mean=mean, scalefactor=2.0)
    assert str(excinfo.value) == MEAN_MESSAGE
    assert swap.calls == [((image,), {})]
    np.testing.assert_array_equal(to_host(image), host)


def test_without_swap_the_callers_array_is_preprocessed_in_place(cp, to_host):
    host = host_image((4, 8, 3))
    image = cp.array(host)
    out = image_to_batch_pixelshift(image, 2, scalefactor=2.0, mean=(1.0, 2.0, 3.0), swap_rb=False)
    expected = (host - np.float32([1, 2, 3])) * np.float32(2.0)
    np.testing.assert_array_equal(to_host(image), expected)
    np.testing.assert_array_equal(to_host(out), phase_reference(expected, 2))


def test_dtype_is_kept_and_the_mean_converted_to_it(cp, to_host):
    host = host_image((4, 4, 3), np.uint8) + 10
    out = image_to_batch_pixelshift(cp.array(host), 2, mean=(1.7, 2.2, 3.0), swap_rb=False)
    assert out.dtype == np.uint8
    np.testing.assert_array_equal(to_host(out), phase_reference(host - np.uint8([1, 2, 3]), 2))


# ---- fusion ----

def test_fusing_the_four_by_four_example(cp, to_host):
    host = np.arange(16, dtype=np.float32).reshape(4, 4)
    preds = image_to_batch_pixelshift(cp.array(host[..., np.newaxis]), 2, swap_rb=False)
    acc, hits = cp.zeros((1, 4, 4), cp.float32), cp.zeros((1, 4, 4), cp.float32)
    assert pixelshift_fuse(preds, acc, hits, 0, 2) is None
    assert (to_host(hits) == 4).all()
    for y in (1, 3):
        for x in (1, 3):
            assert to_host(acc)[0, y, x] == host[y - 1:y + 1, x - 1:x + 1].sum()


@pytest.mark.parametrize("batches", [[(0, 2), (2, 4)], [(0, 1), (1, 4)], [(0, 3), (3, 4)]])
def test_split_calls_equal_one_call(cp, to_host, batches):
    preds = cp.array(host_image((4, 2, 3, 3)))
    whole = [cp.zeros((2, 6, 6), cp.float32), cp.zeros((2, 6, 6), cp.float32)]
    pixelshift_fuse(preds, *whole, 0, 2)
    split = [cp.zeros((2, 6, 6), cp.float32), cp.zeros((2, 6, 6), cp.float32)]
    for start, stop in batches:
        pixelshift_fuse(preds[start:stop], *split, start, 2)
    for a, b in zip(whole, split):
        np.testing.assert_array_equal(to_host(a), to_host(b))


@pytest.mark.parametrize("start_idx", [0, 5, 14, 16, 21, -1, -6])
def test_phase_indices_follow_floor_division(cp, to_host, start_idx):
    host = host_image((3, 1, 2, 3))
    acc, hits = cp.zeros((1, 8, 12), cp.float32), cp.zeros((1, 1, 1), cp.int32)
    pixelshift_fuse(cp.array(host), acc, hits, start_idx, 4)
    np.testing.assert_array_equal(to_host(acc), fuse_reference(host, start_idx, 4))
    assert to_host(hits).tolist() == [[[3]]]


def test_empty_preds_change_nothing(cp, to_host):
    acc, hits = cp.ones((1, 4, 4), cp.float32), cp.ones((1, 4, 4), cp.float32)
    assert pixelshift_fuse(cp.zeros((0, 1, 2, 2), cp.float32), acc, hits, 0, 2) is None
    assert (to_host(acc) == 1).all() and (to_host(hits) == 1).all()


def test_zero_dimensional_preds_raise_index_error(cp, to_host):
    acc = cp.zeros((1, 4, 4), cp.float32)
    with pytest.raises(IndexError):
        pixelshift_fuse(cp.zeros((), cp.float32), acc, acc, 0, 2)
    assert (to_host(acc) == 0).all()


def test_failed_addition_keeps_earlier_predictions_and_adds_no_hit(cp, to_host):
    class FailsOnSecond:
        def __init__(self):
            self.added = []

        def __iadd__(self, other):
            if self.added:
                raise ValueError("accumulator full")
            self.added.append(other)
            return self

    acc, hits = FailsOnSecond(), cp.zeros((1,), cp.float32)
    with pytest.raises(ValueError, match="accumulator full"):
        pixelshift_fuse(cp.ones((3, 1, 2, 2), cp.uint8), acc, hits, 0, 2)
    assert len(acc.added) == 1 and acc.added[0].dtype == np.float32
    assert to_host(hits).tolist() == [1.0]


# ---- the whole road ----

@pytest.mark.parametrize("shape, dim, batch", [((8, 12, 3), 2, 3), ((16, 8, 1), 4, 4), ((12, 12, 4), 3, 2),
                                               ((8, 16, 3), 4, 5)])
def test_road_gives_the_mean_of_the_window_ending_at_each_pixel(cp, to_host, shape, dim, batch):
    host = host_image(shape)
    phases = image_to_batch_pixelshift(cp.array(host), dim, swap_rb=False)
    h, w, c = shape
    acc, hits = cp.zeros((c, h, w), cp.float32), cp.zeros((1, h, w), cp.float32)
    for start in range(0, dim * dim, batch):
        pixelshift_fuse(phases[start:start + batch], acc, hits, start, dim)  # identity model
    # Mean of image[y - a, x - b] for a, b in 0 .. dim-1, wrapping at the edges.
    window = sum(np.roll(host, (a, b), axis=(0, 1)) for a in range(dim) for b in range(dim)) / dim ** 2
    np.testing.assert_allclose(to_host(acc / hits), window.transpose(2, 0, 1), rtol=1e-6)
    assert (to_host(hits) == dim * dim).all()


@pytest.mark.parametrize("value, dtype", [(200, np.uint8), (0.25, np.float32), (-3.5, np.float64)])
def test_constant_image_comes_back_exactly(cp, to_host, value, dtype):
    image = cp.full((8, 8, 3), value, dtype)
    phases = image_to_batch_pixelshift(image, 4, swap_rb=False)
    acc, hits = cp.zeros((3, 8, 8), cp.float32), cp.zeros((3, 8, 8), cp.float32)
    pixelshift_fuse(phases[:7], acc, hits, 0, 4)
    pixelshift_fuse(phases[7:], acc, hits, 7, 4)
    assert (to_host(acc / hits) == np.float32(value)).all()


# ---- tracebacks and references ----

def raise_runtime_error(image):
    raise RuntimeError("colour service down")


@pytest.mark.parametrize("function, args, kwargs, line", [
    (image_to_batch_pixelshift, [(5, 5)], {"dim": 0}, 205),
    (image_to_batch_pixelshift, [(5, 5)], {}, 206),
    (image_to_batch_pixelshift, [(6, 8, 3)], {}, 208),
    (image_to_batch_pixelshift, [(4, 4, 3)], {"failing_swap": True}, 211),
    (image_to_batch_pixelshift, [(4, 4, 3)], {"mean": object()}, 216),
    (image_to_batch_pixelshift, [(4, 4, 3)], {"mean": (1, 2)}, 219),
    (image_to_batch_pixelshift, [(4, 4, 3)], {"mean": (1.0, 2.0, 3.0), "int_image": True, "scalefactor": 0.5},
     222),
    (pixelshift_fuse, [(), (1, 4, 4), (1, 4, 4), 0, 2], {}, 253),
    (pixelshift_fuse, [(1, 1, 2, 2), (1, 4, 4), (1, 4, 4), 0, 0], {}, 256),
    (pixelshift_fuse, [(1, 2, 2), (1, 4, 4), (1, 4, 4), 0, 2], {}, 257),
    (pixelshift_fuse, [(1, 1, 2, 2), (1, 2, 2), (1, 4, 4), 0, 2], {}, 259),
    (pixelshift_fuse, [(1, 1, 2, 2), (1, 4, 4), None, 0, 2], {}, 260),
])
def test_errors_carry_the_failing_statements_line(cp, monkeypatch, function, args, kwargs, line):
    kwargs = dict(kwargs)
    dtype = cp.uint8 if kwargs.pop("int_image", False) else cp.float32
    if kwargs.pop("failing_swap", False):
        monkeypatch.setattr(shapery, "bgr_to_rgb", raise_runtime_error)
    arrays = [cp.zeros(a, dtype) if isinstance(a, tuple) else a for a in args]
    with pytest.raises(Exception) as excinfo:
        function(*arrays, **kwargs)
    assert failing_line(excinfo, function) == line


def reference_cases(cp):
    image = cp.array(host_image((8, 8, 3)))
    # Objects made at run time, so no code object or other test shares them.
    mean, scale, big = tuple(float(v) for v in "123"), float("0.5"), int("100000")
    preds = cp.array(host_image((4, 3, 2, 2)))
    acc, hits = cp.zeros((3, 4, 4), cp.float32), cp.zeros((1,), cp.float32)
    return [
        (image_to_batch_pixelshift, (image, 2, scale, mean, False), None),
        (image_to_batch_pixelshift, (image, -big, scale, mean), ValueError),
        (image_to_batch_pixelshift, (image, 3, scale, mean), ValueError),
        (image_to_batch_pixelshift, (image[0], 2, scale, mean), ValueError),
        (image_to_batch_pixelshift, (image, 2, scale, (mean, mean)), ValueError),
        (pixelshift_fuse, (preds, acc, hits, big, 2), None),
        (pixelshift_fuse, (preds, acc, hits, big, 0), ZeroDivisionError),
        (pixelshift_fuse, (preds, acc[:, :2], hits, big, 2), ValueError),
        (pixelshift_fuse, (preds[0, 0, 0, 0], acc, hits, big, 2), IndexError),
    ]


def test_no_reference_leaks_on_success_or_error(cp):
    for function, args, error in reference_cases(cp):
        def call():
            if error is None:
                function(*args)
            else:
                with pytest.raises(error):
                    function(*args)

        for _ in range(5):
            call()
        gc.collect()
        before = [sys.getrefcount(a) for a in args]
        for _ in range(200):
            call()
        assert [sys.getrefcount(a) for a in args] == before, function.__name__
