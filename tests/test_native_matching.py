"""find_color_matches measured on each distinct colour once: repeated
colours, ties between different colours in both orders, large images
against a whole-array reading, and the per-pixel reading still used by an
override."""

import cv2
import numpy as np
import pytest

from chromalens.color_extractor_cy import ColorExtractor

from helpers import assert_same, ref_distance, ref_match_record
from test_matching_matches import literal_matches


def whole_array_matches(extractor, lab_space, image, targets, mask=None):
    """The per-pixel reading with each conversion made on all pixels at once
    (OpenCV's 8-bit conversions are per-pixel functions)."""
    feature = extractor._convert_to_feature_space(extractor._preprocess_image(image))
    pixels = extractor._extract_pixels(feature, mask)
    if len(pixels) == 0:
        return {}
    column = pixels.reshape(-1, 1, 3)
    pixels_rgb = cv2.cvtColor(column, cv2.COLOR_LAB2RGB).reshape(-1, 3) if lab_space else pixels
    lab = cv2.cvtColor(pixels_rgb.reshape(-1, 1, 3), cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(float)
    results = {}
    for name, target in targets.items():
        target_lab = cv2.cvtColor(np.uint8([[np.array(target)]]), cv2.COLOR_RGB2LAB)[0][0].astype(float)
        distances = np.sqrt(np.sum((target_lab - lab) ** 2, axis=1))
        results[name] = ref_match_record(distances, pixels_rgb)
    return results


def palette_image(rng, h, w, colours):
    palette = rng.integers(0, 256, (colours, 3), dtype=np.uint8)
    return palette[rng.integers(0, colours, (h, w))]


TARGETS = {"red": (200, 30, 40), "skin": (220, 170, 140), "navy": (20, 30, 80), "grey": [128, 128, 128]}


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("colours", [1, 7, 300])
def test_repeated_colours_match_the_per_pixel_reading(rng, lab_space, colours):
    extractor = ColorExtractor(preprocessing=False, lab_space=lab_space)
    image = palette_image(rng, 17, 23, colours)
    targets = dict(TARGETS, exact=tuple(int(c) for c in image[3, 4, ::-1]))
    assert_same(extractor.find_color_matches(image, targets),
                     literal_matches(extractor, lab_space, image, targets))


def equidistant_pair(rng):
    """Two different RGB colours at the same distance from a target, none at distance 0."""
    target = np.array((90, 140, 60))
    candidates = rng.integers(0, 256, (4000, 3), dtype=np.uint8)
    distances = np.array([ref_distance(target, c) for c in candidates])
    order = np.argsort(distances, kind="stable")
    for a, b in zip(order, order[1:]):
        if distances[a] == distances[b] and distances[a] > 0 and not np.array_equal(candidates[a], candidates[b]):
            return target, candidates[a], candidates[b]
    raise AssertionError("no equidistant pair among the candidates")


@pytest.mark.parametrize("first_is", ["a", "b"])
def test_ties_between_colours_go_to_the_first_pixel(rng, first_is):
    target, a, b = equidistant_pair(rng)
    first, second = (a, b) if first_is == "a" else (b, a)
    far = np.array((255, 255, 255), np.uint8) if ref_distance(target, np.array((255, 255, 255))) > 100 else 0
    rgb = np.empty((9, 13, 3), np.uint8)
    rgb[:] = far
    rgb[2, 7] = first  # before every pixel of the other colour
    rgb[5, 1] = second
    rgb[8, 12] = first
    image = rgb[:, :, ::-1].copy()  # the extractor reads BGR
    extractor = ColorExtractor(preprocessing=False, lab_space=False)
    record = extractor.find_color_matches(image, {"t": tuple(int(c) for c in target)})["t"]
    assert record["closest_pixel"] == tuple(int(c) for c in first)
    assert_same({"t": record}, literal_matches(extractor, False, image, {"t": tuple(target)}))


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("preprocessing", [True, False])
def test_large_photo_like_images_match_the_whole_array_reading(rng, lab_space, preprocessing):
    h, w = 240, 320
    yy, xx = np.mgrid[0:h, 0:w]
    image = np.dstack([xx * 255 // w, yy * 255 // h, (xx + yy) * 127 // (h + w)]).astype(np.int16)
    image = np.clip(image + rng.integers(-20, 21, image.shape), 0, 255).astype(np.uint8)
    image[:40, :60] = 0  # exact zeros: dropped in RGB mode, LAB black kept in LAB mode
    extractor = ColorExtractor(preprocessing=preprocessing, lab_space=lab_space)
    mask = np.where(rng.random((h, w)) < 0.7, 255, 0).astype(np.uint8)
    for m in (None, mask):
        assert_same(extractor.find_color_matches(image, TARGETS, m),
                         whole_array_matches(extractor, lab_space, image, TARGETS, m))


@pytest.mark.parametrize("lab_space", [True, False])
def test_an_override_added_between_targets_gets_every_pixel_row(rng, lab_space):
    """The first target is measured natively; the class then gains a distance
    override, which sees every pixel's RGB row for the next target."""
    seen = []

    class Sub(ColorExtractor):
        pass

    def measure(self, color1, color2):
        seen.append(color2.copy())
        return ref_distance(color1, color2)

    class Target:
        """A target whose conversion to an array installs the override."""

        def __array__(self, dtype=None, copy=None):
            Sub._color_distance_lab = measure
            return np.array((30, 60, 90))

    image = palette_image(rng, 6, 7, 9)
    extractor = Sub(preprocessing=False, lab_space=lab_space)
    got = extractor.find_color_matches(image, {"native": (10, 20, 30), "switch": Target()})
    del Sub._color_distance_lab
    expected = literal_matches(ColorExtractor(preprocessing=False, lab_space=lab_space), lab_space, image,
                               {"native": (10, 20, 30), "switch": (30, 60, 90)})
    assert_same(got, expected)
    pixels = ColorExtractor(lab_space=lab_space)._extract_pixels(
        ColorExtractor(lab_space=lab_space)._convert_to_feature_space(image))
    rows = cv2.cvtColor(pixels.reshape(-1, 1, 3), cv2.COLOR_LAB2RGB).reshape(-1, 3) if lab_space else pixels
    np.testing.assert_array_equal(np.array(seen), rows)


@pytest.mark.parametrize("lab_space", [True, False])
def test_pixel_lists_of_a_million_and_more(rng, lab_space):
    """Large lists count colours in per-colour slots rather than bitmaps."""
    image = palette_image(rng, 1000, 1100, 500)
    image = np.clip(image.astype(np.int16) + rng.integers(-2, 3, image.shape), 0, 255).astype(np.uint8)
    extractor = ColorExtractor(preprocessing=False, lab_space=lab_space)
    assert_same(extractor.find_color_matches(image, TARGETS),
                     whole_array_matches(extractor, lab_space, image, TARGETS))


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("masked", [False, True])
@pytest.mark.parametrize("counts", [(254, 255, 256, 1), (510, 511, 765, 766), (2000, 3, 1021, 256)])
def test_colour_counts_around_255_pixels(rng, lab_space, masked, counts):
    """Colours counted in one-byte counters that wrap: counts just below, at
    and above multiples of 255, shuffled among dropped all-zero pixels."""
    colours = np.uint8([(10, 200, 30), (250, 250, 250), (30, 30, 220), (200, 30, 40)])
    rows = np.concatenate([np.repeat(colours[i:i + 1], count, axis=0) for i, count in enumerate(counts)]
                          + [np.zeros((300, 3), np.uint8)])
    rows = rows[rng.permutation(len(rows))]
    width = 7
    rows = np.concatenate([rows, np.zeros((-len(rows) % width, 3), np.uint8)])
    image = np.ascontiguousarray(rows.reshape(-1, width, 3))
    mask = None
    if masked:
        mask = np.where(rng.random(image.shape[:2]) < 0.8, 255, 0).astype(np.uint8)
    extractor = ColorExtractor(preprocessing=False, lab_space=lab_space)
    targets = {f"c{i}": tuple(int(v) for v in colour[::-1]) for i, colour in enumerate(colours)}
    assert_same(extractor.find_color_matches(image, targets, mask),
                whole_array_matches(extractor, lab_space, image, targets, mask))


def test_each_call_counts_afresh_after_calls_on_other_images(rng):
    """The counting memory kept between calls must come back empty: a
    sequence of images (one wide enough in colour that the kept memory is
    let go) each match the whole-array reading."""
    extractor = ColorExtractor(preprocessing=False, lab_space=False)
    noise = rng.integers(0, 256, (1024, 1024, 3), dtype=np.uint8)
    images = [palette_image(rng, 40, 50, 30), noise, palette_image(rng, 300, 301, 2000), noise[:5, :5],
              palette_image(rng, 40, 50, 30)]
    for image in images:
        assert_same(extractor.find_color_matches(image, TARGETS),
                    whole_array_matches(extractor, False, image, TARGETS))
