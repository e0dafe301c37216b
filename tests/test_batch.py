"""Tests of the model-batch conversions: image_to_batch, images_to_batch and batch_to_images.

Every case runs on the NumPy stand-in and, unchanged, on real CuPy; services are replaced through the module
attributes the bodies look up, and tracebacks are checked for the line of the failing statement.
"""

import sys

import numpy as np
import pytest

from lumivex.utils import shapery
from lumivex.utils.shapery import batch_to_images, image_to_batch, images_to_batch

MEAN_ERROR = "Mean must be a single value or a tuple of three values."


def host_image(shape, dtype=np.float32):
    return (np.arange(np.prod(shape)) % 251).astype(dtype).reshape(shape)


def body_lines(excinfo, function):
    """Traceback lines of the entries that `function` added to the exception."""
    lines, tb = [], excinfo.value.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name == f"lumivex.utils.shapery.{function}":
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    return lines


class Refusing:
    """What a service might return: an array-like whose in-place operators fail."""

    dtype = np.dtype(np.float32)

    def __isub__(self, other):
        raise RuntimeError("isub refused")

    def __imul__(self, other):
        raise RuntimeError("imul refused")


@pytest.fixture
def services(monkeypatch, recorder):
    """Replace the colour swaps and resize with recorders around the real services; returns them by name."""
    fakes = {name: recorder(wrapped=getattr(shapery, name)) for name in ("bgr_to_rgb", "rgb_to_bgr", "resize")}
    for name, fake in fakes.items():
        monkeypatch.setattr(shapery, name, fake)
    return fakes


# ---- layouts and pass-throughs ----

def test_nchw_is_returned_itself_without_any_step(cp, services):
    image = cp.array(host_image((2, 3, 8, 8)))
    assert image_to_batch(image, 2.0, 16, (1, 2, 3), True, "NCHW") is image
    assert not any(fake.calls for fake in services.values())


class LayoutName(str):
    """A layout name whose inequality test is logged: a str subclass is compared by its own methods."""

    def __new__(cls, text, log):
        name = super().__new__(cls, text)
        name.log = log
        return name

    def __ne__(self, other):
        self.log.append(other)
        return str.__ne__(self, other)

    __hash__ = str.__hash__


def test_layout_names_equal_to_a_known_one(cp, services):
    image = cp.array(host_image((6, 7, 3)))  # would be inferred "HWC" if the name were not recognised
    assert image_to_batch(image, layout="".join(["NC", "HW"])) is image  # equal text, another object
    log = []
    assert image_to_batch(image, layout=LayoutName("NCHW", log)) is image
    assert log == ["HWC", "HW", "CHW", "NHWC", "NCHW"]
    assert not any(fake.calls for fake in services.values())


def test_nhwc_is_a_transposed_view(cp, to_host, services):
    image = cp.array(host_image((2, 8, 8, 3)))
    out = image_to_batch(image, 2.0, 16, 0.5, True, "NHWC")
    assert out.shape == (2, 3, 8, 8) and cp.shares_memory(out, image)
    np.testing.assert_array_equal(to_host(out), host_image((2, 8, 8, 3)).transpose(0, 3, 1, 2))
    assert not any(fake.calls for fake in services.values())


@pytest.mark.parametrize(
    "shape, layout, swapped",
    [((6, 7, 3), "HWC", True), ((6, 7, 3), "hwc", True), ((6, 7, 3), None, True),
     ((3, 6, 7), "CHW", False), ((3, 6, 7), None, False), ((6, 7), "HW", True)],
)
def test_single_images_become_views_of_shape_1_c_h_w(cp, to_host, services, shape, layout, swapped):
    host = host_image(shape)
    image = cp.array(host)
    out = image_to_batch(image, swap_rb=False, layout=layout)
    chw = host[None] if len(shape) == 2 else (host if shape[0] == 3 else host.transpose(2, 0, 1))
    assert out.shape == (1,) + chw.shape and cp.shares_memory(out, image)
    np.testing.assert_array_equal(to_host(out)[0], chw)
    image_to_batch(image, layout=layout)  # swap_rb=True: only channels-last images are swapped
    assert len(services["bgr_to_rgb"].calls) == int(swapped)
    if len(shape) == 2:
        assert services["bgr_to_rgb"].calls[0][0][0].shape == (6, 7, 1)


