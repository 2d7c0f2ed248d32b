"""``chromalens extract``: the dominant colours of images, as tables or JSON, with pictures."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any, Dict, List, TextIO

from chromalens.cli.args import (add_settings, add_threads_option, export_formats, make_extractor,
                                 matplotlib_formats, native_threads, output_path, palette_formats)
from chromalens.cli.inputs import (NOTHING_ANALYSED, CommandError, add_input_options, check_outputs, describe,
                                   load_inputs, plural, report_error, run_command)
from chromalens.cli.terminal import PROG, Status, hex_code, json_default, one_line, supports_truecolor, swatch, table

__all__ = ["add_parser", "run"]


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    extract: argparse.ArgumentParser = subparsers.add_parser(
        "extract", prog=f"{PROG} extract", help="print the dominant colours of images",
        description="Print the dominant colours of each IMAGE (hex, RGB, share), one table per image. "
        f"For folders and many files, with results saved as they complete, use '{PROG} batch'.")
    extract.add_argument("images", nargs="*", metavar="IMAGE",
                         help="image files (default: the bundled sample photo)")
    add_settings(extract)
    add_input_options(extract)
    add_threads_option(extract)
    output = extract.add_argument_group("output")
    output.add_argument("--json", action="store_true",
                        help="print the result as JSON: the list of colours for one image; for several, one "
                        'line per image: {"path": ..., "colors": [...]}')
    output.add_argument("--chart", metavar="PATH", type=output_path(matplotlib_formats, "chart"),
                        help="also save the colour bar chart to PATH (format from the extension, e.g. .png; "
                        "one image only)")
    output.add_argument("--palette", metavar="PATH", type=output_path(palette_formats, "palette"),
                        help="also save a palette card (swatches with hex codes and shares) to PATH "
                        "(.png, .svg or .pdf; one image only)")
    output.add_argument("--export", metavar="FILE", type=output_path(export_formats, "palette export"),
                        help="also write the colours as a palette file for design tools: .json, .css "
                        "(custom properties), .gpl (GIMP) or .ase (Adobe Swatch Exchange); one image only")
    extract.set_defaults(run=run, parser=extract)
    return extract


def run(args: argparse.Namespace) -> int:
    if len(args.images) > 1 and (args.chart is not None or args.palette is not None or args.export is not None):
        try:
            args.parser.error(f"--chart, --palette and --export take one image, got {len(args.images)}; "
                              "give each image its own command")
        except SystemExit as exit_request:
            return exit_request.code if isinstance(exit_request.code, int) else 2
    return run_command(_extract, args)


def _save_chart(extractor: Any, colors: List[Any], path: str) -> None:
    import matplotlib.pyplot as plt

    if not colors:
        raise CommandError(f"no colours were found, so no chart was written to {path}")
    # A file only: never open a window, and leave no figure behind.
    plt.switch_backend("agg")
    before = set(plt.get_fignums())
    try:
        extractor.visualize_colors(colors, path)
    except (OSError, ValueError, RuntimeError) as error:
        raise CommandError(f"cannot write chart {path}: {one_line(error)}") from None
    finally:
        for number in set(plt.get_fignums()) - before:
            plt.close(number)


def _save_palette(colors: List[Any], path: str, title: str) -> None:
    from chromalens.palette import palette_card

    if not colors:
        raise CommandError(f"no colours were found, so no palette was written to {path}")
    try:
        palette_card(colors, path, title=title)
    except (OSError, ValueError) as error:
        raise CommandError(f"cannot write palette {path}: {one_line(error)}") from None


def _export(colors: List[Any], path: str, name: str) -> None:
    from chromalens.export import export_palette

    if not colors:
        raise CommandError(f"no colours were found, so no palette was written to {path}")
    try:
        export_palette(colors, path, name=name)
    except OSError as error:
        raise CommandError(f"cannot write palette {path}: {one_line(error)}") from None


def _records(colors: List[Any]) -> List[Dict[str, Any]]:
    return [{"color": list(c["color"]), "percentage": c["percentage"], "hex": hex_code(c["color"])} for c in colors]


def _write_table(out: TextIO, label: str, how: str, colors: List[Any]) -> None:
    out.write(f"{label}: {plural(len(colors), 'dominant colour')} ({how})\n")
    if not colors:
        out.write(NOTHING_ANALYSED + "\n")
        return
    swatches = supports_truecolor(out)
    rows = [[hex_code(c["color"]), *(str(int(v)) for v in c["color"]), f"{c['percentage']:.2f}%"] for c in colors]
    lines = table(["hex", "red", "green", "blue", "share"], rows, [False, True, True, True, True])
    out.write(lines[0] + "\n")
    for line, c in zip(lines[1:], colors):
        out.write(line + ("  " + swatch(c["color"]) if swatches else "") + "\n")


def _extract_one(args: argparse.Namespace, path: str, label: str, out: TextIO, status: Status,
                 several: bool, first: bool = True) -> None:
    image, mask, opaque_only = load_inputs(args, path)
    extractor = make_extractor(args)
    how = describe(args, image, opaque_only=opaque_only)
    with native_threads(args.threads):
        colors = status.run(f"extracting colours of {label} ({how})" if several else f"extracting colours ({how})",
                            lambda: extractor.extract_colors(image, mask))

    if args.json:
        records = _records(colors)
        line = {"path": path, "colors": records} if several else records
        out.write(json.dumps(line, default=json_default) + "\n")
    else:
        if several and not first:
            out.write("\n")
        _write_table(out, label, how, colors)
    out.flush()

    if args.chart is not None:
        status.run(f"drawing chart {args.chart}", lambda: _save_chart(extractor, colors, args.chart))
    if args.palette is not None:
        title = f"Dominant colours of {os.path.basename(path)}"
        status.run(f"drawing palette {args.palette}", lambda: _save_palette(colors, args.palette, title))
    if args.export is not None:
        status.run(f"writing palette {args.export}", lambda: _export(colors, args.export, os.path.basename(path)))


def _extract(args: argparse.Namespace, out: TextIO, status: Status) -> int:
    check_outputs(args)
    if not args.images:
        from chromalens.samples import sample_image_path

        path = sample_image_path()
        _extract_one(args, path, f"sample photo {os.path.basename(path)}", out, status, several=False)
        return 0
    if len(args.images) == 1:
        _extract_one(args, args.images[0], args.images[0], out, status, several=False)
        return 0
    # Several images: a failure is reported on its own line and the others go on.
    failures = written = 0
    for path in args.images:
        try:
            _extract_one(args, path, path, out, status, several=True, first=written == 0)
            written += 1
        except CommandError as error:
            report_error(status, error)
            failures += 1
    return 1 if failures else 0
