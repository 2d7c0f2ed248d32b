"""The native pixel list against the plain reading: masks of both ranks,
thresholds, zero rows, empty results, and the inputs that keep the literal
library calls (views with gaps, other dtypes, stand-ins, overrides)."""

import cv2
import numpy as np
import pytest

from chromalens.color_extractor_cy import ColorExtractor

from helpers import Raised, Recorder, outcome, ref_extract_pixels


def photo(rng, h=61, w=47, zero_share=0.2):
    """Random colours with a share of exact (0, 0, 0) pixels and of pixels with one or two zero channels."""
    image = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    image[rng.random((h, w)) < zero_share] = 0
    partial = rng.random((h, w, 3)) < 0.1
    image[partial] = 0
    return image


def masks(rng, h, w):
    levels = np.array([0, 1, 127, 128, 129, 254, 255], np.uint8)
    grey = rng.choice(levels, size=(h, w))
    # Three-channel masks whose grey value lies near the threshold on both sides.
    near = rng.integers(120, 138, (h, w, 3), dtype=np.uint8)
    return {
        "2d_levels": grey,
        "2d_all_128": np.full((h, w), 128, np.uint8),
        "2d_all_129": np.full((h, w), 129, np.uint8),
        "3d_random": rng.integers(0, 256, (h, w, 3), dtype=np.uint8),
        "3d_near_threshold": near,
        "3d_grey_as_bgr": cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR),
        "3d_black": np.zeros((h, w, 3), np.uint8),
    }


def assert_same_rows(got, expected):
    assert type(got) is np.ndarray
    assert got.dtype == expected.dtype and got.shape == expected.shape
    np.testing.assert_array_equal(got, expected)


MASK_NAMES = list(masks(np.random.default_rng(0), 2, 2))


@pytest.mark.parametrize("mask_name", [None] + MASK_NAMES)
@pytest.mark.parametrize("lab_space", [True, False])
def test_pixels_match_plain_reading(rng, mask_name, lab_space):
    ex = ColorExtractor(lab_space=lab_space)
    image = photo(rng)
    feature = ex._convert_to_feature_space(image) if lab_space else image
    mask = None if mask_name is None else masks(rng, *image.shape[:2])[mask_name]
    before = image.copy(), None if mask is None else mask.copy()
    got = ex._extract_pixels(feature, mask)
    assert_same_rows(got, ref_extract_pixels(feature, mask))
    np.testing.assert_array_equal(image, before[0])
    if mask is not None:
        np.testing.assert_array_equal(mask, before[1])


@pytest.mark.parametrize("h, w", [(1, 1), (1, 2), (2, 1), (3, 5), (200, 301)])
def test_every_size_and_last_pixel(rng, h, w):
    for zero_share in (0.0, 0.5, 1.0):
        image = photo(rng, h, w, zero_share)
        for mask in (None, rng.integers(0, 256, (h, w), dtype=np.uint8)):
            assert_same_rows(ColorExtractor()._extract_pixels(image, mask), ref_extract_pixels(image, mask))
    # The last pixel alone kept, and alone dropped.
    image = np.zeros((h, w, 3), np.uint8)
    image[-1, -1] = (0, 0, 9)
    assert_same_rows(ColorExtractor()._extract_pixels(image), np.array([[0, 0, 9]], np.uint8))
    image[:] = 3
    image[-1, -1] = 0
    assert len(ColorExtractor()._extract_pixels(image)) == h * w - 1


@pytest.mark.parametrize("case", ["all_zero_image", "mask_excludes_all", "selected_all_zero"])
def test_empty_results_are_new_n_by_3_arrays(case):
    image = np.full((6, 7, 3), 40, np.uint8)
    mask = None
    if case == "all_zero_image":
        image[:] = 0
    elif case == "mask_excludes_all":
        mask = np.full((6, 7, 3), 128, np.uint8)
    else:
        image[:3] = 0
        mask = np.zeros((6, 7), np.uint8)
        mask[:3] = 255
    got = ColorExtractor()._extract_pixels(image, mask)
    assert got.shape == (0, 3) and got.dtype == np.uint8


def test_result_is_a_new_array_of_its_own(rng):
    image = photo(rng, zero_share=0.0)
    image[0, 0] = 1  # no row is dropped: the result still must not be the image
    got = ColorExtractor()._extract_pixels(image)
    assert not np.shares_memory(got, image)
    assert got.flags.c_contiguous and got.flags.owndata and got.base is None
    got[:] = 0
    assert image.any()