@pytest.mark.parametrize("shape, verdict", [((3, 100, 3), "ambiguous"), ((2, 2, 6, 6, 3), "unsupported")])
def test_unusable_inferred_layout_fails_before_touching_the_image(cp, to_host, services, shape, verdict):
    image = cp.array(host_image(shape))
    with pytest.raises(ValueError, match=f"^Unsupported image layout: {verdict}$") as excinfo:
        image_to_batch(image, 2.0, 16, 1.0, False, None)
    np.testing.assert_array_equal(to_host(image), host_image(shape))
    assert not services["resize"].calls and body_lines(excinfo, "image_to_batch") == [196]


@pytest.mark.parametrize("shape, layout", [((6, 7), "HWC"), ((2, 6, 7, 3), "HWC"), ((6, 7, 3), "HW"), ((6, 7), "CHW")])
def test_named_layout_must_match_the_dimensions(cp, to_host, services, shape, layout):
    image = cp.array(host_image(shape))
    with pytest.raises(ValueError) as excinfo:
        image_to_batch(image, 2.0, None, 0.5, False, layout)
    dimensions = 2 if layout == "HW" else 3
    assert str(excinfo.value) == f"Layout '{layout}' needs a {dimensions}-dimensional image, got shape {shape}"
    np.testing.assert_array_equal(to_host(image), host_image(shape))
    assert body_lines(excinfo, "image_to_batch") == [150]


class Unprintable(str):
    """A layout name whose repr fails, as any object's may."""

    def __repr__(self):
        raise RuntimeError("no repr")


def test_a_failing_repr_of_the_layout_propagates_from_the_dimension_check(cp):
    with pytest.raises(RuntimeError, match="no repr") as excinfo:
        image_to_batch(cp.zeros((6, 7)), layout=Unprintable("HWC"))
    assert body_lines(excinfo, "image_to_batch") == [150]


# ---- the preprocessing steps ----

def test_swap_resize_mean_scale_in_that_order(cp, to_host, services):
    host = host_image((6, 8, 3))
    out = image_to_batch(cp.array(host), 0.5, (8, 6), (1.0, 2.0, 3.0))
    expected = (host[..., ::-1] - np.array([1.0, 2.0, 3.0], np.float32)) * 0.5  # mean in output channel order
    np.testing.assert_allclose(to_host(out)[0].transpose(1, 2, 0), expected, rtol=1e-6)
    (swap_args, _), = services["bgr_to_rgb"].calls
    (resize_args, resize_kwargs), = services["resize"].calls
    assert list(resize_kwargs) == ["dsize", "interpolation"] and resize_kwargs["dsize"] == (8, 6)
    assert resize_kwargs["interpolation"] is shapery.INTER_AUTO
    np.testing.assert_array_equal(to_host(resize_args[0]), host[..., ::-1])


@pytest.mark.parametrize("size, dsize", [(224, (224, 224)), (True, (True, True)), ((640, 480), (640, 480))])
def test_size_reaches_resize_as_dsize(cp, monkeypatch, recorder, size, dsize):
    fake = recorder(result=cp.zeros((4, 5, 3), dtype=cp.float32))
    monkeypatch.setattr(shapery, "resize", fake)
    assert image_to_batch(cp.array(host_image((6, 7, 3))), size=size).shape == (1, 3, 4, 5)
    (args, kwargs), = fake.calls
    assert kwargs == {"dsize": dsize, "interpolation": shapery.INTER_AUTO} and len(args) == 1
    if not isinstance(size, int):
        assert kwargs["dsize"] is size


def test_in_place_steps_write_into_the_callers_image(cp, to_host):
    host = host_image((6, 7, 3))
    image = cp.array(host)
    out = image_to_batch(image, 2.0, mean=(0.5, 0.5, 0.5), swap_rb=False)
    np.testing.assert_allclose(to_host(image), (host - 0.5) * 2.0)
    assert cp.shares_memory(out, image)
    swapped = cp.array(host)
    image_to_batch(swapped, 2.0, mean=0.5)  # the swap made a new array: the input stays as it was
    np.testing.assert_array_equal(to_host(swapped), host)


