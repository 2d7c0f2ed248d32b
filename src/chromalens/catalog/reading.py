"""Reading a results file for people: every whole line, problems told by line number, never a crash.

A file that ``batch`` is still writing may end in a partial line: it is left
for the next reading, and said.  A line that is no catalogue record (not JSON,
no "path") is skipped and said.  Lines are parsed many at a time: one JSON
document of a block of lines costs far less than a call per line.
"""

from __future__ import annotations

import json
from typing import Any, Dict, Iterator, List, Optional, Tuple

__all__ = ["ResultsReader"]

BLOCK_BYTES = 4 << 20


class ResultsReader:
    """The records of `path` from byte `start` on (line numbers from `first_line`), in file order.

    After ``records()`` has run to its end: `end` is the offset just past the
    last whole line, `seen` the offset where the file ended when it was read
    (past a partial last line), `lines` the number of the last whole line,
    `problems` the lines skipped (one sentence each), and `incomplete` the
    number of a partial last line, or None.
    """

    def __init__(self, path: str, start: int = 0, first_line: int = 1) -> None:
        self.path = path
        self.end = self.seen = start
        self.lines = first_line - 1
        self.problems: List[str] = []
        self.incomplete: Optional[int] = None

    def _skip(self, number: int, why: str) -> None:
        self.problems.append(f"line {number}: {why}; skipped")

    def _parse(self, lines: List[bytes], first: int) -> Iterator[Tuple[int, Dict[str, Any]]]:
        """(line number, record) of whole lines, trying the block as one document first."""
        values: Optional[List[Any]] = None
        if all(line.strip() for line in lines):
            try:
                values = json.loads(b"[" + b",".join(lines) + b"]")
            except ValueError:  # a bad line somewhere: find it line by line
                values = None
            if values is not None and len(values) != len(lines):
                values = None  # a line held two values ("{...},{...}")
        for offset, line in enumerate(lines):
            number = first + offset
            if values is not None:
                value = values[offset]
            elif not line.strip():
                continue  # a blank line is no record, and no harm
            else:
                try:
                    value = json.loads(line)
                except ValueError:
                    self._skip(number, "not JSON")
                    continue
            if not isinstance(value, dict) or not isinstance(value.get("path"), str):
                self._skip(number, "not a catalogue record (no \"path\")")
                continue
            yield number, value

    def records(self) -> Iterator[Tuple[int, Dict[str, Any]]]:
        with open(self.path, "rb") as stream:
            stream.seek(self.end)
            rest = b""
            while True:
                block = stream.read(BLOCK_BYTES)
                if not block:
                    break
                data = rest + block
                cut = data.rfind(b"\n") + 1
                rest = data[cut:]
                if not cut:
                    continue
                lines = data[:cut].split(b"\n")[:-1]
                first = self.lines + 1
                self.lines += len(lines)
                self.end += cut
                yield from self._parse(lines, first)
            self.seen = self.end + len(rest)
            if rest:
                self.incomplete = self.lines + 1
