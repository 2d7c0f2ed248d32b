"""A catalogue's results file: one JSON record per line, appended whole, read back to resume."""

import json
import os
from typing import Any, Dict, Set

__all__ = ["ResultsError", "Tally", "read_results", "write_record", "path_key"]


class ResultsError(Exception):
    """The results file cannot be continued."""


def path_key(path: str) -> str:
    return os.path.normcase(os.path.abspath(path))


class Tally:
    """What the records of one results file say, for the summary and the exit status."""

    def __init__(self) -> None:
        self.analysed = 0
        self.failed = 0
        self.with_target = 0

    def add(self, record: Dict[str, Any]) -> None:
        if record.get("error") is not None:
            self.failed += 1
            return
        self.analysed += 1
        similarity = record.get("similarity") or {}
        matches = record.get("matches") or {}
        if any(entry.get("similarity", 0) > 0 for entry in similarity.values()) or \
                any(entry.get("total_percentage", 0) > 0 for entry in matches.values()):
            self.with_target += 1


def read_results(path: str, tally: Tally) -> Set[str]:
    """The images `path` records (normalised), dropping a partial last line from the file."""
    done: Set[str] = set()
    whole = 0
    with open(path, "rb") as results:
        for number, line in enumerate(results, 1):
            if not line.endswith(b"\n"):
                break  # cut short by an interruption: analysed again below
            try:
                record = json.loads(line)
                image = record["path"]
            except (ValueError, TypeError, KeyError):
                raise ResultsError(f"line {number} of {path} is not a catalogue record; not continuing it") from None
            whole += len(line)
            key = path_key(image)
            if key not in done:
                done.add(key)
                tally.add(record)
    if whole < os.path.getsize(path):
        os.truncate(path, whole)
    return done


def write_record(fd: int, record: Dict[str, Any]) -> None:
    # One write per record: an interruption leaves whole lines, and at most
    # the last one partial.
    data = memoryview((json.dumps(record) + "\n").encode("utf-8"))
    while data:
        data = data[os.write(fd, data):]
