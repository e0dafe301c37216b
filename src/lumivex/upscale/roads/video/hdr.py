"""HDR10's static metadata of a video: the mastering display's colour volume and the content light levels, read
from the input and handed to the encoders that write them into their stream.

FFmpeg gives both as its own C structs (AVMasteringDisplayMetadata, AVContentLightMetadata), which PyAV hands
over as bytes: the first frame's side data (the codec's own SEI or metadata OBU) or, where only the container
has them (Matroska's Colour element, MP4's mdcv and clli boxes), the stream's coded side data. PyAV cannot
give an encoder or an output stream side data, so each encoder that carries them gets them as its own
parameters; the others lose them, which the run says before any work.
"""

import dataclasses
import fractions
import struct

from av.sidedata.sidedata import Type

# AVMasteringDisplayMetadata: (num, den) of the red, green and blue primaries' x and y, of the white point's x
# and y, of the least and the greatest luminance (cd/m2), then whether the primaries and the luminance are set.
_MASTERING = struct.Struct("<20i2i")
_LIGHT = struct.Struct("<2I")  # AVContentLightMetadata: MaxCLL, MaxFALL (cd/m2)
# The encoders that write both into their stream, and the option that takes them.
CARRIERS = {"libx265": "x265-params", "libsvtav1": "svtav1-params"}
# FFmpeg's numbers for the BT.2020 primaries and (non-constant luminance) matrix, and the SMPTE ST 2084 transfer
_BT2020, _PQ = 9, 16


@dataclasses.dataclass(frozen=True)
class MasteringDisplay:
    """The colour volume of the display the video was mastered on: CIE 1931 xy of its primaries (red, green,
    blue) and white point, its least and greatest luminance in cd/m2; exact fractions, as FFmpeg has them."""

    primaries: tuple  # ((x, y), (x, y), (x, y)): red, green, blue
    white_point: tuple  # (x, y)
    luminance: tuple  # (least, greatest)


@dataclasses.dataclass(frozen=True)
class HdrMetadata:
    """What of HDR10's static metadata a video has: either part may be missing."""

    mastering: MasteringDisplay | None
    light_level: tuple | None  # (MaxCLL, MaxFALL) in cd/m2

    def __str__(self):
        parts = (["mastering display"] if self.mastering else []) + (["light levels"] if self.light_level else [])
        return f"HDR10 {' and '.join(parts)}"


def read_metadata(frame, stream):
    """The HdrMetadata of a video from its first decoded `frame`, else its `stream`'s coded side data; None
    where it has neither part."""
    coded = stream.codec_context.coded_side_data
    mastering = _mastering(_side_data(frame, Type.MASTERING_DISPLAY_METADATA)
                           or coded.get("mastering_display_metadata"))
    light = _light_level(_side_data(frame, Type.CONTENT_LIGHT_LEVEL) or coded.get("content_light_level"))
    if mastering is None and light is None:
        return None
    return HdrMetadata(mastering, light)


def _side_data(frame, kind):
    data = frame.side_data.get(kind)
    return None if data is None else bytes(data)


def _mastering(data):
    if data is None or len(data) < _MASTERING.size:
        return None
    values = _MASTERING.unpack_from(data)
    has_primaries, has_luminance = values[20:]
    rationals = [_fraction(*values[index:index + 2]) for index in range(0, 20, 2)]
    # Both encoders write the SEI / metadata OBU whole: a half-known display cannot be carried.
    if not (has_primaries and has_luminance) or None in rationals:
        return None
    return MasteringDisplay(tuple(zip(rationals[0:6:2], rationals[1:6:2])), tuple(rationals[6:8]),
                            tuple(rationals[8:10]))


def _fraction(numerator, denominator):
    return fractions.Fraction(numerator, denominator) if denominator > 0 else None


def _light_level(data):
    if data is None or len(data) < _LIGHT.size:
        return None
    return _LIGHT.unpack_from(data)


def add_parameters(encoder, options, metadata, stream):
    """Adds `metadata` (None: nothing) to `options`, the dict of `encoder`'s options, where the encoder carries
    it; `stream`: (pix_fmt, colour primaries, transfer, matrix) of the stream the encoder writes."""
    option = CARRIERS.get(encoder)
    if metadata is None or option is None:
        return
    spell = _x265 if encoder == "libx265" else _svtav1
    parameters = [options[option]] if options.get(option) else []
    options[option] = ":".join(parameters + spell(metadata, *stream))


def _x265(metadata, pix_fmt, primaries, transfer, matrix):
    """x265's parameters: chromaticities in steps of 0.00002, luminance in steps of 0.0001 cd/m2, green first."""
    parameters = ["hdr10=1"]
    display = metadata.mastering
    if display is not None:
        red, green, blue = ([_steps(x, 50000), _steps(y, 50000)] for x, y in display.primaries)
        white = [_steps(value, 50000) for value in display.white_point]
        least, greatest = (_steps(value, 10000) for value in display.luminance)
        parameters.append(f"master-display=G({green[0]},{green[1]})B({blue[0]},{blue[1]})R({red[0]},{red[1]})"
                          f"WP({white[0]},{white[1]})L({greatest},{least})")
    if metadata.light_level is not None:
        parameters.append("max-cll={},{}".format(*metadata.light_level))
    # x265's quantiser offsets for PQ video; it refuses them, with an error on the terminal, for anything else
    # (the constant-luminance BT.2020 matrix too).
    if pix_fmt == "yuv420p10le" and primaries == _BT2020 and transfer == _PQ and matrix == _BT2020:
        parameters.append("hdr10-opt=1")
    return parameters


def _svtav1(metadata, *stream):
    """SVT-AV1's parameters: chromaticities and luminance as decimals, green first."""
    parameters = []
    display = metadata.mastering
    if display is not None:
        red, green, blue = ([_decimal(value) for value in pair] for pair in display.primaries)
        white = [_decimal(value) for value in display.white_point]
        least, greatest = (_decimal(value) for value in display.luminance)
        parameters.append(f"mastering-display=G({green[0]},{green[1]})B({blue[0]},{blue[1]})"
                          f"R({red[0]},{red[1]})WP({white[0]},{white[1]})L({greatest},{least})")
    if metadata.light_level is not None:
        parameters.append("content-light={},{}".format(*metadata.light_level))
    return parameters


def _steps(value, per_unit):
    return round(value * per_unit)


def _decimal(value):
    """Enough places for the finest step AV1 stores (1/65536 of a chromaticity, 1/16384 cd/m2)."""
    return f"{float(value):.6f}".rstrip("0").rstrip(".")