def views(rng):
    big = photo(rng, 40, 50)
    return {
        "strided_rows": big[::2],
        "strided_columns": big[:, 1::2],
        "reversed_channels": big[:, :, ::-1],
        "fortran": np.asfortranarray(big),
        "contiguous_slice": big[5:20],
        "read_only": np.frombuffer(big.tobytes(), np.uint8).reshape(big.shape),
    }


@pytest.mark.parametrize("view_name", list(views(np.random.default_rng(0))))
@pytest.mark.parametrize("mask_kind", ["none", "2d", "3d", "2d_view", "3d_fortran"])
def test_views_and_non_contiguous_arrays(rng, view_name, mask_kind):
    image = views(rng)[view_name]
    h, w = image.shape[:2]
    mask = {
        "none": None,
        "2d": rng.integers(0, 256, (h, w), dtype=np.uint8),
        "3d": rng.integers(0, 256, (h, w, 3), dtype=np.uint8),
        "2d_view": rng.integers(0, 256, (h, 2 * w), dtype=np.uint8)[:, ::2],
        "3d_fortran": np.asfortranarray(rng.integers(0, 256, (h, w, 3), dtype=np.uint8)),
    }[mask_kind]
    assert_same_rows(ColorExtractor()._extract_pixels(image, mask), ref_extract_pixels(image, mask))


def test_subclass_arrays_keep_the_literal_indexing(rng):
    class Tagged(np.ndarray):
        pass

    image = photo(rng).view(Tagged)
    got = ColorExtractor()._extract_pixels(image)
    expected = ref_extract_pixels(image)
    assert type(got) is type(expected) is Tagged
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("stand_in", ["cv2", "np"])
@pytest.mark.parametrize("mask_rank", [0, 2, 3])
def test_a_stand_in_library_sees_every_call(restore_globals, rng, stand_in, mask_rank):
    image = photo(rng)
    h, w = image.shape[:2]
    mask = {0: None, 2: rng.integers(0, 256, (h, w), dtype=np.uint8),
            3: rng.integers(0, 256, (h, w, 3), dtype=np.uint8)}[mask_rank]
    recorder = Recorder(cv2 if stand_in == "cv2" else np)
    restore_globals[stand_in] = recorder
    assert_same_rows(ColorExtractor()._extract_pixels(image, mask), ref_extract_pixels(image, mask))
    expected = {
        ("cv2", 0): [], ("cv2", 2): ["bitwise_and"], ("cv2", 3): ["cvtColor", "bitwise_and", "cvtColor"],
        ("np", 0): ["all"], ("np", 2): ["all"], ("np", 3): ["all"],
    }[stand_in, mask_rank]
    assert recorder.names() == expected


@pytest.mark.parametrize("overridden", ["_apply_mask", "_extract_pixels"])
def test_overrides_see_the_literal_calls(restore_globals, rng, overridden):
    seen = []

    class Sub(ColorExtractor):
        pass

    def spy(self, image, mask=None):
        seen.append(overridden)
        return getattr(super(Sub, self), overridden)(image, mask)

    setattr(Sub, overridden, spy)
    recorder = Recorder(cv2)
    restore_globals["cv2"] = recorder
    image = photo(rng)
    mask = rng.integers(0, 256, image.shape, dtype=np.uint8)
    assert_same_rows(Sub()._extract_pixels(image, mask), ref_extract_pixels(image, mask))
    assert seen == [overridden]
    assert recorder.names() == ["cvtColor", "bitwise_and", "cvtColor"]


@pytest.mark.parametrize("mask", [
    np.zeros((5, 7), np.uint8), np.zeros((6, 8, 3), np.uint8), np.full((6, 7, 4), 200, np.uint8),
    np.zeros((6, 7, 1), np.uint8),
], ids=["2d_wrong_size", "3d_wrong_size", "four_channels", "one_channel_3d"])
def test_masks_of_other_shapes_keep_the_library_outcome(mask):
    image = np.ones((6, 7, 3), np.uint8)
    expected = outcome(ref_extract_pixels, image, mask)
    got = outcome(ColorExtractor()._extract_pixels, image, mask)
    assert isinstance(got, Raised) == isinstance(expected, Raised), (got, expected)
    if isinstance(expected, Raised):
        assert got == expected
    else:
        assert_same_rows(got, expected)
