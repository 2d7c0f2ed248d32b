"""Argument types of the command line: numbers, target colours, output paths.

Each type either returns the parsed value or raises
``argparse.ArgumentTypeError``, which argparse turns into a usage error
(exit status 2) naming the option.
"""

from __future__ import annotations

import argparse
import math
import os
from typing import Any, Callable, Collection, Dict, Optional, Tuple

from chromalens._threads import native_threads  # noqa: F401 - the subcommands take it from here
from chromalens.colors import COLOUR_FORMS, parse_color

__all__ = ["positive_threshold", "parse_target", "output_path", "OutputPathError",
           "check_output_path", "_positive_int", "_finite_float", "add_settings", "TargetsAction", "make_extractor",
           "pixel_limit", "seconds_limit", "add_threads_option", "native_threads", "target_or_threshold"]

INT32_MAX = 2**31 - 1


def _positive_int(text: str) -> int:
    """An integer from 1 to 2**31 - 1 (the extractor stores a signed 32-bit count)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if not 1 <= value <= INT32_MAX:
        raise argparse.ArgumentTypeError(f"must be between 1 and {INT32_MAX}, got {value}")
    return value


def pixel_limit(text: str) -> Optional[int]:
    """A pixel limit: a positive integer, or 0 or "none" for no limit (None)."""
    if text.strip().lower() in ("0", "none"):
        return None
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid pixel count: {text!r} (a positive integer, or 0 or 'none' "
                                         "for no limit)") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a positive integer, or 0 or 'none' for no limit, got {value}")
    return value


def _finite_float(text: str) -> float:
    """Any finite floating-point number."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text!r}")
    return value


def positive_threshold(text: str) -> float:
    """A LAB distance threshold: a finite number above 0.

    The similarity divides by the threshold, so 0 has no meaning, and no
    distance is below a negative one.
    """
    value = _finite_float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be a number above 0, got {text!r}")
    return value


