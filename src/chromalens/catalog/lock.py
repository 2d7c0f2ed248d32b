"""One run per results file: a lock file beside it, held for the length of the run.

The lock is the operating system's (``flock``, or ``msvcrt.locking`` on
Windows), so it goes with the process however that ends; the file holds
who took it, for the message of a run that finds it taken.
"""

import contextlib
import os
import socket
import time
from typing import Iterator

from chromalens.catalog.paths import real_path

try:
    import fcntl
except ImportError:  # pragma: no cover - Windows
    fcntl = None  # type: ignore[assignment]
    import msvcrt

__all__ = ["LockHeld", "holding_lock", "lock_path"]


class LockHeld(Exception):
    """Another run holds the results file."""


def lock_path(results: str) -> str:
    """The lock of `results`: one for every name of the same file."""
    return real_path(results) + ".lock"


def _try_lock(descriptor: int) -> bool:
    try:
        if fcntl is not None:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        else:  # pragma: no cover - Windows
            msvcrt.locking(descriptor, msvcrt.LK_NBLCK, 1)
    except OSError:
        return False
    return True


def _same_file(descriptor: int, path: str) -> bool:
    try:
        here, there = os.fstat(descriptor), os.stat(path)
    except OSError:
        return False
    return (here.st_dev, here.st_ino) == (there.st_dev, there.st_ino)


@contextlib.contextmanager
def holding_lock(results: str) -> Iterator[None]:
    """Hold the lock of `results` while the block runs; LockHeld says who has it."""
    path = lock_path(results)
    while True:
        descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
        if not _try_lock(descriptor):
            with os.fdopen(descriptor, "rb") as lock:
                holder = lock.read(200).decode("utf-8", "replace").strip()
            raise LockHeld(f"{results} is being written by another run ({holder or 'unknown process'}); "
                           f"wait for it to finish, or stop it")
        # Its last holder may have removed the file between our open and our lock.
        if _same_file(descriptor, path):
            break
        os.close(descriptor)
    try:
        os.ftruncate(descriptor, 0)
        os.write(descriptor, f"pid {os.getpid()} on {socket.gethostname()}, since "
                             f"{time.strftime('%Y-%m-%d %H:%M:%S')}\n".encode())
        yield
    finally:
        with contextlib.suppress(OSError):
            os.unlink(path)
        os.close(descriptor)
