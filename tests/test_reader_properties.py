"""read_image on arbitrary input: random and damaged files, every PIL mode, odd
shapes and dtypes.  Each call returns a well-formed image or raises the
reader's own clear error; nothing else escapes and nothing crashes."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from PIL import Image

from chromalens import read_image
from helpers import encode_opencv, encode_pillow

RNG = np.random.default_rng(11)
PICTURE = Image.fromarray(RNG.integers(0, 256, (12, 10, 4), dtype=np.uint8), "RGBA")
# Small files of every format the reader sizes from its header.
FILES = {
    "png": encode_pillow(PICTURE, "PNG"),
    "jpeg": encode_pillow(PICTURE.convert("RGB"), "JPEG"),
    "bmp": encode_pillow(PICTURE.convert("RGB"), "BMP"),
    "tiff": encode_pillow(PICTURE, "TIFF"),
    "webp": encode_pillow(PICTURE, "WEBP"),
    "gif": encode_pillow(PICTURE.convert("P"), "GIF", transparency=3),
    "jpeg2000": encode_pillow(PICTURE.convert("RGB"), "JPEG2000"),
    "ppm": encode_pillow(PICTURE.convert("RGB"), "PPM"),
    "png 16-bit": encode_opencv(RNG.integers(0, 65536, (12, 10, 4), dtype=np.uint16), ".png"),
    "sun raster": encode_opencv(RNG.integers(0, 256, (12, 10, 3), dtype=np.uint8), ".ras"),
    "pfm": encode_opencv(RNG.random((12, 10, 3), dtype=np.float32), ".pfm"),
    "radiance hdr": encode_opencv(RNG.random((12, 10, 3), dtype=np.float32), ".hdr"),
}
READER_ERRORS = ("Could not load image from ", "expected ", "could not read the pixels of the PIL image",
                 "read_image() expected ")


def _outcome(source, **options):
    """The result checked for form, or the error checked for being ours."""
    try:
        image, mask = read_image(source, **options)
    except (TypeError, ValueError) as error:
        assert str(error).startswith(READER_ERRORS), repr(error)
        return None
    assert image.dtype == np.uint8 and image.ndim == 3 and image.shape[2] == 3 and image.flags.c_contiguous
    assert image.shape[0] > 0 and image.shape[1] > 0
    if mask is not None:
        assert mask.shape == image.shape[:2] and mask.dtype == np.uint8 and mask.flags.c_contiguous
        assert set(np.unique(mask)) <= {0, 255}
    return image, mask


@given(st.binary(max_size=2048), st.sampled_from([None, 178_956_970]))
def test_random_bytes(data, max_pixels):
    _outcome(data, max_pixels=max_pixels)


@given(st.sampled_from(sorted(FILES)), st.data())
def test_truncated_files(name, data):
    whole = FILES[name]
    cut = data.draw(st.integers(0, len(whole) - 1))
    _outcome(whole[:cut], max_pixels=data.draw(st.sampled_from([None, 10_000])))


@given(st.sampled_from(sorted(FILES)), st.data())
def test_damaged_files(name, data):
    damaged = bytearray(FILES[name])
    for _ in range(data.draw(st.integers(1, 8))):
        damaged[data.draw(st.integers(0, len(damaged) - 1))] = data.draw(st.integers(0, 255))
    _outcome(damaged, use_alpha=data.draw(st.booleans()), max_side=data.draw(st.sampled_from([None, 1, 7])))


@given(st.sampled_from(sorted(Image.MODES)), st.integers(0, 9), st.integers(0, 9), st.binary(min_size=400, max_size=400),
       st.booleans())
def test_every_pil_mode(mode, width, height, noise, use_alpha):
    picture = Image.frombytes(mode, (width, height), noise[: _bytes_needed(mode, width, height)])
    outcome = _outcome(picture, use_alpha=use_alpha)
    if mode in ("I", "F") or 0 in (width, height):
        assert outcome is None
    else:
        assert outcome is not None and outcome[0].shape == (height, width, 3)


def _bytes_needed(mode, width, height):
    if mode == "1":
        return (width + 7) // 8 * height
    return width * height * Image.getmodebands(mode) * (4 if mode in ("I", "F") else 2 if "16" in mode else 1)


DTYPES = st.sampled_from([np.uint8, np.uint8, np.uint16, np.int8, np.int32, np.float32, np.float64, np.bool_,
                          np.complex64])


@given(hnp.arrays(DTYPES, hnp.array_shapes(min_dims=1, max_dims=4, min_side=0, max_side=5)),
       st.sampled_from(["bgr", "rgb"]), st.sampled_from([None, 1, 3]))
def test_odd_shapes_and_dtypes(array, order, max_side):
    outcome = _outcome(array, order=order, max_side=max_side)
    works = (array.dtype == np.uint8 and array.ndim in (2, 3) and 0 not in array.shape[:2]
             and (array.ndim == 2 or array.shape[2] in (1, 3, 4)))
    assert (outcome is not None) == works
    if works and max_side is not None:
        assert max(outcome[0].shape[:2]) == min(max(array.shape[:2]), max_side)


@pytest.mark.parametrize("source", [object(), 1j, b"x".decode, {"image": 1}])
def test_other_objects(source):
    assert _outcome(source) is None
