"""Image files with transparency, their size read from the header, and small previews of what was
analysed.

    from lumvarde_quorle import ColorExtractor, read_with_alpha

    colors = ColorExtractor().extract_colors(*read_with_alpha("cut-out.png"))
"""

from __future__ import annotations

import base64
import operator
import os
import stat
from contextvars import ContextVar
from typing import Any

import cv2
import numpy as np
from numpy.typing import NDArray

__all__ = ["ImageTooLargeError", "check_image_size", "image_size", "read_with_alpha", "read_image", "preview_data_uri"]

# The pixel budget of the batch call running in this context (lumvarde_quorle.batch sets it around
# each call): the stricter of it and the extension module's max_image_pixels applies.
_batch_max_pixels: ContextVar[int | None] = ContextVar("_batch_max_pixels", default=None)


class ImageTooLargeError(ValueError):
    """An image file with more pixels than the pixel budget allows, refused from its header before it
    was decoded."""


def image_size(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    """The ``(width, height)`` that the image file's header declares, read by Pillow without decoding
    the image: fast, and safe for any size. None when Pillow cannot read the header (a format it does
    not know, such as Radiance HDR, a damaged or missing file)."""
    from PIL import Image

    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None  # a pipe or device could keep the read waiting
        with open(path, "rb") as file:
            prefix = file.read(16)
            tried: set[str] = set()
            # As Image.open finds the format, without its own size check, which would refuse the very
            # images whose size is asked for: the common formats first, then every other.
            for register in (Image.preinit, Image.init):
                register()
                for name in [name for name in Image.ID if name not in tried]:
                    tried.add(name)
                    if (size := _header_size(Image.OPEN.get(name), file, prefix, os.fspath(path))) is not None:
                        return size
    except (OSError, ValueError):
        pass  # unreadable, or a path no file can have: OpenCV's read reports it
    return None


def _header_size(plugin: Any, file: Any, prefix: bytes, filename: str) -> tuple[int, int] | None:
    if plugin is None:
        return None
    factory, accept = plugin
    try:
        accepted = not accept or accept(prefix)
        if not accepted or isinstance(accepted, str):  # a str: the plugin's reason for declining
            return None
        file.seek(0)
        width, height = factory(file, filename).size
    except Exception:  # this plugin cannot read the header: another may
        return None
    return int(width), int(height)


def check_image_size(path: str | os.PathLike[str], width: int, height: int, max_pixels: int | None) -> None:
    """Raises ImageTooLargeError when ``width x height`` is above `max_pixels` (None or 0: no limit)."""
    pixels = width * height
    if max_pixels and pixels > max_pixels:
        raise ImageTooLargeError(
            f"{os.fspath(path)}: {width} x {height} = {pixels:,} pixels, more than the limit of {max_pixels:,} "
            "(a possible decompression bomb)"
        )


def _pixel_limit(setting: Any) -> int | None:
    """The budget in force: the module's setting, or the batch's when it is stricter. Raises TypeError or
    ValueError for a setting that is not None or a whole number of pixels, 0 or more."""
    if setting is not None:
        if isinstance(setting, bool):
            raise TypeError("max_image_pixels must be None or a whole number of pixels, not a bool")
        try:
            setting = operator.index(setting)
        except TypeError:
            raise TypeError(
                f"max_image_pixels must be None or a whole number of pixels, not {type(setting).__name__}"
            ) from None
        if setting < 0:
            raise ValueError(f"max_image_pixels must be 0 (no limit) or more, got {setting}")
    limits = [limit for limit in (setting, _batch_max_pixels.get()) if limit]
    return min(limits) if limits else None


def _before_decoding(path: str, setting: object) -> tuple[int, int | None]:
    """For the extension's loader: the file's pixel count from its header (0 when Pillow cannot read
    it) and the budget in force, after refusing a file above it."""
    limit = _pixel_limit(setting)
    size = image_size(path)
    if size is None:
        return 0, limit
    check_image_size(path, *size, limit)
    return size[0] * size[1], limit


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
    ImageTooLargeError when it has more pixels than the extension module's max_image_pixels allows.
    """
    path = os.fspath(path)
    raw: NDArray[Any] | None = None
    if _imread_takes(path):
        from . import color_extractor_cy

        pixels, limit = _before_decoding(path, color_extractor_cy.max_image_pixels)
        raw = cv2.imread(path, cv2.IMREAD_UNCHANGED)
        if raw is not None and not pixels:
            check_image_size(path, raw.shape[1], raw.shape[0], limit)
    if raw is None:
        raise ValueError(f"Could not load image from {path}")
    channels = 1 if raw.ndim == 2 else raw.shape[2]
    if channels not in (2, 4):
        raise ValueError(f"no alpha channel in {path} (it has {_plural(channels, 'channel')})")
    if raw.dtype == np.uint16:
        raw = (raw >> 8).astype(np.uint8)
    elif raw.dtype != np.uint8:
        raise ValueError(f"unsupported samples in {path}: {raw.dtype}, expected 8 or 16-bit integers")
    alpha: NDArray[np.uint8] = np.ascontiguousarray(raw[:, :, -1])
    if channels == 2:
        return np.asarray(cv2.cvtColor(np.ascontiguousarray(raw[:, :, 0]), cv2.COLOR_GRAY2BGR), np.uint8), alpha
    colour: NDArray[np.uint8] = np.ascontiguousarray(raw[:, :, :3])
    return colour, alpha


def read_image(path: str) -> NDArray[Any] | None:
    """cv2.imread(path) as the extractor reads a path (3 channels, B, G, R), or None when the file
    cannot be read, including paths that OpenCV must not be given."""
    if not _imread_takes(path):
        return None
    image: NDArray[Any] | None = cv2.imread(path)
    return image


def _imread_takes(path: str) -> bool:
    """Whether OpenCV can be given the path: it crashes on a name without a UTF-8 form (undecodable
    bytes arrive as lone surrogates), stops at a NUL and so would read another file, and waits for
    ever on a pipe without a writer. Such paths are files that cannot be read."""
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return False
    if "\0" in path:
        return False
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return True  # missing or unreachable: OpenCV says so
    return stat.S_ISREG(mode) or stat.S_ISDIR(mode)


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
            raise ValueError(f"mask of {grey.shape[1]}x{grey.shape[0]} for an image of {image.shape[1]}x{image.shape[0]}")
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
