// merge_tiles: blends processed tiles back into one image. Each tile is weighted by the Gaussian window and
// accumulated in place into two float32 buffers of the scaled padded size; the weighted sum is then divided by
// the summed weights and cropped to the scaled original size.
#include "tile.hpp"

namespace lumivex::tile {

namespace {

// merge_tiles (def at 49): its statements in source order, with the lines tracebacks report for them. A
// compound statement reports its own line whichever of its parts fails.
namespace merge_line {
enum : int {
    scale_tile_size = 57,  // tile_size = tile_size * scale
    scale_overlap = 58,    // overlap = overlap * scale
    original_shape = 59,   // original_shape = (original_shape[0] * scale, original_shape[1] * scale, ...)
    padded_shape = 61,     // padded_shape = (padded_shape[0] * scale, padded_shape[1] * scale, ...)
    unpack_padded = 62,    // height, width, channels = padded_shape
    merged_zeros = 64,     // merged_image = cp.zeros(padded_shape, dtype=cp.float32)
    weight_zeros = 65,     // weights = cp.zeros(padded_shape, dtype=cp.float32)
    step = 67,             // step = tile_size - overlap
    window = 71,           // gaussian_weights = create_gaussian_weights(tile_size, sigma=tile_size // 4)
    for_rows = 73,         // for y in range(0, height - tile_size + 1, step)
    for_columns = 74,      //     for x in range(0, width - tile_size + 1, step)
    take_tile = 75,        //         tile = tiles[tile_index]
    to_float = 76,         //         tile = to_float32(tile)
    weigh = 78,            //         weighted_tile = tile * gaussian_weights
    add_tile = 80,         //         merged_image[y:y + tile_size, x:x + tile_size] += weighted_tile
    add_weights = 81,      //         weights[y:y + tile_size, x:x + tile_size] += gaussian_weights
    next_tile = 83,        //         tile_index = tile_index + 1
    blend = 87,            // merged_image = merged_image / weights (uncovered pixels lifted to weight 1)
    crop = 90,             // return merged_image[:original_shape[0], :original_shape[1]]
};
}  // namespace merge_line

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
    if (inverted < 0) return f.fail(merge_line::scale_tile_size);
    if (inverted) {
        PyErr_Format(k.value_error.get(), "tile_size (%S) must not be smaller than overlap (%S)", args[4], args[5]);
        return f.fail(merge_line::scale_tile_size);
    }

    Ref tile_size = rt::multiply(args[4], scale);
    if (!tile_size) return f.fail(merge_line::scale_tile_size);
    Ref overlap = rt::multiply(args[5], scale);
    if (!overlap) return f.fail(merge_line::scale_overlap);
    Ref original_shape = scale_shape(args[1], scale);
    if (!original_shape) return f.fail(merge_line::original_shape);
    Ref padded_shape = scale_shape(args[2], scale);
    if (!padded_shape) return f.fail(merge_line::padded_shape);
    Ref dims[3];  // height, width, channels
    if (rt::unpack(padded_shape.get(), dims, 3) < 0) return f.fail(merge_line::unpack_padded);

    Ref merged_image = float32_zeros(padded_shape.get());
    if (!merged_image) return f.fail(merge_line::merged_zeros);
    Ref weights = float32_zeros(padded_shape.get());
    if (!weights) return f.fail(merge_line::weight_zeros);

    Ref step = rt::subtract(tile_size.get(), overlap.get());
    if (!step) return f.fail(merge_line::step);
    Ref tile_index = Ref::borrow(k.zero.get());

    Ref window_maker = global(str.create_gaussian_weights);
    if (!window_maker) return f.fail(merge_line::window);
    Ref sigma = rt::floor_divide(tile_size.get(), k.four.get());
    if (!sigma) return f.fail(merge_line::window);
    Ref gaussian_weights = rt::call_kw(window_maker.get(), k.kw_sigma.get(), tile_size, sigma);
    if (!gaussian_weights) return f.fail(merge_line::window);

    Ref rows = grid_positions(dims[0].get(), tile_size.get(), step.get());
    if (!rows) return f.fail(merge_line::for_rows);
    while (Ref y = Ref::steal(PyIter_Next(rows.get()))) {
        Ref columns = grid_positions(dims[1].get(), tile_size.get(), step.get());
        if (!columns) return f.fail(merge_line::for_columns);
        // y, x and the scaled tile_size are exact ints, so one row slice per row and one key per tile serve
        // both region additions with the values Python would compute for each.
        Ref y_end = rt::add(y.get(), tile_size.get());
        Ref row_slice = y_end ? rt::slice(y.get(), y_end.get()) : Ref();
        if (!row_slice) return f.fail(merge_line::add_tile);
        while (Ref x = Ref::steal(PyIter_Next(columns.get()))) {
            Ref tile = rt::item(tiles, tile_index.get());
            if (!tile) return f.fail(merge_line::take_tile);
            Ref converter = global(str.to_float32);
            if (!converter) return f.fail(merge_line::to_float);
            tile = rt::call(converter.get(), tile);
            if (!tile) return f.fail(merge_line::to_float);
            Ref weighted_tile = rt::multiply(tile.get(), gaussian_weights.get());
            if (!weighted_tile) return f.fail(merge_line::weigh);

            Ref x_end = rt::add(x.get(), tile_size.get());
            Ref column_slice = x_end ? rt::slice(x.get(), x_end.get()) : Ref();
            Ref key = column_slice ? rt::tuple(row_slice, column_slice) : Ref();
            if (!key || add_into(merged_image.get(), key.get(), weighted_tile.get()) < 0)
                return f.fail(merge_line::add_tile);
            if (add_into(weights.get(), key.get(), gaussian_weights.get()) < 0) return f.fail(merge_line::add_weights);

            tile_index = rt::add(tile_index.get(), k.one.get());
            if (!tile_index) return f.fail(merge_line::next_tile);
        }
        if (PyErr_Occurred()) return f.fail(merge_line::for_columns);
    }
    if (PyErr_Occurred()) return f.fail(merge_line::for_rows);

    // Blend: weights += (weights == 0); merged_image /= weights. Dividing by the summed weights alone gives the
    // exact weighted average, where an added epsilon would darken every pixel by epsilon / weight (the
    // window sums to 1, so weights are tiny). Pixels no tile reaches have zero in both buffers; lifting their
    // weight to 1 makes them 0 / 1 instead of NaN. Both steps work in place, so the only full-size temporary
    // is the boolean mask.
    Ref uncovered = Ref::steal(PyObject_RichCompare(weights.get(), k.zero.get(), Py_EQ));
    if (!uncovered) return f.fail(merge_line::blend);
    weights = rt::inplace_add(weights.get(), uncovered.get());
    if (!weights) return f.fail(merge_line::blend);
    uncovered = Ref();
    merged_image = Ref::steal(PyNumber_InPlaceTrueDivide(merged_image.get(), weights.get()));
    if (!merged_image) return f.fail(merge_line::blend);
    weights = Ref();

    Ref height_slice = rt::slice(nullptr, PyTuple_GET_ITEM(original_shape.get(), 0));
    Ref width_slice = height_slice ? rt::slice(nullptr, PyTuple_GET_ITEM(original_shape.get(), 1)) : Ref();
    Ref crop = width_slice ? rt::tuple(height_slice, width_slice) : Ref();
    if (!crop) return f.fail(merge_line::crop);
    Ref result = rt::item(merged_image.get(), crop.get());
    if (!result) return f.fail(merge_line::crop);
    return result;
}

}  // namespace lumivex::tile
