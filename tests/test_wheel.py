"""The wheel the suite runs from (tools/test.sh builds and installs one) is a manylinux wheel by auditwheel's
judgement: the modules need no shared library beyond what every manylinux system provides; it and the installed
package hold the two native modules and no test-only one.
"""

import importlib.metadata
import json
import os
import pathlib
import re
import subprocess
import sys
import urllib.parse
import urllib.request
import zipfile

import pytest

import lumivex

NATIVE_MODULES = {"lumivex/utils/shapery", "lumivex/upscale/tile"}


def installed_wheel():
    origin = json.loads(importlib.metadata.distribution("lumivex").read_text("direct_url.json") or "{}")
    url = origin.get("url", "")
    if "archive_info" not in origin or not url.startswith("file:") or not url.endswith(".whl"):
        pytest.skip("lumivex was not installed from a wheel file (tools/test.sh installs one)")
    path = pathlib.Path(urllib.request.url2pathname(urllib.parse.urlparse(url).path))
    assert path.is_file(), f"the installed wheel {path} is gone"
    return path


def test_auditwheel_accepts_the_wheel_as_manylinux():
    # A sanitizer build links the sanitizer runtimes, which must then be preloaded for the modules to load.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("sanitizer build")
    pytest.importorskip("auditwheel", reason="auditwheel (the test extra) is not installed")
    wheel = installed_wheel()
    completed = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)],
                               capture_output=True, text=True, timeout=120)
    assert completed.returncode == 0, completed.stderr
    tag = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', completed.stdout)
    assert tag is not None, completed.stdout
    assert tag.group(1).startswith("manylinux_"), completed.stdout


def native_modules(paths):
    """The native modules among `paths` (relative to the folder holding `lumivex`), without their ABI suffix."""
    return {path.split(".", 1)[0] for path in paths if path.endswith(".so")}


def test_only_the_shipped_modules_are_installed_and_in_the_wheel():
    # Test aids with bodies broken on purpose are built beside the package, never into it.
    home = pathlib.Path(lumivex.__file__).parent
    installed = native_modules(str(path.relative_to(home.parent)) for path in home.rglob("*.so"))
    assert installed == NATIVE_MODULES
    with zipfile.ZipFile(installed_wheel()) as wheel:
        assert native_modules(wheel.namelist()) == NATIVE_MODULES
