"""Frames that repeat the one before (animation, screen recordings, telecined film) reuse its upscaled result
instead of running the network again. A frame counts as a repeat when no sample differs from the last frame
that went through the network by more than `threshold` levels of the video's own bit depth (0, the default:
identical after decoding, so the output is the same as without it). Comparing with the last frame upscaled,
not merely the one before, keeps a slow fade from drifting through a chain of near repeats.
"""

import numpy as np


class RepeatSkipper:
    """`upscale_frame` (decoded pixels -> upscaled pixels) that reuses the last result for repeated frames;
    `reused` counts them. Called from one thread, frame after frame in display order."""

    def __init__(self, upscale_frame, threshold=0, bits=8):
        self._upscale_frame = upscale_frame
        # Frames of more than 8 bits decode to 16-bit samples: the threshold is scaled to them.
        self._limit = threshold if bits <= 8 else threshold * 65535 / ((1 << bits) - 1)
        self._last = self._result = None
        self.reused = 0

    def __call__(self, pixels):
        if self._last is not None and self._repeats(pixels):
            self.reused += 1
            return self._result
        self._last, self._result = pixels, self._upscale_frame(pixels)
        return self._result

    def _repeats(self, pixels):
        if pixels.shape != self._last.shape:
            return False
        if self._limit == 0:
            return np.array_equal(pixels, self._last)
        return int(np.abs(pixels.astype(np.int32) - self._last).max()) <= self._limit
