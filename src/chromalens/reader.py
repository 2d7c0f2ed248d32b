"""Images as users hold them, made ready for :class:`ColorExtractor`.

Placeholder: reads paths and BGR arrays only; the full reader (PIL images,
bytes, transparency, downscaling, decompression-bomb limit) replaces it.
"""

import os
from typing import Optional, Tuple

import cv2
import numpy as np

__all__ = ["read_image"]


def read_image(source, *, use_alpha: bool = True, max_side: Optional[int] = None,
               max_pixels: Optional[int] = 178_956_970,
               order: str = "bgr") -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """Return ``(image, mask)``: a BGR uint8 H x W x 3 image and a 0/255 mask or None."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        image = cv2.imread(path)
        if image is None:
            raise ValueError(f"Could not load image from {path}")
        return image, None
    return np.ascontiguousarray(source), None
