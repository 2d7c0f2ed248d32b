"""A one-line progress bar on stderr for long runs, shown only on a terminal."""

import time
from typing import Optional, TextIO

from chromalens.cli.terminal import colour_allowed, is_terminal, terminal_width

__all__ = ["Progress", "duration"]


def duration(seconds: float) -> str:
    seconds = int(round(seconds))
    if seconds < 60:
        return f"{seconds}s"
    minutes, seconds = divmod(seconds, 60)
    if minutes < 60:
        return f"{minutes}m{seconds:02d}s"
    hours, minutes = divmod(minutes, 60)
    return f"{hours}h{minutes:02d}m"


class Progress:
    """Images done, rate, time left and failures, redrawn in place at most a few times a second.

    Drawn only when `stream` is a terminal; colour only where the terminal
    takes it (not under NO_COLOR or TERM=dumb).  The line always fits the
    terminal's width.
    """

    REDRAW_SECONDS = 0.2

    def __init__(self, stream: TextIO, total: int) -> None:
        self.stream = stream
        self.total = total
        self.done = 0
        self.failed = 0
        self.enabled = is_terminal(stream)
        self.colour = colour_allowed(stream)
        self.started = time.monotonic()
        self.drawn_at: Optional[float] = None
        self.shown = False

    def update(self, failed: bool) -> None:
        self.done += 1
        self.failed += int(failed)
        now = time.monotonic()
        if self.enabled and (self.drawn_at is None or now - self.drawn_at >= self.REDRAW_SECONDS
                             or self.done == self.total):
            self.drawn_at = now
            self._draw(now)

    def line(self, width: int, now: float) -> str:
        """The bar's text, at most `width` characters, without colour.

        On a narrow terminal the bar goes first, then the rate, then the time left.
        """
        elapsed = now - self.started
        rate = self.done / elapsed if elapsed > 0 else 0.0
        left = (self.total - self.done) / rate if rate > 0 else None
        count = f"{self.done}/{self.total}"
        speed = f"{rate:.1f} img/s" if rate >= 1 else f"{rate * 60:.1f} img/min"
        remaining = f"{duration(left)} left" if left is not None else "-- left"
        failed = [f"{self.failed} failed"] if self.failed else []
        for details in ([count, speed, remaining], [count, remaining], [count]):
            tail = "  ".join(details + failed)
            bar_width = min(30, width - len(tail) - 3)
            if bar_width >= 10:
                filled = bar_width * self.done // self.total if self.total else bar_width
                return f"[{'#' * filled}{'-' * (bar_width - filled)}] {tail}"
            if len(tail) <= width:
                return tail
        return tail[:width]

    def _draw(self, now: float) -> None:
        # One column short of the width: a full line would wrap on some terminals.
        width = max(10, terminal_width(self.stream) - 1)
        text = self.line(width, now)
        padding = " " * (width - len(text))
        if self.colour and self.failed:
            marker = f"{self.failed} failed"
            text = text.replace(marker, f"\x1b[31m{marker}\x1b[0m")
        # Spaces rather than an erase sequence, which a dumb terminal would print.
        self.stream.write("\r" + text + padding)
        self.stream.flush()
        self.shown = True

    def clear(self) -> None:
        if self.shown:
            width = max(10, terminal_width(self.stream) - 1)
            self.stream.write("\r" + " " * width + "\r")
            self.stream.flush()
            self.shown = False
