"""The ``chromalens`` command line.

::

    chromalens [IMAGE] [options]             dominant colours (same as ``extract``)
    chromalens extract [IMAGE] [options]     dominant colours of IMAGE or the sample photo
    chromalens match IMAGE NAME=COLOUR ...   how strongly target colours are present

Without a subcommand the arguments are those of ``extract``.  An image file
named like a subcommand is given as ``./extract`` (or after ``--``).

Exit status: 0 on success, 1 when an image or mask cannot be read or used, or
an output file cannot be written (its folder is checked before any work), 2
for bad arguments.  Errors are one line on stderr.  While a long step runs, a
status line is shown on stderr when stderr is a terminal, and nothing
otherwise.

The pieces live in their own modules: argument types in
:mod:`chromalens.cli_args`, terminal output in :mod:`chromalens.cli_terminal`,
the subcommands in :mod:`chromalens.cli_commands`.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

from chromalens import __version__
from chromalens.cli_args import (_finite_float, _positive_int, matplotlib_formats, output_path, palette_formats,
                                 parse_target, positive_threshold)
from chromalens.cli_commands import CommandError, run_extract, run_match
from chromalens.cli_terminal import PROG, Status

__all__ = ["main", "build_parser", "parse_target", "positive_threshold", "Status", "CommandError",
           "_positive_int", "_finite_float"]

SUBCOMMANDS = ("extract", "match", "batch")


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
                       help="skip the lighting normalisation and noise filter, which change colours "
                       "(use it for logos, graphics and exact brand colours)")
    group.add_argument("--rgb", dest="lab_space", action="store_false",
                       help="cluster in RGB instead of the perceptual LAB space")


def _add_input_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("what is analysed")
    group.add_argument("--mask", metavar="PATH",
                       help="analyse only where this mask image (same size) is bright (> 128)")
    group.add_argument("--ignore-alpha", action="store_true",
                       help="analyse transparent pixels too (by default they are left out, "
                       "together with what --mask leaves out)")
    group.add_argument("--max-side", type=_positive_int, metavar="N",
                       help="analyse a copy downscaled so its longer side is at most N pixels: "
                       "much faster on large photos, but results differ from full resolution "
                       "(the mask is downscaled likewise)")


def _build_parsers() -> Tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage="%(prog)s [-h] [--version]\n"
        "       %(prog)s [extract] [IMAGE] [options]\n"
        "       %(prog)s match IMAGE NAME=COLOUR [NAME=COLOUR ...] [options]\n"
        "       %(prog)s batch PATH [PATH ...] --out RESULTS.jsonl [options]",
        description="Dominant colours of an image, and how strongly named colours are present in it. "
        "Without a subcommand, runs 'extract' (on the bundled sample photo when no IMAGE is given).",
        epilog="An image file named 'extract', 'match' or 'batch' is given as ./extract or after '--'.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="{extract,match,batch}")

    extract = sub.add_parser("extract", prog=f"{PROG} extract", help="print the dominant colours of an image",
                             description="Print the dominant colours of IMAGE (hex, RGB, share).")
    extract.add_argument("image", nargs="?", metavar="IMAGE",
                         help="image file (default: the bundled sample photo)")
    _add_settings(extract)
    _add_input_options(extract)
    output = extract.add_argument_group("output")
    output.add_argument("--json", action="store_true", help="print the result as JSON")
    output.add_argument("--chart", metavar="PATH", type=output_path(matplotlib_formats, "chart"),
                        help="also save the colour bar chart to PATH (format from the extension, e.g. .png)")
    output.add_argument("--palette", metavar="PATH", type=output_path(palette_formats, "palette"),
                        help="also save a palette card (swatches with hex codes and shares) to PATH "
                        "(.png, .svg or .pdf)")

    match = sub.add_parser(
        "match", prog=f"{PROG} match", help="tell how strongly target colours are present in an image",
        description="For each target colour, report how much of IMAGE is close to it: from the dominant "
        "colours (default) or pixel by pixel (--detailed).",
    )
    match.add_argument("image", metavar="IMAGE", help="image file")
    match.add_argument("targets", nargs="+", type=parse_target, action=_TargetsAction, metavar="NAME=COLOUR",
                       help="a target colour as NAME=R,G,B, NAME=#RGB or NAME=#RRGGBB")
    match.add_argument("--detailed", action="store_true",
                       help="measure every pixel (shares within distance 15, 30 and 50, closest pixel)")
    match.add_argument("--threshold", "-t", type=positive_threshold, default=None, metavar="T",
                       help="largest LAB distance counted as similar, above 0 (default: 50; not with --detailed)")
    _add_settings(match)
    _add_input_options(match)
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
# Entry point
# ---------------------------------------------------------------------------
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
