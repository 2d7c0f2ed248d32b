"""What an encoded image's header declares, read without decoding any pixel.

The size lets the reader refuse decompression bombs before OpenCV allocates
anything; the mode says whether the file can carry transparency; the EXIF
orientation lets the alpha channel follow the colour image when OpenCV turns
one and not the other.
"""

import io
import re
from typing import NamedTuple, Optional

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


def read_header(data: bytes) -> Optional[Header]:
    """The header of an encoded image, or None when no known parser reads it."""
    header = _pillow_header(data)
    if header is None:
        header = _netpbm_header(data) or _radiance_header(data)
    return header


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
        except Exception:
            # A header this format's parser cannot read: its size is unknown.
            return None
        return Header(int(width), int(height), alpha, _orientation(image.info.get("exif")), name)
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


_NETPBM_FIELD = re.compile(rb"(WIDTH|HEIGHT|DEPTH)[ \t]+(\d+)")


def _netpbm_header(data: bytes) -> Optional[Header]:
    """PAM ("P7", fields up to ENDHDR) and colour PFM ("PF"); Pillow reads neither."""
    head = data[:4096]
    if head.startswith(b"P7") and head[2:3].isspace():
        end = head.find(b"ENDHDR")
        if end < 0:
            return None
        fields = {key.decode(): int(value) for key, value in _NETPBM_FIELD.findall(head[:end])}
        if "WIDTH" not in fields or "HEIGHT" not in fields:
            return None
        return Header(fields["WIDTH"], fields["HEIGHT"], fields.get("DEPTH") in (2, 4), 1, "PAM")
    if head[:2] in (b"PF", b"Pf") and head[2:3].isspace():
        numbers = re.match(rb"\s+(\d+)\s+(\d+)\s", head[2:])
        if numbers:
            return Header(int(numbers.group(1)), int(numbers.group(2)), False, 1, "PFM")
    return None


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
