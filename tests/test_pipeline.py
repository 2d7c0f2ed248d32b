"""Image pipeline: preprocessing, feature space, mask application and pixel
extraction, each checked against the same OpenCV/NumPy calls made here."""

import types

import cv2
import numpy as np
import pytest

from chromalens.color_extractor_cy import ColorExtractor

from helpers import (Raised, Recorder, assert_same, blocks_image, outcome, ref_apply_mask, ref_extract_pixels,
                     ref_feature, ref_preprocess)


def assert_same_outcome(ours, reference):
    """The step and its plain reading give the same array, or raise alike."""
    expected = outcome(reference)
    assert_same(outcome(ours), expected)


# --- inputs -------------------------------------------------------------------

def make_images():
    rng = np.random.default_rng(7)
    noisy = rng.integers(0, 256, (14, 11, 3), dtype=np.uint8)
    yy, xx = np.mgrid[0:20, 0:24]
    gradient = np.dstack([xx * 10, yy * 12, (xx + yy) * 5]).astype(np.uint8)
    photo_like = np.clip(gradient.astype(np.int16) + rng.integers(-12, 13, gradient.shape), 0, 255).astype(np.uint8)
    # Tiles big enough (20 x 25) for the CLAHE clip limit to matter.
    yy, xx = np.mgrid[0:160, 0:200]
    low_contrast = np.dstack([100 + xx // 4, 90 + yy // 5, 120 + (xx + yy) // 8]) + rng.integers(-5, 6, (160, 200, 3))
    blocks = blocks_image([[0, 0, 0], [255, 0, 0], [0, 200, 30], [255, 255, 255]], block=4, rows=3)
    return {
        "noisy": noisy,
        "gradient": gradient,
        "photo_like": photo_like,
        "low_contrast": low_contrast.astype(np.uint8),
        "blocks_with_black": blocks,
        "strided_view": noisy[::2, 1::2],
        "reversed_channels": noisy[:, :, ::-1],
        "fortran": np.asfortranarray(gradient),
        "one_pixel": noisy[:1, :1].copy(),
        "grey": noisy[:, :, 0].copy(),
        "four_channels": np.dstack([noisy, noisy[:, :, :1]]),
        "float32": noisy.astype(np.float32),
        "int16": noisy.astype(np.int16),
        "empty": np.zeros((0, 0, 3), np.uint8),
        "none": None,
    }


IMAGES = make_images()


def make_masks(shape):
    h, w = shape
    rng = np.random.default_rng(11)
    levels = rng.choice(np.array([0, 127, 128, 129, 200, 255], np.uint8), size=(h, w))
    colour = rng.choice(np.array([0, 128, 129, 255], np.uint8), size=(h, w, 3))
    return {
        "none": None,
        "levels_2d": levels,
        "colour_3d": colour,
        "grey_as_bgr": cv2.cvtColor(levels, cv2.COLOR_GRAY2BGR),
        "all_128": np.full((h, w), 128, np.uint8),
        "all_255": np.full((h, w), 255, np.uint8),
        "bool": levels > 128,
        "float64": levels.astype(np.float64) + 0.5,
        "int32_wide": levels.astype(np.int32) * 3 - 200,
        "uint16": levels.astype(np.uint16) * 2,
        "strided": np.repeat(levels, 2, axis=1)[:, ::2],
        "wrong_size": levels[:-1],
        "four_channels": np.dstack([colour, colour[:, :, :1]]),
        "one_channel_3d": levels[:, :, None],
    }


MASK_NAMES = list(make_masks((2, 2)))


def copy_or_none(a):
    return None if a is None else a.copy()


def assert_unchanged(before, after):
    if before is None:
        assert after is None
    else:
        np.testing.assert_array_equal(before, after)


# --- preprocessing --------------------------------------------------------------

@pytest.mark.parametrize("name", list(IMAGES))
@pytest.mark.parametrize("preprocessing", [True, False])
def test_preprocess_matches_plain_reading(name, preprocessing):
    image = IMAGES[name]
    before = copy_or_none(image)
    ex = ColorExtractor(preprocessing=preprocessing)
    assert_same_outcome(lambda: ex._preprocess_image(image),
                        lambda: ref_preprocess(None if image is None else image.copy(), preprocessing))
    assert_unchanged(before, image)


@pytest.mark.parametrize("image", [IMAGES["noisy"], None], ids=["array", "none"])
def test_preprocess_off_returns_the_same_object(image):
    assert ColorExtractor(preprocessing=False)._preprocess_image(image) is image


@pytest.mark.parametrize("bgr", [(0, 0, 0), (255, 255, 255), (30, 90, 200)])
def test_preprocess_keeps_a_uniform_image_uniform(bgr):
    image = np.full((20, 17, 3), bgr, np.uint8)
    out = ColorExtractor()._preprocess_image(image)
    assert out.shape == image.shape and out.dtype == np.uint8
    assert (out == out[0, 0]).all()
    assert out is not image


# --- feature space ----------------------------------------------------------------

@pytest.mark.parametrize("name", list(IMAGES))
@pytest.mark.parametrize("lab_space", [True, False])
def test_feature_space_matches_plain_reading(name, lab_space):
    image = IMAGES[name]
    before = copy_or_none(image)
    ex = ColorExtractor(lab_space=lab_space)
    assert_same_outcome(lambda: ex._convert_to_feature_space(image), lambda: ref_feature(image, lab_space))
    assert_unchanged(before, image)


@pytest.mark.parametrize("lab_space, bgr, expected", [
    (False, (255, 0, 0), (0, 0, 255)),
    (True, (0, 0, 0), (0, 128, 128)),
    (True, (255, 255, 255), (255, 128, 128)),
])
def test_feature_space_known_values(lab_space, bgr, expected):
    image = np.array([[bgr]], np.uint8)
    out = ColorExtractor(lab_space=lab_space)._convert_to_feature_space(image)
    assert tuple(out[0, 0]) == expected
    assert not np.shares_memory(out, image)


# --- mask application and pixel extraction -------------------------------------------

@pytest.mark.parametrize("image_name", ["noisy", "strided_view", "fortran", "float32", "grey"])
@pytest.mark.parametrize("mask_name", MASK_NAMES)
@pytest.mark.parametrize("lab_space", [True, False])
def test_mask_and_pixels_match_plain_reading(image_name, mask_name, lab_space):
    raw = IMAGES[image_name]
    feature = outcome(ref_feature, raw, lab_space)
    if isinstance(feature, Raised):
        feature = raw  # a two-dimensional image goes straight to the mask steps
    mask = make_masks(feature.shape[:2])[mask_name]
    image_before, mask_before = feature.copy(), copy_or_none(mask)
    ex = ColorExtractor(lab_space=lab_space)
    if mask is not None:
        assert_same_outcome(lambda: ex._apply_mask(feature, mask), lambda: ref_apply_mask(feature, mask))
    assert_same_outcome(lambda: ex._extract_pixels(feature, mask), lambda: ref_extract_pixels(feature, mask))
    assert_unchanged(image_before, feature)
    assert_unchanged(mask_before, mask)


def test_mask_none_returns_the_image_itself():
    image = IMAGES["noisy"]
    assert ColorExtractor()._apply_mask(image, None) is image


def test_mask_threshold_is_strict():
    image = np.full((1, 4, 3), 77, np.uint8)
    mask = np.array([[0, 128, 129, 255]], np.uint8)
    out = ColorExtractor()._apply_mask(image, mask)
    np.testing.assert_array_equal(out[0, :, 0], [0, 0, 77, 77])
    pixels = ColorExtractor()._extract_pixels(image, mask)
    np.testing.assert_array_equal(pixels, [[77, 77, 77], [77, 77, 77]])


@pytest.mark.parametrize("value, kept", [(255, True), (128, False), (100, False)])
def test_three_channel_mask_by_grey_value(value, kept):
    image = IMAGES["noisy"]
    mask = np.full(image.shape, value, np.uint8)
    out = ColorExtractor()._apply_mask(image, mask)
    np.testing.assert_array_equal(out, image if kept else np.zeros_like(image))


def test_masked_out_lab_pixel_is_zero_not_lab_black():
    feature = ColorExtractor()._convert_to_feature_space(np.zeros((2, 2, 3), np.uint8))
    out = ColorExtractor()._apply_mask(feature, np.array([[255, 0], [0, 0]], np.uint8))
    assert tuple(out[0, 0]) == (0, 128, 128)
    assert tuple(out[1, 1]) == (0, 0, 0)


def test_pixels_drop_only_exact_zero_rows_in_scan_order():
    feature = np.array([[[0, 0, 0], [1, 0, 0]], [[0, 0, 0], [5, 5, 5]]], np.uint8)
    pixels = ColorExtractor(lab_space=False)._extract_pixels(feature)
    np.testing.assert_array_equal(pixels, [[1, 0, 0], [5, 5, 5]])
    lab_black = ColorExtractor()._convert_to_feature_space(np.zeros((2, 3, 3), np.uint8))
    assert len(ColorExtractor()._extract_pixels(lab_black)) == 6
    empty = ColorExtractor()._extract_pixels(np.zeros((3, 3, 3), np.uint8))
    assert empty.shape == (0, 3)


def test_white_area_of_colour_mask_selects_like_grey_mask():
    image = IMAGES["gradient"]
    grey = np.zeros(image.shape[:2], np.uint8)
    grey[3:9, 5:15] = 255
    colour = cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)
    ex = ColorExtractor()
    via_grey = ex._extract_pixels(image, grey)
    np.testing.assert_array_equal(ex._extract_pixels(image, colour), via_grey)
    np.testing.assert_array_equal(via_grey, image[3:9, 5:15].reshape(-1, 3))


def test_pixels_mask_must_be_an_array():
    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy.ndarray$"):
        ColorExtractor()._extract_pixels(IMAGES["noisy"], [[255]])


# --- library calls go through the module's globals ------------------------------------------




def test_preprocess_calls_opencv_as_written(restore_globals):
    fake = Recorder(cv2)
    restore_globals["cv2"] = fake
    image = IMAGES["gradient"]
    out = ColorExtractor()._preprocess_image(image)
    np.testing.assert_array_equal(out, ref_preprocess(image.copy()))
    assert fake.names() == ["cvtColor", "createCLAHE", "cvtColor", "bilateralFilter"]
    (_, a0, _), (_, a1, k1), (_, a2, _), (_, a3, k3) = fake.calls
    assert a0[0] is image and a0[1] == cv2.COLOR_BGR2LAB
    assert a1 == () and k1 == {"clipLimit": 3.0, "tileGridSize": (8, 8)}
    assert type(k1["clipLimit"]) is float
    assert a2[1] == cv2.COLOR_LAB2BGR
    assert a3[1:] == (9, 75, 75) and k3 == {}


def test_mask_and_pixels_call_through_globals(restore_globals):
    fake_cv2, fake_np = Recorder(cv2), Recorder(np)
    restore_globals.update(cv2=fake_cv2, np=fake_np)
    image = IMAGES["noisy"]
    mask = make_masks(image.shape[:2])["colour_3d"]
    ColorExtractor()._extract_pixels(image, mask)
    assert fake_cv2.names() == ["cvtColor", "bitwise_and", "cvtColor"]
    _, args, kwargs = fake_cv2.calls[1]
    assert args[0] is image and args[1] is image and set(kwargs) == {"mask"}
    assert ("all", ) == tuple(fake_np.names())
    assert fake_np.calls[0][2] == {"axis": 1}


@pytest.mark.parametrize("call", [
    lambda ex: ex._preprocess_image(IMAGES["noisy"]),
    lambda ex: ex._convert_to_feature_space(IMAGES["noisy"]),
    lambda ex: ex._apply_mask(IMAGES["noisy"], np.zeros((14, 11, 3), np.uint8)),
    lambda ex: ex._extract_pixels(IMAGES["noisy"], np.zeros((14, 11, 3), np.uint8)),
], ids=["preprocess", "feature", "mask", "pixels"])
def test_missing_cv2_is_a_name_error(restore_globals, call):
    del restore_globals["cv2"]
    with pytest.raises(NameError, match=r"^name 'cv2' is not defined$"):
        call(ColorExtractor())


def test_missing_np_is_a_name_error(restore_globals):
    del restore_globals["np"]
    with pytest.raises(NameError, match=r"^name 'np' is not defined$"):
        ColorExtractor()._apply_mask(IMAGES["noisy"], np.zeros((14, 11), np.uint8))


def test_rebound_cv2_stand_in_result_is_checked(restore_globals):
    restore_globals["cv2"] = types.SimpleNamespace(cvtColor=lambda image, code: [[1, 2, 3]], COLOR_BGR2RGB=4)
    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy.ndarray$"):
        ColorExtractor(lab_space=False)._convert_to_feature_space(IMAGES["noisy"])


# --- dispatch from pixel extraction to mask application ---------------------------------------

def test_pixel_extraction_uses_an_apply_mask_override():
    seen = []

    class Sub(ColorExtractor):
        def _apply_mask(self, image, mask):
            seen.append(mask)
            return super()._apply_mask(image, mask) // 2

    image = IMAGES["noisy"]
    mask = make_masks(image.shape[:2])["levels_2d"]
    got = Sub()._extract_pixels(image, mask)
    expected = (ref_apply_mask(image, mask) // 2)[mask > 128]
    np.testing.assert_array_equal(got, expected[~np.all(expected == 0, axis=1)])
    assert len(seen) == 1 and seen[0] is mask


def test_apply_mask_override_result_is_checked():
    class Sub(ColorExtractor):
        def _apply_mask(self, image, mask):
            return image.tolist()

    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy.ndarray$"):
        Sub()._extract_pixels(IMAGES["noisy"], np.zeros((14, 11), np.uint8))
