"""Dominant colours of images and target-colour matching.

The work is done by the native module :mod:`chromalens.color_extractor_cy`,
whose class :class:`ColorExtractor` is re-exported here.
"""

from chromalens.color_extractor_cy import ColorExtractor

__all__ = ["ColorExtractor", "__version__"]
__version__ = "0.1.0"
