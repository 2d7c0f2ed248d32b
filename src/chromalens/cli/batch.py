"""``chromalens batch``: a catalogue of images analysed on Dask, one JSON line per image.

::

    chromalens batch PATH... --out RESULTS.jsonl [--recursive] [--workers N]
                     [--scheduler ADDRESS] [--resume] [analysis options]

Each record is written and flushed as its image completes, as one whole line,
so an interrupted run leaves only whole lines behind (but perhaps a partial
last one, which ``--resume`` drops before it appends the images not yet
recorded).  Exit status: 0 when every image was analysed, 1 when some failed
or, with targets, no image holds any of them; 2 for bad usage (and when Dask
is not installed); 130 when interrupted.
"""

import argparse
import os
import sys
import time
from typing import Any, Dict, Optional, Set, TextIO, Tuple

from chromalens.catalog.paths import find_images
from chromalens.catalog.results import ResultsError, Tally, path_key, read_results, write_record
from chromalens.cli.args import TargetsAction, _positive_int, add_settings, make_extractor, parse_target, positive_threshold
from chromalens.cli.progress import Progress, duration
from chromalens.cli.terminal import PROG, one_line

__all__ = ["add_parser", "run"]

INSTALL_HINT = "pip install 'chromalens[batch]'"


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    """Adds the ``batch`` subcommand to `subparsers` (from ``add_subparsers``)."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "batch", prog=f"{PROG} batch", help="analyse many images on Dask, one JSON line per image",
        description="Analyse every image of PATH... (files, directories, glob patterns) on a Dask "
        "cluster and write one JSON record per image to RESULTS as each completes.",
        epilog="Exit status: 0 all analysed, 1 some failed or no target found, 2 bad usage. "
        f"Needs Dask: {INSTALL_HINT}",
    )
    parser.add_argument("paths", nargs="+", metavar="PATH", help="image file, directory or glob pattern")
    parser.add_argument("--out", "-o", required=True, metavar="RESULTS", help="JSON lines file to write")
    parser.add_argument("--recursive", "-r", action="store_true",
                        help="look into subdirectories (and let ** span them)")
    parser.add_argument("--resume", action="store_true",
                        help="continue RESULTS: skip images it records, append the rest")
    engine = parser.add_argument_group("cluster")
    engine.add_argument("--workers", "-w", type=_positive_int, metavar="N",
                        help="local worker processes (default: one per core)")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="use this Dask scheduler (tcp://HOST:PORT); its workers need the files")
    add_settings(parser)
    settings = parser.add_argument_group("analysis")
    settings.add_argument("--max-side", type=_positive_int, metavar="N",
                          help="shrink images whose longer side exceeds N pixels")
    settings.add_argument("--ignore-alpha", dest="use_alpha", action="store_false",
                          help="analyse transparent pixels too")
    settings.add_argument("--target", "-t", dest="targets", action=TargetsAction, type=parse_target,
                          metavar="NAME=COLOUR", help="a target colour, e.g. red=#ff0000 or navy (repeatable)")
    settings.add_argument("--detailed", action="store_true", help="measure targets pixel by pixel")
    settings.add_argument("--threshold", type=positive_threshold, metavar="T",
                          help="largest LAB distance counted as similar, above 0 (default: 50)")
    parser.set_defaults(run=run, batch_parser=parser)
    return parser


def _check_usage(args: argparse.Namespace) -> Optional[Dict[str, Tuple[int, int, int]]]:
    parser: argparse.ArgumentParser = args.batch_parser
    targets: Optional[Dict[str, Tuple[int, int, int]]] = args.targets or None
    if args.detailed and targets is None:
        parser.error("--detailed measures target colours: give at least one --target")
    if args.threshold is not None:
        if targets is None:
            parser.error("--threshold applies to target colours: give at least one --target")
        if args.detailed:
            parser.error("--threshold applies to the dominant-colour match, not to --detailed")
    if args.workers is not None and args.scheduler is not None:
        parser.error("--workers sizes the local cluster; not with --scheduler")
    return targets


def _summary(tally: Tally, skipped: int, targets: bool, out: str, seconds: float) -> str:
    total = tally.analysed + tally.failed
    parts = [f"{tally.analysed} analysed"]
    if tally.failed:
        parts.append(f"{tally.failed} failed")
    if skipped:
        parts.append(f"{skipped} recorded before")
    text = f"{PROG}: {total} image{'s' if total != 1 else ''}: {', '.join(parts)}"
    if targets:
        text += f"; target colours in {tally.with_target}" if tally.with_target else "; no target colour found"
    return f"{text}; results in {out} ({duration(seconds)})"


def run(args: argparse.Namespace, stderr: Optional[TextIO] = None) -> int:
    """Runs ``chromalens batch`` with parsed `args`; returns the exit status."""
    stderr = sys.stderr if stderr is None else stderr
    try:
        targets = _check_usage(args)
    except SystemExit as exit_request:
        return exit_request.code if isinstance(exit_request.code, int) else 2

    def fail(message: str, status: int) -> int:
        print(f"{PROG}: error: {message}", file=stderr)
        return status

    try:
        from chromalens.catalog import driver
    except ImportError as error:
        return fail(f"{error}" if INSTALL_HINT in str(error) else
                    f"the batch command needs Dask distributed ({error}); install it with: {INSTALL_HINT}", 2)
    try:
        paths = find_images(args.paths, recursive=args.recursive)
    except FileNotFoundError as error:
        return fail(str(error), 2)
    if not paths:
        return fail("no image files found in " + " ".join(args.paths), 1)

    tally = Tally()
    done: Set[str] = set()
    try:
        if args.resume and os.path.exists(args.out):
            done = read_results(args.out, tally)
        flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | (0 if args.resume else os.O_EXCL)
        fd = os.open(args.out, flags, 0o666)
    except FileExistsError:
        return fail(f"{args.out} exists: give --resume to continue it, or remove it", 2)
    except (OSError, ResultsError) as error:
        return fail(str(error), 1)

    todo = [path for path in paths if path_key(path) not in done]
    skipped = len(paths) - len(todo)
    extractor = make_extractor(args)
    progress = Progress(stderr, len(todo))
    started = time.monotonic()
    records = None
    try:
        if todo:
            records = driver.analyze(
                todo, extractor, targets=targets, detailed=args.detailed,
                similarity_threshold=50.0 if args.threshold is None else args.threshold,
                max_side=args.max_side, use_alpha=args.use_alpha, client=args.scheduler, workers=args.workers)
            for record in records:
                write_record(fd, record)
                tally.add(record)
                progress.update(record["error"] is not None)
    except KeyboardInterrupt:
        progress.clear()
        print(f"{PROG}: interrupted; {args.out} holds whole records: run again with --resume to finish",
              file=stderr)
        return 130
    except OSError as error:
        progress.clear()
        return fail(f"cannot go on ({error}); {args.out} holds whole records: run again with --resume", 1)
    except Exception as error:  # a cluster that cannot be reached or is lost mid-run
        progress.clear()
        return fail(f"{one_line(error)}; run again with --resume to finish", 1)
    finally:
        if records is not None:
            records.close()
        os.close(fd)
    progress.clear()
    print(_summary(tally, skipped, targets is not None, args.out, time.monotonic() - started), file=stderr)
    if tally.failed or (targets is not None and not tally.with_target):
        return 1
    return 0
