"""DBSCAN on the distinct 8-bit colours of the pixel list: the scaler's
output is used only when it is a one-to-one function of each column's
8-bit value; anything else takes the search on the scaled rows, and every
case gives what the library gives on every pixel with the same scaler."""

import numpy as np
import pytest
from sklearn.cluster import DBSCAN
from sklearn.preprocessing import StandardScaler

from chromalens.color_extractor_cy import ColorExtractor

from helpers import Raised, outcome
from test_dbscan import literal_dbscan, noisy_blocks, pixel_list


def standard(pixels):
    return StandardScaler().fit_transform(pixels)


def row_jitter(pixels):
    """Not a function of the colour: equal pixels get rows far enough apart to change neighbourhoods."""
    scaled = standard(pixels)
    scaled[::7] += 0.3
    return scaled


def halved(pixels):
    """A function of each byte, but not one to one: neighbouring bytes meet."""
    return standard((pixels // 2 * 2).astype(np.uint8))


def signed_zeros(pixels):
    """Zeros of either sign for the same byte: equal values, as the library sees them."""
    scaled = pixels.astype(np.float64) - pixels[0].astype(np.float64)
    scaled[1::2][scaled[1::2] == 0] = -0.0
    return scaled / 40.0


def not_finite(pixels):
    scaled = standard(pixels)
    scaled[3, 1] = np.nan
    return scaled


def fewer_rows(pixels):
    return standard(pixels)[:-5]


def strided(pixels):
    return np.asfortranarray(standard(pixels))


SCALERS = [standard, row_jitter, halved, signed_zeros, not_finite, fewer_rows, strided]


@pytest.mark.parametrize("scale", SCALERS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("n_colors", [2, 5])
def test_any_scaler_output_gives_the_library_result(restore_globals, rng, scale, n_colors):
    class Scaler:
        def fit_transform(self, pixels):
            return scale(pixels)

    restore_globals["StandardScaler"] = Scaler
    e = ColorExtractor(n_colors=n_colors, algorithm="dbscan", preprocessing=False)
    pixels = pixel_list(e, noisy_blocks(rng, 6, jitter=2, noise_share=0.05))
    expected = outcome(literal_dbscan, pixels, n_colors, scale)
    got = outcome(e._cluster_colors_dbscan, pixels)
    assert isinstance(got, Raised) == isinstance(expected, Raised), (got, expected)
    if isinstance(expected, Raised):
        assert got == expected
        return
    (colors, labels), (want_colors, want_labels) = got, expected
    assert labels.dtype == want_labels.dtype
    np.testing.assert_array_equal(labels, want_labels)
    assert colors.shape == want_colors.shape
    np.testing.assert_array_equal(colors, want_colors)


@pytest.mark.parametrize("layout", ["reversed", "fortran", "sliced_columns"])
def test_pixel_lists_that_are_not_packed(rng, layout):
    e = ColorExtractor(n_colors=3, algorithm="dbscan", preprocessing=False, lab_space=False)
    packed = pixel_list(e, noisy_blocks(rng, 5, jitter=1))
    pixels = {
        "reversed": packed[::-1],
        "fortran": np.asfortranarray(packed),
        "sliced_columns": np.repeat(packed, 2, axis=1)[:, ::2],
    }[layout]
    colors, labels = e._cluster_colors_dbscan(pixels)
    want_colors, want_labels = literal_dbscan(pixels, 3, standard)
    np.testing.assert_array_equal(labels, want_labels)
    np.testing.assert_array_equal(colors, want_colors)


@pytest.mark.parametrize("distinct", [1, 2, 11, 12, 40])
def test_few_distinct_colours_around_the_library_handover(rng, distinct):
    """Up to 11 distinct rows the library searches by brute force; the
    colour path hands them to it as the scaled-row path does."""
    palette = rng.integers(0, 256, (distinct, 3), dtype=np.uint8)
    # Palette colours close together, so that some clusters join.
    palette = (palette // 8 + 100).astype(np.uint8)
    pixels = palette[rng.integers(0, distinct, 3000)]
    e = ColorExtractor(n_colors=4, algorithm="dbscan")
    colors, labels = e._cluster_colors_dbscan(pixels)
    want_colors, want_labels = literal_dbscan(pixels, 4, standard)
    np.testing.assert_array_equal(labels, want_labels)
    np.testing.assert_array_equal(colors, want_colors)


def test_extraction_pairs_shares_with_colours_on_many_clusters(rng):
    e = ColorExtractor(n_colors=3, algorithm="dbscan", preprocessing=False, lab_space=False)
    image = noisy_blocks(rng, 9, shape=(60, 80), jitter=1)
    pixels = pixel_list(e, image)
    colors, labels = literal_dbscan(pixels, 3, standard)
    unique, counts = np.unique(labels, return_counts=True)
    sizes = counts[unique != -1]
    shares = (sizes / sizes.sum() * 100)[np.argsort(sizes)[::-1][:3]]
    expected = sorted(
        ({"color": tuple(int(c) for c in color.astype(np.uint8)), "percentage": round(share, 2)}
         for color, share in zip(colors, shares)),
        key=lambda record: record["percentage"], reverse=True)
    assert e.extract_colors(image) == expected


def test_a_later_pixel_scaled_apart_from_its_colour_is_noticed(restore_globals, rng):
    """Only a repeat of a colour is off: the first pixels of the colours agree
    with each other, and the check of every pixel must catch it."""
    e = ColorExtractor(n_colors=5, algorithm="dbscan", preprocessing=False)
    pixels = pixel_list(e, noisy_blocks(rng, 4, jitter=1))
    pixels[-60:] = pixels[0]  # a colour seen first at the start, repeated at the end

    def late_jitter(values):
        scaled = standard(values)
        scaled[-60:] += 0.8
        return scaled

    class Scaler:
        def fit_transform(self, values):
            return late_jitter(values)

    restore_globals["StandardScaler"] = Scaler
    colors, labels = e._cluster_colors_dbscan(pixels)
    want_colors, want_labels = literal_dbscan(pixels, 5, late_jitter)
    np.testing.assert_array_equal(labels, want_labels)
    np.testing.assert_array_equal(colors, want_colors)


@pytest.mark.parametrize("palette_size", [7, 300])
def test_pixel_lists_of_a_million_and_more(rng, palette_size):
    """Large lists count colours in per-colour slots; the labels are those of
    the library's weighted search on the distinct rows in order of first
    occurrence (the search on every pixel cannot run at this size)."""
    palette = rng.integers(0, 256, (palette_size, 3), dtype=np.uint8)
    pixels = palette[rng.integers(0, palette_size, 1_100_000)]
    pixels[rng.random(len(pixels)) < 0.001] += 1  # a few rare colours, some of them noise
    e = ColorExtractor(n_colors=4, algorithm="dbscan")
    colors, labels = e._cluster_colors_dbscan(pixels)

    scaled = StandardScaler().fit_transform(pixels)
    _, first, inverse, counts = np.unique(pixels, axis=0, return_index=True, return_inverse=True, return_counts=True)
    order = np.argsort(first)
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    min_samples = max(50, len(pixels) // 100)
    row_labels = DBSCAN(eps=0.5, min_samples=min_samples).fit_predict(scaled[first[order]], sample_weight=counts[order])
    want_labels = row_labels[rank[inverse.ravel()]]
    np.testing.assert_array_equal(labels, want_labels)
    kept = [label for label in np.unique(want_labels) if label != -1]
    means = np.array([pixels[want_labels == label].mean(axis=0) for label in kept])
    if len(means) > 4:
        sizes = [np.sum(want_labels == label) for label in kept]
        means = means[np.argsort(sizes)[::-1][:4]]
    np.testing.assert_array_equal(colors, means)
