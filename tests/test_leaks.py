"""Reference and memory leaks: every method, on success and on its error
paths, repeated in a bounded loop leaves the reference counts of its
arguments unchanged and the traced bytes and resident memory flat."""

import logging

import cv2
import matplotlib.pyplot as plt
import matplotlib.text
import numpy as np
import pytest
from sklearn.utils._param_validation import InvalidParameterError

from PIL import Image

from chromalens import read_image
from chromalens.color_extractor_cy import ColorExtractor
from helpers import GOOD_IMAGES, blocks_image, encode_opencv, write_catalogue
from leakcheck import SANITIZED, assert_no_leak, growth

pytestmark = [pytest.mark.filterwarnings("ignore"), pytest.mark.usefixtures("single_threaded_libraries")]


RNG = np.random.default_rng(7)
SMALL = blocks_image([[10, 20, 30], [200, 100, 50], [0, 0, 255], [90, 90, 90]], block=4, rows=2)  # 8 x 16
NOISE = RNG.integers(0, 256, (6, 6, 3)).astype(np.uint8)
MASK2D = np.where(np.arange(SMALL.shape[1]) < 10, 255, 0).astype(np.uint8)[None, :].repeat(SMALL.shape[0], 0)
MASK3D = np.repeat(MASK2D[:, :, None], 3, axis=2)
PIXELS = np.repeat(np.array([[10, 20, 30], [200, 100, 50], [0, 0, 255]], np.uint8), 20, axis=0)
# Few distinct rows go to the library's own (brute-force) neighbour search,
# many distinct rows to the native one.
FEW_ROWS = np.repeat(np.array([[10, 20, 30], [200, 100, 50], [0, 0, 255]], np.uint8), [120, 90, 60], axis=0)
MANY_ROWS = (FEW_ROWS + RNG.integers(0, 3, FEW_ROWS.shape)).astype(np.uint8)
LABELS = RNG.integers(-1, 5, 500)
RED, WHITE = np.array((255, 0, 0)), np.array((255, 255, 255))
RECORDS = [{"color": (200, 10, 10), "percentage": 60.0}, {"color": (10, 200, 10), "percentage": 30.0},
           {"color": (1, 2, 3), "percentage": 10.0}]
TARGETS = {"red": (255, 0, 0), "white": (255, 255, 255), "green": [0, 255, 0]}
TUPLE_TARGETS = {"red": (255, 0, 0), "white": (255, 255, 255), "blue": (0, 0, 255)}
BGRA = np.dstack([SMALL, MASK2D])
PNG_BGRA = encode_opencv(BGRA, ".png")
PICTURE_P = Image.fromarray(SMALL).convert("P")
PICTURE_P.info["transparency"] = 0


class DistanceOverride(ColorExtractor):
    def _color_distance_lab(self, color1, color2):
        return 1.5


class ListPreprocess(ColorExtractor):
    def _preprocess_image(self, image):
        return [1, 2, 3]


class TripleClusters(ColorExtractor):
    def _cluster_colors_kmeans(self, pixels):
        return (1, 2, 3)


@pytest.fixture(scope="module")
def image_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("leaks") / "small image.png"
    assert cv2.imwrite(str(path), SMALL)
    return str(path)


def extractor(*args):
    return ColorExtractor(*args)


