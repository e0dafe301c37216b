"""Every operation of a body that can fail is reported at the source line of its own statement.

A membrane wraps the objects a body works on (its array arguments and the module-level names it looks up) in
proxies that forward each operation and raise on the n-th one. Calling a function with n = 1, 2, ... makes
each operation the body performs fail once, in order; the lines of the traceback entries, repeats collapsed,
must be the body's statements in the order they run. Deleting a module-level name the body looks up must
give the NameError of Python at the statement of the lookup.
"""

import builtins
import operator

import numpy as np
import pytest

from lumivex.upscale import tile
from lumivex.utils import shapery


class Injected(Exception):
    """The failure the membrane raises."""


class Budget:
    def __init__(self, allowed):
        self.left = allowed

    def spend(self):
        self.left -= 1
        if self.left == 0:
            raise Injected


def wrap(value, budget):
    return value if value is None or isinstance(value, Proxy) else Proxy(value, budget)


def unwrap(value):
    if isinstance(value, Proxy):
        return object.__getattribute__(value, "_target")
    if isinstance(value, tuple):
        return tuple(unwrap(v) for v in value)
    if isinstance(value, list):
        return [unwrap(v) for v in value]
    if isinstance(value, slice):
        return slice(unwrap(value.start), unwrap(value.stop), unwrap(value.step))
    return value


class Proxy:
    __slots__ = ("_target", "_budget")
    __array_ufunc__ = None  # arrays hand binary operations with a proxy back to the proxy

    def __init__(self, target, budget):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_budget", budget)

    def _spend(self):
        budget = object.__getattribute__(self, "_budget")
        budget.spend()
        return object.__getattribute__(self, "_target"), budget

    def __getattr__(self, name):
        target, budget = self._spend()
        return wrap(getattr(target, name), budget)

    def __call__(self, *args, **kwargs):
        target, budget = self._spend()
        return wrap(target(*unwrap(args), **{k: unwrap(v) for k, v in kwargs.items()}), budget)

    def __getitem__(self, key):
        target, budget = self._spend()
        return wrap(target[unwrap(key)], budget)

    def __setitem__(self, key, value):
        target, _ = self._spend()
        target[unwrap(key)] = unwrap(value)

    def __iter__(self):
        target, budget = self._spend()
        return Proxy(iter(target), budget)

    def __next__(self):
        target, budget = self._spend()
        return wrap(next(target), budget)

    def __len__(self):
        return len(self._spend()[0])

    def __bool__(self):
        return bool(self._spend()[0])

    def __index__(self):
        return operator.index(self._spend()[0])

    def __neg__(self):
        target, budget = self._spend()
        return wrap(-target, budget)

    @property
    def __class__(self):  # what isinstance asks of an object that is no instance by type
        self._spend()
        return Proxy

    def __repr__(self):
        return repr(object.__getattribute__(self, "_target"))

    __str__ = __repr__


def _binary(function, reflected=False):
    def method(self, other):
        target, budget = self._spend()
        return wrap(function(unwrap(other), target) if reflected else function(target, unwrap(other)), budget)
    return method


def _inplace(function):
    def method(self, other):
        target, budget = self._spend()
        result = function(target, unwrap(other))
        return self if result is target else wrap(result, budget)
    return method


for _name in ["add", "sub", "mul", "truediv", "floordiv", "mod", "pow"]:
    setattr(Proxy, f"__{_name}__", _binary(getattr(operator, _name)))
    setattr(Proxy, f"__r{_name}__", _binary(getattr(operator, _name), reflected=True))
    setattr(Proxy, f"__i{_name}__", _inplace(getattr(operator, f"i{_name}")))
for _name in ["lt", "le", "eq", "ne", "gt", "ge"]:
    setattr(Proxy, f"__{_name}__", _binary(getattr(operator, _name)))


class TickingList(list):
    """A list subclass, whose iteration runs Python code that can fail."""

    def __init__(self, items, budget):
        super().__init__(items)
        self.budget = budget

    def __iter__(self):
        self.budget.spend()
        return Proxy(super().__iter__(), self.budget)


class Membrane:
    """What a case wraps its arguments with: p(value) a proxy, p.list(items) a list subclass."""

    def __init__(self, budget):
        self.budget = budget

    def __call__(self, value):
        return wrap(value, self.budget)

    def list(self, items):
        return TickingList([self(item) for item in items], self.budget)


def host(shape, dtype=np.float32):
    return (np.arange(int(np.prod(shape))) % 7 + 1).astype(dtype).reshape(shape)


def entry_lines(error, module, function):
    name, lines, tb = f"{module.__name__}.{function}", [], error.__traceback__
    while tb is not None:
        if tb.tb_frame.f_code.co_name == name:
            lines.append(tb.tb_lineno)
        tb = tb.tb_next
    return lines


