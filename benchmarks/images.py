"""Synthetic test images shared by the benchmarks."""

import numpy as np


def photo_like(height, width, seed=7):
    """Smooth colour fields, soft discs of other colours and sensor-like noise:
    a photograph's spread of colours, reproducible from the seed."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    image = np.empty((height, width, 3), np.float32)
    for c in range(3):
        image[..., c] = 128 + 60 * np.sin(x / (width / (2 + c)) + c) * np.cos(y / (height / (3 - c * 0.5)))
    for _ in range(40):
        cy, cx, r = rng.integers(0, height), rng.integers(0, width), rng.integers(height // 40, height // 6)
        inside = (y - cy) ** 2 + (x - cx) ** 2 < r * r
        image[inside] = 0.6 * image[inside] + 0.4 * rng.integers(0, 256, 3)
    image += rng.normal(0, 6, image.shape)
    return np.clip(image, 0, 255).astype(np.uint8)
