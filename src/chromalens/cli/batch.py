"""``chromalens batch``: a catalogue of images analysed on Dask, one JSON line per image.

::

    chromalens batch PATH... --out RESULTS.jsonl [--recursive] [--workers N | --scheduler ADDRESS]
                     [--resume [--retry-failed]] [analysis options] [limits]

Each record is written and flushed as its image completes, as one whole line,
so an interrupted run leaves only whole lines behind (but perhaps a partial
last one, which ``--resume`` drops before it appends the images not yet
recorded).  One run at a time writes a results file.  Exit status: 0 when
every image was analysed, 1 when some failed or, with targets, no image holds
any of them, or the cluster failed; 2 for bad usage (and when Dask is not
installed); 130 when interrupted, 143 when terminated.
"""

import argparse
import contextlib
import logging
import os
import signal
import sys
import threading
import time
from typing import Any, Dict, Iterator, Optional, TextIO, Tuple

from chromalens.catalog.lock import LockHeld, holding_lock
from chromalens.catalog.paths import Scan, scan
from chromalens.catalog.results import (Recorded, ResultsError, Tally, differences, identity, outcome, read_results,
                                        write_record)
from chromalens.catalog.task import MAX_PIXELS, MAX_SECONDS, setting_values
from chromalens.cli.args import (TargetsAction, _positive_int, add_settings, make_extractor, parse_target, pixel_limit,
                                 positive_threshold, seconds_limit)
from chromalens.cli.batch_report import dropped_lines, settings_refusal, summary
from chromalens.cli.progress import Progress
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
    parser.add_argument("--retry-failed", action="store_true",
                        help="with --resume: analyse again the images whose records are errors")
    engine = parser.add_argument_group("cluster")
    engine.add_argument("--workers", "-w", type=_positive_int, metavar="N",
                        help="local worker processes (default: one per core)")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="use this Dask scheduler (tcp://HOST:PORT); its workers need the files")
    engine.add_argument("--threads", type=_positive_int, metavar="N",
                        help="native threads per analysis (default: each machine's cores over its worker threads)")
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
    limits = parser.add_argument_group("limits per image")
    limits.add_argument("--max-pixels", type=pixel_limit, default=MAX_PIXELS, metavar="N",
                        help=f"refuse images whose header declares more pixels (default: {MAX_PIXELS:,}; "
                        "0 or 'none' lifts the limit)")
    limits.add_argument("--max-seconds", type=seconds_limit, default=MAX_SECONDS, metavar="S",
                        help=f"stop an image analysed for longer, restarting its worker process "
                        f"(default: {MAX_SECONDS:g}; 0 or 'none' lifts the limit)")
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
    if args.retry_failed and not args.resume:
        parser.error("--retry-failed re-analyses the failed images of a results file: give --resume too")
    return targets


class _Terminated(BaseException):
    """SIGTERM, handled as Ctrl-C is."""