def test_integer_images_keep_their_dtype(cp, to_host):
    host = host_image((6, 7, 3), np.uint8)
    out = image_to_batch(cp.array(host), mean=(1, 2, 3), swap_rb=False)
    assert out.dtype == cp.uint8
    np.testing.assert_array_equal(to_host(out)[0].transpose(1, 2, 0), host - np.array([1, 2, 3], np.uint8))


@pytest.mark.parametrize("mean", [0.5, 1, True, [0.25], (0.75,)])
@pytest.mark.parametrize("shape, layout", [((6, 7), "HW"), ((6, 7, 1), "HWC"), ((6, 7, 3), "HWC"),
                                           ((6, 7, 4), "HWC"), ((1, 6, 7), "CHW"), ((4, 6, 7), "CHW")])
def test_one_mean_value_applies_to_every_channel(cp, to_host, mean, shape, layout):
    host = host_image(shape)
    value = float(mean if np.isscalar(mean) else mean[0])
    out = image_to_batch(cp.array(host), mean=mean, swap_rb=False, layout=layout)
    expected = host[None] if layout == "HW" else (host if layout == "CHW" else host.transpose(2, 0, 1))
    np.testing.assert_allclose(to_host(out)[0], expected - value)


@pytest.mark.parametrize("width", [3, 7])
def test_three_mean_values_go_along_the_channel_axis_of_chw(cp, to_host, width):
    host = host_image((3, 6, width))
    out = image_to_batch(cp.array(host), mean=(1.0, 2.0, 3.0), layout="CHW")
    np.testing.assert_allclose(to_host(out)[0], host - np.array([1.0, 2.0, 3.0], np.float32)[:, None, None])


@pytest.mark.parametrize("mean", [(1, 2), (1, 2, 3, 4), []])
def test_bad_mean_length_is_refused_before_any_change(cp, to_host, mean):
    image = cp.array(host_image((6, 7, 3)))
    with pytest.raises(ValueError, match=f"^{MEAN_ERROR}$") as excinfo:
        image_to_batch(image, 2.0, mean=mean, swap_rb=False)
    np.testing.assert_array_equal(to_host(image), host_image((6, 7, 3)))
    assert body_lines(excinfo, "image_to_batch") == [181]


def test_three_mean_values_need_three_channels(cp):
    with pytest.raises(ValueError):
        image_to_batch(cp.array(host_image((6, 7, 4))), mean=(1.0, 2.0, 3.0), swap_rb=False)


# ---- traceback lines of failing statements ----

def failing(exc=RuntimeError):
    def service(*args, **kwargs):
        raise exc("refused")
    return service


@pytest.mark.parametrize(
    "name, value, kwargs, line",
    [("guess_image_layout", failing(), {"layout": None}, 151),
     ("cp", None, {"layout": "HW", "shape": (6, 7)}, 159),
     (None, None, {"layout": "NHWC"}, 157),
     ("bgr_to_rgb", failing(), {}, 166),
     ("resize", failing(), {"size": 4}, 172),
     ("INTER_AUTO", None, {"size": 4}, 172),
     (None, None, {"mean": object()}, 178),
     ("cp", None, {"mean": 1.0, "swap_rb": False}, 182),
     ("bgr_to_rgb", lambda image: Refusing(), {"mean": 1.0}, 182),
     ("bgr_to_rgb", lambda image: Refusing(), {"scalefactor": 2.0}, 186),
     ("cp", None, {"swap_rb": False}, 191)],
)
def test_failing_statement_lines(cp, monkeypatch, name, value, kwargs, line):
    if name is not None and value is None:
        monkeypatch.delattr(shapery, name)
    elif name is not None:
        monkeypatch.setattr(shapery, name, value)
    kwargs = dict(kwargs)
    image = cp.array(host_image(kwargs.pop("shape", (6, 7, 3))))
    with pytest.raises(Exception) as excinfo:
        image_to_batch(image, **kwargs)
    if name is not None and value is None:
        assert excinfo.type is NameError and str(excinfo.value) == f"name '{name}' is not defined"
    assert body_lines(excinfo, "image_to_batch") == [line]


# ---- images_to_batch ----

class Images(list):
    """A list subclass, which images_to_batch takes as the list it is."""


