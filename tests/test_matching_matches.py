"""find_color_matches against the per-pixel plain reading (one-pixel conversions)."""

import copy
import warnings

import cv2
import numpy as np
import pytest

from helpers import Raised, assert_same, blocks_image, outcome, ref_distance, ref_pixel_matches


def literal_matches(extractor, lab_space, image, target_colors, mask=None, distance=ref_distance):
    """The per-pixel reading: one-pixel conversions for every pixel and target."""
    if isinstance(image, str):
        path, image = image, cv2.imread(image)
        if image is None:
            raise ValueError("Could not load image from " + path)
    processed = extractor._preprocess_image(image)
    feature = extractor._convert_to_feature_space(processed)
    pixels = extractor._extract_pixels(feature, mask)
    return ref_pixel_matches(pixels, lab_space, target_colors, distance)


def feature_lab_of(bgr, lab_space):
    """The LAB triple each BGR pixel is finally measured by (whole-array helper for building images)."""
    column = bgr.reshape(-1, 1, 3)
    if lab_space:
        rgb = cv2.cvtColor(cv2.cvtColor(column, cv2.COLOR_BGR2LAB), cv2.COLOR_LAB2RGB)
    else:
        rgb = cv2.cvtColor(column, cv2.COLOR_BGR2RGB)
    return cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(np.int64)


BOUNDARY_TARGET = (120, 100, 90)


def boundary_image(lab_space, target=BOUNDARY_TARGET):
    """Pixels at squared LAB distances just below, at and above 15, 30 and 50 from the target,
    two different colours tied for nearest (the later one last), repeated colours, and a far one."""
    r, g, b = target
    steps = np.arange(-45, 46)
    box = np.stack(np.meshgrid(steps + b, steps + g, steps + r, indexing="ij"), -1).reshape(-1, 3)
    box = box[np.all((box >= 0) & (box <= 255), axis=1)].astype(np.uint8)
    lab = feature_lab_of(box, lab_space)
    squared = np.sum((lab - literal_lab_int(target)) ** 2, axis=1)
    chosen = []
    for wanted in (224, 225, 226, 899, 900, 901, 2499, 2500, 2501):
        hits = np.nonzero(squared == wanted)[0]
        assert len(hits), wanted
        chosen.append(box[hits[0]])
    nearest = np.min(squared[squared > 0])
    ties = np.nonzero(squared == nearest)[0]
    tie_colours = np.unique(lab[ties], axis=0, return_index=True)[1]
    assert len(tie_colours) >= 2
    first, second = box[ties[tie_colours[0]]], box[ties[tie_colours[1]]]
    row = [box[np.argmax(squared)], second, *chosen, second, first, chosen[4]]
    return np.array(row, np.uint8).reshape(1, -1, 3), (first, second)


def literal_lab_int(color):
    return cv2.cvtColor(np.uint8([[color]]), cv2.COLOR_RGB2LAB)[0][0].astype(np.int64)


TARGET_SETS = [
    {"boundary": BOUNDARY_TARGET, "as_list": list(BOUNDARY_TARGET), "red": (255, 0, 0)},
    {"floats": (119.9, 100.2, 90.99), "white": [255.0, 255.0, 255.0], "black": (0, 0, 0)},
    {"out_of_range": (300, -5, 0), "four": (1, 2, 3, 4), "bools": (True, False, True)},
    {"nan": (float("nan"), 0, 0), "texts": ("1", "2", "3"), "uint8": np.array([9, 8, 7], np.uint8)},
]


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("targets", TARGET_SETS)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_boundary_pixels_match_literal(module, lab_space, targets):
    extractor = module.ColorExtractor(preprocessing=False, lab_space=lab_space)
    image, _ = boundary_image(lab_space)
    snapshot, targets_before = image.copy(), copy.deepcopy(targets)
    result = extractor.find_color_matches(image, targets)
    assert_same(result, literal_matches(extractor, lab_space, image, targets))
    np.testing.assert_array_equal(image, snapshot)
    assert list(targets) == list(targets_before)
    for name in targets:
        np.testing.assert_array_equal(np.array(targets[name]), np.array(targets_before[name]))


