"""PNG files row by row through pypng: every colour type at every depth read (palettes and tRNS colour keys
become alpha, 1-bit grey stays bilevel, 2- and 4-bit grey are scaled to 8 bits), written at 8 or 16 bits with
the metadata chunks (iCCP, eXIf, XMP, tEXt/zTXt/iTXt, pHYs) that pypng itself does not read or write."""

import struct
import zlib

import numpy as np
import png

from .formats import ImageError, PixelFormat
from .limits import check_size
from .metadata import Metadata, Text, exif_orientation
from .reader import ImageReader

SIGNATURE = b"\x89PNG\r\n\x1a\n"
_XMP_KEYWORD = "XML:com.adobe.xmp"
_METRES_PER_INCH = 0.0254
_MAX_INFLATED = 64 << 20  # a compressed text or profile beyond this is an attack, not metadata
_MODES = {(False, False): "RGB", (False, True): "RGBA", (True, False): "L", (True, True): "LA"}


class _FastReader(png.Reader):
    """pypng's reader with its two cheapest filters undone by NumPy: pypng undoes every filter byte by byte in
    Python, and libpng's writers choose Sub and Up for most rows of most images."""

    def undo_filter(self, filter_type, scanline, previous):
        if filter_type == 2 and previous is not None:
            return bytearray(np.frombuffer(scanline, np.uint8) + np.frombuffer(previous, np.uint8))
        if filter_type == 1:
            unit = max(1, int(self.psize))  # bytes per pixel, 1 below 8 bits a pixel
            if len(scanline) % unit == 0:  # rows of whole pixels: always, for 8 and 16 bits
                deltas = np.frombuffer(scanline, np.uint8).reshape(-1, unit)
                return bytearray(np.cumsum(deltas, axis=0, dtype=np.uint8))
        return super().undo_filter(filter_type, scanline, previous)


def open_png(path, max_pixels):
    header, metadata = _read_chunks(path)
    width, height, depth, colour_type, interlace = header
    check_size(path, width, height, max_pixels)
    transparent = metadata.pop("transparent")
    palette = metadata.pop("palette")
    # A palette (3) reads as RGB, and as RGBA with its tRNS alphas, as RGB with a colour key does.
    grey, alpha = colour_type in (0, 4), colour_type in (4, 6) or transparent is not None
    mode = "1" if (grey, alpha, depth) == (True, False, 1) else _MODES[grey, alpha]
    pixel_format = PixelFormat(mode, 16 if depth == 16 else 8)
    info = Metadata(**metadata)

    opened = []

    def blocks():
        opened.append(open(path, "rb"))
        reader = _FastReader(file=opened[0])
        _, _, rows, _ = reader.read()
        to_pixels = _converter(depth, colour_type, width, palette, transparent, reader.planes)
        try:
            for row in rows:
                yield to_pixels(row)
        except png.ChunkError as error:
            if "too short" not in str(error):
                raise
            # Said as Pillow says it, for every format alike.
            raise ImageError(f"{path}: not a readable image (image file is truncated)") from None

    return ImageReader(path, "PNG", pixel_format, (width, height), info, blocks,
                       orientation=exif_orientation(info.exif),
                       errors=(png.Error, zlib.error, ValueError, OSError, EOFError),
                       close=lambda: opened and opened.pop().close())


def _converter(depth, colour_type, width, palette, transparent, planes):
    """The function that makes one pypng row (its values, one per sample) a (1, W, C) array of the pixel format."""
    dtype = np.uint16 if depth == 16 else np.uint8  # pypng's rows: bytearrays, or arrays of native uint16

    if colour_type == 3:
        table = np.zeros((256, 4 if transparent is not None else 3), np.uint8)
        table[:len(palette)] = palette  # indices past the palette's end are black, as libpng makes them
        return lambda row: table[np.frombuffer(row, np.uint8)][None]
    scale = 255 // (2**depth - 1) if depth < 8 else 1
    bilevel = depth == 1 and colour_type == 0 and transparent is None

    def convert(row):
        values = np.frombuffer(row, dtype).reshape(1, width, planes)
        if transparent is not None:
            top = np.iinfo(dtype).max
            alpha = np.where(np.all(values == np.asarray(transparent, dtype), axis=2, keepdims=True), 0, top)
            values = np.concatenate([values, alpha.astype(dtype)], axis=2)
            if scale != 1:
                values[:, :, :-1] *= scale
            return values
        return values * np.uint8(255 if bilevel else scale) if scale != 1 or bilevel else values

    return convert


