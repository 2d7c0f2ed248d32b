"""A palette picture people can read: one swatch per colour, its hex code and share.

Drawn with Matplotlib's object API on a figure of its own, so it never opens
a window and never leaves a figure in pyplot's list of open figures.
"""

from __future__ import annotations

import io
import math
import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Union

from matplotlib.figure import Figure

from chromalens._text import hex_code

__all__ = ["palette_card", "text_color_for", "PaletteFigure"]

FORMATS = ("png", "svg", "pdf")
WIDTH = 800            # figure width in pixels at DPI: the size it is meant to be read at
DPI = 100
PNG_DPI = 200          # PNG files at twice that, so they stay sharp on high-density screens
MARGIN = 24
GAP = 12
TITLE_HEIGHT = 46      # one line of title at TITLE_SIZE
TITLE_SIZE = 17        # points; a title too long for one line shrinks down to TITLE_MIN_SIZE,
TITLE_MIN_SIZE = 12    # then wraps onto more lines at that size
TITLE_LINE = 21        # pixels each further line of title adds
STRIP_HEIGHT = 34
TILE_HEIGHT = 104
COLUMNS = 5
EDGE = "#b8b8b8"       # a thin outline, so white and near-white swatches stay visible

RGB = Tuple[int, int, int]


class PaletteFigure(Figure):
    """The figure of a palette card: a :class:`matplotlib.figure.Figure` that
    Jupyter and IPython display as its picture (PNG, sharp on high-density
    screens) when it is a cell's value."""

    def _repr_png_(self) -> Tuple[bytes, Dict[str, int]]:
        buffer = io.BytesIO()
        self.savefig(buffer, format="png", dpi=PNG_DPI, facecolor=self.get_facecolor())
        width, height = (round(float(v) * self.dpi) for v in self.get_size_inches())
        return buffer.getvalue(), {"width": width, "height": height}


def _linear(channel: int) -> float:
    value = channel / 255.0
    return value / 12.92 if value <= 0.04045 else ((value + 0.055) / 1.055) ** 2.4


