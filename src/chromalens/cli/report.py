"""``chromalens report``: a page to browse the images of ``batch`` results and rank them by colour.

::

    chromalens report RESULTS... --out DIR [--thumb-side 256] [--title TEXT]
                      [--workers N] [--scheduler ADDRESS]

Exit status: 0 when the report is written, 1 when it cannot be (the folder,
the cluster), 2 for bad usage or results that cannot be read.
"""

from __future__ import annotations

import argparse
import sys
import time
from typing import Any, Callable, Optional, TextIO

from chromalens.cli.args import _positive_int
from chromalens.cli.inputs import plural
from chromalens.cli.progress import Progress, duration
from chromalens.cli.terminal import PROG, one_line

__all__ = ["add_parser", "run"]


def _side(text: str) -> int:
    value = _positive_int(text)
    if not 16 <= value <= 4096:
        raise argparse.ArgumentTypeError(f"must be from 16 to 4096, got {value}")
    return value


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "report", prog=f"{PROG} report", help="write a page to browse batch results and rank them by colour",
        description="Write a folder DIR with index.html, a page that opens from disk with no server: the "
        "images of RESULTS with their palettes, ranked by a picked colour with the scores of "
        "'chromalens search', filtered by path, and the images that could not be analysed.",
        epilog="Thumbnails are made on a Dask cluster, as batch runs; those of unchanged images are kept on a "
        "re-run. Exit status: 0 written, 1 cannot be written, 2 bad usage or unreadable results.")
    parser.add_argument("results", nargs="+", metavar="RESULTS", help="a results file written by batch")
    parser.add_argument("--out", "-o", required=True, metavar="DIR", help="folder to write (new, empty or a report)")
    parser.add_argument("--thumb-side", type=_side, default=256, metavar="N",
                        help="longer side of the thumbnails in pixels (default: 256)")
    parser.add_argument("--title", metavar="TEXT", help="the page's title (default: from the results' names)")
    engine = parser.add_argument_group("cluster")
    engine.add_argument("--workers", "-w", type=_positive_int, metavar="N",
                        help="local worker processes (default: one per core)")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="use this Dask scheduler (tcp://HOST:PORT); its workers need the images")
    parser.set_defaults(run=run, report_parser=parser)
    return parser


def run(args: argparse.Namespace, stderr: Optional[TextIO] = None) -> int:
    stderr = sys.stderr if stderr is None else stderr
    if args.workers is not None and args.scheduler is not None:
        try:
            args.report_parser.error("--workers sizes the local cluster; not with --scheduler")
        except SystemExit as exit_request:
            return exit_request.code if isinstance(exit_request.code, int) else 2
    from chromalens.report import ReportError, build_report

    bar: Optional[Progress] = None

    def progress(total: int) -> Callable[[bool], None]:
        nonlocal bar
        bar = Progress(stderr, total)
        return bar.update

    started = time.monotonic()
    try:
        report = build_report(args.results, args.out, thumb_side=args.thumb_side, title=args.title,
                              scheduler=args.scheduler, workers=args.workers, progress=progress)
    except OSError as error:
        if bar is not None:
            bar.clear()
        reason = error.strerror.lower() if error.strerror else one_line(error)
        where = error.filename or args.out
        print(f"{PROG}: error: cannot {'read' if where in args.results else 'write'} {where}: {reason}", file=stderr)
        return 2 if where in args.results else 1
    except ReportError as error:
        print(f"{PROG}: error: {error}", file=stderr)
        return 1
    except KeyboardInterrupt:
        if bar is not None:
            bar.clear()
        print(f"{PROG}: interrupted; run again to finish (thumbnails made so far are kept)", file=stderr)
        return 130
    except Exception as error:  # a cluster that cannot be reached or is lost
        if bar is not None:
            bar.clear()
        print(f"{PROG}: error: {one_line(error)}", file=stderr)
        return 1
    if bar is not None:
        bar.clear()
    for note in report.notes + report.problems[:5]:
        print(f"{PROG}: {note}", file=stderr)
    parts = [plural(report.images, "image")]
    if report.failed:
        parts.append(f"{report.failed} failed")
    thumbs = f"thumbnails: {report.made} made, {report.kept} kept"
    if report.missing:
        thumbs += f", {report.missing} images not found or unreadable"
    print(f"{PROG}: report of {', '.join(parts)} in {report.index} ({thumbs}; "
          f"{duration(time.monotonic() - started)})", file=stderr)
    return 0
