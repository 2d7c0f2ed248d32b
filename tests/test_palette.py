"""palette_card: the files it writes, the text colour on each swatch, no figure left open."""

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.colors import to_rgb
from matplotlib.figure import Figure
from PIL import Image

from chromalens import palette_card
from chromalens.palette import relative_luminance, text_color_for

COLORS = [{"color": (38, 34, 43), "percentage": 48.19}, {"color": (104, 137, 197), "percentage": 17.12},
          {"color": (233, 198, 175), "percentage": 14.25}, {"color": (255, 255, 255), "percentage": 10.49},
          {"color": (71, 78, 137), "percentage": 9.95}]


def labels(figure):
    return [(t.get_text(), to_rgb(t.get_color())) for t in figure.axes[0].texts]


@pytest.mark.parametrize("rgb, expected", [
    ((0, 0, 0), "white"), ((255, 255, 255), "black"), ((38, 34, 43), "white"), ((233, 198, 175), "black"),
    ((255, 0, 0), "black"), ((0, 0, 255), "white"), ((0, 128, 0), "white"), ((255, 255, 0), "black"),
    # Either side of the grey whose contrast with black and with white is equal (luminance 0.179).
    ((117, 117, 117), "white"), ((118, 118, 118), "black"),
])
def test_text_color_has_the_higher_contrast(rgb, expected):
    assert text_color_for(rgb) == expected


def test_relative_luminance_reference_values():
    assert relative_luminance((255, 255, 255)) == pytest.approx(1.0)
    assert relative_luminance((0, 0, 0)) == 0.0
    assert relative_luminance((255, 0, 0)) == pytest.approx(0.2126)
    assert relative_luminance((128, 128, 128)) == pytest.approx(0.2158605, abs=1e-6)


def test_figure_has_hex_share_and_title_in_the_contrasting_colour():
    figure = palette_card(COLORS, title="Dominant colours of photo.jpg")
    assert isinstance(figure, Figure)
    assert plt.get_fignums() == []  # not registered with pyplot
    texts = labels(figure)
    assert texts[0][0] == "Dominant colours of photo.jpg"
    swatch_texts = texts[1:]
    assert [t for t, _ in swatch_texts] == [s for c in COLORS for s in ("#%02x%02x%02x" % c["color"],
                                                                        f"{c['percentage']:.2f}%")]
    for index, record in enumerate(COLORS):
        ink = to_rgb(text_color_for(record["color"]))
        assert swatch_texts[2 * index][1] == ink and swatch_texts[2 * index + 1][1] == ink
    assert figure.get_size_inches()[0] * figure.dpi == 800


def swatch_lefts(figure):
    return sorted({round(p.get_x()) for p in figure.axes[0].patches if p.get_height() > 100})


@pytest.mark.parametrize("count, columns", [(1, 1), (5, 5), (6, 3), (7, 4), (11, 4), (12, 4)])
def test_no_title_when_none_and_rows_evenly_filled(count, columns):
    colors = [{"color": (i * 20, 255 - i * 20, 100), "percentage": 100 / count} for i in range(count)]
    figure = palette_card(colors)
    assert len(figure.axes[0].texts) == 2 * count  # hex and share per swatch, nothing else
    assert figure.axes[0].texts[0].get_text() == "#00ff64"
    assert len(swatch_lefts(figure)) == columns


@pytest.mark.parametrize("name, magic", [("card.png", b"\x89PNG"), ("card.SVG", b"<?xml"), ("card.pdf", b"%PDF")])
def test_writes_each_format_and_leaves_nothing_open(tmp_path, name, magic):
    before = plt.get_fignums()
    assert palette_card(COLORS, tmp_path / name, title="t") is None
    assert plt.get_fignums() == before
    data = (tmp_path / name).read_bytes()
    assert data.startswith(magic)
    if name.endswith(".png"):
        with Image.open(tmp_path / name) as png:
            assert png.size[0] == 1600  # 800 px at twice the density
            pixels = np.asarray(png.convert("RGB"))
        # The dark swatch's colour is there, and so is white text on it.
        assert (pixels == (38, 34, 43)).all(axis=2).sum() > 1000


@pytest.mark.parametrize("colors, path, error, message", [
    ([], None, ValueError, "colors is empty"),
    ({"color": (1, 2, 3), "percentage": 1.0}, None, TypeError, "must be a list"),
    ([{"color": (1, 2, 3)}], None, TypeError, r"colors\[0\] is not a colour info record"),
    ([{"color": (1, 2, 300), "percentage": 1.0}], None, ValueError, "three integers 0..255"),
    ([{"color": (1, 2, 3), "percentage": float("nan")}], None, ValueError, "finite number"),
    (COLORS, "card.jpg", ValueError, "must end in .png, .svg, .pdf"),
    (COLORS, "card", ValueError, "must end in"),
])
def test_bad_input_is_refused_before_writing(tmp_path, colors, path, error, message):
    target = None if path is None else tmp_path / path
    with pytest.raises(error, match=message):
        palette_card(colors, target)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("title", [
    "Dominant colours of photo.jpg",
    "Dominant colours of " + "a_rather_long_camera_export_name_" * 2 + ".jpg",
    "Dominant colours of " + "IMG_" + "0123456789" * 14 + ".jpg",
    "word " * 60,
])
def test_title_stays_inside_the_card(title):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    figure = palette_card(COLORS, title=title)
    text = figure.axes[0].texts[0]
    renderer = FigureCanvasAgg(figure).get_renderer()
    box = text.get_window_extent(renderer)
    width, height = figure.get_size_inches() * figure.dpi
    assert 0 < box.x0 and box.x1 <= width - 20
    # Below the title, the strip starts where the title's lines end.
    strip_top = height - min(p.get_y() for p in figure.axes[0].patches)  # y grows downwards
    assert box.y0 > strip_top
    assert "".join(text.get_text().split()) == "".join(title.split())
    assert text.get_fontsize() >= 12


def test_notebook_shows_the_card_as_a_picture(tmp_path):
    """A real kernel runs a notebook whose last line is palette_card(colors)."""
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    import base64
    import io

    source = ("from chromalens import palette_card\n"
              f"colors = {COLORS!r}\n"
              "palette_card(colors, title='Notebook')")
    notebook = nbformat.v4.new_notebook(cells=[nbformat.v4.new_code_cell(source)])
    nbclient.NotebookClient(notebook, timeout=120, kernel_name="python3",
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    (result,) = [o for o in notebook.cells[0].outputs if o["output_type"] == "execute_result"]
    png = base64.b64decode(result["data"]["image/png"])
    assert result["metadata"]["image/png"]["width"] == 800
    with Image.open(io.BytesIO(png)) as picture:
        assert picture.size[0] == 1600
        assert (np.asarray(picture.convert("RGB")) == (38, 34, 43)).all(axis=2).sum() > 1000
