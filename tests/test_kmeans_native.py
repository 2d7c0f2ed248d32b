"""K-means computed natively on the distinct colours gives scikit-learn's own
fit: the same labels and, bit for bit, the same centres, on real photographs
and on adversarial pixel lists; and the library itself runs whenever the
native computation does not replay it."""

import inspect
import subprocess
import sys
import warnings

import cv2
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sklearn.cluster import KMeans
from sklearn.datasets import load_sample_images
from sklearn.exceptions import ConvergenceWarning
from threadpoolctl import threadpool_limits

from chromalens.color_extractor_cy import ColorExtractor
from chromalens.samples import sample_image_path

from helpers import ref_kmeans

_FIT_CODE = inspect.unwrap(KMeans.fit).__code__


def fit_and_count(extractor, pixels):
    """The extractor's k-means result, and how many times scikit-learn's KMeans.fit ran."""
    entered = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code is _FIT_CODE:
            entered.append(frame)

    sys.setprofile(profile)
    try:
        result = extractor._cluster_colors_kmeans(pixels)
    finally:
        sys.setprofile(None)
    return result, len(entered)


def assert_same_fit(got, expected):
    (colors, labels), (expected_colors, expected_labels) = got, expected
    assert labels.dtype == expected_labels.dtype and colors.dtype == expected_colors.dtype
    np.testing.assert_array_equal(labels, expected_labels)
    # Bit for bit: the centres' last bits decide how colours truncate to 8 bits.
    assert colors.tobytes() == np.ascontiguousarray(expected_colors).tobytes()


def photos():
    china, flower = (cv2.cvtColor(image, cv2.COLOR_RGB2BGR) for image in load_sample_images().images)
    return {"portrait": cv2.imread(sample_image_path()), "china": china, "flower": flower}


PHOTOS = photos()


def pixel_list(photo, side, lab, preprocessing, masked):
    image = PHOTOS[photo]
    scale = side / max(image.shape[:2])
    image = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_AREA) if scale < 1 else image
    mask = None
    if masked:
        mask = np.zeros(image.shape[:2], np.uint8)
        h, w = mask.shape
        cv2.ellipse(mask, (w // 2, h // 2), (w // 3, h // 3), 0, 0, 360, 255, -1)
    ex = ColorExtractor(lab_space=lab, preprocessing=preprocessing)
    return ex._extract_pixels(ex._convert_to_feature_space(ex._preprocess_image(image)), mask)


# Every photo, space, preprocessing and mask combination, each with two numbers of colours.
CASES = [(photo, lab, pre, masked, n)
         for i, (photo, lab, pre, masked) in enumerate(
             (p, lab, pre, m) for p in PHOTOS for lab in (True, False) for pre in (True, False) for m in (False, True))
         for n in ((1, 5, 8, 12, 3, 2)[i % 6], (2, 3, 4, 6, 7, 10)[i % 6])]


@pytest.mark.usefixtures("single_threaded_libraries")
@pytest.mark.parametrize("photo, lab, preprocessing, masked, n_colors", CASES)
def test_photographs_cluster_as_the_library_does(photo, lab, preprocessing, masked, n_colors):
    pixels = pixel_list(photo, 160, lab, preprocessing, masked)
    got, library_fits = fit_and_count(ColorExtractor(n_colors), pixels)
    assert library_fits == 0
    assert_same_fit(got, ref_kmeans(pixels, n_colors))


@pytest.mark.slow
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("photo, n_colors", [("portrait", 5), ("china", 8), ("flower", 12)])
def test_full_size_photographs_at_each_thread_count(photo, n_colors, threads):
    pixels = pixel_list(photo, 2000, True, True, False)
    with threadpool_limits(threads):
        got, library_fits = fit_and_count(ColorExtractor(n_colors), pixels)
        expected = ref_kmeans(pixels, n_colors)
    assert library_fits == 0
    assert_same_fit(got, expected)


@st.composite
def adversarial_pixels(draw):
    """Few distinct colours in heavy, shuffled runs: on a grid (integer means),
    mirrored around a point (ties), or clumped."""
    kind = draw(st.sampled_from(["grid", "mirrored", "clumped"]))
    n = draw(st.integers(2, 9))
    if kind == "grid":
        colors = [draw(st.tuples(*[st.sampled_from([0, 64, 128, 192, 255])] * 3)) for _ in range(n)]
    elif kind == "mirrored":
        centre = np.array(draw(st.tuples(*[st.integers(40, 215)] * 3)))
        offsets = [np.array(draw(st.tuples(*[st.integers(-40, 40)] * 3))) for _ in range(n // 2 + 1)]
        colors = [tuple(centre + o) for o in offsets] + [tuple(centre - o) for o in offsets]
    else:
        base = np.array(draw(st.tuples(*[st.integers(3, 252)] * 3)))
        colors = [tuple(base + np.array(draw(st.tuples(*[st.integers(-3, 3)] * 3)))) for _ in range(n)]
    counts = [draw(st.integers(1, 40)) for _ in colors]
    pixels = np.repeat(np.array(colors, np.uint8), counts, axis=0)
    return np.random.default_rng(draw(st.integers(0, 2**32 - 1))).permutation(pixels)


@pytest.mark.usefixtures("single_threaded_libraries")
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(pixels=adversarial_pixels(), n_colors=st.integers(1, 8))
def test_adversarial_pixel_lists_cluster_and_warn_as_the_library_does(pixels, n_colors):
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        got = ColorExtractor(n_colors)._cluster_colors_kmeans(pixels)
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        expected = ref_kmeans(pixels, n_colors)
    assert_same_fit(got, expected)
    assert [(w.category, str(w.message)) for w in ours] == [(w.category, str(w.message)) for w in theirs]


def _replace(monkeypatch, owner, name):
    original = getattr(owner, name)
    monkeypatch.setattr(owner, name, lambda *args, **kwargs: original(*args, **kwargs))


@pytest.mark.usefixtures("single_threaded_libraries")
@pytest.mark.parametrize("case", ["floats", "strided", "few colours", "patched seeding", "patched fit"])
def test_the_library_runs_where_the_native_fit_does_not_replay_it(monkeypatch, case):
    pixels = pixel_list("china", 80, True, True, False)
    n_colors = 4
    if case == "floats":
        pixels = pixels.astype(np.float64)
    elif case == "strided":
        pixels = pixels[::2]
    elif case == "few colours":
        pixels, n_colors = np.repeat(pixels[:3], 5, axis=0), 4
    elif case == "patched seeding":
        import sklearn.cluster._kmeans as kmeans_module

        _replace(monkeypatch, kmeans_module, "_kmeans_plusplus")
    else:
        _replace(monkeypatch, KMeans, "fit")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        got, library_fits = fit_and_count(ColorExtractor(n_colors), pixels)
        assert_same_fit(got, ref_kmeans(pixels, n_colors))
    assert library_fits == 1


def test_an_unchecked_library_version_gets_the_library_call(tmp_path):
    # The version is read once, at the first fit: a fresh interpreter.
    script = tmp_path / "old_version.py"
    script.write_text(
        "import sys, sklearn\n"
        "sklearn.__version__ = '1.3.2'\n"
        f"sys.path.insert(0, {str(__import__('pathlib').Path(__file__).parent)!r})\n"
        "from test_kmeans_native import fit_and_count, pixel_list\n"
        "from chromalens import ColorExtractor\n"
        "print(fit_and_count(ColorExtractor(3), pixel_list('china', 60, True, False, False))[1])\n")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert done.stdout.strip() == "1", done.stderr
