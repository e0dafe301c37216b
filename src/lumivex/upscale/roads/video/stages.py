"""Decoding and upscaling of a video's frames in two threads of their own, joined to the caller (who encodes)
by bounded queues: the network never waits for the CPU codecs while there is work queued, and memory holds
at most a few frames per queue.

Frames come out in display order with their index into `VideoSource.frames`; the decoder checks every
frame's timestamp against the scan, so no frame goes missing, doubled or moved unnoticed. An exception in
either thread reaches the caller as itself; when the caller stops (an error, KeyboardInterrupt), both
threads are told to stop and are joined before `Frames` returns.
"""

import queue
import threading
import time

import av

from .probe import VideoError, ffmpeg_reason, open_input

QUEUE_FRAMES = 4  # per queue: enough to ride out uneven frame times, little memory
_POLL = 0.1  # seconds between looks at the stop flag while a queue is full or empty
_END = object()


class _Failure:
    def __init__(self, error):
        self.error = error


class StageClock:
    """Busy seconds of each stage (each stage adds to its own name only, from its own thread)."""

    def __init__(self):
        self.seconds = {"decode": 0.0, "network": 0.0, "encode": 0.0}

    def add(self, stage, started):
        self.seconds[stage] += time.perf_counter() - started


class Frames:
    """Context manager and iterator of (index, pixels) for the frames of `source` from `start` on (up to `end`
    where given): `pixels` is what `upscale_frame(decoded)` returned for the frame decoded as an (H, W, 3)
    rgb24 / rgb48 array."""

    def __init__(self, source, start, upscale_frame, clock, end=None):
        self._stop = threading.Event()
        decoded, self._upscaled = queue.Queue(QUEUE_FRAMES), queue.Queue(QUEUE_FRAMES)
        self._threads = [
            threading.Thread(target=self._guard, args=(_decode, decoded, source, start, clock, end),
                             name="lumivex-decode", daemon=True),
            threading.Thread(target=self._guard, args=(_upscale, self._upscaled, decoded, upscale_frame, clock),
                             name="lumivex-network", daemon=True)]

    def __enter__(self):
        for thread in self._threads:
            thread.start()
        return self

    def __exit__(self, *exc_info):
        self._stop.set()
        for thread in self._threads:
            thread.join()

    def __iter__(self):
        return self

    def __next__(self):
        item = _get(self._upscaled, self._stop)
        if item is _END:
            raise StopIteration
        if isinstance(item, _Failure):
            raise item.error
        return item

    def _guard(self, work, out, *args):
        try:
            if work(self._stop, out, *args):
                _put(out, _END, self._stop)
        except BaseException as error:  # handed over whole: the caller raises it
            _put(out, _Failure(error), self._stop)


def _decode(stop, out, source, start, clock, end):
    try:
        return _decode_from(stop, out, source, start, clock, end, seek=start > 0)
    except _Overshot:
        # The container's index put the seek past the resumption point: decode from the start instead
        # (only decoding is redone; frames before the point are passed over).
        return _decode_from(stop, out, source, start, clock, end, seek=False)


class _Overshot(Exception):
    pass


def _decode_from(stop, out, source, start, clock, end, *, seek):
    picture = source.picture
    first_pts = source.frames[start]
    expected = start
    with open_input(source.path) as container:
        stream = container.streams[source.video_index]
        stream.thread_type = "AUTO"
        if seek:
            container.seek(first_pts, stream=stream, backward=True)
        try:
            started = time.perf_counter()
            for packet in container.demux(stream):
                for frame in packet.decode():
                    if frame.pts is not None and frame.pts < first_pts:
                        continue  # before the resumption point: done by the run before
                    if expected >= len(source.frames) or frame.pts != source.frames[expected]:
                        if seek and expected == start:
                            raise _Overshot
                        raise VideoError(_unexpected(source, frame.pts, expected))
                    pixels = picture.to_rgb(frame)
                    clock.add("decode", started)
                    if not _put(out, (expected, pixels), stop):
                        return False
                    expected += 1
                    if expected == end:
                        return True  # no frame past the end is decoded for nothing
                    started = time.perf_counter()
        except av.error.FFmpegError as error:
            raise VideoError(f"{source.path}: damaged video near {_at(source, expected)} "
                             f"({ffmpeg_reason(error)})") from None
    if expected != len(source.frames):
        raise VideoError(f"{source.path}: only {expected} of its {len(source.frames)} frames decode; "
                         f"the file is damaged")
    return True


def _unexpected(source, pts, expected):
    due = _at(source, expected) if expected < len(source.frames) else "none"
    found = "a frame without timestamp" if pts is None else f"a frame at {source.seconds(pts):.3f} s"
    return f"{source.path}: the decoder gave {found} where the frame due was at {due}; the file is damaged"


def _at(source, index):
    return f"{source.seconds(source.frames[min(index, len(source.frames) - 1)]):.3f} s"


def _upscale(stop, out, inbox, upscale_frame, clock):
    while True:
        item = _get(inbox, stop)
        if item is None:
            return False
        if item is _END or isinstance(item, _Failure):
            _put(out, item, stop)  # the decoder's end or failure goes on as it is
            return False
        index, pixels = item
        started = time.perf_counter()
        result = upscale_frame(pixels)
        clock.add("network", started)
        if not _put(out, (index, result), stop):
            return False


def _put(out, item, stop):
    """Puts `item` unless told to stop first; True when it was put."""
    while not stop.is_set():
        try:
            out.put(item, timeout=_POLL)
            return True
        except queue.Full:
            continue
    return False


def _get(inbox, stop):
    """The next item, or None once told to stop."""
    while not stop.is_set():
        try:
            return inbox.get(timeout=_POLL)
        except queue.Empty:
            continue
    return None
