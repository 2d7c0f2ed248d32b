"""Catalogues: many image files analysed on a Dask cluster, one record per image.

``analyze(paths, ...)`` sends the paths to the workers, which read each image
(`read_image`) and run the extractor on it there, and yields one small record
per image as results arrive.  Images that take little time go several to a
task, so that Dask's cost per task stays small beside the analysis.  Without
`client`, a local cluster of one single-threaded worker process per core is
started for the run and closed after it.  The client never holds an image,
and it keeps only a bounded window of tasks in flight, so its memory stays
flat however many paths there are (the paths may come from a generator).

A record is a dictionary of plain JSON values, keys in this order: "path",
"real_path" (every symbolic link resolved: the image's identity), "width",
"height" (of the image as analysed), "colors" (``[{"color": [r, g, b],
"percentage": p, "hex": "#rrggbb", "name": nearest CSS name}, ...]``),
"similarity" (with `targets`) or "matches" (with `targets` and `detailed`),
"error" (None, or one line saying why the image could not be analysed),
"seconds" (time on the worker) and "settings" (how it was analysed).  The
analysis values are those the extractor's methods return for ``read_image``
of the file.  A worker that dies loses nothing: its image is retried on
another worker, and an image that kills workers again and again gets an
error record; so does an image over the pixel or time limit.  Needs Dask
distributed: ``pip install 'chromalens[batch]'``.
"""
from typing import TYPE_CHECKING, Any

from chromalens.catalog.paths import IMAGE_EXTENSIONS, find_images

if TYPE_CHECKING:
    from chromalens.catalog.driver import analyze
    from chromalens.catalog.query import search

__all__ = ["analyze", "search", "find_images", "IMAGE_EXTENSIONS"]


def __getattr__(name: str) -> Any:
    # The driver needs Dask, which only running a catalogue does: importing
    # this package (for find_images, or on a worker) must not.
    if name == "analyze":
        from chromalens.catalog.driver import analyze

        return analyze
    if name == "search":
        from chromalens.catalog.query import search

        return search
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
