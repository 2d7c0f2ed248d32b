"""OpenCV's log kept quiet while the reader decodes.

OpenCV logs on stderr about files it cannot decode (``[ WARN:0@...] global
loadsave.cpp ... findDecoder``, truncated TIFF or BMP data, ...).  The reader
reports every failure itself, as one error, so those lines are only noise
before it.  The level is process-wide: it is lowered while any thread is
inside a read and restored when the last one leaves.
"""

import threading
from contextlib import contextmanager
from typing import Iterator, Optional

import cv2

_lock = threading.Lock()
_readers = 0
_saved_level: Optional[int] = None


@contextmanager
def opencv_log_silenced() -> Iterator[None]:
    """OpenCV's log silenced for the duration; the level before is restored afterwards."""
    global _readers, _saved_level
    logging = cv2.utils.logging
    with _lock:
        if _readers == 0:
            _saved_level = logging.getLogLevel()
            logging.setLogLevel(logging.LOG_LEVEL_SILENT)
        _readers += 1
    try:
        yield
    finally:
        with _lock:
            _readers -= 1
            if _readers == 0 and _saved_level is not None:
                logging.setLogLevel(_saved_level)
                _saved_level = None
