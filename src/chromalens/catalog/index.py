"""The search index of a results file, kept beside it and never stale.

``RESULTS.index`` holds what a colour search needs of each analysed image in
flat arrays (paths, palette colours as RGB and 8-bit LAB, shares, per-pixel
match bands), so that later searches map it instead of parsing JSON.  It
records the results file's identity (device, inode, size, modification time)
and digests of the first and last 64 KiB it covers: when the file has only
grown (``batch --resume``, a run still writing), the new lines are added;
when anything else changed, it is built anew.  A folder that cannot be
written to gets no index: the search then reads the file each time.
"""

from __future__ import annotations

import gc
import hashlib
import json
import mmap
import os
import tempfile
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from chromalens.catalog.reading import Match, Record, ResultsReader
from chromalens.colors import lab_codes

__all__ = ["Index", "open_index", "INDEX_SUFFIX"]

INDEX_SUFFIX = ".index"
_MAGIC = b"chromalens search index\n"
_VERSION = 3
_DIGEST_BYTES = 64 << 10
_ALIGN = 64


class Index:
    """The images of one results file as arrays.

    Image i has palette rows ``color_offsets[i]:color_offsets[i + 1]`` of
    `rgb`, `lab` and `share` (its colours in record order); `owner` gives
    each row's image.  ``matches[name]`` holds, for a per-pixel target
    `name`, ``(bands, closest, min_distance)``: bands N x 3 (shares within 15,
    30, 50; NaN where an image has no such entry), closest pixels N x 3, and
    distances N.
    """

    def __init__(self, header: Dict[str, Any], arrays: Dict[str, np.ndarray], keep: Any = None) -> None:
        self.header = header
        self.arrays = arrays
        self._keep = keep  # the mapping the arrays view, when loaded from a file
        self.size = len(arrays["color_offsets"]) - 1
        self.color_offsets = arrays["color_offsets"]
        self.owner = arrays["owner"]
        self.rgb = arrays["rgb"]
        self.lab = arrays["lab_planes"].T  # each channel contiguous: distances go a channel at a time
        self.share = arrays["share"]
        self.centroid = arrays["centroid"]
        self.matches = {name: (arrays[f"bands.{name}"], arrays[f"closest.{name}"], arrays[f"min.{name}"])
                        for name in header["match_names"]}

    @property
    def failed(self) -> int:
        return (len(self.arrays["failure_offsets"]) - 1) // 2

    def failures(self) -> List[Tuple[str, str]]:
        """(path, error) of each error record, in file order."""
        offsets, data = self.arrays["failure_offsets"], self.arrays["failure_bytes"]
        texts = [_string(offsets, data, i) for i in range(len(offsets) - 1)]
        return list(zip(texts[0::2], texts[1::2]))

    @property
    def problems(self) -> List[str]:
        problems = list(self.header["problems"])
        if self.header["incomplete"] is not None:
            problems.append(f"line {self.header['incomplete']}: incomplete (still being written?); skipped")
        return problems

    def path(self, i: int) -> str:
        return _string(self.arrays["path_offsets"], self.arrays["path_bytes"], i)

    def rows(self, i: int) -> slice:
        """Image i's palette rows."""
        return slice(int(self.color_offsets[i]), int(self.color_offsets[i + 1]))

    def palette(self, i: int) -> List[Dict[str, Any]]:
        """Image i's colours as colour info records: "color" (a list) and "percentage"."""
        rows = self.rows(i)
        return [{"color": rgb, "percentage": share} for rgb, share in zip(self.rgb[rows].tolist(),
                                                                          self.share[rows].tolist())]


