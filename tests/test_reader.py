"""read_image: files decoded exactly as cv2.imread decodes them, PIL images of
every mode, arrays of every shape, transparency, shrinking, the pixel limit
and its errors."""

import os
import struct
import zlib

import cv2
import numpy as np
import pytest
from PIL import Image

import chromalens._encoded
from chromalens import read_image
from helpers import encode_opencv, encode_pillow


def _picture(rng, mode="RGB", size=(13, 9)):
    pixels = rng.integers(0, 256, (size[1], size[0], 4), dtype=np.uint8)
    return Image.fromarray(pixels, "RGBA").convert(mode)


def _exif(orientation):
    exif = Image.Exif()
    exif[0x0112] = orientation
    return exif.tobytes()


def _paletted_with_transparency(rng):
    picture = _picture(rng).convert("P", palette=Image.ADAPTIVE, colors=8)
    return encode_pillow(picture, "PNG", transparency=bytes([0, 128, 129, 255, 10, 200, 5, 77]))


# name -> function of the seeded generator giving the file's bytes
FILES = {
    "png rgb": lambda rng: encode_pillow(_picture(rng), "PNG"),
    "png rgba": lambda rng: encode_pillow(_picture(rng, "RGBA"), "PNG"),
    "png grey": lambda rng: encode_pillow(_picture(rng, "L"), "PNG"),
    "png grey alpha": lambda rng: encode_pillow(_picture(rng, "LA"), "PNG"),
    "png grey transparent value": lambda rng: encode_pillow(_picture(rng, "L"), "PNG", transparency=7),
    "png paletted": lambda rng: encode_pillow(_picture(rng).convert("P"), "PNG"),
    "png paletted transparency": _paletted_with_transparency,
    "png rgb transparent colour": lambda rng: encode_pillow(_picture(rng), "PNG", transparency=(1, 2, 3)),
    "png 16-bit bgra": lambda rng: encode_opencv(rng.integers(0, 65536, (9, 13, 4), dtype=np.uint16), ".png"),
    "png 16-bit grey": lambda rng: encode_opencv(rng.integers(0, 65536, (9, 13), dtype=np.uint16), ".png"),
    "png rgba turned": lambda rng: encode_pillow(_picture(rng, "RGBA"), "PNG", exif=_exif(6)),
    "jpeg": lambda rng: encode_pillow(_picture(rng), "JPEG"),
    "jpeg grey": lambda rng: encode_pillow(_picture(rng, "L"), "JPEG"),
    "jpeg cmyk": lambda rng: encode_pillow(_picture(rng, "CMYK"), "JPEG"),
    "jpeg turned": lambda rng: encode_pillow(_picture(rng), "JPEG", exif=_exif(8)),
    "bmp": lambda rng: encode_pillow(_picture(rng), "BMP"),
    "tiff rgba": lambda rng: encode_pillow(_picture(rng, "RGBA"), "TIFF"),
    "tiff cmyk": lambda rng: encode_pillow(_picture(rng, "CMYK"), "TIFF"),
    "tiff 16-bit bgra": lambda rng: encode_opencv(rng.integers(0, 65536, (9, 13, 4), dtype=np.uint16), ".tiff"),
    "webp rgba": lambda rng: encode_pillow(_picture(rng, "RGBA"), "WEBP", lossless=True),
    "webp rgba turned": lambda rng: encode_pillow(_picture(rng, "RGBA"), "WEBP", lossless=True, exif=_exif(3)),
    "gif transparency": lambda rng: encode_pillow(_picture(rng, "P"), "GIF", transparency=2),
    "ppm": lambda rng: encode_pillow(_picture(rng), "PPM"),
    "pam rgba": lambda rng: (b"P7\nWIDTH 13\nHEIGHT 9\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"
                             + rng.integers(0, 256, 9 * 13 * 4, dtype=np.uint8).tobytes()),
    "sun raster": lambda rng: encode_opencv(rng.integers(0, 256, (9, 13, 3), dtype=np.uint8), ".ras"),
    "pfm": lambda rng: encode_opencv(rng.random((9, 13, 3), dtype=np.float32), ".pfm"),
    "radiance hdr": lambda rng: encode_opencv(rng.random((9, 13, 3), dtype=np.float32) * 4, ".hdr"),
}
# Files whose fourth channel, as OpenCV reads them unchanged, is alpha.
WITH_ALPHA = {"png rgba", "png grey alpha", "png paletted transparency", "png rgb transparent colour",
              "png 16-bit bgra", "png rgba turned", "tiff rgba", "tiff 16-bit bgra", "webp rgba",
              "webp rgba turned", "gif transparency", "pam rgba"}


# Files OpenCV turns by their EXIF orientation, and how.
TURNED = {"png rgba turned": 6, "webp rgba turned": 3}


def _expected_mask(name, data):
    """The mask from OpenCV's unchanged read, turned as OpenCV turns the image."""
    alpha = cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)[:, :, 3]
    alpha = (alpha >> 8).astype(np.uint8) if alpha.dtype == np.uint16 else alpha
    mask = np.where(alpha > 128, 255, 0).astype(np.uint8)
    return _turned(mask, TURNED[name]) if name in TURNED else mask


