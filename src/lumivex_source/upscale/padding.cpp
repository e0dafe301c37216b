// Reflective padding and tiling: pad an image to fit the tile grid, then cut it into overlapping tile views.
// All arithmetic on sizes is Python integer arithmetic, so `%` floors and huge sizes cannot overflow.
#include "tile.hpp"

namespace lumivex::tile {

namespace {

// The statements of the two bodies in source order, with the lines tracebacks report for them. A compound
// statement reports its own line whichever of its parts fails.

// tile_image (def at 6).
namespace tiling_line {
enum : int {
    pad = 24,          // input_image = add_padding(input_image, patch_size=tile_size, overlap=overlap)
    unpack_shape = 25, // height, width, channels = input_image.shape
    new_tiles = 26,    // tiles = []
    step = 28,         // step = tile_size - overlap
    for_rows = 29,     // for y in range(0, height - tile_size + 1, step)
    for_columns = 30,  //     for x in range(0, width - tile_size + 1, step)
    cut = 31,          //         tile = input_image[y:y + tile_size, x:x + tile_size]
    append = 32,       //         tiles.append(tile)
    result = 34,       // return tiles, input_image.shape
};
}  // namespace tiling_line

// add_padding (def at 37).
namespace padding_line {
enum : int {
    pad_height = 38,    // pad_height = step - (input_image.shape[0] - overlap) % step, step = patch_size - overlap
    pad_width = 39,     // pad_width = step - (input_image.shape[1] - overlap) % step
    height_whole = 40,  // if pad_height == patch_size - overlap: pad_height = 0
    width_whole = 42,   // if pad_width == patch_size - overlap: pad_width = 0
    pad = 45,           // padded_blob = cp.pad(input_image, ((0, pad_height), (0, pad_width), (0, 0)), mode="reflect")
};
}  // namespace padding_line

// `step - (input_image.shape[index] - overlap) % step`, reading `shape` afresh and recomputing the step for
// each use, in the order Python evaluates the expression.
Ref pad_amount(PyObject* image, Py_ssize_t index, PyObject* patch_size, PyObject* overlap) noexcept {
    Ref step = rt::subtract(patch_size, overlap);
    if (!step) return {};
    Ref shape = rt::getattr(image, str.shape.get());
    if (!shape) return {};
    Ref side = rt::item_at(shape.get(), index);
    if (!side) return {};
    Ref inner = rt::subtract(side.get(), overlap);
    if (!inner) return {};
    Ref divisor = rt::subtract(patch_size, overlap);
    if (!divisor) return {};
    Ref rest = rt::remainder(inner.get(), divisor.get());
    if (!rest) return {};
    return rt::subtract(step.get(), rest.get());
}

// `if amount == step: amount = 0`; -1 with the error set.
int drop_whole_step(Ref& amount, PyObject* patch_size, PyObject* overlap) noexcept {
    Ref step = rt::subtract(patch_size, overlap);
    if (!step) return -1;
    const int whole = rt::equals(amount.get(), step.get());
    if (whole < 0) return -1;
    if (whole) amount = Ref::borrow(k.zero.get());
    return 0;
}

}  // namespace

Ref add_padding(Frame& f, PyObject* const* args) noexcept {
    PyObject* input_image = args[0];
    PyObject* patch_size = args[1];
    PyObject* overlap = args[2];

    // A negative step would make the remainders negative: cp.pad would fail on a negative amount or, worse,
    // tile_image would cut nothing and report success.
    const int inverted = rt::compare(patch_size, overlap, Py_LT);
    if (inverted < 0) return f.fail(padding_line::pad_height);
    if (inverted) {
        PyErr_Format(k.value_error.get(), "patch_size (%S) must not be smaller than overlap (%S)", patch_size,
                     overlap);
        return f.fail(padding_line::pad_height);
    }

    Ref pad_height = pad_amount(input_image, 0, patch_size, overlap);
    if (!pad_height) return f.fail(padding_line::pad_height);
    Ref pad_width = pad_amount(input_image, 1, patch_size, overlap);
    if (!pad_width) return f.fail(padding_line::pad_width);
    if (drop_whole_step(pad_height, patch_size, overlap) < 0) return f.fail(padding_line::height_whole);
    if (drop_whole_step(pad_width, patch_size, overlap) < 0) return f.fail(padding_line::width_whole);

    Ref pad = cp_attr(str.pad);
    if (!pad) return f.fail(padding_line::pad);
    Ref rows = rt::tuple(k.zero, pad_height);
    if (!rows) return f.fail(padding_line::pad);
    Ref columns = rt::tuple(k.zero, pad_width);
    if (!columns) return f.fail(padding_line::pad);
    Ref pad_width_spec = rt::tuple(rows, columns, k.no_padding);
    if (!pad_width_spec) return f.fail(padding_line::pad);
    Ref padded_blob = rt::call_kw(pad.get(), k.kw_mode.get(), input_image, pad_width_spec, str.reflect);
    if (!padded_blob) return f.fail(padding_line::pad);
    return padded_blob;
}

Ref tile_image(Frame& f, PyObject* const* args) noexcept {
    PyObject* tile_size = args[1];
    PyObject* overlap = args[2];

    Ref padder = global(str.add_padding);
    if (!padder) return f.fail(tiling_line::pad);
    Ref input_image = rt::call_kw(padder.get(), k.kw_patch_size_overlap.get(), args[0], tile_size, overlap);
    if (!input_image) return f.fail(tiling_line::pad);

    Ref shape = rt::getattr(input_image.get(), str.shape.get());
    if (!shape) return f.fail(tiling_line::unpack_shape);
    Ref dims[3];  // height, width, channels
    if (rt::unpack(shape.get(), dims, 3) < 0) return f.fail(tiling_line::unpack_shape);

    Ref tiles = Ref::steal(PyList_New(0));
    if (!tiles) return f.fail(tiling_line::new_tiles);
    Ref step = rt::subtract(tile_size, overlap);
    if (!step) return f.fail(tiling_line::step);

    // range(0, height - tile_size + 1, step), and the same for the width, built anew for every row.
    Ref row_stop = rt::subtract(dims[0].get(), tile_size);
    if (row_stop) row_stop = rt::add(row_stop.get(), k.one.get());
    Ref row_range = row_stop ? rt::call(k.range.get(), k.zero, row_stop, step) : Ref();
    Ref rows = row_range ? Ref::steal(PyObject_GetIter(row_range.get())) : Ref();
    if (!rows) return f.fail(tiling_line::for_rows);
    while (Ref y = Ref::steal(PyIter_Next(rows.get()))) {
        Ref column_stop = rt::subtract(dims[1].get(), tile_size);
        if (column_stop) column_stop = rt::add(column_stop.get(), k.one.get());
        Ref column_range = column_stop ? rt::call(k.range.get(), k.zero, column_stop, step) : Ref();
        Ref columns = column_range ? Ref::steal(PyObject_GetIter(column_range.get())) : Ref();
        if (!columns) return f.fail(tiling_line::for_columns);
        // y, x and tile_size are exact ints (the range yields ints, binding tested tile_size), so the row
        // slice can be made once per row: the same values Python would compute for every tile.
        Ref y_end = rt::add(y.get(), tile_size);
        Ref row_slice = y_end ? rt::slice(y.get(), y_end.get()) : Ref();
        if (!row_slice) return f.fail(tiling_line::cut);
        while (Ref x = Ref::steal(PyIter_Next(columns.get()))) {
            Ref x_end = rt::add(x.get(), tile_size);
            Ref column_slice = x_end ? rt::slice(x.get(), x_end.get()) : Ref();
            Ref key = column_slice ? rt::tuple(row_slice, column_slice) : Ref();
            Ref tile = key ? rt::item(input_image.get(), key.get()) : Ref();
            if (!tile) return f.fail(tiling_line::cut);
            if (PyList_Append(tiles.get(), tile.get()) < 0) return f.fail(tiling_line::append);
        }
        if (PyErr_Occurred()) return f.fail(tiling_line::for_columns);
    }
    if (PyErr_Occurred()) return f.fail(tiling_line::for_rows);

    Ref padded_shape = rt::getattr(input_image.get(), str.shape.get());
    if (!padded_shape) return f.fail(tiling_line::result);
    Ref result = rt::tuple(tiles, padded_shape);
    if (!result) return f.fail(tiling_line::result);
    return result;
}

}  // namespace lumivex::tile
