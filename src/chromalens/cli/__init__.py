"""The ``chromalens`` command line.

::

    chromalens [IMAGE ...] [options]         dominant colours (same as ``extract``)
    chromalens extract [IMAGE ...] [options] dominant colours of each IMAGE or the sample photo
    chromalens match IMAGE NAME=COLOUR ...   how strongly target colours are present
    chromalens batch PATH... --out RESULTS   many images on Dask, one JSON line each
    chromalens search RESULTS... -c COLOUR   the images of RESULTS ranked by colour
    chromalens report RESULTS... --out DIR   a page to browse and rank them

Without a subcommand the arguments are those of ``extract``.  An image file
named like a subcommand is given as ``./extract`` (or after ``--``).

Exit status: 0 on success, 1 when an image or mask cannot be read or used, or
an output file cannot be written (its folder is checked before any work), 2
for bad arguments.  Errors are one line on stderr.  While a long step runs, a
status line is shown on stderr when stderr is a terminal, and nothing
otherwise.

Each subcommand is a module of this package with ``add_parser`` and ``run``;
argument types are in :mod:`chromalens.cli.args`, terminal output in
:mod:`chromalens.cli.terminal`.
"""

from __future__ import annotations

import argparse
import sys
from typing import Any, Callable, List, Optional, Sequence

from chromalens.cli import batch, extract, match, report, search
from chromalens.cli.args import parse_target, positive_threshold
from chromalens.cli.terminal import PROG

__all__ = ["main", "build_parser", "parse_target", "positive_threshold"]

SUBCOMMANDS = ("extract", "match", "batch", "search", "report")


class _VersionAction(argparse.Action):
    """--version: the version is looked up only when asked for (finding it loads importlib.metadata)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: Optional[str] = None) -> None:
        import chromalens

        print(f"{PROG} {chromalens.__version__}")
        parser.exit()


def build_parser() -> argparse.ArgumentParser:
    """The command line's parser, with every subcommand."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage="%(prog)s [-h] [--version]\n"
        "       %(prog)s [extract] [IMAGE ...] [options]\n"
        "       %(prog)s match IMAGE NAME=COLOUR [NAME=COLOUR ...] [options]\n"
        "       %(prog)s batch PATH [PATH ...] --out RESULTS.jsonl [options]\n"
        "       %(prog)s search RESULTS... (-c COLOUR ... | --like IMAGE) [options]\n"
        "       %(prog)s report RESULTS [RESULTS ...] --out DIR [options]",
        description="Dominant colours of an image, and how strongly named colours are present in it. "
        "Without a subcommand, runs 'extract' (on the bundled sample photo when no IMAGE is given).",
        epilog="An image file named like a subcommand is given as ./extract or after '--'.",
    )
    parser.add_argument("--version", action=_VersionAction, nargs=0, help="show program's version number and exit")
    sub = parser.add_subparsers(dest="command", metavar="{extract,match,batch,search,report}")
    for command in (extract, match, batch, search, report):
        command.add_parser(sub)
    return parser


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
    parser = build_parser()
    try:
        args = parser.parse_args(_normalise_argv(argv))
    except SystemExit as exit_request:  # --help, --version, or a usage error (status 2)
        code = exit_request.code
        return code if isinstance(code, int) else (0 if code is None else 2)

    run: Callable[[argparse.Namespace], int] = args.run
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
