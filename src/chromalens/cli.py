"""The ``chromalens`` command line.

::

    chromalens [IMAGE] [options]             dominant colours (same as ``extract``)
    chromalens extract [IMAGE] [options]     dominant colours of IMAGE or the sample photo
    chromalens match IMAGE NAME=COLOUR ...   how strongly target colours are present

Without a subcommand the arguments are those of ``extract``.  An image file
named like a subcommand is given as ``./extract`` (or after ``--``).

Exit status: 0 on success, 1 when an image or mask cannot be read or used
(or a requested chart could not be written), 2 for bad arguments.  Errors are
one line on stderr.  While a long step runs, a status line is shown on stderr
when stderr is a terminal, and nothing otherwise.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sys
import warnings
from typing import Any, Callable, Dict, List, Optional, Sequence, TextIO, Tuple, TypeVar

import numpy as np

from chromalens import ColorExtractor, __version__

__all__ = ["main"]

PROG = "chromalens"
SUBCOMMANDS = ("extract", "match", "batch")
_T = TypeVar("_T")


class CommandError(Exception):
    """A failure to report as one line on stderr, with exit status 1."""


# ---------------------------------------------------------------------------
# Argument types
# ---------------------------------------------------------------------------
def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if not 1 <= value <= 2**31 - 1:
        raise argparse.ArgumentTypeError(f"must be between 1 and {2**31 - 1}, got {value}")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not np.isfinite(value):
        raise argparse.ArgumentTypeError(f"must be a finite number, got {text!r}")
    return value


_HEX = re.compile(r"#([0-9a-fA-F]{6})")
_TRIPLE = re.compile(r"\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)\s*")


def parse_target(text: str) -> Tuple[str, Tuple[int, int, int]]:
    """Parse ``NAME=R,G,B`` or ``NAME=#RRGGBB`` into (name, RGB tuple)."""
    name, sep, colour = text.partition("=")
    name = name.strip()
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected NAME=R,G,B or NAME=#RRGGBB, got {text!r}")
    hex_match = _HEX.fullmatch(colour.strip())
    if hex_match:
        digits = hex_match.group(1)
        return name, (int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16))
    triple = _TRIPLE.fullmatch(colour)
    if triple:
        r, g, b = (int(v) for v in triple.groups())
        if max(r, g, b) <= 255:
            return name, (r, g, b)
        raise argparse.ArgumentTypeError(f"colour components must be 0..255, got {colour!r} in {text!r}")
    raise argparse.ArgumentTypeError(f"expected NAME=R,G,B or NAME=#RRGGBB, got {text!r}")


