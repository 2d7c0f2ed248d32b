"""What an encoded image's header declares, read without decoding any pixel.

The size lets the reader refuse decompression bombs before OpenCV allocates
anything; the mode says whether the file can carry transparency; the EXIF
orientation lets the alpha channel follow the colour image when OpenCV turns
one and not the other.  Where the format fixes how many bytes the declared
image takes (raw rasters, strip tables, container lengths, an end marker),
a file that ends before them is known to be cut short: decoders fill the
missing part with grey, so a few bytes could otherwise claim gigabytes.
"""

import io
import re
import struct
from typing import Any, NamedTuple, Optional

from PIL import Image

# Pillow's parsers for the formats OpenCV also decodes.  Only these are
# trusted: a size read by a parser of another format would say nothing
# about what OpenCV allocates.
_OPENCV_FORMATS = frozenset({"PNG", "JPEG", "BMP", "TIFF", "WEBP", "PPM", "SUN", "JPEG2000", "AVIF", "GIF"})
_ALPHA_MODES = frozenset({"RGBA", "LA", "La", "PA", "RGBa"})
_ORIENTATION_TAG = 0x0112


class Header(NamedTuple):
    width: int
    height: int
    may_have_alpha: bool
    orientation: int  # EXIF orientation, 1 when absent or not in the header
    format: str
    shortfall: Optional[str] = None  # why the data is too short for the declared image, if it is


class HeaderError(Exception):
    """Data that starts like a known format whose header cannot be read (a damaged or cut-short file)."""

    def __init__(self, format: str) -> None:
        super().__init__(f"its {format} header cannot be read (a damaged or truncated file)")
        self.format = format


def read_header(data: bytes) -> Optional[Header]:
    """The header of an encoded image, or None when no known parser reads it.

    Raises HeaderError for data that a known format's signature claims but
    whose header that format's parser cannot read.
    """
    # PAM and PFM first: Pillow reads neither fully (PAM not at all).
    return _netpbm_header(data) or _pillow_header(data) or _radiance_header(data)


def _pillow_header(data: bytes) -> Optional[Header]:
    # Pillow's own opener checks its decompression-bomb limit with its own
    # message as soon as the header is parsed; the plugins' factories read
    # the same header without that check, so the limit stays ours alone.
    Image.init()
    prefix = data[:16]
    stream = io.BytesIO(data)
    for name in Image.ID:
        if name not in _OPENCV_FORMATS:
            continue
        factory, accept = Image.OPEN[name]
        try:
            accepted = accept is None or accept(prefix)
        except Exception:
            continue
        if not accepted or isinstance(accepted, str):
            continue
        stream.seek(0)
        try:
            image = factory(stream, "")
            width, height = image.size
            mode = image.mode
            alpha = mode in _ALPHA_MODES or "transparency" in image.info
            shortfall = _shortfall(image, data)
        except Exception:
            # The signature matched but the header cannot be read: its size is unknown.
            raise HeaderError(name) from None
        return Header(int(width), int(height), alpha, _orientation(image.info.get("exif")), name, shortfall)
    return None


# Bits per pixel of the raw layouts Pillow reports for uncompressed rasters.
_RAW_BITS = {"1": 1, "1;I": 1, "L": 8, "P": 8, "RGB": 24, "BGR": 24, "RGBX": 32, "BGRX": 32, "RGBA": 32,
             "BGRA": 32, "I;16B": 16, "I;16": 16, "RGB;16B": 48, "P;4": 4, "P;1": 1, "1;I;R": 1}
_TIFF_PARTS = ((273, 279), (324, 325))  # (strip offsets, strip byte counts), (tile offsets, tile byte counts)


def _shortfall(image: Any, data: bytes) -> Optional[str]:
    """Why `data` cannot hold the image Pillow's parser found in its header, or None."""
    size = len(data)
    if image.format == "JPEG":
        return _jpeg_shortfall(data)
    if image.format == "WEBP" and len(data) >= 8:
        declared = 8 + struct.unpack_from("<I", data, 4)[0]
        return _too_short(declared, size)
    if image.format == "TIFF":
        tags = image.tag_v2
        for offsets_tag, counts_tag in _TIFF_PARTS:
            offsets, counts = tags.get(offsets_tag), tags.get(counts_tag)
            if offsets is not None and counts is not None:
                ends = [int(o) + int(c) for o, c in zip(_as_tuple(offsets), _as_tuple(counts))]
                return _too_short(max(ends, default=0), size)
        return None
    tiles = getattr(image, "tile", None) or []
    if len(tiles) == 1 and tiles[0][0] in ("raw", "ppm_plain"):
        codec, extents, offset, args = tiles[0][:4]
        width, height = extents[2] - extents[0], extents[3] - extents[1]
        if codec == "ppm_plain":  # one character per sample at least
            return _too_short(offset + width * height * len(image.getbands()), size)
        rawmode = args[0] if isinstance(args, tuple) else args
        stride = args[1] if isinstance(args, tuple) and len(args) > 1 and args[1] else None
        bits = _RAW_BITS.get(rawmode)
        if stride is None and bits is not None:
            stride = (width * bits + 7) // 8
        if stride is not None:
            return _too_short(offset + stride * height, size)
    return None


