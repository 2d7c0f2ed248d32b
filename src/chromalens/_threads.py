"""Native thread pools (OpenMP, BLAS, OpenCV) held to a count for a block of work, then put back."""

import contextlib
from typing import Any, Iterator, Optional

__all__ = ["native_threads"]

_controller: Any = None


@contextlib.contextmanager
def native_threads(threads: Optional[int]) -> Iterator[None]:
    """OpenMP, BLAS and OpenCV pools held to `threads` inside the block (None: left as they
    are), restored after it.

    OpenMP keeps its thread count per calling thread, so the block must run
    on the thread that does the work.  One controller serves every block:
    finding the pools of the loaded libraries takes milliseconds, which a
    catalogue would pay for each of its tasks.
    """
    if threads is None:
        yield
        return
    import cv2
    from threadpoolctl import ThreadpoolController

    global _controller
    if _controller is None:
        _controller = ThreadpoolController()
    limiter = _controller.limit(limits=threads)
    opencv_threads = cv2.getNumThreads()
    cv2.setNumThreads(threads)
    try:
        yield
    finally:
        cv2.setNumThreads(opencv_threads)
        limiter.restore_original_limits()
