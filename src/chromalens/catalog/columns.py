"""Records gathered into the search index's arrays, a block at a time, and blocks laid end to end.

Each block of decoded records becomes the arrays of its images (`block_arrays`);
the index is those arrays laid end to end (`laid_out`), offsets and image
numbers shifted, written piece by piece so that no array is copied whole.
"""

from __future__ import annotations

from itertools import chain, compress, count, repeat
from operator import attrgetter, is_not
from typing import Any, Dict, List, NamedTuple, Tuple

import numpy as np

from chromalens.catalog.reading import Match, Record
from chromalens.colors import lab_codes

__all__ = ["Array", "block_arrays", "laid_out"]

# Per-pixel matches of a target NAME: arrays "bands.NAME", "closest.NAME", "min.NAME":
# (prefix, columns (0: one value per image), type, value where an image has none).
MATCH_ARRAYS = (("bands", 3, np.float64, np.nan), ("closest", 3, np.uint8, 0), ("min", 0, np.float64, np.nan))
# Arrays of offsets into another array: [0, end of the first item, end of the second, ...].
OFFSETS = ("path_offsets", "failure_offsets", "color_offsets")


class Array(NamedTuple):
    """An array of the index as pieces that, laid end to end, are its bytes in order."""

    dtype: np.dtype
    shape: Tuple[int, ...]
    pieces: List[np.ndarray]

    def whole(self) -> np.ndarray:
        return np.concatenate(self.pieces).reshape(self.shape)


_color, _colors, _error, _matches, _path, _percentage = map(
    attrgetter, ("color", "colors", "error", "matches", "path", "percentage"))


def block_arrays(records: List[Record]) -> Dict[str, np.ndarray]:
    """The index's arrays of one block of records (error records among the failures).

    Whole lists at a time through C-level iteration (``map``, ``chain``,
    ``compress``): a Python loop over each colour would cost more than
    decoding it.
    """
    failed = list(compress(records, map(is_not, map(_error, records), repeat(None))))
    good = [record for record in records if record.error is None] if failed else records
    palettes = list(map(_colors, good))
    try:
        counts = np.fromiter(map(len, palettes), np.int64, len(palettes))
    except TypeError:  # "colors": null in a record without an error: no colours
        palettes = [palette or [] for palette in palettes]
        counts = np.fromiter(map(len, palettes), np.int64, len(palettes))
    colours = list(chain.from_iterable(palettes))
    # Components were checked to lie in 0..255 as they were decoded: bytes() takes them as they are.
    rgb = np.frombuffer(bytes(chain.from_iterable(map(_color, colours))), np.uint8).reshape(-1, 3)
    share = np.fromiter(map(_percentage, colours), np.float64, len(colours))
    images = len(good)
    path_offsets, path_bytes = _strings(list(map(_path, good)))
    failure_offsets, failure_bytes = _strings([text for r in failed for text in (r.path, r.error or "")])
    color_offsets = np.zeros(images + 1, np.int64)
    np.cumsum(counts, out=color_offsets[1:])
    owner = np.repeat(np.arange(images, dtype=np.int32), counts)
    lab = lab_codes(rgb)
    arrays = {
        "path_offsets": path_offsets, "path_bytes": path_bytes,
        "failure_offsets": failure_offsets, "failure_bytes": failure_bytes,
        "color_offsets": color_offsets, "owner": owner, "rgb": rgb, "lab_planes": np.ascontiguousarray(lab.T),
        "share": share, "centroid": _centroids(lab, share, owner, images),
    }
    measured: Dict[str, List[Tuple[int, Match]]] = {}
    for image in compress(count(), map(_matches, good)):
        for name, entry in good[image].matches.items():  # type: ignore[union-attr]
            if entry is not None:
                measured.setdefault(name, []).append((image, entry))
    for name, entries in measured.items():
        bands, closest, distance = (_blank(images, width, dtype, fill) for _, width, dtype, fill in MATCH_ARRAYS)
        for image, entry in entries:
            bands[image] = (entry.very_close_percentage, entry.close_percentage, entry.total_percentage)
            closest[image] = entry.closest_pixel
            distance[image] = entry.min_distance
        arrays[f"bands.{name}"], arrays[f"closest.{name}"], arrays[f"min.{name}"] = bands, closest, distance
    return arrays


