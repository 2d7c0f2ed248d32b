"""Dominant colours of images and target-colour matching.

The work is done by the native module :mod:`chromalens.color_extractor_cy`,
whose class :class:`ColorExtractor` is re-exported here.  Everything here is
imported on first use: the module loads scikit-learn and Matplotlib, image
reading loads OpenCV and Pillow, none of which a catalogue search needs, and
a search should start at once.
"""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from chromalens.color_extractor_cy import ColorExtractor
    from chromalens.export import export_palette
    from chromalens.io import read_image
    from chromalens.palette import palette_card

    __version__: str

__all__ = ["ColorExtractor", "export_palette", "palette_card", "read_image", "__version__"]


def __getattr__(name: str) -> Any:
    if name == "ColorExtractor":
        from chromalens.color_extractor_cy import ColorExtractor

        return ColorExtractor
    if name == "export_palette":
        from chromalens.export import export_palette

        return export_palette
    if name == "read_image":
        from chromalens.io import read_image

        return read_image
    if name == "palette_card":
        from chromalens.palette import palette_card

        return palette_card
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("chromalens")
        except PackageNotFoundError:  # imported from a build tree that was never installed
            found = "0+unknown"
        globals()["__version__"] = found  # looked up once
        return found
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> Any:
    return sorted(set(globals()) | set(__all__))