@pytest.mark.parametrize("images, shape", [
    ([(6, 7, 3), (6, 7, 3)], (2, 1, 3, 6, 7)),
    ([(6, 7, 3)], (1, 1, 3, 6, 7)),
    (Images([(6, 7, 3), (6, 7, 3)]), (2, 1, 3, 6, 7)),
    ((6, 7, 3), (1, 3, 6, 7)),
])
def test_list_stacks_per_image_batches(cp, images, shape):
    arg = (type(images)(cp.array(host_image(s)) for s in images) if isinstance(images, list)
           else cp.array(host_image(images)))
    assert images_to_batch(arg).shape == shape


def test_list_of_nchw_batches(cp):
    batches = [cp.array(host_image((2, 3, 6, 7))) for _ in range(2)]
    assert images_to_batch(batches, 2.0, 4, 0.5, True, "NCHW").shape == (2, 2, 3, 6, 7)


def test_each_image_goes_through_the_module_function_with_keywords(cp, monkeypatch, recorder):
    fake = recorder(result=cp.zeros((1, 3, 2, 2)))
    monkeypatch.setattr(shapery, "image_to_batch", fake)
    images = (cp.zeros((6, 7, 3)), cp.zeros((6, 7, 3)))
    assert images_to_batch(images, 0.5, 4, 1.0, False, "HWC") is fake.result  # a tuple is one object
    assert images_to_batch(list(images), layout=None).shape == (2, 1, 3, 2, 2)
    (args, kwargs), = fake.calls[:1]
    assert len(args) == 1 and args[0] is images
    assert kwargs == {"scalefactor": 0.5, "size": 4, "mean": 1.0, "swap_rb": False, "layout": "HWC"}
    assert list(kwargs) == ["scalefactor", "size", "mean", "swap_rb", "layout"]
    assert [call[0][0] is image for call, image in zip(fake.calls[1:], images)] == [True, True]


def test_list_errors(cp, services):
    bad = [cp.array(host_image((6, 7, 3))), cp.array(host_image((3, 100, 3))), cp.array(host_image((6, 7, 3)))]
    with pytest.raises(ValueError, match="ambiguous") as excinfo:
        images_to_batch(bad, layout=None)
    assert body_lines(excinfo, "images_to_batch") == [108] and body_lines(excinfo, "image_to_batch") == [196]
    assert len(services["bgr_to_rgb"].calls) == 1  # the third image is never converted
    with pytest.raises(Exception) as excinfo:
        images_to_batch([])
    assert body_lines(excinfo, "images_to_batch") == [117]
    with pytest.raises(TypeError, match=r"expected float, got int"):
        images_to_batch(bad, 1)
    assert len(services["bgr_to_rgb"].calls) == 1


# ---- batch_to_images ----

@pytest.mark.parametrize("shape, layout", [((2, 3, 6, 7), "NCHW"), ((2, 3, 6, 7), None), ((2, 6, 7, 3), "NHWC"),
                                           ((2, 6, 7, 3), "HWC"), ((2, 1, 6, 7), "NCHW"), ((2, 6, 7, 4), None)])
def test_entries_come_back_as_hwc_views(cp, to_host, monkeypatch, recorder, shape, layout):
    host = host_image(shape)
    batch = cp.array(host)
    guess = recorder(wrapped=shapery.guess_image_layout)
    monkeypatch.setattr(shapery, "guess_image_layout", guess)
    images = batch_to_images(batch, swap_rb=False, layout=layout)
    hwc = host.transpose(0, 2, 3, 1) if shape[1] in (1, 3) else host
    assert type(images) is list and len(images) == 2 and len(guess.calls) == int(layout != "NCHW")
    for image, expected in zip(images, hwc):
        assert cp.shares_memory(image, batch)
        np.testing.assert_array_equal(to_host(image), expected)


def test_undo_scale_and_mean_in_place(cp, to_host):
    host = host_image((2, 3, 4, 5))
    batch = cp.array(host)
    images = batch_to_images(batch, 2.0, (1.0, 2.0, 3.0), False)
    expected = host.transpose(0, 2, 3, 1) / 2.0 + np.array([1.0, 2.0, 3.0], np.float32)
    np.testing.assert_allclose(np.stack([to_host(i) for i in images]), expected)
    np.testing.assert_allclose(to_host(batch), expected.transpose(0, 3, 1, 2))  # the caller's batch changed


