"""visualize_colors: the bar chart of colour info records.

Two views: a pyplot stand-in bound as the module's `plt` records every call
(order, arguments, argument types); the real pyplot under Agg shows what is
drawn and saved.
"""

import pathlib

import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pytest
from PIL import Image

from chromalens import ColorExtractor


@pytest.fixture(autouse=True)
def _close_figures():
    plt.close("all")
    yield
    plt.close("all")


class Recorder:
    """Records every method called on it into a shared log."""

    def __init__(self, log, name, returns=None):
        self._log = log
        self._name = name
        self._returns = returns or {}

    def __getattr__(self, attr):
        if attr.startswith("__"):
            raise AttributeError(attr)

        def call(*args, **kwargs):
            self._log.append((f"{self._name}.{attr}", args, kwargs))
            result = self._returns.get(attr)
            return result(*args, **kwargs) if callable(result) else result

        return call


def stand_in(log, subplots_result=None):
    fig = Recorder(log, "fig")
    ax = Recorder(log, "ax")
    result = (fig, ax) if subplots_result is None else subplots_result
    return Recorder(log, "plt", {"subplots": lambda *a, **k: result})


def expected_calls(records, save_path):
    """The calls a plain Python reading of the chart makes, in order."""
    calls = [("plt.subplots", (1, 1), {"figsize": (12, 2)})]
    start = 0
    for info in records:
        color = [c / 255.0 for c in info["color"]]
        percentage = info["percentage"]
        width = percentage / 100.0
        calls.append(("ax.barh", (0, width), {"left": start, "height": 0.8, "color": color,
                                              "edgecolor": "white", "linewidth": 1}))
        if width > 0.05:
            calls.append(("ax.text", (start + width / 2, 0, format(percentage, ".1f") + "%"),
                          {"ha": "center", "va": "center", "fontweight": "bold"}))
        start = start + width
    calls += [
        ("ax.set_xlim", (0, 1), {}),
        ("ax.set_ylim", (-0.5, 0.5), {}),
        ("ax.set_xlabel", ("Color Distribution",), {}),
        ("ax.set_title", ("Extracted Colors with Percentages",), {}),
        ("ax.set_yticks", ([],), {}),
        ("plt.tight_layout", (), {}),
    ]
    if save_path:
        calls.append(("plt.savefig", (save_path,), {"dpi": 300, "bbox_inches": "tight"}))
    calls.append(("plt.show", (), {}))
    return calls


def typed(calls):
    """Calls with every argument paired with its type, so int 0 and 0.0 differ."""
    def t(v):
        if isinstance(v, (list, tuple)):
            return (type(v).__name__, tuple(t(x) for x in v))
        return (type(v).__name__, v)
    return [(name, t(args), {k: t(v) for k, v in kwargs.items()}) for name, args, kwargs in calls]


RECORD_LISTS = {
    "sample-like": [{"color": (38, 34, 43), "percentage": 48.19}, {"color": (104, 137, 197), "percentage": 17.12},
                    {"color": (233, 198, 175), "percentage": 14.25}, {"color": (174, 94, 66), "percentage": 10.49},
                    {"color": (71, 78, 137), "percentage": 9.95}],
    "label-thresholds": [{"color": (255, 0, 0), "percentage": 5.0}, {"color": (0, 255, 0), "percentage": 5.01},
                         {"color": (0, 0, 255), "percentage": 33.35}, {"color": (9, 9, 9), "percentage": 12.25},
                         {"color": (1, 2, 3), "percentage": 25}],
    "numpy-values": [{"color": np.array([10, 20, 30], dtype=np.uint8), "percentage": np.float64(60.5)},
                     {"color": [0.5, 128, 255.0], "percentage": np.float32(39.5), "extra": "ignored"}],
    "over-100": [{"color": (200, 10, 10), "percentage": 70.0}, {"color": (10, 200, 10), "percentage": 70.0}],
    "single": [{"color": (0, 0, 0), "percentage": 100.0}],
}


@pytest.mark.parametrize("save_path", [None, "", "chart.png"])
@pytest.mark.parametrize("records", list(RECORD_LISTS.values()), ids=list(RECORD_LISTS))
def test_pyplot_calls_in_order(restore_globals, records, save_path):
    log = []
    restore_globals["plt"] = stand_in(log)
    assert ColorExtractor().visualize_colors(records, save_path) is None
    assert typed(log) == typed(expected_calls(records, save_path))


def test_random_records_match_plain_reading(restore_globals, rng):
    records = [{"color": tuple(int(c) for c in rng.integers(0, 256, 3)), "percentage": float(p)}
               for p in rng.uniform(0, 30, 12)]
    log = []
    restore_globals["plt"] = stand_in(log)
    ColorExtractor().visualize_colors(records, save_path="x.svg")
    # Positions must be the very floats the plain reading computes.
    assert typed(log) == typed(expected_calls(records, "x.svg"))


def test_empty_list_makes_no_call(restore_globals):
    log = []
    restore_globals["plt"] = stand_in(log)
    assert ColorExtractor().visualize_colors([], "never.png") is None
    assert log == []


