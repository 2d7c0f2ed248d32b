"""extract_colors end to end (k-means): paths and arrays, masks, both feature
spaces, the records, sorting, errors and their order, and dispatch to
overrides, checked against the plain reading of the whole operation."""

import traceback

import cv2
import numpy as np
import pytest

from chromalens.color_extractor_cy import ColorExtractor

from helpers import (Raised, Recorder, assert_same, blocks_image, outcome, ref_extract_pixels, ref_feature, ref_kmeans,
                     ref_percentages, ref_preprocess)


# Fits with fewer distinct pixels than clusters warn alike in the module and in the reading.
pytestmark = [pytest.mark.usefixtures("single_threaded_libraries"),
              pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")]


def ref_extract(image, mask=None, n_colors=5, preprocessing=True, lab_space=True, algorithm="kmeans"):
    """The whole operation as plain OpenCV / NumPy / scikit-learn calls."""
    if isinstance(image, str):
        path, image = image, cv2.imread(image)
        if image is None:
            raise ValueError("Could not load image from " + path)
    if isinstance(mask, str):
        path, mask = mask, cv2.imread(mask)
        if mask is None:
            raise ValueError("Could not load mask from " + path)
    if not (image is None or isinstance(image, np.ndarray)):
        raise TypeError(f"Cannot convert {type(image).__name__} to numpy.ndarray")
    feature = ref_feature(ref_preprocess(image, preprocessing), lab_space)
    if mask is not None and not isinstance(mask, np.ndarray):
        raise TypeError(f"Cannot convert {type(mask).__name__} to numpy.ndarray")
    pixels = ref_extract_pixels(feature, mask)
    if len(pixels) == 0:
        return []
    if algorithm != "kmeans":
        raise ValueError(f"Unknown algorithm: {algorithm}")
    colors, labels = ref_kmeans(pixels, n_colors)
    percentages = ref_percentages(labels)
    if lab_space:
        colors = np.array([cv2.cvtColor(np.uint8([[c]]), cv2.COLOR_LAB2RGB)[0][0] for c in colors])
    else:
        colors = colors.astype(np.uint8)
    result = [{"color": tuple(int(c) for c in color), "percentage": round(p, 2)}
              for color, p in zip(colors, percentages)]
    result.sort(key=lambda r: r["percentage"], reverse=True)
    return result


def assert_records(result):
    assert type(result) is list
    for record in result:
        assert type(record) is dict and list(record) == ["color", "percentage"]
        color = record["color"]
        assert type(color) is tuple and len(color) == 3
        assert all(type(c) is int and 0 <= c <= 255 for c in color)
        assert type(record["percentage"]) is float
        assert record["percentage"] == round(record["percentage"], 2)
    keys = [r["percentage"] for r in result]
    assert keys == sorted(keys, reverse=True)


def assert_same_as_reference(call, *args, **kwargs):
    expected = outcome(ref_extract, *args, **kwargs)
    got = outcome(call)
    assert_same(got, expected)
    if not isinstance(got, Raised):
        assert_records(got)


# --- images, masks, files -------------------------------------------------------

def photo_like(h, w, seed):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w]
    base = np.dstack([xx * 200 // w + 20, yy * 180 // h + 40, (xx + yy) * 100 // (h + w) + 90])
    base[h // 4: h // 2, w // 5: w // 2] = (30, 30, 200)
    base[h // 2:, 2 * w // 3:] = (240, 240, 240)
    noise = rng.integers(-6, 7, base.shape)
    return np.clip(base + noise, 0, 255).astype(np.uint8)


PHOTO = photo_like(30, 40, 1)
BLOCKS = blocks_image([[0, 0, 0], [200, 40, 40], [40, 200, 40], [40, 40, 200], [250, 250, 250]], block=6)


def half_mask(shape):
    mask = np.zeros(shape[:2], np.uint8)
    mask[:, : shape[1] // 2] = 255
    mask[0, :] = 128
    return mask


@pytest.fixture
def files(tmp_path):
    paths = {}
    for name, array in [("photo", PHOTO), ("blocks", BLOCKS), ("mask", half_mask(PHOTO.shape)),
                        ("mask_colour", cv2.cvtColor(half_mask(PHOTO.shape), cv2.COLOR_GRAY2BGR))]:
        path = str(tmp_path / f"{name}.png")
        assert cv2.imwrite(path, array)
        paths[name] = path
    return paths


class PathLike(str):
    pass


@pytest.mark.parametrize("lab_space", [True, False], ids=["lab", "rgb"])
@pytest.mark.parametrize("preprocessing", [True, False], ids=["pre", "raw"])
@pytest.mark.parametrize("image_kind, mask_kind", [
    ("array", None), ("path", None), ("str_subclass", None),
    ("array", "2d"), ("array", "3d"), ("path", "path"), ("array", "path_colour"),
    ("blocks", None), ("blocks", "none_selected"),
])
def test_extract_matches_plain_reading(files, lab_space, preprocessing, image_kind, mask_kind):
    image = {"array": PHOTO, "path": files["photo"], "str_subclass": PathLike(files["photo"]),
             "blocks": BLOCKS}[image_kind]
    mask = {None: None, "2d": half_mask(PHOTO.shape),
            "3d": cv2.cvtColor(half_mask(PHOTO.shape), cv2.COLOR_GRAY2BGR),
            "path": files["mask"], "path_colour": files["mask_colour"],
            "none_selected": np.full(BLOCKS.shape[:2], 128, np.uint8)}[mask_kind]
    ex = ColorExtractor(4, "kmeans", preprocessing, lab_space)
    before = [a.copy() for a in (image, mask) if isinstance(a, np.ndarray)]
    assert_same_as_reference(lambda: ex.extract_colors(image, mask), image, mask, 4, preprocessing, lab_space)
    after = [a for a in (image, mask) if isinstance(a, np.ndarray)]
    for b, a in zip(before, after):
        np.testing.assert_array_equal(a, b)


def test_extract_on_blocks_finds_the_blocks():
    result = ColorExtractor(4, preprocessing=False, lab_space=False).extract_colors(BLOCKS)
    # The black block is not analysed; the other four share the pixels evenly.
    assert sorted(r["color"] for r in result) == [(40, 40, 200), (40, 200, 40), (200, 40, 40), (250, 250, 250)]
    assert [r["percentage"] for r in result] == [25.0] * 4


# --- bad input -----------------------------------------------------------------------

BAD_IMAGES = {
    "grey": PHOTO[:, :, 0].copy(),
    "four_channels": np.dstack([PHOTO, PHOTO[:, :, :1]]),
    "float32": PHOTO.astype(np.float32),
    "empty": np.zeros((0, 0, 3), np.uint8),
    "empty_rows": np.zeros((0, 5, 3), np.uint8),
    "strided_view": PHOTO[::3, ::2],
    "reversed_channels": PHOTO[:, :, ::-1],
    "fortran": np.asfortranarray(PHOTO),
    "one_pixel": PHOTO[5:6, 5:6].copy(),
    "black": np.zeros((6, 6, 3), np.uint8),
    "none": None,
}


@pytest.mark.parametrize("name", list(BAD_IMAGES))
@pytest.mark.parametrize("preprocessing, lab_space", [(True, True), (False, True), (False, False)])
def test_unusual_images_behave_as_the_plain_reading(name, preprocessing, lab_space):
    image = BAD_IMAGES[name]
    before = None if image is None else image.copy()
    ex = ColorExtractor(3, "kmeans", preprocessing, lab_space)
    assert_same_as_reference(lambda: ex.extract_colors(image), image, None, 3, preprocessing, lab_space)
    if before is not None:
        np.testing.assert_array_equal(image, before)


BAD_MASKS = {
    "smaller": half_mask(PHOTO.shape)[:-2],
    "bool": half_mask(PHOTO.shape) > 0,
    "float": half_mask(PHOTO.shape).astype(np.float64),
    "int32": half_mask(PHOTO.shape).astype(np.int32) * 2 - 255,
    "four_channels": np.dstack([np.dstack([half_mask(PHOTO.shape)] * 3), np.zeros(PHOTO.shape[:2], np.uint8)]),
    "strided": np.repeat(half_mask(PHOTO.shape), 2, axis=0)[::2],
    "all_zero": np.zeros(PHOTO.shape[:2], np.uint8),
    "all_zero_3d": np.zeros(PHOTO.shape, np.uint8),
}


@pytest.mark.parametrize("name", list(BAD_MASKS))
def test_unusual_masks_behave_as_the_plain_reading(name):
    mask = BAD_MASKS[name]
    before = mask.copy()
    ex = ColorExtractor(3, preprocessing=False)
    assert_same_as_reference(lambda: ex.extract_colors(PHOTO, mask), PHOTO, mask, 3, False, True)
    np.testing.assert_array_equal(mask, before)


@pytest.mark.parametrize("n_colors", [0, -2, 7, 40, 200])
def test_n_colors_out_of_range_behaves_as_the_plain_reading(n_colors):
    # Blocks: four analysed colours, 144 analysed pixels.
    ex = ColorExtractor(n_colors, preprocessing=False)
    assert_same_as_reference(lambda: ex.extract_colors(BLOCKS), BLOCKS, None, n_colors, False, True)


# --- records and sorting -------------------------------------------------------------

def injected(colors, percentages, lab_space=True):
    class Injected(ColorExtractor):
        def _cluster_colors_kmeans(self, pixels):
            return np.array(colors, dtype=float), np.zeros(len(pixels), np.int64)

        def _calculate_percentages(self, labels):
            return list(percentages)

    return Injected(lab_space=lab_space, preprocessing=False).extract_colors(PHOTO)


RGB_CENTRES = [(10.9, 0.0, 0.0), (20.0, 0.0, 0.0), (30.0, 0.0, 0.0), (40.0, 0.0, 0.0)]


@pytest.mark.parametrize("percentages, order, reported", [
    ([12.344, 12.341], [0, 1], [12.34, 12.34]),
    ([12.341, 12.344], [0, 1], [12.34, 12.34]),
    ([2.675, 12.345], [1, 0], [12.35, 2.67]),
    ([10.0, 30.0, 10.0, 30.0], [1, 3, 0, 2], [30.0, 30.0, 10.0, 10.0]),
    ([5.004, 5.001, 50.0, 5.0049], [2, 0, 1, 3], [50.0, 5.0, 5.0, 5.0]),
])
def test_sorting_is_stable_on_the_rounded_value(percentages, order, reported):
    result = injected(RGB_CENTRES[: len(percentages)], percentages, lab_space=False)
    assert [r["color"][0] for r in result] == [int(RGB_CENTRES[i][0]) for i in order]
    assert [r["percentage"] for r in result] == reported


@pytest.mark.parametrize("n_colors_rows, n_shares", [(3, 2), (2, 3), (0, 2), (2, 0)])
def test_records_pair_colours_and_shares_up_to_the_shorter(n_colors_rows, n_shares):
    result = injected(RGB_CENTRES[:n_colors_rows], [25.0, 35.0, 40.0][:n_shares], lab_space=False)
    assert len(result) == min(n_colors_rows, n_shares)
    assert_records(result)


def test_lab_centre_is_truncated_before_conversion():
    truncated = tuple(int(c) for c in cv2.cvtColor(np.uint8([[[53, 128, 127]]]), cv2.COLOR_LAB2RGB)[0, 0])
    rounded = tuple(int(c) for c in cv2.cvtColor(np.uint8([[[54, 129, 127]]]), cv2.COLOR_LAB2RGB)[0, 0])
    assert truncated != rounded  # the case tells the two readings apart
    result = injected([(53.9, 128.7, 127.2)], [100.0])
    assert result == [{"color": truncated, "percentage": 100.0}]


def test_rgb_centre_is_truncated():
    assert injected([(10.9, 200.5, 254.99)], [100.0], lab_space=False)[0]["color"] == (10, 200, 254)


# --- errors and their order ---------------------------------------------------------

class Recording(ColorExtractor):
    """Records which pipeline steps ran."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.steps = []

    def _preprocess_image(self, image):
        self.steps.append("preprocess")
        return super()._preprocess_image(image)

    def _convert_to_feature_space(self, image):
        self.steps.append("feature")
        return super()._convert_to_feature_space(image)

    def _extract_pixels(self, image, mask=None):
        self.steps.append("pixels")
        return super()._extract_pixels(image, mask)

    def _calculate_percentages(self, labels):
        self.steps.append("percentages")
        return super()._calculate_percentages(labels)


def test_bad_image_path_is_reported_before_the_mask(tmp_path, files):
    missing = str(tmp_path / "nope.png")
    ex = Recording()
    with pytest.raises(ValueError) as info:
        ex.extract_colors(missing, str(tmp_path / "no_mask.png"))
    assert str(info.value) == "Could not load image from " + missing
    assert ex.steps == []
    for image in (files["photo"], PHOTO):
        with pytest.raises(ValueError) as info:
            ex.extract_colors(image, missing)
        assert str(info.value) == "Could not load mask from " + missing
    assert ex.steps == []


@pytest.mark.parametrize("algorithm, message", [
    ("KMeans", "Unknown algorithm: KMeans"), ("", "Unknown algorithm: "), (None, "Unknown algorithm: None"),
    ("kmeans\x00", "Unknown algorithm: kmeans\x00"), ("dbscan ", "Unknown algorithm: dbscan "),
])
def test_unknown_algorithm_after_pixel_extraction(algorithm, message):
    ex = Recording(3, algorithm)
    with pytest.raises(ValueError) as info:
        ex.extract_colors(PHOTO)
    assert str(info.value) == message
    assert ex.steps == ["preprocess", "feature", "pixels"]


def test_uninitialised_extractor_reports_its_missing_algorithm():
    with pytest.raises(ValueError, match=r"^Unknown algorithm: None$"):
        ColorExtractor.__new__(ColorExtractor).extract_colors(PHOTO)


@pytest.mark.parametrize("image, mask", [
    (PHOTO, np.zeros(PHOTO.shape[:2], np.uint8)),
    (np.zeros((4, 4, 3), np.uint8), None),
], ids=["nothing_selected", "all_black_rgb"])
def test_no_pixels_gives_an_empty_list_whatever_the_algorithm(image, mask):
    for algorithm in ("kmeans", "nonsense", None):
        ex = Recording(3, algorithm, preprocessing=False, lab_space=False)
        assert ex.extract_colors(image, mask) == []
        assert "percentages" not in ex.steps


@pytest.mark.parametrize("image, name", [
    (b"/tmp/picture.png", "bytes"), ([[[1, 2, 3]]], "list"), (3.5, "float"),
])
def test_image_of_another_type_is_a_type_error(image, name):
    with pytest.raises(TypeError, match=rf"^Cannot convert {name} to numpy.ndarray$"):
        ColorExtractor().extract_colors(image)


def clustering_returning(value):
    class Sub(ColorExtractor):
        def _cluster_colors_kmeans(self, pixels):
            return value(pixels) if callable(value) else value

    return Sub(2, preprocessing=False)


@pytest.mark.parametrize("value, error, message", [
    ((np.zeros((1, 3)),), ValueError, r"^need more than 1 value to unpack$"),
    ((), ValueError, r"^need more than 0 values to unpack$"),
    ((np.zeros((1, 3)), np.zeros(3), None), ValueError, r"^too many values to unpack \(expected 2\)$"),
    (42, TypeError, r"int"),
    ((np.zeros((1, 3)), [0, 0]), TypeError, r"^Cannot convert list to numpy.ndarray$"),
    ((np.zeros((1, 3)), "labels"), TypeError, r"^Cannot convert str to numpy.ndarray$"),
])
def test_clustering_result_checks(value, error, message):
    with pytest.raises(error, match=message):
        clustering_returning(value).extract_colors(PHOTO)


@pytest.mark.parametrize("wrap", [list, iter, lambda pair: (x for x in pair)], ids=["list", "iterator", "generator"])
def test_clustering_result_may_be_any_iterable_pair(wrap):
    colors = np.array([[60.0, 128.0, 128.0]])
    result = clustering_returning(lambda pixels: wrap((colors, np.zeros(len(pixels), int)))).extract_colors(PHOTO)
    assert [r["percentage"] for r in result] == [100.0]


def test_override_results_are_checked():
    class ListImage(ColorExtractor):
        def _preprocess_image(self, image):
            return image.tolist()

    class TupleShares(ColorExtractor):
        def _calculate_percentages(self, labels):
            return (100.0,)

    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy.ndarray$"):
        ListImage().extract_colors(PHOTO)
    with pytest.raises(TypeError, match=r"^Expected list, got tuple$"):
        TupleShares(2).extract_colors(PHOTO)


def test_error_traceback_names_extract_colors():
    with pytest.raises(ValueError) as info:
        ColorExtractor(algorithm="x").extract_colors(PHOTO)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert "chromalens.color_extractor_cy.ColorExtractor.extract_colors" in names
    with pytest.raises(cv2.error) as info:
        ColorExtractor().extract_colors(BAD_IMAGES["grey"])
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["chromalens.color_extractor_cy.ColorExtractor.extract_colors",
                          "chromalens.color_extractor_cy.ColorExtractor._preprocess_image"]


def test_extractor_stays_usable_after_errors():
    ex = ColorExtractor(3, preprocessing=False)
    with pytest.raises(cv2.error):
        ex.extract_colors(BAD_IMAGES["grey"])
    assert ex.extract_colors(PHOTO) == ref_extract(PHOTO, None, 3, False)


# --- dispatch -------------------------------------------------------------------------

def test_every_step_override_is_used_and_super_reaches_the_native_step():
    ex = Recording(3)
    mask = half_mask(PHOTO.shape)
    assert ex.extract_colors(PHOTO, mask) == ref_extract(PHOTO, mask, 3)
    assert ex.steps == ["preprocess", "feature", "pixels", "percentages"]


@pytest.mark.parametrize("step", ["_preprocess_image", "_convert_to_feature_space", "_apply_mask",
                                  "_extract_pixels", "_calculate_percentages", "_cluster_colors_kmeans"])
def test_override_added_after_the_instance_exists(step):
    class Sub(ColorExtractor):
        pass

    ex = Sub(3, lab_space=False, preprocessing=False)
    mask = half_mask(PHOTO.shape)
    plain = ex.extract_colors(PHOTO, mask)
    seen = []
    native = getattr(ColorExtractor, step)

    def spy(self, *args):
        seen.append(step)
        return native(self, *args)

    setattr(Sub, step, spy)
    assert ex.extract_colors(PHOTO, mask) == plain
    assert seen == [step]
    delattr(Sub, step)
    assert ex.extract_colors(PHOTO, mask) == plain and seen == [step]


def test_override_results_flow_into_the_records():
    class Flat(ColorExtractor):
        def _convert_to_feature_space(self, image):
            out = np.zeros_like(image)
            out[:, : image.shape[1] // 4] = (10, 20, 30)
            out[:, image.shape[1] // 4:] = (200, 100, 50)
            return out

    result = Flat(2, preprocessing=False, lab_space=False).extract_colors(PHOTO)
    assert [r["percentage"] for r in result] == [75.0, 25.0]
    # The centres are float means, truncated: 19.999... reports as 19.
    for record, colour in zip(result, [(200, 100, 50), (10, 20, 30)]):
        assert np.abs(np.subtract(record["color"], colour)).max() <= 1

    class Shares(ColorExtractor):
        def _calculate_percentages(self, labels):
            return [1.0, 99.0]

    result = Shares(2, preprocessing=False).extract_colors(PHOTO)
    assert [r["percentage"] for r in result] == [99.0, 1.0]


# --- library calls through the module's globals ---------------------------------------

def test_rebound_cv2_and_np_are_used(restore_globals, files):
    fake_cv2, fake_np = Recorder(cv2), Recorder(np)
    restore_globals.update(cv2=fake_cv2, np=fake_np)
    result = ColorExtractor(3).extract_colors(files["photo"], files["mask"])
    assert result == ref_extract(files["photo"], files["mask"], 3)
    assert fake_cv2.names()[:2] == ["imread", "imread"]
    assert fake_cv2.names()[-3:] == ["cvtColor"] * 3  # one LAB-to-RGB conversion per cluster
    assert "bilateralFilter" in fake_cv2.names() and "bitwise_and" in fake_cv2.names()
    assert fake_np.names()[-1] == "array" and "unique" in fake_np.names()


def test_rebound_kmeans_is_used(restore_globals):
    calls = []

    class FakeKMeans:
        def __init__(self, **kwargs):
            calls.append(kwargs)
            self.cluster_centers_ = np.array([[200.0, 100.0, 50.0], [1.0, 2.0, 3.0]])

        def fit_predict(self, pixels):
            return (np.arange(len(pixels)) % 4 == 0).astype(np.int64)

    restore_globals["KMeans"] = FakeKMeans
    result = ColorExtractor(2, preprocessing=False, lab_space=False).extract_colors(PHOTO)
    assert calls == [{"n_clusters": 2, "random_state": 42, "n_init": 10}]
    assert result == [{"color": (200, 100, 50), "percentage": 75.0}, {"color": (1, 2, 3), "percentage": 25.0}]


@pytest.mark.parametrize("name", ["cv2", "np", "KMeans"])
def test_missing_global_is_a_name_error(restore_globals, name):
    del restore_globals[name]
    with pytest.raises(NameError, match=rf"^name '{name}' is not defined$"):
        ColorExtractor(3).extract_colors(PHOTO, half_mask(PHOTO.shape))

