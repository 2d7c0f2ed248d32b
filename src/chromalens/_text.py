"""Small text forms shared by the package: hex colour codes and one-line error messages."""

from typing import Sequence

__all__ = ["hex_code", "one_line"]


def hex_code(rgb: Sequence[int]) -> str:
    """``#rrggbb`` of an RGB triple (any integer-like components)."""
    return "#{:02x}{:02x}{:02x}".format(*(int(c) for c in rgb))


def one_line(error: BaseException) -> str:
    """The error's message on one line, or its type's name when it has none."""
    text = " ".join(str(error).split())
    return text or type(error).__name__
