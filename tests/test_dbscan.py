"""Density clustering: the distinct-row search gives what the library gives
on every pixel, the colour and size rules, and the pairing of shares."""

import numpy as np
import pytest
from sklearn.cluster import DBSCAN
from sklearn.preprocessing import StandardScaler

from chromalens.color_extractor_cy import ColorExtractor


def literal_dbscan(pixels, n_colors, scale=None):
    """The clustering step read literally: the library on every pixel (standardised
    by `scale`, by default StandardScaler's fit_transform)."""
    scaled = (scale or StandardScaler().fit_transform)(pixels)
    labels = DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(scaled)
    unique = np.unique(labels)
    colors = np.array([np.mean(pixels[labels == label], axis=0) for label in unique if label != -1])
    if len(colors) > n_colors:
        sizes = [np.sum(labels == label) for label in unique if label != -1]
        colors = colors[np.argsort(sizes)[::-1][:n_colors]]
    return colors, labels


def noisy_blocks(rng, n_blocks, shape=(48, 64), jitter=3, noise_share=0.0):
    """Solid colour regions with a little jitter (many duplicate pixels) and optional speckle noise."""
    base = rng.integers(0, 256, (n_blocks, 3))
    region = rng.integers(0, n_blocks, shape)
    image = base[region] + rng.integers(-jitter, jitter + 1, shape + (3,))
    speckle = rng.random(shape) < noise_share
    image[speckle] = rng.integers(0, 256, (int(speckle.sum()), 3))
    return np.clip(image, 0, 255).astype(np.uint8)


def pixel_list(extractor, image):
    feature = extractor._convert_to_feature_space(extractor._preprocess_image(image))
    return extractor._extract_pixels(feature)


CASES = [
    # blocks, jitter, speckle share, lab, n_colors, preprocessing
    (3, 0, 0.0, True, 5, False),
    (4, 2, 0.0, False, 2, False),
    (6, 3, 0.1, True, 3, True),
    (8, 1, 0.3, False, 3, True),
    (12, 4, 0.05, True, 4, True),
    (5, 6, 0.5, False, 5, False),
]


@pytest.mark.parametrize("blocks,jitter,noise,lab,n_colors,pre", CASES)
def test_distinct_rows_match_the_library_on_every_pixel(rng, blocks, jitter, noise, lab, n_colors, pre):
    e = ColorExtractor(n_colors=n_colors, algorithm="dbscan", lab_space=lab, preprocessing=pre)
    pixels = pixel_list(e, noisy_blocks(rng, blocks, jitter=jitter, noise_share=noise))
    colors, labels = e._cluster_colors_dbscan(pixels)
    want_colors, want_labels = literal_dbscan(pixels, n_colors)
    assert labels.dtype == want_labels.dtype
    np.testing.assert_array_equal(labels, want_labels)
    assert colors.dtype == want_colors.dtype and colors.shape == want_colors.shape
    np.testing.assert_array_equal(colors, want_colors)


def test_float_pixels_take_the_literal_colour_path(rng):
    e = ColorExtractor(n_colors=2, algorithm="dbscan")
    pixels = pixel_list(e, noisy_blocks(rng, 4, jitter=2)).astype(np.float64) + 0.25
    colors, labels = e._cluster_colors_dbscan(pixels)
    want_colors, want_labels = literal_dbscan(pixels, 2)
    np.testing.assert_array_equal(labels, want_labels)
    np.testing.assert_array_equal(colors, want_colors)


def test_fewer_than_fifty_pixels_are_all_noise():
    pixels = np.arange(49 * 3, dtype=np.uint8).reshape(49, 3)
    colors, labels = ColorExtractor()._cluster_colors_dbscan(pixels)
    assert colors.shape == (0,) and colors.dtype == np.float64
    np.testing.assert_array_equal(labels, np.full(49, -1))


def test_identical_pixels_form_one_cluster():
    colors, labels = ColorExtractor()._cluster_colors_dbscan(np.full((100, 3), 17, np.uint8))
    np.testing.assert_array_equal(colors, [[17.0, 17.0, 17.0]])
    np.testing.assert_array_equal(labels, np.zeros(100))


