"""One catalogue record: the analysis of one image file, run on a worker.

This module is what a Dask worker imports to analyse an image; it needs no
Dask itself.  A record holds only plain JSON values, so what travels back to
the client is small whatever the size of the image.
"""

import contextlib
import dataclasses
import json
import os
import threading
import time
import warnings
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from chromalens._text import hex_code, one_line
from chromalens._threads import native_threads
from chromalens.colors import css_names

if TYPE_CHECKING:
    from chromalens.io._limits import PixelLimitError

__all__ = ["Options", "analyze_file", "analyze_files", "blank_record", "plain", "running_images",
           "setting_values", "time_limit_error"]

# A catalogue's own limits per image: what a large camera photo needs, far
# less than a file's header may claim (read_image's own limit is Pillow's,
# 179 megapixels, about 12 GB of analysis), and a time beyond which an image
# is stopped rather than waited for.
MAX_PIXELS = 50_000_000
MAX_SECONDS = 600.0


@dataclasses.dataclass(frozen=True)
class Options:
    """How the images of one run are analysed, as analyze() got them."""

    targets: Optional[Mapping[str, Tuple[Any, Any, Any]]] = None
    detailed: bool = False
    threshold: float = 50.0
    max_side: Optional[int] = None
    use_alpha: bool = True
    max_pixels: Optional[int] = MAX_PIXELS
    max_seconds: Optional[float] = MAX_SECONDS
    # Native threads per analysis: one number for every worker, or the number
    # for each host; a worker of another host takes its cores over its threads.
    threads: Union[int, Mapping[str, int], None] = None
    # Errors name the limits as the command line's options rather than analyze()'s arguments.
    command_line: bool = False


def plain(value: Any) -> Any:
    """`value` with NumPy scalars and arrays, tuples and lists turned into JSON's own types."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [plain(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    return value


def setting_values(extractor: Any, options: Options) -> Dict[str, Any]:
    """The settings that shape a record's values, as plain JSON: a results file keeps them
    with every record, so a resumed run can tell whether it would analyse the same way."""
    from chromalens.color_extractor_cy import ColorExtractor  # loaded on first use: the command line starts fast

    settings: Dict[str, Any] = {}
    cls = type(extractor)
    if cls is not ColorExtractor:
        settings["extractor"] = f"{cls.__module__}.{cls.__qualname__}"
    try:
        algorithm, lab_space, n_colors, preprocessing = extractor.__reduce__()[2][:4]
        settings.update(n_colors=n_colors, algorithm=algorithm, preprocessing=bool(preprocessing),
                        lab_space=bool(lab_space))
    except Exception:  # a subclass with a pickled form of its own: its class name says what it is
        pass
    settings.update(max_side=options.max_side, use_alpha=options.use_alpha,
                    targets=None if options.targets is None else plain(dict(options.targets)),
                    detailed=options.detailed,
                    similarity_threshold=options.threshold if options.targets is not None and not options.detailed
                    else None)
    return settings


def blank_record(path: str, options: Options, error: Optional[str] = None,
                 identity: Optional[str] = None, settings: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    """A record of `path` with its keys in order and nothing analysed yet (or, with `error`, a failure)."""
    record: Dict[str, Any] = {"path": path, "real_path": identity, "width": None, "height": None,
                              "colors": None}
    if options.targets is not None:
        record["matches" if options.detailed else "similarity"] = None
    record["error"] = error
    record["seconds"] = None
    record["settings"] = settings
    return record


# --- limits named for whoever reads the record ------------------------------------------------

def _limit(options: Options, name: str) -> Tuple[str, str]:
    """How the limit `name` ("max_pixels", "max_seconds") is given, and how it is lifted."""
    if options.command_line:
        option = "--" + name.replace("_", "-")
        return option, f"pass {option} with a larger number, or {option} 0 to lift the limit"
    return name, f"pass a larger {name}, or {name}=None to lift the limit"


def _limit_error(path: str, error: "PixelLimitError", options: Options) -> str:
    name, lift = _limit(options, "max_pixels")
    if error.declared is None:
        lifted = f"{name} 0" if options.command_line else f"{name}=None"
        return (f"Could not load image from {path}: not a recognised image file (if OpenCV reads its format, "
                f"pass {lifted} to decode it without checking its size first)")
    width, height = error.declared
    return (f"Could not load image from {path}: its header declares {width} x {height} = {width * height:,} "
            f"pixels, more than the limit of {error.limit:,} (a possible decompression bomb); {lift}")


def time_limit_error(options: Options) -> str:
    """The error of a record whose analysis was stopped at the time limit."""
    name, lift = _limit(options, "max_seconds")
    return f"stopped after {options.max_seconds:g} s, the time {name} allows per image; {lift}"


# --- native threads, for one task ------------------------------------------------------

def _threads_here(threads: Union[int, Mapping[str, int], None]) -> Optional[int]:
    """The native threads of an analysis on this worker (a number per host: its own, or its
    cores over its worker threads)."""
    if threads is None or isinstance(threads, int):
        return threads
    from distributed import get_worker

    worker = get_worker()
    host = worker.address.rsplit(":", 1)[0]
    if host in threads:
        return threads[host]
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        cores = os.cpu_count() or 1
    return max(1, cores // max(1, worker.state.nthreads))


# --- what runs, for the time limit ----------------------------------------------------------
#
# An analysis holds the GIL in native code for as long as it takes, so the worker itself cannot
# answer while it runs.  Each image being analysed is written down as a small file in the
# worker's own folder, where its nanny (a process of its own, always free to answer) reads it.

RUNNING_FOLDER = "chromalens-running"


def _worker_folder() -> Optional[str]:
    """The local folder of the Dask worker running this code, None outside a worker."""
    try:
        from distributed import get_worker

        return get_worker().local_directory
    except (ImportError, ValueError):
        return None


def running_images(dask_worker: Any) -> List[Tuple[str, str, float]]:
    """Run on a nanny: (task key, path, seconds so far) of each image its worker process is
    analysing now."""
    folder = dask_worker.worker_dir
    if not folder:
        return []
    folder = os.path.join(folder, RUNNING_FOLDER)
    now, running = time.time(), []
    try:
        names = os.listdir(folder)
    except OSError:  # no image analysed yet, or the worker gone
        return []
    for name in names:
        try:
            with open(os.path.join(folder, name), encoding="utf-8") as file:
                key, path, started = json.load(file)
        except (OSError, ValueError):  # finished meanwhile
            continue
        running.append((key, path, now - started))
    return running


@contextlib.contextmanager
def _running_as(key: Optional[str], path: str) -> Iterator[None]:
    folder = None if key is None else _worker_folder()
    if folder is None:
        yield
        return
    folder = os.path.join(folder, RUNNING_FOLDER)
    os.makedirs(folder, exist_ok=True)
    note = os.path.join(folder, str(threading.get_ident()))
    # Written whole under another name and renamed, so that a nanny never reads half of it.
    with open(note + ".new", "w", encoding="utf-8") as file:
        json.dump([key, path, time.time()], file)
    os.replace(note + ".new", note)
    try:
        yield
    finally:
        with contextlib.suppress(OSError):
            os.remove(note)


# --- the analysis --------------------------------------------------------------------------

def _overrides(extractor: Any, *names: str) -> bool:
    from chromalens.color_extractor_cy import ColorExtractor

    return any(getattr(type(extractor), name) is not getattr(ColorExtractor, name) for name in names)


def _similarity(extractor: Any, image_colors: List[Dict[str, Any]], targets: Mapping[str, Any],
                threshold: float) -> Dict[str, Dict[str, Any]]:
    """What ``analyze_color_similarity`` returns, from colours already extracted, by the same
    steps: the closest colour by the extractor's own ``_find_closest_color`` and the same arithmetic."""
    if not image_colors:
        return {}
    results = {}
    for name, target_rgb in targets.items():
        closest_color, distance = extractor._find_closest_color(target_rgb, image_colors)
        if distance <= threshold:
            similarity = max(0, (threshold - distance) / threshold * 100)
            percentage = closest_color["percentage"] * (similarity / 100)
        else:
            similarity = percentage = 0
        results[name] = {"percentage": round(percentage, 2), "similarity": round(similarity, 2),
                         "closest_color": closest_color["color"], "distance": round(distance, 2),
                         "found_directly": distance < 10.0}
    return results


