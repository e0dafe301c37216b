"""`lumivex-upscale compare`: the sheet holds each method's own enlargement of the crop, the page shows those
pixels on either side of its slider in a real browser, the automatic crop is the detailed part, and bad input
is refused in one line before anything is written."""

import io
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys

import numpy as np
import pytest
from PIL import Image

from lumivex.testing import networks
from lumivex.upscale import compare, images, pipeline
from lumivex.upscale.compare import crop, sheet
from lumivex.upscale.images import open_image
from lumivex.upscale.models import builtin_path, load_model
from lumivex.utils.dtypes import to_float32

COFFEE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "data" / "coffee.jpg"
# Past the right and bottom edges of the 384x256 photo: cut down to 84x56.
CROP = (300, 200, 100, 80)
SCALE = 3  # the builtin x4 network shrunk, the x2 network enlarged, a factor Pillow's filters have no shortcut for


@pytest.fixture(scope="module")
def compared(tmp_path_factory):
    """The sheet, the page, the crop and the (name, network) of a comparison of three networks on the photo."""
    folder = tmp_path_factory.mktemp("compare")
    placeholder = networks.write_placeholder_network(folder / "placeholder.onnx", 2)
    models = ["builtin", str(placeholder), str(builtin_path(2))]
    status = compare.main([str(COFFEE), *(part for model in models for part in ("--model", model)),
                           "--crop", ",".join(map(str, CROP)), "--scale", str(SCALE), "-o", str(folder / "s.png")])
    assert status == 0
    x, y = CROP[:2]
    photo = np.asarray(Image.open(COFFEE).convert("RGB"))
    return {"sheet": np.asarray(Image.open(folder / "s.png")), "page": folder / "s.html",
            "crop": photo[y:y + 56, x:x + 84], "networks": [load_model(models[0], SCALE)] + [
                load_model(model) for model in models[1:]]}


def sheet_crops(compared, count=5):
    height, width = compared["crop"].shape[0] * SCALE, compared["crop"].shape[1] * SCALE
    corners, size = sheet.places(count, width, height)
    assert compared["sheet"].shape[:2] == size[::-1]
    return [compared["sheet"][y:y + height, x:x + width] for x, y in corners]


def expected_entry(compared, index, cp):
    """Each method's own enlargement of the crop, in the sheet's order."""
    pixels = compared["crop"]
    height, width = pixels.shape[0] * SCALE, pixels.shape[1] * SCALE
    if index == 0:  # nearest neighbour: each pixel a SCALE x SCALE block
        return np.repeat(np.repeat(pixels, SCALE, axis=0), SCALE, axis=1)
    if index == 1:  # Pillow's bicubic filter on the 8-bit crop
        return np.asarray(Image.fromarray(pixels).resize((width, height), Image.Resampling.BICUBIC))
    result = cp.asnumpy(pipeline.upscale(cp.asarray(to_float32(pixels)), compared["networks"][index - 2], SCALE))
    return (np.clip(result, 0, 1) * 255 + 0.5).astype(np.uint8)


@pytest.mark.parametrize("index", range(5), ids=["nearest", "bicubic", "builtin", "placeholder", "x2 file"])
def test_the_sheet_holds_each_methods_own_enlargement_of_the_crop(compared, index, cp):
    assert np.array_equal(sheet_crops(compared)[index], expected_entry(compared, index, cp))


@pytest.fixture(scope="module")
def browser():
    """Debian's chromium, headless, driven by its chromedriver; started once for the module."""
    chromium, chromedriver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or chromedriver is None:
        pytest.skip("Debian's chromium and chromium-driver are not installed (tools/env.sh installs them when "
                    "it runs as root)")
    from selenium import webdriver

    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--window-size=1400,900", "--force-device-scale-factor=1",
                     "--disable-gpu"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=chromedriver))
    yield driver
    driver.quit()


