"""Layout inference: the verdict for each kind of shape, the order in which `ndim`, `shape` and the comparisons are
evaluated, the source line reported for each failing statement, and the identity of the returned strings.
"""

import itertools
import typing

import numpy as np
import pytest

import lumivex.utils.shapery as shapery

guess = shapery.guess_image_layout
GUESS_ENTRY = "lumivex.utils.shapery.guess_image_layout"
SOURCE = "src/lumivex_source/utils/shapery"


def own_entries(error):
    """(name, file, line) of the traceback entries that the native module added to `error`."""
    found, tb = [], error.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename.startswith("src/lumivex_source/"):
            found.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return found


@pytest.mark.parametrize("shape, layout", [
    ((3, 3), "HW"), ((1, 1), "HW"), ((480, 640), "HW"), ((0, 0), "HW"),
    ((3, 480, 640), "CHW"), ((480, 640, 3), "HWC"), ((1, 32, 32), "CHW"), ((32, 32, 4), "HWC"),
    ((3, 2, 2), "CHW"),  # a single candidate decides although the other sizes are small
    ((2, 2, 3), "HWC"),
    ((2, 64, 64), "CHW"), ((64, 64, 2), "HWC"), ((0, 5, 5), "CHW"), ((5, 5, 0), "HWC"),  # decided by size
    ((3, 100, 3), "ambiguous"), ((4, 100, 3), "ambiguous"), ((1, 1, 1), "ambiguous"), ((3, 4, 3), "ambiguous"),
    ((5, 5, 5), "ambiguous"), ((2, 2, 64), "ambiguous"), ((2, 4, 64), "ambiguous"), ((64, 4, 2), "ambiguous"),
    ((8, 3, 224, 224), "NCHW"), ((8, 224, 224, 3), "NHWC"), ((8, 2, 224, 224), "ambiguous"),
    ((8, 3, 4, 224), "ambiguous"), ((8, 3, 224, 3), "ambiguous"), ((1, 1, 5, 5), "NCHW"),
    ((1, 5, 5, 1), "NHWC"), ((1, 4, 5, 4), "ambiguous"), ((8, 224, 224, 2), "ambiguous"),
    ((), "unsupported"), ((7,), "unsupported"), ((1, 3, 8, 8, 1), "unsupported"),
])
def test_verdicts_for_arrays(cp, shape, layout):
    assert guess(cp.empty(shape, dtype=cp.uint8)) == layout


@pytest.mark.parametrize("call", [lambda a: guess(a), lambda a: guess(image=a)], ids=["positional", "keyword"])
def test_keyword_call(cp, call):
    assert call(cp.empty((8, 8, 3), dtype=cp.uint8)) == "HWC"


@pytest.mark.parametrize("shape", [(3, 480, 640), (480, 640, 3), (2, 2), (8, 3, 224, 224), (9,), (5, 5, 5)])
def test_returns_the_module_own_strings(cp, shape):
    result = guess(cp.empty(shape, dtype=cp.uint8))
    assert type(result) is str
    assert any(result is name for name in typing.get_args(shapery.Layout))


# ---- evaluation order ----

class Value:
    """An integer-like size that records each comparison made with it."""

    def __init__(self, log, label, value):
        self.log, self.label, self.value = log, label, value

    def _compare(self, op, other, result):
        self.log.append((self.label, op, other))
        return result

    def __eq__(self, other):
        return self._compare("==", other, self.value == other)

    def __le__(self, other):
        return self._compare("<=", other, self.value <= other)

    def __gt__(self, other):
        return self._compare(">", other, self.value > other)

    __hash__ = None


class Shape:
    def __init__(self, log, sizes):
        self.log, self.sizes = log, sizes

    def __getitem__(self, index):
        self.log.append(("shape[]", index))
        return Value(self.log, f"shape[{index % len(self.sizes)}]", self.sizes[index])