@pytest.mark.parametrize("mean, added", [(0.5, 0.5), ([0.5], 0.5), (True, 1.0), (2, 2.0)])
@pytest.mark.parametrize("channels", [1, 3, 4])
def test_one_mean_value_is_added_to_every_channel(cp, to_host, services, mean, added, channels):
    host = host_image((2, channels, 6, 7))
    images = batch_to_images(cp.array(host), mean=mean)
    assert len(services["rgb_to_bgr"].calls) == 2
    swapped = host.transpose(0, 2, 3, 1)
    if channels >= 3:
        swapped = swapped[..., [2, 1, 0, 3][:channels]]
    np.testing.assert_allclose(np.stack([to_host(i) for i in images]), swapped + added)


@pytest.mark.parametrize("mean", [(1.0, 2.0), (1, 2, 3, 4)])
def test_bad_mean_leaves_the_batch_untouched(cp, to_host, mean):
    host = host_image((2, 3, 4, 5))
    batch = cp.array(host)
    with pytest.raises(ValueError, match=f"^{MEAN_ERROR}$") as excinfo:
        batch_to_images(batch, 2.0, mean, False)
    np.testing.assert_array_equal(to_host(batch), host)
    assert body_lines(excinfo, "batch_to_images") == [83]
    assert batch_to_images(cp.array(host_image((0, 3, 4, 5))), 2.0, mean) == []


@pytest.mark.parametrize("kwargs, exc, line", [
    ({"layout": None, "batch": (3, 100, 3, 3)}, ValueError, 70),
    ({"scalefactor": 0.0}, ZeroDivisionError, 85),
    ({"mean": object()}, TypeError, 80),
])
def test_batch_to_images_failures(cp, kwargs, exc, line):
    kwargs = dict(kwargs)
    batch = cp.array(host_image(kwargs.pop("batch", (2, 3, 6, 7))))
    with pytest.raises(exc) as excinfo:
        batch_to_images(batch, swap_rb=False, **kwargs)
    if line == 70:
        assert str(excinfo.value) == "Unsupported image layout: ambiguous"
    assert body_lines(excinfo, "batch_to_images") == [line]


def test_round_trip_restores_the_image(cp, to_host):
    host = host_image((6, 7, 3))
    batch = image_to_batch(cp.array(host), 1 / 255, mean=(10.0, 20.0, 30.0))
    # Both means are in the order of the channels they are applied to: RGB on the way in, BGR on the way out.
    (image,) = batch_to_images(batch, 1 / 255, (30.0, 20.0, 10.0))
    np.testing.assert_allclose(to_host(image), host, atol=1e-3)


# ---- reference counts ----

@pytest.mark.parametrize("function, args, kwargs, exc", [
    (image_to_batch, ((6, 7, 3),), {"scalefactor": 0.5, "size": 5, "mean": (1.0, 2.0, 3.0)}, None),
    (image_to_batch, ((6, 7), "HW"), {"mean": [1.0]}, None),
    (image_to_batch, ((3, 100, 3), None), {"mean": 1.0}, ValueError),
    (image_to_batch, ((6, 7, 3),), {"mean": (1.0, 2.0)}, ValueError),
    (image_to_batch, ((6, 7), "HWC"), {}, ValueError),
    (images_to_batch, ([(6, 7, 3), (6, 7, 3)],), {"mean": 0.5}, None),
    (images_to_batch, ([(6, 7, 3), (3, 100, 3)], None), {}, ValueError),
    (batch_to_images, ((2, 3, 6, 7),), {"scalefactor": 2.0, "mean": (1.0,)}, None),
    (batch_to_images, ((2, 3, 6, 7),), {"mean": (1.0, 2.0)}, ValueError),
    (batch_to_images, ((2, 3, 100, 3), None), {}, ValueError),
])
def test_no_reference_leaks(cp, function, args, kwargs, exc):
    first = args[0]
    array = [cp.array(host_image(s)) for s in first] if isinstance(first, list) else cp.array(host_image(first))
    layout = args[1] if len(args) > 1 else ("NCHW" if function is batch_to_images else "HWC")
    watched = [array, layout, *kwargs.values()] + (array if isinstance(array, list) else [])

    def call():
        try:
            function(array, layout=layout, **kwargs)
        except Exception as error:  # noqa: BLE001 - the error path is what is measured
            assert exc is not None and isinstance(error, exc)
        else:
            assert exc is None

    for _ in range(5):
        call()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        call()
    assert [sys.getrefcount(obj) for obj in watched] == before
