"""Shared test setup: makes `cupy` importable before any lumivex module binds it, and common fixtures.

Without a usable CUDA device (or with LUMIVEX_FORCE_STANDIN=1) the NumPy stand-in plays CuPy; on a GPU the
same tests run against real CuPy.
"""

import os
import pathlib
import sys

import pytest

try:
    import lumivex.testing as _testing
except ImportError:  # running from a checkout that is not installed
    sys.path.append(str(pathlib.Path(__file__).resolve().parents[1] / "src"))
    import lumivex.testing as _testing

CUPY = _testing.install_cupy_standin()


def _describe_cupy():
    if _testing.using_standin():
        import numpy

        forced = os.environ.get(_testing.FORCE_ENV) == "1"
        why = f"forced by {_testing.FORCE_ENV}=1" if forced else "no usable CUDA device"
        return f"the NumPy stand-in for CuPy (NumPy {numpy.__version__}; {why})"
    device = CUPY.cuda.Device()
    name = CUPY.cuda.runtime.getDeviceProperties(device.id)["name"]
    return f"CuPy {CUPY.__version__} on {name.decode() if isinstance(name, bytes) else name} (device {device.id})"


def pytest_sessionstart(session):
    # Said even under -q, where pytest prints no header: a green run on the stand-in proves nothing about a GPU.
    reporter = session.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(f"lumivex: tests run on {_describe_cupy()}")


class Recorder:
    """Callable that records every call as (args, kwargs) and forwards it to `wrapped`, or returns `result`."""

    def __init__(self, wrapped=None, result=None):
        self.wrapped = wrapped
        self.result = result
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.wrapped(*args, **kwargs) if self.wrapped is not None else self.result


@pytest.fixture(scope="session", autouse=True)
def network_cache(tmp_path_factory):
    """Where network probes keep their findings in this run: a temporary folder, never the user's cache."""
    folder = tmp_path_factory.mktemp("xdg-cache")
    before = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = str(folder)  # set for the processes tests start, too
    yield folder
    if before is None:
        os.environ.pop("XDG_CACHE_HOME", None)
    else:
        os.environ["XDG_CACHE_HOME"] = before


@pytest.fixture(scope="session")
def network(tmp_path_factory):
    """The path of a small x2 network file (the placeholder network), for tests that run the command."""
    from lumivex.testing.networks import write_placeholder_network

    return str(write_placeholder_network(tmp_path_factory.mktemp("network") / "x2.onnx", 2))


@pytest.fixture(scope="session")
def make_photos():
    """Function writing `count` random RGB photos of `side` x `side` pixels, 0.png, 1.png, ..., into a new
    `folder`."""
    import numpy as np
    from PIL import Image

    def make(folder, count, side):
        folder.mkdir()
        rng = np.random.default_rng(0)
        for index in range(count):
            Image.fromarray(rng.integers(0, 256, (side, side, 3), dtype=np.uint8)).save(folder / f"{index}.png")
        return folder

    return make


@pytest.fixture(scope="session")
def cp():
    """The module playing `cupy` in this run: real CuPy or the NumPy stand-in."""
    return CUPY


@pytest.fixture(scope="session")
def to_host(cp):
    """Function copying a device array to a NumPy array for comparisons."""
    return cp.asnumpy


@pytest.fixture
def recorder():
    """The Recorder class, for replacing module-level names with call-recording callables."""
    return Recorder


@pytest.fixture(scope="session")
def command():
    """The installed `lumivex-upscale` as a process's argument list; where this interpreter has none (the
    mutation check's private one), the same entry point through it, so that the process sees what it sees."""
    script = pathlib.Path(sys.executable).parent / "lumivex-upscale"
    return [str(script)] if script.exists() else [sys.executable, "-m", "lumivex.upscale.cli"]
