"""Damaged inputs and outputs' places through the installed command: a file whose pixels cannot all be decoded is
one failed line, never a result with zeros in it nor the end of a folder run; every page of a TIFF is upscaled; a
claim that cannot be read and a dangling link at an output are said for what they are."""

import os
import re
import struct
import subprocess
import time

import numpy as np
import pytest

tifffile = pytest.importorskip("tifffile")
Image = pytest.importorskip("PIL.Image")
pytest.importorskip("onnxruntime")

from lumivex.upscale import images
from lumivex.upscale.images import PixelFormat

PIXELS = np.random.default_rng(0).integers(0, 256, (32, 24, 3), dtype=np.uint8)


def run(command, arguments, cwd):
    return subprocess.run([*command, *arguments], cwd=cwd, capture_output=True, text=True, timeout=300)


def tiff(path, **options):
    tifffile.imwrite(path, PIXELS, photometric="rgb", **options)
    return path


def patch(path, offset, value):
    data = bytearray(path.read_bytes())
    data[offset:offset + 4] = struct.pack("<I", value)
    path.write_bytes(bytes(data))


def cut_at_half(path):
    path.write_bytes(tiff(path, rowsperstrip=4).read_bytes()[:path.stat().st_size // 2])


def cut_in_last_tile(path):
    tiff(path, tile=(16, 16), compression="zlib")
    with tifffile.TiffFile(path) as file:
        end = file.pages[0].dataoffsets[-1] + 10
    path.write_bytes(path.read_bytes()[:end])


def strip_beyond_the_end(path):
    tiff(path)
    with tifffile.TiffFile(path) as file:
        offset = file.pages[0].tags["StripOffsets"].valueoffset
    patch(path, offset, path.stat().st_size + 1000)


def short_compressed_strip(path):
    tiff(path, compression="packbits")  # decodes what it has: fewer samples than the strip holds
    with tifffile.TiffFile(path) as file:
        page = file.pages[0]
        offset, count = page.tags["StripByteCounts"].valueoffset, page.databytecounts[0]
    patch(path, offset, count // 2)


def first_page_lost(path):
    patch(tiff(path), 4, path.stat().st_size + 1000)


def two_pages(path):
    with tifffile.TiffWriter(path) as file:
        file.write(PIXELS, photometric="rgb")
        file.write(PIXELS[:16, :, 0], photometric="minisblack")
    return path


def second_page_lost(path):
    with tifffile.TiffFile(two_pages(path)) as file:
        page = file.pages[0]
        next_page = page.offset + 2 + 12 * len(page.tags)  # the first page's link to the second
    patch(path, next_page, path.stat().st_size + 1000)


DAMAGED = {"half.tif": cut_at_half, "tile.tif": cut_in_last_tile, "beyond.tif": strip_beyond_the_end,
           "short.tif": short_compressed_strip, "nofirst.tif": first_page_lost, "nosecond.tif": second_page_lost}


def test_damaged_tiffs_fail_one_line_each_and_every_page_of_a_good_one_is_upscaled(tmp_path, network, command):
    folder = tmp_path / "in"
    folder.mkdir()
    for name, damage in DAMAGED.items():
        damage(folder / name)
    two_pages(folder / "pages.tif")
    tifffile.imwrite(folder / "second.tif", PIXELS[:16, :, 0], photometric="minisblack")  # its second page alone
    completed = run(command, ["in", "out", "--model", network], tmp_path)
    assert completed.returncode == 1, completed.stderr
    failures = sorted(line for line in completed.stderr.splitlines() if line.startswith("lumivex-upscale: failed"))
    assert [line.split()[2] for line in failures] == [f"in/{name}:" for name in sorted(DAMAGED)], completed.stderr
    assert all("not a readable image" in line for line in failures), failures
    assert "Traceback" not in completed.stderr and "padded" not in completed.stderr
    damaged = len(DAMAGED)
    assert completed.stdout.splitlines()[-1] == f"{damaged + 2} images: 2 written, 0 skipped, {damaged} failed"
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == ["pages.tif", "second.tif"]
    with tifffile.TiffFile(tmp_path / "out" / "pages.tif") as result:
        assert [page.shape for page in result.pages] == [(64, 48, 3), (32, 48)]
        np.testing.assert_array_equal(result.pages[1].asarray(), tifffile.imread(tmp_path / "out" / "second.tif"))


def test_a_format_of_one_image_is_refused_for_a_tiff_of_several_before_any_work(tmp_path, network, command):
    two_pages(tmp_path / "pages.tif")
    completed = run(command, ["pages.tif", "pages.png", "--model", network], tmp_path)
    assert (completed.returncode, completed.stdout) == (2, "")
    assert completed.stderr == ("lumivex-upscale: error: pages.png: PNG holds one image, the input has 2 pages; "
                                "use .tif\n")


def test_pages_of_every_format_are_written_and_read_back_in_order(tmp_path):
    formats = [PixelFormat("RGB", 8), PixelFormat("L", 16), PixelFormat("RGBA", 32, "float")]
    rng = np.random.default_rng(1)
    pixels = [rng.integers(0, 200, (5 + index, 7, pixel_format.channels)).astype(pixel_format.dtype)
              for index, pixel_format in enumerate(formats)]
    pages = [images.Page([page[:2], page[2:]], len(page), 7, pixel_format)
             for page, pixel_format in zip(pixels, formats)]
    images.write_image_pages(tmp_path / "out.tif", pages)
    with images.open_image(tmp_path / "out.tif") as reader:
        readers = reader.pages()
        assert [page.pixel_format for page in readers] == formats
        for page, expected in zip(readers, pixels):
            np.testing.assert_array_equal(page.read_rows(0, page.height), expected)


def test_unreadable_claims_are_judged_by_age_and_a_dangling_link_is_no_run(tmp_path, network, command):
    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    out.mkdir()
    for name in "abcde":
        Image.fromarray(PIXELS).save(folder / f"{name}.png")
    two_days_ago = time.time() - 2 * 24 * 3600
    (out / ".a.png.lock").write_bytes(b"")  # recent: it might be some run's, for all anyone can tell
    os.utime(out / ".a.png.lock", (time.time() - 300,) * 2)
    (out / ".b.png.lock").write_bytes(b"\x00garbage")
    (out / ".c.png.lock").mkdir()
    (out / ".d.png.lock").mkdir()
    (out / ".d.png.lock" / "keep").write_bytes(b"")  # a folder with something in it is nobody's to empty
    for name in ".b.png.lock", ".c.png.lock", ".d.png.lock":
        os.utime(out / name, (two_days_ago,) * 2)
    (out / "e.png").symlink_to("../nowhere.png")
    completed = run(command, ["in", "out", "--model", network], tmp_path)
    assert completed.returncode == 1, completed.stderr
    assert sorted(re.findall(r"^broke out/(\S+), which could not be read as a claim \((.+?)\) and was 2 days old$",
                             completed.stdout, re.MULTILINE)) == [(".b.png.lock", "not the JSON of a claim"),
                                                                 (".c.png.lock", "a folder")]
    failed = sorted(line for line in completed.stderr.splitlines() if "failed" in line)
    assert failed == [
        "lumivex-upscale: failed in/a.png: out/.a.png.lock cannot be read as a claim (an empty file) and is only "
        "5 min old; remove it if no run is writing out/a.png (it is broken once 24 h old)",
        "lumivex-upscale: failed in/d.png: out/.d.png.lock cannot be read as a claim (a folder) and is 2 days old, "
        "but could not be removed; remove it if no run is writing out/d.png (it is broken once 24 h old)",
        "lumivex-upscale: failed in/e.png: out/e.png is a link to ../nowhere.png, which does not exist; not "
        "replaced (--overwrite replaces the link)"], completed.stderr
    assert completed.stdout.splitlines()[-1] == "5 images: 2 written, 0 skipped, 3 failed"
    assert sorted(path.name for path in out.iterdir()) == [".a.png.lock", ".d.png.lock", "b.png", "c.png", "e.png"]
    assert os.readlink(out / "e.png") == "../nowhere.png"
