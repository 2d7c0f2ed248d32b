"""The tables of OpenCV's 8-bit RGB to LAB conversion, and the conversion itself in NumPy.

OpenCV converts 8-bit colours in fixed point, bit-exactly on every platform:
each channel goes through a gamma table (``round(2040 * gamma(v / 255))``),
the three are mixed by an integer matrix (the sRGB to XYZ matrix over the D65
white, times 4096), rounded down to a cube-root table index (``round(32768 *
f(i / 2040))`` with CIE's f), and L, a and b come out of integer arithmetic
with rounding shifts.  The tables are computed here as OpenCV computes them,
in single precision; its soft-float cube root gives one entry (324) one unit
lower than a correctly rounded root.  `lab_from_tables` runs the integer
steps on arrays, and ``report.js`` runs them in the browser: the tests compare
both with ``cv2.cvtColor`` on all 16,777,216 colours.  Converting here spares
loading OpenCV, which costs a search more than its whole arithmetic.
"""

from __future__ import annotations

import struct
from functools import lru_cache
from typing import Dict, List, Tuple

import numpy as np

__all__ = ["lab_tables", "lab_from_tables"]

# sRGB to XYZ (D65) and the D65 white point, as the doubles OpenCV holds them.
_SRGB_TO_XYZ = ("3fda65a14488c60d", "3fd6e297396d0918", "3fc71819d2391d58",
                "3fcb38cda6e75ff6", "3fe6e297396d0918", "3fb279aae6c8f755",
                "3f93cc4ac6cdaf4b", "3fbe836eb4e98138", "3fee68427418d691")
_WHITE = ("3fee6a22b3892ee8", "3ff0000000000000", "3ff16b8950763a19")
_SOFT_CUBE_ROOT = {324: 17745}


def _double(bits: str) -> float:
    value: float = struct.unpack(">d", bytes.fromhex(bits))[0]
    return value


def _gamma(value: np.float32) -> np.float32:
    """sRGB decoding in double precision, rounded to single, as OpenCV's applyGamma."""
    x = float(value)
    return np.float32(x / (323 / 25) if x <= 809 / 20000 else ((x + 11 / 200) / (1 + 11 / 200)) ** (12 / 5))


@lru_cache(maxsize=1)
def _tables() -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The gamma table (256), the cube-root table (3072) and the 3 x 3 matrix, as int32 arrays."""
    f32 = np.float32
    gamma = [int(np.rint(f32(2040) * _gamma(f32(i) / f32(255)))) for i in range(256)]
    # The cube-root table's 3072 entries at once: the same single-precision steps, element by element.
    threshold, slope, offset = f32(216) / f32(24389), f32(841) / f32(108), f32(16) / f32(116)
    step = f32(1) / (f32(255) * f32(8))
    x = (step * np.arange(256 * 3 // 2 * 8, dtype=f32)).astype(f32)
    f = np.where(x < threshold, (x * slope + offset).astype(f32), np.cbrt(x.astype(np.float64)).astype(f32))
    cbrt = np.rint(f32(32768) * f).astype(np.int32)
    for i, value in _SOFT_CUBE_ROOT.items():
        cbrt[i] = value
    matrix = [_double(bits) for bits in _SRGB_TO_XYZ]
    white = [_double(bits) for bits in _WHITE]
    coeffs = [int(np.rint(4096 * matrix[row * 3 + column] / white[row])) for row in range(3) for column in range(3)]
    return np.array(gamma, np.int32), cbrt, np.array(coeffs, np.int32).reshape(3, 3)


def lab_tables() -> Dict[str, List[int]]:
    """{"gamma": 256 entries, "cbrt": 3072 entries, "coeffs": the 3 x 3 matrix row by row (R, G, B columns)}."""
    gamma, cbrt, coeffs = _tables()
    return {"gamma": gamma.tolist(), "cbrt": cbrt.tolist(), "coeffs": coeffs.ravel().tolist()}


def lab_from_tables(rgb: np.ndarray) -> np.ndarray:
    """The 8-bit LAB codes (N x 3, uint8) of N x 3 uint8 RGB colours, as OpenCV converts them."""
    gamma, cbrt, coeffs = _tables()
    linear = gamma[rgb]  # N x 3
    f = []
    for row in coeffs.tolist():  # X, Y, Z: the matrix row, rounded down to a cube-root table index
        mixed = linear[:, 0] * row[0]
        mixed += linear[:, 1] * row[1]
        mixed += linear[:, 2] * row[2]
        mixed += 2048
        mixed >>= 12
        f.append(cbrt[mixed])
    fx, fy, fz = f
    lab = np.empty((len(rgb), 3), np.uint8)
    lab[:, 0] = np.clip((296 * fy - 1336934 + 16384) >> 15, 0, 255)
    lab[:, 1] = np.clip((500 * (fx - fy) + (128 << 15) + 16384) >> 15, 0, 255)
    lab[:, 2] = np.clip((200 * (fy - fz) + (128 << 15) + 16384) >> 15, 0, 255)
    return lab
