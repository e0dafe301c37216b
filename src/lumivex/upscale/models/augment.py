"""Test-time augmentation: a model run on the eight flips and transposes of each batch, the results turned back
and averaged. It costs eight network calls per batch; what it buys is a result that no longer depends on the
orientation the network was trained for.

A window is transposed, so a network with a fixed window of unequal sides cannot take it: `augmented` refuses it.
"""

import cupy as cp

__all__ = ["Augmented", "augmented"]

RUNS = 8


def augmented(model):
    """`model` wrapped to average its eight orientations; ValueError for a network that cannot take a
    transposed window."""
    window = getattr(model, "window", None)
    if window is not None and window[0] != window[1]:
        name = getattr(model, "name", None) or getattr(model, "description", type(model).__name__)
        raise ValueError(f"--tta needs square windows; {name} takes {window[0]}x{window[1]} only")
    return Augmented(model)


class Augmented:
    """A model (see `pipeline`) averaging `model` over the eight flips and transposes of each batch; it states
    what the model states."""

    def __init__(self, model):
        self.model = model

    def __getattr__(self, name):  # scale, radius, window, multiple, max_batch, notice, ...
        if "model" not in self.__dict__:  # not made yet (a copy being unpickled)
            raise AttributeError(name)
        return getattr(self.model, name)

    @property
    def description(self):
        own = getattr(self.model, "description", type(self.model).__name__)
        return f"{own}, test-time augmentation ({RUNS} runs per window)"

    def __call__(self, batch):
        # Partial sums of equal numbers of runs, added pairwise: eight equal results average to themselves
        # exactly, and at most four results are held at once.
        partial = []  # (runs summed, their sum)
        for transpose in (False, True):
            for flips in ((), (2,), (3,), (2, 3)):
                result = _turned_back(self.model(_turned(batch, flips, transpose)), flips, transpose)
                runs = 1
                while partial and partial[-1][0] == runs:
                    result, runs = partial.pop()[1] + result, 2 * runs
                partial.append((runs, result))
        return partial[0][1] * cp.float32(1 / RUNS)


def _turned(batch, flips, transpose):
    if flips:
        batch = cp.flip(batch, axis=flips)
    if transpose:
        batch = batch.transpose(0, 1, 3, 2)
    return cp.ascontiguousarray(batch)


def _turned_back(result, flips, transpose):
    if transpose:
        result = result.transpose(0, 1, 3, 2)
    if flips:
        result = cp.flip(result, axis=flips)
    return cp.ascontiguousarray(result, dtype=cp.float32)