@pytest.mark.parametrize("lab_space", [True, False])
def test_band_limits_are_strict_and_ties_go_to_the_first_pixel(module, lab_space):
    extractor = module.ColorExtractor(preprocessing=False, lab_space=lab_space)
    image, (first, second) = boundary_image(lab_space)
    record = extractor.find_color_matches(image, {"t": BOUNDARY_TARGET})["t"]
    pixels = image.reshape(-1, 3)
    distances = [ref_distance(np.array(BOUNDARY_TARGET), p)
                 for p in feature_rgb_rows(pixels, lab_space)]
    # the image holds pixels at exactly 15, 30 and 50, and the bands exclude them
    assert {15.0, 30.0, 50.0} <= set(distances)
    n = len(distances)
    for key, limit in [("very_close_percentage", 15), ("close_percentage", 30), ("total_percentage", 50)]:
        assert record[key] == round(sum(d < limit for d in distances) / n * 100, 2)
    # two different colours share the smallest distance; the earlier pixel (the second colour) wins
    nearest = feature_rgb_rows(np.array([second]), lab_space)[0]
    assert record["closest_pixel"] == tuple(int(c) for c in nearest)
    assert feature_rgb_rows(np.array([first]), lab_space)[0].tolist() != list(record["closest_pixel"])


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("shape, places", [
    ((32, 32), (1000, 10, 1023)),  # exactly one conversion row of 1024 pixels
    ((37, 41), (1100, 1400, 1500)),  # a padded last row
    ((50, 61), (2100, 2600, 2900)),  # nearest pixels in a later block, tie across blocks
    ((50, 61), (30, 2100, 3000)),
])
def test_larger_pixel_lists_match_literal(module, rng, lab_space, shape, places):
    image_far, (first, second) = boundary_image(lab_space)
    far = image_far[0, 0]
    h, w = shape
    pixels = rng.integers(0, 256, (h * w, 3), dtype=np.uint8)
    squared = np.sum((feature_lab_of(pixels, lab_space) - literal_lab_int(BOUNDARY_TARGET)) ** 2, axis=1)
    pixels[squared <= 2601] = far
    a, b, c = places
    pixels[a], pixels[b], pixels[c] = second, first, second
    image = pixels.reshape(h, w, 3)
    extractor = module.ColorExtractor(preprocessing=False, lab_space=lab_space)
    targets = {"t": BOUNDARY_TARGET}
    result = extractor.find_color_matches(image, targets)
    assert_same(result, literal_matches(extractor, lab_space, image, targets))
    winner = second if a < b else first
    assert result["t"]["closest_pixel"] == tuple(int(v) for v in feature_rgb_rows(np.array([winner]), lab_space)[0])


def feature_rgb_rows(bgr_rows, lab_space):
    column = bgr_rows.reshape(-1, 1, 3).astype(np.uint8)
    if lab_space:
        rows = [cv2.cvtColor(np.uint8([[p]]), cv2.COLOR_LAB2RGB)[0][0]
                for p in cv2.cvtColor(column, cv2.COLOR_BGR2LAB).reshape(-1, 3)]
        return np.array(rows)
    return cv2.cvtColor(column, cv2.COLOR_BGR2RGB).reshape(-1, 3)


def masks_for(shape, rng):
    h, w = shape
    grey = rng.integers(0, 256, (h, w), dtype=np.uint8)
    grey[0, 0], grey[0, 1] = 128, 129  # the limit itself is outside, one above is inside
    return [None, grey, np.repeat(grey[:, :, None], 3, axis=2)]


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("preprocessing", [True, False])
@pytest.mark.parametrize("mask_kind", [0, 1, 2])
def test_random_images_match_literal(module, rng, lab_space, preprocessing, mask_kind):
    extractor = module.ColorExtractor(preprocessing=preprocessing, lab_space=lab_space)
    image = rng.integers(0, 256, (9, 11, 3), dtype=np.uint8)
    image[2:4, 2:5] = (40, 90, 200)  # repeated colour: ties on equal pixels
    image[5, 5] = 0  # all-zero row is dropped in RGB mode
    mask = masks_for(image.shape[:2], rng)[mask_kind]
    targets = {"repeated": (200, 90, 40), "grey": [128, 128, 128], "float": (10.5, 250.7, 3.2)}
    mask_before = None if mask is None else mask.copy()
    result = extractor.find_color_matches(image, targets, mask)
    assert_same(result, literal_matches(extractor, lab_space, image, targets, mask))
    if mask is not None:
        np.testing.assert_array_equal(mask, mask_before)


