"""The adapter between the upscaling road and a network's own contract: the road's NCHW float32 [0, 1] RGB
batches of any size go in, the network gets exactly what it takes (element type, layout, value range, colour
order, channel count, batch size, window size or side multiple), and its result comes back as the road's
(N, C, scale*h, scale*w) float32 batch.

Windows are filled to the sizes a network needs by edge replication at their bottom and right, so their
origin (and any sub-pixel grid inside the network) stays where the road put it; the filled part is cropped
from the result. The same fills a window smaller than a network's minimum side.
"""

import cupy as cp

from .errors import BadOutput, NetworkError

OPAQUE = 1.0  # the alpha a four-channel network sees beside colour that has none


class Adapter:
    """Callable road batch -> road result around `run(x, out_shape)`, which runs the network on an array in
    its own form and returns its output (of `out_shape`, in the network's layout and element type).

    Failures of `run` (MemoryError subclasses aside) and outputs of the wrong shape or with NaN or infinite
    values raise NetworkError naming `network` and the road's batch shape.
    """

    def __init__(self, contract, run, network):
        self.contract, self.run, self.network = contract, run, network

    def __call__(self, batch):
        if not isinstance(batch, cp.ndarray) or batch.ndim != 4:
            raise ValueError(f"{self.network} takes (N, C, h, w) CuPy batches")
        n, c, h, w = batch.shape
        window = self.contract.window
        if window is not None and (h > window[0] or w > window[1]):
            raise ValueError(f"{self.network} takes windows of at most {window[0]}x{window[1]} pixels, "
                             f"got {h}x{w}")
        batch = cp.ascontiguousarray(batch, dtype=cp.float32)
        if self.contract.plain and self.contract.channels in (None, c):
            return self._invoke(batch, batch.shape)  # the batch as it is: no copy
        return cp.ascontiguousarray(self._fit_channels(batch, batch.shape))

    def _fit_channels(self, x, shape):
        n, have, h, w = x.shape
        takes = self.contract.channels
        if takes is None or takes == have:
            return self._colour(x, shape)
        if takes == 1:  # plane by plane, as a batch of planes
            s = self.contract.scale
            return self._network(x.reshape(n * have, 1, h, w), shape).reshape(n, have, s * h, s * w)
        if have == 1:  # a grey plane through a colour network: three equal planes, their mean back
            return self._fit_channels(cp.broadcast_to(x, (n, 3, h, w)), shape).mean(axis=1, keepdims=True)
        if have == 3 and takes == 4:
            opaque = cp.full((n, 1, h, w), OPAQUE, dtype=cp.float32)
            return self._colour(cp.concatenate([x, opaque], axis=1), shape)[:, :3]
        if have == 4 and takes == 3:  # colour, then alpha as grey
            return cp.concatenate([self._colour(x[:, :3], shape), self._fit_channels(x[:, 3:], shape)], axis=1)
        raise ValueError(f"{self.network} takes {takes} channels; a batch of {have} cannot be fed to it")

    def _colour(self, x, shape):
        if not self.contract.bgr or x.shape[1] < 3:
            return self._network(x, shape)
        order = [2, 1, 0] + list(range(3, x.shape[1]))
        return self._network(x[:, order], shape)[:, order]

    def _network(self, x, shape):
        """Runs an NCHW float32 [0, 1] batch of the channels the network takes, in full network batches."""
        contract = self.contract
        n, _, h, w = x.shape
        height = contract.height or -(-max(h, contract.minimum) // contract.multiple) * contract.multiple
        width = contract.width or -(-max(w, contract.minimum) // contract.multiple) * contract.multiple
        if (height, width) != (h, w):
            x = cp.pad(x, ((0, 0), (0, 0), (0, height - h), (0, width - w)), mode="edge")
        if contract.value_range != 1:
            x = x * contract.value_range
        x = x.astype(contract.dtype, copy=False)
        if contract.layout == "NHWC":
            x = x.transpose(0, 2, 3, 1)
        x = cp.ascontiguousarray(x)
        size = contract.batch or n
        parts = []
        for start in range(0, n, size):
            part = x[start:start + size]
            if len(part) < size:  # a fixed batch takes only full batches: the last window fills it
                part = cp.concatenate([part, cp.repeat(part[-1:], size - len(part), axis=0)])
            parts.append(self._invoke(part, shape)[:n - start])
        y = parts[0] if len(parts) == 1 else cp.concatenate(parts)
        if contract.layout == "NHWC":
            y = y.transpose(0, 3, 1, 2)
        y = y.astype(cp.float32, copy=False)
        if contract.value_range != 1:
            y = y / contract.value_range
        s = contract.scale
        return y[:, :, :s * h, :s * w]

    def _invoke(self, x, shape):
        """The network's output for `x` in its own form, checked."""
        n, *rest = x.shape
        s = self.contract.scale
        if self.contract.layout == "NHWC":
            expected = (n, s * rest[0], s * rest[1], rest[2])
        else:
            expected = (n, rest[0], s * rest[1], s * rest[2])
        try:
            y = self.run(x, expected)
        except MemoryError:  # out of memory is the road's to handle, by smaller batches or windows
            raise
        except Exception as error:
            raise NetworkError.during(self.network, shape, error) from error
        if not isinstance(y, cp.ndarray) or y.shape != expected:
            got = y.shape if isinstance(y, cp.ndarray) else type(y).__name__
            raise NetworkError.during(self.network, shape, f"it gave {got} for an input of {x.shape}, not "
                                                           f"{expected}")
        if not bool(cp.isfinite(y).all()):
            raise BadOutput.during(self.network, shape, "it gave NaN or infinite values")
        return y