def _turned(array, orientation):
    # OpenCV's turns for EXIF orientations, written out case by case.
    return {2: lambda a: a[:, ::-1], 3: lambda a: a[::-1, ::-1], 4: lambda a: a[::-1],
            5: lambda a: a.T, 6: lambda a: a.T[:, ::-1], 7: lambda a: a.T[::-1, ::-1],
            8: lambda a: a.T[::-1]}[orientation](array)


@pytest.mark.parametrize("name", sorted(FILES))
def test_files_read_exactly_as_imread_reads_them(name, rng, tmp_path):
    data = FILES[name](rng)
    path = tmp_path / f"image {name}"
    path.write_bytes(data)
    expected = cv2.imread(str(path))
    assert expected is not None
    for source in (str(path), path, data, bytearray(data), memoryview(data)):
        image, mask = read_image(source)
        assert image.dtype == np.uint8 and image.flags.c_contiguous
        np.testing.assert_array_equal(image, expected)
        if name in WITH_ALPHA:
            assert mask is not None and mask.dtype == np.uint8 and mask.flags.c_contiguous
            np.testing.assert_array_equal(mask, _expected_mask(name, data))
        else:
            assert mask is None
        image_only, no_mask = read_image(source, use_alpha=False)
        assert no_mask is None
        np.testing.assert_array_equal(image_only, expected)


def test_turned_files_turn_their_alpha_with_the_image(rng):
    picture = _picture(rng, "RGBA", size=(6, 4))
    for orientation in range(1, 9):
        data = encode_pillow(picture, "PNG", exif=_exif(orientation))
        image, mask = read_image(data)
        alpha = np.asarray(picture)[:, :, 3]
        expected = alpha if orientation == 1 else _turned(alpha, orientation)
        np.testing.assert_array_equal(mask, np.where(expected > 128, 255, 0))
        np.testing.assert_array_equal(image, cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR))


def test_path_names_that_are_not_utf8_and_that_are(rng, tmp_path):
    data = FILES["png rgba"](rng)
    raw_name = os.path.join(os.fsencode(tmp_path), b"caf\xe9 \xff.png")
    try:
        with open(raw_name, "wb") as f:
            f.write(data)
    except OSError:
        pytest.skip("the file system refuses names that are not UTF-8")
    expected = read_image(data)
    for source in (raw_name, os.fsdecode(raw_name)):
        image, mask = read_image(source if isinstance(source, str) else _BytesPath(source))
        np.testing.assert_array_equal(image, expected[0])
        np.testing.assert_array_equal(mask, expected[1])
    utf8 = tmp_path / "ünïcode 色.png"
    utf8.write_bytes(data)
    np.testing.assert_array_equal(read_image(utf8)[0], cv2.imread(str(utf8)))


class _BytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_unreadable_paths_say_which_and_why(tmp_path):
    (tmp_path / "empty.png").write_bytes(b"")
    (tmp_path / "text.png").write_text("not an image at all")
    cases = {"missing.png": "No such file", ".": "directory", "empty.png": "empty", "text.png": "not a recognised"}
    for name, reason in cases.items():
        path = str(tmp_path / name)
        with pytest.raises(ValueError, match="^Could not load image from ") as caught:
            read_image(path)
        assert path in str(caught.value) and reason in str(caught.value)
    if hasattr(os, "mkfifo"):
        os.mkfifo(tmp_path / "pipe")
        with pytest.raises(ValueError, match="not a regular file"):
            read_image(tmp_path / "pipe")


def test_text_file_with_limit_lifted_gets_opencvs_refusal(tmp_path):
    path = tmp_path / "notes.txt"
    path.write_text("plain text")
    with pytest.raises(ValueError, match=f"^Could not load image from {path}: OpenCV cannot decode it$"):
        read_image(path, max_pixels=None)


# --- transparency --------------------------------------------------------------------------

ALPHA_ROW = np.array([0, 127, 128, 129, 200, 255], np.uint8)
MASK_ROW = np.array([0, 0, 0, 255, 255, 255], np.uint8)


def test_alpha_of_128_is_outside_and_129_inside_for_every_source(tmp_path):
    bgra = np.zeros((2, 6, 4), np.uint8)
    bgra[:, :, 0] = 40
    bgra[:, :, 3] = ALPHA_ROW
    path = tmp_path / "cut-out.png"
    assert cv2.imwrite(str(path), bgra)
    rgba_picture = Image.fromarray(np.ascontiguousarray(bgra[:, :, [2, 1, 0, 3]]), "RGBA")
    for source in (bgra, path, path.read_bytes(), rgba_picture, Image.fromarray(bgra[:, :, [0, 3]], "LA")):
        image, mask = read_image(source)
        np.testing.assert_array_equal(mask, np.tile(MASK_ROW, (2, 1)))
        assert image.shape == (2, 6, 3)


def test_16_bit_alpha_keeps_its_high_byte():
    bgra = np.full((1, 4, 4), 1000, np.uint16)
    bgra[0, :, 3] = [32895, 33023, 33024, 65535]      # high bytes 128, 128, 129, 255
    _, mask = read_image(encode_opencv(bgra, ".png"))
    np.testing.assert_array_equal(mask, [[0, 0, 255, 255]])


def test_colours_do_not_depend_on_use_alpha(rng):
    picture = _picture(rng, "RGBa")
    with_alpha, mask = read_image(picture)
    without, no_mask = read_image(picture, use_alpha=False)
    assert mask is not None and no_mask is None
    np.testing.assert_array_equal(with_alpha, without)
