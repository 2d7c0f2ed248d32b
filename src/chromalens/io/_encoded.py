"""Encoded images (files and bytes) decoded by OpenCV, under a pixel limit."""

import os
import stat
from typing import List, Optional, Tuple, Union

import cv2
import numpy as np

from chromalens.io._headers import Header, HeaderError, read_header
from chromalens.io._in_memory import alpha_mask
from chromalens.io._limits import DEFAULT_MAX_PIXELS, PixelLimitError
from chromalens.io._opencv_log import opencv_log_silenced

Array = np.ndarray

__all__ = ["DEFAULT_MAX_PIXELS", "PixelLimitError", "decode", "load_error", "read_path"]


def load_error(name: str, reason: Optional[str] = None) -> ValueError:
    message = f"Could not load image from {name}"
    return ValueError(f"{message}: {reason}" if reason else message)


def read_path(path: Union[str, bytes], use_alpha: bool,
              max_pixels: Optional[int]) -> Tuple[Array, Optional[Array]]:
    """Read the file at `path` (str or bytes) whole, then decode those bytes."""
    name = os.fsdecode(path) if isinstance(path, bytes) else path
    return decode(_read_file(path, name), name, use_alpha, max_pixels)


def _read_file(path: Union[str, bytes], name: str) -> bytes:
    # One open file is checked and read: the header that is checked below is
    # the header of the very bytes that get decoded, whatever happens to the
    # path meanwhile.  O_NONBLOCK keeps a FIFO from blocking the open.
    flags = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0)
    try:
        descriptor = os.open(path, flags)
    except (OSError, ValueError) as error:
        raise load_error(name, _reason(error)) from error
    try:
        mode = os.fstat(descriptor).st_mode
        if stat.S_ISDIR(mode):
            raise load_error(name, "it is a directory")
        if not stat.S_ISREG(mode):
            raise load_error(name, "not a regular file")
        with os.fdopen(descriptor, "rb", closefd=False) as stream:
            return stream.read()
    except OSError as error:
        raise load_error(name, _reason(error)) from error
    finally:
        os.close(descriptor)


def _reason(error: Exception) -> str:
    return getattr(error, "strerror", None) or str(error)


def decode(data: bytes, name: str, use_alpha: bool,
           max_pixels: Optional[int]) -> Tuple[Array, Optional[Array]]:
    """(BGR image, mask or None) of encoded `data`; `name` goes into errors."""
    if not data:
        raise load_error(name, "no data (empty file)")
    try:
        header = read_header(data)
    except HeaderError as error:
        if max_pixels is not None:
            raise load_error(name, str(error)) from None
        header = None  # OpenCV tries it under its own limit
    if max_pixels is not None:
        _check_size(header, name, max_pixels)
    if header is not None and header.shortfall is not None:
        # A decoder would make up the missing part (grey), however large the header says it is.
        raise load_error(name, header.shortfall)
    buffer = np.frombuffer(data, np.uint8)
    # Failures are raised as one error below, without OpenCV's log lines before it.
    with opencv_log_silenced():
        image = _imdecode(buffer, cv2.IMREAD_COLOR, name)
        if image is None:
            raise load_error(name, "OpenCV cannot decode it")
        alpha = None
        if use_alpha and (header is None or header.may_have_alpha):
            alpha = _alpha(buffer, image, header, name)
    return image, None if alpha is None else alpha_mask(alpha)


def _check_size(header: Optional[Header], name: str, max_pixels: int) -> None:
    if header is None:
        raise PixelLimitError(str(load_error(
            name, "not a recognised image file (if OpenCV reads its format, pass max_pixels=None "
                  "to decode it without checking its size first)")), None, max_pixels)
    pixels = header.width * header.height
    if pixels > max_pixels:
        raise PixelLimitError(str(load_error(
            name, f"its header declares {header.width} x {header.height} = {pixels:,} pixels, "
                  f"more than max_pixels={max_pixels:,} (a possible decompression bomb); "
                  "pass a larger max_pixels, or max_pixels=None to lift the limit")),
            (header.width, header.height), max_pixels)


def _imdecode(buffer: Array, flags: int, name: str) -> Optional[Array]:
    try:
        return cv2.imdecode(buffer, flags)
    except cv2.error as error:
        raise load_error(name, _opencv_reason(error)) from None


def _opencv_reason(error: Exception) -> str:
    # OpenCV's messages carry a source path and line; the last part says why.
    text = str(error).strip().splitlines()
    return text[-1].split(" error: ")[-1].strip() if text else "OpenCV cannot decode it"


def _alpha(buffer: Array, image: Array, header: Optional[Header], name: str) -> Optional[Array]:
    """The 8-bit alpha channel lined up with `image`, or None without one.

    The default read applies the EXIF orientation; the unchanged read of some
    formats does not, so the unchanged read is turned the way that makes its
    colour channels match the image, and its alpha channel with them.
    """
    try:
        raw = cv2.imdecode(buffer, cv2.IMREAD_UNCHANGED)
    except cv2.error:
        raw = None
    # Only a fourth channel is alpha (a grey PNG's single transparent value,
    # which OpenCV does not decode, is not used).  Alpha that OpenCV cannot
    # decode leaves the image without a mask, as its default read has none.
    if raw is None or raw.ndim != 3 or raw.shape[2] != 4:
        return None
    best: Optional[Tuple[int, Array]] = None
    for orientation in _likely_orientations(header):
        turned = turn(raw, orientation)
        if turned.shape[:2] != image.shape[:2]:
            continue
        colour = to_8_bits(turned[:, :, :3])
        if np.array_equal(colour, image):
            return to_8_bits(turned[:, :, 3])
        # 16-bit files are not always reduced to 8 bits the same way by
        # both reads: the closest colours tell then.
        difference = int(np.abs(colour.astype(np.int16) - image).sum())
        if best is None or difference < best[0]:
            best = (difference, turned[:, :, 3])
    if best is None:
        raise load_error(name, "its alpha channel does not line up with its colour image "
                               "(pass use_alpha=False to read it without transparency)")
    return to_8_bits(best[1])


def _likely_orientations(header: Optional[Header]) -> List[int]:
    """Every EXIF orientation, the likeliest turn of the unchanged read first."""
    orientation = header.orientation if header else 1
    # OpenCV turns PNG and WebP images but not their unchanged reads; TIFF
    # reads are turned both ways, AVIF reads neither.
    first = [orientation, 1] if header and header.format in ("PNG", "WEBP") else [1, orientation]
    return list(dict.fromkeys(first + list(range(1, 9))))


def turn(array: Array, orientation: int) -> Array:
    """`array` turned as OpenCV turns an image for an EXIF orientation (1..8)."""
    if orientation >= 5:
        array = array.swapaxes(0, 1)
    if orientation in (2, 3, 6, 7):
        array = array[:, ::-1]
    if orientation in (3, 4, 7, 8):
        array = array[::-1]
    return array


def to_8_bits(values: Array) -> Array:
    """8-bit values as OpenCV's default read reduces them: 16-bit values keep
    their high byte; floating-point values 0..1 are scaled to 0..255."""
    if values.dtype == np.uint8:
        return values
    if values.dtype == np.uint16:
        return (values >> 8).astype(np.uint8)
    if values.dtype.kind == "f":
        return np.clip(np.rint(values * 255.0), 0, 255).astype(np.uint8)
    clipped: Array = np.clip(values, 0, 255).astype(np.uint8)
    return clipped
