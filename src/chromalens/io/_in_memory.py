"""Images already in memory: NumPy arrays and PIL images, copied into BGR."""

from typing import Optional, Tuple

import numpy as np
from PIL import Image, ImageOps

Array = np.ndarray
_PIL_ALPHA_MODES = frozenset({"RGBA", "LA", "PA", "RGBa", "La"})


def alpha_mask(alpha: Array) -> Array:
    """255 where the alpha value is above 128, 0 elsewhere (a new C-ordered array)."""
    # A turned alpha channel is a transposed view: np.where would keep its order.
    return np.ascontiguousarray(np.where(alpha > 128, np.uint8(255), np.uint8(0)))


def _bgr_copy(height: int, width: int) -> Array:
    return np.empty((height, width, 3), np.uint8)


def _dtype_hint(dtype: np.dtype) -> str:
    if dtype == np.bool_:
        return "for a black-and-white image use .astype(np.uint8) * 255"
    if dtype == np.uint16:
        return "reduce it to 8 bits as OpenCV does for 16-bit files: (image >> 8).astype(np.uint8)"
    if dtype.kind == "f":
        return "scale to 0..255 and use .astype(np.uint8)"
    if dtype.kind in "iu":
        return "if its values are 0..255, use .astype(np.uint8)"
    return "pass an array of uint8 values 0..255"


def from_array(array: Array, use_alpha: bool, order: str) -> Tuple[Array, Optional[Array]]:
    """(BGR copy, mask or None) of an H x W, H x W x 1, x 3 or x 4 uint8 array."""
    if array.dtype != np.uint8:
        raise TypeError(f"expected an 8-bit image, got {array.dtype} ({_dtype_hint(array.dtype)})")
    shape = array.shape
    if not (array.ndim == 2 or (array.ndim == 3 and shape[2] in (1, 3, 4))):
        raise ValueError(f"expected an image array of shape H x W, H x W x 1, H x W x 3 or H x W x 4, "
                         f"got shape {shape}")
    if shape[0] == 0 or shape[1] == 0:
        raise ValueError(f"expected a non-empty image, got an array of shape {shape}")
    image = _bgr_copy(shape[0], shape[1])
    if array.ndim == 2 or shape[2] == 1:
        image[...] = array.reshape(shape[0], shape[1], 1)
        return image, None
    # Assigning into a fresh array copies whatever the caller's strides are.
    image[...] = array[:, :, 2::-1] if order == "rgb" else array[:, :, :3]
    mask = alpha_mask(array[:, :, 3]) if use_alpha and shape[2] == 4 else None
    return image, mask


_ORIENTATION_TAG = 0x0112


def _upright(picture: Image.Image) -> Image.Image:
    """`picture` turned as its EXIF orientation says, as OpenCV turns the same file read by path."""
    if picture.getexif().get(_ORIENTATION_TAG, 1) in (None, 1):
        return picture
    turned = ImageOps.exif_transpose(picture)
    return picture if turned is None else turned


def from_pil(picture: Image.Image, use_alpha: bool) -> Tuple[Array, Optional[Array]]:
    """(BGR copy, mask or None) of a PIL image of any mode, turned upright by its EXIF orientation."""
    mode = picture.mode
    if mode in ("I", "F"):
        kind = "32-bit integer" if mode == "I" else "32-bit floating-point"
        raise TypeError(f"expected an 8-bit image, got a PIL image of mode {mode!r} ({kind} pixels); "
                        "scale it to 0..255 and convert it, e.g. image.convert('L')")
    try:
        picture = _upright(picture)
        if mode.startswith("I;16"):
            # 16-bit grey, reduced as OpenCV reduces a 16-bit PNG of it.
            grey = (np.asarray(picture).astype(np.uint16) >> 8).astype(np.uint8)
            return from_array(grey, False, "bgr")
        if mode == "La":
            # Pillow converts premultiplied grey only by way of premultiplied RGB.
            luminance, alpha = picture.split()
            picture = Image.merge("RGBa", (luminance, luminance, luminance, alpha))
        if _has_alpha(picture):
            # Colour comes from the RGBA conversion with or without use_alpha,
            # so ignoring transparency never changes the colours.
            pixels = np.asarray(picture.convert("RGBA"))
        else:
            pixels = np.asarray(picture.convert("RGB"))
    except (OSError, ValueError, SyntaxError, EOFError, IndexError) as error:
        # Lazily opened files fail here (truncated, corrupt); so do modes
        # Pillow cannot convert.
        raise ValueError(f"could not read the pixels of the PIL image (mode {mode!r}, size "
                         f"{picture.size[0]} x {picture.size[1]}): {error}") from error
    if pixels.shape[0] == 0 or pixels.shape[1] == 0:
        raise ValueError(f"expected a non-empty image, got a PIL image of size "
                         f"{picture.size[0]} x {picture.size[1]}")
    return from_array(pixels, use_alpha, "rgb")


def _has_alpha(picture: Image.Image) -> bool:
    if picture.mode in _PIL_ALPHA_MODES or "transparency" in picture.info:
        return True
    palette = picture.palette if picture.mode == "P" else None
    return palette is not None and palette.mode == "RGBA"
