"""The ``extract`` and ``match`` subcommands: read the inputs, run, print."""

from __future__ import annotations

import argparse
import json
import os
from typing import Any, Dict, List, Optional, Sequence, TextIO, Tuple

import numpy as np

from chromalens import ColorExtractor
from chromalens.cli_args import OutputPathError, check_output_path
from chromalens.cli_terminal import Status, hex_code, json_default, one_line, supports_truecolor, swatch, table

__all__ = ["CommandError", "run_extract", "run_match", "check_outputs"]

NOTHING_ANALYSED = "no pixels to analyse (the mask and transparency leave none, or in RGB mode all are pure black)"


class CommandError(Exception):
    """A failure to report as one line on stderr, with exit status 1."""


# ---------------------------------------------------------------------------
# Inputs
# ---------------------------------------------------------------------------
def _check_file(path: str, what: str) -> None:
    if not os.path.exists(path):
        raise CommandError(f"cannot read {what} {path}: no such file")
    if os.path.isdir(path):
        raise CommandError(f"cannot read {what} {path}: is a directory")


def _read(path: str, what: str, use_alpha: bool, max_side: Optional[int]) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """`read_image` on a file named on the command line; any failure becomes one line."""
    from chromalens import read_image

    _check_file(path, what)
    try:
        return read_image(path, use_alpha=use_alpha, max_side=max_side)
    except Exception as error:  # any reader failure is one line, never a traceback
        reason = one_line(error)
        prefix = f"Could not load image from {path}"  # the path is already in the message below
        if reason == prefix:
            reason = "not an image file that can be decoded"
        elif reason.startswith(prefix + ": "):
            reason = reason[len(prefix) + 2:]
        raise CommandError(f"cannot read {what} {path}: {reason}") from None


def _read_mask(path: str) -> np.ndarray:
    """A mask file as one grey channel, at its full size."""
    import cv2

    mask, _ = _read(path, "mask", use_alpha=False, max_side=None)
    return cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)


def _read_image(args: argparse.Namespace) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """The image (BGR) and its transparency mask (0/255, or None), downscaled when asked."""
    return _read(args.image, "image", use_alpha=not args.ignore_alpha, max_side=args.max_side)


def _fit_mask(mask: np.ndarray, image: np.ndarray, args: argparse.Namespace) -> np.ndarray:
    """The mask at the image's size: as it is, or downscaled like the image (nearest)."""
    import cv2

    (mask_h, mask_w), (image_h, image_w) = mask.shape[:2], image.shape[:2]
    if (mask_h, mask_w) == (image_h, image_w):
        return mask
    # With --max-side the image may have been downscaled: a mask of the original size has the
    # same proportions (up to a pixel of rounding) and is larger.
    downscaled = (args.max_side is not None and max(mask_h, mask_w) > max(image_h, image_w)
                  and abs(mask_w * image_h - mask_h * image_w) <= max(mask_h, mask_w))
    if not downscaled:
        raise CommandError(f"mask {args.mask} is {mask_w}x{mask_h} pixels but image {args.image} is "
                           f"{image_w}x{image_h}" + (" (after --max-side)" if args.max_side is not None else ""))
    return cv2.resize(mask, (image_w, image_h), interpolation=cv2.INTER_NEAREST)


def load_inputs(args: argparse.Namespace) -> Tuple[np.ndarray, Optional[np.ndarray], bool]:
    """The image, the mask to analyse it with (--mask and transparency combined), and
    whether the image's transparency is part of that mask."""
    image, alpha = _read_image(args)
    mask = None if args.mask is None else _fit_mask(_read_mask(args.mask), image, args)
    if alpha is None:
        return image, mask, False
    if mask is None:
        return image, alpha, True
    # A pixel is analysed only where both the mask file and the image's opacity select it.
    return image, np.where((mask > 128) & (alpha > 128), 255, 0).astype(np.uint8), True


def check_outputs(args: argparse.Namespace) -> None:
    """Refuse unusable output paths before any work is done."""
    for option, what in (("chart", "chart"), ("palette", "palette")):
        path = getattr(args, option, None)
        if path is not None:
            try:
                check_output_path(path, what)
            except OutputPathError as error:
                raise CommandError(str(error)) from None


# ---------------------------------------------------------------------------
# Shared pieces
# ---------------------------------------------------------------------------
def _extractor(args: argparse.Namespace) -> ColorExtractor:
    return ColorExtractor(n_colors=args.colors, algorithm=args.algorithm,
                          preprocessing=args.preprocessing, lab_space=args.lab_space)


def describe(args: argparse.Namespace, image: np.ndarray, clustered: bool = True, opaque_only: bool = False) -> str:
    """What is analysed and how: size, algorithm (when clustering), space, options off the default."""
    parts = [f"{image.shape[1]}x{image.shape[0]} image"]
    if clustered:
        parts.append(args.algorithm)
    parts.append("LAB" if args.lab_space else "RGB")
    if not args.preprocessing:
        parts.append("no preprocessing")
    max_side = getattr(args, "max_side", None)
    if max_side is not None:
        parts.append(f"max side {max_side}")
    if opaque_only:
        parts.append("opaque pixels only")
    return ", ".join(parts)


def _plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def _save_chart(extractor: ColorExtractor, colors: List[Any], path: str) -> None:
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


# ---------------------------------------------------------------------------
# Subcommands
# ---------------------------------------------------------------------------
def run_extract(args: argparse.Namespace, out: TextIO, status: Status) -> int:
    label = args.image
    if args.image is None:
        from chromalens.samples import sample_image_path

        args.image = sample_image_path()
        label = f"sample photo {os.path.basename(args.image)}"
    check_outputs(args)
    image, mask, opaque_only = load_inputs(args)
    extractor = _extractor(args)
    how = describe(args, image, opaque_only=opaque_only)
    colors = status.run(f"extracting colours ({how})",
                        lambda: extractor.extract_colors(image, mask))

    if args.json:
        records = [{"color": list(c["color"]), "percentage": c["percentage"], "hex": hex_code(c["color"])}
                   for c in colors]
        out.write(json.dumps(records, default=json_default) + "\n")
    else:
        out.write(f"{label}: {_plural(len(colors), 'dominant colour')} ({how})\n")
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
    return 0


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


def run_match(args: argparse.Namespace, out: TextIO, status: Status) -> int:
    targets: Dict[str, Tuple[int, int, int]] = args.targets
    image, mask, opaque_only = load_inputs(args)
    extractor = _extractor(args)
    how = describe(args, image, clustered=not args.detailed, opaque_only=opaque_only)
    if args.detailed:
        report: Dict[str, Any] = status.run(
            f"measuring every pixel against {_plural(len(targets), 'colour')} ({how})",
            lambda: extractor.find_color_matches(image, targets, mask))
    else:
        threshold = 50.0 if args.threshold is None else args.threshold
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