def three_sized_clusters():
    """Clusters of 60, 200 and 120 pixels, far apart, in that scan order."""
    return np.concatenate(
        [np.full((60, 3), 10), np.full((200, 3), 128), np.full((120, 3), 250)]
    ).astype(np.uint8)


@pytest.mark.parametrize(
    "n_colors,expected",
    [
        (3, [[10] * 3, [128] * 3, [250] * 3]),  # exactly n_colors: label order, not size order
        (5, [[10] * 3, [128] * 3, [250] * 3]),
        (2, [[128] * 3, [250] * 3]),  # the smallest is dropped, largest first
        (1, [[128] * 3]),
        (-1, [[128] * 3, [250] * 3]),  # all but the smallest
        (-3, np.zeros((0, 3))),
    ],
)
def test_keeping_the_largest_clusters(n_colors, expected):
    colors, labels = ColorExtractor(n_colors=n_colors)._cluster_colors_dbscan(three_sized_clusters())
    np.testing.assert_array_equal(colors, np.asarray(expected, dtype=float))
    assert colors.shape == np.asarray(expected).shape
    np.testing.assert_array_equal(np.unique(labels), [0, 1, 2])


def test_zero_colours_keep_no_row():
    colors, _ = ColorExtractor(n_colors=0)._cluster_colors_dbscan(three_sized_clusters())
    assert colors.shape == (0, 3)


def test_noise_never_contributes_to_a_colour():
    pixels = np.concatenate([np.full((80, 3), 100), np.arange(30 * 3).reshape(30, 3) * 2]).astype(np.uint8)
    colors, labels = ColorExtractor()._cluster_colors_dbscan(pixels)
    assert (labels == -1).sum() > 0 and set(np.unique(labels)) == {-1, 0}
    np.testing.assert_array_equal(colors, [pixels[labels == 0].mean(axis=0)])
    assert not np.array_equal(colors, [pixels[labels >= -1].mean(axis=0)])


class RecordingDBSCAN:
    """A stand-in bound as the module's DBSCAN: gets the literal call."""

    calls = []

    def __init__(self, **kwargs):
        self.kwargs = kwargs

    def fit_predict(self, X, **kwargs):
        RecordingDBSCAN.calls.append((self.kwargs, X.shape, kwargs))
        return np.zeros(len(X), dtype=np.intp)


@pytest.mark.parametrize("n,min_samples", [(120, 50), (5099, 50), (5100, 51), (20000, 200)])
def test_stand_in_sees_every_pixel(restore_globals, n, min_samples):
    RecordingDBSCAN.calls = []
    restore_globals["DBSCAN"] = RecordingDBSCAN
    pixels = np.resize(np.arange(256, dtype=np.uint8), (n, 3))
    colors, labels = ColorExtractor()._cluster_colors_dbscan(pixels)
    assert RecordingDBSCAN.calls == [({"eps": 0.5, "min_samples": min_samples}, (n, 3), {})]
    assert labels.shape == (n,)
    np.testing.assert_array_equal(colors, [pixels.mean(axis=0)])


def test_shares_follow_the_kept_colours():
    # Blocks in scan order: smallest first, so the search numbers it 0.
    bgr = [(10, 10, 200), (200, 10, 10), (10, 200, 10), (200, 200, 200)]
    widths = [2, 8, 6, 4]  # 10 %, 40 %, 30 %, 20 % of the pixels
    image = np.concatenate(
        [np.full((40, 10 * w, 3), c, np.uint8) for c, w in zip(bgr, widths)], axis=1
    )
    result = ColorExtractor(n_colors=3, algorithm="dbscan", preprocessing=False, lab_space=False).extract_colors(image)
    assert result == [
        {"color": (10, 10, 200), "percentage": 40.0},
        {"color": (10, 200, 10), "percentage": 30.0},
        {"color": (200, 200, 200), "percentage": 20.0},
    ]


def test_extraction_with_dbscan_on_a_photo_crop(sample_path):
    import cv2

    image = cv2.imread(sample_path)[200:260, 150:230]
    e = ColorExtractor(n_colors=4, algorithm="dbscan")
    result = e.extract_colors(image)
    pixels = pixel_list(e, image)
    colors, labels = literal_dbscan(pixels, 4)
    assert len(result) == min(4, len(colors))
    assert all(0 <= r["percentage"] <= 100 for r in result)
    assert [r["percentage"] for r in result] == sorted((r["percentage"] for r in result), reverse=True)


