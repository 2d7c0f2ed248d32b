"""Palette exports, each read back by a reader written from the format's own description."""

import json
import re
import struct

import numpy as np
import pytest

from chromalens import export_palette
from chromalens.cli import main
from plain_readings import ref_css_name


def read_ase(data):
    """Adobe Swatch Exchange: "ASEF", version (2 x uint16), block count (uint32), then blocks of
    type (uint16) and length (uint32); a colour entry (type 1) holds its name (uint16 count of
    UTF-16 units with the terminating zero, then the units), a four-letter model and its
    values as 32-bit floats, then a colour type (uint16); all big-endian."""
    assert data[:4] == b"ASEF"
    major, minor, count = struct.unpack(">HHI", data[4:12])
    assert (major, minor) == (1, 0)
    colours, at = [], 12
    for _ in range(count):
        kind, length = struct.unpack(">HI", data[at:at + 6])
        body, at = data[at + 6:at + 6 + length], at + 6 + length
        assert kind == 1 and len(body) == length
        units = struct.unpack(">H", body[:2])[0]
        name = body[2:2 + 2 * units].decode("utf-16-be")
        assert name.endswith("\0")
        model = body[2 + 2 * units:6 + 2 * units]
        assert model == b"RGB "
        values = struct.unpack(">fff", body[6 + 2 * units:18 + 2 * units])
        assert struct.unpack(">H", body[18 + 2 * units:20 + 2 * units]) == (2,)
        colours.append((name[:-1], tuple(round(v * 255) for v in values)))
    assert at == len(data)
    return colours


def read_gpl(text):
    """GIMP palette: the line "GIMP Palette", optional "Name:" and "Columns:" lines, comment
    lines starting with "#", then one colour a line: red, green, blue, then its name."""
    lines = text.splitlines()
    assert lines[0] == "GIMP Palette"
    name, colours = None, []
    for line in lines[1:]:
        if line.startswith("Name:"):
            name = line[5:].strip()
        elif line.startswith("Columns:") or line.startswith("#") or not line.strip():
            continue
        else:
            r, g, b, label = line.split(None, 3)
            colours.append(((int(r), int(g), int(b)), label))
    return name, colours


def read_css(text):
    """Custom properties: `--name: value;` declarations in the :root rule."""
    rule = re.search(r":root\s*\{(.*?)\}", text, re.S).group(1)
    return re.findall(r"(--[\w-]+)\s*:\s*([^;]+);", rule)


PALETTES = [
    [{"color": (38, 34, 43), "percentage": 48.19}, {"color": (104, 137, 197), "percentage": 17.12},
     {"color": (255, 255, 255), "percentage": 25.0}, {"color": (0, 0, 0), "percentage": 9.69}],
    [{"color": tuple(int(v) for v in rgb), "percentage": round(float(p), 2)}
     for rgb, p in zip(np.random.default_rng(7).integers(0, 256, (12, 3)),
                       np.random.default_rng(8).uniform(0, 40, 12))],
]


@pytest.mark.parametrize("colors", PALETTES)
def test_every_format_reads_back(tmp_path, colors):
    hexes = ["#%02x%02x%02x" % c["color"] for c in colors]
    rgbs = [tuple(c["color"]) for c in colors]
    for extension in ("json", "css", "gpl", "ase"):
        export_palette(colors, tmp_path / f"shop <&> ü.{extension}")
    assert read_ase((tmp_path / "shop <&> ü.ase").read_bytes()) == list(zip(hexes, rgbs))
    name, lines = read_gpl((tmp_path / "shop <&> ü.gpl").read_text("utf-8"))
    assert name == "shop <&> ü"
    assert [rgb for rgb, _ in lines] == rgbs
    assert [label.split() for _, label in lines] == [
        [h, ref_css_name(c["color"]), f"{c['percentage']:.2f}%"] for h, c in zip(hexes, colors)]
    assert read_css((tmp_path / "shop <&> ü.css").read_text("utf-8")) == [
        (f"--color-{i}", h) for i, h in enumerate(hexes, 1)]
    document = json.loads((tmp_path / "shop <&> ü.json").read_text("utf-8"))
    assert document["name"] == "shop <&> ü"
    assert document["colors"] == [{"hex": h, "rgb": list(c["color"]), "percentage": c["percentage"],
                                   "name": ref_css_name(c["color"])} for h, c in zip(hexes, colors)]


def test_export_refuses_what_it_cannot_write(tmp_path):
    with pytest.raises(ValueError, match=r"must end in \.json, \.css, \.gpl, \.ase"):
        export_palette(PALETTES[0], tmp_path / "palette.txt")
    with pytest.raises(ValueError, match="empty"):
        export_palette([], tmp_path / "palette.json")


def test_extract_export_writes_the_colours_it_prints(tmp_path, capsys):
    target = tmp_path / "photo.gpl"
    assert main(["extract", "--colors", "3", "--json", "--export", str(target)]) == 0
    printed = json.loads(capsys.readouterr().out)
    name, lines = read_gpl(target.read_text("utf-8"))
    assert name == "grace_hopper.jpg"
    assert [rgb for rgb, _ in lines] == [tuple(c["color"]) for c in printed]
