"""One catalogue record: the analysis of one image file, run on a worker.

This module is what a Dask worker imports to analyse an image; it needs no
Dask itself.  A record holds only plain JSON values, so what travels back to
the client is small whatever the size of the image.
"""

import os
import time
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from chromalens._text import hex_code, one_line
from chromalens.colors import css_names
from chromalens.io import read_image

__all__ = ["Options", "analyze_file", "analyze_files", "blank_record", "plain", "set_thread_limit"]

# (targets, detailed, similarity_threshold, max_side, use_alpha), as analyze() got them.
Options = Tuple[Optional[Mapping[str, Any]], bool, float, Optional[int], bool]

# Native threads one analysis may use in this process: set on each worker so
# that workers x threads match the cores of its machine.  None: leave alone.
_thread_limit: Optional[int] = None
_applied_limit: Optional[int] = None
_controller: Any = None


def set_thread_limit(threads: Optional[int]) -> None:
    global _thread_limit
    _thread_limit = threads


def plain(value: Any) -> Any:
    """`value` with NumPy scalars and arrays, tuples and lists turned into JSON's own types."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [plain(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    return value


def _limit_threads() -> None:
    """Hold the native thread pools (BLAS, OpenMP, OpenCV) to this worker's share of the cores."""
    global _applied_limit, _controller
    if _thread_limit is None or _thread_limit == _applied_limit:
        return
    import cv2
    from threadpoolctl import ThreadpoolController

    if _controller is None:
        _controller = ThreadpoolController()
    _controller.limit(limits=_thread_limit)
    cv2.setNumThreads(_thread_limit)
    _applied_limit = _thread_limit


def _quiet_opencv() -> None:
    # OpenCV warns on stderr about each file it cannot decode; the record says it in one line.
    import cv2

    cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_ERROR)


def blank_record(path: str, options: Options, error: Optional[str] = None) -> Dict[str, Any]:
    """A record of `path` with its keys in order and nothing analysed yet (or, with `error`, a failure)."""
    targets, detailed = options[0], options[1]
    record: Dict[str, Any] = {"path": path, "width": None, "height": None, "colors": None}
    if targets is not None:
        record["matches" if detailed else "similarity"] = None
    record["error"] = error
    record["seconds"] = None
    return record


def analyze_file(path: str, extractor: Any, options: Options, name: Optional[str] = None) -> Dict[str, Any]:
    """Read and analyse the image at `path` (recorded as `name`); failures become the record's "error"."""
    targets, detailed, threshold, max_side, use_alpha = options
    started = time.perf_counter()
    record = blank_record(path if name is None else name, options)
    try:
        import warnings

        from sklearn.exceptions import ConvergenceWarning

        _limit_threads()
        _quiet_opencv()
        # OpenCV cannot open a file name without a UTF-8 form (its binding may crash on one).
        os.fspath(path).encode("utf-8")
        image, mask = read_image(os.fspath(path), use_alpha=use_alpha, max_side=max_side)
        record["height"], record["width"] = int(image.shape[0]), int(image.shape[1])
        with warnings.catch_warnings():
            # k-means finding fewer distinct colours than asked: the record simply lists fewer.
            warnings.simplefilter("ignore", ConvergenceWarning)
            colors = extractor.extract_colors(image, mask)
            record["colors"] = [{"color": plain(c["color"]), "percentage": plain(c["percentage"]),
                                 "hex": hex_code(c["color"]), "name": name}
                                for c, name in zip(colors, css_names([c["color"] for c in colors]))]
            if targets is not None and detailed:
                record["matches"] = plain(extractor.find_color_matches(image, dict(targets), mask))
            elif targets is not None:
                record["similarity"] = plain(
                    extractor.analyze_color_similarity(image, dict(targets), mask, threshold))
    except Exception as error:  # any failure of this one image is its record's answer
        record["error"] = one_line(error)
    record["seconds"] = round(time.perf_counter() - started, 6)
    return record


def analyze_files(files: Sequence[Tuple[str, str]], extractor: Any, options: Options) -> List[Dict[str, Any]]:
    """The records of several images, one task's worth: (path, name) pairs as `analyze_file` takes them."""
    return [analyze_file(path, extractor, options, name) for path, name in files]