def laid_out(parts: List[Dict[str, np.ndarray]]) -> Dict[str, Array]:
    """The arrays of the images of `parts` (blocks, or an index and the blocks read after it), one
    part after the other: offsets shifted past the parts before, images numbered on."""
    sizes = [len(part["color_offsets"]) - 1 for part in parts]
    firsts = np.cumsum([0] + sizes[:-1])
    out = {}
    for key, array in parts[0].items():
        if key.startswith(tuple(f"{prefix}." for prefix, *_ in MATCH_ARRAYS)):
            continue
        if key in OFFSETS:
            shifts = np.cumsum([0] + [int(part[key][-1]) for part in parts[:-1]])
            pieces = [array[:1]] + [part[key][1:] + shift for part, shift in zip(parts, shifts)]
        elif key == "owner":
            pieces = [part[key] + np.int32(first) for part, first in zip(parts, firsts)]
        elif key == "lab_planes":  # 3 x N: each channel's pieces, one channel after the other
            pieces = [part[key][channel] for channel in range(3) for part in parts]
        else:
            pieces = [part[key] for part in parts]
        length = sum(len(piece) for piece in pieces) // (3 if key == "lab_planes" else 1)
        out[key] = Array(array.dtype, (3, length) if key == "lab_planes" else (length, *array.shape[1:]), pieces)
    names = sorted({key.split(".", 1)[1] for part in parts for key in part if key.startswith("bands.")})
    for name in names:  # a target measured in some parts only: blank in the others
        for prefix, width, dtype, fill in MATCH_ARRAYS:
            key = f"{prefix}.{name}"
            pieces = [part[key] if key in part else _blank(size, width, dtype, fill) for part, size in zip(parts, sizes)]
            out[key] = Array(np.dtype(dtype), (sum(sizes), width) if width else (sum(sizes),), pieces)
    return out


def _blank(images: int, width: int, dtype: Any, fill: float) -> np.ndarray:
    return np.full((images, width) if width else (images,), fill, dtype)


def _strings(texts: List[str]) -> Tuple[np.ndarray, np.ndarray]:
    """Texts as one UTF-8 byte array and the offsets where each starts (and the last ends)."""
    joined = "\0".join(texts)
    if joined.count("\0") == max(len(texts) - 1, 0):  # no text holds a NUL (no path can): one encoding
        data = np.frombuffer(joined.encode("utf-8", "surrogatepass"), np.uint8)
        breaks = np.flatnonzero(data == 0)
        offsets = np.concatenate([[0], breaks - np.arange(len(breaks)), [len(data) - len(breaks)]]) \
            if texts else np.zeros(1, np.int64)
        return offsets.astype(np.int64), data[data != 0] if len(breaks) else data
    encoded = [t.encode("utf-8", "surrogatepass") for t in texts]
    offsets = np.zeros(len(encoded) + 1, np.int64)
    np.cumsum([len(t) for t in encoded], out=offsets[1:])
    return offsets, np.frombuffer(b"".join(encoded), np.uint8)


def _centroids(lab: np.ndarray, share: np.ndarray, owner: np.ndarray, images: int) -> np.ndarray:
    """Each image's LAB centroid weighted by share (NaN without a positive total share)."""
    total = np.bincount(owner, weights=share, minlength=images).astype(np.float64)  # (int64 when empty)
    centroid = np.stack([np.bincount(owner, weights=share * lab[:, c], minlength=images) for c in range(3)],
                        1).astype(np.float64).reshape(images, 3)
    with np.errstate(invalid="ignore", divide="ignore"):
        centroid /= total[:, None]
    centroid[~(total > 0)] = np.nan
    return centroid
