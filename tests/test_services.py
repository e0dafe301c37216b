"""Tests of the pure-Python services: red/blue swap, resize, float conversion, and the CuPy stand-in."""

import sys
import warnings

import numpy as np
import pytest

from lumivex import testing
from lumivex.color.bgr import bgr_to_rgb, rgb_to_bgr
from lumivex.transform.resize import INTER_AREA, INTER_AUTO, INTER_LINEAR, resize
from lumivex.utils.dtypes import to_float32


def bilinear_reference(image, out_h, out_w):
    """Per-pixel bilinear sampling with half-pixel centres and clamped edges, written independently."""
    in_h, in_w = image.shape[:2]

    def taps(i, n_in, n_out):
        x = min(max((i + 0.5) * n_in / n_out - 0.5, 0.0), n_in - 1.0)
        x0 = int(np.floor(x))
        return x0, min(x0 + 1, n_in - 1), x - x0

    out = np.zeros((out_h, out_w) + image.shape[2:])
    for i in range(out_h):
        y0, y1, fy = taps(i, in_h, out_h)
        for j in range(out_w):
            x0, x1, fx = taps(j, in_w, out_w)
            top = image[y0, x0] * (1 - fx) + image[y0, x1] * fx
            bottom = image[y1, x0] * (1 - fx) + image[y1, x1] * fx
            out[i, j] = top * (1 - fy) + bottom * fy
    return out


# ---- red/blue swap ----

@pytest.mark.parametrize("swap", [bgr_to_rgb, rgb_to_bgr])
@pytest.mark.parametrize("shape", [(2, 3, 3), (2, 3, 4), (5, 2, 3, 3)])
def test_swap_exchanges_first_and_third_channel_only(cp, to_host, swap, shape):
    host = np.arange(np.prod(shape), dtype=np.uint8).reshape(shape)
    image = cp.asarray(host)
    out = swap(image)
    expected = host.copy()
    expected[..., 0], expected[..., 2] = host[..., 2], host[..., 0]
    assert out.shape == shape and out.dtype == image.dtype
    np.testing.assert_array_equal(to_host(out), expected)
    np.testing.assert_array_equal(to_host(image), host)  # input untouched


@pytest.mark.parametrize("swap", [bgr_to_rgb, rgb_to_bgr])
@pytest.mark.parametrize("shape", [(4, 5, 3), (4, 5, 1), (4, 5, 2), (4, 5), (3, 3)])
def test_swap_returns_new_array(cp, to_host, swap, shape):
    host = np.arange(np.prod(shape), dtype=np.float32).reshape(shape)
    image = cp.asarray(host)
    out = swap(image)
    if len(shape) == 2 or shape[-1] < 3:
        np.testing.assert_array_equal(to_host(out), host)  # nothing to swap: a plain copy
    out += 100
    np.testing.assert_array_equal(to_host(image), host)


# ---- resize ----

def test_resize_shrink_averages_areas(cp, to_host):
    image = cp.asarray(np.arange(16, dtype=np.float32).reshape(4, 4))
    out = resize(image, dsize=(2, 2), interpolation=INTER_AUTO)
    np.testing.assert_allclose(to_host(out), [[2.5, 4.5], [10.5, 12.5]])


def test_resize_shrink_by_fractional_factor_weights_partial_pixels(cp, to_host):
    image = cp.asarray(np.array([[3.0, 6.0, 12.0]]))
    out = resize(image, dsize=(2, 1))
    # Output pixels cover [0, 1.5) and [1.5, 3): the middle pixel counts half for each.
    np.testing.assert_allclose(to_host(out), [[(3 + 0.5 * 6) / 1.5, (0.5 * 6 + 12) / 1.5]])


@pytest.mark.parametrize("in_hw, out_hw", [((2, 2), (4, 4)), ((3, 2), (7, 5)), ((2, 3), (2, 8))])
def test_resize_enlarge_is_bilinear(cp, to_host, in_hw, out_hw):
    host = np.random.default_rng(0).random(in_hw + (3,))
    out = resize(cp.asarray(host), dsize=(out_hw[1], out_hw[0]))
    np.testing.assert_allclose(to_host(out), bilinear_reference(host, *out_hw), rtol=1e-12)


def test_resize_chooses_per_axis(cp, to_host):
    host = np.arange(8, dtype=np.float64).reshape(4, 2)
    out = resize(cp.asarray(host), dsize=(4, 2))  # height 4 -> 2 (area), width 2 -> 4 (bilinear)
    rows_averaged = (host[0::2] + host[1::2]) / 2
    np.testing.assert_allclose(to_host(out), bilinear_reference(rows_averaged, 2, 4))


