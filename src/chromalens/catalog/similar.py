"""Images whose palettes look like another's: the earth mover's distance between weighted palettes.

The distance moves one palette's shares onto the other's at the least total
cost, a unit of share costing the LAB distance it travels (the extractor's
distance), with each palette's shares scaled to sum to one.  Each is a small
transportation problem; a batch of them is solved as one linear program by
SciPy's HiGHS solver (the problems share no variable, so each keeps its own
optimum).  Solving it for every image would take long, so three bounds the
distance never falls below, each closer and costlier than the one before,
rule out most images first: the distance between the palettes' mean colours
(`_centre_bounds`, every image), each share's distance to the other palette's
nearest colour (`_reach_bounds`), and each share moved to the other
palette's colours nearest first, none taking more than its own share
(`_transfer_bounds`).  An image is solved only while its bounds are within
the worst of the best images found so far, in the order of its bounds.
"""

from __future__ import annotations

import heapq
import os
import re
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from chromalens.catalog.index import Index
from chromalens.colors import lab_codes

__all__ = ["like_hits", "palette_distances"]

# Candidates taken in the first round by the first bound (four times as many each round after).
_FIRST_ROUND = 256
# Candidates given the third bound at once, in the order of the second.
_WINDOW = 256
# Candidates whose exact distance is computed at once (one linear program), in the order of the third.
_BATCH = 32
# Images whose third bound is computed in one set of arrays (images x colours x colours).
_BOUND_CHUNK = 4096


def palette_distances(lab: np.ndarray, share: np.ndarray,
                      others: Sequence[Tuple[np.ndarray, np.ndarray]]) -> np.ndarray:
    """The earth mover's distance from one palette (LAB rows, shares in any scale) to each of `others`."""
    from scipy.optimize import linprog
    from scipy.sparse import csr_array

    weights = np.asarray(share, np.float64) / np.sum(share)
    n = len(weights)
    costs, rows, columns, totals, spans = [], [], [], [], []
    variables = constraints = 0
    for other_lab, other_share in others:
        m = len(other_share)
        cost = np.sqrt(((lab.astype(np.float64)[:, None, :] - other_lab.astype(np.float64)[None, :, :]) ** 2).sum(2))
        flow = variables + np.arange(n * m)  # flow from colour i to colour j is variable i * m + j
        into = np.tile(np.arange(m), n)
        last = into == m - 1  # one column total follows from the others
        rows += [constraints + np.repeat(np.arange(n), m), constraints + n + into[~last]]
        columns += [flow, flow[~last]]
        totals += [weights, (np.asarray(other_share, np.float64) / np.sum(other_share))[:-1]]
        costs.append(cost.ravel())
        spans.append((variables, variables + n * m))
        variables += n * m
        constraints += n + m - 1
    if not spans:
        return np.zeros(0)
    objective = np.concatenate(costs)
    equations = csr_array((np.ones(sum(len(r) for r in rows)), (np.concatenate(rows), np.concatenate(columns))),
                          shape=(constraints, variables))
    solved = linprog(objective, A_eq=equations, b_eq=np.concatenate(totals), bounds=(0, None), method="highs")
    if solved.x is None:
        raise RuntimeError(f"the earth mover's distance could not be computed: {solved.message}")
    return np.array([objective[a:b] @ solved.x[a:b] for a, b in spans])


def _find(indexes: List[Tuple[str, Index]], image: str) -> Optional[Tuple[int, int]]:
    """(file number, image) of the record of `image` in the results, by the path it was recorded with."""
    target = os.path.realpath(image)
    for number, (results, index) in enumerate(indexes):
        blob = index.arrays["path_bytes"].data  # searched where it lies (a copy would cost more)
        forms = {image, os.path.normpath(image), os.path.abspath(image)}
        for base in (os.getcwd(), os.path.dirname(os.path.abspath(results))):
            forms.add(os.path.relpath(target, base))
        offsets = index.arrays["path_offsets"]
        for form in forms:
            encoded = form.encode("utf-8", "surrogatepass")
            for found in re.finditer(re.escape(encoded), blob):
                i = int(np.searchsorted(offsets, found.start()))
                if i < index.size and offsets[i] == found.start() and offsets[i + 1] == found.end():
                    return number, i
    return None


def _query_palette(indexes: List[Tuple[str, Index]], image: str) -> Tuple[np.ndarray, np.ndarray, Any]:
    """LAB rows and shares of `image`'s palette, and its place in the results (None when analysed here)."""
    found = _find(indexes, image)
    if found is not None:
        index = indexes[found[0]][1]
        rows = index.rows(found[1])
        return np.asarray(index.lab[rows]), np.asarray(index.share[rows]), found
    if not os.path.isfile(image):
        raise FileNotFoundError(f"no such image: {image} (and the results do not record it)")
    from chromalens import ColorExtractor, read_image

    picture, mask = read_image(image)
    colours = ColorExtractor().extract_colors(picture, mask)
    rgb = np.array([c["color"] for c in colours], np.uint8).reshape(-1, 3)
    return lab_codes(rgb), np.array([c["percentage"] for c in colours], np.float64), None


