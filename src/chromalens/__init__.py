"""Dominant colours of images and target-colour matching.

The work is done by the native module :mod:`chromalens.color_extractor_cy`,
whose class :class:`ColorExtractor` is re-exported here.  It is imported on
first use: it loads scikit-learn and Matplotlib, which a catalogue search or
a report page never needs.
"""

from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING, Any

from chromalens.export import export_palette
from chromalens.io import read_image
from chromalens.palette import palette_card

if TYPE_CHECKING:
    from chromalens.color_extractor_cy import ColorExtractor

__all__ = ["ColorExtractor", "export_palette", "palette_card", "read_image", "__version__"]

try:
    __version__ = version("chromalens")
except PackageNotFoundError:  # imported from a build tree that was never installed
    __version__ = "0+unknown"


def __getattr__(name: str) -> Any:
    if name == "ColorExtractor":
        from chromalens.color_extractor_cy import ColorExtractor

        return ColorExtractor
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
