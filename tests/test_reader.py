"""read_image: files decoded exactly as cv2.imread decodes them, PIL images of
every mode, arrays of every shape, transparency, shrinking, the pixel limit
and its errors."""

import io
import os
import struct
import zlib

import cv2
import numpy as np
import pytest
from PIL import Image, ImageFile

import chromalens.io._encoded
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


# --- PIL images ----------------------------------------------------------------------------

def _pil_expected(picture):
    """BGR pixels of a PIL image, by Pillow's own conversions."""
    if picture.mode.startswith("I;16"):
        grey = (np.asarray(picture).astype(np.uint16) >> 8).astype(np.uint8)
        return np.repeat(grey[:, :, None], 3, axis=2)
    if picture.mode == "La":
        return np.asarray(_la_as_rgba(picture))[:, :, 2::-1]
    target = "RGBA" if picture.mode in ("RGBA", "LA", "PA", "RGBa") else "RGB"
    return np.asarray(picture.convert(target))[:, :, 2::-1]


def _la_as_rgba(picture):
    grey, alpha = picture.split()
    return Image.merge("RGBa", (grey, grey, grey, alpha)).convert("RGBA")


@pytest.mark.parametrize("mode", sorted(set(Image.MODES) - {"I", "F"}))
def test_every_pil_mode_is_read_as_pillow_converts_it(mode, rng):
    picture = Image.frombytes(mode, (7, 5), rng.integers(0, 256, 7 * 5 * 8, dtype=np.uint8).tobytes())
    image, mask = read_image(picture)
    assert image.shape == (5, 7, 3) and image.dtype == np.uint8 and image.flags.c_contiguous
    np.testing.assert_array_equal(image, _pil_expected(picture))
    if mode in ("RGBA", "LA", "PA", "RGBa", "La"):
        alpha = np.asarray(picture.getchannel(picture.getbands()[-1]))
        np.testing.assert_array_equal(mask, np.where(alpha > 128, 255, 0))
    else:
        assert mask is None


@pytest.mark.parametrize("mode, kind", [("I", "32-bit integer"), ("F", "32-bit floating-point")])
def test_wide_pil_modes_are_refused_with_a_hint(mode, kind):
    with pytest.raises(TypeError, match=f"got a PIL image of mode '{mode}' \\({kind} pixels\\).*convert"):
        read_image(Image.new(mode, (3, 2)))


def test_pil_transparency_value_and_palette_give_a_mask(rng):
    paletted = Image.open(io.BytesIO(_paletted_with_transparency(rng)))
    _, mask = read_image(paletted)
    alpha = np.asarray(paletted.convert("RGBA"))[:, :, 3]
    np.testing.assert_array_equal(mask, np.where(alpha > 128, 255, 0))
    assert set(np.unique(alpha)) > {128, 129}


def test_pil_image_of_a_16_bit_png_equals_the_file(rng, tmp_path):
    path = tmp_path / "grey16.png"
    path.write_bytes(FILES["png 16-bit grey"](rng))
    with Image.open(path) as picture:
        assert picture.mode == "I;16"
        np.testing.assert_array_equal(read_image(picture)[0], cv2.imread(str(path)))


@pytest.mark.parametrize("orientation", range(1, 9))
@pytest.mark.parametrize("file_format, options", [("PNG", {}), ("WEBP", {"lossless": True}), ("JPEG", {})])
def test_pil_image_is_turned_as_its_file_is(rng, tmp_path, orientation, file_format, options):
    mode = "RGB" if file_format == "JPEG" else "RGBA"
    path = tmp_path / f"turned.{file_format.lower()}"
    path.write_bytes(encode_pillow(_picture(rng, mode, size=(6, 4)), file_format, exif=_exif(orientation), **options))
    by_path = read_image(path)
    with Image.open(path) as picture:
        by_pillow = read_image(picture)
    assert by_path[0].shape[:2] == ((4, 6) if orientation < 5 else (6, 4))
    # Pillow's and OpenCV's JPEG decoders may round differently: the shape and the rough picture agree.
    if file_format == "JPEG":
        assert by_pillow[0].shape == by_path[0].shape
        assert np.abs(by_pillow[0].astype(int) - by_path[0]).mean() < 8
    else:
        np.testing.assert_array_equal(by_pillow[0], by_path[0])
        np.testing.assert_array_equal(by_pillow[1], by_path[1])