# ---------------------------------------------------------------------------
# Parser
# ---------------------------------------------------------------------------
class _TargetsAction(argparse.Action):
    """Collects the parsed targets into a dict, refusing a name given twice."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: Any, option_string: Optional[str] = None) -> None:
        targets: Dict[str, Tuple[int, int, int]] = {}
        for name, rgb in values:
            if name in targets:
                parser.error(f"target name given more than once: {name}")
            targets[name] = rgb
        setattr(namespace, self.dest, targets)


def _add_settings(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("extractor settings")
    group.add_argument("--colors", "-n", type=_positive_int, default=5, metavar="N",
                       help="number of dominant colours to extract (default: 5)")
    group.add_argument("--algorithm", "-a", choices=("kmeans", "dbscan"), default="kmeans",
                       help="clustering algorithm (default: kmeans)")
    group.add_argument("--no-preprocessing", dest="preprocessing", action="store_false",
                       help="skip the lighting normalisation and noise filter")
    group.add_argument("--rgb", dest="lab_space", action="store_false",
                       help="cluster in RGB instead of the perceptual LAB space")


def _build_parsers() -> Tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage="%(prog)s [-h] [--version]\n"
        "       %(prog)s [extract] [IMAGE] [--colors N] [--algorithm {kmeans,dbscan}] ... \n"
        "       %(prog)s match IMAGE NAME=COLOUR [NAME=COLOUR ...] [--detailed] ...",
        description="Dominant colours of an image, and how strongly named colours are present in it. "
        "Without a subcommand, runs 'extract' (on the bundled sample photo when no IMAGE is given).",
        epilog="An image file named 'extract' or 'match' is given as ./extract or after '--'.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="{extract,match,batch}")

    extract = sub.add_parser("extract", prog=f"{PROG} extract", help="print the dominant colours of an image",
                             description="Print the dominant colours of IMAGE (hex, RGB, share).")
    extract.add_argument("image", nargs="?", metavar="IMAGE",
                         help="image file (default: the bundled sample photo)")
    _add_settings(extract)
    extract.add_argument("--mask", metavar="PATH", help="analyse only where this mask image is bright (> 128)")
    extract.add_argument("--json", action="store_true", help="print the result as JSON")
    extract.add_argument("--chart", metavar="PATH",
                         help="also save the colour bar chart to PATH (format from the extension, e.g. .png)")

    match = sub.add_parser(
        "match", prog=f"{PROG} match", help="tell how strongly target colours are present in an image",
        description="For each target colour, report how much of IMAGE is close to it: from the dominant "
        "colours (default) or pixel by pixel (--detailed).",
    )
    match.add_argument("image", metavar="IMAGE", help="image file")
    match.add_argument("targets", nargs="+", type=parse_target, action=_TargetsAction, metavar="NAME=COLOUR",
                       help="a target colour as NAME=R,G,B or NAME=#RRGGBB")
    match.add_argument("--detailed", action="store_true",
                       help="measure every pixel (shares within distance 15, 30 and 50, closest pixel)")
    match.add_argument("--threshold", "-t", type=_finite_float, default=None, metavar="T",
                       help="largest LAB distance counted as similar (default: 50; not with --detailed)")
    _add_settings(match)
    match.add_argument("--mask", metavar="PATH", help="analyse only where this mask image is bright (> 128)")
    match.add_argument("--json", action="store_true", help="print the result as JSON")
    from chromalens import batch  # imports this module: so only here

    batch.add_parser(sub)
    return parser, match


def build_parser() -> argparse.ArgumentParser:
    """The command line's parser (subcommands ``extract`` and ``match``)."""
    return _build_parsers()[0]


def _normalise_argv(argv: Sequence[str]) -> List[str]:
    """Insert the implicit ``extract`` unless a subcommand or a top-level flag leads."""
    argv = list(argv)
    if argv and (argv[0] in SUBCOMMANDS or argv[0] in ("-h", "--help", "--version")):
        return argv
    return ["extract", *argv]


# ---------------------------------------------------------------------------
# Terminal helpers
# ---------------------------------------------------------------------------
class Status:
    """A transient status line on stderr, shown only when stderr is a terminal."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        try:
            self.enabled = stream.isatty()
        except (AttributeError, ValueError):
            self.enabled = False
        self.shown = False

    def run(self, message: str, work: Callable[[], _T]) -> _T:
        """Runs `work` under the status line `message`.

        scikit-learn's warning that k-means found fewer distinct colours than
        requested is not shown: the result simply lists fewer colours.
        """
        from sklearn.exceptions import ConvergenceWarning  # type: ignore[import-untyped, unused-ignore]

        if self.enabled:
            self.stream.write(f"{PROG}: {message}...")
            self.stream.flush()
            self.shown = True
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", ConvergenceWarning)
                return work()
        finally:
            self.clear()

    def clear(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.shown = False


def _supports_truecolor(stream: TextIO) -> bool:
    if os.environ.get("NO_COLOR"):
        return False
    try:
        if not stream.isatty():
            return False
    except (AttributeError, ValueError):
        return False
    return os.environ.get("COLORTERM", "").lower() in ("truecolor", "24bit")


def _hex(rgb: Sequence[int]) -> str:
    return "#{:02x}{:02x}{:02x}".format(*(int(c) for c in rgb))


def _swatch(rgb: Sequence[int]) -> str:
    r, g, b = (int(c) for c in rgb)
    return f"\x1b[48;2;{r};{g};{b}m      \x1b[0m"


def _table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool]) -> List[str]:
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        parts = [c.rjust(w) if r else c.ljust(w) for c, w, r in zip(cells, widths, right)]
        return "  ".join(parts).rstrip()

    return [line(headers)] + [line(r) for r in rows]


def _json_default(value: Any) -> Any:
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"cannot encode {type(value).__name__} as JSON")


# ---------------------------------------------------------------------------
# Image loading
# ---------------------------------------------------------------------------
def _read(path: str, what: str) -> np.ndarray:
    """Read an image file as OpenCV's default mode does (8-bit, 3 channels, BGR)."""
    import cv2

    if not os.path.exists(path):
        raise CommandError(f"cannot read {what} {path}: no such file")
    if os.path.isdir(path):
        raise CommandError(f"cannot read {what} {path}: is a directory")
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        # OpenCV's binding crashes on a name without a UTF-8 form.
        raise CommandError(f"cannot read {what} {path}: OpenCV cannot open a file name that is not UTF-8") from None
    # OpenCV logs a warning of its own for unreadable files; the message below says it in one line.
    logging = cv2.utils.logging
    level = logging.getLogLevel()
    logging.setLogLevel(logging.LOG_LEVEL_ERROR)
    try:
        image = cv2.imread(path)
    finally:
        logging.setLogLevel(level)
    if image is None:
        raise CommandError(f"cannot read {what} {path}: not an image file OpenCV can decode")
    return image


