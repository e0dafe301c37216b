"""What a file carries besides its pixels that the output should keep where its format can hold it: ICC profile,
EXIF, XMP, text (PNG's tEXt/zTXt/iTXt, TIFF's descriptive tags, JPEG's comment) and resolution; and the EXIF/XMP
orientation, which the readers apply to the pixels and then reset to 1 so that no viewer turns the image again.
"""

import dataclasses
import re
import struct

ORIENTATION_TAG = 0x0112
_SHORT = 3
_XMP_ORIENTATION = (re.compile(rb'(tiff:Orientation\s*=\s*["\'])[1-8](["\'])'),
                    re.compile(rb'(<tiff:Orientation>\s*)[1-8](\s*</tiff:Orientation>)'))


@dataclasses.dataclass(frozen=True)
class Text:
    """One text entry: `keyword` ("Description", "Author", "Comment", ...) and `value`; how PNG stored it
    (`compressed`: zTXt or compressed iTXt; `international`: iTXt, with its `language` tag and translated keyword),
    so that PNG out stores it the same way."""

    keyword: str
    value: str
    compressed: bool = False
    international: bool = False
    language: str = ""
    translated_keyword: str = ""


@dataclasses.dataclass(frozen=True)
class Metadata:
    """ICC profile, EXIF (the TIFF-structured block, without JPEG's "Exif\\0\\0" prefix), XMP packet (PNG's
    "XML:com.adobe.xmp" text goes here, not among the texts), texts, and resolution in dots per inch (x, y);
    None or () where the file has none."""

    icc_profile: bytes | None = None
    exif: bytes | None = None
    xmp: bytes | None = None
    texts: tuple = ()
    dpi: tuple | None = None

    def text(self, keyword):
        """The value of the first text entry named `keyword`, or None."""
        return next((entry.value for entry in self.texts if entry.keyword == keyword), None)


def strip_exif_prefix(exif):
    """EXIF as the TIFF-structured block: JPEG's APP1 (and some PNG and WebP writers) put "Exif\\0\\0" before it."""
    if not exif:
        return None
    return exif[6:] if exif.startswith(b"Exif\x00\x00") else exif


def exif_orientation(exif):
    """The orientation (1..8) an EXIF block states; 1 when it states none, or none that makes sense."""
    found = _orientation_entry(exif)
    return found[0] if found else 1


def upright_metadata(metadata, orientation):
    """`metadata` for pixels that `orientation` has been applied to: EXIF and XMP say 1, and the resolution's
    x and y are swapped where the turn swapped the sides."""
    if orientation == 1:
        return metadata
    dpi = metadata.dpi
    if dpi is not None and orientation >= 5:
        dpi = (dpi[1], dpi[0])
    xmp = metadata.xmp
    if xmp is not None:
        for pattern in _XMP_ORIENTATION:
            xmp = pattern.sub(rb"\g<1>1\g<2>", xmp)
    return dataclasses.replace(metadata, exif=_exif_upright(metadata.exif), xmp=xmp, dpi=dpi)


def _exif_upright(exif):
    """The EXIF block with its orientation entry set to 1 in place: re-serialising it would move the data that
    maker notes point into by absolute offsets, and break them."""
    found = _orientation_entry(exif)
    if found is None:
        return exif
    _, offset, order = found
    return exif[:offset] + struct.pack(order + "H", 1) + exif[offset + 2:]


def _orientation_entry(exif):
    """(orientation, offset of its value in `exif`, byte order) from the first IFD, or None."""
    if not exif or len(exif) < 8 or exif[:4] not in (b"II*\x00", b"MM\x00*"):
        return None
    order = "<" if exif[:2] == b"II" else ">"
    (ifd,) = struct.unpack_from(order + "I", exif, 4)
    if ifd + 2 > len(exif):
        return None
    (count,) = struct.unpack_from(order + "H", exif, ifd)
    for entry in range(ifd + 2, min(ifd + 2 + 12 * count, len(exif) - 11), 12):
        tag, kind, number = struct.unpack_from(order + "HHI", exif, entry)
        if tag == ORIENTATION_TAG and kind == _SHORT and number == 1:
            (value,) = struct.unpack_from(order + "H", exif, entry + 8)
            return (value, entry + 8, order) if 1 <= value <= 8 else None
    return None
