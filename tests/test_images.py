"""Image files read band by band and written from bands: every mode and depth kept, orientation applied,
metadata carried over, sizes refused before work, and nothing left behind by a write that fails."""

import errno
import os

import numpy as np
import pytest

# A GPU machine without a network may lack the optional packages; there these tests skip with a reason.
png = pytest.importorskip("png")
tifffile = pytest.importorskip("tifffile")
Image = pytest.importorskip("PIL.Image")
cv2 = pytest.importorskip("cv2")

from PIL import ImageOps, TiffImagePlugin

from lumivex.upscale import images
from lumivex.upscale.images import Metadata, PixelFormat, Text

ORIENTATION_TAG = 0x0112
BAND_ENDS = [1, 4, 5, 11]  # uneven bands, one a single row; the last one runs to the image's end


def random_pixels(pixel_format, height, width, seed=0):
    rng = np.random.default_rng(seed)
    shape = (height, width, pixel_format.channels)
    if pixel_format.kind == "float":
        pixels = rng.normal(0.5, 4, shape).astype(pixel_format.dtype)  # well outside 0..1 on both sides
        pixels.flat[:3] = [np.inf, -65000, 1e-7]
        return pixels
    if pixel_format.mode == "1":
        return rng.integers(0, 2, shape, dtype=np.uint8) * np.uint8(255)
    return rng.integers(0, np.iinfo(pixel_format.dtype).max + 1, shape, dtype=pixel_format.dtype)


def in_bands(pixels, ends=BAND_ENDS):
    starts = [0] + [end for end in ends if end < len(pixels)]
    return (pixels[start:end] for start, end in zip(starts, starts[1:] + [len(pixels)]))


def read_in_overlapping_bands(reader):
    """All rows through read_rows calls that overlap (as the road's bands do) and skip nothing."""
    parts, done = [], 0
    for y1 in [*(end for end in (3, 7, 8) if end < reader.height), reader.height]:
        band = reader.read_rows(max(0, done - 2), y1)
        parts.append(band[done - max(0, done - 2):])
        done = y1
    return np.concatenate(parts)


def pypng_pixels(path):
    """(pixels, bit depth) as pypng reads the file, independently of the package."""
    width, height, rows, info = png.Reader(filename=str(path)).read()
    pixels = np.vstack([np.asarray(row) for row in rows]).reshape(height, width, info["planes"])
    return pixels, info["bitdepth"]


PNG_FORMATS = [PixelFormat(mode, bits) for bits in (8, 16) for mode in ("1", "L", "LA", "RGB", "RGBA")
               if (mode, bits) != ("1", 16)]


@pytest.mark.parametrize("pixel_format", PNG_FORMATS, ids=str)
def test_png_round_trip_in_uneven_bands(tmp_path, pixel_format):
    pixels = random_pixels(pixel_format, 13, 10)
    path = tmp_path / "out.png"
    images.write_image_rows(path, in_bands(pixels), 13, 10, pixel_format)
    stored, depth = pypng_pixels(path)
    assert depth == (1 if pixel_format.mode == "1" else pixel_format.bits)
    np.testing.assert_array_equal(stored * (255 if pixel_format.mode == "1" else 1), pixels)
    with images.open_image(path) as reader:
        assert (reader.pixel_format, reader.format, reader.height, reader.width) == (pixel_format, "PNG", 13, 10)
        np.testing.assert_array_equal(read_in_overlapping_bands(reader), pixels)


TIFF_FORMATS = [PixelFormat("1", 8), PixelFormat("RGB", 8), PixelFormat("LA", 8), PixelFormat("L", 16),
                PixelFormat("RGB", 16), PixelFormat("RGBA", 16), PixelFormat("RGB", 32, "float"),
                PixelFormat("LA", 16, "float")]