def seconds_limit(text: str) -> Optional[float]:
    """A time limit in seconds: a positive number, or 0 or "none" for no limit (None)."""
    if text.strip().lower() in ("0", "none"):
        return None
    value = _finite_float(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a number of seconds, or 0 or 'none' for no limit, got {text!r}")
    return value


TARGET_FORMS = f"NAME=COLOUR or COLOUR alone, COLOUR being {COLOUR_FORMS}"


def parse_target(text: str) -> Tuple[str, Tuple[int, int, int]]:
    """Parse ``NAME=COLOUR``, or a COLOUR alone (named as written), into (name, RGB tuple).

    COLOUR is ``R,G,B``, ``#RGB``, ``#RRGGBB`` or a CSS colour name
    (`chromalens.colors.parse_color`).  Spaces around the name, the colour and
    its components are ignored.  Anything else, including a component above
    255, gets one message that names the argument and the accepted forms.
    """
    name, sep, colour = text.partition("=")
    name = name.strip()
    if not sep:
        name = colour = text.strip()
    try:
        if not name:
            raise ValueError(text)
        return name, parse_color(colour)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid target {text!r}: expected {TARGET_FORMS}") from None


def target_or_threshold(text: str) -> Any:
    """``-t`` of ``match``: a target colour, or a number: the threshold (-t's meaning in older versions)."""
    try:
        float(text)
    except ValueError:
        return parse_target(text)
    try:
        return positive_threshold(text)
    except argparse.ArgumentTypeError as error:
        raise argparse.ArgumentTypeError(f"{error} (-t with a number sets the threshold, as --threshold does)") \
            from None


class OutputPathError(Exception):
    """An output path that names a folder or lies in a missing folder (exit status 1)."""


def _extension(path: str) -> str:
    return os.path.splitext(path)[1].lower().lstrip(".")


def output_path(formats: Callable[[], Collection[str]], what: str) -> Callable[[str], str]:
    """An argument type for a picture file: its extension must be one of `formats()`.

    The folder is checked later by `check_output_path`: a path problem is an
    error of the file system (exit status 1), a wrong extension a usage error.
    """

    def parse(text: str) -> str:
        if os.path.isdir(text):
            return text  # refused by check_output_path, as a path problem
        accepted = sorted(formats())
        extension = _extension(text)
        listed = ", ".join("." + e for e in accepted)
        if not extension:
            raise argparse.ArgumentTypeError(
                f"{what} path {text!r} has no extension; add one of {listed}")
        if extension not in accepted:
            raise argparse.ArgumentTypeError(
                f"cannot write a {what} as '.{extension}' ({text!r}); use one of {listed}")
        return text

    parse.__name__ = f"{what} path"
    return parse


def matplotlib_formats() -> Collection[str]:
    """The file extensions Matplotlib can save a figure as."""
    from matplotlib.backend_bases import FigureCanvasBase

    return FigureCanvasBase.get_supported_filetypes().keys()


def palette_formats() -> Collection[str]:
    return ("png", "svg", "pdf")


def export_formats() -> Collection[str]:
    from chromalens.export import EXPORT_FORMATS

    return EXPORT_FORMATS


def check_output_path(path: str, what: str) -> None:
    """Refuse, before any work, a path that is a folder or lies in a missing one."""
    if os.path.isdir(path):
        raise OutputPathError(f"cannot write {what} {path}: is a directory")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise OutputPathError(f"cannot write {what} {path}: folder {os.path.dirname(path)} does not exist")
    if not os.access(folder, os.W_OK):
        raise OutputPathError(f"cannot write {what} {path}: folder {os.path.dirname(path) or '.'} is not writable")


class TargetsAction(argparse.Action):
    """Collects parsed targets into a dict, refusing a name given twice.

    Works for a positional ``nargs="+"`` list and for a repeated option alike.
    """

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        if isinstance(values, float):  # match's -t with a number: the threshold
            namespace.threshold = values
            return
        targets: Dict[str, Tuple[int, int, int]] = dict(getattr(namespace, self.dest, None) or {})
        for name, rgb in (values if isinstance(values, list) else [values]):
            if name in targets:
                parser.error(f"target name given more than once: {name}")
            targets[name] = rgb
        setattr(namespace, self.dest, targets)


def add_settings(parser: argparse.ArgumentParser) -> None:
    """The extractor's four settings, as options."""
    group = parser.add_argument_group("extractor settings")
    group.add_argument("--colors", "-n", type=_positive_int, default=5, metavar="N",
                       help="number of dominant colours to extract (default: 5)")
    group.add_argument("--algorithm", "-a", choices=("kmeans", "dbscan"), default="kmeans",
                       help="clustering algorithm (default: kmeans). dbscan finds the number of colours itself "
                       "and suits graphics with a few flat colours; on photos with smooth gradients (skies, "
                       "skin, plain backdrops) neighbouring shades chain together and it may report one or "
                       "two colours")
    group.add_argument("--no-preprocessing", dest="preprocessing", action="store_false",
                       help="skip the lighting normalisation and noise filter, which change colours "
                       "(use it for logos, graphics and exact brand colours)")
    group.add_argument("--rgb", dest="lab_space", action="store_false",
                       help="cluster in RGB instead of the perceptual LAB space")


def make_extractor(args: argparse.Namespace) -> Any:
    """The extractor the settings options ask for."""
    from chromalens import ColorExtractor

    return ColorExtractor(n_colors=args.colors, algorithm=args.algorithm,
                          preprocessing=args.preprocessing, lab_space=args.lab_space)


# One native thread unless asked otherwise: k-means' OpenMP threads meet at a
# barrier after every short step, so whenever other programs share the cores
# two threads lose to one (measured in docs/performance.md); one thread also
# gives the same k-means sums on every machine.
DEFAULT_THREADS = 1


def add_threads_option(parser: argparse.ArgumentParser) -> None:
    """``--threads N``: the native threads (OpenMP, BLAS, OpenCV) one analysis may use."""
    parser.add_argument("--threads", type=_positive_int, default=DEFAULT_THREADS, metavar="N",
                        help=f"native threads for k-means, BLAS and OpenCV (default: {DEFAULT_THREADS}; more "
                        "help only on a machine with idle cores, and k-means results can differ in the last "
                        "digits with the thread count)")