def _load_inputs(args: argparse.Namespace) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    image = _read(args.image, "image")
    mask = None
    if args.mask is not None:
        mask = _read(args.mask, "mask")
        if mask.shape[:2] != image.shape[:2]:
            raise CommandError(
                f"mask {args.mask} is {mask.shape[1]}x{mask.shape[0]} pixels "
                f"but image {args.image} is {image.shape[1]}x{image.shape[0]}"
            )
    return image, mask


def _extractor(args: argparse.Namespace) -> ColorExtractor:
    return ColorExtractor(n_colors=args.colors, algorithm=args.algorithm,
                          preprocessing=args.preprocessing, lab_space=args.lab_space)


def _describe(args: argparse.Namespace, image: np.ndarray) -> str:
    space = "LAB" if args.lab_space else "RGB"
    return f"{image.shape[1]}x{image.shape[0]} image, {args.algorithm}, {space}"


# ---------------------------------------------------------------------------
# Subcommands
# ---------------------------------------------------------------------------
def _save_chart(extractor: ColorExtractor, colors: List[Any], path: str) -> None:
    import matplotlib.pyplot as plt

    if not colors:
        raise CommandError(f"no colours were found, so no chart was written to {path}")
    # A file only: never open a window, and leave no figure behind.
    plt.switch_backend("agg")
    before = set(plt.get_fignums())
    try:
        extractor.visualize_colors(colors, path)
    except (OSError, ValueError) as error:
        raise CommandError(f"cannot write chart {path}: {_one_line(error)}") from None
    finally:
        for number in set(plt.get_fignums()) - before:
            plt.close(number)


def run_extract(args: argparse.Namespace, out: TextIO, status: Status) -> int:
    label = args.image
    if args.image is None:
        from chromalens.samples import sample_image_path

        args.image = sample_image_path()
        label = f"sample photo {os.path.basename(args.image)}"
    image, mask = _load_inputs(args)
    extractor = _extractor(args)
    colors = status.run(f"extracting colours ({_describe(args, image)})",
                        lambda: extractor.extract_colors(image, mask))

    if args.json:
        records = [{"color": list(c["color"]), "percentage": c["percentage"], "hex": _hex(c["color"])}
                   for c in colors]
        out.write(json.dumps(records, default=_json_default) + "\n")
    else:
        out.write(f"{label}: {len(colors)} dominant colour{'s' if len(colors) != 1 else ''} "
                  f"({_describe(args, image)})\n")
        if colors:
            swatches = _supports_truecolor(out)
            rows = [[_hex(c["color"]), *(str(int(v)) for v in c["color"]), f"{c['percentage']:.2f}%"]
                    for c in colors]
            lines = _table(["hex", "red", "green", "blue", "share"], rows, [False, True, True, True, True])
            out.write(lines[0] + "\n")
            for line, c in zip(lines[1:], colors):
                out.write(line + ("  " + _swatch(c["color"]) if swatches else "") + "\n")
        else:
            out.write("no pixels to analyse (the mask selects nothing, or every pixel is black)\n")
    out.flush()

    if args.chart is not None:
        status.run(f"drawing chart {args.chart}", lambda: _save_chart(extractor, colors, args.chart))
    return 0


