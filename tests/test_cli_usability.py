"""The command line as a new user meets it, run as a subprocess on small generated images.

Thresholds, the status line on narrow terminals, output paths checked before
any work, target spellings, what --detailed says it measured, TERM=dumb and
NO_COLOR, transparency, --max-side, --palette, several images, --max-pixels,
OpenCV's log, --threads.
"""

import contextlib
import io
import json
import os
import re
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest
from PIL import Image

from chromalens import ColorExtractor, read_image
from chromalens.cli import main
from chromalens.cli.terminal import Status

from helpers import run_on_terminal

TARGET_MESSAGE = ("expected NAME=COLOUR or COLOUR alone, COLOUR being R,G,B (each 0..255), #RGB, #RRGGBB "
                  "or a CSS colour name such as navy")


def run(*args, env=None, **kwargs):
    full_env = dict(os.environ, **(env or {}))
    return subprocess.run([sys.executable, "-m", "chromalens", *args], capture_output=True, text=True,
                          timeout=120, env=full_env, **kwargs)


def call(*args, cwd=None):
    """main() in this process: the many cases of one behaviour (a subprocess run covers each item)."""
    out, err = io.StringIO(), io.StringIO()
    previous = os.getcwd()
    try:
        if cwd is not None:
            os.chdir(cwd)
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = main(list(args))
    finally:
        os.chdir(previous)
    return subprocess.CompletedProcess(list(args), code, out.getvalue(), err.getvalue())


def jsonable(value):
    return json.loads(json.dumps(value, default=lambda v: v.item()))


@pytest.fixture
def files(tmp_path):
    """A 64 x 32 image of red and blue halves, a mask of its left quarter, a cut-out with transparency."""
    image = np.zeros((32, 64, 3), np.uint8)
    image[:, :32] = (40, 40, 200)
    image[:, 32:] = (200, 120, 30)
    mask = np.zeros((32, 64), np.uint8)
    mask[:, :16] = 255
    # The cut-out: an opaque green and blue object on a transparent black background, as product photos come.
    cutout = np.zeros((32, 64, 4), np.uint8)
    cutout[8:24, 8:32] = (30, 160, 40, 255)
    cutout[8:24, 32:56] = (160, 60, 20, 255)
    paths = {name: tmp_path / f"{name}.png" for name in ("image", "mask", "cutout", "wide_mask")}
    cv2.imwrite(str(paths["image"]), image)
    cv2.imwrite(str(paths["mask"]), mask)
    cv2.imwrite(str(paths["cutout"]), cutout)
    cv2.imwrite(str(paths["wide_mask"]), np.full((10, 64), 255, np.uint8))
    return {k: str(v) for k, v in paths.items()}


# ---------------------------------------------------------------------------
# Thresholds
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("value, message", [
    ("0", "must be a number above 0, got '0'"), ("-5", "must be a number above 0, got '-5'"),
    ("-0.0", "must be a number above 0, got '-0.0'"), ("inf", "must be a finite number, got 'inf'"),
])
def test_threshold_must_be_above_zero(files, value, message):
    launch = run if value == "0" else call
    done = launch("match", files["image"], "navy=71,78,137", "--threshold", value)
    assert done.returncode == 2
    assert "Traceback" not in done.stderr
    assert done.stderr.splitlines()[-1] == f"chromalens match: error: argument --threshold: {message}"


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
def test_small_positive_threshold_works(files):
    done = run("match", files["image"], "red=200,40,40", "-t", "0.5", "--json")
    assert done.returncode == 0, done.stderr
    expected = ColorExtractor().analyze_color_similarity(files["image"], {"red": (200, 40, 40)},
                                                         similarity_threshold=0.5)
    assert json.loads(done.stdout) == jsonable(expected)


# ---------------------------------------------------------------------------
# The status line
# ---------------------------------------------------------------------------
def status_output(argv, columns, cwd):
    """Run with stderr on a terminal of `columns` columns; returns what the terminal received."""
    env = dict(os.environ)
    env.pop("COLUMNS", None)
    proc, seen = run_on_terminal(argv, cwd, "stderr", columns, env)
    assert proc.returncode == 0
    return seen.decode()


