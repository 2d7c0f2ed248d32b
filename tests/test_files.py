"""Image and mask paths that OpenCV cannot read, or reads only in part: the
methods raise "Could not load ... from <path>" or OpenCV's own error, or
give the same result as on the array OpenCV reads; the process never dies."""

import json
import os
import struct
import subprocess
import sys
import textwrap
import zlib

import cv2
import pytest

from chromalens.color_extractor_cy import ColorExtractor
from helpers import blocks_image

pytestmark = [pytest.mark.filterwarnings("ignore"), pytest.mark.usefixtures("single_threaded_libraries")]

IMAGE = blocks_image([[10, 20, 200], [200, 100, 50], [30, 220, 30]], block=16, rows=2)  # 32 x 48
TARGETS = {"red": (200, 20, 10), "green": (30, 220, 30)}


def png_header(width, height):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"\0" * 16)) + chunk(b"IEND", b"")


def bmp_header(width, height):
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, 0, 0, 0, 0, 0)
    return b"BM" + struct.pack("<IHHI", 54 + len(info), 0, 0, 54) + info


def jpeg_with_size(width, height):
    data = bytearray(cv2.imencode(".jpg", IMAGE)[1].tobytes())
    sof = data.find(b"\xff\xc0")
    data[sof + 5: sof + 9] = struct.pack(">HH", height, width)
    return bytes(data)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("files")
    jpeg = cv2.imencode(".jpg", IMAGE)[1].tobytes()
    contents = {
        "empty.png": b"",
        "truncated.jpg": jpeg[: len(jpeg) // 2],
        "header only.jpg": jpeg[:200],
        "text.png": b"this is not an image\n",
        "huge.png": png_header(100_000, 100_000),
        "huge max.png": png_header(2**31 - 1, 2**31 - 1),
        "huge.bmp": bmp_header(60_000, 60_000),
        "huge.jpg": jpeg_with_size(65_500, 65_500),
    }
    paths = {}
    for name, data in contents.items():
        (root / name).write_bytes(data)
        paths[name] = str(root / name)
    unicode_dir = root / "dir with spaces" / "ünïcødé 画像"
    unicode_dir.mkdir(parents=True)
    assert cv2.imwrite(str(unicode_dir / "photo ü.png"), IMAGE)
    paths["non-ascii.png"] = str(unicode_dir / "photo ü.png")
    paths["directory"] = str(unicode_dir)
    paths["missing"] = str(root / "does not exist.png")
    return paths


def expected_outcome(path, compute):
    """What the call gives: OpenCV's own reading decides."""
    try:
        loaded = cv2.imread(path)
    except cv2.error:
        return cv2.error, None
    if loaded is None:
        return ValueError, None
    return None, compute(loaded)


METHODS = {
    "extract": lambda ex, image: ex.extract_colors(image),
    "extract mask": lambda ex, mask: ex.extract_colors(IMAGE, mask),
    "analyze": lambda ex, image: ex.analyze_color_similarity(image, TARGETS),
    "matches": lambda ex, image: ex.find_color_matches(image, TARGETS),
}
PREFIX = {"extract mask": "Could not load mask from "}

FILE_NAMES = ["empty.png", "truncated.jpg", "header only.jpg", "text.png", "huge.png", "huge max.png", "huge.bmp",
              "huge.jpg", "non-ascii.png", "directory", "missing"]


@pytest.mark.parametrize("method", list(METHODS))
@pytest.mark.parametrize("name", FILE_NAMES)
def test_unreadable_or_partial_files(files, name, method):
    ex = ColorExtractor(3)
    call = METHODS[method]
    path = files[name]
    error, result = expected_outcome(path, lambda loaded: call(ex, loaded))
    if error is None:
        assert call(ex, path) == result
        # A str subclass is a path too.
        assert call(ex, type("Path", (str,), {})(path)) == result
        return
    with pytest.raises(error) as info:
        call(ex, path)
    if error is ValueError:
        assert str(info.value) == PREFIX.get(method, "Could not load image from ") + path


def test_path_objects_are_not_paths(files):
    ex = ColorExtractor()
    import pathlib

    with pytest.raises(TypeError, match="^Cannot convert PosixPath to numpy.ndarray$"):
        ex.extract_colors(pathlib.Path(files["non-ascii.png"]))
    with pytest.raises(TypeError, match="^Cannot convert bytes to numpy.ndarray$"):
        ex.find_color_matches(os.fsencode(files["non-ascii.png"]), TARGETS)


def test_mask_path_is_only_loaded_by_extraction(files):
    ex = ColorExtractor(3)
    with pytest.raises(TypeError, match="^Cannot convert str to numpy.ndarray$"):
        ex.find_color_matches(IMAGE, TARGETS, files["non-ascii.png"])
    # A readable mask path; the image error comes first when both are bad.
    assert ex.extract_colors(files["non-ascii.png"], files["non-ascii.png"]) == ex.extract_colors(IMAGE, IMAGE)
    with pytest.raises(ValueError, match="^Could not load image from "):
        ex.extract_colors(files["missing"], files["text.png"])


def test_embedded_nul_does_not_read_another_file(files):
    """OpenCV would cut the path at the NUL and read the file before it."""
    ex = ColorExtractor(3)
    path = files["non-ascii.png"] + "\0ignored"
    for method in ("extract", "analyze", "matches"):
        with pytest.raises(ValueError) as info:
            METHODS[method](ex, path)
        assert str(info.value) == "Could not load image from " + path
    with pytest.raises(ValueError) as info:
        ex.extract_colors(IMAGE, path)
    assert str(info.value) == "Could not load mask from " + path


# Paths without a UTF-8 form crash OpenCV's binding; these run in a child
# process so that a regression fails the test instead of killing the run.
CHILD = textwrap.dedent("""
    import os, sys
    import numpy as np
    from chromalens.color_extractor_cy import ColorExtractor
    ex = ColorExtractor(3)
    image = np.zeros((4, 4, 3), np.uint8) + 50
    path = os.fsdecode(os.fsencode(sys.argv[1]) + b"\\xff.png")
    calls = [lambda: ex.extract_colors(path), lambda: ex.extract_colors(image, path),
             lambda: ex.analyze_color_similarity(path, {"r": (1, 2, 3)}),
             lambda: ex.find_color_matches(path, {"r": (1, 2, 3)})]
    for call in calls:
        try:
            call()
        except ValueError as exc:
            print("ValueError", str(exc) == ("Could not load mask from " if call is calls[1] else
                                             "Could not load image from ") + path)
""")


def test_path_without_utf8_form_raises_instead_of_crashing(tmp_path):
    # The file exists under its raw byte name, so only the name is at fault.
    assert cv2.imwrite(str(tmp_path / "x.png"), IMAGE)
    os.rename(tmp_path / "x.png", os.fsencode(tmp_path) + b"/\xff.png")
    run = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path) + "/"], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.split("\n")[:4] == ["ValueError True"] * 4


def test_command_line_reads_a_path_without_utf8_form(tmp_path):
    # The command line reads files through read_image, which opens such names itself.
    assert cv2.imwrite(str(tmp_path / "x.png"), IMAGE)
    raw = os.fsencode(tmp_path) + b"/\xff.png"
    os.rename(tmp_path / "x.png", raw)
    run = subprocess.run([sys.executable, "-m", "chromalens", "extract", raw, "--json"], capture_output=True,
                         timeout=120, cwd=str(tmp_path))
    assert run.returncode == 0, run.stderr[-2000:]
    assert json.loads(run.stdout)
