"""Image files with transparency, and small previews of what was analysed.

    from lumvarde_quorle import ColorExtractor, read_with_alpha

    colors = ColorExtractor().extract_colors(*read_with_alpha("cut-out.png"))
"""

from __future__ import annotations

import base64
import functools
import os
import stat
from collections.abc import Callable
from typing import Any, Literal, TypeVar

import cv2
import numpy as np
from numpy.typing import NDArray

from . import color_extractor_cy
from .budget import PILLOW, batch_limit, before_decoding, check_image_size, max_pixels_budget, without_alpha

# The extractor's own rule for the paths OpenCV must not be given, which read as unreadable files.
from .color_extractor_cy import _opencv_takes_path

__all__ = [
    "apply_with_alpha_mask", "apply_with_own_alpha", "mask_or_none", "preview_data_uri", "read_colour", "read_mask",
    "read_own_alpha", "read_with_alpha", "unreadable_cause", "within_budget",
]

T = TypeVar("T")

# Peak bytes per pixel of a decoded image: the B, G, R array OpenCV makes.
DECODED_BYTES = 3
# Of a preview: the decoded image, then with a mask its B, G, R, A copy and the mask's grey plane.
PREVIEW_BYTES = DECODED_BYTES + 4 + 1
# Of read_with_alpha: a 16-bit B, G, R, A decode and its shifted copy.
ALPHA_BYTES = 16


def read_with_alpha(path: str | os.PathLike[str]) -> tuple[NDArray[np.uint8], NDArray[np.uint8]]:
    """Reads an image file together with its alpha channel, so that transparent pixels can be left out.

    Returns ``(image, mask)``: the colour channels as an 8-bit height x width x 3 array in B, G, R
    order, and the alpha channel as an 8-bit height x width array. Passed on as the extractor's image
    and mask, as in ``extractor.extract_colors(*read_with_alpha(path))``, only the pixels whose alpha
    is above 128 are analysed (the rule for every mask).

    - Grey files with alpha give their grey value in all three colour channels.
    - 16-bit files keep the high byte of every sample (value // 256), colour and alpha alike, which is
      how OpenCV's ordinary read turns a 16-bit PNG into 8 bits.
    - The file is read once, as stored: an orientation tag is not applied to it.

    Raises ValueError when the file cannot be read, when it has no alpha channel (JPEG, grey or
    colour files without transparency), or when its samples are neither 8 nor 16-bit integers, and
    ImageTooLargeError (lumvarde_quorle.budget) when it has more pixels than the extension module's
    max_image_pixels allows.
    """
    path = os.fspath(path)
    raw = _read_unchanged(path)
    channels = _channels(raw)
    if channels not in (2, 4):
        raise ValueError(f"no alpha channel in {path} (it has {_plural(channels, 'channel')})")
    return _split_alpha(path, raw)


def read_own_alpha(path: str | os.PathLike[str]) -> tuple[NDArray[np.uint8], NDArray[np.uint8]] | None:
    """`read_with_alpha(path)` for an image with an alpha channel; None for one without, which is then read
    as any image is. Files whose header rules out transparency are not decoded here."""
    path = os.fspath(path)
    if without_alpha(path):
        return None
    raw = _read_unchanged(path)
    return _split_alpha(path, raw) if _channels(raw) in (2, 4) else None


def _read_unchanged(path: str) -> NDArray[Any]:
    raw = _decoded(path, cv2.IMREAD_UNCHANGED, ALPHA_BYTES)
    if raw is None:
        raise ValueError(f"Could not load image from {path}")
    return raw


def _channels(raw: NDArray[Any]) -> int:
    return 1 if raw.ndim == 2 else int(raw.shape[2])


