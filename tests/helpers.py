"""Helpers shared by the tests (import as `from helpers import ...`): image
builders, the plain readings the module is compared against, outcomes of
calls and their deep comparison, a call recorder."""

import json
import math
import warnings

import cv2
import numpy as np
from threadpoolctl import threadpool_limits

from chromalens import read_image

# Every helper is imported from here; the plain readings live in their own
# module because the benchmarks use them too.
from plain_readings import (  # noqa: F401 - re-exported
    ref_apply_mask, ref_closest, ref_css_name, ref_distance, ref_extract_pixels, ref_feature, ref_kmeans, ref_lab,
    ref_match_record, ref_percentages, ref_pixel_matches, ref_preprocess, ref_similarity_record,
)


def blocks_image(colors, block=8, rows=1):
    """A BGR uint8 image made of solid blocks, one per colour (given as BGR)."""
    colors = np.asarray(colors, dtype=np.uint8)
    strip = np.repeat(colors[None, :, :], block, axis=0)
    strip = np.repeat(strip, block, axis=1)
    return np.ascontiguousarray(np.tile(strip, (rows, 1, 1)))


# --- outcomes of calls and their comparison -----------------------------------------------

class Raised:
    """The exception a call raised, standing in for the result it did not return.
    Two are equal when their exceptions have the same type and text."""

    def __init__(self, exc):
        self.exc = exc

    def __eq__(self, other):
        if not isinstance(other, Raised):
            return NotImplemented
        return type(self.exc) is type(other.exc) and str(self.exc) == str(other.exc)

    __hash__ = None

    def __repr__(self):
        return f"Raised({type(self.exc).__name__}: {self.exc})"