def statement_lines(monkeypatch, module, function, names, call):
    """Lines reported when each operation of `call` fails in turn, repeats collapsed."""
    originals = {name: getattr(module, name) for name in names}
    body = originals.get(function, getattr(module, function))
    lines = []
    for allowed in range(1, 1000):
        budget = Budget(allowed)
        for name, value in originals.items():
            monkeypatch.setattr(module, name, Proxy(value, budget))
        try:
            call(body, Membrane(budget))
        except Injected as error:
            (line,) = entry_lines(error, module, function)
            if not lines or lines[-1] != line:
                lines.append(line)
        else:
            return lines
    raise AssertionError("the call never ran to its end")


SHAPERY_NAMES = ["cp", "guess_image_layout", "bgr_to_rgb", "rgb_to_bgr", "resize", "INTER_AUTO", "image_to_batch"]
TILE_NAMES = ["cp", "add_padding", "create_gaussian_weights", "to_float32"]


CASES = [
    # guess_image_layout, through each of its verdicts
    ("guess_image_layout", lambda fn, cp, p: fn(p(cp.zeros((5, 5)))), [21, 23]),
    ("guess_image_layout", lambda fn, cp, p: fn(p(cp.zeros((3, 5, 5)))),
     [21, 23, 26, 27, 29, 31]),
    ("guess_image_layout", lambda fn, cp, p: fn(p(cp.zeros((5, 5, 2)))),
     [21, 23, 26, 27, 29, 31, 37, 39]),
    ("guess_image_layout", lambda fn, cp, p: fn(p(cp.zeros((2, 5, 5, 3)))),
     [21, 23, 26, 43, 45, 48]),
    # image_to_batch: named layouts, then an inferred one through every step
    ("image_to_batch", lambda fn, cp, p: fn(p(cp.zeros((5, 6))), layout=p("HW"), swap_rb=False),
     [150, 159, 162, 191]),
    ("image_to_batch", lambda fn, cp, p: fn(p(cp.zeros((2, 5, 6, 3))), layout="NHWC"), [157]),
    ("image_to_batch", lambda fn, cp, p: fn(
        p(cp.array(host((5, 6, 3)))), 0.5, p((4, 4)), p([1.0, 2.0, 3.0]), p(True), None),
     [151, 153, 155, 158, 189, 162, 165, 166, 170, 172, 176, 178, 180, 182, 186, 191]),
    ("image_to_batch", lambda fn, cp, p: fn(
        p(cp.array(host((3, 5, 6)))), 0.5, None, p([2.0]), p(True), None),
     [151, 153, 155, 158, 189, 192, 162, 165, 176, 178, 179, 182, 186, 194]),
    # images_to_batch: a list, and one array
    ("images_to_batch", lambda fn, cp, p: fn(p.list([cp.zeros((5, 6, 3))] * 2), swap_rb=False),
     [107, 108, 107, 108, 107, 117]),
    ("images_to_batch", lambda fn, cp, p: fn(p(cp.zeros((5, 6, 3))), swap_rb=False), [105, 118]),
    # batch_to_images: an inferred layout and every per-entry step
    ("batch_to_images", lambda fn, cp, p: fn(
        p(cp.array(host((2, 3, 5, 6)))), 2.0, p([1.0, 2.0, 3.0]), p(True), None),
     [68, 69, 72, 74, 75, 76, 78, 80, 82, 85, 87, 72, 74, 75, 76, 85, 87, 72]),
    ("batch_to_images", lambda fn, cp, p: fn(p(cp.zeros((2, 3, 5, 6))), mean=p([1.0]), layout=p("NCHW")),
     [65, 72, 74, 76, 78, 80, 81, 87, 72, 74, 76, 87, 72]),
    # the pixel-shift pair
    ("image_to_batch_pixelshift", lambda fn, cp, p: fn(
        p(cp.array(host((4, 6, 3)))), 2, 0.5, p([1.0, 2.0, 3.0]), p(True)),
     [206, 207, 210, 211, 212, 214, 216, 218, 220, 222, 224, 225, 229, 230, 229, 230, 229, 230, 229, 230]),
    ("image_to_batch_pixelshift", lambda fn, cp, p: fn(
        p(cp.zeros((2, 2, 1))), 1, None, p([0.5]), False), [206, 207, 212, 214, 216, 217, 220, 224, 225, 229, 230]),
    ("pixelshift_fuse", lambda fn, cp, p: fn(
        p(cp.zeros((2, 1, 2, 2))), p(cp.zeros((1, 4, 4), dtype=cp.float32)), p(cp.zeros((1, 4, 4))), 1, 2),
     [253, 254, 257, 258, 259, 260, 257, 258, 259, 260]),
    # tile
    ("add_padding", lambda fn, cp, p: fn(p(cp.zeros((5, 6, 3))), 4, 2), [38, 39, 40, 42, 45]),
    ("tile_image", lambda fn, cp, p: fn(p(cp.zeros((5, 6, 3))), 4, 2),
     [24, 25, 29, 30, 31, 30, 31, 34]),
    ("create_gaussian_weights", lambda fn, cp, p: fn(5, 2),
     [112, 113, 114, 115, 116, 117, 118]),
    ("merge_tiles", lambda fn, cp, p: fn([p(cp.ones((4, 4, 1)))] * 2, (4, 6, 1), (4, 6, 1), 1, 4, 2),
     [64, 65, 71, 76, 78, 80, 81, 76, 78, 80, 81, 87, 90]),
    # ... with sides of its own making, which the scaling and both grid ranges compute with
    ("merge_tiles", lambda fn, cp, p: fn([p(cp.ones((4, 4, 1)))] * 2, (4, 6, 1), (p(4), p(6), 1), 1, 4, 2),
     [61, 64, 65, 71, 73, 74, 76, 78, 80, 81, 76, 78, 80, 81, 87, 90]),
]