def _split_alpha(path: str, raw: NDArray[Any]) -> tuple[NDArray[np.uint8], NDArray[np.uint8]]:
    if raw.dtype == np.uint16:
        raw = (raw >> 8).astype(np.uint8)
    elif raw.dtype != np.uint8:
        raise ValueError(f"unsupported samples in {path}: {raw.dtype}, expected 8 or 16-bit integers")
    alpha: NDArray[np.uint8] = np.ascontiguousarray(raw[:, :, -1])
    if raw.shape[2] == 2:
        return np.asarray(cv2.cvtColor(np.ascontiguousarray(raw[:, :, 0]), cv2.COLOR_GRAY2BGR), np.uint8), alpha
    colour: NDArray[np.uint8] = np.ascontiguousarray(raw[:, :, :3])
    return colour, alpha


def apply_with_alpha_mask(operation: Callable[..., T], path: str, /, **options: Any) -> T:
    """Runs `operation` on the image at `path` with the image's alpha channel as its mask. At module
    level so that a partial of it pickles to worker processes, which then read the file themselves."""
    image, mask = read_with_alpha(path)
    return operation(image, mask=mask, **options)


def apply_with_own_alpha(operation: Callable[..., T], path: str, /, **options: Any) -> T:
    """Runs `operation` on the image at `path` with its alpha channel as the mask where it has one, and on
    the path alone, exactly as without a mask, where it has none."""
    found = read_own_alpha(path)
    if found is None:
        return operation(path, **options)
    return operation(found[0], mask=found[1], **options)


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def preview_data_uri(image: NDArray[Any] | None, mask: NDArray[Any] | None = None, size: int = 256) -> str:
    """A small copy of a B, G, R image as a ``data:`` URI, its longest side at most `size` pixels:
    JPEG, or with a mask PNG whose pixels outside the mask (grey value 128 or less) are transparent."""
    if image is None:
        raise ValueError("no image to preview")
    if mask is not None:
        grey = cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY) if mask.ndim == 3 else mask
        if grey.shape != image.shape[:2]:
            raise ValueError(
                f"mask of {grey.shape[1]}x{grey.shape[0]} for an image of {image.shape[1]}x{image.shape[0]}"
            )
        image = np.dstack([image, ((grey > 128) * 255).astype(np.uint8)])
    height, width = image.shape[:2]
    if max(height, width) > size:
        scale = size / max(height, width)
        dsize = (max(1, round(width * scale)), max(1, round(height * scale)))
        image = cv2.resize(image, dsize, interpolation=cv2.INTER_AREA)
    if mask is None:
        suffix, mime, params = ".jpg", "image/jpeg", [cv2.IMWRITE_JPEG_QUALITY, 85]
    else:
        suffix, mime, params = ".png", "image/png", []  # keeps the transparency
    ok, encoded = cv2.imencode(suffix, image, params)
    if not ok:
        raise ValueError("the preview could not be encoded")
    return f"data:{mime};base64,{base64.b64encode(encoded.tobytes()).decode('ascii')}"


def read_colour(path: str, peak_bytes: int = DECODED_BYTES) -> NDArray[np.uint8]:
    """An image file as the extractor reads a path: 3 channels, B, G, R, held to the extension module's
    max_image_pixels before decoding, and to the memory the process can get: MemoryError, before
    decoding, when `peak_bytes` per pixel of the header's size do not fit. ValueError "Could not load
    image from <path>" when unreadable."""
    image = _decoded(path, cv2.IMREAD_COLOR, peak_bytes)
    if image is None:
        raise ValueError(f"Could not load image from {path}")
    return np.asarray(image, np.uint8)


def read_mask(path: str) -> NDArray[np.uint8]:
    """A mask file as the extractor reads one (3 channels), held to the budget as images are.
    ValueError "Could not load mask from <path>"."""
    mask = _decoded(path, cv2.IMREAD_COLOR, DECODED_BYTES)
    if mask is None:
        raise ValueError(f"Could not load mask from {path}")
    return np.asarray(mask, np.uint8)