@pytest.mark.parametrize("columns", [40, 80])
def test_status_line_fits_the_terminal(files, tmp_path, columns):
    text = status_output(["match", files["image"], "a-long-target-name=#123456", "another-one=#abc",
                          "--detailed", "--json"], columns, tmp_path)
    lines = [part for part in text.replace("\x1b[K", "").split("\r") if part]
    assert lines and lines[0].startswith("chromalens: measuring every pixel")
    assert all(len(line) < columns for line in lines)
    assert text.endswith("\r\x1b[K")


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_long_step_shows_elapsed_seconds(monkeypatch):
    monkeypatch.setenv("COLUMNS", "30")
    monkeypatch.delenv("TERM", raising=False)
    status = Status(Terminal())
    status.LONG_STEP, status.TICK = 0.05, 0.05
    assert status.run("clustering a very long description of the step", lambda: time.sleep(0.4) or 7) == 7
    lines = [p for p in status.stream.getvalue().replace("\x1b[K", "").split("\r") if p]
    assert lines[0] == "chromalens: clustering a v..."
    ticking = [line for line in lines[1:] if re.search(r" \d+ s$", line)]
    assert ticking and all(len(line) <= 29 for line in ticking)
    assert ticking[0].startswith("chromalens: clustering")
    assert status.stream.getvalue().endswith("\r\x1b[K")


def test_dumb_terminal_status_is_erased_with_spaces(monkeypatch):
    monkeypatch.setenv("TERM", "dumb")
    status = Status(Terminal())
    status.run("working", lambda: None)
    text = status.stream.getvalue()
    assert "\x1b" not in text
    assert text == "chromalens: working..." + "\r" + " " * 22 + "\r"


# ---------------------------------------------------------------------------
# Output paths, checked before any work
# ---------------------------------------------------------------------------
@pytest.mark.parametrize("option, path, status, message", [
    ("--chart", "out", 2, "argument --chart: chart path 'out' has no extension; add one of "),
    ("--chart", "out.unknown", 2, "argument --chart: cannot write a chart as '.unknown' ('out.unknown'); use one of "),
    ("--chart", "existing_dir", 1, "chromalens: error: cannot write chart existing_dir: is a directory"),
    ("--chart", "missing/c.png", 1, "chromalens: error: cannot write chart missing/c.png: folder missing does not exist"),
    ("--palette", "card.jpg", 2, "argument --palette: cannot write a palette as '.jpg' ('card.jpg'); "
                                 "use one of .pdf, .png, .svg"),
    ("--palette", "existing_dir", 1, "chromalens: error: cannot write palette existing_dir: is a directory"),
    ("--palette", "missing/p.png", 1, "chromalens: error: cannot write palette missing/p.png: "
                                      "folder missing does not exist"),
])
def test_unusable_output_path_fails_before_the_analysis(files, tmp_path, option, path, status, message):
    work = tmp_path / "work"
    (work / "existing_dir").mkdir(parents=True)
    (work / "out.png").write_bytes(b"keep me")
    launch = run if (option, path) in {("--chart", "out"), ("--chart", "existing_dir")} else call
    done = launch(files["image"], option, path, cwd=work)
    assert done.returncode == status
    assert done.stdout == ""  # nothing was analysed or printed
    assert message in done.stderr.splitlines()[-1]
    assert (work / "out.png").read_bytes() == b"keep me"
    assert sorted(p.name for p in work.iterdir()) == ["existing_dir", "out.png"]


def test_palette_written_with_the_image_name(files, tmp_path):
    done = run(files["image"], "-n", "2", "--no-preprocessing", "--palette", "card.png", "--chart", "chart.svg",
               cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "card.png") as card:
        assert card.size[0] == 1600
        pixels = np.asarray(card.convert("RGB"))
    colors = ColorExtractor(n_colors=2, preprocessing=False).extract_colors(files["image"])
    for record in colors:  # both colours have a swatch
        assert (pixels == record["color"]).all(axis=2).sum() > 1000
    assert (tmp_path / "chart.svg").read_bytes().startswith(b"<?xml")


