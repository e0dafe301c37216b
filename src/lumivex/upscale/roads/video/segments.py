"""The shared and resumable work of one video: its encoded segments, kept in a hidden folder beside the target
until the output is assembled, so that an interrupted run takes up the segments still missing, and several runs
(processes, Ray workers, machines on a shared file system) make the segments of one video together.

The folder `.NAME.segments` (for the target NAME) holds `job.json`, which says what the work is (the source
file's identity, the encoding, the upscaling settings and where the segments start), written once by the
first run, and one file per finished segment, `000000.packets`, `000001.packets`, ..., each moved into place
whole (`atomic_output`), so a file there is complete unless the disk corrupted it; the checksum in its trailer
tells. A segment is claimed before it is made, as an output is (`claims`: a lock file `.000003.packets.lock`
beside it, broken when its holder is gone), so no two runs make the same one. A segment file is the encoder's
packets as written (pts, dts, duration, keyframe flag, bytes), then a JSON trailer (frames, first timestamp,
the encoder's out-of-band headers, a digest of the job, CRC-32) and its length. No media container is used for
this: Matroska rounds timestamps to milliseconds and MP4 holds only some codecs, and this must keep every packet
as the encoder made it, for any encoder and time base.

Each segment says which job made it, so work done with other settings or from a changed source file is never
mixed in, even where a run of another job shares the folder.
"""

import contextlib
import hashlib
import json
import os
import pathlib
import struct
import zlib

from ... import claims
from ...atomic import atomic_output, orphaned_temporaries
from .probe import VideoError

MAGIC = b"LUMIVEX-SEGMENT-1"
_RECORD = struct.Struct("<qqqBI")  # pts, dts, duration, flags, size; then `size` bytes
_LENGTH = struct.Struct("<Q")
_KEYFRAME = 1
_MANIFEST = "job.json"
_SUFFIX = ".packets"


def work_folder_path(target):
    target = pathlib.Path(target)
    return target.parent / f".{target.name}.segments"


def kept_segments(target):
    """(segment files on the disk, segments of the job) of the work towards `target`; None where there is no
    work folder with its manifest."""
    path = work_folder_path(target)
    try:
        starts = json.loads((path / _MANIFEST).read_text())["segments"][0]
        total = len(starts)
        names = set(os.listdir(path))
    except (OSError, ValueError, KeyError, IndexError, TypeError):
        return None
    return sum(f"{index:06d}{_SUFFIX}" in names for index in range(total)), total