def analyze_file(path: str, extractor: Any, options: Options, name: Optional[str] = None,
                 identity: Optional[str] = None, settings: Optional[Dict[str, Any]] = None,
                 key: Optional[str] = None) -> Dict[str, Any]:
    """Read and analyse the image at `path` (recorded as `name`); failures become the record's "error"."""
    started = time.perf_counter()
    record = blank_record(path if name is None else name, options, identity=identity, settings=settings)
    targets = None if options.targets is None else dict(options.targets)
    try:
        from sklearn.exceptions import ConvergenceWarning

        from chromalens.io import read_image
        from chromalens.io._limits import PixelLimitError

        with _running_as(key, record["path"]):
            try:
                image, mask = read_image(os.fspath(path), use_alpha=options.use_alpha, max_side=options.max_side,
                                         max_pixels=options.max_pixels)
            except PixelLimitError as error:
                record["error"] = _limit_error(os.fspath(path), error, options)
                return record
            record["height"], record["width"] = int(image.shape[0]), int(image.shape[1])
            with warnings.catch_warnings():
                # k-means finding fewer distinct colours than asked: the record simply lists fewer.
                warnings.simplefilter("ignore", ConvergenceWarning)
                colors = extractor.extract_colors(image, mask)
                record["colors"] = [{"color": plain(c["color"]), "percentage": plain(c["percentage"]),
                                     "hex": hex_code(c["color"]), "name": css}
                                    for c, css in zip(colors, css_names([c["color"] for c in colors]))]
                if targets is not None and options.detailed:
                    record["matches"] = plain(extractor.find_color_matches(image, targets, mask))
                elif targets is not None and _overrides(extractor, "extract_colors", "analyze_color_similarity"):
                    record["similarity"] = plain(
                        extractor.analyze_color_similarity(image, targets, mask, options.threshold))
                elif targets is not None:
                    # The colours just extracted are those analyze_color_similarity would extract again.
                    record["similarity"] = plain(_similarity(extractor, colors, targets, options.threshold))
    except Exception as error:  # any failure of this one image is its record's answer
        record["error"] = one_line(error)
    finally:
        record["seconds"] = round(time.perf_counter() - started, 6)
    return record


def analyze_files(files: Sequence[Tuple[str, str, str]], extractor: Any, options: Options,
                  settings: Optional[Dict[str, Any]] = None, key: Optional[str] = None) -> List[Dict[str, Any]]:
    """The records of several images, one task's worth: (path to read, path to record, real path)."""
    # Set for the task and put back after it: a worker of a shared cluster is left as it was found.
    with native_threads(_threads_here(options.threads)):
        return [analyze_file(path, extractor, options, name, identity, settings, key)
                for path, name, identity in files]
