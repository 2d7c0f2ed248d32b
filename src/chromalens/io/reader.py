"""Images as users hold them, made ready for :class:`ColorExtractor`."""

import operator
import os
from typing import Any, Optional, Tuple, Union

import cv2
import numpy as np
from PIL import Image

from chromalens.io._encoded import DEFAULT_MAX_PIXELS, decode, read_path
from chromalens.io._in_memory import from_array, from_pil

__all__ = ["read_image"]

ImageSource = Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview,
                    Image.Image, np.ndarray]
_SOURCES = "a path (str or os.PathLike), bytes of an encoded image file, a PIL.Image.Image or a NumPy array"


def read_image(source: ImageSource, *, use_alpha: bool = True, max_side: Optional[int] = None,
               max_pixels: Optional[int] = DEFAULT_MAX_PIXELS,
               order: str = "bgr") -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """Read an image as it is held and return ``(image, mask)`` for :class:`ColorExtractor`.

    ``image`` is always a new C-contiguous ``uint8`` array of shape H x W x 3 in
    blue-green-red order (as ``cv2.imread`` gives), never a view of the caller's
    data.  ``mask`` is ``None`` for an image without transparency, otherwise a new
    H x W ``uint8`` array: 0 where the pixel's alpha is 128 or less, 255 where it is
    above 128 (the extractor analyses mask values above 128).  Pass both on::

        image, mask = read_image("cut-out.png", max_side=800)
        colors = ColorExtractor().extract_colors(image, mask)

    Sources
        * a path (``str`` or ``os.PathLike``): the file is read once and decoded by
          OpenCV, so the pixels are exactly those ``cv2.imread(path)`` gives,
          including its EXIF orientation, its reduction of 16-bit files to 8 bits
          (high byte) and its grey-to-BGR expansion.  Path names that are not valid
          UTF-8 work too.  A missing, unreadable or non-regular file, a directory or
          a file OpenCV cannot decode raises ``ValueError("Could not load image from
          PATH: reason")``.
        * ``bytes``, ``bytearray`` or ``memoryview`` holding an encoded image file:
          decoded exactly as the same file on disk would be.
        * a ``PIL.Image.Image`` of any mode.  Colour modes (RGB, RGBX, CMYK, YCbCr,
          LAB, HSV, P, L, 1) are converted by Pillow to RGB; modes with alpha
          (RGBA, LA, PA, RGBa, La) and P, L or RGB images with a ``transparency``
          value (or an RGBA palette) are converted to RGBA, and the alpha gives the
          mask.  16-bit grey (``I;16``, ``I;16L``, ``I;16B``, ``I;16N``) keeps the
          high byte of every value, as OpenCV reads a 16-bit PNG.  Modes ``I`` and
          ``F`` raise TypeError: scale them to 0..255 and convert them first.
          An EXIF orientation is applied (``PIL.ImageOps.exif_transpose``), so an
          opened file gives the same pixels as its path, which OpenCV turns.
        * a NumPy ``uint8`` array: H x W or H x W x 1 (grey), H x W x 3 (BGR, as
          OpenCV holds images) or H x W x 4 (BGRA).  With ``order="rgb"`` three and
          four channels are read as RGB and RGBA (as Pillow, Matplotlib and most
          other libraries hold them).  ``order`` matters only for arrays.

    Transparency
        With ``use_alpha=True`` (the default) an alpha channel gives the mask; with
        ``use_alpha=False``, or for an image without alpha, the mask is ``None``.
        The colours never depend on ``use_alpha``.  For files, the alpha channel is
        the fourth channel of OpenCV's unchanged read (PNG, TIFF, WebP, AVIF,
        JPEG 2000, GIF and paletted PNG transparency, PAM), turned with the image
        when OpenCV applies an EXIF orientation.  16-bit alpha is reduced to 8 bits
        as OpenCV reduces 16-bit PNG channels, keeping the high byte, so a 16-bit
        alpha of 33024 (129 x 256) or more is inside the mask; floating-point alpha
        (0..1) is scaled by 255.  Transparency OpenCV does not decode (a grey PNG's
        single transparent value, grey-and-alpha TIFF) gives no mask.

    Size
        ``max_side``: a positive integer or ``None``.  A larger image is shrunk
        (``cv2.INTER_AREA``; the mask with ``cv2.INTER_NEAREST``, so it stays
        0/255) until its longer side is exactly ``max_side``, keeping its aspect
        ratio; a smaller one is never enlarged.

        ``max_pixels``: files and bytes whose header declares more than this many
        pixels (default 178,956,970, Pillow's ``Image.MAX_IMAGE_PIXELS``) are
        refused with ValueError before anything is decoded, as possible
        decompression bombs; ``max_pixels=None`` lifts the limit.  The size is read
        from the header of PNG, JPEG, BMP, TIFF, WebP, GIF, JPEG 2000, AVIF, Sun
        raster, PBM/PGM/PPM/PAM, PFM and Radiance HDR files.  Data whose size
        cannot be read that way (an unknown format, a damaged header) is refused
        too unless ``max_pixels=None``, in which case OpenCV tries it under its own
        limit (``CV_IO_MAX_IMAGE_PIXELS``, 2**30 pixels by default).  PIL images and
        arrays are already in memory and are not checked.

        Data shorter than the image its header declares is refused as cut short
        (whatever ``max_pixels`` is): OpenCV would decode the missing part as grey,
        so a few hundred bytes could otherwise claim gigabytes.  The check is made
        where the format fixes a floor: the raw rasters of BMP, PBM/PGM/PPM/PAM and
        PFM files, TIFF strip and tile tables, the RIFF length of WebP, and for
        JPEG an end-of-image marker after the scans and at least one bit per coded
        8 x 8 block (one per pixel in lossless mode).

    Errors
        TypeError for a source of another type (``list``, ``int``, ``None`` ...),
        for an array that is not ``uint8`` (e.g. "expected an 8-bit image, got
        float64 (scale to 0..255 and use .astype(np.uint8))"; ``bool`` and
        ``uint16`` arrays are refused with a hint too) and for PIL modes ``I`` and
        ``F``; ValueError for an array of another shape (H x W x 2, 4-D) or with no
        pixels, for unreadable files and data, and for bad ``max_side``,
        ``max_pixels`` or ``order`` values (a non-integer ``max_side`` or
        ``max_pixels`` is a TypeError).
    """
    if order not in ("bgr", "rgb"):
        raise ValueError(f"order must be 'bgr' or 'rgb', got {order!r}")
    max_side = _positive_or_none("max_side", max_side)
    max_pixels = _positive_or_none("max_pixels", max_pixels)
    if isinstance(source, (str, os.PathLike)):
        image, mask = read_path(os.fspath(source), use_alpha, max_pixels)
    elif isinstance(source, (bytes, bytearray, memoryview)):
        # A private copy: another thread cannot change the data between the
        # size check and the decoding (OpenCV decodes without the GIL).
        data = source if isinstance(source, bytes) else bytes(source)
        image, mask = decode(data, f"{len(data)} bytes of data", use_alpha, max_pixels)
    elif isinstance(source, Image.Image):
        image, mask = from_pil(source, use_alpha)
    elif isinstance(source, np.ndarray):
        image, mask = from_array(source, use_alpha, order)
    else:
        hint = " (wrap it with np.asarray(..., dtype=np.uint8))" if isinstance(source, (list, tuple)) else ""
        raise TypeError(f"read_image() expected {_SOURCES}, got {type(source).__name__}{hint}")
    if max_side is not None:
        image, mask = _shrink(image, mask, max_side)
    return image, mask


def _positive_or_none(name: str, value: Any) -> Optional[int]:
    if value is None:
        return None
    if isinstance(value, bool):
        raise TypeError(f"{name} must be a positive integer or None, got {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be a positive integer or None, got {value!r} "
                        f"({type(value).__name__})") from None
    if number < 1:
        raise ValueError(f"{name} must be a positive integer or None, got {number}")
    return number


def _shrink(image: np.ndarray, mask: Optional[np.ndarray],
            max_side: int) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """Shrink so the longer side is `max_side`; smaller images are left alone."""
    height, width = image.shape[:2]
    longest = max(height, width)
    if longest <= max_side:
        return image, mask
    if width >= height:
        size = (max_side, max(1, round(height * max_side / width)))
    else:
        size = (max(1, round(width * max_side / height)), max_side)
    image = cv2.resize(image, size, interpolation=cv2.INTER_AREA)
    if mask is not None:
        mask = cv2.resize(mask, size, interpolation=cv2.INTER_NEAREST)
    return image, mask
