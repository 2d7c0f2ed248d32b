"""A report page of a catalogue: a folder that opens from disk, with no server.

``build_report(results, folder)`` writes ``index.html``, ``data.js`` (the
images, palettes with LAB codes and CSS names, failures), ``assets/`` and
``thumbs/``.  The page lists the images in the order of the results, as
``search`` does, and ranks them by a picked colour with search's scores.
"""

from __future__ import annotations

import base64
import json
import os
import shutil
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, List, Optional, Sequence, Union

import numpy as np

__all__ = ["build_report", "Report", "ReportError"]

ASSETS = os.path.join(os.path.dirname(__file__), "assets")
_MARKER = os.path.join("assets", "report.js")


class ReportError(Exception):
    """The report cannot be written where asked."""


@dataclass
class Report:
    """What a report holds: `images` shown, `failed` error records listed, thumbnails `made`,
    `kept` from before and `missing` (image not found or unreadable), and `problems` (lines skipped)."""

    index: str
    images: int = 0
    failed: int = 0
    made: int = 0
    kept: int = 0
    missing: int = 0
    problems: List[str] = field(default_factory=list)
    notes: List[str] = field(default_factory=list)


def _check_folder(folder: str) -> None:
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise ReportError(f"{folder} is a file, not a folder")
    if os.path.isdir(folder) and os.listdir(folder) and not os.path.isfile(os.path.join(folder, _MARKER)):
        raise ReportError(f"{folder} holds other files and no report: give a new or empty folder")
    parent = os.path.dirname(os.path.abspath(folder))
    if not os.path.isdir(parent):
        raise ReportError(f"cannot write the report in {folder}: folder {parent} does not exist")


def _base64(array: np.ndarray) -> str:
    return base64.b64encode(np.ascontiguousarray(array).tobytes()).decode("ascii")


def _page_data(indexes: Sequence[Any], thumbs: List[Optional[str]], title: str,
               problems: List[str]) -> Dict[str, Any]:
    from chromalens.colors import css_names
    from chromalens.lab_tables import lab_tables

    rgb = np.concatenate([index.rgb for _, index in indexes]) if indexes else np.zeros((0, 3), np.uint8)
    packed = (rgb[:, 0].astype(np.int64) << 16) | (rgb[:, 1].astype(np.int64) << 8) | rgb[:, 2]
    distinct, which = np.unique(packed, return_inverse=True)
    nearest = css_names(np.stack([distinct >> 16, (distinct >> 8) & 255, distinct & 255], 1))
    css = sorted(set(nearest))
    name_number = np.array([css.index(n) for n in nearest], np.int64)
    offsets, start = [np.zeros(1, np.int64)], 0
    for _, index in indexes:
        offsets.append(index.color_offsets[1:] + start)
        start += len(index.rgb)
    lab = np.concatenate([index.lab for _, index in indexes]) if indexes else np.zeros((0, 3), np.uint8)
    share = np.concatenate([index.share for _, index in indexes]) if indexes else np.zeros(0)
    return {
        "title": title,
        "paths": [index.path(i) for _, index in indexes for i in range(index.size)],
        "thumbs": thumbs,
        # Numbers as little-endian binary in base64: decoded far quicker than as JSON numbers.
        "offsets": _base64(np.concatenate(offsets).astype("<i4")),
        "rgb": _base64(rgb),
        "lab": _base64(lab),
        "shares": _base64(share.astype("<f8")),
        "names": _base64(name_number[which.ravel()].astype("<u2")),
        "cssNames": css,
        "failed": [list(f) for _, index in indexes for f in index.failures()],
        "problems": problems,
        "labTables": lab_tables(),
    }


def build_report(results: Union[str, "os.PathLike[str]", Sequence[Union[str, "os.PathLike[str]"]]],
                 folder: Union[str, "os.PathLike[str]"], *, thumb_side: int = 256, title: Optional[str] = None,
                 scheduler: Optional[str] = None, workers: Optional[int] = None,
                 progress: Optional[Callable[[int], Callable[[bool], None]]] = None) -> Report:
    """Writes the report of `results` (files ``batch`` wrote) into `folder`; returns what it holds.

    Thumbnails (longer side `thumb_side`) are made on a Dask cluster: the
    scheduler at `scheduler`, or a local one of `workers` processes (default:
    one per core), started only when some thumbnail is missing.  A record's
    image is looked for at its recorded path, then beside its results file.
    `progress(total)` may return a function called as each thumbnail is done.
    Raises ReportError when `folder` cannot take the report, OSError when
    results cannot be read.
    """
    from chromalens.catalog.query import open_results
    from chromalens.report.thumbnails import run_thumbnails, source_file, thumbnail_name

    if isinstance(thumb_side, bool) or not isinstance(thumb_side, int) or not 16 <= thumb_side <= 4096:
        raise ValueError(f"thumb_side must be an integer from 16 to 4096, got {thumb_side!r}")
    folder = os.fspath(folder)
    _check_folder(folder)
    indexes, summary = open_results(results)
    report = Report(os.path.join(folder, "index.html"), images=summary.images, failed=summary.failed,
                    problems=summary.problems, notes=summary.notes)
    os.makedirs(os.path.join(folder, "thumbs"), exist_ok=True)
    os.makedirs(os.path.join(folder, "assets"), exist_ok=True)

    thumbs: List[Optional[str]] = []
    jobs = []
    pending = set()
    for results_path, index in indexes:
        for i in range(index.size):
            source = source_file(index.path(i), results_path)
            if source is None:
                thumbs.append(None)
                continue
            name = thumbnail_name(source, thumb_side)
            thumbs.append(f"thumbs/{name}")
            target = os.path.join(folder, "thumbs", name)
            if os.path.exists(target):
                report.kept += 1
            elif target not in pending:  # an image recorded twice gets one thumbnail
                pending.add(target)
                jobs.append((source, target))
    errors: Dict[str, str] = {}
    if jobs:
        done = progress(len(jobs)) if progress else (lambda failed: None)
        errors = run_thumbnails(jobs, thumb_side, scheduler, workers, done)
    report.made = len(jobs) - len(errors)
    unreadable = {os.path.basename(target) for target in errors}
    thumbs = [None if t is None or os.path.basename(t) in unreadable else t for t in thumbs]
    report.missing = sum(t is None for t in thumbs)
    current = {os.path.basename(t) for t in thumbs if t}
    for name in os.listdir(os.path.join(folder, "thumbs")):
        if name not in current:  # a thumbnail of an image no longer listed, or changed since
            os.remove(os.path.join(folder, "thumbs", name))

    for asset in ("report.js", "report.css"):
        shutil.copyfile(os.path.join(ASSETS, asset), os.path.join(folder, "assets", asset))
    shutil.copyfile(os.path.join(ASSETS, "index.html"), report.index)
    default_title = "Colours of " + ", ".join(os.path.basename(os.fspath(p)) for p, _ in indexes)
    data = _page_data(indexes, thumbs, title or default_title, summary.problems)
    text = json.dumps(data, separators=(",", ":"))
    with open(os.path.join(folder, "data.js"), "w", encoding="utf-8") as out:
        # A JSON text inside a string: parsed faster than the same object as script.
        out.write("window.CHROMALENS_REPORT = JSON.parse(" + json.dumps(text) + ");\n")
    return report