def test_truncated_file_opened_lazily_by_pillow(rng):
    data = encode_pillow(_picture(rng, size=(64, 64)), "PNG")
    picture = Image.open(io.BytesIO(data[: len(data) // 2]))
    with pytest.raises(ValueError, match="could not read the pixels of the PIL image \\(mode 'RGB', size 64 x 64\\)"):
        read_image(picture)


# --- arrays --------------------------------------------------------------------------------

def test_arrays_of_every_shape_and_order(rng):
    bgra = rng.integers(0, 256, (5, 7, 4), dtype=np.uint8)
    grey = bgra[:, :, 0]
    grey_bgr = np.repeat(grey[:, :, None], 3, axis=2)
    cases = [
        (grey, "bgr", grey_bgr, None),
        (grey[:, :, None], "rgb", grey_bgr, None),
        (bgra[:, :, :3], "bgr", bgra[:, :, :3], None),
        (bgra[:, :, :3], "rgb", bgra[:, :, 2::-1], None),
        (bgra, "bgr", bgra[:, :, :3], bgra[:, :, 3]),
        (bgra, "rgb", bgra[:, :, 2::-1], bgra[:, :, 3]),
        (bgra[::-1, ::2], "bgr", bgra[::-1, ::2, :3], bgra[::-1, ::2, 3]),   # strided view
        (np.asfortranarray(bgra), "bgr", bgra[:, :, :3], bgra[:, :, 3]),
    ]
    for array, order, expected, alpha in cases:
        before = array.copy()
        image, mask = read_image(array, order=order)
        np.testing.assert_array_equal(image, expected)
        assert image.flags.c_contiguous and not np.shares_memory(image, array)
        if alpha is None:
            assert mask is None
        else:
            np.testing.assert_array_equal(mask, np.where(alpha > 128, 255, 0))
            assert mask.flags.c_contiguous and not np.shares_memory(mask, array)
        image[...] = 0
        np.testing.assert_array_equal(array, before)


@pytest.mark.parametrize("array, error, text", [
    (np.zeros((4, 4, 3)), TypeError, "expected an 8-bit image, got float64 (scale to 0..255 and use .astype(np.uint8))"),
    (np.zeros((4, 4), np.float32), TypeError, "got float32 (scale to 0..255"),
    (np.zeros((4, 4), bool), TypeError, "got bool (for a black-and-white image use .astype(np.uint8) * 255)"),
    (np.zeros((4, 4, 3), np.uint16), TypeError, "got uint16 (reduce it to 8 bits"),
    (np.zeros((4, 4, 3), np.int64), TypeError, "got int64 (if its values are 0..255, use .astype(np.uint8))"),
    (np.zeros((4, 4), object), TypeError, "got object"),
    (np.zeros((4, 4, 2), np.uint8), ValueError, "got shape (4, 4, 2)"),
    (np.zeros((2, 4, 4, 3), np.uint8), ValueError, "got shape (2, 4, 4, 3)"),
    (np.zeros(12, np.uint8), ValueError, "got shape (12,)"),
    (np.zeros((0, 5, 3), np.uint8), ValueError, "expected a non-empty image, got an array of shape (0, 5, 3)"),
    (np.zeros((5, 0), np.uint8), ValueError, "non-empty image"),
])
def test_arrays_that_are_not_images_say_what_they_are(array, error, text):
    with pytest.raises(error) as caught:
        read_image(array)
    assert text in str(caught.value)


@pytest.mark.parametrize("source, text", [
    ([[1, 2, 3]], "got list (wrap it with np.asarray(..., dtype=np.uint8))"),
    (5, "got int"),
    (None, "got NoneType"),
    (3.5, "got float"),
])
def test_other_sources_are_refused_naming_their_type(source, text):
    with pytest.raises(TypeError, match="^read_image\\(\\) expected a path") as caught:
        read_image(source)
    assert text in str(caught.value)


# --- shrinking -----------------------------------------------------------------------------

@pytest.mark.parametrize("shape, max_side, expected", [
    ((200, 300), 100, (67, 100)),
    ((300, 200), 100, (100, 67)),
    ((50, 50), 10, (10, 10)),
    ((1000, 3), 100, (100, 1)),
    ((40, 60), 60, (40, 60)),
    ((40, 60), 500, (40, 60)),
])
def test_max_side_shrinks_by_area_and_never_enlarges(shape, max_side, expected, rng):
    bgra = rng.integers(0, 256, shape + (4,), dtype=np.uint8)
    image, mask = read_image(bgra, max_side=max_side)
    assert image.shape == expected + (3,) and mask.shape == expected
    size = (expected[1], expected[0])
    full_mask = np.where(bgra[:, :, 3] > 128, 255, 0).astype(np.uint8)
    if expected == shape:
        np.testing.assert_array_equal(image, bgra[:, :, :3])
        np.testing.assert_array_equal(mask, full_mask)
    else:
        np.testing.assert_array_equal(image, cv2.resize(bgra[:, :, :3], size, interpolation=cv2.INTER_AREA))
        np.testing.assert_array_equal(mask, cv2.resize(full_mask, size, interpolation=cv2.INTER_NEAREST))
    assert set(np.unique(mask)) <= {0, 255}


@pytest.mark.parametrize("name", ["max_side", "max_pixels"])
@pytest.mark.parametrize("value, error", [(0, ValueError), (-3, ValueError), (2.5, TypeError), ("10", TypeError),
                                          (True, TypeError)])
def test_size_settings_must_be_positive_integers(name, value, error):
    with pytest.raises(error, match=f"^{name} must be a positive integer or None, got "):
        read_image(np.zeros((4, 4, 3), np.uint8), **{name: value})


def test_size_settings_take_numpy_integers_and_order_is_checked():
    image, _ = read_image(np.zeros((40, 20, 3), np.uint8), max_side=np.int64(10), max_pixels=np.uint32(5))
    assert image.shape == (10, 5, 3)
    with pytest.raises(ValueError, match="^order must be 'bgr' or 'rgb', got 'BGR'$"):
        read_image(np.zeros((4, 4, 3), np.uint8), order="BGR")


# --- the pixel limit -----------------------------------------------------------------------

def _png_declaring(width, height):
    """A small PNG whose header declares width x height pixels."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    rows = zlib.compress(b"\x00" * 64)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", rows) + chunk(b"IEND", b"")


def test_headers_are_read_without_pillow_decoding_pixels(monkeypatch, rng):
    def no_decoding(*args):
        raise AssertionError("decoded by Pillow")
    monkeypatch.setattr(ImageFile.ImageFile, "load", no_decoding)
    for name in ("png rgba", "png rgba turned", "jpeg turned", "webp rgba turned", "tiff rgba", "gif transparency"):
        data = FILES[name](rng)
        np.testing.assert_array_equal(read_image(data)[0], cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_COLOR))


def test_bomb_is_refused_before_anything_is_decoded(monkeypatch, tmp_path):
    def no_decoding(*args):
        raise AssertionError("decoded")
    monkeypatch.setattr(chromalens.io._encoded.cv2, "imdecode", no_decoding)
    monkeypatch.setattr(ImageFile.ImageFile, "load", no_decoding)
    path = tmp_path / "bomb.png"
    path.write_bytes(_png_declaring(20000, 20000))
    for source, name in ((path, str(path)), (path.read_bytes(), f"{path.stat().st_size} bytes of data")):
        with pytest.raises(ValueError) as caught:
            read_image(source)
        assert str(caught.value) == (
            f"Could not load image from {name}: its header declares 20000 x 20000 = 400,000,000 pixels, "
            "more than max_pixels=178,956,970 (a possible decompression bomb); pass a larger max_pixels, "
            "or max_pixels=None to lift the limit")


def test_limit_is_ours_alone_and_can_be_lifted():
    # Pillow's own opener would raise its DecompressionBombError for this size.
    bomb = _png_declaring(20000, 20000)
    for limit in (None, 400_000_000):
        with pytest.raises(ValueError, match="^Could not load image from .*: OpenCV cannot decode it$"):
            read_image(bomb, max_pixels=limit)


@pytest.mark.parametrize("name", ["png rgba", "jpeg", "tiff rgba", "webp rgba", "gif transparency", "bmp",
                                  "ppm", "sun raster", "pam rgba", "pfm", "radiance hdr"])
def test_headers_give_the_size_for_every_format(name, rng):
    data = FILES[name](rng)                                     # 13 x 9 pixels
    assert read_image(data, max_pixels=117)[0].shape == (9, 13, 3)
    with pytest.raises(ValueError, match="declares 13 x 9 = 117 pixels, more than max_pixels=116 "):
        read_image(data, max_pixels=116)


def test_data_of_unknown_size_is_refused_unless_the_limit_is_lifted(rng):
    data = rng.integers(0, 256, 300, dtype=np.uint8).tobytes()
    with pytest.raises(ValueError, match="^Could not load image from 300 bytes of data: not a recognised image"):
        read_image(data)
    with pytest.raises(ValueError, match="^Could not load image from 300 bytes of data: OpenCV cannot decode it$"):
        read_image(data, max_pixels=None)
    with pytest.raises(ValueError, match="^Could not load image from 0 bytes of data: no data"):
        read_image(b"")


@pytest.mark.parametrize("name", ["jpeg", "jpeg grey", "bmp", "tiff rgba", "webp rgba", "ppm", "pam rgba", "pfm"])
def test_data_shorter_than_its_header_declares_is_refused(name, rng):
    data = FILES[name](rng)
    assert read_image(data)[0].shape == (9, 13, 3)
    for cut in (1, 7, len(data) // 3):
        with pytest.raises(ValueError, match="cut short|too short for the size|header cannot be read"):
            read_image(data[:-cut])


def test_a_forged_size_is_refused_without_decoding_whatever_the_limit(monkeypatch):
    """A JPEG of 8 x 8 pixels whose header claims 13000 x 13000: OpenCV would fill 500 MB with grey."""
    def no_decoding(*args):
        raise AssertionError("decoded")
    forged = bytearray(encode_opencv(np.full((8, 8, 3), 120, np.uint8), ".jpg"))
    struct.pack_into(">HH", forged, forged.find(b"\xff\xc0") + 5, 13000, 13000)
    monkeypatch.setattr(chromalens.io._encoded.cv2, "imdecode", no_decoding)
    with pytest.raises(ValueError, match=r"too short for the size its header declares \(that needs at least "
                                         r"330,\d{3} bytes; there are \d{3}\)$"):
        read_image(bytes(forged), max_pixels=None)


def test_pam_comment_lines_are_not_fields(rng):
    data = FILES["pam rgba"](rng).replace(b"ENDHDR", b"# WIDTH 1\n#HEIGHT 1 (comments)\nENDHDR", 1)
    assert read_image(data)[0].shape == (9, 13, 3)
    with pytest.raises(ValueError, match="declares 13 x 9 = 117 pixels"):
        read_image(data, max_pixels=116)
