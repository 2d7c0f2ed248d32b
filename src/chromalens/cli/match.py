"""``chromalens match``: how strongly target colours are present in one image."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any, Dict, List, Sequence, TextIO, Tuple

from chromalens.cli.args import (TargetsAction, add_settings, add_threads_option, make_extractor, native_threads,
                                 parse_target, positive_threshold, target_or_threshold)
from chromalens.cli.inputs import NOTHING_ANALYSED, add_input_options, describe, load_inputs, plural, run_command
from chromalens.cli.terminal import PROG, Status, hex_code, json_default, supports_truecolor, swatch, table

__all__ = ["add_parser", "run"]


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    match: argparse.ArgumentParser = subparsers.add_parser(
        "match", prog=f"{PROG} match", help="tell how strongly target colours are present in an image",
        description="For each target colour, report how much of IMAGE is close to it: from the dominant "
        "colours (default) or pixel by pixel (--detailed).",
    )
    match.add_argument("image", metavar="IMAGE", help="image file")
    match.add_argument("targets", nargs="*", type=_target, action=TargetsAction, metavar="NAME=COLOUR",
                       help="a target colour: NAME=COLOUR, COLOUR being R,G,B, #RGB, #RRGGBB or a CSS colour "
                       "name (sky=skyblue), or a CSS colour name alone (navy)")
    # -t means --target, as in batch (a number after it is still taken as the threshold,
    # as older versions spelt --threshold).
    match.add_argument("--target", "-t", dest="targets", type=target_or_threshold, action=TargetsAction,
                       metavar="NAME=COLOUR", help="a target colour, as an option (repeatable)")
    match.add_argument("--detailed", action="store_true",
                       help="measure every pixel (shares within distance 15, 30 and 50, closest pixel)")
    match.add_argument("--threshold", type=positive_threshold, default=None, metavar="T",
                       help="largest LAB distance counted as similar, above 0 (default: 50; not with --detailed)")
    add_settings(match)
    add_input_options(match)
    add_threads_option(match)
    match.add_argument("--json", action="store_true", help="print the result as JSON")
    match.set_defaults(run=run, parser=match)
    return match


def _target(text: str) -> Tuple[str, Tuple[int, int, int]]:
    """A target colour; a second image given in its place is pointed to ``batch``."""
    if "=" not in text and os.path.isfile(text):
        raise argparse.ArgumentTypeError(
            f"{text!r} is a file, not a target: match analyses one image; for several, use "
            f"'{PROG} batch IMAGE ... --out RESULTS.jsonl -t NAME=COLOUR'")
    return parse_target(text)


def run(args: argparse.Namespace) -> int:
    problem = None
    if not args.targets:
        problem = "the following arguments are required: NAME=COLOUR"  # as when they were positional only
    elif args.detailed and args.threshold is not None:
        problem = "--threshold applies to the dominant-colour match, not to --detailed"
    if problem is not None:
        try:
            args.parser.error(problem)
        except SystemExit as exit_request:
            return exit_request.code if isinstance(exit_request.code, int) else 2
    return run_command(_match, args)


def _match_rows(report: Dict[str, Any], targets: Dict[str, Tuple[int, int, int]],
                detailed: bool) -> Tuple[List[List[str]], List[Sequence[int]]]:
    rows: List[List[str]] = []
    closest: List[Sequence[int]] = []
    for name, record in report.items():
        target = hex_code(targets[name])
        if detailed:
            pixel = record["closest_pixel"]
            rows.append([name, target, hex_code(pixel), f"{float(record['min_distance']):.2f}",
                         f"{float(record['similarity_score']):.2f}", f"{float(record['very_close_percentage']):.2f}%",
                         f"{float(record['close_percentage']):.2f}%", f"{float(record['total_percentage']):.2f}%"])
        else:
            pixel = record["closest_color"]
            rows.append([name, target, hex_code(pixel), f"{float(record['distance']):.2f}",
                         f"{float(record['similarity']):.2f}", f"{float(record['percentage']):.2f}%",
                         "yes" if record["found_directly"] else "no"])
        closest.append(pixel)
    return rows, closest


def _match(args: argparse.Namespace, out: TextIO, status: Status) -> int:
    targets: Dict[str, Tuple[int, int, int]] = args.targets
    image, mask, opaque_only = load_inputs(args, args.image)
    extractor = make_extractor(args)
    how = describe(args, image, clustered=not args.detailed, opaque_only=opaque_only)
    threshold = 50.0 if args.threshold is None else args.threshold
    with native_threads(args.threads):
        if args.detailed:
            report: Dict[str, Any] = status.run(
                f"measuring every pixel against {plural(len(targets), 'colour')} ({how})",
                lambda: extractor.find_color_matches(image, targets, mask))
        else:
            report = status.run(f"extracting colours ({how})",
                                lambda: extractor.analyze_color_similarity(image, targets, mask, threshold))

    if args.json:
        out.write(json.dumps(report, default=json_default) + "\n")
        out.flush()
        return 0

    out.write(f"{args.image}: {'pixel-by-pixel' if args.detailed else 'dominant-colour'} match ({how})\n")
    if not report:
        out.write(NOTHING_ANALYSED + "\n")
        out.flush()
        return 0
    rows, closest = _match_rows(report, targets, args.detailed)
    if args.detailed:
        headers = ["target", "colour", "closest", "distance", "similarity", "<15", "<30", "<50"]
        right = [False, False, False, True, True, True, True, True]
    else:
        headers = ["target", "colour", "closest", "distance", "similarity", "share", "direct"]
        right = [False, False, False, True, True, True, False]
    lines = table(headers, rows, right)
    out.write(lines[0] + "\n")
    swatches = supports_truecolor(out)
    for line, name, pixel in zip(lines[1:], report, closest):
        extra = f"  {swatch(targets[name])} {swatch(pixel)}" if swatches else ""
        out.write(line + extra + "\n")
    out.flush()
    return 0
