"""Terminal output of the command line: the status line, colour swatches, tables."""

from __future__ import annotations

import os
import threading
import time
import warnings
from typing import Any, Callable, List, Optional, Sequence, TextIO, TypeVar

import numpy as np

from chromalens._text import hex_code, one_line

__all__ = ["Status", "supports_truecolor", "hex_code", "one_line", "swatch", "table", "json_default", "PROG",
           "is_terminal", "terminal_width", "colour_allowed"]

PROG = "chromalens"
_T = TypeVar("_T")


def is_terminal(stream: TextIO) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):
        return False


def _dumb_terminal() -> bool:
    """TERM=dumb: a terminal that understands no escape sequences."""
    return os.environ.get("TERM", "") == "dumb"


def _no_color() -> bool:
    """NO_COLOR set to any non-empty value turns colour off."""
    return bool(os.environ.get("NO_COLOR"))


def terminal_width(stream: TextIO, default: int = 80) -> int:
    try:
        columns = os.get_terminal_size(stream.fileno()).columns
    except (AttributeError, ValueError, OSError):
        columns = 0
    if columns <= 0:  # a terminal that reports no size (a bare pty): COLUMNS, else 80
        try:
            columns = int(os.environ.get("COLUMNS", ""))
        except ValueError:
            columns = 0
    return columns if columns > 0 else default


class Status:
    """A transient status line on stderr, shown only when stderr is a terminal.

    The line is cut to the terminal's width (a wrapped line could not be
    erased), and a step that runs longer than `LONG_STEP` seconds shows its
    elapsed seconds, updated every second.  On ``TERM=dumb`` the line is
    erased with spaces instead of an escape sequence.
    """

    LONG_STEP = 2.0
    TICK = 1.0

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.enabled = is_terminal(stream)
        self.plain = _dumb_terminal()
        self.shown = 0  # characters on the status line now, 0 when none
        self._lock = threading.Lock()

    def _line(self, message: str, elapsed: Optional[float]) -> str:
        suffix = f" {elapsed:.0f} s" if elapsed is not None else ""
        room = terminal_width(self.stream) - 1 - len(suffix)  # the last column would wrap on some terminals
        text = f"{PROG}: {message}..."
        if len(text) > room:
            text = text[: max(room - 3, 0)] + "..."
        return text[:max(room, 0)] + suffix

    def _show(self, line: str) -> None:
        with self._lock:
            self._erase()
            self.stream.write(line)
            self.stream.flush()
            self.shown = len(line)

    def _erase(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * self.shown + "\r" if self.plain else "\r\x1b[K")
            self.shown = 0

    def run(self, message: str, work: Callable[[], _T]) -> _T:
        """Runs `work` under the status line `message`.

        scikit-learn's warning that k-means found fewer distinct colours than
        requested is not shown: the result simply lists fewer colours.
        """
        from sklearn.exceptions import ConvergenceWarning  # type: ignore[import-untyped, unused-ignore]

        done = threading.Event()
        ticker = None
        if self.enabled:
            self._show(self._line(message, None))
            start = time.monotonic()

            def tick() -> None:
                if done.wait(self.LONG_STEP):
                    return
                while not done.is_set():
                    self._show(self._line(message, time.monotonic() - start))
                    done.wait(self.TICK)

            ticker = threading.Thread(target=tick, name="chromalens-status", daemon=True)
            ticker.start()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ConvergenceWarning)
                return work()
        finally:
            done.set()
            if ticker is not None:
                ticker.join()
            self.clear()

    def clear(self) -> None:
        with self._lock:
            if self.shown:
                self._erase()
                self.stream.flush()


def colour_allowed(stream: TextIO) -> bool:
    """Colour on `stream`: a terminal, and neither NO_COLOR nor TERM=dumb."""
    return is_terminal(stream) and not _no_color() and not _dumb_terminal()


def supports_truecolor(stream: TextIO) -> bool:
    """24-bit colour swatches: a terminal that says it has them, unless NO_COLOR or TERM=dumb."""
    if not colour_allowed(stream):
        return False
    return os.environ.get("COLORTERM", "").lower() in ("truecolor", "24bit")


def swatch(rgb: Sequence[int]) -> str:
    r, g, b = (int(c) for c in rgb)
    return f"\x1b[48;2;{r};{g};{b}m      \x1b[0m"


def table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool]) -> List[str]:
    """Rows of aligned columns (two spaces apart), the header first."""
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        parts = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        return "  ".join(parts).rstrip()

    return [line(headers)] + [line(r) for r in rows]


def json_default(value: Any) -> Any:
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"cannot encode {type(value).__name__} as JSON")
