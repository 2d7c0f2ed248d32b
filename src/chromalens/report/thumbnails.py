"""Thumbnails of a report, made on a Dask cluster as ``batch`` runs its analyses.

A thumbnail is named by a digest of its image's real path, size, modification
time and the side asked for, so one that exists is current: a re-run makes only
the missing ones.  Images are read with ``read_image`` (transparent pixels
shown white) and written as JPEG files, each under a temporary name first.
"""

from __future__ import annotations

import contextlib
import hashlib
import os
from typing import Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from chromalens._text import one_line

__all__ = ["source_file", "thumbnail_name", "make_thumbnails", "run_thumbnails"]

JPEG_QUALITY = 82
BATCH = 16  # thumbnails a task


def source_file(recorded: str, results: str) -> Optional[str]:
    """The image file a record names: as recorded (from here), else beside the results file."""
    for candidate in (recorded, os.path.join(os.path.dirname(os.path.abspath(results)), recorded)):
        if os.path.isfile(candidate):
            return candidate
    return None


def thumbnail_name(source: str, side: int) -> str:
    status = os.stat(source)
    key = f"{os.path.realpath(source)}\0{status.st_size}\0{status.st_mtime_ns}\0{side}"
    return hashlib.sha1(key.encode("utf-8", "surrogatepass")).hexdigest()[:24] + ".jpg"


def make_thumbnails(jobs: Sequence[Tuple[str, str]], side: int) -> List[Optional[str]]:
    """Writes each (image, thumbnail path); returns None or one line saying why, per job."""
    import cv2

    from chromalens.io import read_image

    outcomes: List[Optional[str]] = []
    for source, target in jobs:
        try:
            image, mask = read_image(source, max_side=side)
            if mask is not None:
                image = np.where(mask[:, :, None] > 128, image, np.uint8(255))
            temporary = f"{target}.{os.getpid()}.tmp.jpg"
            if not cv2.imwrite(temporary, image, [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY]):
                raise OSError(f"cannot write {target}")
            os.replace(temporary, target)
            outcomes.append(None)
        except Exception as error:  # any image that cannot be shown is shown without a thumbnail
            outcomes.append(one_line(error))
    return outcomes


def run_thumbnails(jobs: List[Tuple[str, str]], side: int, scheduler: Optional[str], workers: Optional[int],
                   done: Callable[[bool], None]) -> Dict[str, str]:
    """Makes the thumbnails of `jobs` on the cluster (`scheduler`, or a local one of `workers`
    processes); calls `done(failed)` as each completes; returns {thumbnail path: error}."""
    from distributed import as_completed

    from chromalens.catalog.cluster import connect

    errors: Dict[str, str] = {}
    with contextlib.ExitStack() as stack:  # closes the client, and the local cluster it started
        client, _ = connect(stack, scheduler, workers)
        batches = [jobs[i:i + BATCH] for i in range(0, len(jobs), BATCH)]
        futures = {client.submit(make_thumbnails, batch, side, pure=False): batch for batch in batches}
        for future in as_completed(list(futures), loop=client.loop):  # type: ignore[no-untyped-call, unused-ignore]
            batch = futures.pop(future)
            try:
                outcomes = future.result()
            except Exception as error:  # the task itself failed: its images get no thumbnail
                outcomes = [f"thumbnail failed: {one_line(error)}"] * len(batch)
            future.release()
            for (_, target), outcome in zip(batch, outcomes):
                if outcome is not None:
                    errors[target] = outcome
                done(outcome is not None)
    return errors
