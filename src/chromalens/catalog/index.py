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

import hashlib
import json
import mmap
import os
import tempfile
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

from chromalens.catalog.reading import ResultsReader
from chromalens.colors import lab_codes

__all__ = ["Index", "open_index", "INDEX_SUFFIX"]

INDEX_SUFFIX = ".index"
_MAGIC = b"chromalens search index\n"
_VERSION = 1
_DIGEST_BYTES = 64 << 10
_ALIGN = 64
# Per-pixel match entries: shares within 15, 30 and 50, the closest pixel and its distance.
_BANDS = ("very_close_percentage", "close_percentage", "total_percentage")


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
        self.lab = arrays["lab"]
        self.share = arrays["share"]
        self.centroid = arrays["centroid"]
        self.matches = {name: (arrays[f"bands.{name}"], arrays[f"closest.{name}"], arrays[f"min.{name}"])
                        for name in header["match_names"]}

    @property
    def failed(self) -> int:
        return int(self.header["failed"])

    @property
    def problems(self) -> List[str]:
        problems = list(self.header["problems"])
        if self.header["incomplete"] is not None:
            problems.append(f"line {self.header['incomplete']}: incomplete (still being written?); skipped")
        return problems

    def path(self, i: int) -> str:
        offsets = self.arrays["path_offsets"]
        data = self.arrays["path_bytes"][offsets[i]:offsets[i + 1]].tobytes()
        return data.decode("utf-8", "surrogatepass")

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
        self.numbers: List[int] = []
        self.paths: List[str] = []
        self.counts: List[int] = []
        self.rgb: List[Any] = []
        self.shares: List[Any] = []
        self.matches: Dict[str, List[Tuple[int, Any]]] = {}
        self.failed = 0
        self.problems: List[str] = []

    def add(self, number: int, record: Dict[str, Any]) -> None:
        if record.get("error") is not None:
            self.failed += 1
            return
        colors = record.get("colors")
        try:
            count = 0
            rgb: List[Any] = []
            shares: List[Any] = []
            for entry in colors or ():
                red, green, blue = entry["color"]
                rgb += (red, green, blue)
                shares.append(entry["percentage"])
                count += 1
        except (KeyError, TypeError, ValueError):
            self.problems.append(f"line {number}: its \"colors\" are not colour entries; skipped")
            return
        image = len(self.paths)
        matches = record.get("matches")
        if isinstance(matches, dict):
            for name, entry in matches.items():
                self.matches.setdefault(name, []).append((image, entry))
        self.numbers.append(number)
        self.paths.append(record["path"])
        self.counts.append(count)
        self.rgb += rgb
        self.shares += shares

    def _palette_arrays(self) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
        """RGB rows, shares and the images whose values are out of range (checked all at once)."""
        counts = np.array(self.counts, np.int64)
        owner = np.repeat(np.arange(len(counts), dtype=np.int32), counts)
        try:
            rgb = np.array(self.rgb, np.float64).reshape(-1, 3)
            share = np.array(self.shares, np.float64)
        except (TypeError, ValueError):  # a text or a list among the numbers: find them one by one
            bad_rows = np.array([not _is_number(v) for v in self.rgb], bool).reshape(-1, 3).any(axis=1) | \
                np.array([not _is_number(v) for v in self.shares], bool)
            rgb = np.array([v if _is_number(v) else 0 for v in self.rgb], np.float64).reshape(-1, 3)
            share = np.array([v if _is_number(v) else 0 for v in self.shares], np.float64)
        else:
            bad_rows = np.zeros(len(share), bool)
        bad_rows |= ((rgb < 0) | (rgb > 255) | (rgb != np.floor(rgb))).any(axis=1)
        bad_rows |= ~np.isfinite(share) | (share < 0)
        return rgb, share, np.unique(owner[bad_rows])

    def arrays(self) -> Dict[str, np.ndarray]:
        rgb, share, bad = self._palette_arrays()
        counts = np.array(self.counts, np.int64)
        keep = np.ones(len(counts), bool)
        keep[bad] = False
        for image in bad:
            self.problems.append(f"line {self.numbers[image]}: a colour is not three values 0..255 with a "
                                 "share of at least 0; skipped")
        row_keep = np.repeat(keep, counts)
        rgb, share, counts = rgb[row_keep].astype(np.uint8), share[row_keep], counts[keep]
        new_number = np.cumsum(keep) - 1  # image index after the bad ones are dropped
        paths = [p.encode("utf-8", "surrogatepass") for p, k in zip(self.paths, keep) if k]
        path_offsets = np.zeros(len(paths) + 1, np.int64)
        np.cumsum([len(p) for p in paths], out=path_offsets[1:])
        color_offsets = np.zeros(len(counts) + 1, np.int64)
        np.cumsum(counts, out=color_offsets[1:])
        owner = np.repeat(np.arange(len(counts), dtype=np.int32), counts)
        lab = lab_codes(rgb)
        arrays = {
            "path_offsets": path_offsets,
            "path_bytes": np.frombuffer(b"".join(paths), np.uint8),
            "color_offsets": color_offsets, "owner": owner, "rgb": rgb, "lab": lab, "share": share,
            "centroid": _centroids(lab, share, owner, len(counts)),
        }
        for name, entries in self.matches.items():
            bands = np.full((len(counts), 3), np.nan)
            closest = np.zeros((len(counts), 3), np.uint8)
            distance = np.full(len(counts), np.nan)
            for image, entry in entries:
                if not keep[image]:
                    continue
                try:
                    values = [float(entry[key]) for key in _BANDS]
                    pixel = [int(v) for v in entry["closest_pixel"]]
                    gap = float(entry["min_distance"])
                except (KeyError, TypeError, ValueError):
                    continue  # not a per-pixel match entry: the palette decides for this image
                if len(pixel) == 3 and all(0 <= v <= 255 for v in pixel):
                    row = new_number[image]
                    bands[row], closest[row], distance[row] = values, pixel, gap
            arrays[f"bands.{name}"], arrays[f"closest.{name}"], arrays[f"min.{name}"] = bands, closest, distance
        return arrays


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _centroids(lab: np.ndarray, share: np.ndarray, owner: np.ndarray, images: int) -> np.ndarray:
    """Each image's LAB centroid weighted by share (NaN without a positive total share)."""
    total = np.bincount(owner, weights=share, minlength=images)
    centroid = np.stack([np.bincount(owner, weights=share * lab[:, c], minlength=images) for c in range(3)], 1)
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
        "color_offsets": np.concatenate([old.color_offsets, new["color_offsets"][1:] + rows]),
        "owner": np.concatenate([old.owner, new["owner"] + images]),
    }
    for key in ("rgb", "lab", "share", "centroid"):
        out[key] = np.concatenate([old.arrays[key], new[key]])
    for name in names:
        for key, blank in ((f"bands.{name}", (3, np.nan)), (f"closest.{name}", (3, 0)), (f"min.{name}", (0, np.nan))):
            width, fill = blank
            shape = lambda n: (n, width) if width else (n,)  # noqa: E731
            dtype = np.uint8 if key.startswith("closest") else np.float64
            first = old.arrays[key] if key in old.arrays else np.full(shape(images), fill, dtype)
            second = new[key] if key in new else np.full(shape(added), fill, dtype)
            out[key] = np.concatenate([first, second])
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
    for number, record in reader.records():
        columns.add(number, record)
    return columns, reader


def _header(identity: Dict[str, Any], columns: _Columns, reader: ResultsReader, arrays: Dict[str, np.ndarray],
            old: Optional[Dict[str, Any]] = None) -> Dict[str, Any]:
    return {
        "version": _VERSION, "source": identity, "lines": reader.lines,
        "failed": columns.failed + (old["failed"] if old else 0),
        "problems": (old["problems"] if old else []) + reader.problems + columns.problems,
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
        covered = _identity(results, source["end"], source["size"]) if same_file and status.st_size >= source["end"] else None
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
