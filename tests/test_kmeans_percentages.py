"""K-means clustering of the pixel list and the cluster shares, against the
plain NumPy / scikit-learn reading."""

import traceback
import types

import cv2
import numpy as np
import pytest

from chromalens.color_extractor_cy import ColorExtractor

from helpers import Raised, assert_same, outcome, ref_kmeans, ref_percentages


# Fits with fewer distinct pixels than clusters warn alike in the module and in the reading.
pytestmark = [pytest.mark.usefixtures("single_threaded_libraries"),
              pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")]


def pixel_lists():
    rng = np.random.default_rng(3)
    yy, xx = np.mgrid[0:24, 0:30]
    photo = np.dstack([xx * 8, yy * 10, 255 - xx * 4]).astype(np.uint8)
    photo = cv2.add(photo, rng.integers(0, 20, photo.shape, dtype=np.uint8))
    lab = cv2.cvtColor(photo, cv2.COLOR_BGR2LAB).reshape(-1, 3)
    rgb = cv2.cvtColor(photo, cv2.COLOR_BGR2RGB).reshape(-1, 3)
    few = np.repeat(np.array([[10, 20, 30], [200, 10, 10], [90, 90, 90]], np.uint8), [40, 25, 5], axis=0)
    return {
        "lab": lab,
        "rgb": rgb,
        "rgb_float": rgb[::3].astype(np.float64) / 3,
        "three_colours": few,
        "tiny_distinct": np.array([[9, 9, 9], [1, 2, 3], [4, 5, 6], [1, 2, 4]], np.uint8),
        "tiny_repeated": np.array([[5, 5, 5], [1, 2, 3], [5, 5, 5]], np.uint8),
        "empty": np.zeros((0, 3), np.uint8),
        "flat_len4": np.arange(4, dtype=np.uint8),
        "flat_len6": np.arange(6, dtype=np.uint8),
        "none": None,
    }


PIXELS = pixel_lists()


@pytest.mark.parametrize("name", list(PIXELS))
@pytest.mark.parametrize("n_colors", [-1, 0, 1, 3, 5, 7])
def test_kmeans_matches_plain_reading(name, n_colors):
    pixels = PIXELS[name]
    before = None if pixels is None else pixels.copy()
    expected = outcome(ref_kmeans, pixels, n_colors)
    got = outcome(ColorExtractor(n_colors)._cluster_colors_kmeans, pixels)
    assert_same(got, expected)
    if isinstance(got, Raised):
        return
    assert len(got) == 2
    if before is not None:
        np.testing.assert_array_equal(pixels, before)


def test_kmeans_small_case_examples():
    colors, labels = ColorExtractor(5)._cluster_colors_kmeans(PIXELS["tiny_repeated"])
    np.testing.assert_array_equal(colors, [[1, 2, 3], [5, 5, 5]])
    np.testing.assert_array_equal(labels, [0, 1])
    colors, labels = ColorExtractor(5)._cluster_colors_kmeans(PIXELS["tiny_distinct"])
    np.testing.assert_array_equal(colors, [[1, 2, 3], [1, 2, 4], [4, 5, 6], [9, 9, 9]])
    assert colors.dtype == np.uint8
    colors, labels = ColorExtractor(3)._cluster_colors_kmeans(PIXELS["empty"])
    assert colors.shape == (0, 3) and labels.shape == (0,)


def test_kmeans_at_exactly_n_colors_pixels_clusters():
    pixels = PIXELS["tiny_distinct"]
    colors, labels = ColorExtractor(4)._cluster_colors_kmeans(pixels)
    assert colors.dtype == np.float64 and colors.shape == (4, 3)
    assert sorted(labels.tolist()) == [0, 1, 2, 3]
    np.testing.assert_array_equal(colors[labels], pixels)


def test_kmeans_repeatable():
    ex = ColorExtractor(4)
    a, b = ex._cluster_colors_kmeans(PIXELS["lab"]), ex._cluster_colors_kmeans(PIXELS["lab"])
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def test_kmeans_goes_through_the_global(restore_globals):
    made = []

    class FakeKMeans:
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            self.cluster_centers_ = np.array([[1.0, 2.0, 3.0]])

        def fit_predict(self, x):
            self.seen = x
            return np.zeros(len(x), np.int64)

    restore_globals["KMeans"] = FakeKMeans
    pixels = PIXELS["rgb"]
    colors, labels = ColorExtractor(2)._cluster_colors_kmeans(pixels)
    assert made == [((), {"n_clusters": 2, "random_state": 42, "n_init": 10})]
    np.testing.assert_array_equal(colors, [[1.0, 2.0, 3.0]])
    assert len(labels) == len(pixels)


@pytest.mark.parametrize("name, n_colors", [("lab", 3), ("tiny_repeated", 5)])
def test_kmeans_missing_global_is_a_name_error(restore_globals, name, n_colors):
    missing = "KMeans" if n_colors == 3 else "np"
    del restore_globals[missing]
    with pytest.raises(NameError, match=rf"^name '{missing}' is not defined$"):
        ColorExtractor(n_colors)._cluster_colors_kmeans(PIXELS[name])


def test_kmeans_error_names_the_method_in_its_traceback():
    with pytest.raises(TypeError) as info:
        ColorExtractor()._cluster_colors_kmeans(None)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "chromalens.color_extractor_cy.ColorExtractor._cluster_colors_kmeans" in names


# --- percentages -----------------------------------------------------------------

def label_arrays():
    rng = np.random.default_rng(5)
    return {
        "two": np.array([0, 0, 1, 1, 1]),
        "noise_and_gap": np.array([-1, -1, 0, 2, 2, 2]),
        "single": np.array([3, 3]),
        "small_case_3": np.arange(3),
        "random_int32": rng.integers(-1, 6, 1000).astype(np.int32),
        "random_uint8": rng.integers(0, 9, 777).astype(np.uint8),
        "two_dimensional": rng.integers(-1, 3, (10, 7)),
        "float": np.array([0.0, 0.5, 0.5, -1.0]),
        "only_noise": np.full(4, -1),
        "empty": np.array([], np.int64),
        "none": None,
    }


LABELS = label_arrays()


@pytest.mark.parametrize("name", list(LABELS))
def test_percentages_match_plain_reading(name):
    labels = LABELS[name]
    expected = outcome(ref_percentages, labels)
    got = outcome(ColorExtractor()._calculate_percentages, labels)
    assert_same(got, expected)
    if not isinstance(got, Raised):
        assert type(got) is list and all(type(v) is float for v in got)


@pytest.mark.parametrize("name, expected", [
    ("two", [40.0, 60.0]),
    ("noise_and_gap", [25.0, 75.0]),
    ("single", [100.0]),
    ("small_case_3", [33.33333333333333] * 3),
    ("only_noise", []),
    ("empty", []),
])
def test_percentages_examples(name, expected):
    assert ColorExtractor()._calculate_percentages(LABELS[name]) == expected


@pytest.mark.parametrize("parts, message", [
    (3, r"^too many values to unpack \(expected 2\)$"),
    (1, r"^need more than 1 value to unpack$"),
    (0, r"^need more than 0 values to unpack$"),
])
def test_percentages_unpack_the_unique_result_strictly(restore_globals, parts, message):
    def unique(labels, return_counts):
        assert return_counts is True
        return tuple(np.unique(labels, return_counts=True) + (np.arange(1),))[:parts]

    restore_globals["np"] = types.SimpleNamespace(unique=unique, sum=np.sum)
    with pytest.raises(ValueError, match=message):
        ColorExtractor()._calculate_percentages(LABELS["two"])


def test_percentages_use_the_np_global(restore_globals):
    calls = []

    def unique(labels, return_counts):
        calls.append("unique")
        return np.unique(labels, return_counts=return_counts)

    def total(values):
        calls.append("sum")
        return np.sum(values) * 2

    restore_globals["np"] = types.SimpleNamespace(unique=unique, sum=total)
    assert ColorExtractor()._calculate_percentages(LABELS["two"]) == [20.0, 30.0]
    assert calls == ["unique", "sum"]
    del restore_globals["np"]
    with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
        ColorExtractor()._calculate_percentages(LABELS["two"])
