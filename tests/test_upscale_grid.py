"""The grid of windows: every pixel in one core, every core inside its window with the context it needs, and
the network's work near the image's own size."""

import pytest

from lumivex.upscale.grid import Grid


@pytest.mark.parametrize("height, width, tile, overlap, multiple", [
    (272, 640, 256, 10, 1), (1080, 1920, 512, 32, 1), (7, 1, 64, 8, 1), (301, 95, 40, 9, 1),
    (203, 71, 40, 8, 4), (57, 130, 33, 6, 3)])
def test_cores_cover_the_image_once_inside_windows_with_their_context(height, width, tile, overlap, multiple):
    grid = Grid.of(height, width, tile, overlap, multiple)
    assert max(grid.window_shape) <= tile
    for axis in (grid.rows, grid.columns):
        assert axis.starts[0] == 0 and axis.ends[-1] == axis.side
        assert all(end == start for end, start in zip(axis.ends, axis.starts[1:]))
        assert all(start < end for start, end in zip(axis.starts, axis.ends))
        for start, end, window in zip(axis.starts, axis.ends, axis.windows):
            assert window % multiple == 0 and 0 <= window and window + axis.window <= axis.padded
            assert window <= max(start - grid.context, 0)
            assert window + axis.window >= min(end + grid.context, axis.padded)


@pytest.mark.parametrize("height, width, tile, overlap, most", [
    (272, 640, 256, 10, 1.15), (1080, 1920, 256, 10, 1.10), (2000, 3000, 256, 10, 1.15),
    (540, 960, 512, 32, 1.35), (1080, 1920, 512, 32, 1.35), (720, 1280, 1024, 32, 1.10),
    (1080, 1920, 1930, 10, 1.0), (272, 640, 650, 10, 1.0)])
def test_the_network_computes_little_more_than_the_image(height, width, tile, overlap, most):
    assert Grid.of(height, width, tile, overlap).computed_per_pixel <= most


@pytest.mark.parametrize("tile, overlap, multiple, message", [
    (10, 10, 1, "a tile size above the overlap 10, got 10"),
    (10, 6, 4, "a tile size above the overlap 6 and 3 pixels for windows on multiples of 4, got 10")])
def test_a_tile_that_leaves_no_core_is_refused(tile, overlap, multiple, message):
    with pytest.raises(ValueError, match=message):
        Grid.of(100, 100, tile, overlap, multiple)


def test_bands_hold_as_many_core_rows_as_fit_and_at_least_one():
    grid = Grid.of(1000, 50, 110, 10, 1)  # ten core rows of 100
    assert grid.bands(250) == [(0, 1), (2, 3), (4, 5), (6, 7), (8, 9)]
    assert grid.bands(10) == [(k, k) for k in range(10)]