# ---------------------------------------------------------------------------
# Targets
# ---------------------------------------------------------------------------
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
def test_target_spellings(files):
    done = run("match", files["image"], "a=#fff", "b=#C82", "c=#AbCdEf", "d= 200 , 40 ,40 ", "--json")
    assert done.returncode == 0, done.stderr
    expected = ColorExtractor().analyze_color_similarity(files["image"], {
        "a": (255, 255, 255), "b": (204, 136, 34), "c": (171, 205, 239), "d": (200, 40, 40)})
    assert json.loads(done.stdout) == jsonable(expected)


@pytest.mark.parametrize("target", ["red=-1,0,0", "red=300,0,0", "red=#ffff", "red=#ggg", "red=1,2",
                                    "red=1,2,3,4", "red=1.5,2,3", "redish", "=1,2,3", "red=#fff=x"])
def test_malformed_targets_get_one_message(files, target):
    launch = run if target in ("red=-1,0,0", "red=300,0,0") else call
    done = launch("match", files["image"], target)
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == \
        f"chromalens match: error: argument NAME=COLOUR: invalid target {target!r}: {TARGET_MESSAGE}"


# ---------------------------------------------------------------------------
# What is reported, and how it looks
# ---------------------------------------------------------------------------
def test_detailed_header_names_no_clustering(files):
    done = run("match", files["image"], "red=200,40,40", "--detailed", "--no-preprocessing")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == \
        f"{files['image']}: pixel-by-pixel match (64x32 image, LAB, no preprocessing)"


@pytest.mark.parametrize("env", [{"TERM": "dumb"}, {"NO_COLOR": "1"}])
def test_no_colour_codes_on_dumb_terminal_or_no_color(files, tmp_path, env):
    """stdout on a terminal that claims 24-bit colour: TERM=dumb or NO_COLOR still turn it off."""
    full_env = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "TERM")}
    full_env.update(COLORTERM="truecolor", TERM="xterm-256color")
    full_env.update(env)
    done, text = run_on_terminal([files["image"], "-n", "2", "--no-preprocessing"], tmp_path, "stdout",
                                 env=full_env)
    assert done.returncode == 0
    assert b"#c92828" in text  # the table is there
    assert b"\x1b" not in text


@pytest.mark.parametrize("argv", [["--help"], ["extract", "--help"], ["match", "--help"]])
def test_help_fits_80_columns(argv, monkeypatch):
    monkeypatch.setenv("COLUMNS", "80")
    done = (run if argv == ["--help"] else call)(*argv)
    assert done.returncode == 0
    assert max(len(line) for line in done.stdout.splitlines()) <= 80, done.stdout
    if argv != ["--help"]:
        assert "--max-side N" in done.stdout and "--ignore-alpha" in done.stdout


# ---------------------------------------------------------------------------
# Transparency and downscaling
# ---------------------------------------------------------------------------
@pytest.fixture
def reader_with_alpha(files):
    _, alpha = read_image(files["cutout"])
    if alpha is None:
        pytest.skip("this read_image does not report transparency")


def shares(stdout):
    return {tuple(r["color"]): r["percentage"] for r in json.loads(stdout)}


def test_transparent_background_is_left_out(files, reader_with_alpha):
    kept = run(files["cutout"], "--json", "--no-preprocessing", "-n", "3")
    assert kept.returncode == 0, kept.stderr
    found = shares(kept.stdout)
    assert sorted(found.values()) == [50.0, 50.0] and (0, 0, 0) not in found
    everything = run(files["cutout"], "--json", "--no-preprocessing", "-n", "3", "--ignore-alpha")
    assert shares(everything.stdout) == {(0, 0, 0): 62.5, **{colour: 18.75 for colour in found}}
    header = call(files["cutout"], "-n", "3").stdout.splitlines()[0]
    assert header.endswith("(64x32 image, kmeans, LAB, opaque pixels only)")


