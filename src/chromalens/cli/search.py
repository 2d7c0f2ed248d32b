"""``chromalens search``: the images of ``batch`` results ranked by colour, as a table or JSON lines.

::

    chromalens search RESULTS... -c [NAME=]COLOUR [-c ...] [--any] [--max-distance D]
                      [--min-share P] [--top K] [--json]
    chromalens search RESULTS... --like IMAGE [--max-distance D] [--top K] [--json]

Exit status: 0 with hits, 1 with none, 2 for bad usage or results that cannot
be read.  Notes (error records skipped, lines that are no record) go to stderr.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, Dict, List, Optional, TextIO

from chromalens.cli.args import TargetsAction, _finite_float, _positive_int, parse_target, positive_threshold
from chromalens.cli.inputs import plural
from chromalens.cli.terminal import PROG, is_terminal, one_line, supports_truecolor, terminal_width

__all__ = ["add_parser", "run"]

SCORE_HELP = """\
score of an image for a colour Q: the share of the image near Q, in percent,
  round(sum of p_i * (((D - d_i) / D * 100) / 100) for d_i <= D, 2)
p_i: a palette colour's share; d_i: its LAB distance to Q (the extractor's);
D: --max-distance.  This is the similarity analysis's weighing, over every
palette colour, summed in palette order.  A NAME that batch --detailed measured
per pixel, with the same colour, uses those shares instead (pixels within 15,
30 and 50 weighed at 7.5, 22.5 and 40).  Several colours: an image must hold
all and scores as its weakest (--any: any, as its strongest).  Ties go to the
earlier record.  --like: the earth mover's distance between the palettes in
LAB, shares as weights; nearest first.

