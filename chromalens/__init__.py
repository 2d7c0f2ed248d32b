"""Dominant colours of images and target-colour matching.

The work is done by the native module :mod:`chromalens.color_extractor_cy`,
whose class :class:`ColorExtractor` is re-exported here.
"""

from pkgutil import extend_path

# Run from a source checkout (``python -m chromalens`` in the clone after
# ``pip install .``), this folder comes first on sys.path but holds no built
# extension; letting the package span the installed copy too makes the
# native module importable from there.
__path__ = extend_path(__path__, __name__)

from chromalens.color_extractor_cy import ColorExtractor  # noqa: E402

__all__ = ["ColorExtractor", "__version__"]
__version__ = "0.1.0"
