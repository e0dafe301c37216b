"""Image files through the upscaler: bit depth, mode and orientation kept, and the command's refusals of bad
input before any work, its folder mode, its resumption, a failing file as one line, and an output another run
put in place meanwhile kept."""

import numpy as np
import pytest

# A GPU machine without a network may lack the optional packages; there these tests skip with a reason.
png = pytest.importorskip("png")
Image = pytest.importorskip("PIL.Image")
pytest.importorskip("onnx")
pytest.importorskip("onnxruntime")
pytest.importorskip("tqdm")

from lumivex.upscale import Upscaler, cli, upscale_file
from lumivex.upscale import upscaler as upscaler_module

ORIENTATION_TAG = 0x0112


def nearest_x2(batch):
    return batch.repeat(2, axis=2).repeat(2, axis=3)


def write_png(path, pixels, exif_orientation=None):
    """Writes with Pillow, or pypng where Pillow cannot (16-bit colour)."""
    if pixels.dtype == np.uint16 and pixels.ndim == 3:
        height, width, planes = pixels.shape
        with open(path, "wb") as file:
            png.Writer(width, height, greyscale=planes < 3, alpha=planes in (2, 4), bitdepth=16).write_array(
                file, pixels.reshape(-1))
        return
    picture = Image.fromarray(pixels)
    exif = picture.getexif()
    if exif_orientation is not None:
        exif[ORIENTATION_TAG] = exif_orientation
    picture.save(path, exif=exif)


def read_png(path):
    """(pixels (H, W, planes), bit depth), read by pypng independently of the package."""
    width, height, rows, info = png.Reader(filename=str(path)).asDirect()
    pixels = np.vstack([np.asarray(row) for row in rows]).reshape(height, width, info["planes"])
    return pixels, info["bitdepth"]


@pytest.mark.parametrize("depth, planes, orientation, passes", [
    (16, 1, None, [1]),        # 16-bit grey: once came out white
    (16, 3, None, [3]),        # 16-bit RGB: once cut to 8 bits
    (8, 4, None, [3, 1]),      # RGBA: alpha upscaled on its own and put back
    (8, 1, None, [1]),         # grey stays grey
    (8, 3, 6, [3]),            # EXIF "rotate 90 clockwise" applied
], ids=["grey16", "rgb16", "rgba8", "grey8", "rgb8-exif-rotated"])
def test_images_round_trip_with_depth_and_mode_kept(tmp_path, recorder, depth, planes, orientation, passes):
    dtype = np.uint8 if depth == 8 else np.uint16
    pixels = np.random.default_rng(planes).integers(0, np.iinfo(dtype).max + 1, (6, 9, planes), dtype=dtype)
    source, target = tmp_path / "in.png", tmp_path / "out.png"
    write_png(source, pixels[:, :, 0] if planes == 1 else pixels, orientation)
    model = recorder(wrapped=nearest_x2)
    upscale_file(source, target, Upscaler(model, scale=2, tile_size=16, overlap=4))
    upright = np.rot90(pixels, -1) if orientation == 6 else pixels
    result, bit_depth = read_png(target)
    assert bit_depth == depth
    np.testing.assert_array_equal(result, upright.repeat(2, axis=0).repeat(2, axis=1))
    assert [args[0].shape[1] for args, _ in model.calls] == passes


@pytest.fixture
def photos(tmp_path):
    folder = tmp_path / "photos"
    folder.mkdir()
    rng = np.random.default_rng(0)
    for name in ("a.png", "b.jpg"):
        Image.fromarray(rng.integers(0, 256, (20, 30, 3), dtype=np.uint8)).save(folder / name)
    (folder / "broken.png").write_bytes(b"not an image")
    return folder


def snapshot(folder):
    return {path: path.read_bytes() for path in sorted(folder.rglob("*")) if path.is_file()}


@pytest.mark.parametrize("arguments, message", [
    (["photos/missing.png"], "photos/missing.png: no such file or folder"),
    (["photos/broken.png"], "photos/broken.png: not a readable image"),
    (["photos/a.png", "nowhere/a.png"], "the output folder nowhere does not exist"),
    (["photos/a.png", "photos/a.png"], "the output would overwrite the input"),
    (["photos", "photos"], "the output folder is the input folder"),
], ids=["missing", "unreadable", "no output folder", "output is input", "folder onto itself"])
def test_bad_input_gets_one_line_before_any_work(tmp_path, monkeypatch, capsys, photos, network, arguments,
                                                 message):
    monkeypatch.chdir(tmp_path)
    before = snapshot(tmp_path)
    assert cli.main([*arguments, "--model", network]) == cli.EXIT_USAGE
    captured = capsys.readouterr()
    assert captured.out == ""  # not even the device line: nothing started
    assert captured.err.startswith("lumivex-upscale: error: ") and message in captured.err
    assert captured.err.count("\n") == 1
    assert snapshot(tmp_path) == before


