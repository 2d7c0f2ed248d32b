"""Dominant colours of images and target-colour matching.

The work is done by the native module :mod:`chromalens.color_extractor_cy`,
whose class :class:`ColorExtractor` is re-exported here.
"""

from importlib.metadata import PackageNotFoundError, version

from chromalens.color_extractor_cy import ColorExtractor
from chromalens.export import export_palette
from chromalens.palette import palette_card
from chromalens.io import read_image

__all__ = ["ColorExtractor", "export_palette", "palette_card", "read_image", "__version__"]

try:
    __version__ = version("chromalens")
except PackageNotFoundError:  # imported from a build tree that was never installed
    __version__ = "0+unknown"