def weighted_library_labels(pixels):
    """The library's weighted search on the distinct scaled rows, expanded to every pixel."""
    scaled = StandardScaler().fit_transform(pixels)
    rows, first, inverse, counts = np.unique(
        scaled, axis=0, return_index=True, return_inverse=True, return_counts=True
    )
    # Distinct rows in order of first occurrence, as the pixels meet them.
    order = np.argsort(first, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    labels = DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(
        rows[order], sample_weight=counts[order]
    )
    return labels[rank[inverse.ravel()]]


def gradient_image(h=90, w=120):
    y, x = np.mgrid[0:h, 0:w]
    return np.stack([x * 255 // w, y * 255 // h, (x + y) % 256], axis=-1).astype(np.uint8)


@pytest.mark.parametrize(
    "source,scale,lab",
    [
        ("photo", 0.25, True),
        ("photo", 0.25, False),
        pytest.param("photo", 1.0, True, marks=pytest.mark.slow),  # the whole photograph
        ("gradient", 1.0, True),
        ("gradient", 1.0, False),
        ("noise", 1.0, False),
    ],
)
def test_native_search_matches_the_weighted_library_search(sample_path, rng, source, scale, lab):
    import cv2

    if source == "photo":
        image = cv2.imread(sample_path)
        if scale != 1.0:
            image = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA)
    elif source == "gradient":
        image = gradient_image()
    else:
        image = rng.integers(0, 256, (80, 100, 3), dtype=np.uint8)
    e = ColorExtractor(algorithm="dbscan", lab_space=lab)
    pixels = pixel_list(e, image)
    _, labels = e._cluster_colors_dbscan(pixels)
    np.testing.assert_array_equal(labels, weighted_library_labels(pixels))


@pytest.mark.parametrize("blocks,jitter,noise", [(4, 20, 0.05), (8, 30, 0.2), (3, 40, 0.0)])
@pytest.mark.parametrize("on_lattice", [True, False])
def test_both_search_engines_match_the_library(rng, blocks, jitter, noise, on_lattice):
    # Integer pixels sit on an even lattice once scaled and take the lattice
    # engine; a sub-unit offset per pixel takes them off it, to the tree engine.
    pixels = noisy_blocks(rng, blocks, shape=(40, 60), jitter=jitter, noise_share=noise).reshape(-1, 3)
    pixels = pixels.astype(np.float64)
    if not on_lattice:
        pixels += rng.uniform(0.0, 0.01, pixels.shape)
    colors, labels = ColorExtractor(n_colors=3, algorithm="dbscan")._cluster_colors_dbscan(pixels)
    want_colors, want_labels = literal_dbscan(pixels, 3)
    np.testing.assert_array_equal(labels, want_labels)
    np.testing.assert_array_equal(colors, want_colors)


def unaligned(rows):
    """A float64 copy of 2-D rows, placed in a byte buffer one byte past its
    start with a row stride one byte longer than natural, as an array viewed
    out of a byte buffer may be."""
    rows = np.asarray(rows, dtype=np.float64)
    row_stride = 8 * rows.shape[1] + 1
    buffer = np.zeros(row_stride * len(rows) + 8, np.uint8)
    out = np.ndarray(rows.shape, dtype=np.float64, buffer=buffer, offset=1, strides=(row_stride, 8))
    out[...] = rows
    assert not out.flags.aligned
    return out


def test_unaligned_scaled_rows_take_the_library_search(rng, restore_globals):
    pixels = noisy_blocks(rng, 4, shape=(30, 40), jitter=3, noise_share=0.1).reshape(-1, 3)
    scaled = unaligned(StandardScaler().fit_transform(pixels))

    class UnalignedScaler:
        def fit_transform(self, X):
            return scaled

    restore_globals["StandardScaler"] = UnalignedScaler
    _, labels = ColorExtractor()._cluster_colors_dbscan(pixels)
    want = DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(np.array(scaled))
    np.testing.assert_array_equal(labels, want)