@pytest.mark.parametrize("height, width", [(13, 10), (1, 1)], ids=["13x10", "1x1"])
@pytest.mark.parametrize("pixel_format", TIFF_FORMATS, ids=str)
def test_tiff_round_trip_keeps_depth_and_floats(tmp_path, monkeypatch, pixel_format, height, width):
    monkeypatch.setattr(images.tiff_io, "_STRIP_BYTES", 1)  # a strip a row: band and strip edges apart
    pixels = random_pixels(pixel_format, height, width)
    path = tmp_path / "out.tif"
    images.write_image_rows(path, in_bands(pixels), height, width, pixel_format)
    stored = tifffile.imread(path)
    assert stored.dtype == (bool if pixel_format.mode == "1" else pixel_format.dtype)
    np.testing.assert_array_equal(stored.reshape(pixels.shape) * (255 if pixel_format.mode == "1" else 1), pixels)
    with images.open_image(path) as reader:
        assert (reader.pixel_format, reader.format) == (pixel_format, "TIFF")
        np.testing.assert_array_equal(read_in_overlapping_bands(reader), pixels)


def write_tiled_big_endian(path, pixels):
    tifffile.imwrite(path, pixels, photometric="rgb", tile=(16, 16), compression="lzw", byteorder=">")
    return pixels


def write_planes_apart(path, pixels):
    tifffile.imwrite(path, np.moveaxis(pixels, 2, 0), photometric="rgb", planarconfig="separate",
                     rowsperstrip=5, compression="zlib", predictor=True)
    return pixels


def write_float_predicted(path, pixels):
    pixels = pixels.astype(np.float32) / 7
    tifffile.imwrite(path, pixels, photometric="rgb", compression="zlib", predictor=3)
    return pixels


@pytest.mark.parametrize("write", [write_tiled_big_endian, write_planes_apart, write_float_predicted])
def test_tiffs_of_other_writers_read_in_bands(tmp_path, write):
    path = tmp_path / "in.tif"
    pixels = write(path, random_pixels(PixelFormat("RGB", 16), 37, 40))  # 3 x 3 tiles, the last ones cut
    with images.open_image(path) as reader:
        np.testing.assert_array_equal(read_in_overlapping_bands(reader), pixels)


def smooth_rgb(height=12, width=11):
    y, x = np.mgrid[:height, :width]
    return np.stack([x * 20, y * 20, (x * y) % 256], axis=2).astype(np.uint8)


def palette_with_transparency(path, pixels):
    Image.fromarray(pixels).quantize(16).save(path, transparency=3)