def test_path_image_equals_array_image(module, tmp_path, rng):
    image = rng.integers(0, 256, (6, 7, 3), dtype=np.uint8)
    path = str(tmp_path / "pixels.png")
    assert cv2.imwrite(path, image)
    extractor = module.ColorExtractor()
    targets = {"a": (10, 20, 30), "b": (200, 100, 50)}
    assert_same(extractor.find_color_matches(path, targets), extractor.find_color_matches(image, targets))
    assert_same(extractor.find_color_matches(path, targets), literal_matches(extractor, True, path, targets))


@pytest.mark.parametrize("lab_space", [True, False])
def test_one_colour_image_at_distance_12(module, lab_space):
    bgr = np.array([[70, 110, 150]], np.uint8)
    pixel_lab = feature_lab_of(bgr, lab_space)[0]
    r, g, b = np.meshgrid(*(np.arange(c - 20, c + 21) for c in (150, 110, 70)), indexing="ij")
    candidates = np.stack([r, g, b], -1).reshape(-1, 3).astype(np.uint8)
    lab = cv2.cvtColor(candidates.reshape(-1, 1, 3), cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(np.int64)
    target = tuple(int(c) for c in candidates[np.nonzero(np.sum((lab - pixel_lab) ** 2, axis=1) == 144)[0][0]])
    image = np.tile(bgr, (5, 4, 1))
    extractor = module.ColorExtractor(preprocessing=False, lab_space=lab_space)
    record = extractor.find_color_matches(image, {"t": target})["t"]
    assert_same(record, {
        "total_percentage": np.float64(100.0), "close_percentage": np.float64(100.0),
        "very_close_percentage": np.float64(100.0), "closest_pixel": record["closest_pixel"],
        "min_distance": np.float64(12.0), "similarity_score": np.float64(76.0)})
    assert record["closest_pixel"] == tuple(int(c) for c in feature_rgb_rows(bgr, lab_space)[0])


@pytest.mark.parametrize("lab_space", [True, False])
def test_exact_and_far_targets(module, lab_space):
    extractor = module.ColorExtractor(preprocessing=False, lab_space=lab_space)
    image = blocks_image([(0, 0, 250), (0, 250, 0), (0, 0, 250)], block=2)
    rgb = feature_rgb_rows(np.array([(0, 0, 250)]), lab_space)[0]
    result = extractor.find_color_matches(image, {"same": tuple(int(c) for c in rgb), "blue": (0, 0, 255)})
    assert result["same"]["min_distance"] == 0.0 and result["same"]["similarity_score"] == 100.0
    assert result["same"]["closest_pixel"] == tuple(int(c) for c in rgb)
    far = result["blue"]
    assert far["min_distance"] >= 50
    assert far["similarity_score"] == 0 and type(far["similarity_score"]) is int
    assert far["total_percentage"] == 0.0 and type(far["total_percentage"]) is np.float64


@pytest.mark.parametrize("targets", [{}, {"red": (255, 0, 0)}])
def test_mask_selecting_nothing_and_empty_targets(module, targets):
    extractor = module.ColorExtractor(preprocessing=False)
    image = blocks_image([(10, 20, 30), (200, 100, 50)])
    assert extractor.find_color_matches(image, targets, np.full(image.shape[:2], 128, np.uint8)) == {}
    assert extractor.find_color_matches(image, {}) == {}
    black = np.zeros((3, 3, 3), np.uint8)  # every row all zero in RGB mode
    assert module.ColorExtractor(preprocessing=False, lab_space=False).find_color_matches(black, targets) == {}


@pytest.mark.parametrize("target", ["red", (1, 2), [[1, 2, 3]], None, 5, (2 ** 70, 0, 0)])
@pytest.mark.parametrize("lab_space", [True, False])
def test_bad_targets_fail_like_literal(module, rng, target, lab_space):
    extractor = module.ColorExtractor(preprocessing=False, lab_space=lab_space)
    image = rng.integers(1, 256, (3, 4, 3), dtype=np.uint8)
    targets = {"ok": (1, 2, 3), "bad": target}
    before = copy.deepcopy(targets)
    actual = outcome(extractor.find_color_matches, image, targets)
    assert isinstance(actual, Raised)  # no partial result
    assert_same(actual, outcome(literal_matches, extractor, lab_space, image, targets))
    assert targets == before


@pytest.mark.parametrize("lab_space", [True, False])
def test_nan_target_under_warnings_as_errors_fails_like_literal(module, rng, lab_space):
    extractor = module.ColorExtractor(preprocessing=False, lab_space=lab_space)
    image = rng.integers(1, 256, (3, 4, 3), dtype=np.uint8)
    targets = {"nan": (float("nan"), 0, 0)}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        actual = outcome(extractor.find_color_matches, image, targets)
        expected = outcome(literal_matches, extractor, lab_space, image, targets)
    assert actual == expected and type(actual.exc) is RuntimeWarning


@pytest.mark.parametrize("image, error, message", [
    ([[1, 2, 3]], TypeError, "Cannot convert list to numpy.ndarray"),
    (7, TypeError, "Cannot convert int to numpy.ndarray"),
])
def test_bad_images(module, image, error, message):
    with pytest.raises(error) as info:
        module.ColorExtractor().find_color_matches(image, {"red": (255, 0, 0)})
    assert str(info.value) == message


def test_missing_image_file_and_mask_paths(module, tmp_path):
    extractor = module.ColorExtractor()
    path = str(tmp_path / "absent.jpg")
    with pytest.raises(ValueError) as info:
        extractor.find_color_matches(path, {"red": (255, 0, 0)})
    assert str(info.value) == "Could not load image from " + path
    mask_path = str(tmp_path / "mask.png")
    cv2.imwrite(mask_path, np.full((4, 4), 255, np.uint8))
    with pytest.raises(TypeError) as info:
        extractor.find_color_matches(np.full((4, 4, 3), 90, np.uint8), {"red": (255, 0, 0)}, mask_path)
    assert str(info.value) == "Cannot convert str to numpy.ndarray"


@pytest.mark.parametrize("targets, message", [
    (None, "Argument 'target_colors' has incorrect type (expected dict, got NoneType)"),
    ([("red", (1, 2, 3))], "Argument 'target_colors' has incorrect type (expected dict, got list)"),
])
def test_targets_must_be_a_dict(module, targets, message):
    with pytest.raises(TypeError) as info:
        module.ColorExtractor().find_color_matches(np.zeros((2, 2, 3), np.uint8), targets)
    assert str(info.value) == message


# ---------------------------------------------------------------------------
# Overrides and rebound libraries
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("lab_space", [True, False])
def test_distance_override_called_per_pixel_and_target(module, rng, lab_space):
    calls = []

    def measure(color1, color2):
        return float(int(color2[0]) % 37) + 0.5 * int(color1[1] > 100)

    class Custom(module.ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            calls.append((color1, color2.copy()))
            return np.float64(measure(color1, color2))

    extractor = Custom(preprocessing=False, lab_space=lab_space)
    image = rng.integers(1, 256, (4, 5, 3), dtype=np.uint8)
    targets = {"a": (10, 200, 30), "b": [1, 2, 3]}
    result = extractor.find_color_matches(image, targets)
    expected = literal_matches(extractor, lab_space, image, targets, distance=measure)
    assert_same(result, expected)

    pixels = feature_rgb_rows(image.reshape(-1, 3), lab_space)
    assert len(calls) == len(targets) * len(pixels)
    for t, target in enumerate(targets.values()):
        block = calls[t * len(pixels):(t + 1) * len(pixels)]
        assert all(c[0] is block[0][0] for c in block)  # one target array per target
        assert type(block[0][0]) is np.ndarray
        np.testing.assert_array_equal(block[0][0], np.array(target))
        np.testing.assert_array_equal(np.array([c[1] for c in block]), pixels)


def test_distance_override_result_must_convert(module):
    class Custom(module.ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            return "near"

    with pytest.raises(TypeError):
        Custom().find_color_matches(np.full((2, 2, 3), 50, np.uint8), {"a": (1, 2, 3)})


class Forwarding:
    """Stands in for a library module, forwarding everything and recording one-pixel calls."""

    def __init__(self, library):
        self._library = library
        self.one_pixel = []

    def __getattr__(self, name):
        return getattr(self._library, name)


@pytest.mark.parametrize("lab_space", [True, False])
def test_rebound_cv2_sees_every_one_pixel_conversion(module, rng, restore_globals, lab_space):
    extractor = module.ColorExtractor(preprocessing=False, lab_space=lab_space)
    image = rng.integers(1, 256, (3, 5, 3), dtype=np.uint8)
    targets = {"a": (10, 200, 30), "b": (250, 250, 250), "c": (0, 0, 90)}
    fast = extractor.find_color_matches(image, targets)

    wrapper = Forwarding(cv2)

    def cvt_color(src, code, *args, **kwargs):
        if src.shape[:2] == (1, 1):
            wrapper.one_pixel.append(code)
        return cv2.cvtColor(src, code, *args, **kwargs)

    wrapper.cvtColor = cvt_color
    restore_globals["cv2"] = wrapper
    literal = extractor.find_color_matches(image, targets)
    assert_same(literal, fast)
    n = image.shape[0] * image.shape[1]
    expected = [cv2.COLOR_LAB2RGB] * n if lab_space else []
    assert wrapper.one_pixel == expected + [cv2.COLOR_RGB2LAB] * (2 * n * len(targets))


def test_rebound_np_sees_every_one_pixel_conversion(module, rng, restore_globals):
    extractor = module.ColorExtractor(preprocessing=False)
    image = rng.integers(1, 256, (3, 4, 3), dtype=np.uint8)
    targets = {"a": (10, 200, 30), "b": [5, 5, 5]}
    fast = extractor.find_color_matches(image, targets)

    wrapper = Forwarding(np)

    def uint8(value):
        wrapper.one_pixel.append(value)
        return np.uint8(value)

    wrapper.uint8 = uint8
    restore_globals["np"] = wrapper
    assert_same(extractor.find_color_matches(image, targets), fast)
    n = image.shape[0] * image.shape[1]
    assert len(wrapper.one_pixel) == n + 2 * n * len(targets)


def test_preprocess_override_is_honoured(module, rng):
    class Flat(module.ColorExtractor):
        def _preprocess_image(self, image):
            return np.full_like(image, (40, 80, 160))

    extractor = Flat()
    image = rng.integers(0, 256, (5, 6, 3), dtype=np.uint8)
    record = extractor.find_color_matches(image, {"t": (160, 80, 40)})["t"]
    assert_same(record, literal_matches(extractor, True, image, {"t": (160, 80, 40)})["t"])
    assert record["closest_pixel"] == tuple(int(c) for c in feature_rgb_rows(np.array([(40, 80, 160)]), True)[0])
    assert record["very_close_percentage"] == 100.0


@pytest.mark.parametrize("reshape", [
    lambda p: np.asfortranarray(p),
    lambda p: p[::-1],
    lambda p: p.astype(np.float64) + 0.75,  # truncated per pixel by the one-pixel reading
    lambda p: p.astype(np.int16),
])
@pytest.mark.parametrize("lab_space", [True, False])
def test_unusual_pixel_lists_match_literal(module, rng, reshape, lab_space):
    class Custom(module.ColorExtractor):
        def _extract_pixels(self, image, mask=None):
            return reshape(super()._extract_pixels(image, mask))

    extractor = Custom(preprocessing=False, lab_space=lab_space)
    image = rng.integers(1, 255, (4, 6, 3), dtype=np.uint8)
    targets = {"a": (10, 200, 30), "b": (128, 128, 128)}
    assert_same(extractor.find_color_matches(image, targets),
                     literal_matches(extractor, lab_space, image, targets))


def test_extract_colors_override_changes_similarity_not_matches(module, rng):
    image = rng.integers(0, 256, (5, 5, 3), dtype=np.uint8)
    targets = {"t": (20, 30, 40)}
    record = {"color": (20, 30, 40), "percentage": 55.0}

    class Fixed(module.ColorExtractor):
        def extract_colors(self, image, mask=None):
            return [record]

    fixed, plain = Fixed(preprocessing=False), module.ColorExtractor(preprocessing=False)
    similarity = fixed.analyze_color_similarity(image, targets)["t"]
    assert similarity["closest_color"] is record["color"] and similarity["percentage"] == 55.0
    assert_same(fixed.find_color_matches(image, targets), plain.find_color_matches(image, targets))


def test_squared_sums_order_and_band_like_their_roots():
    # The native pass decides bands and the nearest pixel on exact integer sums of squares.
    squared = np.arange(3 * 255 ** 2 + 1, dtype=np.float64)
    roots = np.sqrt(squared)
    assert np.all(np.diff(roots) > 0)
    for limit in (15, 30, 50):
        np.testing.assert_array_equal(roots < limit, squared < limit * limit)