def run_match(args: argparse.Namespace, out: TextIO, status: Status) -> int:
    targets: Dict[str, Tuple[int, int, int]] = args.targets
    image, mask = _load_inputs(args)
    extractor = _extractor(args)
    if args.detailed:
        report: Dict[str, Any] = status.run(
            f"measuring every pixel against {len(targets)} colour{'s' if len(targets) != 1 else ''} "
            f"({_describe(args, image)})",
            lambda: extractor.find_color_matches(image, targets, mask))
    else:
        threshold = 50.0 if args.threshold is None else args.threshold
        report = status.run(f"extracting colours ({_describe(args, image)})",
                            lambda: extractor.analyze_color_similarity(image, targets, mask, threshold))

    if args.json:
        out.write(json.dumps(report, default=_json_default) + "\n")
        out.flush()
        return 0

    out.write(f"{args.image}: {'pixel-by-pixel' if args.detailed else 'dominant-colour'} match "
              f"({_describe(args, image)})\n")
    if not report:
        out.write("no pixels to analyse (the mask selects nothing, or every pixel is black)\n")
        out.flush()
        return 0
    swatches = _supports_truecolor(out)
    rows: List[List[str]] = []
    closest: List[Sequence[int]] = []
    for name, record in report.items():
        target = _hex(targets[name])
        if args.detailed:
            pixel = record["closest_pixel"]
            closest.append(pixel)
            rows.append([name, target, _hex(pixel), f"{float(record['min_distance']):.2f}",
                         f"{float(record['similarity_score']):.2f}", f"{float(record['very_close_percentage']):.2f}%",
                         f"{float(record['close_percentage']):.2f}%", f"{float(record['total_percentage']):.2f}%"])
        else:
            colour = record["closest_color"]
            closest.append(colour)
            rows.append([name, target, _hex(colour), f"{float(record['distance']):.2f}",
                         f"{float(record['similarity']):.2f}", f"{float(record['percentage']):.2f}%",
                         "yes" if record["found_directly"] else "no"])
    if args.detailed:
        headers = ["target", "colour", "closest", "distance", "similarity", "<15", "<30", "<50"]
        right = [False, False, False, True, True, True, True, True]
    else:
        headers = ["target", "colour", "closest", "distance", "similarity", "share", "direct"]
        right = [False, False, False, True, True, True, False]
    lines = _table(headers, rows, right)
    out.write(lines[0] + "\n")
    for line, name, pixel in zip(lines[1:], report, closest):
        extra = f"  {_swatch(targets[name])} {_swatch(pixel)}" if swatches else ""
        out.write(line + extra + "\n")
    out.flush()
    return 0


# ---------------------------------------------------------------------------
# Entry point
# ---------------------------------------------------------------------------
def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    return text or type(error).__name__


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with `argv` (default: ``sys.argv[1:]``); returns the exit status."""
    if argv is None:
        argv = sys.argv[1:]
    parser, match_parser = _build_parsers()
    try:
        args = parser.parse_args(_normalise_argv(argv))
        if args.command == "match" and args.detailed and args.threshold is not None:
            match_parser.error("--threshold applies to the dominant-colour match, not to --detailed")
    except SystemExit as exit_request:  # --help, --version, or a usage error (status 2)
        code = exit_request.code
        return code if isinstance(code, int) else (0 if code is None else 2)

    if args.command == "batch":
        from chromalens import batch

        return batch.run(args)
    status = Status(sys.stderr)
    try:
        if args.command == "match":
            return run_match(args, sys.stdout, status)
        return run_extract(args, sys.stdout, status)
    except CommandError as error:
        status.clear()
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        status.clear()
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`chromalens | head -1`): stop quietly, and keep
        # the interpreter's final flush from failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
