"""Images whose palettes look like another's: the earth mover's distance between weighted palettes.

The distance moves one palette's shares onto the other's at the least total
cost, a unit of share costing the LAB distance it travels (the extractor's
distance), with each palette's shares scaled to sum to one.  Each is a small
transportation problem; a batch of them is solved as one linear program by
SciPy's HiGHS solver (the problems share no variable, so each keeps its own
optimum).  Solving it for every image would take long, so images are taken
in the order of a bound their distance never falls below (`_centre_bounds`),
and a closer bound (`_reach_bounds`) leaves out most of them before their
distance is computed; once the first bound passes the worst of the best
images found, no other image can enter them.
"""

from __future__ import annotations

import heapq
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

from chromalens.catalog.index import Index
from chromalens.colors import lab_codes, squared_distances

__all__ = ["like_hits", "palette_distances"]

# Candidates taken in the first round, in order of their bound (four times as many each round after).
_FIRST_ROUND = 64


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
        blob = index.arrays["path_bytes"].tobytes()
        forms = {image, os.path.normpath(image), os.path.abspath(image)}
        for base in (os.getcwd(), os.path.dirname(os.path.abspath(results))):
            forms.add(os.path.relpath(target, base))
        offsets = index.arrays["path_offsets"]
        for form in forms:
            encoded = form.encode("utf-8", "surrogatepass")
            at = blob.find(encoded)
            while at >= 0:
                i = int(np.searchsorted(offsets, at))
                if i < index.size and offsets[i] == at and offsets[i + 1] == at + len(encoded):
                    return number, i
                at = blob.find(encoded, at + 1)
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
    bound: np.ndarray = np.sqrt(((index.centroid - centre) ** 2).sum(axis=1))
    return bound


def _reach_bounds(index: Index, images: np.ndarray, lab: np.ndarray, weights: np.ndarray) -> np.ndarray:
    """A closer bound for a few `images`: the larger of two sums, each share times its distance to
    the nearest colour of the other palette (that share travels at least that far), from either side."""
    begin, end = index.color_offsets[images], index.color_offsets[images + 1]
    counts = end - begin
    rows = np.repeat(begin - np.cumsum(counts) + counts, counts) + np.arange(int(counts.sum()))
    owner = np.repeat(np.arange(len(images)), counts)
    own_share = index.share[rows] / np.bincount(owner, weights=index.share[rows], minlength=len(images))[owner]
    # Squared distances stay whole numbers until the few square roots at the end.
    nearest = np.full(len(rows), np.iinfo(np.int32).max, np.int32)
    reach = np.zeros(len(images))
    starts = np.cumsum(counts) - counts
    for colour, weight in zip(lab, weights):
        squared = squared_distances(index.lab[rows], colour)
        np.minimum(nearest, squared, out=nearest)
        reach += weight * np.sqrt(np.minimum.reduceat(squared, starts).astype(np.float64))
    spread = np.bincount(owner, weights=own_share * np.sqrt(nearest.astype(np.float64)), minlength=len(images))
    bound: np.ndarray = np.maximum(spread, reach)
    return bound


def _place(starts: np.ndarray, position: int) -> Tuple[int, int]:
    """(file number, image) of a position among the images of all files."""
    number = int(np.searchsorted(starts, position, side="right") - 1)
    return number, int(position - starts[number])


def like_hits(indexes: List[Tuple[str, Index]], image: str, max_distance: Optional[float],
              top: Optional[int]) -> List[Dict[str, Any]]:
    """The images nearest to `image`'s palette, nearest first (ties: earlier record), as search hits."""
    from chromalens.catalog.query import _hit_colours, round2

    lab, share, itself = _query_palette(indexes, image)
    if len(share) == 0 or not share.sum() > 0:
        raise ValueError(f"{image} has no colours to compare")
    weights = share / share.sum()
    starts = np.cumsum([0] + [index.size for _, index in indexes])
    bounds = np.concatenate([_centre_bounds(index, lab, weights) for _, index in indexes]) if indexes \
        else np.zeros(0)
    bounds[np.isnan(bounds)] = np.inf  # images without colours are never near
    if itself is not None:
        bounds[starts[itself[0]] + itself[1]] = np.inf
    wanted = len(bounds) if top is None else top
    best: List[Tuple[float, int, int]] = []  # heap of (-rounded distance, -position, position)

    def worst() -> float:
        # A rounded distance can tie the worst kept one from 0.005 below.
        if max_distance is not None and (len(best) < wanted or -best[0][0] > max_distance):
            return max_distance + 0.005 + 1e-9
        return -best[0][0] + 0.005 + 1e-9 if len(best) >= wanted else np.inf

    done = np.zeros(len(bounds), bool)
    size = min(wanted, _FIRST_ROUND)
    while True:
        count = min(size, len(bounds))
        candidates = np.argpartition(bounds, count - 1)[:count] if count < len(bounds) else np.arange(count)
        candidates = candidates[np.lexsort((candidates, bounds[candidates]))]
        candidates = candidates[~done[candidates]]
        reachable = np.isfinite(bounds[candidates]) & (bounds[candidates] <= worst())
        batch = candidates[reachable]
        done[batch] = True
        places = np.searchsorted(starts, batch, side="right") - 1
        limit = worst()
        for number, (_, index) in enumerate(indexes):
            mine = batch[places == number]
            if len(mine) == 0:
                continue
            images = mine - starts[number]
            if np.isfinite(limit):  # the closer bound leaves out most before the costly distance
                keep = _reach_bounds(index, images, lab, weights) <= limit
                mine, images = mine[keep], images[keep]
            distances = round2(palette_distances(lab, share, [(index.lab[index.rows(i)], index.share[index.rows(i)])
                                                              for i in images]))
            for position, distance in zip(mine, distances):
                if max_distance is not None and distance > max_distance:
                    continue
                entry = (-float(distance), -int(position), int(position))
                if len(best) < wanted:
                    heapq.heappush(best, entry)
                elif entry > best[0]:
                    heapq.heapreplace(best, entry)
        if not reachable.all() or count == len(bounds):
            break
        size *= 4
    hits = []
    for rank, (negative, _, position) in enumerate(sorted(best, reverse=True), 1):
        number, i = _place(starts, position)
        index = indexes[number][1]
        hits.append({"rank": rank, "distance": -negative, "path": index.path(i), "colors": _hit_colours(index, i)})
    return hits
