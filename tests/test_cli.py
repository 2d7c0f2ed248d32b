"""The command line: `python -m chromalens`, the `chromalens` script, `main()`.

A few runs go through a real subprocess (exit status, stderr, the console
script, a terminal on stderr); the rest call `main()` in-process on small
generated images, and compare what it prints with the Python API.
"""

import io
import json
import pathlib
import re
import subprocess
import sys

import cv2
import matplotlib.pyplot as plt
import numpy as np
import pytest
from threadpoolctl import threadpool_limits
from PIL import Image

import chromalens
import chromalens.samples
from chromalens import ColorExtractor
from chromalens.cli import main, parse_target

from helpers import run_on_terminal

ROW = re.compile(r"^(#[0-9a-f]{6})\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+\.\d\d)%$")
# Four BGR colours in stripes of different widths (48 x 12 in all), so the shares differ.
BGR = [(40, 40, 200), (200, 120, 30), (230, 230, 230), (20, 140, 20)]
WIDTHS = [20, 14, 9, 5]


def jsonable(value):
    return json.loads(json.dumps(value, default=lambda v: v.item()))


@pytest.fixture
def images(tmp_path):
    """An image with four colours in unequal areas, and a mask of its left three quarters."""
    image = np.concatenate([np.full((12, width, 3), bgr, np.uint8) for bgr, width in zip(BGR, WIDTHS)], axis=1)
    assert image.shape == (12, 48, 3)
    mask = np.zeros(image.shape[:2], np.uint8)
    mask[:, :36] = 255
    paths = {"image": tmp_path / "blocks.png", "mask": tmp_path / "mask.png", "small_mask": tmp_path / "small.png",
             "black_mask": tmp_path / "black.png"}
    cv2.imwrite(str(paths["image"]), image)
    cv2.imwrite(str(paths["mask"]), mask)
    cv2.imwrite(str(paths["small_mask"]), mask[:5, :5])
    cv2.imwrite(str(paths["black_mask"]), np.zeros_like(mask))
    return {k: str(v) for k, v in paths.items()}


def run(*args, script=False, **kwargs):
    command = [str(pathlib.Path(sys.executable).with_name("chromalens"))] if script else \
        [sys.executable, "-m", "chromalens"]
    return subprocess.run(command + list(args), capture_output=True, text=True, timeout=120, **kwargs)


def table_rows(stdout):
    return [ROW.match(line).groups() for line in stdout.splitlines()[2:]]