@pytest.mark.parametrize("interpolation, values, width, expected", [
    (INTER_LINEAR, [0.0, 3.0, 6.0], 2, [0.75, 5.25]),   # bilinear even when shrinking
    (INTER_AREA, [0.0, 3.0, 6.0], 2, [1.0, 5.0]),
    (INTER_LINEAR, [0.0, 4.0], 4, [0.0, 1.0, 3.0, 4.0]),
    (INTER_AREA, [0.0, 4.0], 4, [0.0, 0.0, 4.0, 4.0]),   # box sampling even when enlarging
    (INTER_AREA, np.array([0, 30, 60], np.uint8), 5, [0, 10, 30, 50, 60]),  # where OpenCV does not
])
def test_resize_explicit_interpolation(cp, to_host, interpolation, values, width, expected):
    out = resize(cp.asarray(np.array([values])), dsize=(width, 1), interpolation=interpolation)
    np.testing.assert_allclose(to_host(out), [expected])


@pytest.mark.parametrize("shape, dsize, out_shape", [
    ((4, 6), (3, 2), (2, 3)),            # grey stays 2-D; dsize is (width, height)
    ((4, 6, 3), (12, 8), (8, 12, 3)),
    ((4, 6, 1), (3, 8), (8, 3, 1)),
    ((3, 8, 10), (5, 4), (3, 4, 5)),     # channels first
    ((2, 6, 6), (3, 3), (2, 3, 3)),
    ((5, 5, 5), (2, 3), (3, 2, 5)),      # no channel axis is small enough to be first
])
def test_resize_keeps_axis_order(cp, to_host, shape, dsize, out_shape):
    host = np.random.default_rng(1).random(shape).astype(np.float32)
    out = resize(cp.asarray(host), dsize=dsize)
    assert out.shape == out_shape
    if len(shape) == 3 and shape[0] <= 4 < shape[-1]:  # every channel resized like a grey image of its own
        for c in range(shape[0]):
            np.testing.assert_allclose(to_host(out)[c], to_host(resize(cp.asarray(host[c]), dsize)), rtol=1e-6)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.int16, np.int32, np.float16, np.float32, np.float64])
def test_resize_keeps_dtype(cp, dtype):
    out = resize(cp.asarray(np.ones((6, 4, 3), dtype=dtype)), dsize=(8, 3))
    assert out.dtype == dtype and out.shape == (3, 8, 3)


@pytest.mark.parametrize("dtype, values, expected", [
    (np.uint8, [10, 11, 11, 11], 11),           # 10.75 rounds up, not truncated to 10
    (np.uint8, [254, 255, 255, 255], 255),
    (np.int16, [-10, -11, -11, -11], -11),
    (np.int32, [2**30, 2**30 + 1, 2**30 + 1, 2**30 + 1], 2**30 + 1),  # beyond float32 precision
])
def test_resize_rounds_integers(cp, to_host, dtype, values, expected):
    image = cp.asarray(np.array(values, dtype=dtype).reshape(2, 2))
    assert to_host(resize(image, dsize=(1, 1)))[0, 0] == expected


def test_resize_same_size_returns_copy(cp, to_host):
    host = np.arange(12, dtype=np.uint8).reshape(2, 2, 3)
    image = cp.asarray(host)
    out = resize(image, dsize=(2, 2))
    out += 1
    np.testing.assert_array_equal(to_host(image), host)
    np.testing.assert_array_equal(to_host(out), host + 1)


@pytest.mark.parametrize("dsize", [(0, 2), (2, -1), (2,), (1, 2, 3), (2.5, 2), (True, 2), "ab", None, 4])
def test_resize_rejects_bad_dsize(cp, dsize):
    with pytest.raises(ValueError, match="dsize"):
        resize(cp.zeros((4, 4), dtype=cp.float32), dsize=dsize)


@pytest.mark.parametrize("image_shape, kwargs", [
    ((4,), {}), ((1, 4, 4, 3), {}), ((0, 4), {}), ((4, 0, 3), {}), ((4, 4), {"interpolation": 0}),
])
def test_resize_rejects_bad_images_and_flags(cp, image_shape, kwargs):
    with pytest.raises(ValueError):
        resize(cp.zeros(image_shape, dtype=cp.float32), dsize=(2, 2), **kwargs)


