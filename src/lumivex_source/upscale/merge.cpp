// merge_tiles: blends processed tiles back into one image. Each tile is weighted by the Gaussian window and
// accumulated in place into two float32 buffers of the scaled padded size; the weighted sum is then divided by
// the summed weights and cropped to the scaled original size.
#include "tile.hpp"

namespace lumivex::tile {

namespace {

// (shape[0] * scale, shape[1] * scale, shape[2]); a tuple shorter than three raises IndexError.
Ref scale_shape(PyObject* shape, PyObject* scale) noexcept {
    Ref scaled[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        Ref side = rt::item_at(shape, i);
        if (!side) return {};
        scaled[i] = rt::multiply(side.get(), scale);
        if (!scaled[i]) return {};
    }
    Ref channels = rt::item_at(shape, 2);
    if (!channels) return {};
    return rt::tuple(scaled[0], scaled[1], channels);
}

// cp.zeros(shape, dtype=cp.float32), with `cp` looked up for each of its two uses.
Ref float32_zeros(PyObject* shape) noexcept {
    Ref zeros = cp_attr(str.zeros);
    if (!zeros) return {};
    Ref float32 = cp_attr(str.float32);
    if (!float32) return {};
    return rt::call_kw(zeros.get(), k.kw_dtype.get(), shape, float32);
}

// range(0, side - tile_size + 1, step), opened for iteration.
Ref grid_positions(PyObject* side, PyObject* tile_size, PyObject* step) noexcept {
    Ref stop = rt::subtract(side, tile_size);
    if (stop) stop = rt::add(stop.get(), k.one.get());
    if (!stop) return {};
    Ref positions = rt::call(k.range.get(), k.zero, stop, step);
    if (!positions) return {};
    return Ref::steal(PyObject_GetIter(positions.get()));
}

// target[key] += addend, in the three moves of an augmented subscript assignment.
int add_into(PyObject* target, PyObject* key, PyObject* addend) noexcept {
    Ref region = rt::item(target, key);
    if (!region) return -1;
    region = rt::inplace_add(region.get(), addend);
    if (!region) return -1;
    return rt::set_item(target, key, region.get());
}

}  // namespace

Ref merge_tiles(Frame& f, PyObject* const* args) noexcept {
    PyObject* tiles = args[0];
    PyObject* scale = args[3];

    // With the overlap larger than the tile the grid ranges are empty and the result would be silently blank.
    const int inverted = rt::compare(args[4], args[5], Py_LT);
    if (inverted < 0) return f.fail(57);
    if (inverted) {
        PyErr_Format(k.value_error.get(), "tile_size (%S) must not be smaller than overlap (%S)", args[4], args[5]);
        return f.fail(57);
    }

    Ref tile_size = rt::multiply(args[4], scale);
    if (!tile_size) return f.fail(57);
    Ref overlap = rt::multiply(args[5], scale);
    if (!overlap) return f.fail(58);
    Ref original_shape = scale_shape(args[1], scale);
    if (!original_shape) return f.fail(59);
    Ref padded_shape = scale_shape(args[2], scale);
    if (!padded_shape) return f.fail(61);
    Ref dims[3];  // height, width, channels
    if (rt::unpack(padded_shape.get(), dims, 3) < 0) return f.fail(62);

    Ref merged_image = float32_zeros(padded_shape.get());
    if (!merged_image) return f.fail(64);
    Ref weights = float32_zeros(padded_shape.get());
    if (!weights) return f.fail(65);

    Ref step = rt::subtract(tile_size.get(), overlap.get());
    if (!step) return f.fail(67);
    Ref tile_index = Ref::borrow(k.zero.get());

    Ref window_maker = global(str.create_gaussian_weights);
    if (!window_maker) return f.fail(71);
    Ref sigma = rt::floor_divide(tile_size.get(), k.four.get());
    if (!sigma) return f.fail(71);
    Ref gaussian_weights = rt::call_kw(window_maker.get(), k.kw_sigma.get(), tile_size, sigma);
    if (!gaussian_weights) return f.fail(71);

    Ref rows = grid_positions(dims[0].get(), tile_size.get(), step.get());
    if (!rows) return f.fail(73);
    while (Ref y = Ref::steal(PyIter_Next(rows.get()))) {
        Ref columns = grid_positions(dims[1].get(), tile_size.get(), step.get());
        if (!columns) return f.fail(74);
        // y, x and the scaled tile_size are exact ints, so one row slice per row and one key per tile serve
        // both region additions with the values Python would compute for each.
        Ref y_end = rt::add(y.get(), tile_size.get());
        Ref row_slice = y_end ? rt::slice(y.get(), y_end.get()) : Ref();
        if (!row_slice) return f.fail(80);
        while (Ref x = Ref::steal(PyIter_Next(columns.get()))) {
            Ref tile = rt::item(tiles, tile_index.get());
            if (!tile) return f.fail(75);
            Ref converter = global(str.to_float32);
            if (!converter) return f.fail(76);
            tile = rt::call(converter.get(), tile);
            if (!tile) return f.fail(76);
            Ref weighted_tile = rt::multiply(tile.get(), gaussian_weights.get());
            if (!weighted_tile) return f.fail(78);

            Ref x_end = rt::add(x.get(), tile_size.get());
            Ref column_slice = x_end ? rt::slice(x.get(), x_end.get()) : Ref();
            Ref key = column_slice ? rt::tuple(row_slice, column_slice) : Ref();
            if (!key || add_into(merged_image.get(), key.get(), weighted_tile.get()) < 0) return f.fail(80);
            if (add_into(weights.get(), key.get(), gaussian_weights.get()) < 0) return f.fail(81);

            tile_index = rt::add(tile_index.get(), k.one.get());
            if (!tile_index) return f.fail(83);
        }
        if (PyErr_Occurred()) return f.fail(74);
    }
    if (PyErr_Occurred()) return f.fail(73);

    // Blend: weights += (weights == 0); merged_image /= weights. Dividing by the summed weights alone gives the
    // exact weighted average, where an added epsilon would darken every pixel by epsilon / weight (the
    // window sums to 1, so weights are tiny). Pixels no tile reaches have zero in both buffers; lifting their
    // weight to 1 makes them 0 / 1 instead of NaN. Both steps work in place, so the only full-size temporary
    // is the boolean mask.
    Ref uncovered = Ref::steal(PyObject_RichCompare(weights.get(), k.zero.get(), Py_EQ));
    if (!uncovered) return f.fail(87);
    weights = rt::inplace_add(weights.get(), uncovered.get());
    if (!weights) return f.fail(87);
    uncovered = Ref();
    merged_image = Ref::steal(PyNumber_InPlaceTrueDivide(merged_image.get(), weights.get()));
    if (!merged_image) return f.fail(87);
    weights = Ref();

    Ref height_slice = rt::slice(nullptr, PyTuple_GET_ITEM(original_shape.get(), 0));
    Ref width_slice = height_slice ? rt::slice(nullptr, PyTuple_GET_ITEM(original_shape.get(), 1)) : Ref();
    Ref crop = width_slice ? rt::tuple(height_slice, width_slice) : Ref();
    if (!crop) return f.fail(90);
    Ref result = rt::item(merged_image.get(), crop.get());
    if (!result) return f.fail(90);
    return result;
}

}  // namespace lumivex::tile