@pytest.mark.parametrize("chosen, shown, fraction", [
    (None, (1, 2), 0.25),  # as the page opens: bicubic against the first network
    ((4, 0), (4, 0), 0.8),
])
def test_the_pages_slider_splits_the_two_chosen_crops_of_the_sheet(compared, browser, chosen, shown, fraction):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select

    browser.get(compared["page"].as_uri())
    if chosen is not None:
        for select, index in zip(("left", "right"), chosen):
            Select(browser.find_element(By.ID, select)).select_by_index(index)
    split = browser.find_element(By.ID, "split")
    ActionChains(browser).move_to_element_with_offset(split, round((fraction - 0.5) * split.size["width"]), 0) \
        .click().perform()
    value = float(split.get_property("value"))
    assert abs(value - 100 * fraction) < 5  # the click moved the slider
    view = np.asarray(Image.open(io.BytesIO(browser.find_element(By.ID, "view").screenshot_as_png)).convert("RGB"))
    crops = sheet_crops(compared)
    assert view.shape == crops[0].shape
    at = round(value / 100 * view.shape[1])
    left, right = shown
    assert np.array_equal(view[:, :at - 1], crops[left][:, :at - 1])
    assert np.array_equal(view[:, at + 1:], crops[right][:, at + 1:])


def test_the_page_embeds_every_crop_and_loads_nothing_else(compared):
    page = compared["page"].read_text(encoding="utf-8")
    listed = json.loads(re.search(r'<script id="entries" type="application/json">(.*?)</script>', page).group(1))
    decoded = [np.asarray(Image.open(io.BytesIO(_data(entry["src"])))) for entry in listed]
    assert all(np.array_equal(image, crop) for image, crop in zip(decoded, sheet_crops(compared), strict=True))
    assert not re.search(r'(src|href)="(?!data:)', page)


def _data(url):
    import base64

    prefix = "data:image/png;base64,"
    assert url.startswith(prefix)
    return base64.b64decode(url[len(prefix):])


def texture(width, height, patch, seed=0):
    """(height, width, 3) uint8 pixels: flat grey with a noisy patch (x, y, w, h)."""
    pixels = np.full((height, width, 3), 128, np.uint8)
    x, y, w, h = patch
    pixels[y:y + h, x:x + w] = np.random.default_rng(seed).integers(0, 256, (h, w, 3))
    return pixels


def step(width, height, row):
    """(height, width, 3) uint8 pixels: grey above `row`, lighter from it on, and no other detail."""
    pixels = np.full((height, width, 3), 128, np.uint8)
    pixels[row:] = 200
    return pixels


@pytest.mark.parametrize("pixels, crop_size, box", [
    # Windows lie on half-window steps, moved inside the image at its right and bottom edges.
    (texture(300, 200, (250, 160, 40, 35)), (128, 128), (172, 72)),
    (texture(300, 200, (10, 5, 30, 20)), (128, 64), (0, 0)),
    # The patch lies in one cell: of the four windows holding it, the top left one.
    (texture(300, 200, (140, 100, 20, 20)), (90, 50), (90, 75)),
    (texture(60, 40, (20, 10, 8, 8)), (128, 128), (0, 0, 60, 40)),  # a crop larger than the image is the image
    (step(300, 200, 128), (128, 128), (0, 64)),  # the only detail lies between two bands read
    (step(200, 300, 200).transpose(1, 0, 2).copy(), (128, 128), (128, 0)),  # the only detail across the rows
])
def test_the_automatic_crop_is_the_window_with_the_most_detail(tmp_path, pixels, crop_size, box):
    Image.fromarray(pixels).save(tmp_path / "t.png")
    with open_image(tmp_path / "t.png") as reader:
        found = crop.most_detailed(reader, *crop_size)
    assert (found.x, found.y, found.width, found.height) == (box + crop_size if len(box) == 2 else box)


@pytest.mark.parametrize("text, box", [
    ("0,0,1,1", crop.Box(0, 0, 1, 1)),
    ("3,4,50,60", crop.Box(3, 4, 50, 60)),
    ("1,2,3", None),
    ("a,0,5,5", None),
    ("-1,0,5,5", None),
    ("0,-1,5,5", None),
    ("0,0,0,5", None),
    ("0,0,5,0", None),
])
def test_a_crop_is_given_as_its_corner_and_size(text, box):
    if box is None:
        with pytest.raises(ValueError):
            crop.parse_box(text)
    else:
        assert crop.parse_box(text) == box