# Odd sizes, non-integer ratios, 1-pixel axes, and axes that shrink while the other grows.
CV2_CASES = [((7, 5), (13, 3)), ((1, 9), (4, 4)), ((9, 1), (3, 7)), ((31, 17), (10, 11)), ((10, 10), (3, 3)),
             ((20, 30), (7, 45)), ((5, 5), (5, 12)), ((100, 60), (33, 27)), ((33, 27), (100, 61)),
             ((173, 151), (400, 300)), ((700, 500), (350, 260))]  # the last two span several bands of rows


def _cv2_image(dtype, shape):
    rng = np.random.default_rng(sum(shape))
    if dtype == np.uint8:
        return rng.integers(0, 256, shape, dtype=np.uint8)
    return rng.random(shape, dtype=np.float32) + 0.1  # away from 0, where a relative tolerance means nothing


def _assert_close_to_cv2(out, expected, exact=False):
    if expected.dtype == np.uint8:
        difference = np.abs(out.astype(np.int16) - expected).max()
        assert difference == 0 if exact else difference <= 1
    else:
        np.testing.assert_allclose(out, expected, rtol=1e-5)


@pytest.fixture(params=["opencv", "arrays"])
def resize_path(request, monkeypatch):
    """Resize with OpenCV where the pixels are in host memory, or with the array operations a GPU runs."""
    if request.param == "arrays":
        monkeypatch.setattr("lumivex.transform._opencv.cv2", None)
    return request.param


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
@pytest.mark.parametrize("in_hw, out_hw", CV2_CASES)
@pytest.mark.parametrize("interpolation", [INTER_LINEAR, INTER_AREA])
def test_resize_matches_opencv(cp, to_host, resize_path, dtype, in_hw, out_hw, interpolation):
    cv2 = pytest.importorskip("cv2")
    # OpenCV's INTER_AREA takes two taps, not the footprint, on an axis that shrinks while the other grows.
    if interpolation == INTER_AREA and (in_hw[0] - out_hw[0]) * (in_hw[1] - out_hw[1]) < 0:
        pytest.skip("OpenCV is not area-exact on up/down mixes; INTER_AUTO covers them")
    host = _cv2_image(dtype, in_hw + (3,))
    flag = {INTER_LINEAR: cv2.INTER_LINEAR, INTER_AREA: cv2.INTER_AREA}[interpolation]
    # OpenCV's own flag, which callers porting cv2.resize calls pass: lumivex's constants are its values.
    out = to_host(resize(cp.asarray(host), dsize=out_hw[::-1], interpolation=flag))
    # 8-bit bilinear and area shrinking give OpenCV's own numbers, on either path.
    one_way = interpolation == INTER_LINEAR or (out_hw[0] <= in_hw[0] and out_hw[1] <= in_hw[1])
    _assert_close_to_cv2(out, cv2.resize(host, out_hw[::-1], interpolation=flag).reshape(out.shape), exact=one_way)


