"""What the ``extract`` and ``match`` subcommands share: reading the image and mask, describing the run."""

from __future__ import annotations

import argparse
import os
import sys
import warnings
from typing import Callable, Optional, TextIO, Tuple

import numpy as np

from chromalens.cli.args import OutputPathError, _positive_int, check_output_path, pixel_limit
from chromalens.cli.terminal import PROG, Status, one_line
from chromalens.io._limits import DEFAULT_MAX_PIXELS, PixelLimitError

__all__ = ["CommandError", "NOTHING_ANALYSED", "add_input_options", "load_inputs", "check_outputs", "describe",
           "plural", "report_error", "run_command"]

NOTHING_ANALYSED = "no pixels to analyse (the mask and transparency leave none, or in RGB mode all are pure black)"


class CommandError(Exception):
    """A failure to report as one line on stderr, with exit status 1."""


# ---------------------------------------------------------------------------
# Inputs
# ---------------------------------------------------------------------------
def add_input_options(parser: argparse.ArgumentParser) -> None:
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
    group.add_argument("--max-pixels", type=pixel_limit, default=DEFAULT_MAX_PIXELS, metavar="N",
                       help=f"refuse files whose header declares more than N pixels, as possible decompression "
                       f"bombs (default: {DEFAULT_MAX_PIXELS}); 0 or 'none' lifts the limit, and lets OpenCV try "
                       "formats whose size cannot be read from a header")


def _check_file(path: str, what: str) -> None:
    if not os.path.exists(path):
        raise CommandError(f"cannot read {what} {path}: no such file")
    if os.path.isdir(path):
        raise CommandError(f"cannot read {what} {path}: is a directory")


def _limit_reason(error: PixelLimitError) -> str:
    """Why a file was refused by the pixel limit, with the option that lifts it."""
    if error.declared is None:
        return ("not a recognised image file (if OpenCV reads its format, pass --max-pixels 0 to decode it "
                "without checking its size first)")
    width, height = error.declared
    return (f"its header declares {width} x {height} = {width * height:,} pixels, more than the limit of "
            f"{error.limit:,} (a possible decompression bomb); pass --max-pixels with a larger number, "
            "or --max-pixels 0 to lift the limit")


def _read(path: str, what: str, args: argparse.Namespace, use_alpha: bool,
          max_side: Optional[int]) -> Tuple[np.ndarray, Optional[np.ndarray]]:
    """`read_image` on a file named on the command line; any failure becomes one line."""
    from chromalens import read_image

    _check_file(path, what)
    try:
        # A damaged file's header can make Pillow warn before the error that says it in one line.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return read_image(path, use_alpha=use_alpha, max_side=max_side, max_pixels=args.max_pixels)
    except PixelLimitError as error:
        raise CommandError(f"cannot read {what} {path}: {_limit_reason(error)}") from None
    except Exception as error:  # any reader failure is one line, never a traceback
        reason = one_line(error)
        prefix = f"Could not load image from {path}"  # the path is already in the message below
        if reason == prefix:
            reason = "not an image file that can be decoded"
        elif reason.startswith(prefix + ": "):
            reason = reason[len(prefix) + 2:]
        raise CommandError(f"cannot read {what} {path}: {reason}") from None


def _read_mask(args: argparse.Namespace) -> np.ndarray:
    """The mask file as one grey channel, at its full size."""
    import cv2

    mask, _ = _read(args.mask, "mask", args, use_alpha=False, max_side=None)
    return cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)


def _fit_mask(mask: np.ndarray, image: np.ndarray, path: str, args: argparse.Namespace) -> np.ndarray:
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
        raise CommandError(f"mask {args.mask} is {mask_w}x{mask_h} pixels but image {path} is "
                           f"{image_w}x{image_h}" + (" (after --max-side)" if args.max_side is not None else ""))
    return cv2.resize(mask, (image_w, image_h), interpolation=cv2.INTER_NEAREST)


def load_inputs(args: argparse.Namespace, path: str) -> Tuple[np.ndarray, Optional[np.ndarray], bool]:
    """The image at `path`, the mask to analyse it with (--mask and transparency
    combined), and whether the image's transparency is part of that mask."""
    image, alpha = _read(path, "image", args, use_alpha=not args.ignore_alpha, max_side=args.max_side)
    mask = None if args.mask is None else _fit_mask(_read_mask(args), image, path, args)
    if alpha is None:
        return image, mask, False
    if mask is None:
        return image, alpha, True
    # A pixel is analysed only where both the mask file and the image's opacity select it.
    return image, np.where((mask > 128) & (alpha > 128), 255, 0).astype(np.uint8), True


def check_outputs(args: argparse.Namespace) -> None:
    """Refuse unusable output paths before any work is done."""
    for option, what in (("chart", "chart"), ("palette", "palette"), ("export", "palette export")):
        path = getattr(args, option, None)
        if path is not None:
            try:
                check_output_path(path, what)
            except OutputPathError as error:
                raise CommandError(str(error)) from None


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


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'' if count == 1 else 's'}"


def report_error(status: Status, error: CommandError) -> None:
    """One line on stderr, after the status line is cleared."""
    status.clear()
    print(f"{PROG}: error: {error}", file=sys.stderr)


def run_command(body: Callable[[argparse.Namespace, TextIO, Status], int], args: argparse.Namespace) -> int:
    """Runs a one-image subcommand: its failures are one line on stderr and an exit status."""
    status = Status(sys.stderr)
    try:
        return body(args, sys.stdout, status)
    except CommandError as error:
        report_error(status, error)
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
