"""The resumable work of one video: its encoded segments, kept in a hidden folder beside the target until the
output is assembled, so that an interrupted run starts again at its first unfinished segment.

The folder `.NAME.segments` (for the target NAME) holds `job.json`, which says what the work is (the source
file's identity, the encoding, the upscaling settings and where the segments start), and one file per
finished segment, `000000.packets`, `000001.packets`, ..., each moved into place whole (`atomic_output`), so a
file there is complete unless the disk corrupted it; the checksum in its trailer tells. A segment file is the
encoder's packets as written (pts, dts, duration, keyframe flag, bytes), then a JSON trailer (frames, first
timestamp, the encoder's out-of-band headers, CRC-32) and its length. No media container is used for this:
Matroska rounds timestamps to milliseconds and MP4 holds only some codecs, and this must keep every packet as
the encoder made it, for any encoder and time base.

Work done with other settings or from a changed source file is discarded, never mixed in.
"""

import contextlib
import json
import os
import pathlib
import struct
import zlib

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


class WorkFolder:
    """The segments of one job. `identity` (JSON-ready) names the job; `counts[k]` and `firsts[k]` are the
    frame count and first pts of segment k; `headers` the encoder's out-of-band headers every segment must
    have been made with."""

    def __init__(self, target, identity, counts, firsts, headers):
        self.path = work_folder_path(target)
        self.identity = identity
        self.counts, self.firsts, self.headers = list(counts), list(firsts), headers or b""

    def resume(self):
        """Creates the folder, or takes up the work in it; returns how many segments are done (a prefix).

        Work of another job is removed first; so is every segment from the first that is missing or fails
        its checks on."""
        self.path.mkdir(exist_ok=True)
        if self._recorded_identity() != self.identity:
            self._remove_segments()
            with atomic_output(self.path / _MANIFEST) as file:
                file.write(json.dumps(self.identity, indent=1, sort_keys=True).encode())
            return 0
        done = 0
        while done < len(self.counts) and self._valid(done):
            done += 1
        for index in range(done, len(self.counts)):
            with contextlib.suppress(FileNotFoundError):
                os.unlink(self.segment_path(index))
        return done

    def segment_path(self, index):
        return self.path / f"{index:06d}{_SUFFIX}"

    @contextlib.contextmanager
    def segment(self, index):
        """Yields the Journal of segment `index`, which is in place once the block ends and `finish` was
        called; an exception (KeyboardInterrupt included) leaves no trace of it."""
        with atomic_output(self.segment_path(index)) as file:
            journal = Journal(file)
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
        """Removes the folder with everything this job put there (the output is in place, or no segment was
        finished); anything else found in it is left, and the folder with it."""
        self._remove_segments()
        with contextlib.suppress(FileNotFoundError):
            os.unlink(self.path / _MANIFEST)
        with contextlib.suppress(OSError):
            self.path.rmdir()

    def _recorded_identity(self):
        try:
            return json.loads((self.path / _MANIFEST).read_text())
        except (OSError, ValueError):
            return None

    def _valid(self, index):
        path = self.segment_path(index)
        try:
            with open(path, "rb") as file:
                summary, end = _trailer(file)
                if (summary.get("frames"), summary.get("first_pts"), summary.get("headers")) != (
                        self.counts[index], self.firsts[index], self.headers.hex()):
                    return False
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

    def __init__(self, file):
        self._file = file
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
                              "crc32": self._checksum}).encode()
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