# ---------------------------------------------------------------------------
# Subprocess runs
# ---------------------------------------------------------------------------
@pytest.mark.slow
def test_module_run_on_sample_photo(tmp_path):
    """The main job; that the figures are the API's own is checked in-process below."""
    done = run(cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # not a terminal: no status line
    lines = done.stdout.splitlines()
    assert lines[0] == "sample photo grace_hopper.jpg: 5 dominant colours (512x600 image, kmeans, LAB)"
    assert lines[1].split() == ["hex", "red", "green", "blue", "share"]
    rows = table_rows(done.stdout)
    assert len(rows) == 5
    for hex_, *rgb, _ in rows:
        assert hex_ == "#%02x%02x%02x" % tuple(int(c) for c in rgb)
    shares = [float(r[-1]) for r in rows]
    assert shares == sorted(shares, reverse=True)
    assert sum(shares) == pytest.approx(100, abs=0.03)


def test_console_script_unreadable_image_is_one_line(tmp_path):
    done = run(str(tmp_path / "missing.jpg"), script=True, cwd=tmp_path)
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr == f"chromalens: error: cannot read image {tmp_path / 'missing.jpg'}: no such file\n"


def test_bad_option_exits_2_with_usage(tmp_path):
    done = run("extract", "--colors", "many", cwd=tmp_path)
    assert done.returncode == 2
    assert done.stderr.startswith("usage: chromalens extract")
    assert done.stderr.splitlines()[-1] == "chromalens extract: error: argument --colors/-n: invalid integer: 'many'"
    assert "Traceback" not in done.stderr


def test_status_line_only_on_a_terminal(images, tmp_path):
    """With stderr on a terminal, a status line is written and then erased."""
    proc, seen = run_on_terminal([images["image"], "--json"], tmp_path)
    stdout = proc.stdout.decode()
    assert proc.returncode == 0
    assert json.loads(stdout)  # stdout stays clean
    text = seen.decode()
    assert text.startswith("chromalens: extracting colours (48x12 image, kmeans, LAB)...")
    assert text.endswith("\r\x1b[K")


def test_match_detailed_subprocess(images, tmp_path):
    done = run("match", images["image"], "red=#c82828", "grey=128,128,128", "--detailed", "--json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    image = cv2.imread(images["image"])
    expected = ColorExtractor().find_color_matches(image, {"red": (200, 40, 40), "grey": (128, 128, 128)})
    assert json.loads(done.stdout) == jsonable(expected)


# ---------------------------------------------------------------------------
# In-process runs of main()
# ---------------------------------------------------------------------------
SETTINGS = {
    "defaults": ([], {}),
    "rgb": (["--rgb"], {"lab_space": False}),
    "raw": (["--no-preprocessing", "--colors", "3"], {"preprocessing": False, "n_colors": 3}),
    "dbscan": (["-a", "dbscan", "-n", "2"], {"algorithm": "dbscan", "n_colors": 2}),
    # More colours than the image has: scikit-learn's warning is not passed on.
    "few-distinct": (["--no-preprocessing", "-n", "6"], {"preprocessing": False, "n_colors": 6}),
    # k-means sums per thread: the command line's thread count is the API's under the same limit.
    "two-threads": (["--threads", "2"], {}),
}


def cli_threads(flags):
    """The native threads a command line runs with: --threads, else one."""
    return int(flags[flags.index("--threads") + 1]) if "--threads" in flags else 1


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.parametrize("with_mask", [False, True])
@pytest.mark.parametrize("flags, settings", list(SETTINGS.values()), ids=list(SETTINGS))
def test_extract_json_matches_api(images, capfd, flags, settings, with_mask):
    argv = ["extract", images["image"], "--json", *flags] + (["--mask", images["mask"]] if with_mask else [])
    assert main(argv) == 0
    out, err = capfd.readouterr()  # file-descriptor level: native code writes there too
    assert err == ""
    # The API reading the same files itself (the mask path as a colour image).
    with threadpool_limits(cli_threads(flags)):
        expected = ColorExtractor(**settings).extract_colors(images["image"], images["mask"] if with_mask else None)
    assert expected
    got = json.loads(out)
    assert [{k: r[k] for k in ("color", "percentage")} for r in got] == jsonable(expected)
    assert [r["hex"] for r in got] == ["#%02x%02x%02x" % c["color"] for c in expected]


def test_table_and_json_agree(images, capsys):
    assert main([images["image"], "-n", "4"]) == 0
    table = capsys.readouterr().out
    assert main([images["image"], "-n", "4", "--json"]) == 0
    records = json.loads(capsys.readouterr().out)
    assert table.splitlines()[0] == f"{images['image']}: 4 dominant colours (48x12 image, kmeans, LAB)"
    assert table_rows(table) == [
        (r["hex"], *(str(c) for c in r["color"]), f"{r['percentage']:.2f}") for r in records]


@pytest.mark.parametrize("argv", [[], ["extract"], ["--json"], ["extract", "--json"]])
def test_no_image_means_sample_photo(images, capsys, monkeypatch, argv):
    monkeypatch.setattr(chromalens.samples, "sample_image_path", lambda: images["image"])
    assert main(argv) == 0
    out = capsys.readouterr().out
    expected = jsonable(ColorExtractor().extract_colors(images["image"]))
    if "--json" in argv:
        assert [{k: r[k] for k in ("color", "percentage")} for r in json.loads(out)] == expected
    else:
        assert out.startswith(f"sample photo blocks.png: {len(expected)} dominant colours (48x12 image")


@pytest.mark.parametrize("argv, shown", [
    (["./extract"], "./extract"), (["--", "extract"], "extract"), (["extract", "extract"], "extract"),
    (["extract", "./match"], "./match"), (["-n", "5", "--", "match"], "match")])
def test_image_named_like_a_subcommand(images, tmp_path, capsys, monkeypatch, argv, shown):
    monkeypatch.chdir(tmp_path)
    for name in ("extract", "match"):
        (tmp_path / name).write_bytes(pathlib.Path(images["image"]).read_bytes())
    monkeypatch.setattr(chromalens.samples, "sample_image_path", lambda: "not-this-one")
    assert main(argv) == 0
    count = len(ColorExtractor().extract_colors(images["image"]))
    assert capsys.readouterr().out.startswith(f"{shown}: {count} dominant colours (48x12 image, kmeans, LAB)\n")


def one_line_error(capsys):
    out, err = capsys.readouterr()
    assert len(err.splitlines()) == 1, err
    return err.rstrip("\n")


@pytest.mark.parametrize("argv, message", [
    (["{missing}"], "cannot read image {missing}: no such file"),
    (["{text}"], "cannot read image {text}: "),
    (["{dir}"], "cannot read image {dir}: is a directory"),
    (["{image}", "--mask", "{missing}"], "cannot read mask {missing}: no such file"),
    (["{image}", "--mask", "{small_mask}"], "mask {small_mask} is 5x5 pixels but image {image} is 48x12"),
    (["match", "{text}", "a=1,2,3"], "cannot read image {text}: "),
    (["match", "{image}", "a=1,2,3", "--detailed", "--mask", "{missing}"], "cannot read mask {missing}: no such file"),
    (["{image}", "--mask", "{black_mask}", "--chart", "{dir}/c.png"],
     "no colours were found, so no chart was written to {dir}/c.png"),
    (["{image}", "--chart", "{dir}/no/such/dir/c.png"],
     "cannot write chart {dir}/no/such/dir/c.png: folder {dir}/no/such/dir does not exist"),
])
def test_unusable_files_exit_1(images, tmp_path, capsys, argv, message):
    names = dict(images, missing=str(tmp_path / "nope.png"), text=str(tmp_path / "notes.png"), dir=str(tmp_path))
    pathlib.Path(names["text"]).write_text("not an image")
    before = plt.get_fignums()
    assert main([a.format(**names) for a in argv]) == 1
    assert one_line_error(capsys).startswith("chromalens: error: " + message.format(**names))
    assert plt.get_fignums() == before


@pytest.mark.parametrize("argv, message", [
    (["--colors", "0"], "argument --colors/-n: must be between 1 and 2147483647, got 0"),
    (["--colors", "2147483648"], "argument --colors/-n: must be between 1 and 2147483647, got 2147483648"),
    (["-a", "meanshift"], "argument --algorithm/-a: invalid choice: 'meanshift' (choose from 'kmeans', 'dbscan')"),
    (["--frobnicate"], "unrecognized arguments: --frobnicate"),
    (["{image}", "{image}", "--chart", "c.png"], "--chart, --palette and --export take one image, got 2; "
     "give each image its own command"),
    (["--max-pixels", "-1"], "argument --max-pixels: must be a positive integer, or 0 or 'none' for no limit, got -1"),
    (["--threads", "0"], "argument --threads: must be between 1 and 2147483647, got 0"),
    (["match", "{image}"], "the following arguments are required: NAME=COLOUR"),
    (["match", "{image}", "reddish"], "argument NAME=COLOUR: invalid target 'reddish': expected NAME=COLOUR or "
     "COLOUR alone, COLOUR being R,G,B (each 0..255), #RGB, #RRGGBB or a CSS colour name such as navy"),
    (["match", "{image}", "a=1,2,3", "a=#000000"], "target name given more than once: a"),
    (["match", "{image}", "a=1,2,3", "--detailed", "-t", "20"],
     "--threshold applies to the dominant-colour match, not to --detailed"),
    (["match", "{image}", "a=1,2,3", "-t", "nan"], "argument --target/-t: must be a finite number, got 'nan' "
     "(-t with a number sets the threshold, as --threshold does)"),
    (["match", "{image}", "a=1,2,3", "--threshold", "nan"], "argument --threshold: must be a finite number, got 'nan'"),
])
def test_bad_arguments_exit_2(images, capsys, argv, message):
    assert main([a.format(**images) for a in argv]) == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: chromalens ")
    assert err.splitlines()[-1].endswith("error: " + message), err


@pytest.mark.parametrize("argv", [["--help"], ["extract", "--help"], ["match", "-h"], ["--version"]])
def test_help_and_version_exit_0(capsys, argv):
    assert main(argv) == 0
    out = capsys.readouterr().out
    if argv == ["--version"]:
        assert out == f"chromalens {chromalens.__version__}\n"
    else:
        assert out.startswith("usage: chromalens")


def test_version_matches_project_metadata():
    from importlib.metadata import version

    assert chromalens.__version__ == version("chromalens")


def test_empty_result(images, capsys):
    assert main([images["image"], "--mask", images["black_mask"], "--json"]) == 0
    assert capsys.readouterr().out == "[]\n"
    assert main([images["image"], "--mask", images["black_mask"]]) == 0
    assert "0 dominant colours" in capsys.readouterr().out


def test_chart_written_without_window(images, tmp_path, capsys):
    chart = tmp_path / "chart.png"
    before = plt.get_fignums()
    assert main([images["image"], "--chart", str(chart)]) == 0
    assert capsys.readouterr().err == ""
    assert plt.get_fignums() == before  # the figure was closed
    assert plt.get_backend().lower() == "agg"
    with Image.open(chart) as png:
        assert png.format == "PNG"
        assert png.info["dpi"] == pytest.approx((300, 300), abs=0.01)
        assert 3000 < png.size[0] < 3600


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("colorterm, no_color, expected", [
    ("truecolor", None, True), ("24bit", None, True), ("", None, False), ("truecolor", "1", False)])
def test_swatches_only_on_truecolor_terminal(images, monkeypatch, colorterm, no_color, expected):
    monkeypatch.setenv("COLORTERM", colorterm)
    if no_color:
        monkeypatch.setenv("NO_COLOR", no_color)
    else:
        monkeypatch.delenv("NO_COLOR", raising=False)
    out = Terminal()
    monkeypatch.setattr(sys, "stdout", out)
    assert main([images["image"], "-n", "2"]) == 0
    text = out.getvalue()
    colors = ColorExtractor(n_colors=2).extract_colors(images["image"])
    swatches = ["\x1b[48;2;%d;%d;%dm" % c["color"] for c in colors]
    assert all((s in text) == expected for s in swatches)


def test_status_line_in_process(images, monkeypatch, capsys):
    err = Terminal()
    monkeypatch.setattr(sys, "stderr", err)
    assert main(["match", images["image"], "a=1,2,3", "--detailed", "--json"]) == 0
    assert err.getvalue() == "chromalens: measuring every pixel against 1 colour (48x12 image, LAB)...\r\x1b[K"
    err.truncate(0)
    err.seek(0)
    assert main([images["image"], "--json"]) == 0
    assert err.getvalue().endswith("\r\x1b[K")
    err.seek(0)
    err.truncate(0)
    assert main(["nope.png"]) == 1
    assert err.getvalue() == "chromalens: error: cannot read image nope.png: no such file\n"


TARGETS = ["red=#c82828", "orange=30,120,200", "paper=230,230,230", "black=#000000"]
TARGET_DICT = {"red": (200, 40, 40), "orange": (30, 120, 200), "paper": (230, 230, 230), "black": (0, 0, 0)}


@pytest.mark.parametrize("flags, settings, threshold", [
    ([], {}, 50.0),
    (["-t", "80", "--rgb"], {"lab_space": False}, 80.0),
    (["--threshold", "5", "-n", "2"], {"n_colors": 2}, 5.0),
])
def test_match_summary_json_matches_api(images, capsys, flags, settings, threshold):
    assert main(["match", images["image"], *TARGETS, "--json", *flags]) == 0
    with threadpool_limits(cli_threads(flags)):
        expected = ColorExtractor(**settings).analyze_color_similarity(images["image"], TARGET_DICT,
                                                                       similarity_threshold=threshold)
    assert json.loads(capsys.readouterr().out) == jsonable(expected)


@pytest.mark.parametrize("flags, settings", [([], {}), (["--rgb", "--no-preprocessing"],
                                                        {"lab_space": False, "preprocessing": False})])
def test_match_detailed_json_matches_api(images, capsys, flags, settings):
    assert main(["match", images["image"], *TARGETS, "--detailed", "--json", "--mask", images["mask"], *flags]) == 0
    mask = cv2.imread(images["mask"])
    expected = ColorExtractor(**settings).find_color_matches(cv2.imread(images["image"]), TARGET_DICT, mask)
    assert json.loads(capsys.readouterr().out) == jsonable(expected)


@pytest.mark.parametrize("detailed", [False, True])
def test_match_tables(images, capsys, detailed):
    argv = ["match", images["image"], *TARGETS] + (["--detailed"] if detailed else [])
    assert main(argv) == 0
    table = capsys.readouterr().out.splitlines()
    assert main(argv + ["--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    assert table[0] == f"{images['image']}: {'pixel-by-pixel' if detailed else 'dominant-colour'} match " \
                       f"(48x12 image, {'' if detailed else 'kmeans, '}LAB)"
    rows = [line.split() for line in table[2:]]
    assert [r[0] for r in rows] == list(TARGET_DICT)
    for row, (name, record) in zip(rows, report.items()):
        assert row[1] == "#%02x%02x%02x" % TARGET_DICT[name]
        if detailed:
            assert row[2] == "#%02x%02x%02x" % tuple(record["closest_pixel"])
            assert row[3:] == [f"{record['min_distance']:.2f}", f"{record['similarity_score']:.2f}",
                               f"{record['very_close_percentage']:.2f}%", f"{record['close_percentage']:.2f}%",
                               f"{record['total_percentage']:.2f}%"]
        else:
            assert row[2] == "#%02x%02x%02x" % tuple(record["closest_color"])
            assert row[3:] == [f"{record['distance']:.2f}", f"{record['similarity']:.2f}",
                               f"{record['percentage']:.2f}%", "yes" if record["found_directly"] else "no"]


def test_match_nothing_selected(images, capsys):
    assert main(["match", images["image"], "a=1,2,3", "--mask", images["black_mask"], "--json"]) == 0
    assert capsys.readouterr().out == "{}\n"


@pytest.mark.parametrize("text, expected", [
    ("red=255,0,0", ("red", (255, 0, 0))),
    ("sky=#87CEeb", ("sky", (135, 206, 235))),
    (" two words = 1, 2 ,3 ", ("two words", (1, 2, 3))),
    ("a=b=1,2,3", None),
    ("=1,2,3", None),
    ("x=256,0,0", None),
    ("x=-1,0,0", None),
    ("x=#fff", ("x", (255, 255, 255))),
    ("x=1.5,2,3", None),
    ("x=1,2,3,4", None),
    ("sky = Sky Blue", ("sky", (135, 206, 235))),
    (" navy ", ("navy", (0, 0, 128))),
    ("#fff", ("#fff", (255, 255, 255))),
    ("x=navyish", None),
])
def test_parse_target(text, expected):
    if expected is None:
        with pytest.raises(Exception) as info:
            parse_target(text)
        assert type(info.value).__name__ == "ArgumentTypeError"
    else:
        assert parse_target(text) == expected