@pytest.mark.parametrize("channels", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("in_hw, out_hw", [((8, 6), (4, 3)), ((9, 8), (3, 4)), ((60, 45), (4, 3)),
                                           ((3000, 7), (2111, 5))])
@pytest.mark.parametrize("interpolation", [INTER_LINEAR, INTER_AREA])
def test_resize_8bit_is_opencv_for_any_channel_count(cp, to_host, resize_path, channels, in_hw, out_hw,
                                                      interpolation):
    # Whole-factor means round ties by channel count and sum up to 225 pixels; long axes test the footprints'
    # float edges.
    cv2 = pytest.importorskip("cv2")
    host = _cv2_image(np.uint8, in_hw + (channels,)) | 0x80  # bright: block sums beyond 16 bits
    flag = {INTER_LINEAR: cv2.INTER_LINEAR, INTER_AREA: cv2.INTER_AREA}[interpolation]
    out = to_host(resize(cp.asarray(host), dsize=out_hw[::-1], interpolation=interpolation))
    if channels > 4:  # beyond OpenCV's area averaging: within 1 of it channel by channel
        expected = np.stack([cv2.resize(host[:, :, c], out_hw[::-1], interpolation=flag) for c in range(channels)], -1)
        return _assert_close_to_cv2(out, expected)
    np.testing.assert_array_equal(out, cv2.resize(host, out_hw[::-1], interpolation=flag).reshape(out.shape))


def test_resize_8bit_without_an_agreeing_opencv_uses_the_arrays(cp, to_host, monkeypatch):
    cv2 = pytest.importorskip("cv2")
    from lumivex.transform import _opencv

    class OffByOne:  # an OpenCV build that rounds differently
        __version__ = "0.0-test"
        INTER_LINEAR, INTER_AREA = cv2.INTER_LINEAR, cv2.INTER_AREA

        @staticmethod
        def resize(src, dsize, dst=None, interpolation=None):
            dst[...] = cv2.resize(src, dsize, interpolation=interpolation) ^ 1
            return dst

    host = _cv2_image(np.uint8, (31, 17, 3))
    monkeypatch.setattr(_opencv, "cv2", None)
    by_arrays = to_host(resize(host, dsize=(45, 40)))
    monkeypatch.setattr(_opencv, "cv2", OffByOne)
    monkeypatch.setattr(_opencv, "_agrees", {})
    with pytest.warns(RuntimeWarning, match="0.0-test computes 8-bit INTER_LINEAR resizes differently") as warned:
        np.testing.assert_array_equal(to_host(resize(host, dsize=(45, 40))), by_arrays)
    assert warned[0].filename == __file__  # the caller's line, not one inside lumivex
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # warned once, not per call
        np.testing.assert_array_equal(to_host(resize(cp.asarray(host), dsize=(45, 40))), by_arrays)


@pytest.mark.parametrize("on_device", [False, True], ids=["numpy", "cupy"])
@pytest.mark.parametrize("channels, dsize", [(4, (45, 40)), (4, (8, 10)), (5, (45, 40))])
def test_resize_8bit_in_host_memory_goes_to_the_agreeing_opencv(cp, monkeypatch, recorder, on_device, channels,
                                                                 dsize):
    # The installed OpenCV agrees with the array operations, so images of up to 4 channels in host memory (NumPy's
    # or the CPU stand-in's) are its work. The numbers cannot tell (both paths give OpenCV's), but a probe judged
    # wrongly would turn OpenCV off, warning, and stand-in memory not handed over would keep it from the work.
    pytest.importorskip("cv2")
    from lumivex.transform import _opencv

    monkeypatch.setattr(_opencv, "_agrees", {})
    monkeypatch.setattr(_opencv, "_cv2_resize", recorder(wrapped=_opencv._cv2_resize))
    host = _cv2_image(np.uint8, (31, 17, channels))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        memory = _opencv.host_memory(resize(cp.asarray(host) if on_device else host, dsize=dsize))
    served = memory is not None and any(np.shares_memory(args[1], memory) for args, _ in _opencv._cv2_resize.calls)
    assert served == (channels <= 4 and (not on_device or testing.using_standin()))


def _refusing_opencv(monkeypatch, _opencv, cv2):
    resize_by_opencv = _opencv._cv2_resize

    def refuse_the_image(source, out, kind):  # as for sizes past OpenCV's int limits, after writing some
        if out.shape[:2] != (40, 45):
            return resize_by_opencv(source, out, kind)  # the probes
        out[...] = 0
        raise cv2.error("beyond what OpenCV takes")

    monkeypatch.setattr(_opencv, "_cv2_resize", refuse_the_image)


def _no_opencv_installed(monkeypatch, _opencv, cv2):
    monkeypatch.setattr(_opencv, "cv2", _opencv._NOT_LOADED)
    monkeypatch.setitem(sys.modules, "cv2", None)  # `import cv2` raises ImportError


@pytest.mark.parametrize("without_opencv", [_refusing_opencv, _no_opencv_installed], ids=["refused", "missing"])
def test_resize_8bit_without_opencv_for_the_image_takes_the_arrays(monkeypatch, without_opencv):
    cv2 = pytest.importorskip("cv2")
    from lumivex.transform import _opencv

    host = _cv2_image(np.uint8, (31, 17, 3))
    with monkeypatch.context() as arrays_only:
        arrays_only.setattr(_opencv, "cv2", None)
        by_arrays = resize(host, dsize=(45, 40))
    without_opencv(monkeypatch, _opencv, cv2)
    np.testing.assert_array_equal(resize(host, dsize=(45, 40)), by_arrays)


@pytest.mark.parametrize("in_hw, out_hw", [((20, 30), (7, 45)), ((9, 1), (3, 7)), ((7, 5), (13, 3))])
def test_resize_auto_is_area_then_bilinear_per_axis(cp, to_host, in_hw, out_hw):
    cv2 = pytest.importorskip("cv2")
    host = _cv2_image(np.float32, in_hw + (3,))
    out = to_host(resize(cp.asarray(host), dsize=out_hw[::-1]))
    shrink_first = (out_hw[0], in_hw[1]) if out_hw[0] < in_hw[0] else (in_hw[0], out_hw[1])
    step = cv2.resize(host, shrink_first[::-1], interpolation=cv2.INTER_AREA).reshape(shrink_first + (3,))
    _assert_close_to_cv2(out, cv2.resize(step, out_hw[::-1], interpolation=cv2.INTER_LINEAR).reshape(out.shape))


# ---- float conversion ----

@pytest.mark.parametrize("dtype, values, expected", [
    (np.uint8, [0, 51, 255], [0.0, 0.2, 1.0]),
    (np.uint16, [0, 13107, 65535], [0.0, 0.2, 1.0]),
    (np.float64, [-1.5, 0.25, 300.0], [-1.5, 0.25, 300.0]),
    (np.int32, [-3, 0, 70000], [-3.0, 0.0, 70000.0]),
    (np.float32, [0.5, 2.0, -7.0], [0.5, 2.0, -7.0]),
])
def test_to_float32(cp, to_host, dtype, values, expected):
    image = cp.asarray(np.array(values, dtype=dtype))
    out = to_float32(image)
    assert out.dtype == np.float32
    np.testing.assert_allclose(to_host(out), expected, rtol=1e-6)
    out += 1  # a new array even when the input already is float32
    np.testing.assert_array_equal(to_host(image), np.array(values, dtype=dtype))


@pytest.mark.parametrize("service", [to_float32, bgr_to_rgb, rgb_to_bgr, lambda image: resize(image, dsize=(3, 2))])
def test_services_keep_arrays_on_their_device(cp, service):
    host = np.arange(24, dtype=np.uint8).reshape(2, 4, 3)
    assert type(service(host)) is np.ndarray          # never uploaded behind the caller's back
    assert type(service(cp.asarray(host))) is cp.ndarray
    with pytest.raises(TypeError):
        service(host.tolist())                        # a list is no image on either device


# ---- stand-in ----

@pytest.mark.skipif(not testing.using_standin(), reason="real CuPy in use")
def test_standin_is_stable_and_deviceless(cp):
    import cupy

    assert testing.install_cupy_standin() is cp is cupy is sys.modules["cupy"]
    assert not testing.cuda_available()
    assert cupy.cuda.runtime.getDeviceCount() == 0
    assert cupy.float32 is np.float32 and cupy.get_array_module(cupy.zeros(1)) is cupy
    with pytest.raises(AttributeError):
        cupy.no_such_function


# These hold on real CuPy too: code that passes them here cannot trip over them on the first GPU.
@pytest.mark.parametrize("name", ["errstate", "geomspace", "insert", "nditer"])
def test_numpy_only_names_are_missing(cp, name):
    assert hasattr(np, name)
    with pytest.raises(AttributeError):
        getattr(cp, name)


@pytest.mark.parametrize("misuse", [
    lambda cp, a: np.asarray(a),                       # NumPy reading device memory
    lambda cp, a: np.testing.assert_array_equal(a, a),
    lambda cp, a: a + np.ones(3, np.float32),          # mixing host and device arrays
    lambda cp, a: np.ones(3, np.float32) * a,
    lambda cp, a: cp.exp([1.0, 2.0]),                  # a list where CuPy wants an array
    lambda cp, a: cp.stack([a, [0.0, 1.0, 2.0]]),
    lambda cp, a: a.setflags,                          # a NumPy-only array method
])
def test_implicit_host_device_mixing_fails(cp, misuse):
    with pytest.raises((TypeError, AttributeError)):
        misuse(cp, cp.arange(3, dtype=cp.float32))


def test_implicit_conversion_error_is_cupys(cp, to_host):
    device = cp.arange(3, dtype=cp.float32)
    with pytest.raises(TypeError, match=r"Implicit conversion to a NumPy array is not allowed\. Please use `\.get"):
        np.asarray(device)
    host = to_host(device)
    assert type(host) is np.ndarray and type(device.get()) is np.ndarray
    host += 1  # a copy, not device memory
    np.testing.assert_array_equal(to_host(device), [0, 1, 2])


def test_device_arrays_pass_as_keyword_arguments(cp, to_host):
    # CuPy takes arrays by keyword as well as by position (out=, weights=, ...).
    source, out = cp.arange(6, dtype=cp.float32), cp.zeros(2, dtype=cp.float32)
    cp.take(source, cp.asarray(np.array([4, 1])), axis=0, out=out)
    np.testing.assert_array_equal(to_host(out), [4, 1])


def test_allocation_failure_is_cupys_out_of_memory_error(cp):
    # Callers fall back to smaller work on this error; it must be the one CuPy raises, and still a MemoryError.
    with pytest.raises(cp.cuda.memory.OutOfMemoryError) as caught:
        cp.zeros((2**40, 2**20), dtype=cp.float32)
    assert isinstance(caught.value, MemoryError)
