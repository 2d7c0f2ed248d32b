"""A catalogue's results file: one JSON record per line, appended whole, read back to resume.

A record's identity is the real path of its file (every symbolic link
resolved), so the same image is known whatever folder a run starts from and
whatever link leads to it.  Reading a file back keeps one record per image
and says what it dropped: lines that are no record, second records of an
image, and (when asked) the error records of images to try again.
"""

import dataclasses
import json
import os
import stat
import tempfile
from typing import Any, Dict, Iterator, List, NamedTuple, Set, Tuple

from chromalens.catalog.paths import real_path

__all__ = ["MAX_LINE", "Outcome", "Recorded", "ResultsError", "Tally", "differences", "identity", "outcome", "read_results",
           "write_record"]

# A line longer than this is no record (a thousand colours take ~70 KB).
MAX_LINE = 16 * 1024 * 1024


class ResultsError(Exception):
    """The results file cannot be continued."""


def identity(path: str) -> str:
    """The key of the image at `path`: its real path, in the platform's case."""
    return os.path.normcase(real_path(path))


class Outcome(NamedTuple):
    failed: bool
    with_target: bool


def outcome(record: Dict[str, Any]) -> Outcome:
    if record.get("error") is not None:
        return Outcome(True, False)
    similarity = record.get("similarity") or {}
    matches = record.get("matches") or {}
    found = any(entry.get("similarity", 0) > 0 for entry in similarity.values()) or \
        any(entry.get("total_percentage", 0) > 0 for entry in matches.values())
    return Outcome(False, found)


class Tally:
    """What the records of one run's images say, for the summary and the exit status."""

    def __init__(self) -> None:
        self.analysed = 0
        self.failed = 0
        self.with_target = 0

    def add(self, result: Outcome) -> None:
        if result.failed:
            self.failed += 1
        else:
            self.analysed += 1
            self.with_target += result.with_target


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _results_of(value: Any, field: str) -> bool:
    """None, or {name: {field: number, ...}} as the similarity and match records are."""
    return value is None or (isinstance(value, dict) and all(
        isinstance(entry, dict) and _is_number(entry.get(field, 0)) for entry in value.values()))


def _is_record(record: Any) -> bool:
    """A record this package wrote (or could have): the fields the summary and a resume read."""
    return (isinstance(record, dict) and isinstance(record.get("path"), str)
            and isinstance(record.get("real_path", ""), (str, type(None)))
            and "error" in record and isinstance(record["error"], (str, type(None)))
            and (record["error"] is not None or isinstance(record.get("colors"), list))
            and _results_of(record.get("similarity"), "similarity")
            and _results_of(record.get("matches"), "total_percentage")
            and isinstance(record.get("settings", {}), (dict, type(None))))


@dataclasses.dataclass
class Recorded:
    """What a results file holds, once read: one outcome per image, the settings its records
    were made with, and the line numbers of what was dropped, by reason."""

    outcomes: Dict[str, Outcome] = dataclasses.field(default_factory=dict)
    settings: List[Dict[str, Any]] = dataclasses.field(default_factory=list)
    malformed: List[int] = dataclasses.field(default_factory=list)
    duplicates: List[int] = dataclasses.field(default_factory=list)
    retried: List[int] = dataclasses.field(default_factory=list)
    cut_short: bool = False  # the last line was partial (an interrupted write)


def _lines(stream: Any) -> Iterator[Tuple[int, bytes, bool]]:
    """(number, line, whole) of each line, a line longer than MAX_LINE given as b"" (not whole)."""
    number = 0
    while True:
        line = stream.readline(MAX_LINE + 1)
        if not line:
            return
        number += 1
        if len(line) > MAX_LINE:
            while line and not line.endswith(b"\n"):  # skip the rest of it
                line = stream.readline(MAX_LINE + 1)
            yield number, b"", bool(line)
            continue
        yield number, line, line.endswith(b"\n")


def _open_regular(path: str) -> int:
    # O_NONBLOCK: a FIFO must not block the open before it can be refused.
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise ResultsError(f"{path} is not a regular file; not continuing it")
    return descriptor


def read_results(path: str, retry_failed: bool = False) -> Recorded:
    """Read `path` back and rewrite it with one record per image (the first one without an
    error, else the first), dropping what `Recorded` lists and a partial last line."""
    found = Recorded()
    chosen: Dict[str, Tuple[int, bool]] = {}  # identity -> (line kept, whether it is an error record)
    settings: Set[str] = set()
    with os.fdopen(_open_regular(path), "rb") as stream:
        for number, line, whole in _lines(stream):
            if not whole:
                found.cut_short = line != b""  # a partial last line; an endless one is malformed
                if not found.cut_short:
                    found.malformed.append(number)
                break
            try:
                record = json.loads(line)
            except ValueError:
                record = None
            if not _is_record(record):
                found.malformed.append(number)
                continue
            key = os.path.normcase(record.get("real_path") or real_path(record["path"]))
            failed = record["error"] is not None
            if failed and retry_failed:
                found.retried.append(number)
                continue
            if key in chosen and (chosen[key][1] and not failed):
                found.duplicates.append(chosen[key][0])  # a failure, then a success: keep the success
            elif key in chosen:
                found.duplicates.append(number)
                continue
            chosen[key] = (number, failed)
            found.outcomes[key] = outcome(record)
            if record.get("settings") is not None:
                settings.add(json.dumps(record["settings"], sort_keys=True))
    found.settings = [json.loads(text) for text in sorted(settings)]
    if found.malformed or found.duplicates or found.retried or found.cut_short:
        _rewrite(path, {number for number, _ in chosen.values()})
    return found


def _rewrite(path: str, keep: Set[int]) -> None:
    """Replace `path` by its lines numbered in `keep`, through a new file renamed over it."""
    target = real_path(path)  # a link to the results file stays a link
    folder = os.path.dirname(target)
    mode = stat.S_IMODE(os.stat(target).st_mode)
    handle, temporary = tempfile.mkstemp(prefix=".", suffix=".partial", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out, open(target, "rb") as stream:
            for number, line, whole in _lines(stream):
                if whole and number in keep:
                    out.write(line)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def differences(recorded: Dict[str, Any], wanted: Dict[str, Any]) -> List[Tuple[str, Any, Any]]:
    """(setting, recorded value, wanted value) of each setting that differs."""
    names = list(dict.fromkeys(list(wanted) + list(recorded)))
    return [(name, recorded.get(name), wanted.get(name)) for name in names if recorded.get(name) != wanted.get(name)]


def write_record(fd: int, record: Dict[str, Any]) -> None:
    # One write per record: an interruption leaves whole lines, and at most
    # the last one partial.
    data = memoryview((json.dumps(record) + "\n").encode("utf-8"))
    while data:
        data = data[os.write(fd, data):]