# (name, function of the image path giving (call, watched arguments), loops, expected exception)
CASES = [
    # construction and settings
    ("construct", lambda p: (lambda: ColorExtractor(3, "dbscan", False, True), []), 2000, None),
    ("init", lambda p: (lambda e=extractor(): e.__init__(n_colors=4.5, algorithm="x"), []), 2000, None),
    ("init bad type", lambda p: (lambda e=extractor(): e.__init__(n_colors="5"), []), 2000, TypeError),
    ("init overflow", lambda p: (lambda e=extractor(): e.__init__(2**40), []), 2000, OverflowError),
    ("init bad algorithm", lambda p: (lambda e=extractor(): e.__init__(algorithm=5), []), 2000, TypeError),
    ("init bad keyword", lambda p: (lambda e=extractor(): e.__init__(colours=5), []), 2000, TypeError),
    ("init too many", lambda p: (lambda e=extractor(): e.__init__(1, 2, 3, 4, 5), []), 2000, TypeError),
    # pipeline steps
    ("preprocess", lambda p: (lambda e=extractor(): e._preprocess_image(SMALL), [SMALL]), 500, None),
    ("preprocess off", lambda p: (lambda e=extractor(5, "kmeans", False): e._preprocess_image(SMALL), [SMALL]),
     2000, None),
    ("preprocess list", lambda p: (lambda e=extractor(): e._preprocess_image([SMALL]), [SMALL]), 2000, TypeError),
    ("preprocess grey", lambda p: (lambda e=extractor(): e._preprocess_image(MASK2D), [MASK2D]), 1000, cv2.error),
    ("feature space", lambda p: (lambda e=extractor(): e._convert_to_feature_space(SMALL), [SMALL]), 2000, None),
    ("feature space none", lambda p: (lambda e=extractor(): e._convert_to_feature_space(None), []), 1000, cv2.error),
    ("apply mask", lambda p: (lambda e=extractor(): e._apply_mask(SMALL, MASK3D), [SMALL, MASK3D]), 1000, None),
    ("apply mask wrong size", lambda p: (lambda e=extractor(): e._apply_mask(SMALL, MASK2D[:4]), [SMALL]),
     1000, cv2.error),
    ("extract pixels", lambda p: (lambda e=extractor(): e._extract_pixels(SMALL, MASK2D), [SMALL, MASK2D]),
     1000, None),
    ("extract pixels list mask", lambda p: (lambda e=extractor(): e._extract_pixels(SMALL, [[255]]), [SMALL]),
     2000, TypeError),
    # clustering and shares
    ("kmeans", lambda p: (lambda e=extractor(3): e._cluster_colors_kmeans(PIXELS), [PIXELS]), 40, None),
    ("kmeans small case", lambda p: (lambda e=extractor(100): e._cluster_colors_kmeans(PIXELS), [PIXELS]),
     1000, None),
    ("kmeans none", lambda p: (lambda e=extractor(): e._cluster_colors_kmeans(None), []), 2000, TypeError),
    ("kmeans zero colours", lambda p: (lambda e=extractor(0): e._cluster_colors_kmeans(PIXELS), [PIXELS]),
     100, InvalidParameterError),
    ("dbscan few rows", lambda p: (lambda e=extractor(2, "dbscan"): e._cluster_colors_dbscan(FEW_ROWS), [FEW_ROWS]),
     100, None),
    ("dbscan many rows", lambda p: (lambda e=extractor(2, "dbscan"): e._cluster_colors_dbscan(MANY_ROWS),
                                    [MANY_ROWS]), 100, None),
    ("dbscan empty", lambda p: (lambda e=extractor(2, "dbscan"): e._cluster_colors_dbscan(PIXELS[:0]), []),
     200, ValueError),
    ("percentages", lambda p: (lambda e=extractor(): e._calculate_percentages(LABELS), [LABELS]), 2000, None),
    ("percentages wrong type", lambda p: (lambda e=extractor(): e._calculate_percentages([1]), []),
     2000, TypeError),
    # extraction
    ("extract kmeans", lambda p: (lambda e=extractor(3): e.extract_colors(SMALL, MASK2D), [SMALL, MASK2D]),
     60, None),
    ("extract dbscan rgb", lambda p: (lambda e=extractor(2, "dbscan", False, False): e.extract_colors(SMALL),
                                      [SMALL]), 100, None),
    ("extract path", lambda p: (lambda e=extractor(3): e.extract_colors(p, p), [p]), 100, None),
    ("extract missing path", lambda p: (lambda e=extractor(): e.extract_colors("no/such.png"), []),
     1000, ValueError),
    ("extract missing mask", lambda p: (lambda e=extractor(): e.extract_colors(SMALL, "no/such.png"), [SMALL]),
     500, ValueError),
    ("extract list image", lambda p: (lambda e=extractor(): e.extract_colors([[1, 2, 3]]), []), 2000, TypeError),
    ("extract unknown algorithm", lambda p: (lambda e=extractor(3, "nope"): e.extract_colors(SMALL), [SMALL]),
     300, ValueError),
    ("extract override result", lambda p: (lambda e=ListPreprocess(): e.extract_colors(SMALL), [SMALL]),
     1000, TypeError),
    ("extract unpacking", lambda p: (lambda e=TripleClusters(3, "kmeans", False): e.extract_colors(SMALL),
                                     [SMALL]), 300, ValueError),
    # chart (pyplot keeps every figure until it is closed)
    ("visualize", lambda p: (lambda e=extractor(): _close_after(e.visualize_colors, RECORDS), [RECORDS]),
     15, None),
    ("visualize missing key", lambda p: (lambda e=extractor(): _close_after(e.visualize_colors, [{"color": (1, 2, 3)}]),
                                         []), 15, KeyError),
    ("visualize tuple", lambda p: (lambda e=extractor(): e.visualize_colors(tuple(RECORDS)), [RECORDS]),
     2000, TypeError),
    # matching
    ("distance", lambda p: (lambda e=extractor(): e._color_distance_lab(RED, WHITE), [RED, WHITE]), 2000, None),
    ("distance list", lambda p: (lambda e=extractor(): e._color_distance_lab([1, 2, 3], WHITE), [WHITE]),
     2000, TypeError),
    ("distance none", lambda p: (lambda e=extractor(): e._color_distance_lab(None, WHITE), [WHITE]), 2000, TypeError),
    ("distance two components", lambda p: (lambda e=extractor(): e._color_distance_lab(RED[:2], WHITE), [WHITE]),
     2000, cv2.error),
    ("closest", lambda p: (lambda e=extractor(): e._find_closest_color((255, 0, 0), RECORDS), [RECORDS]),
     2000, None),
    ("closest missing key", lambda p: (lambda e=extractor(): e._find_closest_color((1, 2, 3), [{"c": 1}]), []),
     2000, KeyError),
    ("closest list target", lambda p: (lambda e=extractor(): e._find_closest_color([1, 2, 3], RECORDS), [RECORDS]),
     2000, TypeError),
    ("analyze", lambda p: (lambda e=extractor(3): e.analyze_color_similarity(SMALL, TUPLE_TARGETS, None, 60),
                           [SMALL, TUPLE_TARGETS]), 60, None),
    ("analyze zero threshold", lambda p: (lambda e=extractor(1000, "kmeans", False, False):
                                          e.analyze_color_similarity(SMALL, {"c": (30, 20, 10)}, None, 0), [SMALL]),
     200, ZeroDivisionError),
    ("analyze dict subclass", lambda p: (lambda e=extractor(): e.analyze_color_similarity(SMALL, _DictSub()),
                                         [SMALL]), 2000, TypeError),
    ("analyze threshold text", lambda p: (lambda e=extractor(): e.analyze_color_similarity(SMALL, TARGETS, None, "5"),
                                          [SMALL, TARGETS]), 2000, TypeError),
    ("matches lab", lambda p: (lambda e=extractor(): e.find_color_matches(SMALL, TARGETS, MASK2D),
                               [SMALL, TARGETS, MASK2D]), 200, None),
    ("matches rgb strided", lambda p: (lambda e=extractor(5, "kmeans", False, False):
                                       e.find_color_matches(NOISE[::2, ::-1], TARGETS), [TARGETS]), 300, None),
    ("matches override", lambda p: (lambda e=DistanceOverride(): e.find_color_matches(NOISE, TARGETS),
                                    [NOISE, TARGETS]), 100, None),
    ("matches bad target", lambda p: (lambda e=extractor(): e.find_color_matches(SMALL, {"t": ("a", "b", "c")}),
                                      [SMALL]), 300, ValueError),
    ("matches mask path", lambda p: (lambda e=extractor(): e.find_color_matches(SMALL, TARGETS, p), [SMALL, p]),
     500, TypeError),
    ("matches missing path", lambda p: (lambda e=extractor(): e.find_color_matches("no/such.png", TARGETS),
                                        [TARGETS]), 1000, ValueError),
    # image reader
    ("read png bytes", lambda p: (lambda: read_image(PNG_BGRA, max_side=8), [PNG_BGRA]), 500, None),
    ("read path", lambda p: (lambda: read_image(p), [p]), 500, None),
    ("read pil paletted", lambda p: (lambda: read_image(PICTURE_P), [PICTURE_P]), 1000, None),
    ("read array rgb", lambda p: (lambda: read_image(BGRA[::-1], order="rgb"), [BGRA]), 2000, None),
    ("read damaged bytes", lambda p: (lambda: read_image(PNG_BGRA[:60]), [PNG_BGRA]), 1000, ValueError),
    ("read float array", lambda p: (lambda: read_image(NOISE / 2), [NOISE]), 2000, TypeError),
    # pickled state
    ("reduce", lambda p: (lambda e=extractor(): e.__reduce__(), []), 2000, None),
    ("setstate", lambda p: (lambda e=extractor(): e.__setstate__(("dbscan", 0, 3, 1)), []), 2000, None),
]


