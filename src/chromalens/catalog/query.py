"""Searching a catalogue by colour: which images hold these colours, and which look like that one.

The score of an image for a colour Q is the share of the image credited to
Q, in percent, weighed as ``analyze_color_similarity`` weighs its nearest
colour, but over every palette colour within the distance D::

    score(Q) = round(sum of p_i * (((D - d_i) / D * 100) / 100)  over i with d_i <= D, 2)

where p_i is the share of palette colour i (its "percentage") and d_i its
LAB distance to Q (the extractor's distance).  The sum runs in palette
order.  When the records hold per-pixel matches of a target of the query's
name (``batch --detailed``) with the same colour, those shares are used
instead: each band of pixels (within 15, 15 to 30, 30 to 50) weighed at its
middle distance, 7.5, 22.5 and 40.  With several colours, an image must hold
all of them and scores as its weakest (``match="any"``: any of them, scoring
as its strongest).  Ties go to the earlier record.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from chromalens._text import hex_code
from chromalens.catalog.index import Index, open_index
from chromalens.colors import css_names, lab_codes, parse_color, squared_distances

__all__ = ["search", "SearchResults", "open_results", "round2", "colour_scores", "BAND_MIDDLES"]

PathLike = Union[str, "os.PathLike[str]"]
Colour = Union[str, Sequence[int]]
# The per-pixel bands (below 15, 30 and 50) and the distance each is weighed at.
BAND_MIDDLES = (7.5, 22.5, 40.0)
_LARGEST_SQUARE = 3 * 255 * 255


@dataclass
class SearchResults:
    """The hits, best first, and what the search read: `images` analysed, `failed` error
    records skipped, `problems` lines skipped (each naming its file and line), `notes`;
    `matched`: how many images hold the colours (before `top`; None for `like`)."""

    hits: List[Dict[str, Any]]
    matched: Optional[int] = None
    images: int = 0
    failed: int = 0
    problems: List[str] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)

    def __iter__(self) -> Iterator[Dict[str, Any]]:
        return iter(self.hits)

    def __len__(self) -> int:
        return len(self.hits)

    def __getitem__(self, item: int) -> Dict[str, Any]:
        return self.hits[item]


def round2(values: np.ndarray) -> np.ndarray:
    """Python's ``round(v, 2)`` of every value, all at once.

    ``rint(v * 100) / 100`` is the same number except where v * 100 lies
    within rounding error of a half: those few go through ``round`` itself.
    """
    values = np.asarray(values, np.float64)
    scaled = values * 100
    out: np.ndarray = np.rint(scaled) / 100
    near_half = np.abs(scaled - np.floor(scaled) - 0.5) < 1e-6
    for i in np.flatnonzero(near_half):
        out.flat[i] = round(float(values.flat[i]), 2)
    return out


def _rounded(scores: np.ndarray) -> np.ndarray:
    """`scores` rounded as by ``round2``, in place: only those above 0 (most images score 0)."""
    held = np.flatnonzero(scores)
    scores[held] = round2(scores[held])
    return scores


def _weight(distance: np.ndarray, limit: float) -> np.ndarray:
    """The similarity analysis's weight: ((D - d) / D * 100) / 100 within D, else 0."""
    with np.errstate(invalid="ignore"):
        weight = ((limit - distance) / limit * 100) / 100
    return np.where(distance <= limit, np.maximum(weight, 0.0), 0.0)


def _rows_within(index: Index, lab: np.ndarray, reach: int) -> np.ndarray:
    """The palette rows (in order) whose every LAB component lies within `reach` of `lab`'s: a few
    passes over bytes that leave out most rows before any distance is computed."""
    inside = scratch = None
    for channel in range(3):
        low, high = max(0, int(lab[channel]) - reach), min(255, int(lab[channel]) + reach)
        if high - low == 255:
            continue  # every value is within
        # low <= v <= high as one comparison: v - low wraps around below low.  Two buffers
        # serve every channel (fresh memory costs a page fault per page).
        scratch = np.subtract(index.lab[:, channel], np.uint8(low), out=scratch)
        if inside is None:
            inside = np.less_equal(scratch, np.uint8(high - low))
        else:
            inside &= np.less_equal(scratch, np.uint8(high - low), out=scratch.view(np.bool_))
    return np.arange(len(index.share)) if inside is None else np.flatnonzero(inside)