def _as_tuple(value: Any) -> tuple:
    return tuple(value) if isinstance(value, (tuple, list)) else (value,)


def _too_short(needed: int, size: int) -> Optional[str]:
    if size >= needed:
        return None
    return f"too short for the size its header declares (that needs at least {needed:,} bytes; there are {size:,})"


def _jpeg_shortfall(data: bytes) -> Optional[str]:
    """Scan data too short for the declared size, or a file that ends before its last scan does.

    Huffman coding spends at least one bit on every 8 x 8 block of the first
    component (one per pixel in lossless mode); a decoder fills what is missing
    with grey.  Arithmetic coding has no such floor and is left to the limit.
    """
    position, bits_per_unit, units = 2, 0, 0
    while position + 4 <= len(data):
        if data[position] != 0xFF:
            return None  # not a marker where one belongs: leave the verdict to the decoder
        marker = data[position + 1]
        if marker == 0xFF:  # fill byte
            position += 1
            continue
        if marker == 0xD8 or 0xD0 <= marker <= 0xD7 or marker == 0x01:  # markers without a length
            position += 2
            continue
        length = struct.unpack_from(">H", data, position + 2)[0]
        if marker in (0xC0, 0xC1, 0xC2, 0xC3) and position + 9 <= len(data):
            height, width = struct.unpack_from(">HH", data, position + 5)
            lossless = marker == 0xC3
            units = width * height if lossless else -(-width // 8) * -(-height // 8)
            bits_per_unit = 1
        if marker == 0xDA:  # start of scan: entropy-coded data follows
            start = position + 2 + length
            # Inside scans 0xFF is followed by 0x00 or a restart marker, never by 0xD9.
            if data.find(b"\xff\xd9", start) < 0:
                return "cut short: the data ends inside the image, before its end-of-image marker"
            return _too_short(start + units * bits_per_unit // 8, len(data))
        position += 2 + length
    return None


def _orientation(exif: object) -> int:
    # Only EXIF data met while reading the header: Image.getexif() would
    # decode a whole PNG to look for EXIF data after the pixels.
    if not isinstance(exif, bytes):
        return 1
    try:
        parsed = Image.Exif()
        parsed.load(exif)
        value = parsed.get(_ORIENTATION_TAG, 1)
    except Exception:
        return 1
    return value if isinstance(value, int) and 1 <= value <= 8 else 1


_PAM_END = re.compile(rb"^ENDHDR[ \t\r]*$", re.MULTILINE)
_PFM_HEADER = re.compile(rb"P[Ff]\s+(\d+)\s+(\d+)\s+(\S+)\s")


def _netpbm_header(data: bytes) -> Optional[Header]:
    """PAM ("P7", fields up to ENDHDR) and PFM ("PF", "Pf"); Pillow reads neither."""
    head = data[:4096]
    if head.startswith(b"P7") and head[2:3].isspace():
        return _pam_header(head, len(data))
    if head[:2] in (b"PF", b"Pf") and head[2:3].isspace():
        numbers = _PFM_HEADER.match(head)
        if not numbers:
            raise HeaderError("PFM")
        width, height = int(numbers.group(1)), int(numbers.group(2))
        channels = 3 if head[1:2] == b"F" else 1
        shortfall = _too_short(numbers.end() + width * height * channels * 4, len(data))
        return Header(width, height, False, 1, "PFM", shortfall)
    return None


def _pam_header(head: bytes, size: int) -> Header:
    """One field per line up to ENDHDR; lines starting with "#" are comments."""
    end = _PAM_END.search(head)
    if end is None:
        raise HeaderError("PAM")
    fields = {}
    for line in head[3:end.start()].splitlines():
        words = line.split()
        if words and not words[0].startswith(b"#") and len(words) >= 2 and words[1].isdigit():
            fields[words[0].decode("ascii", "replace")] = int(words[1])
    if "WIDTH" not in fields or "HEIGHT" not in fields:
        raise HeaderError("PAM")
    width, height, depth = fields["WIDTH"], fields["HEIGHT"], fields.get("DEPTH", 1)
    sample_bytes = 2 if fields.get("MAXVAL", 255) > 255 else 1
    raster = head.index(b"\n", end.start()) + 1 if b"\n" in head[end.start():] else end.end()
    shortfall = _too_short(raster + width * height * depth * sample_bytes, size)
    return Header(width, height, depth in (2, 4), 1, "PAM", shortfall)


_RADIANCE_SIZE = re.compile(rb"^[-+]([XY]) (\d+) [-+][XY] (\d+)$")


def _radiance_header(data: bytes) -> Optional[Header]:
    """Radiance RGBE (.hdr/.pic): text lines, an empty line, then "-Y H +X W"."""
    if not (data.startswith(b"#?RADIANCE") or data.startswith(b"#?RGBE")):
        return None
    lines = data[:8192].split(b"\n")
    for index, line in enumerate(lines[:-1]):
        if line == b"":
            size = _RADIANCE_SIZE.match(lines[index + 1])
            if size:
                first, second = int(size.group(2)), int(size.group(3))
                # "-Y H +X W": rows first; "+X W -Y H": columns first.
                width, height = (second, first) if size.group(1) == b"Y" else (first, second)
                return Header(width, height, False, 1, "HDR")
            return None
    return None