def outcome(call, *args, **kwargs):
    """What `call(*args, **kwargs)` gives: its result, or Raised(exception).
    Warnings are left to the test's own filters."""
    try:
        return call(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return Raised(exc)


def assert_same(got, expected, path="result", own_texts=None):
    """Equal values of identical types all the way down: dict keys in the same
    order, arrays of the same dtype and shape, NaN equal to NaN.  An expected
    Raised wants an exception of the same type and text; with `own_texts`, the
    text is compared only when the expected one starts with one of them (the
    texts of other libraries' errors can differ from call site to call site)."""
    if isinstance(expected, Raised):
        assert isinstance(got, Raised), f"{path}: expected {expected!r}, got a result {got!r}"
        assert type(got.exc) is type(expected.exc), f"{path}: {got!r} != {expected!r}"
        text = str(expected.exc)
        if own_texts is None or text.startswith(own_texts):
            assert str(got.exc) == text, f"{path}: {got!r} != {expected!r}"
        return
    assert not isinstance(got, Raised), f"{path}: raised {got!r}, expected {expected!r}"
    assert type(got) is type(expected), f"{path}: {type(got).__name__} != {type(expected).__name__}"
    if isinstance(expected, dict):
        assert list(got) == list(expected), f"{path}: keys {list(got)} != {list(expected)}"
        for key in expected:
            assert_same(got[key], expected[key], f"{path}[{key!r}]", own_texts)
    elif isinstance(expected, (list, tuple)):
        assert len(got) == len(expected), f"{path}: length {len(got)} != {len(expected)}"
        for i, (g, e) in enumerate(zip(got, expected)):
            assert_same(g, e, f"{path}[{i}]", own_texts)
    elif isinstance(expected, np.ndarray):
        assert got.dtype == expected.dtype and got.shape == expected.shape, f"{path}: {got!r} != {expected!r}"
        assert np.array_equal(got, expected, equal_nan=got.dtype.kind in "fc"), f"{path}: {got!r} != {expected!r}"
    elif isinstance(expected, (float, np.floating)) and math.isnan(expected):
        assert math.isnan(got), f"{path}: {got!r} != nan"
    else:
        assert got == expected, f"{path}: {got!r} != {expected!r}"


def same(got, expected):
    """assert_same as a test: True when the two are the same."""
    try:
        assert_same(got, expected)
    except AssertionError:
        return False
    return True


# --- recording calls ----------------------------------------------------------------------

class Recorder:
    """Wraps a module and records each call made through it."""

    def __init__(self, target):
        self._target = target
        self.calls = []

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if not callable(value) or isinstance(value, type):
            return value

        def record(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return value(*args, **kwargs)
        return record

    def names(self):
        return [c[0] for c in self.calls]


# --- encoded image files for the image reader ---------------------------------------------

def encode_pillow(picture, fmt, **options):
    """The bytes of `picture` (a PIL image) saved in format `fmt`."""
    import io
    stream = io.BytesIO()
    picture.save(stream, fmt, **options)
    return stream.getvalue()


def encode_opencv(array, extension):
    """The bytes of `array` encoded by OpenCV as `extension` (".png", ".pam" ...)."""
    ok, buffer = cv2.imencode(extension, array)
    assert ok, extension
    return buffer.tobytes()


# --- catalogues -----------------------------------------------------------------------------

GOOD_IMAGES = ["blocks.png", "cutout.png", "gradient.png", "noise.jpg", "sub/deep.png"]
# Files that are no image (or a broken one), and what their error record says.
BAD_FILES = {"empty.png": "Could not load image", "notes.png": "Could not load image", "truncated.png": ""}


def write_catalogue(root):
    """Under `root`: GOOD_IMAGES (a transparent cut-out, one in sub/), BAD_FILES, and a text file."""
    rng = np.random.default_rng(20261208)
    (root / "sub").mkdir()
    cv2.imwrite(str(root / "blocks.png"), blocks_image([[30, 30, 220], [230, 160, 90], [20, 140, 20], [240, 240, 240]],
                                                       block=6, rows=2))
    ramp = np.linspace(0, 255, 40, dtype=np.uint8)
    gradient = np.stack([np.tile(ramp, (24, 1)), np.tile(ramp[::-1], (24, 1)), np.full((24, 40), 128, np.uint8)], -1)
    cv2.imwrite(str(root / "gradient.png"), gradient)
    cv2.imwrite(str(root / "noise.jpg"), rng.integers(0, 256, (20, 28, 3)).astype(np.uint8))
    cv2.imwrite(str(root / "sub" / "deep.png"), blocks_image([[200, 10, 10], [10, 10, 200]], block=5))
    # A cut-out: a magenta background made fully transparent around an opaque two-colour patch.
    cutout = np.zeros((24, 24, 4), np.uint8)
    cutout[:, :] = (255, 0, 255, 0)
    cutout[6:18, 6:12] = (20, 140, 20, 255)
    cutout[6:18, 12:18] = (230, 160, 90, 255)
    cv2.imwrite(str(root / "cutout.png"), cutout)
    (root / "empty.png").write_bytes(b"")
    (root / "notes.png").write_text("not an image at all\n")
    encoded = cv2.imencode(".png", gradient)[1].tobytes()
    (root / "truncated.png").write_bytes(encoded[: len(encoded) // 2])
    (root / "readme.txt").write_text("skipped: not an image extension\n")
    return root


def expected_record(path, extractor, targets=None, detailed=False, threshold=50.0, max_side=None, use_alpha=True):
    """What the single-image methods give for `path`, in the record's JSON form.

    With one native thread, as on the test cluster's workers: scikit-learn's
    k-means adds up per-thread partial sums, so its last bits depend on the
    thread count.
    """
    image, mask = read_image(path, use_alpha=use_alpha, max_side=max_side)
    targets = targets and {name: tuple(rgb) for name, rgb in targets.items()}
    with threadpool_limits(1), warnings.catch_warnings():
        warnings.simplefilter("ignore")  # k-means finding fewer distinct colours than asked
        colors = extractor.extract_colors(image, mask)
        record = {"colors": [{"color": list(c["color"]), "percentage": c["percentage"],
                              "hex": "#%02x%02x%02x" % tuple(c["color"]), "name": ref_css_name(c["color"])}
                             for c in colors]}
        if targets and detailed:
            record["matches"] = extractor.find_color_matches(image, targets, mask)
        elif targets:
            record["similarity"] = extractor.analyze_color_similarity(image, targets, mask, threshold)
    return json.loads(json.dumps(record, default=lambda v: v.tolist() if hasattr(v, "tolist") else v.item()))


# --- the command line on a pseudo-terminal ------------------------------------------------

def run_on_terminal(argv, cwd, stream="stderr", columns=None, env=None):
    """Run ``python -m chromalens *argv`` with `stream` ("stdout" or "stderr") on a
    pseudo-terminal of `columns` columns (the default size when None); `env`
    replaces the environment.  Returns (the finished process, with the other
    stream captured as bytes, and what the terminal received)."""
    import fcntl
    import os
    import pty
    import struct
    import subprocess
    import sys
    import termios

    master, slave = pty.openpty()
    if columns is not None:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, stream: slave}
    try:
        proc = subprocess.Popen([sys.executable, "-m", "chromalens", *argv], cwd=cwd, env=env, **streams)
        os.close(slave)
        slave = None
        out, err = proc.communicate(timeout=120)
        proc.stdout, proc.stderr = out, err
        seen = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the other end closed: everything has been read
                break
            if not chunk:
                break
            seen += chunk
    finally:
        os.close(master)
        if slave is not None:
            os.close(slave)
    return proc, seen


# --- catalogue records, as batch writes them ----------------------------------------------

TARGET = (200, 30, 40)  # the colour of the per-pixel target "red" in make_records


def make_records(count, seed):
    """Records as batch writes them: palettes near a few colours, error records, and per-pixel
    matches of target "red" (= TARGET) in some, of a "red" that is another colour in one."""
    rng = np.random.default_rng(seed)
    centres = np.array([[200, 30, 40], [20, 30, 120], [240, 240, 235], [90, 160, 60], [0, 0, 0]])
    records = []
    for i in range(count):
        path = f"set{i % 3}/image {i:04d}.png"
        if i % 17 == 5:
            records.append({"path": path, "width": None, "height": None, "colors": None, "error": "broken",
                            "seconds": 0.0})
            continue
        n = int(rng.integers(1, 7))
        rgb = np.clip(centres[rng.integers(0, 5, n)] + rng.normal(0, 30, (n, 3)), 0, 255).astype(int)
        shares = np.round(rng.dirichlet(np.ones(n)) * 100, 2)
        record = {"path": path, "width": 10, "height": 10,
                  "colors": [{"color": c.tolist(), "percentage": float(p), "hex": "#%02x%02x%02x" % tuple(c)}
                             for c, p in zip(rgb, shares)], "error": None, "seconds": 0.01}
        if i % 4 == 0:
            pixel = tuple(int(v) for v in np.clip(np.array(TARGET) + rng.integers(-20, 20, 3), 0, 255))
            if i == 8:
                pixel = (0, 255, 0)  # "red" of another colour: its distance does not fit TARGET
            bands = np.sort(np.round(rng.uniform(0, 60, 3), 2)).tolist()
            record["matches"] = {"red": {"total_percentage": bands[2], "close_percentage": bands[1],
                                         "very_close_percentage": bands[0], "closest_pixel": list(pixel),
                                         "min_distance": round(ref_distance(TARGET, pixel), 2),
                                         "similarity_score": 0}}
            if i == 8:
                record["matches"]["red"]["min_distance"] = 3.0
        records.append(record)
    return records


def write_records(path, records, tail=""):
    """`records` as a results file, one JSON line each, then `tail` (a partial line, say)."""
    with open(path, "w", encoding="utf-8") as out:
        for record in records:
            out.write(json.dumps(record) + "\n")
        out.write(tail)