class RecordingImage:
    def __init__(self, sizes):
        self.log, self.sizes = [], sizes

    @property
    def ndim(self):
        self.log.append(("get", "ndim"))
        return Value(self.log, "ndim", len(self.sizes))

    @property
    def shape(self):
        self.log.append(("get", "shape"))
        return Shape(self.log, self.sizes)


def reference_guess(image):
    """The inference written out as plain Python statements, one per step."""
    nd = image.ndim
    if nd == 2:
        return "HW"
    if nd == 3:
        c_first, c_last = image.shape[0], image.shape[-1]
        candidates = []
        if c_first == 1 or c_first == 3 or c_first == 4:
            candidates.append("CHW")
        if c_last == 1 or c_last == 3 or c_last == 4:
            candidates.append("HWC")
        if len(candidates) == 1:
            return candidates[0]
        if c_first <= 4 and image.shape[1] > 4 and image.shape[2] > 4:
            return "CHW"
        if c_last <= 4 and image.shape[0] > 4 and image.shape[1] > 4:
            return "HWC"
        return "ambiguous"
    if nd == 4:
        s1 = image.shape[1]
        if (s1 == 1 or s1 == 3 or s1 == 4) and image.shape[2] > 4 and image.shape[3] > 4:
            return "NCHW"
        s3 = image.shape[-1]
        if (s3 == 1 or s3 == 3 or s3 == 4) and image.shape[1] > 4 and image.shape[2] > 4:
            return "NHWC"
        return "ambiguous"
    return "unsupported"


SIZES = (0, 1, 2, 3, 4, 5, 64)
ORDER_SHAPES = ([(), (5,), (3, 3), (2, 2, 2, 2, 2)]
                + list(itertools.product(SIZES, repeat=3))
                + list(itertools.product((1, 2, 3, 5), (1, 2, 3, 4, 5), (2, 4, 5), (1, 3, 4, 5))))


@pytest.mark.parametrize("sizes", ORDER_SHAPES, ids=str)
def test_evaluation_order(sizes):
    native, python = RecordingImage(sizes), RecordingImage(sizes)
    assert guess(native) == reference_guess(python)
    assert native.log == python.log


def test_evaluation_order_in_full_for_an_example():
    image = RecordingImage((2, 64, 64))
    assert guess(image) == "CHW"
    assert image.log == [
        ("get", "ndim"), ("ndim", "==", 2), ("ndim", "==", 3),
        ("get", "shape"), ("shape[]", 0), ("get", "shape"), ("shape[]", -1),
        ("shape[0]", "==", 1), ("shape[0]", "==", 3), ("shape[0]", "==", 4),
        ("shape[2]", "==", 1), ("shape[2]", "==", 3), ("shape[2]", "==", 4),
        ("shape[0]", "<=", 4), ("get", "shape"), ("shape[]", 1), ("shape[1]", ">", 4),
        ("get", "shape"), ("shape[]", 2), ("shape[2]", ">", 4),
    ]


class Image:
    def __init__(self, ndim, shape):
        self.ndim, self.shape = ndim, shape


class LoggedInt(int):
    """An int subclass: compared through its own (logged) methods, never by value behind their back."""

    log = []

    def __eq__(self, other):
        LoggedInt.log.append((int(self), "==", other))
        return int(self) == other

    def __le__(self, other):
        LoggedInt.log.append((int(self), "<=", other))
        return int(self) <= other

    def __gt__(self, other):
        LoggedInt.log.append((int(self), ">", other))
        return int(self) > other

    __hash__ = int.__hash__


class LoggedShape(tuple):
    """A tuple subclass: indexed through its own __getitem__."""

    log = []

    def __getitem__(self, index):
        LoggedShape.log.append(index)
        return super().__getitem__(index)


