"""Property-based tests over every method of ColorExtractor.

Random settings, images (sizes, dtypes, channel counts, memory layouts),
masks, target colours and argument objects go through each method and
through a plain NumPy / OpenCV / scikit-learn reading of the same steps
written below.  For every example the two must agree: the same result
(values, types and key order), or an exception of the same type.  The
caller's arrays, dicts and lists must be unchanged afterwards, and a second
call must give the same answer.

HYPOTHESIS_PROFILE=dev runs ten times as many random examples.
"""

import copy
import math

import cv2
import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pytest
from hypothesis import event, given, note, settings
from hypothesis import strategies as st
from sklearn.cluster import DBSCAN
from sklearn.preprocessing import StandardScaler

from chromalens.color_extractor_cy import ColorExtractor

import helpers
from helpers import Raised, outcome, same
from helpers import ref_apply_mask, ref_kmeans, ref_match_record, ref_percentages, ref_similarity_record
from helpers import ref_extract_pixels as ref_pixels
from helpers import ref_closest, ref_distance, ref_lab

pytestmark = [pytest.mark.filterwarnings("ignore"), pytest.mark.usefixtures("single_threaded_libraries")]

# Messages the module writes itself: for these the text must match too.
OWN_MESSAGES = ("Could not load", "Unknown algorithm", "Cannot convert", "Argument '", "too many values",
                "need more than", "Expected ", "an integer is required", "__int__ returned")


def mostly(valid, *odd, weight=5):
    """`valid` about `weight` times as often as each of the `odd` strategies."""
    choices = [valid] * weight + list(odd)
    return st.integers(0, len(choices) - 1).flatmap(lambda i: choices[i])


def many(factor):
    """Settings with `factor` times the active profile's example count."""
    return settings(max_examples=factor * settings.default.max_examples)


# ---------------------------------------------------------------------------
# Outcomes and comparisons
# ---------------------------------------------------------------------------
def label(result):
    """A short tag of an outcome, for the statistics of a run."""
    if isinstance(result, Raised):
        return f"raised {type(result.exc).__name__}"
    if isinstance(result, (list, dict, tuple)):
        return f"{type(result).__name__} of {min(len(result), 3)}{'+' if len(result) > 3 else ''}"
    return type(result).__name__


def assert_same(got, expected, path="result"):
    """The shared deep comparison; the texts of other libraries' errors may
    differ between the module's calls and the reading's, so only the module's
    own texts are compared."""
    helpers.assert_same(got, expected, path, own_texts=OWN_MESSAGES)


def snapshot(obj):
    """A deep copy that also remembers array layouts."""
    if isinstance(obj, np.ndarray):
        return ("array", obj.copy(), obj.strides, obj.flags.writeable, type(obj))
    try:
        duplicate = copy.deepcopy(obj)
        if same(duplicate, obj) or duplicate == obj:
            return ("object", duplicate)
    except Exception:  # noqa: BLE001 - objects without copies are compared by identity
        pass
    return ("identity", obj)


def assert_unchanged(obj, snap):
    if snap[0] == "array":
        _, data, strides, writeable, kind = snap
        assert type(obj) is kind and obj.strides == strides and obj.flags.writeable == writeable
        assert np.array_equal(obj, data, equal_nan=data.dtype.kind in "fc")
    elif snap[0] == "identity":
        assert obj is snap[1]
    else:
        assert_same(obj, snap[1], "argument")


# ---------------------------------------------------------------------------
# The reading of each step in plain library calls
# ---------------------------------------------------------------------------
def require_array(obj):
    if obj is not None and not isinstance(obj, np.ndarray):
        raise TypeError(f"Cannot convert {type(obj).__name__} to numpy.ndarray")
    return obj


def ref_load(image, prefix):
    if isinstance(image, str):
        loaded = cv2.imread(image)
        if loaded is None:
            raise ValueError(prefix + image)
        return loaded
    return image


def ref_preprocess(image, cfg):
    return helpers.ref_preprocess(image, cfg["preprocessing"])


def ref_feature(image, cfg):
    return helpers.ref_feature(image, cfg["lab_space"])


def ref_extract_pixels(image, mask):
    if mask is not None:
        require_array(mask)
    return ref_pixels(image, mask)


def ref_dbscan_parts(pixels):
    """Labels, the distinct non-noise labels, their mean colours and sizes."""
    scaled = StandardScaler().fit_transform(pixels)
    labels = DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(scaled)
    kept = [label for label in np.unique(labels) if label != -1]
    means = [np.mean(pixels[labels == label], axis=0) for label in kept]
    sizes = [int(np.sum(labels == label)) for label in kept]
    return labels, kept, means, sizes


def ref_to_rgb(colors, cfg):
    if cfg["lab_space"]:
        return np.array([cv2.cvtColor(np.uint8([[color]]), cv2.COLOR_LAB2RGB)[0][0] for color in colors])
    return colors.astype(np.uint8)


def ref_records(colors, percentages):
    result = [{"color": tuple(int(c) for c in color), "percentage": round(p, 2)}
              for color, p in zip(colors, percentages)]
    result.sort(key=lambda r: r["percentage"], reverse=True)
    return result


def ref_pipeline(cfg, image, mask):
    image = require_array(image)
    processed = ref_preprocess(image, cfg)
    feature = ref_feature(processed, cfg)
    return ref_extract_pixels(feature, mask)