# Leading bytes of the formats people most often name; a file that starts with one is an image OpenCV
# failed to decode, not some other file under an image's name.
_SIGNATURES = (
    (b"\x89PNG\r\n\x1a\n", "PNG"), (b"\xff\xd8\xff", "JPEG"), (b"GIF87a", "GIF"), (b"GIF89a", "GIF"),
    (b"II*\x00", "TIFF"), (b"MM\x00*", "TIFF"), (b"BM", "BMP"),
)
_SPECIAL_FILES = ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a device"),
                  (stat.S_ISBLK, "a device"))


def unreadable_cause(path: str) -> str:
    """Why a file the extractor could not load ("Could not load image from <path>") is unreadable, in a
    few words: no such file, a directory, a special file, or a file that is not an image OpenCV reads.
    Looks at the file only as far as its first bytes; never decodes it."""
    if "\0" in path:
        return "the name holds a NUL character"
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return "the name has bytes that are not UTF-8, which OpenCV cannot take"
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return "a symbolic link to a missing file" if os.path.islink(path) else "no such file"
    except OSError as error:
        return (error.strerror or type(error).__name__).lower()
    if stat.S_ISDIR(info.st_mode):
        return "is a directory"
    for test, kind in _SPECIAL_FILES:
        if test(info.st_mode):
            return f"not a regular file ({kind})"
    if info.st_size == 0:
        return "an empty file"
    try:
        with open(path, "rb") as file:
            head = file.read(16)
    except OSError as error:
        return (error.strerror or type(error).__name__).lower()
    known = _image_format(head)
    if known is not None:
        return f"a {known} file OpenCV could not decode (damaged, cut short or of a variant it does not read)"
    return f"not an image OpenCV can read (the file starts with {head!r})"


def _image_format(head: bytes) -> str | None:
    if head.startswith(b"RIFF") and head[8:12] == b"WEBP":
        return "WebP"
    return next((name for signature, name in _SIGNATURES if head.startswith(signature)), None)


def mask_or_none(path: str) -> NDArray[np.uint8] | None:
    """read_mask(path), or None when the file cannot be read or is refused."""
    try:
        return read_mask(path)
    except (ValueError, MemoryError):
        return None


def _decoded(path: str, flags: int, peak_bytes: int) -> NDArray[Any] | None:
    """cv2.imread(path, flags), None when unreadable; the file's header held to the pixel budget in
    force and its pixel count to the memory the process can get before decoding, and a file whose
    header could not be read held to the budget once decoded."""
    if not _opencv_takes_path(path):
        return None
    pixels, limit = before_decoding(path, color_extractor_cy.max_image_pixels)
    _admit_decoding(path, pixels, peak_bytes)
    image: NDArray[Any] | None = cv2.imread(path, flags)
    if image is not None and not pixels:
        check_image_size(path, image.shape[1], image.shape[0], limit)
    return image


def within_budget(call: Callable[[str], T], max_pixels: int | Literal["pillow"] | None = PILLOW) -> Callable[[str], T]:
    """`call(path)` with the files it reads held to `max_pixels` as well (a batch's budget: by default
    Pillow's refusal threshold), as the batch holds its operations."""
    return functools.partial(_within_budget, call, max_pixels)


def _within_budget(call: Callable[[str], T], max_pixels: int | Literal["pillow"] | None, path: str) -> T:
    budget = max_pixels_budget(max_pixels)
    with batch_limit(budget[0] if budget else None):
        return call(path)


def _admit_decoding(path: str, pixels: int, peak_bytes: int) -> None:
    """MemoryError when decoding `pixels` (from the header; 0: not known) would need more memory than
    the process can get, rather than failing halfway through the decode."""
    if not pixels:
        return
    available, bound = color_extractor_cy._available_memory()
    needed = float(pixels) * peak_bytes
    if needed > available:
        raise MemoryError(
            f"Decoding {path} ({pixels} pixels) would need about {needed / 1e9:.1f} GB of memory, with "
            f"{available / 1e9:.1f} GB available ({bound})"
        )
