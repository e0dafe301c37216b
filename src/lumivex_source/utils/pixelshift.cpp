// Sub-pixel phases: decomposition of an image into its dim² phases and fusion of the predictions made for them.
// Every array operation is a CuPy call; the bodies only sequence them, one statement at a time.
#include "shapery.hpp"

namespace lumivex::shapery {

namespace {

// The statements of the two bodies in source order, with the lines tracebacks report for them. A compound test
// or an expression statement reports its own line, whichever of its parts fails.

// image_to_batch_pixelshift (def at 199).
namespace phases_line {
enum : int {
    dim_test = 204,           // if dim < 1
    dim_error = 205,          //     raise ValueError(dim message)
    unpack_shape = 206,       // h, w, c = image.shape
    divisible_test = 207,     // if h % dim or w % dim
    divisible_error = 208,    //     raise ValueError(not divisible message)
    swap_test = 210,          // if swap_rb
    swap = 211,               //     image = bgr_to_rgb(image)
    read_dtype = 212,         // array_dtype = image.dtype
    mean_isinstance = 214,    // if isinstance(mean, (int, float))
    mean_number = 215,        //     mean = (float(mean),)
    mean_first_length = 216,  // elif len(mean) == 1
    mean_single = 217,        //     mean = (mean[0],)
    mean_second_length = 218, // elif len(mean) != 3
    mean_error = 219,         //     raise ValueError(mean message)
    subtract_mean = 220,      // image -= cp.array(mean, dtype=array_dtype)
    scale = 222,              // image *= scalefactor
    phase_size = 224,         // h_sub, w_sub = h // dim, w // dim
    make_out = 225,           // out = cp.empty((dim * dim, c, h_sub, w_sub), dtype=image.dtype)
    for_rows = 227,           // for j in range(dim)
    for_columns = 228,        //     for i in range(dim)
    take_block = 229,         //         block = image[j::dim, i::dim]
    store_plane = 230,        //         out[idx] = cp.ascontiguousarray(block).transpose(2, 0, 1)
    next_idx = 231,           //         idx += 1
};
}  // namespace phases_line

// pixelshift_fuse (def at 246).
namespace fuse_line {
enum : int {
    count = 253,       // B = preds.shape[0]
    for_preds = 254,   // for k in range(B)
    phase_index = 255, //     idx = start_idx + k
    divmod = 256,      //     j, i = divmod(idx, dim)
    enlarge = 257,     //     up = preds[k].repeat(dim, axis=1).repeat(dim, axis=2)
    roll = 258,        //     up = cp.roll(up, shift=(j, i), axis=(1, 2))
    accumulate = 259,  //     acc += up.astype(cp.float32)
    count_hit = 260,   //     hits += 1
};
}  // namespace fuse_line

constexpr MeanLines mean_lines{.isinstance = phases_line::mean_isinstance,
                               .number = phases_line::mean_number,
                               .first_length = phases_line::mean_first_length,
                               .single = phases_line::mean_single,
                               .second_length = phases_line::mean_second_length,
                               .error = phases_line::mean_error};

// "Image H×W not divisible by dim=D", with the texts of the three values.
void raise_not_divisible(PyObject* h, PyObject* w, PyObject* dim) noexcept {
    Ref h_text = Ref::steal(PyObject_Str(h));
    if (!h_text) return;
    Ref w_text = Ref::steal(PyObject_Str(w));
    if (!w_text) return;
    Ref dim_text = Ref::steal(PyObject_Str(dim));
    if (!dim_text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("%U%U%U%U%U%U", k.image_prefix.get(), h_text.get(),
                                                  k.times_sign.get(), w_text.get(), k.not_divisible.get(),
                                                  dim_text.get()));
    if (message) rt::raise_with(k.value_error.get(), message.get());
}

// `h % dim or w % dim` as an `if` evaluates it: 1, 0, or -1 with the error set.
int not_divisible(PyObject* h, PyObject* w, PyObject* dim) noexcept {
    for (PyObject* side : {h, w}) {
        Ref rest = rt::remainder(side, dim);
        if (!rest) return -1;
        const int truth = rt::truth(rest.get());
        if (truth != 0) return truth;
    }
    return 0;
}

// `for name in range(stop)`: the iterator over the range object held since import.
Ref range_iterator(PyObject* stop) noexcept {
    Ref range = rt::call(k.range.get(), stop);
    if (!range) return {};
    return Ref::steal(PyObject_GetIter(range.get()));
}

// The next value of a loop; empty at the end (no error) or on failure (error set).
Ref next(PyObject* iterator) noexcept { return Ref::steal(PyIter_Next(iterator)); }

}  // namespace

Ref image_to_batch_pixelshift(Frame& f, PyObject* const* args) noexcept {
    Ref image = Ref::borrow(args[0]);
    PyObject* dim = args[1];
    PyObject* scalefactor = args[2];
    PyObject* mean_arg = args[3];
    PyObject* swap_rb = args[4];

    const int too_small = rt::compare(dim, k.one.get(), Py_LT);
    if (too_small < 0) return f.fail(phases_line::dim_test);
    if (too_small) {
        rt::raise_with(k.value_error.get(), k.dim_message.get());
        return f.fail(phases_line::dim_error);
    }

    Ref shape = rt::getattr(image.get(), str.shape.get());
    if (!shape) return f.fail(phases_line::unpack_shape);
    Ref hwc[3];
    if (rt::unpack(shape.get(), hwc, 3) < 0) return f.fail(phases_line::unpack_shape);
    shape = Ref();
    PyObject* h = hwc[0].get();
    PyObject* w = hwc[1].get();
    PyObject* c = hwc[2].get();

    const int uneven = not_divisible(h, w, dim);
    if (uneven < 0) return f.fail(phases_line::divisible_test);
    if (uneven) {
        raise_not_divisible(h, w, dim);
        return f.fail(phases_line::divisible_error);
    }

    const int swap = rt::truth(swap_rb);
    if (swap < 0) return f.fail(phases_line::swap_test);
    if (swap) {
        Ref bgr_to_rgb = global(str.bgr_to_rgb);
        if (!bgr_to_rgb) return f.fail(phases_line::swap);
        image = rt::call(bgr_to_rgb.get(), image);
        if (!image) return f.fail(phases_line::swap);
    }
    Ref array_dtype = rt::getattr(image.get(), str.dtype.get());
    if (!array_dtype) return f.fail(phases_line::read_dtype);

    if (mean_arg != Py_None) {
        Ref mean = normalise_mean(f, mean_arg, mean_lines);
        if (!mean) return {};
        Ref array = cp_attr(str.array);
        if (!array) return f.fail(phases_line::subtract_mean);
        Ref mean_array = rt::call_kw(array.get(), k.kw_dtype.get(), mean, array_dtype);
        if (!mean_array) return f.fail(phases_line::subtract_mean);
        image = rt::inplace_subtract(image.get(), mean_array.get());
        if (!image) return f.fail(phases_line::subtract_mean);
    }
    if (scalefactor != Py_None) {
        image = rt::inplace_multiply(image.get(), scalefactor);
        if (!image) return f.fail(phases_line::scale);
    }

    Ref h_sub = rt::floor_divide(h, dim);
    if (!h_sub) return f.fail(phases_line::phase_size);
    Ref w_sub = rt::floor_divide(w, dim);
    if (!w_sub) return f.fail(phases_line::phase_size);

    Ref phases = rt::multiply(dim, dim);
    if (!phases) return f.fail(phases_line::make_out);
    Ref out_shape = rt::tuple(phases, c, h_sub, w_sub);
    if (!out_shape) return f.fail(phases_line::make_out);
    Ref empty = cp_attr(str.empty);
    if (!empty) return f.fail(phases_line::make_out);
    Ref out_dtype = rt::getattr(image.get(), str.dtype.get());
    if (!out_dtype) return f.fail(phases_line::make_out);
    Ref out = rt::call_kw(empty.get(), k.kw_dtype.get(), out_shape, out_dtype);
    if (!out) return f.fail(phases_line::make_out);

    Ref idx = Ref::borrow(k.zero.get());
    Ref rows = range_iterator(dim);
    if (!rows) return f.fail(phases_line::for_rows);
    while (Ref j = next(rows.get())) {
        // The row slice is the same for every column phase of this row phase.
        Ref row_slice = rt::slice(j.get(), nullptr, dim);
        if (!row_slice) return f.fail(phases_line::take_block);
        Ref columns = range_iterator(dim);
        if (!columns) return f.fail(phases_line::for_columns);
        while (Ref i = next(columns.get())) {
            Ref column_slice = rt::slice(i.get(), nullptr, dim);
            if (!column_slice) return f.fail(phases_line::take_block);
            Ref key = rt::tuple(row_slice, column_slice);
            if (!key) return f.fail(phases_line::take_block);
            Ref block = rt::item(image.get(), key.get());
            if (!block) return f.fail(phases_line::take_block);

            Ref compact = cp_attr(str.ascontiguousarray);
            if (!compact) return f.fail(phases_line::store_plane);
            Ref contiguous = rt::call(compact.get(), block);
            if (!contiguous) return f.fail(phases_line::store_plane);
            Ref plane = rt::call_method_tuple(contiguous.get(), str.transpose.get(), k.axes_201.get());
            if (!plane || rt::set_item(out.get(), idx.get(), plane.get()) < 0) return f.fail(phases_line::store_plane);

            idx = rt::inplace_add(idx.get(), k.one.get());
            if (!idx) return f.fail(phases_line::next_idx);
        }
        if (PyErr_Occurred()) return f.fail(phases_line::for_columns);
    }
    if (PyErr_Occurred()) return f.fail(phases_line::for_rows);
    return out;
}

Ref pixelshift_fuse(Frame& f, PyObject* const* args) noexcept {
    PyObject* preds = args[0];
    // `acc += ...` and `hits += 1` rebind the names to what the in-place operators return (for arrays, the
    // same object), so later predictions add into that.
    Ref acc = Ref::borrow(args[1]);
    Ref hits = Ref::borrow(args[2]);
    PyObject* start_idx = args[3];
    PyObject* dim = args[4];

    Ref shape = rt::getattr(preds, str.shape.get());
    if (!shape) return f.fail(fuse_line::count);
    // A zero-dimensional `preds` has an empty shape: indexing it raises IndexError here.
    Ref count = rt::item(shape.get(), k.zero.get());
    if (!count) return f.fail(fuse_line::count);
    shape = Ref();

    Ref predictions = range_iterator(count.get());
    if (!predictions) return f.fail(fuse_line::for_preds);
    while (Ref index = next(predictions.get())) {
        Ref idx = rt::add(start_idx, index.get());
        if (!idx) return f.fail(fuse_line::phase_index);

        Ref quotient_remainder = Ref::steal(PyNumber_Divmod(idx.get(), dim));
        if (!quotient_remainder) return f.fail(fuse_line::divmod);
        Ref ji[2];
        if (rt::unpack(quotient_remainder.get(), ji, 2) < 0) return f.fail(fuse_line::divmod);

        Ref prediction = rt::item(preds, index.get());
        if (!prediction) return f.fail(fuse_line::enlarge);
        Ref tall = rt::call_method_kw(prediction.get(), str.repeat.get(), k.kw_axis.get(), dim, k.one);
        if (!tall) return f.fail(fuse_line::enlarge);
        Ref up = rt::call_method_kw(tall.get(), str.repeat.get(), k.kw_axis.get(), dim, k.two);
        if (!up) return f.fail(fuse_line::enlarge);
        tall = Ref();

        Ref roll = cp_attr(str.roll);
        if (!roll) return f.fail(fuse_line::roll);
        Ref shift = rt::tuple(ji[0], ji[1]);
        if (!shift) return f.fail(fuse_line::roll);
        up = rt::call_kw(roll.get(), k.kw_shift_axis.get(), up, shift, k.axes_12);
        if (!up) return f.fail(fuse_line::roll);

        Ref float32 = cp_attr(str.float32);
        if (!float32) return f.fail(fuse_line::accumulate);
        Ref contribution = rt::call_method(up.get(), str.astype.get(), float32);
        if (!contribution) return f.fail(fuse_line::accumulate);
        acc = rt::inplace_add(acc.get(), contribution.get());
        if (!acc) return f.fail(fuse_line::accumulate);

        hits = rt::inplace_add(hits.get(), k.one.get());
        if (!hits) return f.fail(fuse_line::count_hit);
    }
    if (PyErr_Occurred()) return f.fail(fuse_line::for_preds);
    return Ref::borrow(Py_None);
}

}  // namespace lumivex::shapery