@pytest.mark.parametrize("sizes", [(2, 64, 64), (64, 64, 3), (3, 100, 3), (8, 3, 224, 224), (8, 224, 224, 3)])
def test_int_and_tuple_subclasses_take_the_generic_path(sizes):
    native = Image(LoggedInt(len(sizes)), LoggedShape(LoggedInt(size) for size in sizes))
    LoggedInt.log.clear(), LoggedShape.log.clear()
    verdict = guess(native)
    native_log = (list(LoggedInt.log), list(LoggedShape.log))
    LoggedInt.log.clear(), LoggedShape.log.clear()
    assert verdict == reference_guess(native)
    assert native_log == (LoggedInt.log, LoggedShape.log) and native_log[0] and native_log[1]


@pytest.mark.parametrize("ndim, shape, layout", [
    (2**64 + 3, (3, 9, 9), "unsupported"),  # the low digit alone would read as 3
    (3, (2, 2**64, 2**64 + 5), "CHW"),
    (3, (2**64 + 1, 9, 9), "ambiguous"),
    (4, (1, 9, 9, 2**64 + 3), "ambiguous"),
])
def test_ints_beyond_a_machine_word(ndim, shape, layout):
    assert guess(Image(ndim, shape)) == layout


@pytest.mark.parametrize("ndim, shape, layout", [
    (np.int64(3), (np.int64(3), np.int64(480), np.int64(640)), "CHW"),
    (3.0, (480.0, 640.0, 3.0), "HWC"),
    (True + 1, [8, 8], "HW"),
    (4, np.array([8, 3, 224, 224]), "NCHW"),
    (3, "abc", None),  # ends at a failing `<=` between str and int
    (2, None, "HW"),  # the shape is never read for two dimensions
    (7, None, "unsupported"),
])
def test_integer_like_attributes(ndim, shape, layout):
    if layout is None:
        with pytest.raises(TypeError):
            guess(Image(ndim, shape))
    else:
        assert guess(Image(ndim, shape)) == layout


def test_shape_is_read_afresh_for_each_element():
    shapes = iter([(3, 9, 9), (3, 9, 3), (9, 9, 9), (3, 5, 5), (3, 2, 9)])

    class Changing:
        ndim = 3

        @property
        def shape(self):
            return next(shapes)

    # c_first 3 and c_last 3 (from two reads) are both candidates, then 3 <= 4, shape[1] 9 > 4, shape[2] 5 > 4.
    assert guess(Changing()) == "CHW"
    assert next(shapes) == (3, 2, 9)


# ---- failures and their source lines ----

class Fail(Exception):
    pass


class Trap:
    """A size whose comparison `op` with `other` raises; all others behave like `value`."""

    def __init__(self, value, op, other=None):
        self.value, self.op, self.other = value, op, other

    def _check(self, op, other):
        if op == self.op and (self.other is None or other == self.other):
            raise Fail(f"{op} {other}")

    def __eq__(self, other):
        self._check("==", other)
        return self.value == other

    def __le__(self, other):
        self._check("<=", other)
        return self.value <= other

    def __gt__(self, other):
        self._check(">", other)
        return self.value > other

    __hash__ = None


class Failing:
    """An image whose `ndim` or `shape` raises on the n-th read (counted from 1), or never."""

    def __init__(self, ndim, shape, fail_ndim=False, fail_shape_read=0):
        self._ndim, self._shape = ndim, shape
        self.fail_ndim, self.fail_shape_read, self.shape_reads = fail_ndim, fail_shape_read, 0

    @property
    def ndim(self):
        if self.fail_ndim:
            raise Fail("ndim")
        return self._ndim

    @property
    def shape(self):
        self.shape_reads += 1
        if self.shape_reads == self.fail_shape_read:
            raise Fail("shape")
        return self._shape


class BadShape:
    def __getitem__(self, index):
        raise Fail(f"shape[{index}]")


