"""Images as users hold them: files, bytes, PIL images and arrays, read into BGR arrays."""

from chromalens.io.reader import read_image

__all__ = ["read_image"]
