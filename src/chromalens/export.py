"""Palette files for design tools: JSON, CSS custom properties, GIMP palettes, Adobe Swatch Exchange.

Each colour is written with its hex code; the text formats add its nearest
CSS colour name and its share.  The report page builds the same files, byte
for byte, in the browser (``report/assets/report.js``).
"""

from __future__ import annotations

import json
import os
import re
import struct
from typing import Any, List, Mapping, Optional, Sequence, Tuple, Union

from chromalens._text import hex_code
from chromalens.colors import css_names
from chromalens.palette import _checked

__all__ = ["EXPORT_FORMATS", "export_palette", "palette_bytes"]

EXPORT_FORMATS = ("json", "css", "gpl", "ase")

Colour = Tuple[Tuple[int, int, int], float, str]  # RGB, share, nearest CSS name


def _plain_name(name: str) -> str:
    # Control characters would break a line of the text formats.
    return re.sub(r"[\x00-\x1f\x7f]", " ", name)


def _json(name: str, colours: Sequence[Colour]) -> str:
    rows = [f'    {{"hex": "{hex_code(rgb)}", "rgb": [{rgb[0]}, {rgb[1]}, {rgb[2]}], '
            f'"percentage": {share:.2f}, "name": "{css}"}}' for rgb, share, css in colours]
    return '{\n  "name": ' + json.dumps(name) + ',\n  "colors": [\n' + ",\n".join(rows) + "\n  ]\n}\n"


def _css(name: str, colours: Sequence[Colour]) -> str:
    title = _plain_name(name).replace("*/", "* /")
    lines = [f"/* {title}: {len(colours)} colours, largest share first (chromalens) */", ":root {"]
    lines += [f"  --color-{i}: {hex_code(rgb)}; /* {css}, {share:.2f}% */"
              for i, (rgb, share, css) in enumerate(colours, 1)]
    return "\n".join(lines) + "\n}\n"


def _gpl(name: str, colours: Sequence[Colour]) -> str:
    lines = ["GIMP Palette", f"Name: {_plain_name(name)}", f"Columns: {min(len(colours), 8)}", "#"]
    lines += [f"{rgb[0]:3d} {rgb[1]:3d} {rgb[2]:3d}\t{hex_code(rgb)} {css} {share:.2f}%"
              for rgb, share, css in colours]
    return "\n".join(lines) + "\n"


def _ase(colours: Sequence[Colour]) -> bytes:
    # Big-endian: signature, version 1.0, block count, then one colour entry
    # (block type 1) per colour: its name in UTF-16 with a terminating zero,
    # the model "RGB ", three 32-bit floats 0..1 and the colour type 2 (normal).
    blocks = []
    for rgb, _, _ in colours:
        name = (hex_code(rgb) + "\0").encode("utf-16-be")
        body = struct.pack(">H", len(name) // 2) + name + b"RGB " + \
            struct.pack(">fffH", rgb[0] / 255, rgb[1] / 255, rgb[2] / 255, 2)
        blocks.append(struct.pack(">HI", 1, len(body)) + body)
    return b"ASEF" + struct.pack(">HHI", 1, 0, len(blocks)) + b"".join(blocks)


def palette_bytes(colors: Sequence[Mapping[str, Any]], file_format: str, name: str) -> bytes:
    """The file of `colors` (colour info records) in `file_format` (one of EXPORT_FORMATS), titled `name`."""
    rgbs, shares = _checked(colors)
    rgb_list: List[Tuple[int, int, int]] = [(int(r), int(g), int(b)) for r, g, b in rgbs]
    colours = list(zip(rgb_list, shares, css_names(rgb_list)))
    if file_format == "ase":
        return _ase(colours)
    writers = {"json": _json, "css": _css, "gpl": _gpl}
    if file_format not in writers:
        raise ValueError(f"unknown palette format {file_format!r}: use one of {', '.join(EXPORT_FORMATS)}")
    return writers[file_format](name, colours).encode("utf-8")


def export_palette(colors: Sequence[Mapping[str, Any]], path: Union[str, "os.PathLike[str]"],
                   *, name: Optional[str] = None) -> None:
    """Write `colors` to `path` as a palette file; the format follows the extension.

    `colors`: colour info records as ``extract_colors`` returns them (dicts
    with "color", an (R, G, B) triple, and "percentage"), in their order.
    ``.json`` (name, and per colour hex, rgb, percentage and nearest CSS
    name), ``.css`` (custom properties ``--color-1`` ... on ``:root``),
    ``.gpl`` (GIMP palette) or ``.ase`` (Adobe Swatch Exchange, RGB colours
    named by their hex codes).  `name` titles the palette (default: the file
    name without its extension).
    """
    text_path = os.fspath(path)
    extension = os.path.splitext(text_path)[1].lower().lstrip(".")
    if extension not in EXPORT_FORMATS:
        raise ValueError(f"cannot write a palette as {text_path!r}: the name must end in "
                         f"{', '.join('.' + f for f in EXPORT_FORMATS)}")
    if name is None:
        name = os.path.splitext(os.path.basename(text_path))[0]
    data = palette_bytes(colors, extension, name)
    with open(text_path, "wb") as stream:
        stream.write(data)