def _palette_scores(index: Index, lab: np.ndarray, limit: float) -> np.ndarray:
    # A colour beyond the distance in any one component is beyond it: it weighs 0, and is left out
    # (adding 0 changes no sum).
    rows = _rows_within(index, lab, min(int(limit), 255))
    squared = squared_distances(index.lab[rows], lab)
    # Squared distances are whole numbers: weigh each possible one once.
    table = _weight(np.sqrt(np.arange(min(_LARGEST_SQUARE, int(limit * limit)) + 2, dtype=np.float64)), limit)
    near = np.flatnonzero(squared < len(table))
    rows = rows[near]
    credits = index.share[rows] * table[squared[near]]
    # (without any row in reach NumPy counts in integers, whatever the weights)
    return np.bincount(index.owner[rows], weights=credits, minlength=index.size).astype(np.float64, copy=False)


def _band_scores(index: Index, name: str, lab: np.ndarray, limit: float) -> Tuple[np.ndarray, np.ndarray]:
    """Scores from per-pixel matches of target `name`, and where they apply: where the target was
    this colour, as far as the record tells (its closest pixel lies at its distance from it)."""
    bands, closest, distance = index.matches[name]
    reached = np.sqrt(squared_distances(lab_codes(closest), lab).astype(np.float64))
    applies = ~np.isnan(bands[:, 0]) & (np.abs(reached - distance) <= 0.005 + 1e-9)
    very, close, total = bands[:, 0], bands[:, 1], bands[:, 2]
    w = _weight(np.array(BAND_MIDDLES), limit).tolist()
    return very * w[0] + (close - very) * w[1] + (total - close) * w[2], applies


def colour_scores(index: Index, name: str, rgb: Tuple[int, int, int], limit: float) -> np.ndarray:
    """Every image's unrounded score for one colour (see the module's description)."""
    lab = lab_codes([rgb])[0]
    scores = _palette_scores(index, lab, limit)
    if name in index.matches:
        from_bands, applies = _band_scores(index, name, lab, limit)
        scores = np.where(applies, from_bands, scores)
    return scores


def _queries(colors: Any) -> List[Tuple[str, Tuple[int, int, int]]]:
    """(name, RGB) of each colour asked for: a mapping of names to colours, or colours alone."""
    if isinstance(colors, str):
        colors = [colors]
    items = list(colors.items()) if isinstance(colors, Mapping) else [(None, c) for c in colors]
    queries = []
    for name, colour in items:
        if isinstance(colour, str):
            rgb = parse_color(colour)
        else:
            values = tuple(int(v) for v in colour)
            if len(values) != 3 or not all(0 <= v <= 255 for v in values):
                raise ValueError(f"a colour must be three integers 0..255, got {colour!r}")
            rgb = (values[0], values[1], values[2])
        label = str(name) if name is not None else (colour.strip() if isinstance(colour, str) else hex_code(rgb))
        queries.append((label, (rgb[0], rgb[1], rgb[2])))
    if not queries:
        raise ValueError("give at least one colour")
    return queries


def _hit_colours(index: Index, image: int) -> List[Dict[str, Any]]:
    colours = index.palette(image)
    for entry, css in zip(colours, css_names([c["color"] for c in colours])):
        entry["hex"] = hex_code(entry["color"])
        entry["name"] = css
    return colours


def open_results(results: Any) -> Tuple[List[Tuple[str, Index]], SearchResults]:
    """The indexes of results files (each once), and a summary of what they hold (no hits yet)."""
    paths = [os.fspath(results)] if isinstance(results, (str, os.PathLike)) else [os.fspath(p) for p in results]
    if not paths:
        raise ValueError("give at least one results file")
    seen, indexes = set(), []
    summary = SearchResults([])
    for path in paths:
        if os.path.realpath(path) in seen:
            continue  # the same file twice would list its images twice
        seen.add(os.path.realpath(path))
        index, note = open_index(path)
        indexes.append((path, index))
        summary.images += index.size
        summary.failed += index.failed
        summary.problems += [f"{path} {problem}" for problem in index.problems]
        if note:
            summary.notes.append(note)
    return indexes, summary


