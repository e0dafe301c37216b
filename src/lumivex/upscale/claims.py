"""Claims on outputs, so that runs sharing an output folder (a second terminal, a cron job overlapping the last
one, Ray workers on many machines) never upscale the same file at once and never replace each other's results.

    from lumivex.upscale import claims

    status = claims.write_once(target, lambda: process_file(source, target, model, options))
    # WRITTEN, EXISTS (done by another run before its turn), CLAIMED (another run is on it) or OVERTAKEN

A claim is a lock file `.NAME.lock` beside the output NAME. It is made whole under a temporary name and linked
into place (`atomic.atomic_output(replace=False)`: a hard link is only made where no name exists, atomically,
on local and network file systems alike), so a reader never sees half of one. It holds its owner as JSON: host
name, boot, process id and the process's start time, the run it belongs to, and a random token that tells this
claim from any other. The claims this process holds are known, so that an interrupted run can release them.

A claim nobody holds any more is broken by the next run that meets it (`claim`, `sweep`):
- one of this host whose process is gone: no such pid, the pid now belongs to a process started later, or the
  machine booted since;
- one of the same run (the attempt of a Ray worker that died before Ray retried its file);
- one of another host once it is STALE_AGE old: this host cannot ask whether that process lives, a host that
  died mid-run would otherwise keep its files claimed for ever, and no single image takes a day.
A lock file that cannot be read as a claim (empty, garbage, a folder: damaged, or made by someone else) cannot say
whose it is, so it is judged as a claim of another host, by its age: broken once STALE_AGE old, which is said
(`notify`); until then making its output fails with UnreadableClaim, which names the file, rather than
skipping the output as if a run were making it. A folder is only removed when empty. Breaking a claim wrongly
(say, containers of one machine that share a host name) costs doubled work, never an output: `write_once` never
replaces a file that appeared while it worked.

A dangling link at an output is no run's work: `write_once` fails with DanglingOutput (and replaces the link
itself only with `overwrite`).
"""

import contextlib
import dataclasses
import json
import os
import pathlib
import secrets
import socket
import time

from . import atomic

STALE_AGE = 24 * 3600  # seconds after which a claim of another host is taken to be abandoned
# A claim's own temporary file lives for microseconds; one of a process that looks dead here may still be a
# claim being made on another host unless it is this old.
_CLAIM_TEMPORARY_AGE = 600
_SUFFIX = ".lock"

WRITTEN = "written"
EXISTS = "exists"  # found done when its turn came
CLAIMED = "claimed"  # another run holds the claim
OVERTAKEN = "overtaken"  # another run put the output in place while this one worked on it; its result was kept
SHARED = "shared"  # made in parts (a video's segments), some here; another run holds the rest and finishes it

_held = {}  # absolute lock path -> token of every claim this process holds or is making
# Called with one line for the user whenever an unreadable claim is broken; the command sets it to print.
notify = None


class UnreadableClaim(OSError):
    """A lock file in an output's place that cannot be read as a claim and is not old enough to break."""


class DanglingOutput(OSError):
    """A link at an output that points at nothing; replaced only with `overwrite`."""


@dataclasses.dataclass(frozen=True)
class _Unreadable:
    """What `_read` finds where a claim should be that cannot be read as one: why not."""

    reason: str


def lock_path(target):
    """Where the claim of the output `target` lives: `.NAME.lock` beside it."""
    target = pathlib.Path(target)
    return target.parent / f".{target.name}{_SUFFIX}"


def write_once(target, write, *, overwrite=False, run=None):
    """Calls `write()` to make `target` unless another run is making it or has made it; returns the outcome.

    `write` must move its result into place without replacing a file that is there by then (FileExistsError)
    unless `overwrite`. The claim is held while `write` runs and released however it ends; what `write`
    raises propagates. `run` names the run this process works for (see `claim`).
    """
    if found_done(target, overwrite=overwrite):
        return EXISTS  # without a claim made and removed for nothing, for re-runs over millions of files
    with holding(target, run=run) as mine:
        if not mine:
            return CLAIMED
        if not overwrite and os.path.lexists(target):  # done by the run that held the claim until just now
            return EXISTS
        # Outputs are written as they are made, so a maker that died (a worker killed mid-file) left its
        # temporary file; with the claim ours, what dead processes left for this output is garbage.
        target = pathlib.Path(target)
        for temporary in atomic.orphaned_temporaries(target.parent, {target.name}):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(temporary)
        try:
            write()
        except FileExistsError:
            if overwrite or not os.path.lexists(target):
                raise
            return OVERTAKEN
    return WRITTEN


