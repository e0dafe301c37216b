"""The sample aspect ratio of a Matroska or WebM output, written into its video track after FFmpeg wrote the file.

FFmpeg's Matroska muxer takes the display size from a field of the stream that PyAV cannot set, so for codecs
that do not carry the ratio in their own stream (VP8, VP9, AV1) it was lost. The muxer leaves room after its
seek index (a Void element) for the index to grow; the track list is made a few bytes longer by taking them from
that room: the elements between it and the track list move back by as many bytes, and the seek index entries that
point at them are updated, so nothing after the track list (clusters, cues) moves. CRC-32 elements of the masters
rewritten are recomputed.
"""

import fractions
import struct
import zlib

_SEGMENT, _CLUSTER, _SEEK_HEAD, _TRACKS = 0x18538067, 0x1F43B675, 0x114D9B74, 0x1654AE6B
_SEEK, _SEEK_POSITION, _VOID, _CRC = 0x4DBB, 0x53AC, 0xEC, 0xBF
_TRACK_ENTRY, _TRACK_TYPE, _VIDEO = 0xAE, 0x83, 0xE0
_PIXEL_WIDTH, _PIXEL_HEIGHT, _DISPLAY_WIDTH, _DISPLAY_HEIGHT, _DISPLAY_UNIT = 0xB0, 0xBA, 0x54B0, 0x54BA, 0x54B2
_ASPECT_RATIO_UNIT = 3  # DisplayUnit: the display width and height are the two sides of the aspect ratio
_HEAD = 1 << 20  # bytes read from the start: the header elements FFmpeg writes come well before this


class LayoutError(ValueError):
    """The file is not laid out as FFmpeg's muxer lays it out; it was left as it is."""


def write_display_size(file, sample_aspect_ratio, *, webm=False):
    """Gives the video track of the Matroska (`webm`: WebM) file open in `file` (read and write) the display size
    its `sample_aspect_ratio` makes of its pixel size, as FFmpeg's muxer writes it: Matroska's exact display
    aspect ratio, WebM's display width in pixels (WebM has no other unit). LayoutError when the file has no room
    for it."""
    file.seek(0)
    head = file.read(_HEAD)
    position = _Element.at(head, 0).end  # the EBML header
    segment = _Element.at(head, position)
    if segment.id != _SEGMENT:
        raise LayoutError("no segment after the EBML header")
    children = list(_children(head, segment.data, len(head), stop=_CLUSTER))
    tracks = next((child for child in children if child.id == _TRACKS), None)
    if tracks is None or tracks.end > len(head):
        raise LayoutError("no track list before the first cluster")
    voids = [child for child in children if child.id == _VOID and child.end <= tracks.start]
    seek_heads = [child for child in children if child.id == _SEEK_HEAD]
    if not voids or len(seek_heads) != 1 or seek_heads[0].end > voids[-1].start:
        raise LayoutError("no room between the seek index and the track list")
    room, seek_head = voids[-1], seek_heads[0]
    new_tracks = _with_display_size(head, tracks, fractions.Fraction(sample_aspect_ratio), webm)
    grow = len(new_tracks) - tracks.size_all
    left = room.size_all - grow
    if left != 0 and left < 2:
        raise LayoutError(f"the track list needs {grow} bytes more; the room holds {room.size_all}")
    moved = range(room.end, tracks.end)  # what moves back by `grow` bytes: its seek entries follow it
    new_seek_head = _rebuilt(head, seek_head, lambda element: _moved_seek(head, element, segment.data, moved, grow))
    if len(new_seek_head) != seek_head.size_all:
        raise LayoutError("the seek index changed its size")
    region = (_void(left) if left else b"") + head[room.end:tracks.start] + new_tracks
    file.seek(seek_head.start)
    file.write(new_seek_head)
    file.seek(room.start)
    file.write(region)


class _Element:
    """An EBML element of `buffer`: its id, where it starts, where its data starts and ends."""

    def __init__(self, id_, start, data, end):
        self.id, self.start, self.data, self.end = id_, start, data, end

    @property
    def size_all(self):
        return self.end - self.start

    @classmethod
    def at(cls, buffer, position):
        id_, id_length = _vint(buffer, position, keep_marker=True)
        size, size_length = _vint(buffer, position + id_length)
        data = position + id_length + size_length
        if size == (1 << (7 * size_length)) - 1:
            raise LayoutError("an element of unknown size")
        return cls(id_, position, data, data + size)