def relative_luminance(rgb: Sequence[int]) -> float:
    """WCAG relative luminance of an sRGB colour (0 for black, 1 for white)."""
    r, g, b = (_linear(int(c)) for c in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def text_color_for(rgb: Sequence[int]) -> str:
    """"black" or "white": whichever has the higher WCAG contrast ratio on `rgb`."""
    luminance = relative_luminance(rgb)
    on_black = (luminance + 0.05) / 0.05
    on_white = 1.05 / (luminance + 0.05)
    return "black" if on_black >= on_white else "white"


def _checked(colors: Sequence[Mapping[str, Any]]) -> Tuple[Sequence[RGB], Sequence[float]]:
    if isinstance(colors, Mapping) or not isinstance(colors, Sequence):
        raise TypeError(f"colors must be a list of colour info records, got {type(colors).__name__}")
    if not colors:
        raise ValueError("colors is empty: there is nothing to draw")
    rgbs, shares = [], []
    for index, record in enumerate(colors):
        try:
            rgb = tuple(int(c) for c in record["color"])
            share = float(record["percentage"])
        except (KeyError, TypeError, ValueError) as error:
            raise TypeError(f"colors[{index}] is not a colour info record with 'color' (R, G, B) and "
                            f"'percentage': {error}") from None
        if len(rgb) != 3 or not all(0 <= c <= 255 for c in rgb):
            raise ValueError(f"colors[{index}]['color'] must be three integers 0..255, got {record['color']!r}")
        if not math.isfinite(share) or share < 0:
            raise ValueError(f"colors[{index}]['percentage'] must be a finite number >= 0, got {share!r}")
        rgbs.append(rgb)
        shares.append(share)
    return rgbs, shares


def _text_measure() -> Callable[[str, float], float]:
    """A function giving the width in figure pixels of a text in the title's
    bold font at a size in points, as the PNG renderer draws it (its hinted
    glyphs are a little wider than the outlines SVG and PDF files use)."""
    from matplotlib.backends.backend_agg import RendererAgg
    from matplotlib.font_manager import FontProperties

    renderer = RendererAgg(1, 1, DPI)

    def width(text: str, size: float) -> float:
        measured, _, _ = renderer.get_text_width_height_descent(text, FontProperties(size=size, weight="bold"),
                                                                ismath=False)
        return float(measured)

    return width


def _wrapped(text: str, room: float, size: float, measure: Callable[[str, float], float]) -> List[str]:
    """`text` in lines no wider than `room`: broken between words, and inside
    a word only when the word alone is wider."""
    lines: List[str] = []
    line = ""
    for word in text.split():
        candidate = f"{line} {word}" if line else word
        if measure(candidate, size) <= room:
            line = candidate
            continue
        if line:
            lines.append(line)
        line = ""
        for character in word:
            if line and measure(line + character, size) > room:
                lines.append(line)
                line = ""
            line += character
    return lines + [line] if line else lines


def _title_layout(title: str, room: float) -> Tuple[List[str], float]:
    """The title's lines and font size: one line at the largest size from
    TITLE_SIZE down to TITLE_MIN_SIZE that fits in `room`, else wrapped
    at TITLE_MIN_SIZE."""
    measure = _text_measure()
    width = measure(title, TITLE_SIZE)
    if width <= room:
        return [title], TITLE_SIZE
    size = math.floor(TITLE_SIZE * room / width * 10) / 10
    while size >= TITLE_MIN_SIZE:
        if measure(title, size) <= room:
            return [title], size
        size -= 0.5
    return _wrapped(title, room, TITLE_MIN_SIZE, measure), TITLE_MIN_SIZE


def _format_of(path: Union[str, "os.PathLike[str]"]) -> str:
    extension = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    if extension not in FORMATS:
        raise ValueError(f"cannot write a palette as {os.fspath(path)!r}: "
                         f"the name must end in {', '.join('.' + f for f in FORMATS)}")
    return extension


def palette_card(colors: Sequence[Mapping[str, Any]], path: Union[str, "os.PathLike[str]", None] = None,
                 *, title: Optional[str] = None) -> Any:
    """Draw `colors` as a palette card; save it to `path`, or return the figure.

    `colors` is a list of colour info records as `extract_colors` returns them
    (dicts with "color", an (R, G, B) tuple, and "percentage").  The card shows
    a strip with each colour as wide as its share, then one swatch per colour
    (at most five to a row), in the order given, labelled with its hex code and its share (two
    decimals), in black or white, whichever contrasts more with the swatch
    (WCAG relative luminance).  `title`, when given, is written above; a title
    too long for one line is set smaller, down to 12 points, then wrapped.

    With `path` (``.png``, ``.svg`` or ``.pdf``; the format follows the
    extension) the card is written there and None is returned; nothing stays
    open.  Without it, the figure is returned: a :class:`PaletteFigure`, which
    is a :class:`matplotlib.figure.Figure` not registered with pyplot.  A
    notebook shows it as the picture when it is the cell's value, and
    ``figure.savefig(...)`` writes it.  800 pixels wide at its 100 dpi.
    """
    from matplotlib.patches import Rectangle

    rgbs, shares = _checked(colors)
    file_format = _format_of(path) if path is not None else None

    inner = WIDTH - 2 * MARGIN
    title_lines, title_size = _title_layout(title, inner) if title else ([], TITLE_SIZE)
    count = len(rgbs)
    # At most COLUMNS swatches a row, the rows as evenly filled as they can be (6 colours: 3 + 3).
    rows = math.ceil(count / COLUMNS)
    columns = math.ceil(count / rows)
    title_height = TITLE_HEIGHT + (len(title_lines) - 1) * TITLE_LINE if title_lines else 0
    top = MARGIN + title_height
    tiles_top = top + STRIP_HEIGHT + 2 * GAP
    height = tiles_top + rows * TILE_HEIGHT + (rows - 1) * GAP + MARGIN

    figure = PaletteFigure(figsize=(WIDTH / DPI, height / DPI), dpi=DPI, facecolor="white")
    axes = figure.add_axes((0, 0, 1, 1))
    axes.set_xlim(0, WIDTH)
    axes.set_ylim(height, 0)  # y grows downwards, as on a page
    axes.set_axis_off()

    def fill(rgb: RGB) -> Tuple[float, float, float]:
        return (rgb[0] / 255, rgb[1] / 255, rgb[2] / 255)

    if title_lines:
        axes.text(MARGIN, MARGIN + title_height / 2 - 4, "\n".join(title_lines), fontsize=title_size,
                  fontweight="bold", ha="left", va="center", color="#202020")

    # The strip: shares at a glance, in proportion.
    total = sum(shares)
    x = float(MARGIN)
    for rgb, share in zip(rgbs, shares):
        width = inner * (share / total if total > 0 else 1 / count)
        axes.add_patch(Rectangle((x, top), width, STRIP_HEIGHT, facecolor=fill(rgb), edgecolor="none"))
        x += width
    axes.add_patch(Rectangle((MARGIN, top), inner, STRIP_HEIGHT, facecolor="none", edgecolor=EDGE, lw=0.8))

    # The swatches: one per colour, labelled.
    tile_width = (inner - (columns - 1) * GAP) / columns
    for index, (rgb, share) in enumerate(zip(rgbs, shares)):
        row, column = divmod(index, columns)
        left = MARGIN + column * (tile_width + GAP)
        upper = tiles_top + row * (TILE_HEIGHT + GAP)
        axes.add_patch(Rectangle((left, upper), tile_width, TILE_HEIGHT, facecolor=fill(rgb),
                                 edgecolor=EDGE, lw=0.8))
        ink = text_color_for(rgb)
        centre = left + tile_width / 2
        axes.text(centre, upper + TILE_HEIGHT * 0.40, hex_code(rgb), color=ink, fontsize=15,
                  fontweight="bold", family="monospace", ha="center", va="center")
        axes.text(centre, upper + TILE_HEIGHT * 0.70, f"{share:.2f}%", color=ink, fontsize=14,
                  ha="center", va="center")

    if path is None:
        return figure
    try:
        figure.savefig(path, format=file_format, dpi=PNG_DPI if file_format == "png" else DPI,
                       facecolor=figure.get_facecolor())
    finally:
        # Not in pyplot's list, so nothing else holds it: drop the drawing now.
        figure.clear()
    return None