def _checked_limits(max_distance: Optional[float], min_share: float, top: Optional[int]) -> None:
    if max_distance is not None and not (math.isfinite(max_distance) and max_distance > 0):
        raise ValueError(f"max_distance must be a finite number above 0, got {max_distance!r}")
    if not (math.isfinite(min_share) and min_share >= 0):
        raise ValueError(f"min_share must be a finite number of at least 0, got {min_share!r}")
    if top is not None and (isinstance(top, bool) or not isinstance(top, int) or top < 1):
        raise ValueError(f"top must be a positive integer or None, got {top!r}")


def search(results: Union[PathLike, Sequence[PathLike]], colors: Any = None, *, like: Optional[PathLike] = None,
           match: str = "all", max_distance: Optional[float] = None, min_share: float = 0.0,
           top: Optional[int] = 20) -> SearchResults:
    """Rank the images of `results` (files ``batch`` wrote) by colour; returns the hits, best first.

    `colors`: colours written as ``parse_color`` reads them ("navy",
    "#1f2a44", "31,42,68") or as (r, g, b), or a mapping of names to such
    colours (a name that ``batch --detailed`` measured uses its per-pixel
    shares).  Each hit: "rank", "score" (0..100), "scores" (per colour),
    "path" and "colors" (its palette, each with "hex" and CSS "name").
    `match`: "all" (an image must hold every colour) or "any".  An image
    holds a colour when its score is above 0 and at least `min_share`.
    `max_distance`: D of the score (default 50).

    `like`: an image file instead of colours: the images whose palettes are
    nearest to its palette (its record when the results hold it, else
    analysed with the default ``ColorExtractor``), by the earth mover's
    distance between palettes in LAB with the shares as weights.  Each hit
    has "distance" instead of the scores; with `max_distance`, only images
    within it.  The image itself is left out.

    `top`: the number of hits (None: all).  Error records are skipped and
    counted; lines that are no record are skipped and listed in `problems`.
    """
    if (colors is None) == (like is None):
        raise ValueError("give either colors or like")
    if match not in ("all", "any"):
        raise ValueError(f"match must be 'all' or 'any', got {match!r}")
    _checked_limits(max_distance, float(min_share), top)
    if like is not None:
        from chromalens.catalog.similar import like_hits

        indexes, summary = open_results(results)
        summary.hits = like_hits(indexes, os.fspath(like), max_distance, top)
        return summary
    queries = _queries(colors)
    limit = 50.0 if max_distance is None else float(max_distance)
    indexes, summary = open_results(results)
    combined, per_colour = [], []
    for _, index in indexes:
        rounded = [_rounded(colour_scores(index, name, rgb, limit)) for name, rgb in queries]
        per_colour.append(rounded)
        weakest_or_strongest = np.minimum if match == "all" else np.maximum
        both = rounded[0].copy() if len(rounded) > 1 else rounded[0]
        for other in rounded[1:]:
            weakest_or_strongest(both, other, out=both)
        combined.append(both)
    scores = np.concatenate(combined) if len(combined) > 1 else combined[0] if combined else np.zeros(0)
    hits = np.flatnonzero((scores > 0) & (scores >= min_share)) if min_share else np.flatnonzero(scores > 0)
    summary.matched = len(hits)
    if top is not None and top < len(hits):
        # Only the scores from the top-th highest on can be among the first `top`: sort those alone.
        kth = np.partition(scores[hits], len(hits) - top)[len(hits) - top]
        hits = hits[scores[hits] >= kth]
    order = hits[np.lexsort((hits, -scores[hits]))][:top]
    starts = np.cumsum([0] + [index.size for _, index in indexes])
    for rank, position in enumerate(order, 1):
        file_number = int(np.searchsorted(starts, position, side="right") - 1)
        index, image = indexes[file_number][1], int(position - starts[file_number])
        summary.hits.append({
            "rank": rank, "score": float(scores[position]),
            "scores": {name: float(per_colour[file_number][q][image]) for q, (name, _) in enumerate(queries)},
            "path": index.path(image), "colors": _hit_colours(index, image),
        })
    return summary