def _read_chunks(path):
    """((width, height, depth, colour type, interlace), metadata fields) from the chunks, without inflating
    the image data: IDAT chunks are skipped over. A file cut off after its image data began passes here, as it
    does Pillow's header check: its rows fail when they are read."""
    fields = {"texts": [], "transparent": None, "palette": None}
    with open(path, "rb") as file:
        if file.read(8) != SIGNATURE:
            raise ImageError(f"{path}: not a readable image (no PNG signature)")
        header, image_data = None, False
        while True:
            start = file.read(8)
            if len(start) < 8 and image_data:
                break
            if len(start) < 8:
                raise ImageError(f"{path}: not a readable image (the file ends before its image data)")
            length, kind = struct.unpack("!I4s", start)
            if kind in (b"IDAT", b"IEND") or kind not in _WANTED:
                if kind == b"IEND":
                    break
                image_data = image_data or kind == b"IDAT"
                file.seek(length + 4, 1)
                continue
            data, crc = file.read(length), file.read(4)
            if len(crc) < 4 and image_data:
                break
            if len(crc) < 4:
                raise ImageError(f"{path}: not a readable image (a {kind.decode('latin-1')} chunk is cut off)")
            if struct.unpack("!I", crc)[0] != zlib.crc32(kind + data):
                if kind in (b"IHDR", b"PLTE"):
                    raise ImageError(f"{path}: not a readable image (its {kind.decode()} chunk is damaged)")
                continue  # a damaged ancillary chunk is left out, as libpng does
            if kind == b"IHDR":
                header = _ihdr(path, data)
            else:
                try:
                    _WANTED[kind](data, fields, header)
                except (ValueError, struct.error, zlib.error, UnicodeDecodeError, IndexError) as error:
                    raise ImageError(f"{path}: not a readable image (its {kind.decode('latin-1')} chunk is "
                                     f"broken: {error})") from None
    if header is None:
        raise ImageError(f"{path}: not a readable image (no IHDR chunk)")
    if header[3] == 3 and fields["palette"] is None:
        raise ImageError(f"{path}: not a readable image (a palette image without its PLTE chunk)")
    fields["texts"] = tuple(fields["texts"])
    return header, fields


def _ihdr(path, data):
    if len(data) != 13:
        raise ImageError(f"{path}: not a readable image (its IHDR chunk is broken)")
    width, height, depth, colour_type, _, _, interlace = struct.unpack("!2I5B", data)
    valid = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
    if width == 0 or height == 0 or depth not in valid.get(colour_type, ()):
        raise ImageError(f"{path}: not a readable image ({width}x{height}, {depth}-bit colour type "
                         f"{colour_type} is no PNG)")
    return width, height, depth, colour_type, interlace


def _inflate(data):
    inflater = zlib.decompressobj()
    result = inflater.decompress(data, _MAX_INFLATED)
    if inflater.unconsumed_tail:
        raise ValueError(f"inflates to more than {_MAX_INFLATED >> 20} MiB")
    return result


