"""Turning files, directories and glob patterns into the list of images of a catalogue."""

import glob
import os
from typing import Dict, Iterable, List, Union

__all__ = ["IMAGE_EXTENSIONS", "find_images"]

# The file extensions OpenCV's imread decodes (in a standard build).
IMAGE_EXTENSIONS = frozenset({
    ".bmp", ".dib", ".jpeg", ".jpg", ".jpe", ".jp2", ".png", ".webp", ".avif", ".pbm", ".pgm", ".ppm",
    ".pxm", ".pnm", ".pfm", ".sr", ".ras", ".tiff", ".tif", ".exr", ".hdr", ".pic",
})

PathLike = Union[str, "os.PathLike[str]"]


def _is_image_name(name: str) -> bool:
    return os.path.splitext(name)[1].lower() in IMAGE_EXTENSIONS


def _directory_images(directory: str, recursive: bool) -> List[str]:
    if not recursive:
        with os.scandir(directory) as entries:
            return [entry.path for entry in entries if entry.is_file() and _is_image_name(entry.name)]
    found = []
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        found.extend(os.path.join(root, name) for name in files if _is_image_name(name))
    return found


def find_images(paths: Iterable[PathLike], recursive: bool = False) -> List[str]:
    """The image files named by `paths`, sorted, each once.

    A path may be a file (taken whatever its extension: it was named), a
    directory (the files in it with an extension OpenCV reads; with
    `recursive`, in its subdirectories too) or a glob pattern (``**`` spans
    directories with `recursive`; matched directories count as directories).
    Raises FileNotFoundError naming a path that is none of these.
    """
    found: Dict[str, str] = {}  # normalised absolute path -> path as found

    def add(path: str) -> None:
        found.setdefault(os.path.normcase(os.path.abspath(path)), path)

    for given in paths:
        path = os.fspath(given)
        if os.path.isfile(path):
            add(path)
        elif os.path.isdir(path):
            for image in _directory_images(path, recursive):
                add(image)
        elif glob.has_magic(path):
            matches = glob.glob(path, recursive=recursive)
            if not matches:
                raise FileNotFoundError(f"no file matches {path}")
            for match in matches:
                if os.path.isdir(match):
                    for image in _directory_images(match, recursive):
                        add(image)
                elif os.path.isfile(match):
                    add(match)
        else:
            raise FileNotFoundError(f"no such file or directory: {path}")
    return sorted(found.values())
