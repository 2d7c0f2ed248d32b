"""The pixel limit on encoded images: its default and its refusal, apart from the decoding so
that the command line can name them without loading OpenCV."""

from typing import Optional, Tuple

# More than Pillow's own default limit (Image.MAX_IMAGE_PIXELS) is refused.
DEFAULT_MAX_PIXELS = 178_956_970


class PixelLimitError(ValueError):
    """Encoded data refused before decoding: its header declares more than
    `limit` pixels (`declared` is its width and height), or its size cannot be
    read from a header (`declared` is None)."""

    def __init__(self, message: str, declared: Optional[Tuple[int, int]], limit: int) -> None:
        super().__init__(message)
        self.declared = declared
        self.limit = limit
