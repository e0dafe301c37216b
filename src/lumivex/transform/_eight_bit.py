"""8-bit resizing in OpenCV's integer arithmetic, as array operations that run alike on CuPy and NumPy arrays.

On the host, resize hands 8-bit images to OpenCV's cv2.resize, which is several times faster there than any
sequence of array operations; on a GPU these functions compute the very same numbers, so that an image resized
on either device comes out bit for bit the same:

- bilinear: 11-bit weights, (1 - f) * 2048 and f * 2048 rounded from float32; an exact integer column pass; a
  row pass that keeps the top bits of the column sums (>> 4), multiplies them by the row weights keeping the
  top 16 bits of each product, adds both taps and rounds away the last 2 bits. Beyond the outermost input
  centres both taps read the edge pixel with the weights as computed: exact along columns, but the truncated
  products along rows are why the first and last rows of an enlarged image round down rather than to nearest;
- area averaging by whole factors on both axes: exact block sums rounded to nearest, ties to even, except that
  2 x 2 blocks of 1, 3 or 4 channels round ties up. A bilinear halving of both axes is such a 2 x 2 mean.
- area averaging by other factors: float32 taps summed in input order, as the general path sums them, but with
  OpenCV's weights: overlaps divided by the footprint's width, slivers of less than 1/1000 of a pixel left out.

All intermediate values of the integer paths fit in int32: a column sum is at most 255 * 2048, and after the
shift its product with a row weight is at most 32640 * 2048.
"""

import numpy as np

_WEIGHT_ONE = 2048  # 1.0 in the 11-bit fixed point of the weights


def linear_taps(n_in, n_out):
    """Bilinear taps along one axis: input indices (intp, clamped) and int32 weights, (n_out, 2) each."""
    position = ((np.arange(n_out) + 0.5) * (n_in / n_out) - 0.5).astype(np.float32)
    first = np.floor(position)
    fraction = position - first
    first = first.astype(np.intp)
    weight0 = np.rint((np.float32(1) - fraction) * np.float32(_WEIGHT_ONE)).astype(np.int32)
    weight1 = np.rint(fraction * np.float32(_WEIGHT_ONE)).astype(np.int32)
    index = np.clip(np.stack([first, first + 1], axis=1), 0, n_in - 1)
    return index, np.stack([weight0, weight1], axis=1)


def linear(xp, source, out, rows, cols, band):
    """Fill `out` (H', W' * C) with the bilinear resize of `source` (H, W * C), `band` output rows at a time, by
    the `linear_taps` of the rows and of the flattened (W * C) columns."""
    height, row_length = out.shape
    top, bottom = rows.index[:, 0], rows.index[:, 1]
    top_weight, bottom_weight = (xp.asarray(rows.weight[:, t:t + 1]) for t in range(2))
    left, right, left_weight, right_weight = (xp.asarray(np.ascontiguousarray(taps[:, t]))
                                              for taps in (cols.index, cols.weight) for t in range(2))
    # The column pass of a band reads at most this many input rows.
    span = int((bottom[band - 1:] - top[:height - band + 1]).max()) + 1
    columns, column_term = (xp.empty((span, row_length), dtype=np.int32) for _ in range(2))
    row_sums, row_term = (xp.empty((band, row_length), dtype=np.int32) for _ in range(2))
    for first in range(0, height, band):
        last = min(height, first + band)
        lo, hi = int(top[first]), int(bottom[last - 1]) + 1
        block, sums, term = source[lo:hi], columns[:hi - lo], column_term[:hi - lo]
        xp.multiply(xp.take(block, left, axis=1), left_weight, out=sums)
        xp.multiply(xp.take(block, right, axis=1), right_weight, out=term)
        sums += term
        xp.right_shift(sums, 4, out=sums)
        result, term = row_sums[:last - first], row_term[:last - first]
        for taps, weight, product in ((top, top_weight, result), (bottom, bottom_weight, term)):
            xp.take(sums, xp.asarray(taps[first:last] - lo), axis=0, out=product)
            product *= weight[first:last]
            xp.right_shift(product, 16, out=product)
        result += term
        result += 2
        xp.right_shift(result, 2, out=result)
        out[first:last] = result  # 0..255 by construction: the weights of each pass sum to 2048


def area_blocks(xp, source, out, channels, factors, band):
    """Fill `out` (H', W' * C) with the means of the `factors` = (rows, columns) blocks of `source` (H, W * C)."""
    height = out.shape[0]
    row_factor, column_factor = factors
    blocks = source.reshape(height, row_factor, out.shape[1] // channels, column_factor, channels)
    area = row_factor * column_factor
    ties_up = factors == (2, 2) and channels in (1, 3, 4)
    for first in range(0, height, band):
        last = min(height, first + band)
        sums = blocks[first:last].sum(axis=(1, 3), dtype=np.int32)
        if ties_up:
            sums += 2
            xp.right_shift(sums, 2, out=sums)
            means = sums
        else:
            means = sums // area
            twice_rest = (sums - means * area) * 2
            means += (twice_rest > area) | ((twice_rest == area) & (means % 2 == 1))
        out[first:last] = means.reshape(last - first, -1)


def area_taps(n_in, n_out):
    """Area-averaging taps along a shrinking axis: input indices (intp) and float32 weights, (n_out, k) each."""
    scale = n_in / n_out
    start = np.arange(n_out) * scale
    end = start + scale
    first = np.ceil(start).astype(np.intp)  # the first input pixel the footprint covers whole
    last = np.floor(end).astype(np.intp)  # the input pixel it ends in (n_in, with nothing of it, at the end)
    candidates = (first - 1)[:, None] + np.arange(int(np.ceil(scale)) + 1)  # all a footprint can touch
    head, tail = (first - start)[:, None], (end - last)[:, None]  # the parts of pixels first - 1 and last covered
    weight = np.where((candidates >= first[:, None]) & (candidates < last[:, None]), 1.0, 0.0)
    weight = np.where((candidates == first[:, None] - 1) & (head > 1e-3), head, weight)
    weight = np.where((candidates == last[:, None]) & (tail > 1e-3), tail, weight)
    weight = (weight / scale).astype(np.float32)
    used = weight.any(axis=0)
    return np.clip(candidates, 0, n_in - 1)[:, used], weight[:, used]


def whole_factors(in_hw, out_hw):
    """(rows, columns) when each output size divides its input size, else None."""
    if all(n_in % n_out == 0 for n_in, n_out in zip(in_hw, out_hw)):
        return tuple(n_in // n_out for n_in, n_out in zip(in_hw, out_hw))
    return None