def found_done(target, *, overwrite=False):
    """Whether `target` is there and not to be replaced; DanglingOutput for a link to nothing there."""
    if overwrite:
        return False
    if os.path.islink(target) and not os.path.exists(target):
        raise DanglingOutput(f"{target} is a link to {os.readlink(target)}, which does not exist; not replaced "
                             f"(--overwrite replaces the link)")
    return os.path.lexists(target)


@contextlib.contextmanager
def holding(target, *, run=None):
    """Claims `target` for the block: yields whether this process got the claim, and releases it after."""
    mine = claim(target, run=run)
    try:
        yield mine
    finally:
        if mine:
            release(target)


def claim(target, *, run=None):
    """True when this process now holds the claim of `target`; False when another run's claim holds it;
    UnreadableClaim when a lock file that cannot be read is in the way and is not old enough to break.

    An abandoned claim in the way is broken first. `run`: an id shared by the workers of one run; a claim of
    the same run that this process does not hold is an earlier attempt's, and is broken.
    """
    lock = lock_path(target)
    key = os.path.abspath(lock)
    if key in _held:
        return False  # this process holds it already, for another job of the same output
    for _ in range(3):  # again after breaking an abandoned claim, or after the holder released it meanwhile
        token = secrets.token_hex(8)
        _held[key] = token  # before the claim exists: an interruption anywhere below leaves nothing behind
        try:
            with atomic.atomic_output(lock, replace=False) as file:
                file.write(_owner(run, token))
            return True
        except FileExistsError:
            del _held[key]
        except OSError:  # a folder this process may not write in, say: no claim was made
            del _held[key]
            raise
        holder = _read(lock)
        if holder is not None and not (_abandoned(holder, lock, run) and _break(lock, holder)):
            if isinstance(holder, _Unreadable):
                age = _age(lock)
                when = (f"is only {_duration(age)} old" if age <= STALE_AGE else
                        f"is {_duration(age)} old, but could not be removed")
                raise UnreadableClaim(f"{lock} cannot be read as a claim ({holder.reason}) and {when}; remove it "
                                      f"if no run is writing {target} (it is broken once {_duration(STALE_AGE)} "
                                      f"old)")
            return False
    return False


def release(target):
    """Removes this process's claim of `target`, if it holds it (never another run's)."""
    _release(os.path.abspath(lock_path(target)))


def release_all():
    """Removes every claim this process holds (for an interrupted run); returns how many."""
    released = 0
    for key in list(_held):
        released += _release(key)
    return released


def sweep(folder, names):
    """Removes what runs that ended early left in `folder` beside the outputs `names`: their abandoned claims,
    and their temporary files (`atomic.orphaned_temporaries`) where no claim says they may still be in use.
    Returns how many files were removed."""
    folder = pathlib.Path(folder)
    names = set(names)
    locks = {lock_path(folder / name).name: name for name in names}
    removed = 0
    try:
        entries = [entry.name for entry in os.scandir(folder) if entry.name in locks]
    except OSError:
        return 0
    for name in entries:
        lock = folder / name
        holder = _read(lock)
        if holder is not None and _abandoned(holder, lock, None) and _break(lock, holder):
            removed += 1
    for temporary in atomic.orphaned_temporaries(folder, names | set(locks)):
        name, _ = atomic.parse_temporary_name(temporary.name)
        if name in locks:
            if _age(temporary) < _CLAIM_TEMPORARY_AGE:
                continue
        elif os.path.lexists(lock_path(folder / name)):
            continue  # claimed: its maker may live on another host, where its pid means nothing to this one
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
            removed += 1
    return removed


