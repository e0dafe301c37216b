"""The probe's findings kept between runs: one small JSON file per network file (by its SHA-256 digest),
value range and colour order, in `$XDG_CACHE_HOME/lumivex` (default `~/.cache/lumivex`).

A cache that is missing, unreadable, stale or unwritable only means probing again: it never fails a load.
"""

import hashlib
import json
import os
import pathlib

from .. import atomic

VERSION = 1  # raised whenever the probe's findings change meaning, so older entries are not trusted


def folder():
    """The cache folder, or None where the user has no home to put it in."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    if os.path.isabs(base):  # the XDG rules ignore a relative path
        return pathlib.Path(base) / "lumivex"
    try:
        return pathlib.Path.home() / ".cache" / "lumivex"
    except RuntimeError:
        return None


def file_digest(path):
    """The SHA-256 digest of the file at `path` (hex), read in chunks."""
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def entry_name(digest, value_range, bgr):
    return f"{digest}-{value_range}-{'bgr' if bgr else 'rgb'}.json"


def load(name):
    """The dict stored under `name`, or None when there is none usable."""
    where = folder()
    if where is None:
        return None
    try:
        data = json.loads((where / name).read_text())
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict) or data.pop("version", None) != VERSION:
        return None
    return data


def store(name, findings):
    """Keeps the JSON-ready dict `findings` under `name`; returns whether it could."""
    where = folder()
    if where is None:
        return False
    try:
        where.mkdir(parents=True, exist_ok=True)
        # Written beside the entry, flushed to the disk and moved into place (atomic_output), so a reader never
        # sees half a file, not even after a power loss.
        with atomic.atomic_output(where / name) as file:
            file.write(json.dumps({"version": VERSION, **findings}).encode())
        return True
    except OSError:
        return False