class WorkFolder:
    """The segments of one job. `identity` (JSON-ready) names the job; `counts[k]` and `firsts[k]` are the
    frame count and first pts of segment k; `headers` the encoder's out-of-band headers every segment must
    have been made with."""

    def __init__(self, target, identity, counts, firsts, headers):
        self.path = work_folder_path(target)
        self.identity = identity
        self.counts, self.firsts, self.headers = list(counts), list(firsts), headers or b""
        self.digest = hashlib.sha256(json.dumps(identity, sort_keys=True).encode()).hexdigest()[:32]

    def resume(self, *, run=None):
        """Creates the folder, or takes up the work in it; returns the set of the segments done.

        The manifest is written once: runs starting together write the same one, and the first in place
        stays; one of another job is replaced. A segment file that fails its checks is removed, unless a live
        run holds its claim (it is that run's to replace); every valid one is kept, wherever it lies."""
        self.path.mkdir(exist_ok=True)
        manifest = json.dumps(self.identity, indent=1, sort_keys=True).encode()
        if self._recorded_identity() != self.identity:
            try:
                with atomic_output(self.path / _MANIFEST, replace=False) as file:
                    file.write(manifest)
            except FileExistsError:
                if self._recorded_identity() != self.identity:  # another job's: its segments do not count
                    with atomic_output(self.path / _MANIFEST) as file:
                        file.write(manifest)
        done = set()
        for index in range(len(self.counts)):
            path = self.segment_path(index)
            if not path.exists():
                continue
            if self._valid(index):
                done.add(index)
                continue
            with claims.holding(path, run=run) as mine:
                if mine:
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(path)
        return done

    def segment_path(self, index):
        return self.path / f"{index:06d}{_SUFFIX}"

    @contextlib.contextmanager
    def claimed(self, index, *, run=None):
        """Claims segment `index` for the block (see `claims.claim`): yields whether this process got it. What a
        dead maker of the segment left is removed first."""
        path = self.segment_path(index)
        with claims.holding(path, run=run) as mine:
            if mine:
                for temporary in orphaned_temporaries(self.path, {path.name}):
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(temporary)
            yield mine

    def finished(self, index):
        """Whether segment `index` is in place and whole."""
        return self._valid(index)

    def complete(self):
        """Whether every segment is in place, made for this job (by their trailers, without reading them
        through: each was checked when it was found or made)."""
        return all(self._valid(index, whole=False) for index in range(len(self.counts)))

    @contextlib.contextmanager
    def segment(self, index):
        """Yields the Journal of segment `index`, which is in place once the block ends and `finish` was
        called; an exception (KeyboardInterrupt included) leaves no trace of it."""
        with atomic_output(self.segment_path(index)) as file:
            journal = Journal(file, self.digest)
            yield journal
            if not journal.finished:
                raise RuntimeError(f"segment {index} was left unfinished")

    def packets(self, index):
        """The packets of a finished segment: (pts, dts, duration, keyframe, data), in decode order."""
        with open(self.segment_path(index), "rb") as file:
            summary, end = _trailer(file)
            file.seek(0)
            while file.tell() < end:
                pts, dts, duration, flags, size = _RECORD.unpack(file.read(_RECORD.size))
                data = file.read(size)
                if len(data) != size:
                    raise VideoError(f"{self.segment_path(index)}: segment file cut short")
                yield pts, dts, duration, bool(flags & _KEYFRAME), data

    def remove(self):
        """Removes the folder with everything this job put there (the output is in place), and what runs that
        died left in it; anything else found in it is left, and the folder with it."""
        self._remove_segments()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path / _MANIFEST)
        self._remove_folder()

    def discard(self):
        """Removes the folder of work that came to nothing (no segment was finished), unless another run works
        in it (a live claim in it)."""
        if self._segment_names() & set(self._entries()):
            return
        claims.sweep(self.path, self._segment_names() | {_MANIFEST})
        if any(name.endswith(".lock") for name in self._entries()):
            return
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path / _MANIFEST)
        self._remove_folder()

    def _entries(self):
        try:
            return os.listdir(self.path)
        except OSError:
            return []

    def _segment_names(self):
        return {self.segment_path(index).name for index in range(len(self.counts))}

    def _remove_folder(self):
        claims.sweep(self.path, self._segment_names() | {_MANIFEST})  # what runs that died left
        with contextlib.suppress(OSError):
            self.path.rmdir()

    def _recorded_identity(self):
        try:
            return json.loads((self.path / _MANIFEST).read_text())
        except (OSError, ValueError):
            return None

    def _valid(self, index, *, whole=True):
        path = self.segment_path(index)
        try:
            with open(path, "rb") as file:
                summary, end = _trailer(file)
                if (summary.get("frames"), summary.get("first_pts"), summary.get("headers"), summary.get("job")) != (
                        self.counts[index], self.firsts[index], self.headers.hex(), self.digest):
                    return False
                if not whole:
                    return True
                file.seek(0)
                checksum = 0
                while file.tell() < end:
                    head = file.read(_RECORD.size)
                    if len(head) != _RECORD.size:
                        return False
                    data = file.read(_RECORD.unpack(head)[4])
                    checksum = zlib.crc32(data, zlib.crc32(head, checksum))
                return file.tell() == end and checksum == summary.get("crc32")
        except (OSError, ValueError, struct.error):
            return False

    def _remove_segments(self):
        leftovers = orphaned_temporaries(self.path)  # of a run that was killed mid-segment
        for path in [*self.path.glob(f"[0-9]*{_SUFFIX}"), *leftovers]:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)


class Journal:
    """Writes one segment's packets as they come out of the encoder."""

    def __init__(self, file, job):
        self._file = file
        self._job = job  # the digest of the job it is made for
        self._checksum = 0
        self.finished = False

    def write(self, pts, dts, duration, keyframe, data):
        head = _RECORD.pack(pts, dts if dts is not None else pts, duration or 0, _KEYFRAME if keyframe else 0,
                            len(data))
        self._file.write(head)
        self._file.write(data)
        self._checksum = zlib.crc32(data, zlib.crc32(head, self._checksum))

    def finish(self, frames, first_pts, headers):
        summary = json.dumps({"frames": frames, "first_pts": first_pts, "headers": headers.hex(),
                              "job": self._job, "crc32": self._checksum}).encode()
        self._file.write(summary + _LENGTH.pack(len(summary)) + MAGIC)
        self.finished = True


def _trailer(file):
    """(summary, where the packets end) of a segment file; ValueError when it has no trailer."""
    size = file.seek(0, os.SEEK_END)
    tail = _LENGTH.size + len(MAGIC)
    if size < tail:
        raise ValueError("no trailer")
    file.seek(size - tail)
    length_bytes = file.read(_LENGTH.size)
    if file.read(len(MAGIC)) != MAGIC:
        raise ValueError("no trailer")
    (length,) = _LENGTH.unpack(length_bytes)
    end = size - tail - length
    if end < 0:
        raise ValueError("bad trailer")
    file.seek(end)
    return json.loads(file.read(length)), end