# ---------------------------------------------------------------------------
# Building
# ---------------------------------------------------------------------------
class _Columns:
    """Records gathered into lists, then into the index's arrays."""

    def __init__(self) -> None:
        self.paths: List[str] = []
        self.counts: List[int] = []
        self.rgb: List[int] = []
        self.shares: List[float] = []
        self.matches: Dict[str, List[Tuple[int, Match]]] = {}
        self.failures: List[str] = []  # path, error, path, error ...

    def add(self, block: List[Tuple[int, Record]]) -> None:
        """One block of records, whole lists at a time (a loop per record would cost more than decoding)."""
        good = [record for _, record in block if record.error is None]
        self.failures += [text for _, r in block if r.error is not None for text in (r.path, r.error)]
        first = len(self.paths)
        self.paths += [r.path for r in good]
        self.counts += [len(r.colors) if r.colors else 0 for r in good]
        self.rgb += [v for r in good if r.colors for c in r.colors for v in c.color]
        self.shares += [c.percentage for r in good if r.colors for c in r.colors]
        for image, record in enumerate(good, first):
            if record.matches:
                for name, entry in record.matches.items():
                    if entry is not None:
                        self.matches.setdefault(name, []).append((image, entry))

    def arrays(self) -> Dict[str, np.ndarray]:
        counts = np.array(self.counts, np.int64)
        images = len(counts)
        rgb = np.array(self.rgb, np.uint8).reshape(-1, 3)
        share = np.array(self.shares, np.float64)
        path_offsets, path_bytes = _strings(self.paths)
        failure_offsets, failure_bytes = _strings(self.failures)
        color_offsets = np.zeros(images + 1, np.int64)
        np.cumsum(counts, out=color_offsets[1:])
        owner = np.repeat(np.arange(images, dtype=np.int32), counts)
        lab = lab_codes(rgb)
        arrays = {
            "path_offsets": path_offsets, "path_bytes": path_bytes,
            "failure_offsets": failure_offsets, "failure_bytes": failure_bytes,
            "color_offsets": color_offsets, "owner": owner, "rgb": rgb, "lab_planes": np.ascontiguousarray(lab.T),
            "share": share,
            "centroid": _centroids(lab, share, owner, images),
        }
        for name, entries in self.matches.items():
            bands = np.full((images, 3), np.nan)
            closest = np.zeros((images, 3), np.uint8)
            distance = np.full(images, np.nan)
            for image, entry in entries:
                bands[image] = (entry.very_close_percentage, entry.close_percentage, entry.total_percentage)
                closest[image] = entry.closest_pixel
                distance[image] = entry.min_distance
            arrays[f"bands.{name}"], arrays[f"closest.{name}"], arrays[f"min.{name}"] = bands, closest, distance
        return arrays


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


def _string(offsets: np.ndarray, data: np.ndarray, i: int) -> str:
    return data[offsets[i]:offsets[i + 1]].tobytes().decode("utf-8", "surrogatepass")


def _centroids(lab: np.ndarray, share: np.ndarray, owner: np.ndarray, images: int) -> np.ndarray:
    """Each image's LAB centroid weighted by share (NaN without a positive total share)."""
    total = np.bincount(owner, weights=share, minlength=images).astype(np.float64)  # (int64 when empty)
    centroid = np.stack([np.bincount(owner, weights=share * lab[:, c], minlength=images) for c in range(3)],
                        1).astype(np.float64).reshape(images, 3)
    with np.errstate(invalid="ignore", divide="ignore"):
        centroid /= total[:, None]
    centroid[~(total > 0)] = np.nan
    return centroid


def _concatenate(old: Index, new: Dict[str, np.ndarray]) -> Dict[str, np.ndarray]:
    """The arrays of `old` followed by those of the images read after it."""
    images, rows, path_bytes = old.size, len(old.rgb), len(old.arrays["path_bytes"])
    added = len(new["color_offsets"]) - 1
    names = set(old.header["match_names"]) | {k.split(".", 1)[1] for k in new if k.startswith("bands.")}
    out = {
        "path_offsets": np.concatenate([old.arrays["path_offsets"], new["path_offsets"][1:] + path_bytes]),
        "path_bytes": np.concatenate([old.arrays["path_bytes"], new["path_bytes"]]),
        "failure_offsets": np.concatenate([old.arrays["failure_offsets"],
                                           new["failure_offsets"][1:] + len(old.arrays["failure_bytes"])]),
        "failure_bytes": np.concatenate([old.arrays["failure_bytes"], new["failure_bytes"]]),
        "color_offsets": np.concatenate([old.color_offsets, new["color_offsets"][1:] + rows]),
        "owner": np.concatenate([old.owner, new["owner"] + images]),
    }
    for key in ("rgb", "share", "centroid"):
        out[key] = np.concatenate([old.arrays[key], new[key]])
    out["lab_planes"] = np.concatenate([old.arrays["lab_planes"], new["lab_planes"]], axis=1)
    for name in names:  # a target measured in only one of the two parts: blank in the other
        for key, width, fill in ((f"bands.{name}", 3, np.nan), (f"closest.{name}", 3, 0), (f"min.{name}", 0, np.nan)):
            dtype = np.uint8 if key.startswith("closest") else np.float64
            parts = []
            for arrays, count in ((old.arrays, images), (new, added)):
                shape: Tuple[int, ...] = (count, width) if width else (count,)
                parts.append(arrays[key] if key in arrays else np.full(shape, fill, dtype))
            out[key] = np.concatenate(parts)
    return out


# ---------------------------------------------------------------------------
# The file beside the results
# ---------------------------------------------------------------------------
def _identity(path: str, end: int, seen: int) -> Dict[str, Any]:
    """What tells the results file read up to `seen` (whole lines up to `end`) from any other."""
    status = os.stat(path)
    with open(path, "rb") as stream:
        head = stream.read(min(end, _DIGEST_BYTES))
        stream.seek(max(0, end - _DIGEST_BYTES))
        tail = stream.read(end - max(0, end - _DIGEST_BYTES))
    return {"dev": status.st_dev, "ino": status.st_ino, "size": seen, "mtime_ns": status.st_mtime_ns,
            "end": end, "head": hashlib.sha1(head).hexdigest(), "tail": hashlib.sha1(tail).hexdigest()}