@pytest.mark.parametrize("image, line", [
    (Failing(3, (3, 3, 3), fail_ndim=True), 21),
    (Failing(Trap(2, "==", 2), (1, 1)), 23),
    (Failing(Trap(3, "==", 3), (1, 1, 1)), 26),
    (Failing(Trap(4, "==", 4), (1, 1, 1, 1)), 43),
    (Failing(3, (3, 3, 3), fail_shape_read=1), 27),
    (Failing(3, (3, 3, 3), fail_shape_read=2), 27),
    (Failing(3, BadShape()), 27),
    (Failing(3, (Trap(3, "==", 3), 9, 9)), 29),
    (Failing(3, (Trap(2, "==", 4), 9, 9)), 29),
    (Failing(3, (9, 9, Trap(3, "==", 1))), 31),
    (Failing(3, (2, 9, Trap(2, "==", 4))), 31),
    (Failing(3, (Trap(2, "<="), 9, 9)), 37),
    (Failing(3, (2, Trap(9, ">"), 9)), 37),
    (Failing(3, (2, 9, 9), fail_shape_read=3), 37),
    (Failing(3, (2, 9, 9), fail_shape_read=4), 37),
    (Failing(3, (2, 2, Trap(2, "<="))), 39),
    (Failing(3, (Trap(9, ">"), 2, 2)), 39),
    (Failing(3, (9, 9, 2), fail_shape_read=3), 39),
    (Failing(3, (9, 9, 2), fail_shape_read=4), 39),
    (Failing(4, (8, Trap(3, "==", 3), 9, 9)), 45),
    (Failing(4, (8, 3, Trap(9, ">"), 9)), 45),
    (Failing(4, (8, 3, 9, 9), fail_shape_read=3), 45),
    (Failing(4, BadShape()), 45),
    (Failing(4, (8, 9, 9, Trap(3, "==", 3))), 48),
    (Failing(4, (8, 9, Trap(9, ">"), 3)), 48),
    (Failing(4, (8, 2, 9, 3), fail_shape_read=3), 48),
])
def test_failing_statement_lines(image, line):
    with pytest.raises(Fail) as caught:
        guess(image)
    assert own_entries(caught.value) == [(GUESS_ENTRY, SOURCE, line)]


@pytest.mark.parametrize("image, error", [
    (object(), AttributeError),
    (Image(3, None), TypeError),  # shape not subscriptable
    (Image(3, 5), TypeError),
    (Image(3, (3,)), IndexError),  # both ends are the same channel count; shape[1] is missing
    (Image(4, (8, 3)), IndexError),
    (Image(3, {}), KeyError),
    (Image(np.array([3, 3]), (3, 3, 3)), ValueError),  # `nd == 2` is an array with no single truth value
])
def test_errors_propagate_unchanged(image, error):
    with pytest.raises(error) as caught:
        guess(image)
    assert type(caught.value) is error
    assert len(own_entries(caught.value)) == 1


class Truthless:
    def __bool__(self):
        raise Fail("bool")


class Answer:
    """A value whose `==` returns `result` whatever it is compared with."""

    def __init__(self, result):
        self.result = result

    def __eq__(self, other):
        return self.result

    __hash__ = None


class BadBool:
    def __bool__(self):
        return 2


@pytest.mark.parametrize("result, outcome", [
    ("yes", "HW"),  # tested for truth like an `if`
    (1, "HW"),
    ([], "unsupported"),
    (0.0, "unsupported"),
    (np.True_, "HW"),
    (np.array([0, 1]), ValueError),
    (Truthless(), Fail),
    (BadBool(), TypeError),
    (NotImplemented, "unsupported"),  # both sides decline: identity decides, and it is not 2, 3 or 4
])
def test_comparison_results_that_are_not_booleans(result, outcome):
    image = Image(Answer(result), None)
    if isinstance(outcome, str):
        assert guess(image) == outcome
        return
    with pytest.raises(outcome) as caught:
        guess(image)
    assert own_entries(caught.value) == [(GUESS_ENTRY, SOURCE, 23)]