def _plte(data, fields, header):
    fields["palette"] = np.frombuffer(data[:len(data) // 3 * 3], np.uint8).reshape(-1, 3)


def _trns(data, fields, header):
    colour_type = header[3]
    if colour_type == 3:
        if fields["palette"] is None:  # out of place: libpng ignores it too
            return
        alpha = np.full(len(fields["palette"]), 255, np.uint8)
        alpha[:min(len(data), len(alpha))] = np.frombuffer(data[:len(alpha)], np.uint8)
        fields["palette"] = np.concatenate([fields["palette"][:, :3], alpha[:, None]], axis=1)
        fields["transparent"] = True
    elif colour_type in (0, 2):
        fields["transparent"] = struct.unpack(f"!{1 if colour_type == 0 else 3}H", data)


def _iccp(data, fields, header):
    name, rest = data.split(b"\0", 1)
    fields["icc_profile"] = _inflate(rest[1:])


def _exif(data, fields, header):
    fields["exif"] = data[6:] if data.startswith(b"Exif\x00\x00") else data


def _phys(data, fields, header):
    x, y, unit = struct.unpack("!IIB", data)
    if unit == 1 and x and y:  # pixels per metre; unit 0 states only the aspect ratio
        fields["dpi"] = (x * _METRES_PER_INCH, y * _METRES_PER_INCH)


def _text(data, fields, header):
    keyword, value = data.split(b"\0", 1)
    fields["texts"].append(Text(keyword.decode("latin-1"), value.decode("latin-1")))


def _ztxt(data, fields, header):
    keyword, rest = data.split(b"\0", 1)
    fields["texts"].append(Text(keyword.decode("latin-1"), _inflate(rest[1:]).decode("latin-1"), compressed=True))


def _itxt(data, fields, header):
    keyword, rest = data.split(b"\0", 1)
    compressed, rest = rest[0] == 1, rest[2:]
    language, translated, value = rest.split(b"\0", 2)
    value = _inflate(value) if compressed else value
    if keyword == _XMP_KEYWORD.encode():
        fields["xmp"] = value
        return
    fields["texts"].append(Text(keyword.decode("latin-1"), value.decode("utf-8"), compressed=compressed,
                                international=True, language=language.decode("latin-1"),
                                translated_keyword=translated.decode("utf-8")))


_WANTED = {b"IHDR": None, b"PLTE": _plte, b"tRNS": _trns, b"iCCP": _iccp, b"eXIf": _exif, b"pHYs": _phys,
           b"tEXt": _text, b"zTXt": _ztxt, b"iTXt": _itxt}


def write_png(file, bands, height, width, pixel_format, metadata):
    """Writes the row `bands` to the open binary `file` as a PNG of `pixel_format`, never holding more than a band."""
    grey = pixel_format.mode in ("1", "L", "LA")
    depth = 1 if pixel_format.mode == "1" else pixel_format.bits
    writer = _WriterWithChunks(width, height, greyscale=grey, alpha=pixel_format.has_alpha, bitdepth=depth,
                               chunks=_chunks(metadata))
    writer.write_packed(file, _filtered_rows(bands, pixel_format))


class _WriterWithChunks(png.Writer):
    """pypng's writer, with chunks of ours put between its header and the image data (iCCP must come before
    IDAT; pypng has no option for it, nor for eXIf and text), and rows that come filtered: pypng writes every
    row unfiltered, which makes files of photographs nearly twice the size libpng's are."""

    def __init__(self, *args, chunks=(), **kwargs):
        super().__init__(*args, **kwargs)
        self._chunks = chunks

    def write_preamble(self, outfile):
        super().write_preamble(outfile)
        for kind, data in self._chunks:
            png.write_chunk(outfile, kind, data)

    def write_packed(self, outfile, rows):
        """Writes the file from `rows`, each the bytes of one row with its filter type byte in front."""
        self.write_preamble(outfile)
        compressor = zlib.compressobj(-1 if self.compression is None else self.compression)
        pending = bytearray()
        for row in rows:
            pending += compressor.compress(row)
            if len(pending) >= self.chunk_limit:
                png.write_chunk(outfile, b"IDAT", pending)
                pending = bytearray()
        pending += compressor.flush()
        png.write_chunk(outfile, b"IDAT", pending)
        png.write_chunk(outfile, b"IEND")


_UP = b"\x02"  # the filter that stores each byte as its difference to the byte above: cheap, and a third smaller


def _filtered_rows(bands, pixel_format):
    """Each row as PNG stores it (16-bit samples big-endian, bilevel pixels 8 to a byte), Up-filtered."""
    above = None  # the last row of the band before, unfiltered
    for band in bands:
        if pixel_format.mode == "1":
            packed = np.packbits(band[:, :, 0] >= 128, axis=1)
        elif pixel_format.bits == 16:
            packed = band.astype(">u2").reshape(len(band), -1).view(np.uint8)
        else:
            packed = band.reshape(len(band), -1)
        filtered = packed.copy()
        filtered[1:] -= packed[:-1]  # bytes wrap around, as the filter is defined
        if above is not None:
            filtered[0] -= above
        above = packed[-1].copy()
        for row in filtered:
            yield _UP + row.tobytes()


def _chunks(metadata):
    if metadata is None:
        return []
    chunks = []
    if metadata.icc_profile:
        chunks.append((b"iCCP", b"ICC Profile\0\0" + zlib.compress(metadata.icc_profile)))
    if metadata.exif:
        chunks.append((b"eXIf", metadata.exif))
    if metadata.dpi:
        x, y = (max(1, round(value / _METRES_PER_INCH)) for value in metadata.dpi)
        chunks.append((b"pHYs", struct.pack("!IIB", x, y, 1)))
    if metadata.xmp:
        chunks.append((b"iTXt", _XMP_KEYWORD.encode() + b"\0\0\0\0\0" + metadata.xmp))
    chunks.extend(_text_chunk(entry) for entry in metadata.texts if _is_keyword(entry.keyword))
    return chunks


def _is_keyword(keyword):
    return 1 <= len(keyword) <= 79 and all(" " <= char <= "\xff" for char in keyword)


def _text_chunk(entry):
    keyword = entry.keyword.encode("latin-1")
    try:
        latin = None if entry.international else entry.value.encode("latin-1")
    except UnicodeEncodeError:  # tEXt and zTXt hold Latin-1 only; the rest goes to iTXt
        latin = None
    if latin is not None:
        return (b"zTXt", keyword + b"\0\0" + zlib.compress(latin)) if entry.compressed else (b"tEXt",
                                                                                              keyword + b"\0" + latin)
    value = entry.value.encode("utf-8")
    if entry.compressed:
        value = zlib.compress(value)
    return (b"iTXt", keyword + b"\0" + bytes([entry.compressed, 0]) + entry.language.encode("latin-1") + b"\0"
            + entry.translated_keyword.encode("utf-8") + b"\0" + value)
