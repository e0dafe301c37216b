"""Half precision that never passes a broken result: a batch whose reduced-precision output holds NaN or
infinities, or is all zero for an input that is not, runs again at fp32. Half precision overflows (65504 is its
largest value) where a network's intermediate values grow, and the result is then black or NaN tiles that look
like success. Where fp32 gives such an output too, the network itself is at fault and the call fails.
"""

import cupy as cp

from .errors import BadOutput, NetworkError

PRECISIONS = ("auto", "fp32", "fp16", "bf16")


class FallBack:
    """Callable road batch -> result: `reduced(batch)`, or `exact(batch)` (made by `open_exact()` the first time
    it is needed) where that is broken; `fell_back` counts the batches that ran again."""

    def __init__(self, reduced, open_exact, network):
        self.reduced, self._open_exact, self.network = reduced, open_exact, network
        self._exact = None
        self.fell_back = 0

    def __call__(self, batch):
        try:
            result = self.reduced(batch)
            if not blank(result, batch):
                return result
        except BadOutput:
            pass
        self.fell_back += 1
        if self._exact is None:
            self._exact = self._open_exact()
        result = self._exact(batch)  # BadOutput where fp32 gives NaN or infinities too
        if blank(result, batch):
            raise NetworkError.during(self.network, batch.shape, "it gave all zeros at fp32 for an input that is "
                                                                 "not")
        return result


def blank(result, batch):
    """Whether any window's result is all zero where its input is not."""
    axes = tuple(range(1, batch.ndim))
    return bool(((result == 0).all(axis=axes) & (batch != 0).any(axis=axes)).any())