def _vint(buffer, position, keep_marker=False):
    if position >= len(buffer):
        raise LayoutError("the header ends early")
    first = buffer[position]
    length = 1
    while length <= 8 and not first & (0x80 >> (length - 1)):
        length += 1
    if length > 8 or position + length > len(buffer):
        raise LayoutError("a broken element header")
    value = first if keep_marker else first & (0xFF >> length)
    for byte in buffer[position + 1:position + length]:
        value = value << 8 | byte
    return value, length


def _children(buffer, start, end, stop=None):
    position = start
    while position < end:
        element = _Element.at(buffer, position)
        if element.id == stop:
            return
        yield element
        position = element.end


def _id_bytes(id_):
    return id_.to_bytes((id_.bit_length() + 7) // 8, "big")


def _size(length):
    for width in range(1, 9):
        if length < (1 << (7 * width)) - 1:
            return ((1 << (7 * width)) | length).to_bytes(width, "big")  # the marker bit, then the length
    raise LayoutError("an element too large")


def _element(id_, payload):
    return _id_bytes(id_) + _size(len(payload)) + payload


def _uint(id_, value, width=None):
    width = width or max(1, (value.bit_length() + 7) // 8)
    return _element(id_, value.to_bytes(width, "big"))


def _void(length):
    """A Void element `length` bytes long in all (at least 2)."""
    if length - 2 < 127:
        return _element(_VOID, bytes(length - 2))
    return _id_bytes(_VOID) + (1 << 56 | length - 9).to_bytes(8, "big") + bytes(length - 9)


def _read_uint(buffer, element):
    return int.from_bytes(buffer[element.data:element.end], "big")


def _rebuilt(buffer, master, change):
    """The master element with each child passed through `change(child)` (bytes, or None to keep it as it is),
    its CRC-32 recomputed where it had one."""
    parts, crc = [], False
    for child in _children(buffer, master.data, master.end):
        if child.id == _CRC:
            crc = True
            continue
        replaced = change(child)
        parts.append(buffer[child.start:child.end] if replaced is None else replaced)
    payload = b"".join(parts)
    if crc:
        payload = _element(_CRC, struct.pack("<I", zlib.crc32(payload))) + payload
    return _id_bytes(master.id) + _size(len(payload)) + payload


def _moved_seek(buffer, element, segment_data, moved, grow):
    if element.id != _SEEK:
        return None

    def position(child):
        if child.id != _SEEK_POSITION:
            return None
        value = _read_uint(buffer, child)
        if segment_data + value not in moved:
            return None
        return _uint(_SEEK_POSITION, value - grow, child.end - child.data)  # as wide as it was

    return _rebuilt(buffer, element, position)


def _with_display_size(buffer, tracks, ratio, webm):
    found = []

    def entry(element):
        if element.id != _TRACK_ENTRY:
            return None
        kinds = [_read_uint(buffer, child) for child in _children(buffer, element.data, element.end)
                 if child.id == _TRACK_TYPE]
        if kinds != [1]:  # not the video track
            return None
        found.append(element)
        return _rebuilt(buffer, element, video)

    def video(element):
        if element.id != _VIDEO:
            return None
        sizes = {child.id: _read_uint(buffer, child) for child in _children(buffer, element.data, element.end)}
        width, height = sizes.get(_PIXEL_WIDTH), sizes.get(_PIXEL_HEIGHT)
        if not width or not height:
            raise LayoutError("a video track without its pixel size")
        kept = b"".join(buffer[child.start:child.end] for child in _children(buffer, element.data, element.end)
                        if child.id not in (_DISPLAY_WIDTH, _DISPLAY_HEIGHT, _DISPLAY_UNIT, _CRC))
        if webm:
            display = _uint(_DISPLAY_WIDTH, max(1, round(width * ratio))) + _uint(_DISPLAY_HEIGHT, height)
        else:
            aspect = width * ratio / height
            display = (_uint(_DISPLAY_WIDTH, aspect.numerator) + _uint(_DISPLAY_HEIGHT, aspect.denominator)
                       + _uint(_DISPLAY_UNIT, _ASPECT_RATIO_UNIT))
        return _element(_VIDEO, kept + display)

    new_tracks = _rebuilt(buffer, tracks, entry)
    if len(found) != 1:
        raise LayoutError(f"{len(found)} video tracks")
    return new_tracks