def test_plt_is_looked_up_at_each_use(restore_globals):
    """Rebinding `plt` while the chart is drawn redirects the later pyplot calls."""
    first, second = [], []
    replacement = stand_in(second)

    def rebind():
        restore_globals["plt"] = replacement

    standin = stand_in(first)
    standin._returns["tight_layout"] = rebind
    restore_globals["plt"] = standin
    ColorExtractor().visualize_colors([{"color": (1, 2, 3), "percentage": 50}], "a.png")
    assert [c[0] for c in first][-1] == "plt.tight_layout"
    assert [c[0] for c in second] == ["plt.savefig", "plt.show"]


def test_missing_plt_is_a_name_error(restore_globals):
    del restore_globals["plt"]
    with pytest.raises(NameError, match="name 'plt' is not defined"):
        ColorExtractor().visualize_colors([{"color": (1, 2, 3), "percentage": 50}])


@pytest.mark.parametrize("result, error, message", [
    ((1, 2, 3), ValueError, r"^too many values to unpack \(expected 2\)$"),
    ([1], ValueError, r"^need more than 1 value to unpack$"),
    ((), ValueError, r"^need more than 0 values to unpack$"),
    (iter([1, 2, 3]), ValueError, r"^too many values to unpack \(expected 2\)$"),
    (None, TypeError, "not iterable"),
])
def test_subplots_result_must_be_a_pair(restore_globals, result, error, message):
    log = []
    restore_globals["plt"] = Recorder(log, "plt", {"subplots": lambda *a, **k: result})
    with pytest.raises(error, match=message):
        ColorExtractor().visualize_colors([{"color": (1, 2, 3), "percentage": 50}])
    assert [c[0] for c in log] == ["plt.subplots"]


class Lookup:
    """A record that is not a dict: items come from __getitem__ only."""

    def __init__(self, **values):
        self.values = values
        self.asked = []

    def __getitem__(self, key):
        self.asked.append(key)
        return self.values[key]


@pytest.mark.parametrize("bad, error", [
    ({"percentage": 10.0}, KeyError),
    ({"color": (1, 2, 3)}, KeyError),
    ({"color": ("a", 2, 3), "percentage": 10.0}, TypeError),
    ({"color": (1, 2, 3), "percentage": "10"}, TypeError),
    ({"color": 7, "percentage": 10.0}, TypeError),
])
def test_bad_record_stops_before_save_and_show(restore_globals, bad, error):
    log = []
    restore_globals["plt"] = stand_in(log)
    good = {"color": (9, 9, 9), "percentage": 40.0}
    with pytest.raises(error):
        ColorExtractor().visualize_colors([good, bad, good], "out.png")
    names = [c[0] for c in log]
    assert names[:3] == ["plt.subplots", "ax.barh", "ax.text"]
    assert "plt.savefig" not in names and "plt.show" not in names
    assert names.count("ax.barh") <= 2


def test_records_read_through_item_lookup(restore_globals):
    log = []
    restore_globals["plt"] = stand_in(log)
    record = Lookup(color=(255, 255, 255), percentage=20)
    ColorExtractor().visualize_colors([record])
    assert record.asked == ["color", "percentage"]
    barh = next(c for c in log if c[0] == "ax.barh")
    assert barh[2]["color"] == [1.0, 1.0, 1.0]


@pytest.mark.parametrize("kwargs, message", [
    ({"colors": ({"color": (1, 2, 3), "percentage": 1},)}, r"Argument 'colors' has incorrect type \(expected list, got tuple\)$"),
    ({"colors": None}, r"Argument 'colors' has incorrect type \(expected list, got NoneType\)$"),
    ({"colors": type("L", (list,), {})()}, r"expected list, got L\)\. Note that .*subclasses"),
    ({"colors": [], "save_path": pathlib.Path("a.png")}, r"Argument 'save_path' has incorrect type \(expected str, got PosixPath\)"),
    ({"colors": [], "save_path": b"a.png"}, r"Argument 'save_path' has incorrect type \(expected str, got bytes\)"),
])
def test_argument_checks_before_drawing(restore_globals, kwargs, message):
    log = []
    restore_globals["plt"] = stand_in(log)
    with pytest.raises(TypeError, match=message):
        ColorExtractor().visualize_colors(**kwargs)
    assert log == []


# ---------------------------------------------------------------------------
# The real pyplot, Agg backend.
# ---------------------------------------------------------------------------
def draw(records, save_path=None):
    before = set(plt.get_fignums())
    ColorExtractor().visualize_colors(records, save_path)
    new = set(plt.get_fignums()) - before
    assert len(new) == 1, "one figure is created and left open"
    fig = plt.figure(new.pop())
    assert fig is plt.gcf()
    (ax,) = fig.axes
    return fig, ax