@pytest.mark.parametrize("mode, bits", [("LA", 8), ("RGBA", 16)])
def test_the_command_compares_the_colour_of_the_most_detailed_part(tmp_path, cp, mode, bits):
    # Colour detail at the top left, detail of alpha alone at the bottom right: alpha is no part of the comparison.
    top, dtype = (255, np.uint8) if bits == 8 else (65535, np.uint16)
    rng = np.random.default_rng(1)
    pixels = np.full((200, 300, len(mode)), top // 2, dtype)
    pixels[20:50, 20:50, :-1] = rng.integers(0, top + 1, (30, 30, len(mode) - 1))
    pixels[150:190, 240:290, -1] = rng.integers(0, top + 1, (40, 50))
    images.write_image(tmp_path / "p.png", pixels, images.PixelFormat(mode, bits))
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    completed = subprocess.run([sys.executable, "-P", "-m", "lumivex.upscale.compare", "p.png"], cwd=tmp_path,
                               capture_output=True, text=True, env=env, timeout=120)
    assert completed.returncode == 0 and completed.stderr == ""
    assert re.fullmatch(r"crop: 128x128 at 0,0 \(the most detailed part\)\n"
                        r"nearest: [0-9.]+ m?s\nbicubic: [0-9.]+ m?s\nbuiltin x2: [0-9.]+ m?s, [0-9.]+ kB\n"
                        r"wrote p_compare\.png and p_compare\.html\n", completed.stdout)
    colour = pixels[:128, :128, :-1]
    own = cp.asnumpy(pipeline.upscale(to_float32(cp.asarray(colour)), load_model("builtin"), 2))
    corners, _ = sheet.places(3, 256, 256)
    shown = np.asarray(Image.open(tmp_path / "p_compare.png"))
    for (x, y), expected in zip([corners[0], corners[2]], [
            np.repeat(np.repeat(colour / top, 2, axis=0), 2, axis=1), own]):
        expected = np.broadcast_to((np.clip(expected, 0, 1) * 255 + 0.5).astype(np.uint8), (256, 256, 3))
        assert np.array_equal(shown[y:y + 256, x:x + 256], expected)


@pytest.mark.parametrize("arguments, message", [
    (["missing.png"], "missing.png: no such file"),
    (["folder"], "folder: not a regular file"),
    (["notes.png"], "notes.png: not a readable image"),
    (["p.png", "--model", "none.onnx"], "none.onnx: no such model file"),
    (["p.png", "--model", "notes.png"], "notes.png"),
    (["p.png", "--crop", "40,5,10,10"], "the crop's corner 40,5 lies outside the 40x30 image"),
    (["p.png", "--crop", "0,0,40,30", "--scale", "103"], "enlarged x103 is 4120x3090; compare takes crops up to 4096"),
    (["p.png", "-o", "sheet.jpg"], "sheet.jpg: the sheet is a PNG file"),
    (["p.png", "-o", "nowhere/s.png"], "the output folder nowhere does not exist"),
    (["p.png", "-o", "p.png"], "p.png: the output would overwrite the input"),
    (["p.png", "-o", "folder.png"], "folder.png: a folder is in the way"),
    (["p.png", "-o", "s.png"], "s.html: a folder is in the way"),
])
def test_bad_input_is_one_line_before_anything_is_written(tmp_path, monkeypatch, capsys, arguments, message):
    monkeypatch.chdir(tmp_path)
    Image.fromarray(texture(40, 30, (5, 5, 10, 10))).save("p.png")
    pathlib.Path("notes.png").write_text("not an image")
    for folder in ("folder", "folder.png", "s.html"):
        pathlib.Path(folder).mkdir()
    before = sorted(tmp_path.iterdir())
    assert compare.main(arguments) == 2
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("lumivex-upscale compare: error: ") and message in lines[0]
    assert sorted(tmp_path.iterdir()) == before


def test_a_network_failing_on_the_crop_is_one_line_and_left_off_the_sheet(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    pixels = texture(40, 30, (5, 5, 10, 10))
    pixels[0, 0] = 0  # the trap network fails on a window holding an exact 0
    Image.fromarray(pixels).save("p.png")
    networks.write_network("trap.onnx", networks.trap_network(2))
    assert compare.main(["p.png", "--model", "trap.onnx", "--model", "builtin", "--crop", "0,0,20,20"]) == 1
    out, err = capsys.readouterr()
    assert out.startswith("crop: 20x20 at 0,0\n")
    assert re.fullmatch(r"lumivex-upscale compare: failed trap\.onnx: [^\n]+\n", err)
    corners, size = sheet.places(3, 40, 40)
    assert Image.open("p_compare.png").size == size
    assert pathlib.Path("p_compare.html").read_text().count("data:image/png") == 3


def test_labels_and_title_too_long_are_cut_short_within_their_room():
    from lumivex.upscale.compare.entries import Entry

    black = np.zeros((20, 20, 3), np.uint8)
    drawn = np.asarray(sheet.draw([Entry("n" * 200, black, 0.01), Entry("m" * 200, black, 0.01)], "t" * 300))
    corners, _ = sheet.places(2, 20, 20)
    (x, y), (next_x, _) = corners
    ink = (drawn < 128).any(axis=2)
    assert not ink[y:, x + sheet.MIN_CELL_WIDTH:next_x].any()  # the gap between the cells, under the title
    assert not ink[:, -sheet.MARGIN:].any()
    # The title and the names fill their room, cut short, rather than give way to "..." alone.
    assert np.nonzero(ink[:y].any(axis=0))[0].max() > drawn.shape[1] - 4 * sheet.MARGIN
    assert np.nonzero(ink[y + 20:, x:next_x].any(axis=0))[0].max() > sheet.MIN_CELL_WIDTH * 3 // 4


@pytest.mark.parametrize("seconds, weight_bytes, text", [
    (0.0042, None, "4.2 ms"),
    (0.01, 999, "10 ms, 999 B"),
    (0.25, 236_300, "250 ms, 236.3 kB"),
    (2.5, 1_234_567_890, "2.50 s, 1.2 GB"),
])
def test_a_label_gives_the_time_and_the_size_of_the_network(seconds, weight_bytes, text):
    from lumivex.upscale.compare.entries import Entry

    assert sheet.label(Entry("n", np.zeros((1, 1, 3), np.uint8), seconds, weight_bytes)) == text


@pytest.mark.parametrize("arguments", [["--scale", "0"], ["--scale", "-2"], ["--scale", "inf"], ["--scale", "x"],
                                       ["--crop", "1,2,3"]])
def test_a_malformed_option_is_refused_by_the_parser(tmp_path, capsys, arguments):
    with pytest.raises(SystemExit) as exit:
        compare.main([str(tmp_path / "p.png"), *arguments])
    assert exit.value.code == 2 and f"argument {arguments[0]}" in capsys.readouterr().err


def test_a_signal_ends_the_run_in_one_line_and_leaves_no_file(tmp_path):
    networks.write_network(tmp_path / "deep.onnx", networks.deep_network(24))  # seconds on a large crop
    Image.fromarray(texture(800, 800, (0, 0, 800, 800))).save(tmp_path / "p.png")
    before = sorted(tmp_path.iterdir())
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"} | {"PYTHONUNBUFFERED": "1"}
    run = subprocess.Popen([sys.executable, "-P", "-m", "lumivex.upscale.compare", "p.png", "--model", "deep.onnx",
                            "--crop", "0,0,800,800"], cwd=tmp_path, env=env, text=True, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    assert run.stdout.readline() == "crop: 800x800 at 0,0\n"  # the enlarging has begun
    run.send_signal(signal.SIGINT)
    out, err = run.communicate(timeout=120)
    assert run.returncode == 130 and err == "lumivex-upscale compare: interrupted\n"
    assert sorted(tmp_path.iterdir()) == before
