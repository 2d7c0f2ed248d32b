"""The tables of OpenCV's 8-bit RGB to LAB conversion, for the report page to convert a picked colour.

OpenCV converts 8-bit colours in fixed point, bit-exactly on every platform:
each channel goes through a gamma table (``round(2040 * gamma(v / 255))``),
the three are mixed by an integer matrix (the sRGB to XYZ matrix over the D65
white, times 4096), rounded down to a cube-root table index (``round(32768 *
f(i / 2040))`` with CIE's f), and L, a and b come out of integer arithmetic
with rounding shifts.  The tables are computed here as OpenCV computes them,
in single precision; its soft-float cube root gives one entry (324) one unit
lower than a correctly rounded root.  ``report.js`` runs the same integer
steps; the browser tests compare them with ``cv2.cvtColor`` on all 16,777,216
colours.
"""

from __future__ import annotations

import struct
from typing import Dict, List

import numpy as np

__all__ = ["lab_tables"]

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


def lab_tables() -> Dict[str, List[int]]:
    """{"gamma": 256 entries, "cbrt": 3072 entries, "coeffs": the 3 x 3 matrix row by row (R, G, B columns)}."""
    f32 = np.float32
    gamma = [int(np.rint(f32(2040) * _gamma(f32(i) / f32(255)))) for i in range(256)]
    threshold, slope, offset = f32(216) / f32(24389), f32(841) / f32(108), f32(16) / f32(116)
    step = f32(1) / (f32(255) * f32(8))
    cbrt = []
    for i in range(256 * 3 // 2 * 8):
        x = f32(step * f32(i))
        f = f32(x * slope + offset) if x < threshold else f32(np.cbrt(np.float64(x)))
        cbrt.append(_SOFT_CUBE_ROOT.get(i, int(np.rint(f32(32768) * f))))
    matrix = [_double(bits) for bits in _SRGB_TO_XYZ]
    white = [_double(bits) for bits in _WHITE]
    coeffs = [int(np.rint(4096 * matrix[row * 3 + column] / white[row])) for row in range(3) for column in range(3)]
    return {"gamma": gamma, "cbrt": cbrt, "coeffs": coeffs}