def test_mask_and_transparency_combine(files, reader_with_alpha):
    """The mask keeps columns 0..15, the opacity columns 8..55 of rows 8..23: together 8 x 16 green pixels."""
    done = run("match", files["cutout"], "green=40,160,30", "--mask", files["mask"], "--detailed", "--json",
               "--no-preprocessing")
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)["green"]
    assert report["total_percentage"] == 100.0 and report["min_distance"] == 0.0
    both = np.zeros((32, 64), np.uint8)
    both[8:24, 8:16] = 255
    image = cv2.imread(files["cutout"])
    expected = ColorExtractor(preprocessing=False).find_color_matches(image, {"green": (40, 160, 30)}, both)
    assert report == jsonable(expected["green"])


@pytest.mark.parametrize("command", [["extract"], ["match", "{image}", "red=200,40,40"]])
def test_max_side_analyses_a_smaller_copy(files, command):
    argv = [a.format(**files) for a in command] + ([files["image"]] if command == ["extract"] else [])
    done = run(*argv, "--max-side", "16", "--mask", files["mask"], "--no-preprocessing")
    assert done.returncode == 0, done.stderr
    assert "(16x8 image, " in done.stdout.splitlines()[0] and "max side 16)" in done.stdout.splitlines()[0]
    if command == ["extract"]:
        # The mask (left quarter, red) was downscaled with the image: only red is analysed.
        assert "#c92828  201     40    40  100.00%" in done.stdout


def test_max_side_mask_of_other_proportions_is_refused(files):
    done = run(files["image"], "--max-side", "16", "--mask", files["wide_mask"])
    assert done.returncode == 1
    assert done.stderr == (f"chromalens: error: mask {files['wide_mask']} is 64x10 pixels but image "
                           f"{files['image']} is 16x8 (after --max-side)\n")


def test_max_side_larger_than_the_image_changes_nothing(files):
    whole = run(files["image"], "--json")
    large = run(files["image"], "--json", "--max-side", "1000")
    assert large.returncode == 0 and large.stdout == whole.stdout


# ---------------------------------------------------------------------------
# Several images, the pixel limit, long titles, OpenCV's log, threads
# ---------------------------------------------------------------------------
def test_several_images_one_table_each_and_failures_on_their_own_line(files, tmp_path):
    missing = str(tmp_path / "missing.png")
    done = run(files["image"], missing, files["cutout"], "-n", "2", "--no-preprocessing")
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"chromalens: error: cannot read image {missing}: no such file"]
    tables = done.stdout.split("\n\n")
    assert [t.splitlines()[0].split(":")[0] for t in tables] == [files["image"], files["cutout"]]
    assert tables[0] == call(files["image"], "-n", "2", "--no-preprocessing").stdout.rstrip("\n")

    as_json = run(files["image"], files["cutout"], "-n", "2", "--no-preprocessing", "--json")
    assert as_json.returncode == 0, as_json.stderr
    lines = [json.loads(line) for line in as_json.stdout.splitlines()]
    assert [line["path"] for line in lines] == [files["image"], files["cutout"]]
    for line in lines:
        alone = call(line["path"], "-n", "2", "--no-preprocessing", "--json")
        assert line["colors"] == json.loads(alone.stdout)


def test_match_points_a_second_image_to_batch(files):
    done = run("match", files["image"], files["cutout"], "red=#f00")
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1].endswith(
        f"'{files['cutout']}' is a file, not a target: match analyses one image; for several, use "
        "'chromalens batch IMAGE ... --out RESULTS.jsonl -t NAME=COLOUR'")


