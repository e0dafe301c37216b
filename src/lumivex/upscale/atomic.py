"""Output files that are either whole or absent: written under a temporary name beside the target, then moved
into place.

The temporary name is `.NAME.<pid>.<8 hex digits>.part`: hidden (folder scans skip dot-files), on the target's
file system (so the move is a rename), and naming the process that made it, so that a later run can tell what a
process that died left behind (`orphaned_temporaries`). The temporary files alive in this process are known
(`remove_live_temporaries`), so that a signal handler can remove them before the process ends.

A file is flushed to the disk before the rename that publishes it, and the folder after it: a rename can reach the
disk before the data it names, and a power loss would then leave an empty or partial file under the final name.
"""

import contextlib
import errno
import os
import pathlib
import re
import secrets

_TEMPORARY = re.compile(r"\.(?P<name>.+)\.(?P<pid>[0-9]+)\.[0-9a-f]{8}\.part")
_live = set()  # temporary paths this process has open and not yet moved or removed


def temporary_path(path):
    """A new temporary name beside `path`, marked with this process's id."""
    path = pathlib.Path(path)
    return path.parent / f".{path.name}.{os.getpid()}.{secrets.token_hex(4)}.part"


@contextlib.contextmanager
def atomic_output(path, *, replace=True):
    """Yields a binary file open for writing and reading on a new temporary file beside `path`; when the block
    ends normally the file is flushed to the disk, closed and moved to `path`.

    `replace=False` never replaces a file that is at `path` by then, whoever put it there: FileExistsError.
    On any exception, KeyboardInterrupt included, the temporary file is removed and the exception propagates.
    The file is created like any new file (the umask applies), unlike mkstemp's private 0600 files.
    """
    path = pathlib.Path(path)
    temporary = temporary_path(path)
    # Known before it exists and forgotten only once it is gone: a signal handler that raises may interrupt any
    # line here, even the clean-up, and remove_live_temporaries must then still find the file.
    _live.add(temporary)
    try:
        # Readable too: a writer may go back over what it wrote (a Matroska header completed afterwards).
        descriptor = os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o666)
        with os.fdopen(descriptor, "w+b") as file:
            yield file
            file.flush()
            os.fsync(file.fileno())
        move_into_place(temporary, path, replace=replace)
        sync_folder(path.parent)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        _live.discard(temporary)
        raise
    _live.discard(temporary)


def move_into_place(temporary, path, *, replace=True):
    """Renames `temporary` to `path`; with `replace=False` only if nothing is at `path` (FileExistsError)."""
    if replace:
        os.replace(temporary, path)
        return
    try:
        # A hard link is made only where no name exists yet, atomically, even on network file systems; the
        # rename that would replace silently is not.
        os.link(temporary, path)
    except FileExistsError:
        raise FileExistsError(errno.EEXIST, "appeared while this output was being made", str(path)) from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK):
            raise
        # A file system without hard links: look, then rename (a tiny window instead of none).
        if os.path.lexists(path):
            raise FileExistsError(errno.EEXIST, "appeared while this output was being made", str(path)) from None
        os.rename(temporary, path)
        return
    os.unlink(temporary)


def sync_folder(folder):
    """Flushes `folder`'s entries (a rename into it) to the disk, where the file system can."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EBADF):
            raise  # a real write error: what was renamed may not be on the disk
    finally:
        os.close(descriptor)


def remove_live_temporaries():
    """Removes every temporary file this process has open (for a signal handler); returns how many."""
    removed = 0
    for temporary in list(_live):
        with contextlib.suppress(OSError):
            os.unlink(temporary)
            removed += 1
        _live.discard(temporary)
    return removed


class Snapshot:
    """What is at `paths` now, to count later how many of them were put in place since: the count of outputs an
    interrupted run says it wrote is what is on the disk, whatever it had counted when the signal came."""

    def __init__(self, paths):
        self._before = {path: _identity(path) for path in paths}

    def placed_since(self):
        return sum(1 for path, before in self._before.items() if _identity(path) not in (None, before))


def _identity(path):
    try:
        status = os.stat(path, follow_symlinks=False)
    except OSError:
        return None
    return status.st_dev, status.st_ino, status.st_mtime_ns, status.st_size


def parse_temporary_name(name):
    """(NAME, pid) for a temporary file name `.NAME.<pid>.<hex>.part` made by `temporary_path`, else None."""
    match = _TEMPORARY.fullmatch(name)
    return None if match is None else (match["name"], int(match["pid"]))


def orphaned_temporaries(folder, names=None):
    """Temporary files in `folder` made by this command for a process that is no longer alive on this machine:
    paths of `.NAME.<pid>.<hex>.part` files, NAME one of `names` when given."""
    folder = pathlib.Path(folder)
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return []
    found = []
    for entry in entries:
        parsed = parse_temporary_name(entry.name)
        if parsed is None or (names is not None and parsed[0] not in names):
            continue
        if not _alive(parsed[1], entry.name) and entry.is_file(follow_symlinks=False):
            found.append(folder / entry.name)
    return found


def _alive(pid, name):
    if pid == os.getpid():
        # This process's id on a file it does not have open: left by an earlier process that had the same id
        # (a container restarted, a machine rebooted), which is gone. The random part makes the name unique.
        return any(temporary.name == name for temporary in _live)
    return pid_alive(pid)


def pid_alive(pid):
    """Whether a process `pid` runs on this machine (someone else's counts)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # someone else's process
        return True
    return True
