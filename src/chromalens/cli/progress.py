"""A one-line progress bar on stderr for long runs, shown only on a terminal."""

import threading
import time
from collections import deque
from typing import Deque, Optional, TextIO, Tuple

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
    """Images done, time so far, rate, time left and failures, redrawn in place.

    Drawn only when `stream` is a terminal; colour only where the terminal
    takes it (not under NO_COLOR or TERM=dumb).  The line always fits the
    terminal's width.  Between records it is redrawn every second, so the
    time so far keeps moving while a slow image runs.  The rate and time left
    wait for ESTIMATE_IMAGES images and ESTIMATE_SECONDS since the first one
    (the start of a cluster says nothing about its pace), then follow the
    images of the last RECENT_SECONDS.
    """

    REDRAW_SECONDS = 0.2
    TICK = 1.0
    ESTIMATE_IMAGES = 5
    ESTIMATE_SECONDS = 5.0
    RECENT_SECONDS = 30.0

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
        self.samples: Deque[Tuple[float, int]] = deque()  # (time, images done), from the first image on
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._ticker: Optional[threading.Thread] = None

    def start(self) -> None:
        """Draw now, and every TICK seconds until `clear`."""
        if not self.enabled:
            return
        self._draw(time.monotonic())

        def tick() -> None:
            while not self._stop.wait(self.TICK):
                self._draw(time.monotonic())

        self._ticker = threading.Thread(target=tick, name="chromalens-progress", daemon=True)
        self._ticker.start()

    def update(self, failed: bool) -> None:
        now = time.monotonic()
        with self._lock:
            self.done += 1
            self.failed += int(failed)
            self.samples.append((now, self.done))
            while len(self.samples) > 2 and now - self.samples[1][0] > self.RECENT_SECONDS:
                self.samples.popleft()
        if self.enabled and (self.drawn_at is None or now - self.drawn_at >= self.REDRAW_SECONDS
                             or self.done == self.total):
            self._draw(now)

    def rate(self, now: float) -> Optional[float]:
        """Images per second lately, once there is enough to tell."""
        if len(self.samples) < 2 or self.done < self.ESTIMATE_IMAGES:
            return None
        first_at, first_done = self.samples[0]
        if now - first_at < self.ESTIMATE_SECONDS:
            return None
        return (self.done - first_done) / (now - first_at)

    def line(self, width: int, now: float) -> str:
        """The bar's text, at most `width` characters, without colour.

        On a narrow terminal the bar goes first, then the rate, then the time
        left, then the time so far.
        """
        rate = self.rate(now)
        count = f"{self.done}/{self.total}"
        elapsed = duration(now - self.started)
        estimate = []
        if rate is not None and rate > 0:
            speed = f"{rate:.1f} img/s" if rate >= 1 else f"{rate * 60:.1f} img/min"
            estimate = [speed, f"~{duration((self.total - self.done) / rate)} left"]
        failed = [f"{self.failed} failed"] if self.failed else []
        for details in ([count, elapsed] + estimate, [count, elapsed] + estimate[1:], [count, elapsed], [count]):
            tail = "  ".join(details + failed)
            bar_width = min(30, width - len(tail) - 3)
            if bar_width >= 10:
                filled = bar_width * self.done // self.total if self.total else bar_width
                return f"[{'#' * filled}{'-' * (bar_width - filled)}] {tail}"
            if len(tail) <= width:
                return tail
        return tail[:width]

    def _draw(self, now: float) -> None:
        with self._lock:
            if self._stop.is_set():
                return
            self.drawn_at = now
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
        """Stop redrawing and erase the line."""
        self._stop.set()
        if self._ticker is not None:
            self._ticker.join()
            self._ticker = None
        with self._lock:
            if self.shown:
                width = max(10, terminal_width(self.stream) - 1)
                self.stream.write("\r" + " " * width + "\r")
                self.stream.flush()
                self.shown = False