@pytest.mark.parametrize("records", list(RECORD_LISTS.values()), ids=list(RECORD_LISTS))
def test_drawn_artists(records):
    assert matplotlib.get_backend().lower() == "agg"
    fig, ax = draw(records)
    assert tuple(fig.get_size_inches()) == (12.0, 2.0)
    rects = ax.patches
    assert len(rects) == len(records)
    start = 0.0
    expected_texts = []
    for rect, info in zip(rects, records):
        width = info["percentage"] / 100.0
        assert rect.get_x() == pytest.approx(start, abs=1e-12)
        assert rect.get_width() == pytest.approx(width, abs=1e-12)
        assert rect.get_y() == pytest.approx(-0.4)
        assert rect.get_height() == pytest.approx(0.8)
        expected_fill = tuple(float(c) / 255.0 for c in info["color"]) + (1.0,)
        assert rect.get_facecolor() == pytest.approx(expected_fill)
        assert rect.get_edgecolor() == (1.0, 1.0, 1.0, 1.0)
        assert rect.get_linewidth() == 1
        if width > 0.05:
            expected_texts.append((start + width / 2, format(info["percentage"], ".1f") + "%"))
        start += width
    texts = ax.texts
    assert [t.get_text() for t in texts] == [s for _, s in expected_texts]
    assert [t.get_position()[0] for t in texts] == pytest.approx([x for x, _ in expected_texts])
    for t in texts:
        assert t.get_position()[1] == 0
        assert (t.get_ha(), t.get_va(), t.get_fontweight()) == ("center", "center", "bold")
    assert ax.get_xlim() == (0.0, 1.0)
    assert ax.get_ylim() == (-0.5, 0.5)
    assert list(ax.get_yticks()) == []
    assert ax.get_xlabel() == "Color Distribution"
    assert ax.get_title() == "Extracted Colors with Percentages"


@pytest.mark.parametrize("percentage, label", [
    (5.0, None), (5.01, "5.0%"), (33.35, "33.4%"), (12.25, "12.2%"), (25, "25.0%"), (2.675, None),
    (99.95, "100.0%"), (0.0, None),
])
def test_label_text(percentage, label):
    _, ax = draw([{"color": (50, 60, 70), "percentage": percentage}])
    assert [t.get_text() for t in ax.texts] == ([] if label is None else [label])


def test_order_is_kept_and_extraction_result_draws_largest_first():
    records = [{"color": (0, 0, 0), "percentage": 10.0}, {"color": (255, 255, 255), "percentage": 60.0}]
    _, ax = draw(records)
    assert [r.get_facecolor()[0] for r in ax.patches] == [0.0, 1.0]
    image = np.concatenate([np.full((10, w, 3), v, np.uint8) for v, w in ((40, 5), (200, 30), (120, 15))], axis=1)
    extracted = ColorExtractor(n_colors=3, preprocessing=False).extract_colors(image)
    assert len(extracted) == 3
    _, ax = draw(extracted)
    widths = [r.get_width() for r in ax.patches]
    assert widths == sorted(widths, reverse=True)
    assert sum(widths) == pytest.approx(1.0, abs=1e-3)


def png_size(path):
    with Image.open(path) as image:
        return image.format, image.size, image.info.get("dpi")


def test_saved_png_at_300_dpi_tight(tmp_path):
    path = tmp_path / "chart.png"
    fig, _ = draw(RECORD_LISTS["sample-like"], str(path))
    fmt, (width, height), dpi = png_size(path)
    assert fmt == "PNG"
    assert dpi == pytest.approx((300, 300), abs=0.01)
    # A tight box is the drawn content, measured at the saving resolution,
    # plus Matplotlib's 0.1 inch padding.
    fig.set_dpi(300)
    box = fig.get_tightbbox(fig.canvas.get_renderer()).padded(0.1)
    assert width == pytest.approx(box.width * 300, abs=1)
    assert height == pytest.approx(box.height * 300, abs=1)
    assert (width, height) != (3600, 600)


@pytest.mark.parametrize("save_path", [None, ""])
def test_nothing_saved_without_a_path(tmp_path, monkeypatch, save_path):
    monkeypatch.chdir(tmp_path)
    draw([{"color": (1, 2, 3), "percentage": 50}], save_path)
    assert list(tmp_path.iterdir()) == []


def test_unwritable_path_propagates(tmp_path):
    with pytest.raises(OSError):
        ColorExtractor().visualize_colors([{"color": (1, 2, 3), "percentage": 50}],
                                          str(tmp_path / "missing-dir" / "c.png"))


def test_bad_record_leaves_earlier_segments_in_open_figure():
    before = set(plt.get_fignums())
    with pytest.raises(KeyError, match="percentage"):
        ColorExtractor().visualize_colors([{"color": (1, 2, 3), "percentage": 30}, {"color": (4, 5, 6)}])
    (number,) = set(plt.get_fignums()) - before
    assert len(plt.figure(number).axes[0].patches) == 1


def test_records_are_not_modified():
    records = [{"color": (10, 20, 30), "percentage": 70.0}, {"color": [1, 2, 3], "percentage": 30.0}]
    copy = [dict(r) for r in records]
    draw(records)
    assert records == copy
