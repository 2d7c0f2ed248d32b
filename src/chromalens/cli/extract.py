"""``chromalens extract``: the dominant colours of one image, as a table or JSON, with pictures."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any, List, TextIO

from chromalens.cli.args import (add_settings, export_formats, make_extractor, matplotlib_formats, output_path,
                                 palette_formats)
from chromalens.cli.inputs import (NOTHING_ANALYSED, CommandError, add_input_options, check_outputs, describe,
                                   load_inputs, plural, run_command)
from chromalens.cli.terminal import PROG, Status, hex_code, json_default, one_line, supports_truecolor, swatch, table

__all__ = ["add_parser", "run"]


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    extract: argparse.ArgumentParser = subparsers.add_parser(
        "extract", prog=f"{PROG} extract", help="print the dominant colours of an image",
        description="Print the dominant colours of IMAGE (hex, RGB, share).")
    extract.add_argument("image", nargs="?", metavar="IMAGE",
                         help="image file (default: the bundled sample photo)")
    add_settings(extract)
    add_input_options(extract)
    output = extract.add_argument_group("output")
    output.add_argument("--json", action="store_true", help="print the result as JSON")
    output.add_argument("--chart", metavar="PATH", type=output_path(matplotlib_formats, "chart"),
                        help="also save the colour bar chart to PATH (format from the extension, e.g. .png)")
    output.add_argument("--palette", metavar="PATH", type=output_path(palette_formats, "palette"),
                        help="also save a palette card (swatches with hex codes and shares) to PATH "
                        "(.png, .svg or .pdf)")
    output.add_argument("--export", metavar="FILE", type=output_path(export_formats, "palette export"),
                        help="also write the colours as a palette file for design tools: .json, .css "
                        "(custom properties), .gpl (GIMP) or .ase (Adobe Swatch Exchange)")
    extract.set_defaults(run=run)
    return extract


def run(args: argparse.Namespace) -> int:
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


def _extract(args: argparse.Namespace, out: TextIO, status: Status) -> int:
    label = args.image
    if args.image is None:
        from chromalens.samples import sample_image_path

        args.image = sample_image_path()
        label = f"sample photo {os.path.basename(args.image)}"
    check_outputs(args)
    image, mask, opaque_only = load_inputs(args)
    extractor = make_extractor(args)
    how = describe(args, image, opaque_only=opaque_only)
    colors = status.run(f"extracting colours ({how})",
                        lambda: extractor.extract_colors(image, mask))

    if args.json:
        records = [{"color": list(c["color"]), "percentage": c["percentage"], "hex": hex_code(c["color"])}
                   for c in colors]
        out.write(json.dumps(records, default=json_default) + "\n")
    else:
        out.write(f"{label}: {plural(len(colors), 'dominant colour')} ({how})\n")
        if colors:
            swatches = supports_truecolor(out)
            rows = [[hex_code(c["color"]), *(str(int(v)) for v in c["color"]), f"{c['percentage']:.2f}%"]
                    for c in colors]
            lines = table(["hex", "red", "green", "blue", "share"], rows, [False, True, True, True, True])
            out.write(lines[0] + "\n")
            for line, c in zip(lines[1:], colors):
                out.write(line + ("  " + swatch(c["color"]) if swatches else "") + "\n")
        else:
            out.write(NOTHING_ANALYSED + "\n")
    out.flush()

    if args.chart is not None:
        status.run(f"drawing chart {args.chart}", lambda: _save_chart(extractor, colors, args.chart))
    if args.palette is not None:
        title = f"Dominant colours of {os.path.basename(args.image)}"
        status.run(f"drawing palette {args.palette}", lambda: _save_palette(colors, args.palette, title))
    if args.export is not None:
        status.run(f"writing palette {args.export}",
                   lambda: _export(colors, args.export, os.path.basename(args.image)))
    return 0