def _centre_bounds(index: Index, lab: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """The distance between each image's mean colour and the palette's: its distance is never below
    (moving shares moves their mean by no more than they travel).  NaN for images without colours."""
    centre = (lab.astype(np.float64) * weights[:, None]).sum(axis=0)
    squared = np.zeros(index.size)
    for channel in range(3):  # a channel at a time: two arrays of one value per image in all
        difference = index.centroid[:, channel] - centre[channel]
        difference *= difference
        squared += difference
    return np.sqrt(squared, out=squared)


def _reach_bounds(index: Index, images: np.ndarray, lab: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """A closer bound for `images`: the larger of two sums, each share times its distance to the
    nearest colour of the other palette (that share travels at least that far), from either side."""
    begin, end = index.color_offsets[images], index.color_offsets[images + 1]
    counts = end - begin
    rows = np.repeat(begin - np.cumsum(counts) + counts, counts) + np.arange(int(counts.sum()))
    owner = np.repeat(np.arange(len(images)), counts)
    own_share = index.share[rows] / np.bincount(owner, weights=index.share[rows], minlength=len(images))[owner]
    # Squared distances stay whole numbers until the few square roots at the end.
    nearest = np.full(len(rows), np.iinfo(np.int32).max, np.int32)
    reach = np.zeros(len(images))
    starts = np.cumsum(counts) - counts
    planes = index.lab[rows].T.astype(np.int32)  # gathered once for every colour of the palette
    squared, difference = np.empty(len(rows), np.int32), np.empty(len(rows), np.int32)
    for colour, weight in zip(lab.tolist(), weights):
        np.subtract(planes[0], colour[0], out=squared)
        squared *= squared
        for channel in (1, 2):
            np.subtract(planes[channel], colour[channel], out=difference)
            difference *= difference
            squared += difference
        np.minimum(nearest, squared, out=nearest)
        reach += weight * np.sqrt(np.minimum.reduceat(squared, starts).astype(np.float64))
    spread = np.bincount(owner, weights=own_share * np.sqrt(nearest.astype(np.float64)), minlength=len(images))
    bound: np.ndarray = np.maximum(spread, reach)
    return bound


def _transfer_bounds(index: Index, images: np.ndarray, lab: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """A closer bound for `images`, the larger of two, one from either side: each colour's share
    moved to the other palette's colours nearest first, none taking more than its own share (the
    distance with only one side's totals kept, which can only be shorter)."""
    bounds = np.zeros(len(images))
    for start in range(0, len(images), _BOUND_CHUNK):  # a chunk at a time: images x colours x colours
        part = images[start:start + _BOUND_CHUNK]
        begin = index.color_offsets[part]
        counts = index.color_offsets[part + 1] - begin
        slots = np.arange(int(counts.max()))
        present = slots < counts[:, None]
        rows = np.where(present, begin[:, None] + slots, 0)
        share = np.where(present, index.share[rows], 0.0)
        share /= share.sum(axis=1, keepdims=True)
        difference = index.lab[rows].astype(np.float64)[:, None, :, :] - lab.astype(np.float64)[None, :, None, :]
        cost = np.sqrt((difference * difference).sum(axis=3))  # chunk x query colours x image colours
        into_image = _nearest_first(cost, np.broadcast_to(weights, cost.shape[:2]), share)
        into_query = _nearest_first(cost.transpose(0, 2, 1), share, np.broadcast_to(weights, share.shape[:1] + weights.shape))
        bounds[start:start + len(part)] = np.maximum(into_image, into_query)
    return bounds


def _nearest_first(cost: np.ndarray, supply: np.ndarray, capacity: np.ndarray) -> np.ndarray:
    """Per problem (first axis): the cost of moving each supply (axis 1) to the targets (axis 2)
    nearest first, each target taking at most its capacity from each supply."""
    order = np.argsort(cost, axis=2)
    cost = np.take_along_axis(cost, order, axis=2)
    room = np.take_along_axis(np.broadcast_to(capacity[:, None, :], cost.shape), order, axis=2)
    before = np.cumsum(room, axis=2) - room  # what the nearer targets take first
    flow = np.clip(supply[:, :, None] - before, 0.0, room)
    moved: np.ndarray = (flow * cost).sum(axis=(1, 2))
    return moved


def _place(starts: np.ndarray, position: int) -> Tuple[int, int]:
    """(file number, image) of a position among the images of all files."""
    number = int(np.searchsorted(starts, position, side="right") - 1)
    return number, int(position - starts[number])


class _Nearest:
    """The images nearest to one palette found so far, and the work of finding them."""

    def __init__(self, indexes: List[Tuple[str, Index]], lab: np.ndarray, share: np.ndarray,
                 max_distance: Optional[float], wanted: int) -> None:
        self.indexes, self.lab, self.share = indexes, lab, share
        self.weights = share / share.sum()
        self.max_distance, self.wanted = max_distance, wanted
        self.starts = np.cumsum([0] + [index.size for _, index in indexes])
        self.best: List[Tuple[float, int, int]] = []  # heap of (-rounded distance, -position, position)

    def worst(self) -> float:
        """The distance beyond which no image can enter the best (a rounded distance can tie the
        worst kept one from 0.005 below)."""
        best, max_distance = self.best, self.max_distance
        if max_distance is not None and (len(best) < self.wanted or -best[0][0] > max_distance):
            return max_distance + 0.005 + 1e-9
        return -best[0][0] + 0.005 + 1e-9 if len(best) >= self.wanted else np.inf

    def bounds(self, bound: Any, positions: np.ndarray) -> np.ndarray:
        """`bound` of the images at `positions` (among the images of all files)."""
        values = np.zeros(len(positions))
        places = np.searchsorted(self.starts, positions, side="right") - 1
        for number, (_, index) in enumerate(self.indexes):
            mine = places == number
            if mine.any():
                values[mine] = bound(index, positions[mine] - self.starts[number], self.lab, self.weights)
        return values

    def solve(self, positions: np.ndarray) -> None:
        """The exact distances of the images at `positions`, kept among the best."""
        from chromalens.catalog.query import round2

        places = np.searchsorted(self.starts, positions, side="right") - 1
        for number, (_, index) in enumerate(self.indexes):
            mine = positions[places == number]
            if len(mine) == 0:
                continue
            palettes = [(index.lab[index.rows(i)], index.share[index.rows(i)]) for i in mine - self.starts[number]]
            distances = round2(palette_distances(self.lab, self.share, palettes))
            for position, distance in zip(mine.tolist(), distances.tolist()):
                if self.max_distance is not None and distance > self.max_distance:
                    continue
                entry = (-distance, -position, position)
                if len(self.best) < self.wanted:
                    heapq.heappush(self.best, entry)
                elif entry > self.best[0]:
                    heapq.heapreplace(self.best, entry)

    def refine(self, candidates: np.ndarray) -> None:
        """Solves those `candidates` that the closer bounds leave in, in the order of those bounds."""
        reach = self.bounds(_reach_bounds, candidates)
        ordered = np.lexsort((candidates, reach))
        candidates, reach = candidates[ordered], reach[ordered]
        start = 0
        while start < len(candidates) and reach[start] <= self.worst():
            window = candidates[start:start + _WINDOW][reach[start:start + _WINDOW] <= self.worst()]
            closer = self.bounds(_transfer_bounds, window)
            ordered = np.lexsort((window, closer))
            window, closer = window[ordered], closer[ordered]
            at = 0
            while at < len(window) and closer[at] <= self.worst():
                self.solve(window[at:at + _BATCH][closer[at:at + _BATCH] <= self.worst()])
                at += _BATCH
            start += _WINDOW


def like_hits(indexes: List[Tuple[str, Index]], image: str, max_distance: Optional[float],
              top: Optional[int]) -> List[Dict[str, Any]]:
    """The images nearest to `image`'s palette, nearest first (ties: earlier record), as search hits."""
    lab, share, itself = _query_palette(indexes, image)
    if len(share) == 0 or not share.sum() > 0:
        raise ValueError(f"{image} has no colours to compare")
    bounds = np.concatenate([_centre_bounds(index, lab, share / share.sum()) for _, index in indexes]) \
        if indexes else np.zeros(0)
    bounds[np.isnan(bounds)] = np.inf  # images without colours are never near
    nearest = _Nearest(indexes, lab, share, max_distance, len(bounds) if top is None else top)
    if itself is not None:
        bounds[nearest.starts[itself[0]] + itself[1]] = np.inf
    # The images nearest by the first bound first, in growing rounds, until enough are found:
    # the worst of them then rules out every image whose first bound is beyond it.
    done = ~np.isfinite(bounds)
    size = max(nearest.wanted, _FIRST_ROUND)
    while not np.isfinite(nearest.worst()) and not done.all():
        count = min(int((~done).sum()), size)
        ahead = np.where(done, np.inf, bounds)
        batch = np.argpartition(ahead, count - 1)[:count] if count < len(ahead) else np.flatnonzero(~done)
        done[batch] = True
        nearest.refine(batch)
        size *= 4
    if np.isfinite(nearest.worst()):
        nearest.refine(np.flatnonzero(~done & (bounds <= nearest.worst())))
    return _hits(indexes, nearest.starts, nearest.best)


def _hits(indexes: List[Tuple[str, Index]], starts: np.ndarray,
          best: List[Tuple[float, int, int]]) -> List[Dict[str, Any]]:
    """The images kept, nearest first (ties: earlier record), as search hits."""
    from chromalens.catalog.query import _hit_colours

    hits = []
    for rank, (negative, _, position) in enumerate(sorted(best, reverse=True), 1):
        number, i = _place(starts, position)
        index = indexes[number][1]
        hits.append({"rank": rank, "distance": -negative, "path": index.path(i), "colors": _hit_colours(index, i)})
    return hits
