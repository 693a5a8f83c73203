"""Image sizes read from the headers of the formats OpenCV decodes and Pillow cannot size, or sizes only
through a reader that decodes or refuses on its own: WebP, Radiance HDR, the PNM family with PFM and PAM,
Sun raster and OpenEXR. Each reader takes a file open at its start and the first bytes of it, reads only
the header (streaming past comments of any length, never holding more than a block), and answers
``(width, height)``; None when the file is not of its format; HeaderError when it is but its header cannot
be read, which OpenCV would then refuse as well.

No dependencies: the pixel budget imports it before anything else is loaded.
"""

from __future__ import annotations

import struct
from collections.abc import Callable, Iterator
from typing import BinaryIO

__all__ = ["HeaderError", "PREFIX_BYTES", "header_size"]

# The bytes every reader's signature and fixed fields fit in.
PREFIX_BYTES = 32
# Header text is read in blocks of this size, so a comment of any length costs only the time to skip it.
_BLOCK = 1 << 16

Size = tuple[int, int]


class HeaderError(ValueError):
    """A file of a known format whose header does not give a size."""


def header_size(file: BinaryIO, prefix: bytes) -> Size | None:
    """The size the header of a file of one of these formats declares; None for other files."""
    for reader in _READERS:
        file.seek(0)
        if (size := reader(file, prefix)) is not None:
            return size
    return None


def _positive(width: int, height: int, what: str) -> Size:
    if width <= 0 or height <= 0:
        raise HeaderError(f"{what} header declares {width} x {height} pixels")
    return width, height


# -- WebP ----------------------------------------------------------------------------------------------


def _webp(file: BinaryIO, prefix: bytes) -> Size | None:
    """The first chunk of a WebP file: a lossy frame (VP8), a lossless one (VP8L) or the extended header's
    canvas (VP8X), whose size bounds every frame of an animation."""
    if prefix[:4] != b"RIFF" or prefix[8:12] != b"WEBP":
        return None
    chunk = prefix[12:16]
    if len(prefix) < 30:
        raise HeaderError("truncated WebP header")
    if chunk == b"VP8 ":
        if prefix[23:26] != b"\x9d\x01\x2a":
            raise HeaderError("WebP lossy frame without its start code")
        width, height = struct.unpack_from("<HH", prefix, 26)
        return _positive(width & 0x3FFF, height & 0x3FFF, "WebP")
    if chunk == b"VP8L":
        if prefix[20] != 0x2F:
            raise HeaderError("WebP lossless frame without its signature")
        (bits,) = struct.unpack_from("<I", prefix, 21)
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
    if chunk == b"VP8X":
        width = int.from_bytes(prefix[24:27], "little") + 1
        height = int.from_bytes(prefix[27:30], "little") + 1
        return width, height
    raise HeaderError(f"WebP file starting with an unknown chunk {chunk!r}")


# -- Radiance HDR --------------------------------------------------------------------------------------


def _lines(file: BinaryIO) -> Iterator[bytes]:
    """The file's lines without their ends; a line longer than a block comes in pieces."""
    while line := file.readline(_BLOCK):
        yield line.rstrip(b"\r\n")


def _radiance(file: BinaryIO, prefix: bytes) -> Size | None:
    """Text lines up to an empty one, then the resolution line: `-Y 480 +X 640` (rows along Y), or with
    the axes in another order or direction."""
    if not prefix.startswith((b"#?RADIANCE", b"#?RGBE")):
        return None
    lines = _lines(file)
    for line in lines:
        if not line.strip():
            break
    resolution = next(lines, b"").split()
    if len(resolution) != 4:
        raise HeaderError("Radiance HDR header without its resolution line")
    axes = {}
    for sign_axis, count in (resolution[0:2], resolution[2:4]):
        if len(sign_axis) != 2 or sign_axis[:1] not in b"+-" or not count.isdigit():
            raise HeaderError(f"Radiance HDR resolution line {b' '.join(resolution)!r}")
        axes[sign_axis[1:]] = int(count)
    if set(axes) != {b"X", b"Y"}:
        raise HeaderError(f"Radiance HDR resolution line {b' '.join(resolution)!r}")
    return _positive(axes[b"X"], axes[b"Y"], "Radiance HDR")


