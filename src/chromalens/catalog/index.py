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
from typing import TYPE_CHECKING, Any, BinaryIO, Dict, List, Optional, Tuple

import numpy as np

if TYPE_CHECKING:  # building loads msgspec, which searching an index needs not
    from chromalens.catalog.columns import Array

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
# The file beside the results
# ---------------------------------------------------------------------------
def _string(offsets: np.ndarray, data: np.ndarray, i: int) -> str:
    """Text i of texts laid out as UTF-8 bytes and the offsets where each starts."""
    return data[offsets[i]:offsets[i + 1]].tobytes().decode("utf-8", "surrogatepass")


def _identity(path: str, end: int, seen: int) -> Dict[str, Any]:
    """What tells the results file read up to `seen` (whole lines up to `end`) from any other."""
    status = os.stat(path)
    with open(path, "rb") as stream:
        head = stream.read(min(end, _DIGEST_BYTES))
        stream.seek(max(0, end - _DIGEST_BYTES))
        tail = stream.read(end - max(0, end - _DIGEST_BYTES))
    return {"dev": status.st_dev, "ino": status.st_ino, "size": seen, "mtime_ns": status.st_mtime_ns,
            "end": end, "head": hashlib.sha1(head).hexdigest(), "tail": hashlib.sha1(tail).hexdigest()}


def _save(index_path: str, header: Dict[str, Any], arrays: Dict[str, Array]) -> Index:
    """Writes the index to a temporary file in the same folder, then puts it in place at once;
    returns it, mapped from the file written (whichever another search may put there after)."""
    layout: Dict[str, Any] = {}
    offset = 0
    for name, array in arrays.items():
        layout[name] = [array.dtype.str, list(array.shape), offset]
        offset += -(-sum(piece.nbytes for piece in array.pieces) // _ALIGN) * _ALIGN
    text = json.dumps(dict(header, arrays=layout)).encode("utf-8")
    start = -(-(len(_MAGIC) + 8 + len(text)) // _ALIGN) * _ALIGN
    import tempfile

    folder = os.path.dirname(os.path.abspath(index_path))
    handle, temporary = tempfile.mkstemp(prefix=".index-", dir=folder)
    try:
        with os.fdopen(handle, "w+b") as stream:
            stream.write(_MAGIC + len(text).to_bytes(8, "little") + text)
            for name, array in arrays.items():
                stream.seek(start + layout[name][2])
                for piece in array.pieces:
                    stream.write(np.ascontiguousarray(piece).data)
            stream.truncate(start + offset)
            stream.flush()
            index = _mapped(stream)
        if index is None:
            raise OSError(f"{temporary} did not read back")
        os.replace(temporary, index_path)
    except BaseException:
        os.unlink(temporary)
        raise
    return index


def _load(index_path: str) -> Optional[Index]:
    """The index in `index_path`, or None when there is none that this version reads."""
    try:
        with open(index_path, "rb") as stream:
            return _mapped(stream)
    except OSError:
        return None


def _mapped(stream: BinaryIO) -> Optional[Index]:
    """The index in the open file `stream`, mapped; None when it holds none that this version reads."""
    try:
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


def _build(results: str, old: Optional[Index] = None) -> Tuple[Index, Optional[str]]:
    """The index of `results` read whole, or `old` and the lines after those it holds; kept beside
    the results when the folder allows (else with a note saying why not)."""
    from chromalens.catalog.columns import block_arrays, laid_out
    from chromalens.catalog.reading import ResultsReader

    if old is None:
        reader = ResultsReader(results)
    else:
        reader = ResultsReader(results, old.header["source"]["end"], old.header["lines"] + 1)
    # Millions of new objects, none in a cycle: the cycle collector would only
    # walk them again and again (it tripled the time).
    collecting = gc.isenabled()
    gc.disable()
    try:
        parts = [block_arrays(block) for block in reader.blocks()] or [block_arrays([])]
    finally:
        if collecting:
            gc.enable()
    arrays = laid_out(parts if old is None else [dict(old.arrays), *parts])
    header = {
        "version": _VERSION, "source": _identity(results, reader.end, reader.seen), "lines": reader.lines,
        "problems": (old.header["problems"] if old else []) + reader.problems,
        "incomplete": reader.incomplete,
        "match_names": sorted(k.split(".", 1)[1] for k in arrays if k.startswith("bands.")),
    }
    index_path = results + INDEX_SUFFIX
    try:
        return _save(index_path, header, arrays), None
    except OSError as error:
        reason = error.strerror or type(error).__name__
        whole = {name: array.whole() for name, array in arrays.items()}
        return Index(header, whole), f"cannot keep an index beside the results ({index_path}: {reason})"


def open_index(results: str) -> Tuple[Index, Optional[str]]:
    """The index of the results file `results`, brought up to date; and a note when it cannot be kept.

    Raises OSError when `results` cannot be read.
    """
    status = os.stat(results)
    old = _load(results + INDEX_SUFFIX)
    if old is not None:
        source = old.header["source"]
        same_file = (source["dev"], source["ino"]) == (status.st_dev, status.st_ino)
        unchanged = same_file and (source["size"], source["mtime_ns"]) == (status.st_size, status.st_mtime_ns)
        grown = same_file and status.st_size >= source["end"]
        covered = _identity(results, source["end"], source["size"]) if grown else None
        if covered is not None and (covered["head"], covered["tail"]) == (source["head"], source["tail"]):
            # Unchanged: as it is; grown: read the lines after the ones indexed.
            return (old, None) if unchanged else _build(results, old)
    return _build(results)