exit status: 0 with hits, 1 with none, 2 for bad usage or unreadable results."""
SHOWN_PROBLEMS = 5
STRIP_CELLS = 12


def _share(text: str) -> float:
    value = _finite_float(text)
    if not 0 <= value <= 100:
        raise argparse.ArgumentTypeError(f"must be a share from 0 to 100, got {text!r}")
    return value


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "search", prog=f"{PROG} search", help="rank the images of batch results by colour",
        description="Rank the images that 'chromalens batch' recorded in RESULTS by how much of\n"
        "each is near the colours given, or by how near their palettes are to IMAGE's.",
        epilog=SCORE_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("results", nargs="+", metavar="RESULTS", help="a results file written by batch")
    query = parser.add_argument_group("what to look for")
    query.add_argument("--color", "-c", dest="colors", action=TargetsAction, type=parse_target,
                       metavar="[NAME=]COLOUR", help="a colour: R,G,B, #RGB, #RRGGBB or a CSS name (repeatable)")
    query.add_argument("--like", metavar="IMAGE",
                       help="images whose palettes are nearest to IMAGE's (its record, or the file analysed)")
    query.add_argument("--any", action="store_true", help="with several colours: any of them, not all")
    query.add_argument("--max-distance", type=positive_threshold, metavar="D",
                       help="largest LAB distance counted as near (default: 50; with --like: no limit)")
    query.add_argument("--min-share", type=_share, default=0.0, metavar="P",
                       help="an image holds a colour when its score is at least P (default: above 0)")
    output = parser.add_argument_group("output")
    output.add_argument("--top", type=_positive_int, default=20, metavar="K", help="show the K best (default: 20)")
    output.add_argument("--json", action="store_true", help="one JSON object per hit, best first")
    parser.set_defaults(run=run, search_parser=parser)
    return parser


def _check_usage(args: argparse.Namespace) -> None:
    parser: argparse.ArgumentParser = args.search_parser
    if (args.colors is None) == (args.like is None):
        parser.error("give colours (-c COLOUR) or --like IMAGE")
    if args.like is not None and args.any:
        parser.error("--any applies to several colours, not to --like")
    if args.like is not None and args.min_share:
        parser.error("--min-share applies to colours, not to --like")


def _printable(text: str) -> str:
    """`text` safe for a terminal: control characters shown as '?'."""
    return "".join(c if c.isprintable() else "?" for c in text)


def _shorten(text: str, width: int) -> str:
    return text if len(text) <= width else "..." + text[len(text) - max(width - 3, 1):]


def _strip(colors: List[Dict[str, Any]]) -> str:
    """The palette as STRIP_CELLS coloured cells, each colour as wide as its share."""
    total = sum(c["percentage"] for c in colors) or 1.0
    cells: List[Any] = []
    used = 0.0
    for c in colors:
        used += c["percentage"] / total * STRIP_CELLS
        count = round(used) - len(cells)
        cells += [c["color"]] * count
    return "".join(f"\x1b[48;2;{r};{g};{b}m \x1b[0m" for r, g, b in cells[:STRIP_CELLS])


def _matched(hit: Dict[str, Any], queries: Optional[Dict[str, Any]]) -> str:
    """Hex codes of the palette colours nearest to each colour asked for (for --like: the largest)."""
    if queries is None:
        return hit["colors"][0]["hex"] if hit["colors"] else ""
    from chromalens.colors import lab_codes, squared_distances

    labs = lab_codes([c["color"] for c in hit["colors"]])
    picked = []
    for lab in lab_codes(list(queries.values())):
        picked.append(hit["colors"][int(squared_distances(labs, lab).argmin())]["hex"])
    return " ".join(dict.fromkeys(picked))


def _table(hits: List[Dict[str, Any]], queries: Optional[Dict[str, Any]], out: TextIO) -> None:
    width = terminal_width(out) if is_terminal(out) else 80
    strips = supports_truecolor(out)
    measure = "score" if queries is not None else "distance"
    rows = [(str(h["rank"]), f"{h[measure]:.2f}", _matched(h, queries), _printable(h["path"])) for h in hits]
    widths = [max(len(r[i]) for r in rows + [("rank", measure, "colour", "")]) for i in range(3)]
    swatch_width = (STRIP_CELLS + 2 if strips else 0) + widths[2]
    room = max(width - 1 - widths[0] - widths[1] - swatch_width - 6, 12)
    out.write(f"{'rank'.rjust(widths[0])}  {measure.rjust(widths[1])}  {'colour'.ljust(swatch_width)}  path\n")
    for (rank, value, hexes, path), hit in zip(rows, hits):
        swatch = (_strip(hit["colors"]) + "  " if strips else "") + hexes.ljust(widths[2])
        out.write(f"{rank.rjust(widths[0])}  {value.rjust(widths[1])}  {swatch}  {_shorten(path, room)}\n")


def run(args: argparse.Namespace, out: Optional[TextIO] = None, err: Optional[TextIO] = None) -> int:
    out = sys.stdout if out is None else out
    err = sys.stderr if err is None else err
    try:
        _check_usage(args)
    except SystemExit as exit_request:
        return exit_request.code if isinstance(exit_request.code, int) else 2
    from chromalens.catalog.query import search

    try:
        found = search(args.results, args.colors, like=args.like, match="any" if args.any else "all",
                       max_distance=args.max_distance, min_share=args.min_share, top=args.top)
    except OSError as error:
        reason = error.strerror.lower() if error.strerror else one_line(error)
        print(f"{PROG}: error: cannot read {error.filename or 'the results'}: {reason}", file=err)
        return 2
    except (ValueError, RuntimeError) as error:
        print(f"{PROG}: error: {one_line(error)}", file=err)
        return 2
    for note in found.notes + found.problems[:SHOWN_PROBLEMS]:
        print(f"{PROG}: {_printable(note)}", file=err)
    if len(found.problems) > SHOWN_PROBLEMS:
        print(f"{PROG}: ... and {plural(len(found.problems) - SHOWN_PROBLEMS, 'more line')} skipped", file=err)
    try:
        if args.json:
            for hit in found.hits:
                out.write(json.dumps(hit) + "\n")
        elif found.hits:
            _table(found.hits, args.colors, out)
        out.flush()
    except BrokenPipeError:
        return 0 if found.hits else 1
    summary = f"{PROG}: {plural(found.images, 'image')} searched"
    if found.matched is not None:
        summary += f", {found.matched} with {'the colour' if len(args.colors or ()) < 2 else 'the colours'}"
    if found.failed:
        summary += f"; {plural(found.failed, 'error record')} skipped"
    print(summary, file=err)
    return 0 if found.hits else 1
