"""The command line of `lumivex-upscale compare` (also `python -m lumivex.upscale.compare`).

Everything that can be checked is checked before any pixel is enlarged: the input reads as an image, every
network loads, the crop lies in the image and is not too large enlarged, the sheet's folder exists and neither
output is the input; a bad input ends the run with one line and exit status 2. A network that fails on the
crop (the models refuse NaN and infinite results too) is one line, and is left off the sheet and the page; exit status 1
then. The sheet and the page are each written whole or not at all.
"""

import argparse
import os
import pathlib
import sys

from lumivex.upscale import arrays, atomic, signals
from lumivex.upscale.messages import first_line, positive_number

from . import crop

PROGRAM = "lumivex-upscale compare"
EXIT_USAGE = 2
EXIT_PARTIAL = 1
# The automatic crop is this many output pixels a side: the sheet of a few entries stays on one screen.
CROP_OUTPUT_SIDE = 256
# The largest side of an enlarged crop: a sheet is for looking at, and holds every entry at once in memory.
MAX_OUTPUT_SIDE = 4096


def parse_args(argv):
    parser = argparse.ArgumentParser(
        prog=PROGRAM,
        description="Enlarge one crop of an image with each network, with a plain bicubic enlargement and by "
                    "nearest neighbour, and write a sheet of the results side by side (PNG) and a page with a "
                    "before/after slider between any two of them (HTML, beside the sheet).")
    parser.add_argument("input", type=pathlib.Path, help="the image")
    parser.add_argument("--model", action="append", dest="models", metavar="builtin|PATH.onnx",
                        help="a network to compare, 'builtin' or the path of an ONNX file; give it once per "
                             "network (default: builtin)")
    parser.add_argument("--crop", type=_box, metavar="X,Y,W,H",
                        help="the part of the image compared: its top left corner and size in input pixels, "
                             "cut down to the image (default: the most detailed part, about "
                             f"{CROP_OUTPUT_SIDE} output pixels a side)")
    parser.add_argument("--scale", type=positive_number, metavar="S",
                        help="enlargement factor of every entry (default: the largest of the networks' own; "
                             "a network's result is resized to it where it differs)")
    parser.add_argument("-o", "--output", type=pathlib.Path, metavar="SHEET",
                        help="the sheet, a .png file (default: <input name>_compare.png in the current folder); "
                             "the page is written beside it with .html in place of .png")
    return parser.parse_args(argv)


def _box(text):
    try:
        return crop.parse_box(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def main(argv=None):
    args = parse_args(argv)
    with signals.StopOnSignals() as stop:
        try:
            return _run(args)
        except signals.Interrupted as interruption:
            stop.hold()
            atomic.remove_live_temporaries()
            _report("interrupted")
            return interruption.exit_status


class UsageError(ValueError):
    """Input the command cannot work with; one line for the user."""


def _run(args):
    arrays.array_module()  # before anything binds cupy
    from lumivex.upscale import images, models

    from . import entries, page, sheet

    try:
        sheet_path, page_path = _outputs(args.input, args.output)
        with images.open_image(args.input) as reader:
            image_width, image_height = reader.width, reader.height
        networks, scale = _load(args.models or ["builtin"], args.scale, models)
        box = None if args.crop is None else crop.clamped(args.crop, image_width, image_height)
        if box is not None:
            _check_output_size(box, scale)
    except Exception as error:  # a file the network runtime cannot load raises its own types
        _report(f"error: {first_line(error)}")
        return EXIT_USAGE

    try:
        if box is None:
            side = max(1, round(CROP_OUTPUT_SIDE / scale))
            with images.open_image(args.input) as reader:
                box = crop.most_detailed(reader, side, side)
            print(f"crop: {box} (the most detailed part)")
        else:
            print(f"crop: {box}")
        pixels = entries.read_crop(args.input, box)
    except Exception as error:
        _report(f"failed {args.input}: {first_line(error).removeprefix(f'{args.input}: ')}")
        return EXIT_PARTIAL
    done = entries.plain_entries(pixels, scale)
    failed = 0
    for name, model in networks:
        try:
            done.append(entries.network_entry(name, model, pixels, scale))
        except Exception as error:  # one network's failure must not cost the others
            failed += 1
            _report(f"failed {name}: {first_line(error)}")
    for entry in done:
        print(f"{entry.name}: {sheet.label(entry)}")
    height, width = done[0].pixels.shape[:2]
    title = f"{args.input.name}: {box}, x{scale:g} to {width}x{height}"
    try:
        for path, write in ((sheet_path, lambda file: sheet.draw(done, title).save(file, format="PNG")),
                            (page_path, lambda file: file.write(page.render(done, title).encode("utf-8")))):
            with atomic.atomic_output(path) as file:
                write(file)
    except OSError as error:  # a full disk, a folder without write permission: the file is not there at all
        _report(f"failed {path}: {error.strerror or first_line(error)}")
        return EXIT_PARTIAL
    print(f"wrote {sheet_path} and {page_path}")
    return EXIT_PARTIAL if failed else 0


def _check_output_size(box, scale):
    from lumivex.upscale.rescale import output_size

    height, width = output_size(box.height, box.width, scale)
    if max(height, width) > MAX_OUTPUT_SIDE:
        raise UsageError(f"the crop {box} enlarged x{scale:g} is {width}x{height}; compare takes crops up to "
                         f"{MAX_OUTPUT_SIDE} pixels a side enlarged: give a smaller --crop")


def _outputs(source, sheet_path):
    """The sheet's and the page's paths, checked: a .png sheet in a folder that exists, neither the input."""
    if not source.exists():
        raise UsageError(f"{source}: no such file")
    if not source.is_file():
        raise UsageError(f"{source}: not a regular file")
    sheet_path = pathlib.Path(f"{source.stem}_compare.png") if sheet_path is None else sheet_path
    if sheet_path.suffix.lower() != ".png":
        raise UsageError(f"{sheet_path}: the sheet is a PNG file; give it a .png name")
    if not sheet_path.absolute().parent.is_dir():
        raise UsageError(f"{sheet_path}: the output folder {sheet_path.parent} does not exist")
    page_path = sheet_path.with_suffix(".html")
    for path in (sheet_path, page_path):
        if _same_file(source, path):
            raise UsageError(f"{path}: the output would overwrite the input")
        if path.is_dir():
            raise UsageError(f"{path}: a folder is in the way of the output")
    return sheet_path, page_path


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _load(names, scale, models):
    """([(label, model)], scale): the networks named, labelled by their file names (the name as given where two
    share one), and the factor of the comparison: `scale`, else the largest of the files' own, the builtin
    network's where there are none. The builtin network is the one for that factor."""
    for name in names:
        if name != "builtin" and not pathlib.Path(name).is_file():
            raise UsageError(f"{name}: no such model file")
    files = {name: models.load_model(name) for name in names if name != "builtin"}
    if scale is None:
        scale = max((model.scale for model in files.values()), default=models.builtin_scale())
    if "builtin" in names:
        files["builtin"] = models.load_model("builtin", scale)
    labels = [f"builtin x{files[name].scale}" if name == "builtin" else pathlib.Path(name).name for name in names]
    labels = [label if labels.count(label) == 1 else name for label, name in zip(labels, names)]
    return [(label, files[name]) for label, name in zip(labels, names)], scale


def _report(message):
    print(f"{PROGRAM}: {message}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