# -- PNM (P1 to P6), PFM (PF, Pf) and PAM (P7) -----------------------------------------------------------


def _tokens(file: BinaryIO) -> Iterator[bytes]:
    """The header's words, with comments (from # to the end of the line) skipped however long."""
    in_comment = False
    while block := file.readline(_BLOCK):
        ended = block.endswith(b"\n")
        text = block if not in_comment else b""
        in_comment = in_comment and not ended
        if b"#" in text:
            text, _, _ = text.partition(b"#")
            in_comment = not ended
        yield from text.split()


def _pnm(file: BinaryIO, prefix: bytes) -> Size | None:
    magic = prefix[:2]
    if magic not in (b"P1", b"P2", b"P3", b"P4", b"P5", b"P6", b"PF", b"Pf", b"P7"):
        return None
    if len(prefix) < 3 or not prefix[2:3].isspace():
        return None
    file.seek(2)
    tokens = _tokens(file)
    if magic == b"P7":
        fields: dict[bytes, bytes] = {}
        for token in tokens:
            if token == b"ENDHDR":
                break
            if token in (b"WIDTH", b"HEIGHT"):
                fields[token] = next(tokens, b"")
        width, height = fields.get(b"WIDTH", b""), fields.get(b"HEIGHT", b"")
    else:
        width, height = next(tokens, b""), next(tokens, b"")
    if not width.isdigit() or not height.isdigit():
        raise HeaderError(f"{magic.decode()} header without its width and height")
    return _positive(int(width), int(height), "PNM")


# -- Sun raster ----------------------------------------------------------------------------------------


def _sun_raster(file: BinaryIO, prefix: bytes) -> Size | None:
    if prefix[:4] != b"\x59\xa6\x6a\x95":
        return None
    if len(prefix) < 12:
        raise HeaderError("truncated Sun raster header")
    width, height = struct.unpack_from(">ii", prefix, 4)
    return _positive(width, height, "Sun raster")


# -- OpenEXR -------------------------------------------------------------------------------------------


def _openexr(file: BinaryIO, prefix: bytes) -> Size | None:
    """The data window of the (first) header: attributes as name, type, size and value, up to an empty
    name."""
    if prefix[:4] != b"\x76\x2f\x31\x01":
        return None
    file.seek(8)
    while True:
        name, kind = _exr_text(file), _exr_text(file)
        if not name:
            raise HeaderError("OpenEXR header without its data window")
        raw = file.read(4)
        if len(raw) < 4:
            raise HeaderError("truncated OpenEXR header")
        (size,) = struct.unpack("<i", raw)
        if name == b"dataWindow" and kind == b"box2i" and size == 16:
            x_min, y_min, x_max, y_max = struct.unpack("<4i", file.read(16).ljust(16, b"\0"))
            return _positive(x_max - x_min + 1, y_max - y_min + 1, "OpenEXR")
        if size < 0:
            raise HeaderError("OpenEXR attribute of negative size")
        file.seek(size, 1)


def _exr_text(file: BinaryIO) -> bytes:
    """A name of at most 255 bytes, ended by a zero byte (an empty name ends the header)."""
    text = b""
    while (byte := file.read(1)) not in (b"\0", b""):
        text += byte
        if len(text) > 255:
            raise HeaderError("OpenEXR attribute name too long")
    if not byte and text:
        raise HeaderError("truncated OpenEXR header")
    return text


_READERS: tuple[Callable[[BinaryIO, bytes], Size | None], ...] = (_webp, _radiance, _pnm, _sun_raster, _openexr)