@contextlib.contextmanager
def _terminate_like_interrupt() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield  # signal handlers belong to the main thread
        return

    def terminated(signum: int, frame: Any) -> None:
        raise _Terminated()

    previous = signal.signal(signal.SIGTERM, terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


@contextlib.contextmanager
def _quiet_dask() -> Iterator[None]:
    """Dask's own logging off: every outcome of the run is told in the run's own lines."""
    names = [name for name in logging.root.manager.loggerDict
             if name.split(".")[0] in ("distributed", "asyncio", "tornado")]
    loggers = [logging.getLogger(name) for name in names + ["distributed", "asyncio", "tornado"]]
    disabled = [logger.disabled for logger in loggers]
    for logger in loggers:
        logger.disabled = True
    try:
        yield
    finally:
        for logger, was in zip(loggers, disabled):
            logger.disabled = was


class _Failure(Exception):
    """A reason to stop, with its exit status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


def _open_results(args: argparse.Namespace) -> Tuple[int, Recorded]:
    """The results file open for appending, and what it records (on --resume)."""
    recorded = Recorded()
    try:
        if args.resume and os.path.lexists(args.out):
            recorded = read_results(args.out, retry_failed=args.retry_failed)
        flags = os.O_WRONLY | os.O_APPEND | os.O_CREAT | (0 if args.resume else os.O_EXCL)
        return os.open(args.out, flags, 0o666), recorded
    except FileExistsError:
        raise _Failure(f"{args.out} exists: give --resume to continue it, or remove it", 2) from None
    except ResultsError as error:
        raise _Failure(str(error), 1) from None
    except OSError as error:
        raise _Failure(f"cannot use {args.out}: {error.strerror or error}", 1) from None


def _analysis(args: argparse.Namespace, targets: Any, driver: Any) -> Tuple[Any, Any]:
    extractor = make_extractor(args)
    options = driver.make_options(targets, args.detailed, 50.0 if args.threshold is None else args.threshold,
                                  args.max_side, args.use_alpha, args.max_pixels, args.max_seconds, args.threads,
                                  command_line=True)
    return extractor, options


def run(args: argparse.Namespace, stderr: Optional[TextIO] = None) -> int:
    """Runs ``chromalens batch`` with parsed `args`; returns the exit status."""
    stderr = sys.stderr if stderr is None else stderr
    try:
        targets = _check_usage(args)
    except SystemExit as exit_request:
        return exit_request.code if isinstance(exit_request.code, int) else 2
    try:
        with _terminate_like_interrupt():
            return _run(args, targets, stderr)
    except _Failure as failure:
        print(f"{PROG}: error: {failure}", file=stderr)
        return failure.status
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=stderr)
        return 130
    except _Terminated:
        print(f"{PROG}: terminated", file=stderr)
        return 143


def _run(args: argparse.Namespace, targets: Any, stderr: TextIO) -> int:
    try:
        from chromalens.catalog import driver
    except ImportError as error:
        raise _Failure(str(error) if error.name == "distributed" else
                       f"the batch command needs Dask distributed ({error}); install it with: {INSTALL_HINT}",
                       2) from None
    try:
        found = scan(args.paths, recursive=args.recursive)
    except FileNotFoundError as error:
        raise _Failure(str(error), 2) from None
    for note in found.notes:
        print(f"{PROG}: note: {note}", file=stderr)
    if not found.images:
        raise _Failure("no image files found in " + " ".join(args.paths), 1)
    if not args.resume and os.path.lexists(args.out):
        raise _Failure(f"{args.out} exists: give --resume to continue it, or remove it", 2)
    extractor, options = _analysis(args, targets, driver)
    with contextlib.ExitStack() as stack:
        stack.enter_context(_quiet_dask())
        try:
            stack.enter_context(holding_lock(args.out))
        except LockHeld as held:
            raise _Failure(str(held), 1) from None
        except OSError as error:
            raise _Failure(f"cannot lock {args.out}: {error.strerror or error}", 1) from None
        fd, recorded = _open_results(args)
        stack.callback(os.close, fd)
        report = dropped_lines(args.out, recorded)
        if report:
            print(f"{PROG}: {report}", file=stderr)
        wanted = setting_values(extractor, options)
        for settings in recorded.settings:
            changes = differences(settings, wanted)
            if changes:
                raise _Failure(settings_refusal(args.out, changes), 2)
        status = _catalogue(args, found, recorded, fd, (extractor, options), driver, stderr)
    return status


def _catalogue(args: argparse.Namespace, found: Scan, recorded: Recorded, fd: int, analysis: Tuple[Any, Any],
               driver: Any, stderr: TextIO) -> int:
    extractor, options = analysis
    tally, todo = Tally(), []
    for path in found.images:
        known = recorded.outcomes.get(identity(path))
        if known is None:
            todo.append(path)
        else:
            tally.add(known)
    before = tally.analysed + tally.failed
    progress = Progress(stderr, len(todo))
    started = time.monotonic()
    stopped: Optional[str] = None
    try:
        if todo:
            progress.start()
            with contextlib.closing(driver.catalogue(todo, extractor, options, args.scheduler,
                                                     args.workers)) as records:
                for record in records:
                    try:
                        write_record(fd, record)
                    except OSError as error:
                        raise _Failure(f"cannot write {args.out} ({error.strerror or error}); it holds whole "
                                       "records: run again with --resume to finish", 1) from None
                    result = outcome(record)
                    tally.add(result)
                    progress.update(result.failed)
    except KeyboardInterrupt:
        stopped, status = "interrupted", 130
    except _Terminated:
        stopped, status = "terminated", 143
    except driver.ClusterError as error:
        stopped, status = one_line(error), 1
    finally:
        progress.clear()
    if stopped is not None:
        resume = f"; {args.out} holds whole records: run again with --resume to finish" if os.fstat(fd).st_size else ""
        print(f"{PROG}: {stopped}{resume}", file=stderr)
        return status
    print(summary(tally, before, found.skipped, options.targets is not None, args, time.monotonic() - started),
          file=stderr)
    if tally.failed or (options.targets is not None and not tally.with_target):
        return 1
    return 0
