"""Image builders shared by the tests (import as `from helpers import ...`)."""

import numpy as np


def blocks_image(colors, block=8, rows=1):
    """A BGR uint8 image made of solid blocks, one per colour (given as BGR)."""
    colors = np.asarray(colors, dtype=np.uint8)
    strip = np.repeat(colors[None, :, :], block, axis=0)
    strip = np.repeat(strip, block, axis=1)
    return np.ascontiguousarray(np.tile(strip, (rows, 1, 1)))