def grey_4bit(path, pixels):
    with open(path, "wb") as file:
        png.Writer(pixels.shape[1], len(pixels), greyscale=True, bitdepth=4).write(file,
                                                                                    (pixels[:, :, 1] // 16).tolist())


def rgb_with_colour_key(path, pixels):
    with open(path, "wb") as file:
        png.Writer(pixels.shape[1], len(pixels), greyscale=False, transparent=tuple(int(v) for v in pixels[2, 3])).write(
            file, pixels.reshape(len(pixels), -1).tolist())


@pytest.mark.parametrize("write", [
    lambda path, pixels: Image.fromarray(pixels).save(path),              # libpng's adaptive filters: Up, Paeth
    lambda path, pixels: cv2.imwrite(str(path), pixels[:, :, ::-1]),      # Sub on every row
    palette_with_transparency,
    lambda path, pixels: Image.fromarray(pixels).quantize(200).save(path),  # 8 bits a palette index
    grey_4bit,
    rgb_with_colour_key,
], ids=["pillow", "opencv", "palette", "palette8", "grey4", "rgb-key"])
def test_png_of_other_writers_read_as_pillow_reads_them(tmp_path, write):
    path = tmp_path / "in.png"
    write(path, smooth_rgb())
    with images.open_image(path) as reader, Image.open(path) as picture:
        expected = np.asarray(picture.convert(reader.pixel_format.mode))
        np.testing.assert_array_equal(read_in_overlapping_bands(reader), expected.reshape(reader.height,
                                                                                           reader.width, -1))


def test_formats_encoded_whole_are_assembled_from_every_band(tmp_path):
    pixels = smooth_rgb(13, 10)
    images.write_image_rows(tmp_path / "out.bmp", in_bands(pixels), 13, 10, PixelFormat("RGB", 8))
    with Image.open(tmp_path / "out.bmp") as picture:
        np.testing.assert_array_equal(np.asarray(picture), pixels)


@pytest.mark.parametrize("suffix, transparency", [(".gif", 3), (".bmp", None)])
def test_palette_images_of_other_formats_read_in_their_colours(tmp_path, suffix, transparency):
    path = tmp_path / f"in{suffix}"
    Image.fromarray(smooth_rgb()).quantize(16).save(path, **({} if transparency is None else
                                                            {"transparency": transparency}))
    with images.open_image(path) as reader, Image.open(path) as picture:
        assert reader.pixel_format == PixelFormat("RGB" if transparency is None else "RGBA", 8)
        np.testing.assert_array_equal(read_in_overlapping_bands(reader),
                                      np.asarray(picture.convert(reader.pixel_format.mode)))


@pytest.mark.parametrize("suffix", [".jpg", ".png"])
@pytest.mark.parametrize("orientation", range(1, 9))
def test_exif_orientation_read_upright_and_reset(tmp_path, suffix, orientation):
    picture = Image.fromarray(smooth_rgb())
    exif = picture.getexif()
    exif[ORIENTATION_TAG] = orientation
    exif[0x0110] = "Camera"  # Model: the rest of the EXIF block stays
    path = tmp_path / f"in{suffix}"
    picture.save(path, exif=exif, quality=100)
    with Image.open(path) as stored:
        expected = np.asarray(ImageOps.exif_transpose(stored))
    with images.open_image(path) as reader:
        assert (reader.height, reader.width) == expected.shape[:2]
        np.testing.assert_array_equal(read_in_overlapping_bands(reader), expected)
        kept = Image.Exif()
        kept.load(reader.metadata.exif)
        assert (kept.get(ORIENTATION_TAG), kept.get(0x0110)) == (1, "Camera")


ICC = b"\0\0\2\0lumivex test profile" + bytes(range(256))
XMP = (b'<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
       b'<rdf:Description xmlns:tiff="http://ns.adobe.com/tiff/1.0/" tiff:Orientation="6"/></rdf:RDF></x:xmpmeta>')


def exif_block(orientation=1):
    exif = Image.Exif()
    exif[ORIENTATION_TAG] = orientation
    exif[0x010F] = "Maker"
    return exif.tobytes()


def png_with_metadata(folder):
    path = folder / "in.png"
    info = __import__("PIL.PngImagePlugin", fromlist=["PngInfo"]).PngInfo()
    info.add_text("Author", "Ann")
    info.add_text("Comment", "long " * 200, zip=True)
    info.add_itxt("Title", "Ünïcode ☃", lang="de", tkey="Titel", zip=True)
    info.add_itxt("XML:com.adobe.xmp", XMP.decode())
    Image.fromarray(smooth_rgb()).save(path, pnginfo=info, icc_profile=ICC, exif=exif_block(6), dpi=(300, 150))
    return path


def jpeg_with_metadata(folder):
    path = folder / "in.jpg"
    Image.fromarray(smooth_rgb()).save(path, icc_profile=ICC, exif=exif_block(6), xmp=XMP, dpi=(300, 150),
                                       comment="Ann's photo", quality=100)
    return path


def tiff_with_metadata(folder):
    path = folder / "in.tif"
    tifffile.imwrite(path, smooth_rgb(), photometric="rgb", iccprofile=ICC, resolution=(300, 150),
                     resolutionunit="INCH", description="A scan", metadata=None, software="Scanner 2",
                     extratags=[(315, "s", 0, "Ann", True), (271, "s", 0, "Maker", True), (700, "B", len(XMP), XMP,
                                                                                               True)])
    return path


def pillow_metadata(path):
    """What an independent reader finds in the file: (ICC, EXIF orientation, EXIF maker, XMP, texts, dpi)."""
    with Image.open(path) as picture:
        picture.load()
        info, exif = picture.info, picture.getexif()
        texts = dict(getattr(picture, "text", {}))
        if picture.format == "TIFF":
            texts = {name: picture.tag_v2.get(code) for code, name in [(270, "Description"), (315, "Author"),
                                                                       (305, "Software")] if code in picture.tag_v2}
            xmp = picture.tag_v2.get(700)
        elif picture.format == "JPEG":
            texts = {"Comment": info["comment"].decode()} if "comment" in info else {}
            xmp = info.get("xmp")
        else:
            xmp = texts.pop("XML:com.adobe.xmp", "").encode() or None
        dpi = tuple(round(value) for value in info["dpi"]) if "dpi" in info else None
        return info.get("icc_profile"), exif.get(ORIENTATION_TAG), exif.get(0x010F), xmp, texts, dpi


# Which format keeps what: each case names what the output must hold of the input's metadata.
@pytest.mark.parametrize("make, suffix, kept", [
    (png_with_metadata, ".png", {"icc", "exif", "xmp", "texts", "dpi"}),
    (jpeg_with_metadata, ".jpg", {"icc", "exif", "xmp", "comment", "dpi"}),
    (tiff_with_metadata, ".tif", {"icc", "xmp", "tiff texts", "dpi"}),
    (jpeg_with_metadata, ".png", {"icc", "exif", "xmp", "comment", "dpi"}),
    (png_with_metadata, ".tif", {"icc", "xmp", "tiff texts", "dpi"}),
    (tiff_with_metadata, ".jpg", {"icc", "xmp", "dpi"}),
], ids=["png-png", "jpeg-jpeg", "tiff-tiff", "jpeg-png", "png-tiff", "tiff-jpeg"])
def test_metadata_carried_where_the_output_holds_it(tmp_path, make, suffix, kept):
    source = make(tmp_path)
    target = tmp_path / f"out{suffix}"
    with images.open_image(source) as reader:
        pixels = reader.read_rows(0, reader.height)
        images.write_image_rows(target, [pixels], reader.height, reader.width, reader.pixel_format,
                                reader.metadata)
    icc, orientation, maker, xmp, texts, dpi = pillow_metadata(target)
    assert icc == ICC and "icc" in kept
    if "exif" in kept:
        assert (orientation, maker) == (1, "Maker")  # applied to the pixels, so no viewer turns them again
    if "xmp" in kept:
        assert xmp.replace(b"'", b'"') == XMP.replace(b'"6"', b'"1"') if make is not tiff_with_metadata else XMP
    if "texts" in kept:
        assert texts == {"Author": "Ann", "Comment": "long " * 200, "Title": "Ünïcode ☃"}
    if "tiff texts" in kept:
        expected = {"Author": "Ann"} if make is png_with_metadata else {"Author": "Ann", "Description": "A scan",
                                                                          "Software": "Scanner 2"}
        assert texts == expected
        assert maker == "Maker"  # from the input's EXIF or TIFF tags
    if "comment" in kept:
        assert texts.get("Comment") == "Ann's photo"
    turned = make is not tiff_with_metadata  # orientation 6: the output's sides are the input's swapped
    assert dpi == ((150, 300) if turned else (300, 150))


@pytest.mark.parametrize("suffix", [".png", ".tif", ".jpg"])
def test_decompression_bomb_refused_from_the_header_unless_allowed(tmp_path, monkeypatch, suffix):
    path = tmp_path / f"big{suffix}"
    pixels = smooth_rgb(30, 20)  # 600 pixels
    images.write_image(path, pixels, PixelFormat("RGB", 8))
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 250)  # Pillow itself would refuse above twice that
    with pytest.raises(images.ImageError) as refused:
        images.check_readable(path)
    assert "--max-megapixels" in str(refused.value) and "\n" not in str(refused.value)
    with pytest.raises(images.ImageError, match=r"0\.000599 .*against decompression bombs; raise it "
                                                r"with --max-megapixels$"):
        images.check_readable(path, max_pixels=599)
    with images.open_image(path, max_pixels=600) as reader:
        band = reader.read_rows(0, 30)
    if suffix != ".jpg":
        np.testing.assert_array_equal(band, pixels)
    assert Image.MAX_IMAGE_PIXELS == 250


class Interrupted(KeyboardInterrupt):
    pass


@pytest.mark.parametrize("suffix", [".png", ".tif", ".jpg"])
def test_a_failing_bands_iterator_leaves_nothing(tmp_path, suffix):
    def bands():
        yield np.zeros((4, 6, 3), np.uint8)
        raise Interrupted

    with pytest.raises(Interrupted):
        images.write_image_rows(tmp_path / f"out{suffix}", bands(), 8, 6, PixelFormat("RGB", 8))
    with pytest.raises(ValueError, match="4 of the image's 8 rows"):
        images.write_image_rows(tmp_path / f"out{suffix}", [np.zeros((4, 6, 3), np.uint8)], 8, 6,
                                PixelFormat("RGB", 8))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("replace", [True, False], ids=["replacing", "never replacing"])
def test_an_output_reaches_the_disk_before_its_name_and_its_name_after(tmp_path, monkeypatch, replace):
    # A power loss may leave a rename on the disk without the data it names, or lose the rename.
    events = []
    real_fsync, real_replace, real_link = os.fsync, os.replace, os.link
    monkeypatch.setattr(os, "fsync", lambda fd: events.append(
        "folder flushed" if os.path.isdir(f"/proc/self/fd/{fd}") else "file flushed") or real_fsync(fd))
    monkeypatch.setattr(os, "replace", lambda *paths: events.append("named") or real_replace(*paths))
    monkeypatch.setattr(os, "link", lambda *paths: events.append("named") or real_link(*paths))
    images.write_image(tmp_path / "a.png", np.zeros((2, 2, 3), np.uint8), PixelFormat("RGB", 8), replace=replace)
    assert events == ["file flushed", "named", "folder flushed"]


def test_a_tiff_of_tifffile_keeps_its_tags_but_not_its_shape_and_centimetres_become_inches(tmp_path):
    # tifffile describes the array's shape in the description tag: no longer true once upscaled. The
    # resolutions are fractions (201/2, 201/4), as scanners write them.
    tifffile.imwrite(tmp_path / "a.tif", np.zeros((2, 2), np.uint8), resolution=(100.5, 50.25),
                     resolutionunit="CENTIMETER", extratags=[(271, "s", 0, "Maker", True)])
    with images.open_image(tmp_path / "a.tif") as reader:
        assert reader.metadata.texts == (Text("Make", "Maker"), Text("Software", "tifffile.py"))
        assert reader.metadata.dpi == pytest.approx((255.27, 127.635))


@pytest.mark.parametrize("error", [IndexError(0), ZeroDivisionError("division by zero"), KeyError(270)])
def test_whatever_a_parser_raises_for_a_damaged_file_is_that_file_s_image_error(tmp_path, monkeypatch, error):
    # What a damaged header makes a library raise cannot all be foreseen; it must not end a folder run.
    def parse(*arguments):
        raise error

    monkeypatch.setattr(images, "open_tiff", parse)
    tifffile.imwrite(tmp_path / "a.tif", np.zeros((2, 2), np.uint8))
    with pytest.raises(images.ImageError, match=f"a.tif: not a readable image \\({type(error).__name__}: "):
        images.open_image(tmp_path / "a.tif")


@pytest.mark.parametrize("failure, written", [(errno.EPERM, True), (errno.EIO, False)],
                         ids=["no hard links here", "a failing disk"])
def test_a_file_system_without_hard_links_gets_the_output_renamed_and_a_failing_one_none(tmp_path, monkeypatch,
                                                                                          failure, written):
    def link(*paths):
        raise OSError(failure, os.strerror(failure))

    def write():
        images.write_image(tmp_path / "a.png", np.zeros((2, 2, 3), np.uint8), PixelFormat("RGB", 8), replace=False)

    monkeypatch.setattr(os, "link", link)
    if written:
        write()
    else:
        with pytest.raises(OSError, match=os.strerror(errno.EIO)):
            write()
    assert [path.name for path in tmp_path.iterdir()] == (["a.png"] if written else [])


@pytest.mark.parametrize("target, pixel_format, size, message", [
    ("a.png", PixelFormat("RGB", 32, "float"), None, "PNG cannot hold the input's 32-bit float RGB pixels; use .tif"),
    ("a.jpg", PixelFormat("L", 16), None, "JPEG cannot hold the input's 16-bit L pixels; use .png"),
    ("a.jpg", PixelFormat("RGB", 8), (65501, 10), "JPEG holds at most 65,500 pixels a side"),
    ("a.webp", PixelFormat("RGB", 8), (100, 16384), "WEBP holds at most 16,383 pixels a side"),
    ("a.tif", PixelFormat("RGBA", 16), (70000, 70000), None),
    ("a.png", PixelFormat("LA", 16), (70000, 70000), None),
])
def test_outputs_the_format_cannot_hold_refused_before_work(target, pixel_format, size, message):
    if message is None:
        images.check_writable(target, pixel_format, size)
        return
    with pytest.raises(images.ImageError, match=message):
        images.check_writable(target, pixel_format, size)


_TALL_IMAGE_CHILD = """
import resource, sys
import numpy as np
from lumivex.upscale import images

width, height, suffix = 1000, 20000, sys.argv[1]  # 60 MB of 8-bit RGB
pixel_format = images.PixelFormat("RGB", 8)
noise = np.random.default_rng(0).integers(0, 256, (50, width, 3), dtype=np.uint8)


def bands():
    for y in range(0, height, 50):
        yield (noise[::-1] if y % 100 else noise).copy()  # fresh arrays, as the road's are: holding them shows


def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


images.write_image_rows(sys.argv[2] + "warm" + suffix, [noise], 50, width, pixel_format)
images.read_image(sys.argv[2] + "warm" + suffix)  # every module and codec loaded before the baseline
before = peak()
images.write_image_rows(sys.argv[2] + "tall" + suffix, bands(), height, width, pixel_format)
with images.open_image(sys.argv[2] + "tall" + suffix) as reader:
    for y in range(0, height, 64):
        band = reader.read_rows(max(0, y - 8), min(height, y + 72))
        assert (band[8 if y else 0] == (noise if y % 100 < 50 else noise[::-1])[y % 50]).all()
print(peak() - before)
"""


@pytest.mark.parametrize("suffix", [".png", ".tif"])
def test_streamed_files_need_memory_for_bands_not_for_the_image(tmp_path, suffix):
    import subprocess
    import sys

    child = subprocess.run([sys.executable, "-P", "-c", _TALL_IMAGE_CHILD, suffix, f"{tmp_path}/"],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr
    growth = int(child.stdout)
    assert growth < 15e6, f"peak RSS grew by {growth / 1e6:.0f} MB writing and reading a 60 MB image"


@pytest.mark.parametrize("suffix, format_name", [(".jpg", "JPEG"), (".webp", "WEBP")])
def test_lossy_outputs_are_saved_at_high_quality(tmp_path, suffix, format_name):
    # Pillow's default (75) blurs exactly the detail an upscaler adds.
    pixels = np.random.default_rng(3).integers(0, 256, (40, 48, 3), dtype=np.uint8)
    images.write_image(tmp_path / f"out{suffix}", pixels, PixelFormat("RGB", 8))
    Image.fromarray(pixels).save(tmp_path / f"at95{suffix}", format_name, quality=95)
    with Image.open(tmp_path / f"out{suffix}") as written, Image.open(tmp_path / f"at95{suffix}") as expected:
        np.testing.assert_array_equal(np.asarray(written), np.asarray(expected))