def ref_extract_candidates(cfg, image, mask=None):
    """The acceptable results of extract_colors.

    With more DBSCAN clusters than n_colors, each kept colour may be paired
    with the share of the cluster at its position in label order (the plain
    reading) or with its own cluster's share; either rule is accepted.
    Returns (candidates, exact): exact is False when equal cluster sizes make
    the kept set or its order a free choice.
    """
    image = ref_load(image, "Could not load image from ")
    mask = ref_load(mask, "Could not load mask from ")
    pixels = ref_pipeline(cfg, image, mask)
    if len(pixels) == 0:
        return [[]], True
    algorithm = cfg["algorithm"]
    if algorithm == "kmeans":
        colors, labels = ref_kmeans(pixels, cfg["n_colors"])
        return [ref_records(ref_to_rgb(colors, cfg), ref_percentages(labels))], True
    if algorithm != "dbscan":
        raise ValueError(f"Unknown algorithm: {algorithm}")
    labels, kept, means, sizes = ref_dbscan_parts(pixels)
    colors = np.array(means)
    percentages = ref_percentages(labels)
    n = cfg["n_colors"]
    if len(colors) <= n:
        return [ref_records(ref_to_rgb(colors, cfg), percentages)], True
    order = np.argsort(sizes)[::-1][:n]
    exact = len(set(sizes)) == len(sizes)
    plain = ref_records(ref_to_rgb(colors[order], cfg), percentages)
    own = ref_records(ref_to_rgb(colors[order], cfg), [percentages[i] for i in order])
    return [plain, own], exact


def ref_to_double(value):
    if not (hasattr(type(value), "__float__") or hasattr(type(value), "__index__")):
        raise TypeError(f"must be real number, not {type(value).__name__}")
    return float(value)


def ref_analyze(image_colors, target_colors, threshold):
    if not image_colors:
        return {}
    results = {}
    for name, target in target_colors.items():
        if type(target) is not tuple:
            raise TypeError("target_color")
        closest, distance = ref_closest(target, image_colors)
        results[name] = ref_similarity_record(closest, distance, threshold)
    return results


def ref_matches(cfg, image, target_colors, mask=None):
    image = ref_load(image, "Could not load image from ")
    pixels = ref_pipeline(cfg, image, mask)
    if len(pixels) == 0:
        return {}
    # Every per-pixel conversion depends on the pixel's value alone, so each
    # distinct row is converted once.
    if cfg["lab_space"]:
        unique, inverse = np.unique(pixels, axis=0, return_inverse=True)
        converted = [cv2.cvtColor(np.uint8([[p]]), cv2.COLOR_LAB2RGB)[0][0] for p in unique]
        pixels_rgb = np.array(converted)[inverse.reshape(-1)]
    else:
        pixels_rgb = pixels
    unique_rgb, inverse_rgb = np.unique(pixels_rgb, axis=0, return_inverse=True)
    unique_lab = None
    results = {}
    for name, target in target_colors.items():
        target_array = np.array(target)
        target_lab = ref_lab(target_array).astype(float)
        if unique_lab is None:
            unique_lab = np.array([ref_lab(p) for p in unique_rgb]).astype(float)
        # Squares and sums of whole numbers are exact, so this equals the
        # one-pair formula bit for bit.
        per_colour = np.sqrt(np.sum((target_lab - unique_lab) ** 2, axis=1))
        distances = per_colour[inverse_rgb.reshape(-1)]
        results[name] = ref_match_record(distances, pixels_rgb)
    return results


# ---------------------------------------------------------------------------
# Strategies
# ---------------------------------------------------------------------------
class SubArray(np.ndarray):
    """An ndarray subclass: accepted wherever an array is."""


class NotAnArray:
    pass


class StrPath(str):
    pass


class DictSub(dict):
    pass


WEIRD_OBJECTS = st.sampled_from([
    [[1, 2, 3]], (1, 2, 3), 7, 2.5, b"bytes", {"a": 1}, NotAnArray(), object(), range(3), memoryview(b"abc"),
])

n_colors_values = st.one_of(st.integers(-3, 12), st.sampled_from([0, -1, 2**31 - 1, -2**31, 10**6]))
algorithms = st.sampled_from(["kmeans", "kmeans", "kmeans", "dbscan", "dbscan", None, "KMeans", "", "unknown"])


@st.composite
def configs(draw, algorithm=algorithms, n_colors=n_colors_values):
    return {
        "n_colors": draw(n_colors),
        "algorithm": draw(algorithm),
        "preprocessing": draw(st.booleans()),
        "lab_space": draw(st.booleans()),
    }


def make_extractor(cfg):
    return ColorExtractor(cfg["n_colors"], cfg["algorithm"], cfg["preprocessing"], cfg["lab_space"])


sides = st.one_of(st.integers(1, 24), st.sampled_from([1, 2, 3, 33, 64, 97]))


def apply_layout(img, layout):
    if layout == "fortran":
        return np.asfortranarray(img)
    if layout == "strided":
        big = np.zeros((img.shape[0] * 2, img.shape[1] * 3) + img.shape[2:], img.dtype)
        big[::2, ::3] = img
        return big[::2, ::3]
    if layout == "reversed":
        return np.ascontiguousarray(img[::-1, ::-1])[::-1, ::-1]
    if layout == "reversed_channels" and img.ndim == 3:
        return np.ascontiguousarray(img[..., ::-1])[..., ::-1]
    if layout == "readonly":
        img = img.copy()
        img.flags.writeable = False
        return img
    if layout == "subclass":
        return img.view(SubArray)
    return img


LAYOUTS = ["contiguous", "contiguous", "fortran", "strided", "reversed", "reversed_channels", "readonly", "subclass"]


