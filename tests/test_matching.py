"""LAB distance, closest image colour and the similarity analysis."""

import copy
import math

import cv2
import numpy as np
import pytest

from helpers import assert_same, blocks_image, ref_closest, ref_distance, ref_similarity_record


def literal_similarity(image_colors, target_colors, threshold):
    if not image_colors:
        return {}
    results = {}
    for name, target in target_colors.items():
        closest, distance = ref_closest(target, image_colors)
        results[name] = ref_similarity_record(closest, distance, threshold)
    return results


@pytest.fixture
def extractor(module):
    return module.ColorExtractor(n_colors=3, preprocessing=False)


# ---------------------------------------------------------------------------
# _color_distance_lab
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("first, second, expected", [
    ((0, 0, 0), (255, 255, 255), 255.0),
    ((255, 255, 255), (0, 0, 0), 255.0),
    ((12, 200, 7), (12, 200, 7), 0.0),
    ((254.9, 0.0, 0.0), (254, 0, 0), 0.0),  # truncated to 8 bits first
])
def test_distance_fixed_values(extractor, first, second, expected):
    assert extractor._color_distance_lab(np.array(first), np.array(second)) == expected


def test_distance_matches_literal_on_random_pairs(extractor, rng):
    colors = rng.integers(0, 256, (300, 3))
    for a, b in zip(colors[::2], colors[1::2]):
        value = extractor._color_distance_lab(a, b)
        assert type(value) is float
        assert value == ref_distance(a, b)
        assert value == extractor._color_distance_lab(b, a)


@pytest.mark.parametrize("kwargs, message", [
    ({"color1": [1, 2, 3], "color2": np.array([1, 2, 3])},
     "Argument 'color1' has incorrect type (expected numpy.ndarray, got list)"),
    ({"color1": np.array([1, 2, 3]), "color2": (1, 2, 3)},
     "Argument 'color2' has incorrect type (expected numpy.ndarray, got tuple)"),
])
def test_distance_rejects_non_arrays(extractor, kwargs, message):
    with pytest.raises(TypeError) as info:
        extractor._color_distance_lab(**kwargs)
    assert str(info.value) == message


def test_distance_of_none_fails_in_the_8_bit_conversion(extractor):
    with pytest.raises(TypeError, match="NoneType"):
        extractor._color_distance_lab(None, np.array([1, 2, 3]))


def test_distance_of_a_pair_raises_opencv_error(extractor):
    with pytest.raises(cv2.error):
        extractor._color_distance_lab(np.array([1, 2]), np.array([1, 2, 3]))


# ---------------------------------------------------------------------------
# _find_closest_color
# ---------------------------------------------------------------------------

def test_closest_picks_first_of_equal_records_and_returns_the_record_itself(extractor):
    records = [{"color": (0, 0, 255), "percentage": 1.0},
               {"color": (250, 5, 5), "percentage": 2.0},
               {"color": (250, 5, 5), "percentage": 3.0}]
    closest, distance = extractor._find_closest_color((255, 0, 0), records)
    assert closest is records[1]
    assert distance == ref_distance(np.array((255, 0, 0)), np.array((250, 5, 5)))
    assert extractor._find_closest_color((250, 5, 5), records) == (records[1], 0.0)


def test_closest_matches_literal_on_random_records(extractor, rng):
    records = [{"color": tuple(int(c) for c in rng.integers(0, 256, 3))} for _ in range(25)]
    for target in rng.integers(0, 256, (20, 3)):
        target = tuple(int(c) for c in target)
        closest, distance = extractor._find_closest_color(target, records)
        expected_record, expected_distance = ref_closest(target, records)
        assert closest is expected_record and distance == expected_distance


def test_closest_of_empty_list(extractor):
    closest, distance = extractor._find_closest_color((1, 2, 3), [])
    assert closest is None and distance == math.inf and type(distance) is float