@pytest.mark.parametrize("function, call, expected", CASES, ids=[c[0] for c in CASES])
def test_each_failing_operation_reports_its_statement(cp, monkeypatch, function, call, expected):
    module = tile if hasattr(tile, function) else shapery
    names = TILE_NAMES if module is tile else SHAPERY_NAMES
    assert statement_lines(monkeypatch, module, function, names, lambda fn, p: call(fn, cp, p)) == expected


def merge_one_tile(fn, cp):
    return fn([cp.ones((4, 4, 1))], (4, 4, 1), (4, 4, 1), 1, 4, 2)


LOOKUPS = [
    # (function, module-level name, call, line of the statement that looks the name up)
    ("image_to_batch", "guess_image_layout", lambda fn, cp: fn(cp.zeros((5, 6, 3)), layout=None), 151),
    ("image_to_batch", "bgr_to_rgb", lambda fn, cp: fn(cp.zeros((5, 6, 3))), 166),
    ("image_to_batch", "resize", lambda fn, cp: fn(cp.zeros((5, 6, 3)), size=4), 172),
    ("image_to_batch", "cp", lambda fn, cp: fn(cp.zeros((3, 5, 6)), layout="CHW"), 194),
    ("images_to_batch", "image_to_batch", lambda fn, cp: fn([cp.zeros((5, 6, 3))]), 108),
    ("images_to_batch", "image_to_batch", lambda fn, cp: fn(cp.zeros((5, 6, 3))), 118),
    ("images_to_batch", "cp", lambda fn, cp: fn([cp.zeros((1, 3, 5, 6))], layout="NCHW"), 117),
    ("batch_to_images", "guess_image_layout", lambda fn, cp: fn(cp.zeros((2, 3, 5, 6)), layout=None), 68),
    ("batch_to_images", "rgb_to_bgr", lambda fn, cp: fn(cp.zeros((2, 3, 5, 6))), 76),
    ("batch_to_images", "cp", lambda fn, cp: fn(cp.zeros((2, 3, 5, 6)), mean=1.0), 87),
    ("image_to_batch_pixelshift", "bgr_to_rgb", lambda fn, cp: fn(cp.zeros((4, 4, 3)), 2), 211),
    ("image_to_batch_pixelshift", "cp", lambda fn, cp: fn(cp.zeros((4, 4, 3)), 2, mean=1.0), 220),
    ("image_to_batch_pixelshift", "cp", lambda fn, cp: fn(cp.zeros((4, 4, 3)), 2), 225),
    ("pixelshift_fuse", "cp", lambda fn, cp: fn(cp.zeros((1, 1, 2, 2)), cp.zeros((1, 4, 4)), 0.0, 0, 2), 258),
    ("tile_image", "add_padding", lambda fn, cp: fn(cp.zeros((5, 6, 3)), 4, 2), 24),
    ("add_padding", "cp", lambda fn, cp: fn(cp.zeros((5, 6, 3)), 4, 2), 45),
    ("create_gaussian_weights", "cp", lambda fn, cp: fn(5, 2), 112),
    ("merge_tiles", "cp", merge_one_tile, 64),
    ("merge_tiles", "create_gaussian_weights", merge_one_tile, 71),
    ("merge_tiles", "to_float32", merge_one_tile, 76),
]


@pytest.mark.parametrize("function, name, call, line", LOOKUPS, ids=[f"{c[0]}-{c[1]}-{c[3]}" for c in LOOKUPS])
def test_a_deleted_module_name_is_a_name_error_then_found_in_the_builtins(cp, monkeypatch, function, name, call,
                                                                          line):
    module = tile if hasattr(tile, function) else shapery
    fn, value = getattr(module, function), getattr(module, name)
    monkeypatch.delattr(module, name)
    with pytest.raises(NameError) as caught:
        call(fn, cp)
    assert str(caught.value) == f"name '{name}' is not defined"
    assert entry_lines(caught.value, module, function) == [line]
    # A name the module lacks is looked up in the builtins next, as Python does.
    monkeypatch.setattr(builtins, name, value, raising=False)
    call(fn, cp)


@pytest.mark.parametrize("function, shape, line", [("batch_to_images", (1, 3, 2, 2), 79),
                                                   ("image_to_batch_pixelshift", (4, 4, 3), 215)])
def test_a_mean_too_large_for_a_float_is_reported_at_its_conversion(cp, function, shape, line):
    with pytest.raises(OverflowError) as raised:
        getattr(shapery, function)(cp.zeros(shape), mean=10 ** 400)
    assert entry_lines(raised.value, shapery, function) == [line]