class _DictSub(dict):
    pass


# Matplotlib before 3.10 keeps the text metrics of every renderer, dead ones
# too, in one module-wide cache of up to 4096 entries, each holding None and
# False.  Measured with Matplotlib alone (pyplot making the same chart, no
# chromalens): 14 entries per chart, None and False counts up by 14 per call,
# 43 more tracked objects per call, and nothing at all once that cache is
# emptied after each chart.  Emptying it is the exact allowance.
_TEXT_METRICS_CACHE = getattr(matplotlib.text, "_get_text_metrics_with_cache_impl", None)


def _close_after(method, *args):
    try:
        method(*args)
    finally:
        plt.close("all")
        if _TEXT_METRICS_CACHE is not None:
            _TEXT_METRICS_CACHE.cache_clear()


# scikit-learn's brute-force radius query (used for at most 11 distinct rows)
# keeps one reference to None per call; None is never freed, so nothing is
# lost but the count.
LIBRARY_KEEPS_NONE = {"dbscan few rows", "extract dbscan rgb"}
# The first few dozen charts grow the native heap (renderer buffers) until
# it settles; after that RSS stays flat.  The library's neighbour search
# takes a hundred calls or so to settle its own allocations.
WARMUP = {"visualize": 30, "visualize missing key": 30, "dbscan few rows": 100, "extract dbscan rgb": 100}