@st.composite
def images(draw, max_side=None, odd=True, dtype=None, channels=None, big=False):
    """BGR images of random size, content and layout; `big` makes a quarter
    of them at least 50 x 50 (more pixels than one block of the native
    matching pass)."""
    seed = draw(st.integers(0, 2**32 - 1))
    h, w = draw(sides), draw(sides)
    if big and draw(st.integers(0, 3)) == 0:
        h, w = max(h, 50), max(w, 50)
    if max_side is not None:
        h, w = min(h, max_side), min(w, max_side)
    kind = draw(st.sampled_from(["noise", "blocks", "blocks", "flat"]))
    if channels is None:
        channels = draw(st.sampled_from([3] * 8 + [4, 1, None])) if odd else 3
    if dtype is None:
        dtype = draw(st.sampled_from([np.uint8] * 10 + [np.float32, np.uint16, np.float64, np.int32, np.bool_])
                     ) if odd else np.uint8
    layout = draw(st.sampled_from(LAYOUTS))
    rng = np.random.default_rng(seed)
    c = channels or 1
    if kind == "noise":
        img = rng.integers(0, 256, (h, w, c))
    elif kind == "flat":
        colour = draw(st.sampled_from([(0, 0, 0), (255, 255, 255), (0, 0, 255), (128, 128, 128), None]))
        colour = rng.integers(0, 256, 3) if colour is None else np.array(colour)
        img = np.broadcast_to(np.resize(colour, c), (h, w, c)).copy()
    else:
        k = int(rng.integers(1, 7))
        palette = rng.integers(0, 256, (k, c))
        if rng.random() < 0.3:
            palette[0] = 0
        cells = rng.integers(0, k, (int(rng.integers(1, 7)), int(rng.integers(1, 7))))
        rows = np.repeat(cells, -(-h // cells.shape[0]), axis=0)[:h]
        index = np.repeat(rows, -(-w // cells.shape[1]), axis=1)[:, :w]
        img = palette[index]
    if channels is None:
        img = img[:, :, 0]
    if dtype == np.float32:
        img = (img / 255.0).astype(np.float32)
    elif dtype == np.uint16:
        img = (img * 257).astype(np.uint16)
    elif dtype == np.bool_:
        img = img > 127
    else:
        img = img.astype(dtype)
    img = apply_layout(np.ascontiguousarray(img), layout)
    note(f"image {img.shape} {img.dtype} {kind} {layout}")
    return img


SOUND_MASKS = ["none"] * 6 + ["random2d", "random2d", "white", "random3d", "white3d", "strided", "black"]
ODD_MASKS = ["at128", "bgra", "one_channel_3d", "wrong_size", "float", "bool", "int64", "list", "path", "one_d"]


@st.composite
def masks(draw, shape, odd=True):
    h, w = shape[:2]
    kind = draw(st.sampled_from(SOUND_MASKS + ODD_MASKS if odd else SOUND_MASKS))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    note(f"mask {kind}")
    if kind == "none":
        return None
    if kind == "random2d":
        return rng.choice(np.array([0, 127, 128, 129, 200, 255], np.uint8), (h, w))
    if kind == "black":
        return np.zeros((h, w), np.uint8)
    if kind == "white":
        return np.full((h, w), 255, np.uint8)
    if kind == "at128":
        return np.full((h, w), 128, np.uint8)
    if kind == "random3d":
        return rng.integers(0, 256, (h, w, 3)).astype(np.uint8)
    if kind == "white3d":
        m = np.zeros((h, w, 3), np.uint8)
        m[: (h + 1) // 2] = 255
        return m
    if kind == "bgra":
        return rng.integers(0, 256, (h, w, 4)).astype(np.uint8)
    if kind == "one_channel_3d":
        return np.full((h, w, 1), 255, np.uint8)
    if kind == "wrong_size":
        return np.full((h + 1, w), 255, np.uint8)
    if kind == "float":
        return rng.uniform(0, 255, (h, w)).astype(np.float32)
    if kind == "bool":
        return rng.random((h, w)) < 0.5
    if kind == "int64":
        return rng.integers(-300, 600, (h, w))
    if kind == "list":
        return [[255] * w] * h
    if kind == "path":
        return "no/such/mask.png"
    if kind == "one_d":
        return np.full(h * w, 255, np.uint8)
    m = np.zeros((h * 2, w * 2), np.uint8)
    m[::2, ::2] = rng.choice(np.array([0, 255], np.uint8), (h, w))
    return m[::2, ::2]


component = mostly(st.integers(0, 255), st.integers(-300, 600), st.floats(0, 255),
                   st.floats(allow_nan=True, allow_infinity=True), weight=3)
rgb_tuples = st.tuples(st.integers(0, 255), st.integers(0, 255), st.integers(0, 255))
odd_targets = st.one_of(
    st.tuples(component, component, component),
    st.lists(component, min_size=3, max_size=3),
    st.lists(component, min_size=0, max_size=5).map(tuple),
    st.sampled_from([(2**70, 0, 0), ("1", "2", "3"), ("a", "b", "c"), (None, 0, 0), ((1, 2), 3, 4), "red", None]),
)
targets = mostly(rgb_tuples, odd_targets, weight=3)
target_dicts = st.dictionaries(st.sampled_from(["red", "green", "blue", "white", "black", "x", "y"]), targets,
                               max_size=4)


def color_arrays():
    """Arrays handed to the distance: mostly RGB rows, sometimes anything."""
    dtypes = st.sampled_from([np.uint8, np.int64, np.float64, np.float32, np.int8, np.uint16, np.bool_])
    rows = st.tuples(component, component, component).map(lambda t: np.array(t))
    typed = st.builds(lambda t, d: np.array(np.array(t, dtype=float).clip(-1e300, 1e300)).astype(d),
                      st.tuples(component, component, component), dtypes)
    odd = st.one_of(
        st.lists(st.integers(0, 255), min_size=0, max_size=6).map(np.array),
        st.sampled_from([np.zeros((1, 3)), np.zeros((3, 1)), np.array(5), np.array(["1", "2", "3"]),
                         np.array(["a", "b", "c"]), np.array([None, 1, 2], dtype=object),
                         np.array([2**70, 0, 0], dtype=object), np.arange(9).reshape(3, 3)[:, 0],
                         np.arange(6)[::2], np.array([1 + 2j, 0, 0])]),
        st.none(),
    )
    return mostly(rows, typed, typed, odd, weight=3)


# ---------------------------------------------------------------------------
# Construction
# ---------------------------------------------------------------------------
class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Truthy:
    def __init__(self, value):
        self.value = value

    def __bool__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


def ref_int32(value):
    if isinstance(value, int):
        number = int.__int__(value)
    else:
        convert = getattr(type(value), "__int__", None)
        if convert is None:
            raise TypeError("an integer is required")
        number = convert(value)
        if not isinstance(number, int):
            raise TypeError(f"__int__ returned non-int (type {type(number).__name__})")
    if not -2**31 <= number < 2**31:
        raise OverflowError("value too large to convert to int")
    return int.__int__(number)


def ref_truth(value):
    return bool(value)


any_number = st.one_of(
    st.integers(-2**31, 2**31 - 1), st.integers(), st.floats(), st.booleans(), st.none(), st.text(max_size=3),
    st.sampled_from([np.int64(7), np.float32(2.5), np.array([4]), np.array([1, 2]), IntLike(3), IntLike("3"),
                     IntLike(ValueError("no")), IntLike(True), 3 + 1j, [1], (), {}]),
)
truth_values = st.one_of(
    st.booleans(), st.none(), st.integers(), st.text(max_size=2), st.lists(st.integers(), max_size=2),
    st.sampled_from([Truthy(True), Truthy(False), Truthy(ValueError("bad")), np.array([1, 2]), np.array([0]),
                     np.float64("nan"), object()]),
)
algorithm_values = st.one_of(algorithms, st.sampled_from([StrPath("kmeans"), 5, b"kmeans", ["kmeans"]]))


def fields_of(extractor):
    reduced = extractor.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


@given(n_colors=any_number, algorithm=algorithm_values, preprocessing=truth_values, lab_space=truth_values,
       by_keyword=st.lists(st.booleans(), min_size=4, max_size=4))
def test_init_converts_or_rejects_and_keeps_old_settings(n_colors, algorithm, preprocessing, lab_space, by_keyword):
    values = [n_colors, algorithm, preprocessing, lab_space]
    names = ["n_colors", "algorithm", "preprocessing", "lab_space"]
    # Positional arguments must come before keywords.
    first_keyword = by_keyword.index(True) if True in by_keyword else 4
    args = values[:first_keyword]
    kwargs = dict(zip(names[first_keyword:], values[first_keyword:]))

    def expected():
        number = ref_int32(n_colors)
        pre = ref_truth(preprocessing)
        lab = ref_truth(lab_space)
        if algorithm is not None and type(algorithm) is not str:
            raise TypeError(f"Argument 'algorithm' has incorrect type (expected str, got {type(algorithm).__name__})")
        return (algorithm, lab, number, pre)

    want = outcome(expected)
    extractor = ColorExtractor(2, "dbscan", False, True)
    got = outcome(extractor.__init__, *args, **kwargs)
    event(label(got))
    if isinstance(want, Raised):
        assert_same(got, want)
        assert fields_of(extractor) == ("dbscan", True, 2, False)
        assert_same(outcome(ColorExtractor, *args, **kwargs), want)
    else:
        assert got is None
        assert fields_of(extractor) == want
        assert fields_of(ColorExtractor(*args, **kwargs)) == want


# ---------------------------------------------------------------------------
# Pipeline steps
# ---------------------------------------------------------------------------
def run_both(method, reference, args, kwargs=None):
    kwargs = kwargs or {}
    snaps = [snapshot(a) for a in args]
    got = outcome(method, *args, **kwargs)
    event(label(got))
    for a, s in zip(args, snaps):
        assert_unchanged(a, s)
    return got, outcome(reference, *args)


@given(cfg=configs(), image=mostly(images(max_side=40), WEIRD_OBJECTS, st.none()))
def test_preprocess_image(cfg, image):
    ex = make_extractor(cfg)

    def ref(img):
        if img is not None and not isinstance(img, np.ndarray):
            raise TypeError(f"Argument 'image' has incorrect type (expected numpy.ndarray, got {type(img).__name__})")
        return ref_preprocess(img, cfg)

    got, want = run_both(ex._preprocess_image, ref, [image])
    assert_same(got, want)
    if not cfg["preprocessing"] and not isinstance(want, Raised):
        assert got is image
    assert_same(outcome(ex._preprocess_image, image), got)


@given(cfg=configs(), image=mostly(images(max_side=40), WEIRD_OBJECTS, st.none()))
def test_convert_to_feature_space(cfg, image):
    ex = make_extractor(cfg)

    def ref(img):
        if img is not None and not isinstance(img, np.ndarray):
            raise TypeError(f"Argument 'image' has incorrect type (expected numpy.ndarray, got {type(img).__name__})")
        return ref_feature(img, cfg)

    got, want = run_both(ex._convert_to_feature_space, ref, [image])
    assert_same(got, want)
    if not isinstance(want, Raised):
        assert got is not image


@st.composite
def image_and_mask(draw, max_side=40, odd=True, big=False):
    image = draw(images(max_side=max_side, odd=odd, big=big))
    return image, draw(masks(image.shape, odd=odd))


@given(cfg=configs(), pair=image_and_mask())
def test_apply_mask(cfg, pair):
    image, mask = pair
    ex = make_extractor(cfg)

    def ref(img, m):
        if m is not None and not isinstance(m, np.ndarray):
            raise TypeError(f"Argument 'mask' has incorrect type (expected numpy.ndarray, got {type(m).__name__})")
        return ref_apply_mask(img, m)

    got, want = run_both(ex._apply_mask, ref, [image, mask])
    assert_same(got, want)
    if mask is None:
        assert got is image


@given(cfg=configs(), pair=image_and_mask(), by_keyword=st.booleans())
def test_extract_pixels(cfg, pair, by_keyword):
    image, mask = pair
    ex = make_extractor(cfg)
    if by_keyword:
        snaps = [snapshot(image), snapshot(mask)]
        got = outcome(ex._extract_pixels, image=image, mask=mask)
        event(label(got))
        for a, s in zip([image, mask], snaps):
            assert_unchanged(a, s)
        want = outcome(ref_extract_pixels, image, mask)
    else:
        got, want = run_both(ex._extract_pixels, ref_extract_pixels, [image, mask])
    assert_same(got, want)
    if not isinstance(got, Raised):
        assert got.ndim == 2 and (mask is not None or got.shape[1] == 3)
        assert not np.any(np.all(got == 0, axis=1))


# ---------------------------------------------------------------------------
# Clustering and shares
# ---------------------------------------------------------------------------
@st.composite
def pixel_lists(draw, max_rows=200):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.one_of(st.integers(0, 12), st.integers(0, max_rows)))
    kind = draw(st.sampled_from(["uint8", "uint8", "few", "float", "nan", "inf", "wide", "flat", "strided"]))
    note(f"pixels n={n} {kind}")
    if kind == "few":
        palette = rng.integers(0, 256, (int(rng.integers(1, 5)), 3))
        return palette[rng.integers(0, len(palette), n)].astype(np.uint8)
    if kind == "float":
        return rng.uniform(-50, 300, (n, 3))
    if kind == "nan":
        p = rng.uniform(0, 255, (n, 3))
        if n:
            p[rng.integers(0, n), rng.integers(0, 3)] = np.nan
        return p
    if kind == "inf":
        p = rng.uniform(0, 255, (n, 3)).astype(np.float32)
        if n:
            p[rng.integers(0, n), 0] = np.inf
        return p
    if kind == "wide":
        return rng.integers(0, 256, (n, 4)).astype(np.uint8)
    if kind == "flat":
        return rng.integers(0, 256, n * 3).astype(np.uint8)
    if kind == "strided":
        return rng.integers(0, 256, (n, 6)).astype(np.uint8)[::-1, ::2]
    return rng.integers(0, 256, (n, 3)).astype(np.uint8)


@given(n_colors=st.one_of(st.integers(-2, 8), st.sampled_from([2**31 - 1, 1000])),
       pixels=mostly(pixel_lists(), WEIRD_OBJECTS, st.none()))
def test_cluster_colors_kmeans(n_colors, pixels):
    ex = ColorExtractor(n_colors)

    def ref(p):
        if p is not None and not isinstance(p, np.ndarray):
            raise TypeError(f"Argument 'pixels' has incorrect type (expected numpy.ndarray, got {type(p).__name__})")
        return ref_kmeans(p, n_colors)

    got, want = run_both(ex._cluster_colors_kmeans, ref, [pixels])
    assert_same(got, want)
    if not isinstance(got, Raised):
        colors, labels = got
        assert labels.min(initial=0) >= 0 and labels.max(initial=-1) < len(colors)


@st.composite
def dense_pixel_lists(draw):
    """Pixel lists with dense clusters (so DBSCAN finds some) plus noise."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    shape = draw(st.sampled_from(["clusters", "clusters", "clusters", "tiny", "empty", "nan", "inf", "wide",
                                  "strided", "one_d", "float32", "identical", "big"]))
    note(f"dense pixels {shape}")
    if shape == "empty":
        return np.zeros((0, 3), np.uint8)
    if shape == "tiny":
        return rng.integers(0, 256, (int(rng.integers(1, 50)), 3)).astype(np.uint8)
    if shape == "identical":
        return np.tile(rng.integers(0, 256, 3).astype(np.uint8), (int(rng.integers(50, 300)), 1))
    if shape == "one_d":
        return rng.integers(0, 256, 150).astype(np.uint8)
    k = int(rng.integers(1, 8))
    centres = rng.integers(0, 256, (k, 3))
    sizes = rng.integers(30, 220, k) if shape != "big" else rng.integers(800, 1600, k)
    rows = [np.repeat(c[None], s, axis=0) + rng.integers(-2, 3, (s, 3)) * (rng.random() < 0.5)
            for c, s in zip(centres, sizes)]
    noise = rng.integers(0, 256, (int(rng.integers(0, 60)), 3))
    pixels = np.concatenate(rows + [noise]).clip(0, 255)
    pixels = pixels[rng.permutation(len(pixels))].astype(np.uint8)
    if shape == "nan":
        pixels = pixels.astype(float)
        pixels[0, 1] = np.nan
    elif shape == "inf":
        pixels = pixels.astype(float)
        pixels[-1, 2] = -np.inf
    elif shape == "wide":
        pixels = np.concatenate([pixels, pixels[:, :1]], axis=1)
    elif shape == "strided":
        pixels = np.repeat(pixels, 2, axis=1)[::-1, ::2]
    elif shape == "float32":
        pixels = pixels.astype(np.float32) / 3
    return pixels


@given(n_colors=st.one_of(st.integers(-3, 8), st.sampled_from([2**31 - 1, -2**31])),
       pixels=mostly(dense_pixel_lists(), WEIRD_OBJECTS, st.none()))
def test_cluster_colors_dbscan(n_colors, pixels):
    ex = ColorExtractor(n_colors, "dbscan")
    snap = snapshot(pixels)
    got = outcome(ex._cluster_colors_dbscan, pixels)
    event(label(got))
    assert_unchanged(pixels, snap)

    def ref(p):
        if p is not None and not isinstance(p, np.ndarray):
            raise TypeError(f"Argument 'pixels' has incorrect type (expected numpy.ndarray, got {type(p).__name__})")
        return ref_dbscan_parts(p)

    want = outcome(ref, pixels)
    if isinstance(want, Raised):
        assert_same(got, want)
        return
    assert not isinstance(got, Raised), got
    assert type(got) is tuple and len(got) == 2
    colors, labels = got
    ref_labels, kept, means, sizes = want
    note(f"{len(kept)} clusters, sizes {sizes}")
    assert isinstance(colors, np.ndarray) and isinstance(labels, np.ndarray)
    assert labels.shape == ref_labels.shape
    if not kept:
        assert colors.shape == (0,) and np.all(labels == -1)
        return
    means = np.array(means)
    if len(means) <= n_colors:
        # All clusters kept, in label order, labels as the library numbers them.
        assert_same(colors, means)
        assert_same(labels, ref_labels)
        return
    order = np.argsort(sizes)[::-1][:n_colors]
    assert colors.shape == (len(order), means.shape[1])
    if len(set(sizes)) == len(sizes):
        assert_same(colors, means[order])
    # Noise stays noise; otherwise labels are the library's or a renumbering
    # under which label i names row i of the colours.
    assert np.array_equal(labels == -1, ref_labels == -1)
    if not np.array_equal(labels, ref_labels):
        pairs = set(zip(ref_labels.tolist(), labels.tolist()))
        assert len(pairs) == len(set(ref_labels.tolist())) == len(set(labels.tolist()))
        for i, row in enumerate(colors):
            assert_same(row, np.mean(pixels[labels == i], axis=0))


label_dtypes = st.sampled_from([np.int64, np.int32, np.int8, np.int16, np.uint8, np.intp, np.float64, np.float32,
                                np.bool_, np.uint64])


@st.composite
def label_arrays(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n = draw(st.one_of(st.integers(0, 10), st.integers(0, 3000)))
    low = draw(st.sampled_from([-1, -1, 0, -5]))
    high = draw(st.integers(low + 1, low + 40))
    dtype = draw(label_dtypes)
    labels = rng.integers(low, high, n)
    if draw(st.booleans()):
        labels[: n // 2] = -1
    with np.errstate(all="ignore"):
        labels = labels.astype(dtype)
    shape = draw(st.sampled_from(["flat", "flat", "2d", "strided", "readonly", "subclass", "column"]))
    if shape == "2d" and n % 2 == 0:
        labels = labels.reshape(2, -1)
    elif shape == "strided":
        labels = labels[::-2]
    elif shape == "readonly":
        labels.flags.writeable = False
    elif shape == "subclass":
        labels = labels.view(SubArray)
    elif shape == "column":
        labels = labels.reshape(-1, 1)
    note(f"labels {labels.dtype} {labels.shape} {shape}")
    return labels


odd_labels = st.sampled_from([np.array([np.nan, 1.0, -1.0, np.nan]), np.array(["a", "b", "a"]), np.array(5),
                              np.array([], dtype=float), np.array([-1.0, -1.0]), np.array([None, 1], dtype=object),
                              np.array([2**63 - 1, -1, 2**63 - 1]), np.array([1.5, 1.5, -1.0, 2.5])])


@pytest.mark.slow
@many(5)
@given(labels=mostly(label_arrays(), odd_labels, WEIRD_OBJECTS, st.none()))
def test_calculate_percentages(labels):
    ex = ColorExtractor()

    def ref(lab):
        if lab is not None and not isinstance(lab, np.ndarray):
            raise TypeError(f"Argument 'labels' has incorrect type (expected numpy.ndarray, got {type(lab).__name__})")
        return ref_percentages(lab)

    got, want = run_both(ex._calculate_percentages, ref, [labels])
    assert_same(got, want)
    if not isinstance(got, Raised) and got:
        assert all(0.0 <= p <= 100.0 for p in got)
        assert math.isclose(sum(got), 100.0, rel_tol=1e-9)


# ---------------------------------------------------------------------------
# Extraction
# ---------------------------------------------------------------------------
def check_colour_records(result):
    assert type(result) is list
    for record in result:
        assert type(record) is dict and list(record) == ["color", "percentage"]
        assert type(record["color"]) is tuple and len(record["color"]) == 3
        assert all(type(c) is int and 0 <= c <= 255 for c in record["color"])
        assert type(record["percentage"]) is float and 0.0 <= record["percentage"] <= 100.0
    shares = [r["percentage"] for r in result]
    assert shares == sorted(shares, reverse=True)


@given(cfg=configs(), pair=mostly(image_and_mask(max_side=None), st.tuples(WEIRD_OBJECTS, st.none()), weight=8))
def test_extract_colors(cfg, pair):
    image, mask = pair
    ex = make_extractor(cfg)
    snaps = [snapshot(image), snapshot(mask)]
    got = outcome(ex.extract_colors, image, mask)
    event(label(got))
    for a, s in zip([image, mask], snaps):
        assert_unchanged(a, s)
    want = outcome(ref_extract_candidates, cfg, image, mask)
    if isinstance(want, Raised):
        assert_same(got, want)
    else:
        candidates, exact = want
        assert not isinstance(got, Raised), got
        check_colour_records(got)
        if exact:
            assert any(got == c for c in candidates), f"{got} not in {candidates}"
        else:
            assert len(got) == len(candidates[0])
        if cfg["algorithm"] == "kmeans" and got:
            assert math.isclose(sum(r["percentage"] for r in got), 100.0, abs_tol=0.01 * len(got))
        elif got:
            assert sum(r["percentage"] for r in got) <= 100.0 + 0.01 * len(got)
    # The extractor keeps nothing: the next call gives the same answer.
    assert_same(outcome(ex.extract_colors, image, mask=mask), got)


# ---------------------------------------------------------------------------
# Chart
# ---------------------------------------------------------------------------
chart_component = mostly(st.integers(0, 255), st.floats(0, 255), st.integers(-5, 300), weight=10)
chart_colour = mostly(
    st.tuples(chart_component, chart_component, chart_component),
    st.lists(chart_component, min_size=3, max_size=3),
    st.lists(st.integers(0, 255), min_size=2, max_size=4).map(tuple),
    st.sampled_from(["red", None, (1, "a", 2)]),
)
chart_percentage = mostly(st.floats(0, 100), st.integers(0, 100), st.sampled_from([5, 5.0, 5.01]),
                          st.floats(-10, 150), st.sampled_from([float("nan"), "50", None]))


@st.composite
def chart_records(draw):
    kind = draw(st.sampled_from(["normal"] * 30 + ["extra_key", "no_color", "no_percentage", "not_a_dict"]))
    if kind == "not_a_dict":
        return draw(st.sampled_from([(1, 2), 5, None, [("color", (1, 2, 3))]]))
    record = {"color": draw(chart_colour), "percentage": draw(chart_percentage)}
    if kind == "extra_key":
        record["name"] = "x"
    elif kind == "no_color":
        del record["color"]
    elif kind == "no_percentage":
        del record["percentage"]
    return record


_REF_FIGURE = matplotlib.figure.Figure(figsize=(12, 2))
_REF_AXES = _REF_FIGURE.add_subplot(1, 1, 1)


def ref_chart(colors):
    """Draws the chart on a private axes; returns what the axes holds."""
    ax = _REF_AXES
    ax.cla()
    start = 0
    for info in colors:
        color = [c / 255.0 for c in info["color"]]
        percentage = info["percentage"]
        width = percentage / 100.0
        ax.barh(0, width, left=start, height=0.8, color=color, edgecolor="white", linewidth=1)
        if width > 0.05:
            ax.text(start + width / 2, 0, f"{percentage:.1f}%", ha="center", va="center", fontweight="bold")
        start = start + width
    ax.set_xlim(0, 1)
    ax.set_ylim(-0.5, 0.5)
    ax.set_xlabel("Color Distribution")
    ax.set_title("Extracted Colors with Percentages")
    ax.set_yticks([])
    return chart_content(ax)


def chart_content(ax):
    bars = [(p.get_x(), p.get_y(), p.get_width(), p.get_height(), tuple(p.get_facecolor()),
             tuple(p.get_edgecolor()), p.get_linewidth()) for p in ax.patches]
    texts = [(t.get_position(), t.get_text(), t.get_ha(), t.get_va(), t.get_fontweight()) for t in ax.texts]
    return {"bars": bars, "texts": texts, "xlim": ax.get_xlim(), "ylim": ax.get_ylim(),
            "xlabel": ax.get_xlabel(), "title": ax.get_title(), "yticks": list(ax.get_yticks())}


@pytest.mark.slow
@given(colors=mostly(st.lists(chart_records(), max_size=7), st.sampled_from([(), None, [].copy]),
                     st.lists(chart_records(), max_size=3).map(lambda l: type("ListSub", (list,), {})(l))),
       save_path=st.sampled_from([None] * 8 + [""] * 4 + [b"x.png", 5]))
def test_visualize_colors(colors, save_path):
    ex = ColorExtractor()
    if callable(colors):
        colors = colors()
    plt.close("all")
    snap = snapshot(colors)
    try:
        got = outcome(ex.visualize_colors, colors, save_path)
        event(label(got))
        assert_unchanged(colors, snap)
        figures = [plt.figure(n) for n in plt.get_fignums()]
        if type(colors) is not list or not (save_path is None or type(save_path) is str):
            assert isinstance(got, Raised) and type(got.exc) is TypeError
            assert str(got.exc).startswith("Argument '")
            assert figures == []
            return
        if not colors:
            assert got is None and figures == []
            return
        want = outcome(ref_chart, colors)
        if isinstance(want, Raised):
            assert_same(got, want)
            return
        assert got is None, got
        assert len(figures) == 1 and len(figures[0].axes) == 1
        assert same(chart_content(figures[0].axes[0]), want)
    finally:
        plt.close("all")


# ---------------------------------------------------------------------------
# Matching
# ---------------------------------------------------------------------------
@pytest.mark.slow
@many(5)
@given(color1=mostly(color_arrays(), WEIRD_OBJECTS, weight=10), color2=mostly(color_arrays(), WEIRD_OBJECTS, weight=10),
       by_keyword=st.booleans())
def test_color_distance_lab(color1, color2, by_keyword):
    ex = ColorExtractor()

    def ref(c1, c2):
        for name, c in (("color1", c1), ("color2", c2)):
            if c is not None and not isinstance(c, np.ndarray):
                raise TypeError(f"Argument '{name}' has incorrect type (expected numpy.ndarray, got "
                                f"{type(c).__name__})")
        return ref_distance(c1, c2)

    if by_keyword:
        got, want = run_both(lambda a, b: ex._color_distance_lab(color2=b, color1=a), ref, [color1, color2])
    else:
        got, want = run_both(ex._color_distance_lab, ref, [color1, color2])
    assert_same(got, want)
    if not isinstance(got, Raised):
        assert 0.0 <= got <= 255 * math.sqrt(3)
        assert_same(outcome(ex._color_distance_lab, color2, color1), got)


record_colours = mostly(rgb_tuples, st.lists(component, min_size=3, max_size=3), odd_targets, weight=10)


@st.composite
def colour_records(draw):
    kind = draw(st.sampled_from(["normal"] * 30 + ["no_color", "not_a_dict", "extra"]))
    if kind == "not_a_dict":
        return draw(st.sampled_from([5, None, ((1, 2, 3),), "color"]))
    record = {"color": draw(record_colours), "percentage": draw(st.floats(0, 100))}
    if kind == "no_color":
        del record["color"]
    elif kind == "extra":
        record["note"] = [1, 2]
    return record


@given(target=mostly(targets, st.builds(lambda t: type("TupleSub", (tuple,), {})(t), rgb_tuples)),
       records=mostly(st.lists(colour_records(), max_size=6), st.lists(colour_records(), max_size=6).map(tuple),
                      st.none()))
def test_find_closest_color(target, records):
    ex = ColorExtractor()

    def ref(t, recs):
        if type(t) is not tuple:
            raise TypeError("target_color")
        if type(recs) is not list:
            raise TypeError("image_colors")
        return ref_closest(t, recs)

    members = list(records) if isinstance(records, (list, tuple)) else []
    got, want = run_both(ex._find_closest_color, ref, [target, records])
    if isinstance(want, Raised):
        assert_same(got, want)
        return
    assert not isinstance(got, Raised), got
    assert type(got) is tuple and len(got) == 2
    closest, distance = got
    assert closest is want[0], "the closest record is the list's own object"
    assert closest is None or any(closest is m for m in members)
    assert type(distance) is float and same(distance, want[1])


threshold_values = mostly(
    st.floats(-10, 300), st.sampled_from([50.0, 0, 0.0, 30, 1e-300, float("inf"), float("nan"), -1.0, True,
                                          np.float32(40), np.int64(20)]),
    st.sampled_from(["50", None, [50], 3 + 0j]),
    weight=3,
)
valid_target_dicts = st.dictionaries(st.sampled_from(["red", "green", "blue", "white", "black", "x", "y"]),
                                     rgb_tuples, min_size=1, max_size=4)


@given(cfg=configs(algorithm=st.sampled_from(["kmeans"] * 4 + ["dbscan", "dbscan", "nope"]),
                   n_colors=mostly(st.integers(1, 6), n_colors_values)),
       pair=image_and_mask(max_side=48, odd=False),
       target_colors=mostly(valid_target_dicts, target_dicts, st.builds(DictSub, target_dicts),
                            st.sampled_from([None, [("r", (1, 2, 3))]])),
       threshold=threshold_values, pass_threshold=st.booleans())
def test_analyze_color_similarity(cfg, pair, target_colors, threshold, pass_threshold):
    image, mask = pair
    ex = make_extractor(cfg)
    kwargs = {"similarity_threshold": threshold} if pass_threshold else {}
    snaps = [snapshot(image), snapshot(mask), snapshot(target_colors)]
    got = outcome(ex.analyze_color_similarity, image, target_colors, mask, **kwargs)
    event(label(got))
    if isinstance(got, Raised):
        event(f"{type(got.exc).__name__}: {str(got.exc)[:50]}")
    for a, s in zip([image, mask, target_colors], snaps):
        assert_unchanged(a, s)

    image_colors = outcome(ex.extract_colors, image, mask)

    def ref():
        t = ref_to_double(threshold) if pass_threshold else 50.0
        if type(target_colors) is not dict:
            raise TypeError("target_colors")
        if isinstance(image_colors, Raised):
            raise image_colors.exc
        return ref_analyze(image_colors, target_colors, t)

    want = outcome(ref)
    if isinstance(want, Raised):
        assert_same(got, want)
    else:
        assert_same(got, want)
        for record in got.values():
            assert 0 <= record["similarity"] <= 100 and 0 <= record["percentage"] <= 100
            # The colour is the very tuple of the extracted record it came from.
            assert any(record["closest_color"] == r["color"] for r in image_colors)
    assert_same(outcome(ex.analyze_color_similarity, image, target_colors, mask, **kwargs), got)


@given(cfg=configs(), pair=mostly(image_and_mask(max_side=None, big=True), st.tuples(WEIRD_OBJECTS, st.none()),
                                 weight=8),
       target_colors=mostly(valid_target_dicts, target_dicts, st.builds(DictSub, target_dicts),
                            st.sampled_from([None, [("r", (1, 2, 3))]]), weight=4))
def test_find_color_matches(cfg, pair, target_colors):
    image, mask = pair
    if isinstance(image, np.ndarray) and image.ndim >= 2 and image.shape[0] * image.shape[1] > 2048:
        event("more than 2048 pixels")
    ex = make_extractor(cfg)
    snaps = [snapshot(image), snapshot(mask), snapshot(target_colors)]
    got = outcome(ex.find_color_matches, image, target_colors, mask)
    event(label(got))
    if isinstance(got, Raised):
        event(f"{type(got.exc).__name__}: {str(got.exc)[:50]}")
    for a, s in zip([image, mask, target_colors], snaps):
        assert_unchanged(a, s)

    def ref():
        if type(target_colors) is not dict:
            raise TypeError("target_colors")
        return ref_matches(cfg, image, target_colors, mask)

    want = outcome(ref)
    assert_same(got, want)
    if not isinstance(got, Raised):
        for record in got.values():
            bands = [record["very_close_percentage"], record["close_percentage"], record["total_percentage"]]
            assert 0 <= bands[0] <= bands[1] <= bands[2] <= 100
            assert 0 <= record["similarity_score"] <= 100
    assert_same(outcome(ex.find_color_matches, image, target_colors, mask), got)