def _save(index_path: str, header: Dict[str, Any], arrays: Dict[str, np.ndarray]) -> None:
    """Writes the index to a temporary file in the same folder, then puts it in place at once."""
    layout: Dict[str, Any] = {}
    offset = 0
    for name, array in arrays.items():
        layout[name] = [array.dtype.str, list(array.shape), offset]
        offset += -(-array.nbytes // _ALIGN) * _ALIGN
    text = json.dumps(dict(header, arrays=layout)).encode("utf-8")
    start = -(-(len(_MAGIC) + 8 + len(text)) // _ALIGN) * _ALIGN
    folder = os.path.dirname(os.path.abspath(index_path))
    handle, temporary = tempfile.mkstemp(prefix=".index-", dir=folder)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(_MAGIC + len(text).to_bytes(8, "little") + text)
            for name, array in arrays.items():
                stream.seek(start + layout[name][2])
                stream.write(np.ascontiguousarray(array).tobytes())
            stream.truncate(start + offset)
        os.replace(temporary, index_path)
    except BaseException:
        os.unlink(temporary)
        raise


def _load(index_path: str) -> Optional[Index]:
    """The index in `index_path`, or None when there is none that this version reads."""
    try:
        with open(index_path, "rb") as stream:
            view = mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
    except (OSError, ValueError):
        return None
    try:
        if view[:len(_MAGIC)] != _MAGIC:
            return None
        length = int.from_bytes(view[len(_MAGIC):len(_MAGIC) + 8], "little")
        header = json.loads(view[len(_MAGIC) + 8:len(_MAGIC) + 8 + length])
        if header.get("version") != _VERSION:
            return None
        start = -(-(len(_MAGIC) + 8 + length) // _ALIGN) * _ALIGN
        arrays = {}
        for name, (dtype, shape, offset) in header.pop("arrays").items():
            count = int(np.prod(shape))
            arrays[name] = np.frombuffer(view, np.dtype(dtype), count, start + offset).reshape(shape)
        return Index(header, arrays, keep=view)
    except (ValueError, KeyError, TypeError):
        return None


def _read(path: str, start: int, first_line: int) -> Tuple[_Columns, ResultsReader]:
    reader = ResultsReader(path, start, first_line)
    columns = _Columns()
    # Millions of new objects, none in a cycle: the cycle collector would only
    # walk them again and again (it tripled the time).
    collecting = gc.isenabled()
    gc.disable()
    try:
        for block in reader.blocks():
            columns.add(block)
    finally:
        if collecting:
            gc.enable()
    return columns, reader


def _header(identity: Dict[str, Any], columns: _Columns, reader: ResultsReader, arrays: Dict[str, np.ndarray],
            old: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    return {
        "version": _VERSION, "source": identity, "lines": reader.lines,
        "problems": (old["problems"] if old else []) + reader.problems,
        "incomplete": reader.incomplete,
        "match_names": sorted(k.split(".", 1)[1] for k in arrays if k.startswith("bands.")),
    }


def open_index(results: str) -> Tuple[Index, Optional[str]]:
    """The index of the results file `results`, brought up to date; and a note when it cannot be kept.

    Raises OSError when `results` cannot be read.
    """
    index_path = results + INDEX_SUFFIX
    status = os.stat(results)
    old = _load(index_path)
    if old is not None:
        source = old.header["source"]
        same_file = (source["dev"], source["ino"]) == (status.st_dev, status.st_ino)
        unchanged = same_file and (source["size"], source["mtime_ns"]) == (status.st_size, status.st_mtime_ns)
        grown = same_file and status.st_size >= source["end"]
        covered = _identity(results, source["end"], source["size"]) if grown else None
        if covered is not None and (covered["head"], covered["tail"]) == (source["head"], source["tail"]):
            if unchanged:
                return old, None
            # The file grew: read the lines after the ones indexed.
            columns, reader = _read(results, source["end"], old.header["lines"] + 1)
            new = columns.arrays()
            arrays = _concatenate(old, new)
            header = _header(_identity(results, reader.end, reader.seen), columns, reader, arrays, old.header)
            return _keep(index_path, header, arrays)
    columns, reader = _read(results, 0, 1)
    arrays = columns.arrays()
    return _keep(index_path, _header(_identity(results, reader.end, reader.seen), columns, reader, arrays), arrays)


def _keep(index_path: str, header: Dict[str, Any], arrays: Dict[str, np.ndarray]) -> Tuple[Index, Optional[str]]:
    try:
        _save(index_path, header, arrays)
    except OSError as error:
        reason = error.strerror or type(error).__name__
        return Index(header, arrays), f"cannot keep an index beside the results ({index_path}: {reason})"
    return Index(header, arrays), None