def test_folder_run_skips_a_bad_file_and_resumes(tmp_path, monkeypatch, capsys, photos, network):
    monkeypatch.chdir(tmp_path)
    inputs = snapshot(photos)
    assert cli.main(["photos", "--model", network]) == cli.EXIT_PARTIAL
    captured = capsys.readouterr()
    assert "failed photos/broken.png: not a readable image" in captured.err
    assert "\nmodel: x2.onnx (x2, " in captured.out and "\nmemory: tile " in captured.out
    done = tmp_path / "photos_x2"
    assert sorted(path.name for path in done.iterdir()) == ["a.png", "b.jpg"]
    with Image.open(done / "b.jpg") as result:
        assert (result.format, result.size) == ("JPEG", (60, 40))

    (done / "a.png").unlink()  # as if interrupted before a.png
    kept = (done / "b.jpg").stat().st_mtime_ns
    cli.main(["photos", "--model", network])
    out = capsys.readouterr().out
    assert "wrote photos_x2/a.png" in out and "photos_x2/b.jpg exists; skipped" in out
    assert out.endswith("\n3 images: 1 written, 1 skipped, 1 failed\n")
    assert (done / "b.jpg").stat().st_mtime_ns == kept
    assert snapshot(photos) == inputs


def inject_model(monkeypatch, wrap):
    """Makes the command's network `wrap(network)`: a callable that may fail or act on the side."""
    load = upscaler_module.load_model

    def load_wrapped(*args, **kwargs):
        network = load(*args, **kwargs)
        model = wrap(network)
        for name in ("description", "notice", "name", "scale", "radius", "max_batch", "window", "multiple"):
            setattr(model, name, getattr(network, name))
        return model
    monkeypatch.setattr(upscaler_module, "load_model", load_wrapped)


def test_a_file_the_network_fails_on_is_one_line_and_the_others_are_done(tmp_path, monkeypatch, capsys, network):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "photos").mkdir()
    for name, width in zip("abcd", (10, 11, 12, 13)):
        Image.new("RGB", (width, 8), (40, 80, 120)).save(tmp_path / "photos" / f"{name}.png")

    def failing_on_width_11(network):
        def run(batch):
            if batch.shape[3] == 11:  # as ONNX Runtime reports: a first line, then its own report
                raise RuntimeError("[ONNXRuntimeError] : 6 : RUNTIME_EXCEPTION : Non-zero status code\n"
                                   "Stacktrace: frame 0")
            return network(batch)
        return run
    inject_model(monkeypatch, failing_on_width_11)

    assert cli.main(["photos", "--model", network]) == cli.EXIT_PARTIAL
    captured = capsys.readouterr()
    assert captured.err == ("lumivex-upscale: failed photos/b.png: RuntimeError: [ONNXRuntimeError] : 6 : "
                            "RUNTIME_EXCEPTION : Non-zero status code\n")
    assert captured.out.endswith("\n4 images: 3 written, 0 skipped, 1 failed\n")
    assert sorted(path.name for path in (tmp_path / "photos_x2").iterdir()) == ["a.png", "c.png", "d.png"]

    assert cli.main(["photos", "-v", "--model", network]) == cli.EXIT_PARTIAL  # the others are skipped now
    err = capsys.readouterr().err
    assert err.startswith("lumivex-upscale: failed photos/b.png: ")
    assert "Traceback (most recent call last)" in err and "Stacktrace: frame 0" in err

    # One file alone: the same one line, no summary, no output.
    assert cli.main(["photos/b.png", "b.png", "--model", network]) == cli.EXIT_PARTIAL
    captured = capsys.readouterr()
    assert captured.err.count("\n") == 1 and "Traceback" not in captured.err
    assert not (tmp_path / "b.png").exists()


def test_an_output_another_run_puts_in_place_meanwhile_is_kept(tmp_path, monkeypatch, capsys, photos, network):
    monkeypatch.chdir(tmp_path)
    (photos / "broken.png").unlink()
    out = tmp_path / "out"

    def another_run_writes_a(network):
        def run(batch):
            if out.is_dir() and not (out / "a.png").exists():  # not while the command sizes its batches
                (out / "a.png").write_bytes(b"the other run's")
            return network(batch)
        return run
    inject_model(monkeypatch, another_run_writes_a)

    assert cli.main(["photos", "out", "--model", network]) == 0
    assert "out/a.png was written by another run while this one worked on it; kept that one" in (
        capsys.readouterr().out)
    assert (out / "a.png").read_bytes() == b"the other run's"
    assert sorted(path.name for path in out.iterdir()) == ["a.png", "b.jpg"]  # no temporary or claim left

    assert cli.main(["photos", "out", "--model", network, "--overwrite"]) == 0
    with Image.open(out / "a.png") as result:
        assert result.size == (60, 40)


class Levels:
    """An x2 model whose output is the value `levels[c]` everywhere in channel c (of three or one)."""

    scale = 2

    def __init__(self, levels):
        self.levels = levels

    def __call__(self, batch):
        import cupy

        n, c, h, w = batch.shape
        values = cupy.asarray(np.array(self.levels[:c], dtype=np.float32))
        return cupy.broadcast_to(values[None, :, None, None], (n, c, 2 * h, 2 * w)).copy()