@pytest.mark.parametrize("args, message", [
    (([255, 0, 0], []), "Argument 'target_color' has incorrect type (expected tuple, got list)"),
    (((255, 0, 0), ()), "Argument 'image_colors' has incorrect type (expected list, got tuple)"),
    ((None, None), "Argument 'target_color' has incorrect type (expected tuple, got NoneType)"),
])
def test_closest_argument_checks(extractor, args, message):
    with pytest.raises(TypeError) as info:
        extractor._find_closest_color(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("record, error", [({"colour": (1, 2, 3)}, KeyError), ([1, 2, 3], TypeError)])
def test_closest_bad_records(extractor, record, error):
    with pytest.raises(error):
        extractor._find_closest_color((1, 2, 3), [record])


def test_closest_uses_distance_override_and_never_picks_nan(module):
    calls = []

    class Custom(module.ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            calls.append((color1.tolist(), color2.tolist()))
            return {5: float("nan"), 6: 3, 7: np.float64(3.0), 8: 2.5}[int(color2[0])]

    records = [{"color": (c, 0, 0)} for c in (5, 6, 7, 8)]
    closest, distance = Custom()._find_closest_color((1, 1, 1), records)
    assert closest is records[3] and distance == 2.5
    assert calls == [([1, 1, 1], [c, 0, 0]) for c in (5, 6, 7, 8)]

    class OnlyNan(module.ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            return float("nan")

    assert OnlyNan()._find_closest_color((1, 1, 1), records)[0] is None


# ---------------------------------------------------------------------------
# analyze_color_similarity
# ---------------------------------------------------------------------------

RECORDS = [{"color": (200, 30, 40), "percentage": 61.5},
           {"color": (20, 40, 200), "percentage": 25.25},
           {"color": (240, 240, 235), "percentage": 13.25}]
TARGETS = {"red": (255, 0, 0), "blue": (0, 0, 255), "white": (255, 255, 255), "exact": (20, 40, 200),
           "green": (0, 255, 0), "floaty": (199.7, 30.2, 40.9)}


def fixed_colors_extractor(module, records, seen=None):
    class Fixed(module.ColorExtractor):
        def extract_colors(self, image, mask=None):
            if seen is not None:
                seen.append((image, mask))
            return records

    return Fixed(preprocessing=False)


@pytest.mark.parametrize("threshold", [50.0, 30, 80.5, np.float32(45.5), -1.0, 1e-9, True, float("nan"), np.inf])
@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")
def test_similarity_matches_literal(module, threshold):
    seen = []
    extractor = fixed_colors_extractor(module, RECORDS, seen)
    image, mask = object(), object()
    targets = dict(TARGETS, nan=(float("nan"), 0, 0))
    records_before = copy.deepcopy(RECORDS)
    result = extractor.analyze_color_similarity(image, targets, mask, threshold)
    assert seen == [(image, mask)]
    assert_same(result, literal_similarity(RECORDS, targets, float(threshold)))
    assert RECORDS == records_before
    for name, record in result.items():
        assert record["closest_color"] is ref_closest(targets[name], RECORDS)[0]["color"]


def test_similarity_on_extracted_colours_matches_literal(module):
    extractor = module.ColorExtractor(n_colors=3, preprocessing=False)
    image = blocks_image([(40, 30, 200), (200, 200, 200), (10, 150, 20)], block=6)
    colors = extractor.extract_colors(image)
    result = extractor.analyze_color_similarity(image, {"red": (200, 30, 40), "grey": (190, 190, 190)})
    assert_same(result, literal_similarity(colors, {"red": (200, 30, 40), "grey": (190, 190, 190)}, 50.0))


@pytest.mark.parametrize("distance, threshold, percentage, similarity, rounded, found", [
    # exactly at the threshold: similar, with the integer 0 and 0.0 percent
    (50.0, 50.0, 0.0, 0, 50.0, False),
    (7.0, 5, 0, 0, 7.0, True),
    (9.996, 50.0, 32.0, 80.01, 10.0, True),
    (10.0, 50.0, 32.0, 80.0, 10.0, False),
    (0.0, -3.0, 0, 0, 0.0, True),
    (math.inf, 50.0, 0, 0, math.inf, False),
])
def test_similarity_formula(module, distance, threshold, percentage, similarity, rounded, found):
    record = {"color": (1, 2, 3), "percentage": 40.0}

    class Fixed(module.ColorExtractor):
        def extract_colors(self, image, mask=None):
            return [record]

        def _find_closest_color(self, target_color, image_colors):
            return record, distance

    result = Fixed().analyze_color_similarity(None, {"t": (0, 0, 0)}, similarity_threshold=threshold)
    assert_same(result["t"], {"percentage": percentage, "similarity": similarity, "closest_color": (1, 2, 3),
                                   "distance": rounded, "found_directly": found})
    assert result["t"]["closest_color"] is record["color"]


def test_similarity_zero_threshold_at_zero_distance_divides_by_zero(module):
    extractor = fixed_colors_extractor(module, RECORDS)
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        extractor.analyze_color_similarity(None, {"exact": (20, 40, 200)}, similarity_threshold=0)


@pytest.mark.parametrize("targets", [{}, TARGETS])
def test_similarity_without_colours_is_empty(module, targets):
    assert fixed_colors_extractor(module, []).analyze_color_similarity(None, targets) == {}
    if not targets:
        assert fixed_colors_extractor(module, RECORDS).analyze_color_similarity(None, targets) == {}


def test_similarity_mask_selecting_nothing_is_empty(extractor):
    image = blocks_image([(40, 30, 200), (200, 200, 200)])
    mask = np.zeros(image.shape[:2], np.uint8)
    assert extractor.analyze_color_similarity(image, {"red": (255, 0, 0)}, mask) == {}


@pytest.mark.parametrize("closest_result, error, message", [
    ((RECORDS[0], 1.0, 2), ValueError, "too many values to unpack (expected 2)"),
    ((RECORDS[0],), ValueError, "need more than 1 value to unpack"),
    ([], ValueError, "need more than 0 values to unpack"),
    (5, TypeError, None),
    ((None, 1.0), TypeError, None),
])
def test_similarity_bad_closest_results(module, closest_result, error, message):
    class Custom(module.ColorExtractor):
        def extract_colors(self, image, mask=None):
            return RECORDS

        def _find_closest_color(self, target_color, image_colors):
            return closest_result

    with pytest.raises(error) as info:
        Custom().analyze_color_similarity(None, {"t": (1, 2, 3)})
    if message:
        assert str(info.value) == message


def test_similarity_accepts_iterable_pairs_and_override_distances(module):
    class Custom(module.ColorExtractor):
        def extract_colors(self, image, mask=None):
            return RECORDS

        def _find_closest_color(self, target_color, image_colors):
            return iter([image_colors[0], np.float64(20.0)])

    result = Custom().analyze_color_similarity(None, {"t": (1, 2, 3)})["t"]
    assert result["similarity"] == 60.0 and result["percentage"] == 36.9 and result["distance"] == 20.0


@pytest.mark.parametrize("targets, message", [
    ({"a": (1, 2, 3), "b": [255, 0, 0]}, "Argument 'target_color' has incorrect type (expected tuple, got list)"),
    ({"a": None}, "Argument 'target_color' has incorrect type (expected tuple, got NoneType)"),
])
def test_similarity_targets_must_be_tuples(module, targets, message):
    snapshot = copy.deepcopy(targets)
    with pytest.raises(TypeError) as info:
        fixed_colors_extractor(module, RECORDS).analyze_color_similarity(None, targets)
    assert str(info.value) == message
    assert targets == snapshot


@pytest.mark.parametrize("threshold", ["50", None, [50.0], 1j])
def test_similarity_threshold_must_be_a_real_number(module, threshold):
    with pytest.raises(TypeError):
        fixed_colors_extractor(module, RECORDS).analyze_color_similarity(None, TARGETS, None, threshold)


@pytest.mark.parametrize("targets, message", [
    (None, "Argument 'target_colors' has incorrect type (expected dict, got NoneType)"),
    ([("red", (1, 2, 3))], "Argument 'target_colors' has incorrect type (expected dict, got list)"),
])
def test_similarity_targets_must_be_a_dict(extractor, targets, message):
    with pytest.raises(TypeError) as info:
        extractor.analyze_color_similarity(None, targets)
    assert str(info.value) == message


def test_similarity_missing_image_file(extractor, tmp_path):
    path = str(tmp_path / "missing.png")
    with pytest.raises(ValueError) as info:
        extractor.analyze_color_similarity(path, {"red": (255, 0, 0)})
    assert str(info.value) == "Could not load image from " + path
