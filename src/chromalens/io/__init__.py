"""Images as users hold them: files, bytes, PIL images and arrays, read into BGR arrays."""

from typing import Any

__all__ = ["read_image"]


def __getattr__(name: str) -> Any:
    # The reader loads OpenCV: it is imported on first use, so that what only needs the
    # package's light parts (a search, the command line's help) starts fast.
    if name == "read_image":
        from chromalens.io.reader import read_image

        return read_image
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
