"""Fetching a catalogue model into the cache folder once: resumed where an earlier try stopped, checked for
size and SHA-256 before it is used, moved into place whole.

The bytes arrive in `.NAME.partial` beside the final file, which is kept when a transfer breaks (the next try
asks the server for the rest with an HTTP range request) and removed when the file turns out wrong. One
process at a time works on a file (a lock beside it), so two runs asking for the same model at once end with
one good copy: the second finds the first's.
"""

import contextlib
import fcntl
import hashlib
import os
import sys
import urllib.error
import urllib.request

from .. import atomic
from . import cache

ATTEMPTS = 3  # transfers per fetch: a connection that breaks is resumed this many times in all
TIMEOUT = 60  # seconds without a byte before a connection counts as broken
CHUNK = 1 << 20


class DownloadError(OSError):
    """A model that could not be fetched or did not match the catalogue: one line for the user."""


def models_folder():
    """Where downloaded models are kept, or None where there is no cache folder."""
    base = cache.folder()
    return None if base is None else base / "models"


def cached_path(entry):
    """The path of `entry`'s file when the cache has it whole (of the catalogue's size), else None."""
    folder = models_folder()
    if folder is None:
        return None
    path = folder / entry.file_name
    try:
        return path if path.stat().st_size == entry.size else None
    except OSError:
        return None


def fetch(entry, *, mirror=None, progress=True):
    """(path, sha256) of `entry`'s file in the cache folder, downloaded first where it is not there whole.

    A file already there is checked against the catalogue's digest too; one that does not match is removed and
    fetched again. DownloadError says what failed; nothing that failed the checks is kept.
    """
    folder = models_folder()
    if folder is None:
        raise DownloadError(f"{entry.name}: there is no cache folder to download it into (set XDG_CACHE_HOME)")
    target = folder / entry.file_name
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with _locked(folder / f".{entry.file_name}.lock"):
            if target.is_file():
                digest = cache.file_digest(target)
                if target.stat().st_size == entry.size and digest == entry.sha256:
                    return target, digest
                target.unlink()  # damaged since it was checked: fetch it again
            partial = folder / f".{entry.file_name}.partial"
            _download(entry, entry.source(mirror), partial, progress)
            digest = _checked(entry, partial)
            atomic.move_into_place(partial, target)
            return target, digest
    except DownloadError:
        raise
    except OSError as error:
        raise DownloadError(f"{entry.name}: {error.strerror or error} ({error.filename or folder})") from None


@contextlib.contextmanager
def _locked(path):
    with open(path, "a+b") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)


def _download(entry, url, partial, progress):
    """Brings `partial` to the catalogue's size from `url`, resuming what it holds."""
    if not url.startswith(("http://", "https://")):
        raise DownloadError(f"{entry.name}: {url} is no http or https address")
    failure = None
    for _ in range(ATTEMPTS):
        have = partial.stat().st_size if partial.exists() else 0
        if have > entry.size:  # more than the file can hold: not the file
            partial.unlink()
            have = 0
        if have == entry.size:
            return
        try:
            _transfer(entry, url, partial, have, progress)
        except urllib.error.HTTPError as error:
            if error.code == 416 and have:  # the server has no such range: start again
                partial.unlink()
                failure = f"HTTP {error.code} {error.reason}"
                continue
            raise DownloadError(f"{entry.name}: {url} answered HTTP {error.code} {error.reason}") from None
        except (urllib.error.URLError, OSError) as error:  # a connection refused, reset or timed out
            reason = getattr(error, "reason", None) or error
            failure = str(reason) or type(error).__name__
            continue
        except _Incomplete as incomplete:
            failure = str(incomplete)
            continue
    have = partial.stat().st_size if partial.exists() else 0
    if have == 0:
        raise DownloadError(f"{entry.name}: could not download {url} ({failure})")
    if have != entry.size:
        raise DownloadError(f"{entry.name}: the download from {url} broke off at {have} of {entry.size} bytes "
                            f"({failure}); run again to resume it")


class _Incomplete(Exception):
    pass


def _transfer(entry, url, partial, have, progress):
    """One connection: appends what the server sends after the first `have` bytes to `partial`."""
    from tqdm import tqdm

    request = urllib.request.Request(url, headers={"User-Agent": "lumivex"})
    if have:
        request.add_header("Range", f"bytes={have}-")
    with urllib.request.urlopen(request, timeout=TIMEOUT) as response:
        if have and response.status != 206:  # the server ignored the range: it sends the whole file
            have = 0
        mode = "ab" if have else "wb"
        with open(partial, mode) as file, tqdm(total=entry.size, initial=have, unit="B", unit_scale=True,
                                               desc=f"downloading {entry.name}", file=sys.stderr,
                                               disable=None if progress else True, leave=False) as bar:
            while have < entry.size:
                try:
                    chunk = response.read(min(CHUNK, entry.size - have))
                except Exception as error:  # http.client's IncompleteRead and the like
                    raise _Incomplete(f"{type(error).__name__}: {error}") from None
                if not chunk:
                    raise _Incomplete("the connection closed early")
                file.write(chunk)
                have += len(chunk)
                bar.update(len(chunk))
            os.fsync(file.fileno())


def _checked(entry, partial):
    """The SHA-256 of the complete `partial`; DownloadError (and the file removed) when it is not the catalogue's."""
    size = partial.stat().st_size
    with open(partial, "rb") as file:
        digest = hashlib.file_digest(file, "sha256").hexdigest()
    if size != entry.size or digest != entry.sha256:
        partial.unlink()
        what = f"{size} bytes, not {entry.size}" if size != entry.size else f"SHA-256 {digest}, not {entry.sha256}"
        raise DownloadError(f"{entry.name}: the downloaded file is wrong ({what}); nothing was kept")
    return digest
