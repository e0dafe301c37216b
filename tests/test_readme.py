"""Every Python example in the README runs as written, each in a fresh interpreter as a reader would run it."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def python_blocks():
    """Each ```python block of the README, named by the heading above it."""
    text = README.read_text(encoding="utf-8")
    blocks = []
    for match in re.finditer(r"^```python\n(.*?)^```$", text, re.MULTILINE | re.DOTALL):
        headings = re.findall(r"^#+ (.+)$", text[:match.start()], re.MULTILINE)
        blocks.append(pytest.param(match.group(1), id=headings[-1] if headings else "top"))
    return blocks


BLOCKS = python_blocks()


def test_the_readme_has_python_examples():
    assert BLOCKS, "no ```python block found: the examples would go untested"


@pytest.mark.parametrize("code", BLOCKS)
def test_readme_example_runs(code, tmp_path):
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    completed = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, env=env,
                               cwd=tmp_path, timeout=120)
    assert completed.returncode == 0, completed.stderr
