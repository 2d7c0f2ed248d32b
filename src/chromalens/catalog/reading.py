"""Reading a results file for search and the report: whole lines, problems told by line number.

Each line is decoded into a `Record` with only the keys these need (others
are ignored) and checked as it is decoded (by msgspec): colour components
0..255, shares at least 0.  A line that does not fit is skipped and told,
with the reason.  A file that ``batch`` is still writing may end in a
partial line: it is left for the next reading, and told.  Lines are decoded
a block at a time, as one JSON array: far quicker than a call per line.
"""

from __future__ import annotations

from typing import Annotated, Dict, Iterator, List, Optional, Tuple

import msgspec
import numpy as np

__all__ = ["Colour", "Match", "Record", "ResultsReader"]

BLOCK_BYTES = 4 << 20
Byte = Annotated[int, msgspec.Meta(ge=0, le=255)]
Share = Annotated[float, msgspec.Meta(ge=0)]


class Colour(msgspec.Struct, gc=False):
    color: Tuple[Byte, Byte, Byte]
    percentage: Share


class Match(msgspec.Struct, gc=False):
    """A per-pixel match entry (``batch --detailed``)."""

    very_close_percentage: Share
    close_percentage: Share
    total_percentage: Share
    closest_pixel: Tuple[Byte, Byte, Byte]
    min_distance: Share


class Record(msgspec.Struct, gc=False):
    path: str
    colors: Optional[List[Colour]] = None
    matches: Optional[Dict[str, Optional[Match]]] = None
    error: Optional[str] = None


_line_decoder = msgspec.json.Decoder(Record)


class ResultsReader:
    """The records of `path` from byte `start` on (line numbers from `first_line`), in file order.

    After ``blocks()`` has run to its end: `end` is the offset just past the
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

    def _decode(self, text: memoryview, first: int, count: int) -> List[Record]:
        """The records of the `count` whole lines of `text` (the first numbered `first`) that hold one."""
        try:  # commonly every line is a record: the whole block at once
            records: List[Record] = _line_decoder.decode_lines(text)
            if len(records) == count:  # else a blank line, or one that held two values
                return records
        except msgspec.DecodeError:  # some line does not fit: find which, one by one
            pass
        decoded = []
        for number, line in enumerate(bytes(text).split(b"\n")[:-1], first):
            if not line.strip():
                continue  # a blank line is no record, and no harm
            try:
                decoded.append(_line_decoder.decode(line))
            except msgspec.DecodeError as error:
                reason = str(error).replace("`$.", "`").replace(" - at `$`", "")
                self.problems.append(f"line {number}: not a catalogue record ({reason}); skipped")
        return decoded

    def blocks(self) -> Iterator[List[Record]]:
        # One buffer serves every block (and one array its line ends): fresh memory for each
        # block cost a page fault per page, more than reading.
        buffer = bytearray(BLOCK_BYTES)
        line_ends = np.empty(len(buffer), np.bool_)
        held = 0  # bytes of a partial line at the start of the buffer
        with open(self.path, "rb", buffering=0) as stream:
            stream.seek(self.end)
            while True:
                if held == len(buffer):  # a line longer than the buffer: make room
                    buffer += bytes(len(buffer))
                    line_ends = np.empty(len(buffer), np.bool_)
                with memoryview(buffer) as free:
                    got = stream.readinto(free[held:])
                if not got:
                    break
                filled = held + got
                cut = buffer.rfind(b"\n", 0, filled) + 1
                if cut:
                    # (NumPy counts the line ends about twice as fast as bytearray.count)
                    np.equal(np.frombuffer(buffer, np.uint8, cut), 10, out=line_ends[:cut])
                    first, count = self.lines + 1, int(np.count_nonzero(line_ends[:cut]))
                    self.lines += count
                    self.end += cut
                    with memoryview(buffer) as whole:
                        records = self._decode(whole[:cut], first, count)
                    yield records
                    buffer[:filled - cut] = buffer[cut:filled]
                held = filled - cut
        self.seen = self.end + held
        if held:
            self.incomplete = self.lines + 1