# The loops take a minute in all: they run in full on the default Python, and the
# quick constructor loops everywhere.  On Python 3.13.0 an error loop that follows
# many others sees one late block of several MB and no new object: the
# interpreter's table of interned strings, grown once.  Each error's traceback
# entry is a new code object whose file and function names the interpreter
# interns and drops again with it; that churn uses up the table's free entries,
# and the rebuild sizes it for its population (7,689,584 bytes, 2**19 slots, with
# the ~90,000 strings of a full run).  assert_no_leak measures a second window,
# which stays flat.
QUICK = {"construct", "init", "init bad type", "init overflow", "init bad algorithm", "init bad keyword",
         "init too many"}
SLOW = {case[0] for case in CASES} - QUICK


@pytest.mark.parametrize("name, make, loops, expect", [
    pytest.param(*case, id=case[0], marks=[pytest.mark.slow] if case[0] in SLOW else []) for case in CASES])
def test_repeated_calls_leave_nothing_behind(name, make, loops, expect, image_file):
    call, watch = make(image_file)
    extractors = [d for d in call.__defaults__ or () if isinstance(d, ColorExtractor)]
    assert_no_leak(name, call, list(watch) + extractors, loops=loops, expect=expect, warmup=WARMUP.get(name),
                   check_none=name not in LIBRARY_KEEPS_NONE)


@pytest.mark.slow
def test_extract_colors_on_256_pixel_image_keeps_rss_flat():
    """100 extractions of a 256 x 256 photo-sized image after warm-up."""
    image = np.ascontiguousarray(
        blocks_image([[10, 200, 30], [200, 10, 40], [90, 90, 90], [250, 250, 250]], block=64, rows=4)[:256, :256])
    ex = ColorExtractor(4)
    assert_no_leak("extract 256x256", lambda: ex.extract_colors(image), [image, ex], loops=100, warmup=5, trace=False)


def test_repeated_catalogue_runs_leave_client_memory_flat(tmp_path, monkeypatch):
    """Catalogue runs repeated as a notebook calling analyze() again and again
    does, each on a local cluster it starts and closes.  It lives here, apart
    from the other catalogue tests, because their shared cluster keeps
    working in this process between runs and its objects would count."""
    pytest.importorskip("distributed")
    from chromalens.catalog import analyze

    # pytest keeps every log record a test emits, and the cluster logs a few
    # dozen per run (more on a busy machine); those are not the run's to free.
    monkeypatch.setattr(logging.getLogger("distributed"), "propagate", False)
    write_catalogue(tmp_path)
    paths = [str(tmp_path / name) for name in GOOD_IMAGES]

    def run():
        assert len(list(analyze(paths, workers=1))) == len(paths)

    # Two warm-up runs: the second still fills caches of Dask's that fill
    # once.  Not traced: tracing every allocation of the cluster's event loop
    # triples the time.
    measured = growth(run, loops=2, warmup=2, trace=False)
    assert measured.objects < 200, f"{measured.objects} more tracked objects after 2 runs"
    assert measured.rss < 8 * 1024 * 1024, f"resident memory grew by {measured.rss} bytes over 2 runs"


@pytest.mark.skipif(SANITIZED, reason="the byte limits hold in the normal build only")
def test_a_block_allocated_once_is_told_from_growth():
    """One late block is no leak; a kilobyte kept per call is one, in both windows."""
    kept = []

    def once():
        if len(kept) < 1 and once.calls == 300:
            kept.append(bytearray(4 * 1024 * 1024))
        once.calls += 1

    once.calls = 0
    assert_no_leak("one late block", once, loops=400, warmup=10)
    with pytest.raises(AssertionError, match="more traced bytes after 400 calls, and again over 400 more calls"):
        assert_no_leak("a kilobyte per call", lambda: kept.append(bytes(1024)), loops=400, warmup=10)