@pytest.mark.parametrize("suffix, pixels, expected", [
    (".png", np.zeros((3, 5, 3), np.uint8), [128, 255, 0]),                           # rounded, clamped above, below
    (".png", np.zeros((3, 5, 1), np.uint16), [32768]),
    (".tif", np.zeros((3, 5, 3), np.float32), np.array([0.5, 1.7, -0.3], np.float32)),  # floats kept as they are
], ids=["8-bit", "16-bit", "float"])
def test_results_are_rounded_to_the_nearest_level_and_clamped_but_floats_kept(tmp_path, suffix, pixels, expected):
    tifffile = pytest.importorskip("tifffile")
    source, target = tmp_path / f"in{suffix}", tmp_path / f"out{suffix}"
    if suffix == ".tif":
        tifffile.imwrite(source, pixels, photometric="rgb")
    else:
        write_png(source, pixels[:, :, 0] if pixels.shape[2] == 1 else pixels)
    upscale_file(source, target, Upscaler(Levels([0.5, 1.7, -0.3]), scale=2, tile_size=16, overlap=4))
    result = tifffile.imread(target) if suffix == ".tif" else read_png(target)[0]
    # Blending multiplies by W / (W + 1e-8): floats come back within float32 rounding.
    np.testing.assert_allclose(result.reshape(6, 10, -1), np.broadcast_to(expected, (6, 10, len(expected))),
                               rtol=1e-6, atol=0)


def tiny_clip(path):
    """Three frames of H.264, enough for the video road's checks."""
    av = pytest.importorskip("av")
    with av.open(str(path), "w") as container:
        stream = container.add_stream("libx264", rate=25)
        stream.width, stream.height, stream.pix_fmt = 32, 16, "yuv420p"
        for value in (0, 100, 200):
            frame = av.VideoFrame.from_ndarray(np.full((16, 32, 3), value, np.uint8), format="rgb24")
            container.mux(stream.encode(frame.reformat(format="yuv420p")))
        container.mux(stream.encode(None))


def link_input_to_its_output(tmp_path):
    """photos/evil.png is a link to out/evil.png, the very file its result would replace."""
    (tmp_path / "out").mkdir()
    Image.new("RGB", (8, 6), (10, 20, 30)).save(tmp_path / "out" / "evil.png")
    (tmp_path / "photos" / "evil.png").symlink_to("../out/evil.png")


@pytest.mark.parametrize("arguments, prepare, message", [
    (["photos", "/proc/lumivex-out"], None, "/proc/lumivex-out: cannot create the output folder"),
    (["photos", "out", "--overwrite"], link_input_to_its_output, "out/evil.png: the output would overwrite the input"),
    (["photos/a.png", "--overlap", "100000"], None, "--overlap 100000 leaves no window"),
    (["photos/a.png", "--batch-size", "0"], None, "--batch-size must be at least 1, got 0"),
    (["photos/a.png", "-s", "1e9"], None, "no format holds that; choose a smaller --scale"),
    (["clip.mp4", "--crf", "99"], lambda folder: tiny_clip(folder / "clip.mp4"),
     "--crf must be between 0 and 51 for libx264, got 99"),
    (["photos/a.png", "-n", "builtin", "--tile-size", "7"], None,
     "--tile-size must be larger than the overlap 10 (what the network needs; --overlap sets it), got 7"),
], ids=["folder not creatable", "input linked to its output", "overlap", "batch size", "scale", "crf",
        "tile size"])
def test_a_bad_flag_or_output_is_refused_by_the_installed_command_before_any_work(tmp_path, photos, network,
                                                                                   arguments, prepare, message):
    import subprocess
    import sys

    (photos / "broken.png").unlink()
    if prepare is not None:
        prepare(tmp_path)
    before = snapshot(tmp_path)
    # The command as installed, in a process of its own (as the console script runs it).
    completed = subprocess.run([sys.executable, "-m", "lumivex.upscale.cli", "-n", network, *arguments],
                               capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert completed.returncode == cli.EXIT_USAGE, completed.stderr
    assert completed.stderr.startswith("lumivex-upscale: error: ") and message in completed.stderr
    assert completed.stderr.count("\n") == 1
    assert snapshot(tmp_path) == before


def test_two_inputs_of_one_output_name_write_one_and_report_the_other(tmp_path, monkeypatch, capsys, photos,
                                                                       network):
    monkeypatch.chdir(tmp_path)
    (photos / "broken.png").unlink()
    Image.new("RGB", (8, 6), (90, 90, 90)).save(photos / "b.png")  # b.jpg becomes b.png too
    assert cli.main(["photos", "out", "--format", "png", "--model", network]) == cli.EXIT_PARTIAL
    assert capsys.readouterr().err == ("lumivex-upscale: failed photos/b.png: its output out/b.png is already "
                                       "b.jpg's; rename one\n")
    with Image.open(tmp_path / "out" / "b.png") as result:
        assert result.size == (60, 40)  # b.jpg's, never replaced by b.png's
    assert sorted(path.name for path in (tmp_path / "out").iterdir()) == ["a.png", "b.png"]