@pytest.mark.parametrize("limit, refused", [("2047", True), ("2048", False), ("0", False), ("none", False)])
def test_pixel_limit_is_named_as_an_option(files, limit, refused):
    done = run(files["image"], "--max-pixels", limit, "--no-preprocessing", "-n", "2")
    if refused:  # the image is 64 x 32 = 2048 pixels
        assert done.returncode == 1 and done.stdout == ""
        assert done.stderr.splitlines() == [
            f"chromalens: error: cannot read image {files['image']}: its header declares 64 x 32 = 2,048 pixels, "
            "more than the limit of 2,047 (a possible decompression bomb); pass --max-pixels with a larger number, "
            "or --max-pixels 0 to lift the limit"]
    else:
        assert done.returncode == 0 and done.stderr == ""


def test_unknown_format_names_the_option(tmp_path):
    (tmp_path / "notes.txt").write_text("not an image\n")
    done = run(str(tmp_path / "notes.txt"))
    assert done.returncode == 1
    assert done.stderr.strip().endswith("not a recognised image file (if OpenCV reads its format, pass "
                                        "--max-pixels 0 to decode it without checking its size first)")


def test_long_palette_title_stays_on_the_card(files, tmp_path):
    long_name = tmp_path / ("holiday_photo_exported_from_the_camera_with_a_long_name_" * 2 + ".png")
    long_name.write_bytes(open(files["image"], "rb").read())
    done = run(str(long_name), "-n", "2", "--no-preprocessing", "--palette", "card.png", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    with Image.open(tmp_path / "card.png") as card:
        pixels = np.asarray(card.convert("L"))
    title_band = pixels[: pixels.shape[0] // 3]
    assert (title_band[:, :200] < 128).any()  # the title is there ...
    assert (title_band[:, -40:] == 255).all()  # ... and ends inside the right margin


def test_algorithm_help_says_when_dbscan_gives_few_colours():
    done = run("extract", "--help", env={"COLUMNS": "200"})
    assert "smooth gradients" in done.stdout and "--threads N" in done.stdout


def truncated_files(tmp_path):
    image = np.random.default_rng(3).integers(0, 256, (32, 32, 3), dtype=np.uint8)
    paths = []
    for extension in (".bmp", ".tiff"):
        data = cv2.imencode(extension, image)[1].tobytes()
        paths.append(tmp_path / f"broken{extension}")
        paths[-1].write_bytes(data[: len(data) // 2])
    return paths


def test_broken_files_give_one_line_without_opencv_log(tmp_path):
    # OpenCV logs errors for the TIFF before failing (the BMP is refused for its length first);
    # the size check is lifted so that OpenCV decodes what it can.
    for path, reason in zip(truncated_files(tmp_path), ("too short for the size its header declares",
                                                         "OpenCV cannot decode it")):
        done = run(str(path), "--max-pixels", "0")
        assert done.returncode == 1
        lines = done.stderr.splitlines()
        assert len(lines) == 1 and lines[0].startswith(f"chromalens: error: cannot read image {path}: {reason}")
    # read_image too, and OpenCV's level is restored after it.
    script = ("import sys, cv2\nfrom chromalens import read_image\n"
              "before = cv2.utils.logging.getLogLevel()\n"
              "for path in sys.argv[1:]:\n"
              "    try:\n        read_image(path, max_pixels=None)\n    except ValueError as error:\n"
              "        print(error)\n"
              "print(before == cv2.utils.logging.getLogLevel())\n")
    done = subprocess.run([sys.executable, "-W", "ignore::UserWarning", "-c", script,
                           *map(str, truncated_files(tmp_path))], capture_output=True, text=True, timeout=120)
    assert done.stderr == ""
    assert done.stdout.splitlines()[-1] == "True" and len(done.stdout.splitlines()) == 3


def test_native_threads_are_limited_inside_and_restored_after():
    from threadpoolctl import threadpool_info

    from chromalens.cli.args import native_threads

    def counts():
        return sorted((i["user_api"], i["num_threads"]) for i in threadpool_info()), cv2.getNumThreads()

    before = counts()
    for threads in (1, 3):
        with native_threads(threads):
            pools, opencv = counts()
            assert opencv == threads and pools and all(n == threads for _, n in pools)
        assert counts() == before
