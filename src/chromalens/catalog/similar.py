"""Images whose palettes look like another's: the earth mover's distance between weighted palettes.

The distance moves one palette's shares onto the other's at the least total
cost, a unit of share costing the LAB distance it travels (the extractor's
distance), with each palette's shares scaled to sum to one.  Each is a small
transportation problem; a batch of them is solved as one linear program by
SciPy's HiGHS solver (the problems share no variable, so each keeps its own
optimum).  Solving it for every image would take long, so images are taken
in the order of a bound their distance never falls below (see
`_lower_bounds`); once the bound passes the worst of the best images found,
no other image can enter them.
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
        forms = {image, os.path.normpath(image), os.path.abspath(image)}
        for base in (os.getcwd(), os.path.dirname(os.path.abspath(results))):
            forms.add(os.path.relpath(target, base))
        blob = index.arrays["path_bytes"].tobytes()
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


def _lower_bounds(index: Index, lab: np.ndarray, share: np.ndarray) -> np.ndarray:
    """For each image, a value its distance to the palette (`lab`, `share`) is never below.

    The largest of three: the distance between the mean colours; the share of
    each of the image's colours times its distance to the nearest colour of
    the palette, summed (that share travels at least that far); and the same
    from the palette's side.
    """
    if index.size == 0:
        return np.zeros(0)
    weights = share / share.sum()
    centre = (lab.astype(np.float64) * weights[:, None]).sum(axis=0)
    totals = np.bincount(index.owner, weights=index.share, minlength=index.size)
    with np.errstate(invalid="ignore", divide="ignore"):
        own_weights = index.share / totals[index.owner]
    nearest = np.full(len(index.owner), np.inf)
    reach = np.zeros(index.size)
    starts = index.color_offsets[:-1]
    has_colours = index.color_offsets[1:] > starts
    for colour, weight in zip(lab, weights):
        distance = np.sqrt(squared_distances(index.lab, colour).astype(np.float64))
        np.minimum(nearest, distance, out=nearest)
        if len(distance):
            closest = np.minimum.reduceat(distance, np.minimum(starts, len(distance) - 1))
            reach += weight * np.where(has_colours, closest, np.inf)
    spread = np.bincount(index.owner, weights=own_weights * nearest, minlength=index.size)
    bound = np.maximum(np.sqrt(((index.centroid - centre) ** 2).sum(axis=1)), np.maximum(spread, reach))
    bound[~(totals > 0)] = np.nan
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
    starts = np.cumsum([0] + [index.size for _, index in indexes])
    bounds = np.concatenate([_lower_bounds(index, lab, share) for _, index in indexes]) if indexes else np.zeros(0)
    bounds[np.isnan(bounds)] = np.inf  # images without colours are never near
    if itself is not None:
        bounds[starts[itself[0]] + itself[1]] = np.inf
    wanted = len(bounds) if top is None else top
    best: List[Tuple[float, int, int]] = []  # heap of (-rounded distance, -position, position)

    def worst() -> float:
        if max_distance is not None and (len(best) < wanted or -best[0][0] > max_distance):
            return max_distance
        return -best[0][0] if len(best) >= wanted else np.inf

    done = np.zeros(len(bounds), bool)
    size = _FIRST_ROUND
    while True:
        count = min(size, len(bounds))
        candidates = np.argpartition(bounds, count - 1)[:count] if count < len(bounds) else np.arange(count)
        candidates = candidates[np.lexsort((candidates, bounds[candidates]))]
        candidates = candidates[~done[candidates]]
        # A rounded distance can tie the worst kept one from 0.005 below.
        reachable = np.isfinite(bounds[candidates]) & (bounds[candidates] <= worst() + 0.005 + 1e-9)
        batch = candidates[reachable]
        done[batch] = True
        places = [_place(starts, position) for position in batch]
        distances = round2(palette_distances(lab, share, [
            (indexes[number][1].lab[rows], indexes[number][1].share[rows])
            for number, rows in ((n, indexes[n][1].rows(i)) for n, i in places)]))
        for position, distance in zip(batch, distances):
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
