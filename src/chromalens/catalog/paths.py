"""Turning files, directories and glob patterns into the list of images of a catalogue."""

import errno
import fnmatch
import glob
import os
import stat
import warnings
from typing import Dict, Iterable, Iterator, List, NamedTuple, Set, Tuple, Union

__all__ = ["IMAGE_EXTENSIONS", "Scan", "find_images", "real_path", "scan"]

# The file extensions of the formats read_image decodes (OpenCV's readers in
# a standard build): what a folder scan takes.
IMAGE_EXTENSIONS = frozenset({
    ".bmp", ".dib", ".jpeg", ".jpg", ".jpe", ".jfif", ".jp2", ".j2k", ".png", ".webp", ".avif", ".gif",
    ".pbm", ".pgm", ".ppm", ".pxm", ".pnm", ".pam", ".pfm", ".sr", ".ras", ".tiff", ".tif", ".exr", ".hdr",
    ".pic",
})

PathLike = Union[str, "os.PathLike[str]"]


class Scan(NamedTuple):
    """What a scan found: the images (sorted, each file once), the files of other types
    it passed over in folders (count by lower-case extension, "" for none), and notes on
    what it could not look into (symbolic-link loops, unreadable folders)."""

    images: List[str]
    skipped: Dict[str, int]
    notes: List[str]


def real_path(path: str) -> str:
    """The file's identity: its path with every symbolic link resolved, made absolute."""
    return os.path.normcase(os.path.realpath(path))


def _extension(name: str) -> str:
    return os.path.splitext(name)[1].lower()


class _Finder:
    def __init__(self, recursive: bool) -> None:
        self.recursive = recursive
        self.found: Dict[str, str] = {}  # real path -> path as found
        self.skipped: Dict[str, int] = {}
        self.notes: List[str] = []
        self.scanned: Set[Tuple[int, int]] = set()  # folders already listed (device, inode)

    def add(self, path: str) -> None:
        self.found.setdefault(real_path(path), path)

    def entry(self, path: str, how: str) -> None:
        """A path given by name ("named"), matched by a pattern ("matched") or met in a folder
        ("listed", taken by its extension)."""
        try:
            is_dir = stat.S_ISDIR(os.stat(path).st_mode)
        except OSError as error:
            if error.errno == errno.ELOOP and how != "named":
                self.notes.append(f"{path}: a loop of symbolic links; skipped")
                return
            is_dir = False  # a broken link or an unreadable name: its record will say so
        if is_dir:
            if how != "listed" or self.recursive:
                self.folder(path)
        elif how != "listed" or _extension(path) in IMAGE_EXTENSIONS:
            self.add(path)
        else:
            extension = _extension(path)
            self.skipped[extension] = self.skipped.get(extension, 0) + 1

    def folder(self, top: str) -> None:
        """The entries of `top` (and, recursively, of its folders, links followed once each)."""
        pending: List[Tuple[str, Tuple[Tuple[int, int], ...]]] = [(top, ())]  # (folder, identities above it)
        while pending:
            folder, above = pending.pop()
            try:
                info = os.stat(folder)
                identity = (info.st_dev, info.st_ino)
                if identity in above:
                    self.notes.append(f"{folder}: leads back to a folder above it (a loop of symbolic links); skipped")
                    continue
                if identity in self.scanned:
                    continue  # reached again through another link: its files are in already
                self.scanned.add(identity)
                with os.scandir(folder) as listing:
                    names = sorted(entry.name for entry in listing)
            except OSError as error:
                self.notes.append(f"{folder}: cannot be read ({error.strerror or error}); skipped")
                continue
            subfolders = []
            for name in names:
                path = os.path.join(folder, name)
                if self.recursive and _is_folder(path):
                    subfolders.append((path, above + (identity,)))
                else:
                    self.entry(path, "listed")
            pending.extend(reversed(subfolders))

    def pattern(self, pattern: str) -> None:
        if self.recursive and "**" in pattern:
            matches = list(_deep_matches(pattern, self))
        else:
            matches = glob.glob(pattern)
        if not matches:
            raise FileNotFoundError(f"no file matches {pattern}")
        for match in sorted(matches):
            self.entry(match, "matched")


def _is_folder(path: str) -> bool:
    try:
        return stat.S_ISDIR(os.stat(path).st_mode)
    except OSError:
        return False


def _segment_matches(name: str, pattern: str) -> bool:
    # As glob: a wildcard does not match a leading dot.
    if name.startswith(".") and not pattern.startswith("."):
        return False
    return fnmatch.fnmatchcase(name, pattern)


def _parts_match(parts: Tuple[str, ...], pattern: Tuple[str, ...]) -> bool:
    if not pattern:
        return not parts
    if pattern[0] == "**":
        for skip in range(len(parts) + 1):
            if skip and parts[skip - 1].startswith("."):
                return False
            if _parts_match(parts[skip:], pattern[1:]):
                return True
        return False
    return bool(parts) and _segment_matches(parts[0], pattern[0]) and _parts_match(parts[1:], pattern[1:])


def _deep_matches(pattern: str, finder: _Finder) -> Iterator[str]:
    """The paths `pattern` matches, with ``**`` spanning folders (links followed, loops noted)."""
    parts = pattern.split(os.sep)
    fixed = 0
    while fixed < len(parts) - 1 and not glob.has_magic(parts[fixed]):
        fixed += 1
    root = os.sep.join(parts[:fixed])
    wanted = tuple(parts[fixed:])
    # (folder, its parts below root, identities of the folders above it)
    pending: List[Tuple[str, Tuple[str, ...], Tuple[Tuple[int, int], ...]]] = [(root, (), ())]
    while pending:
        folder, below, above = pending.pop()
        try:
            info = os.stat(folder or ".")
            if (info.st_dev, info.st_ino) in above:
                finder.notes.append(f"{folder}: leads back to a folder above it (a loop of symbolic links); skipped")
                continue
            with os.scandir(folder or ".") as listing:
                names = sorted(entry.name for entry in listing)
        except OSError as error:
            finder.notes.append(f"{folder or '.'}: cannot be read ({error.strerror or error}); skipped")
            continue
        for name in names:
            path = os.path.join(folder, name) if folder else name
            if _parts_match(below + (name,), wanted):
                yield path
            if _is_folder(path):
                pending.append((path, below + (name,), above + ((info.st_dev, info.st_ino),)))


def scan(paths: Iterable[PathLike], recursive: bool = False) -> Scan:
    """The images `paths` name, what was passed over, and notes; as `find_images` describes."""
    finder = _Finder(recursive)
    for given in paths:
        path = os.fspath(given)
        if os.path.lexists(path):
            finder.entry(path, "named")
        elif glob.has_magic(path):
            finder.pattern(path)
        else:
            raise FileNotFoundError(f"no such file or directory: {path}")
    return Scan(sorted(finder.found.values()), dict(sorted(finder.skipped.items())), finder.notes)


def find_images(paths: Iterable[PathLike], recursive: bool = False) -> List[str]:
    """The image files named by `paths`, sorted, each file once (however many names lead to it).

    A path may be a file (taken whatever its extension or type: it was named,
    and a file that cannot be read gets an error record), a directory (the
    files in it with an extension of a format ``read_image`` decodes; with
    `recursive`, in its subdirectories too, symbolic links followed) or a glob
    pattern (``**`` spans directories with `recursive`; matched directories
    count as directories).  Loops of symbolic links and folders that cannot
    be read are skipped with a warning.  Raises FileNotFoundError naming a
    path that is none of these.
    """
    found = scan(paths, recursive)
    for note in found.notes:
        warnings.warn(note, stacklevel=2)
    return found.images