def _owner(run, token):
    return json.dumps({"host": _HOST, "boot": _BOOT, "pid": os.getpid(), "started": _started(os.getpid()),
                       "run": run, "token": token}).encode()


def _read(lock):
    """The owner written in `lock`; None when there is no such file; _Unreadable when it is not a claim."""
    try:
        with open(lock, "rb") as file:
            text = file.read(4096)
    except FileNotFoundError:
        return None
    except IsADirectoryError:
        return _Unreadable("a folder")
    except OSError as error:
        return _Unreadable(error.strerror or type(error).__name__)
    if not text.strip():
        return _Unreadable("an empty file")
    try:
        holder = json.loads(text)
    except ValueError:
        return _Unreadable("not the JSON of a claim")
    if not isinstance(holder, dict) or not isinstance(holder.get("pid"), int) or "token" not in holder:
        return _Unreadable("not the JSON of a claim")
    return holder


def _abandoned(holder, lock, run):
    if os.path.abspath(lock) in _held:
        return False
    if isinstance(holder, _Unreadable):
        return _age(lock) > STALE_AGE  # whose it is cannot be known: as a claim of another host
    if run is not None and holder.get("run") == run:
        return True
    if holder.get("host") != _HOST:
        return _age(lock) > STALE_AGE
    if holder.get("boot") and _BOOT and holder["boot"] != _BOOT:
        return True
    pid = holder["pid"]
    if pid == os.getpid():
        return True  # not held by this process (above): an earlier process with the same id
    if not atomic.pid_alive(pid):
        return True
    started, recorded = _started(pid), holder.get("started")
    return started is not None and recorded is not None and started != recorded


def _break(lock, holder):
    """Removes the abandoned claim `lock` if it still is the one read as `holder`; True when it is gone."""
    # Moved aside first, then compared: two runs breaking the same claim at once must not remove the new claim
    # the faster one has made meanwhile.
    aside = atomic.temporary_path(lock)
    try:
        os.rename(lock, aside)
    except FileNotFoundError:
        return True
    except OSError:
        return False
    if _read(aside) == holder:
        if not isinstance(holder, _Unreadable):
            os.unlink(aside)
            return True
        age = _age(aside)  # a rename keeps the time it was made
        try:
            if os.path.isdir(aside) and not os.path.islink(aside):
                os.rmdir(aside)
            else:
                os.unlink(aside)
        except OSError:  # a folder with something in it: not ours to empty
            with contextlib.suppress(OSError):
                os.rename(aside, lock)
            return False
        if notify is not None:
            notify(f"broke {lock}, which could not be read as a claim ({holder.reason}) and was "
                   f"{_duration(age)} old")
        return True
    with contextlib.suppress(OSError):
        os.link(aside, lock)  # someone else's new claim: put back, unless yet another has appeared
    os.unlink(aside)
    return False


def _release(key):
    token = _held.get(key)
    if token is None:
        return 0
    holder = _read(key)
    released = 0
    if isinstance(holder, dict) and holder.get("token") == token:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(key)
            released = 1
    _held.pop(key, None)
    return released


def _age(path):
    try:
        return time.time() - os.stat(path).st_mtime
    except OSError:
        return 0.0


def _duration(seconds):
    """A short duration for the user: '40 s', '5 min', '3 h', '2 days'."""
    for unit, length, from_ in (("days", 86400, 2 * 86400), ("h", 3600, 3600), ("min", 60, 60)):
        if seconds >= from_:
            return f"{seconds // length:.0f} {unit}"
    return f"{seconds:.0f} s"


def _started(pid):
    """When process `pid` started, in clock ticks since boot (Linux); None where that cannot be read."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as file:
            fields = file.read().rsplit(b")", 1)[1].split()
        return int(fields[19])  # field 22 of the file; the name in parentheses before may hold anything
    except (OSError, IndexError, ValueError):
        return None


def _boot_id():
    try:
        with open("/proc/sys/kernel/random/boot_id") as file:
            return file.read().strip()
    except OSError:
        return ""


_HOST = socket.gethostname()
_BOOT = _boot_id()
