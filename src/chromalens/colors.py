"""Colours as people write them, the module's LAB distance over many colours at once, CSS colour names.

A colour is written ``R,G,B`` (each 0..255), ``#RGB``, ``#RRGGBB`` or as a
CSS colour name (``navy``, ``SkyBlue``; the 147 names of CSS Color Module
Level 3, through webcolors).  Distances are the extractor's: the Euclidean
distance between the 8-bit LAB encodings OpenCV gives two RGB colours, as
``ColorExtractor._color_distance_lab`` measures them, here for whole arrays.
"""

from __future__ import annotations

import re
from functools import lru_cache
from typing import List, Sequence, Tuple

import numpy as np

from chromalens.lab_tables import lab_from_tables

__all__ = ["COLOUR_FORMS", "parse_color", "lab_codes", "squared_distances", "css_name", "css_names"]

RGB = Tuple[int, int, int]
COLOUR_FORMS = "R,G,B (each 0..255), #RGB, #RRGGBB or a CSS colour name such as navy"

_HEX = re.compile(r"#([0-9a-fA-F]{3}|[0-9a-fA-F]{6})")
_TRIPLE = re.compile(r"(\d{1,3}),(\d{1,3}),(\d{1,3})")


def parse_color(text: str) -> RGB:
    """The RGB triple `text` writes; ValueError naming the accepted forms otherwise.

    Spaces anywhere are ignored ("sky blue" is skyblue), and so is the case of
    hex digits and names.
    """
    import webcolors

    compact = "".join(str(text).split())
    hex_match = _HEX.fullmatch(compact)
    if hex_match:
        digits = hex_match.group(1)
        if len(digits) == 3:
            digits = "".join(d * 2 for d in digits)
        return (int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16))
    triple = _TRIPLE.fullmatch(compact)
    if triple:
        rgb = tuple(int(v) for v in triple.groups())
        if max(rgb) <= 255:
            return (rgb[0], rgb[1], rgb[2])
    elif compact.isascii() and compact.isalpha():
        try:
            named = webcolors.name_to_rgb(compact.lower())
        except ValueError:
            pass
        else:
            return (int(named.red), int(named.green), int(named.blue))
    raise ValueError(f"not a colour: {text!r} (expected {COLOUR_FORMS})")


def lab_codes(rgb: "np.ndarray | Sequence[Sequence[int]]") -> np.ndarray:
    """The 8-bit LAB triples (N x 3, uint8) of N RGB colours, as OpenCV converts 8-bit RGB.

    OpenCV's fixed-point steps, run on arrays (see `chromalens.lab_tables`):
    the same codes, without loading OpenCV.
    """
    return lab_from_tables(np.asarray(rgb, dtype=np.uint8).reshape(-1, 3))


def squared_distances(labs: np.ndarray, lab: "np.ndarray | Sequence[int]") -> np.ndarray:
    """Squared LAB distances (exact integers, int32) from each row of `labs` to one LAB triple.

    Their square roots are the extractor's distances: the components are
    whole numbers, so the sums are exact and only the root rounds.
    """
    total = np.zeros(len(labs), np.int32)
    for channel in range(3):
        difference = labs[:, channel].astype(np.int32)
        difference -= int(lab[channel])
        np.multiply(difference, difference, out=difference)
        total += difference
    return total


@lru_cache(maxsize=1)
def _css_table() -> Tuple[Tuple[str, ...], np.ndarray]:
    """CSS names in alphabetical order (of two names for one colour, the first) and their LAB triples."""
    import webcolors

    names: List[str] = []
    rgbs: List[RGB] = []
    for name in sorted(webcolors.names("css3")):
        value = webcolors.name_to_rgb(name)
        rgb = (int(value.red), int(value.green), int(value.blue))
        if rgb not in rgbs:  # gray/grey, aqua/cyan, fuchsia/magenta: one name per colour
            names.append(name)
            rgbs.append(rgb)
    return tuple(names), lab_codes(rgbs)


def css_names(rgb: "np.ndarray | Sequence[Sequence[int]]") -> List[str]:
    """The nearest CSS colour name of each of N RGB colours, by the extractor's LAB distance.

    A tie goes to the name first in alphabetical order.
    """
    names, table = _css_table()
    labs = lab_codes(rgb).astype(np.int32)
    nearest = np.zeros(len(labs), np.intp)
    for start in range(0, len(labs), 16384):  # bounded memory: rows x names distances at a time
        part = labs[start:start + 16384]
        squared = ((part[:, None, :] - table[None, :, :].astype(np.int32)) ** 2).sum(axis=2)
        nearest[start:start + len(part)] = np.argmin(squared, axis=1)
    return [names[i] for i in nearest]


def css_name(rgb: Sequence[int]) -> str:
    """The nearest CSS colour name of one RGB colour (see `css_names`)."""
    return css_names([rgb])[0]
