"""The pixel budget: an image file's size read from its header, without decoding it, and the refusal of
files above a limit before they are decoded. Light to import: it loads Pillow and the header readers
only, so that a batch or the command line can refuse a decompression bomb before loading the extension
and its libraries.

    from lumvarde_quorle import color_extractor_cy
    from lumvarde_quorle.budget import ImageTooLargeError, image_size

    color_extractor_cy.max_image_pixels = 50_000_000   # the extractors' own loading refuses above it
    image_size("upload.png")                            # (width, height), or None
"""

from __future__ import annotations

import os
import stat
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any, Literal

from .checks import whole_number
from .headers import PREFIX_BYTES, HeaderError, header_size

__all__ = [
    "PILLOW", "ImageTooLargeError", "batch_limit", "before_decoding", "check_image_size", "image_size",
    "max_pixels_budget", "pixel_limit", "without_alpha",
]

# The default budget of the batch and the catalogue: Pillow's, as Image.open applies it.
PILLOW: Literal["pillow"] = "pillow"

# The pixel budget of the batch call running in this context (batch_limit sets it around each call):
# the stricter of it and the extension module's max_image_pixels applies.
_batch_max_pixels: ContextVar[int | None] = ContextVar("_batch_max_pixels", default=None)


class ImageTooLargeError(ValueError):
    """An image file with more pixels than the pixel budget allows, refused from its header before it
    was decoded."""


# The largest image whose header Pillow is asked about when ours has read its size (see _header).
_PILLOW_PEEK = 1 << 24


def image_size(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    """The ``(width, height)`` that the image file's header declares, read without decoding the image:
    fast, and safe for any size. WebP, Radiance HDR, PNM, PFM, PAM, Sun raster and OpenEXR headers are
    read here, whatever Pillow's own limits; other formats by Pillow. None when neither can read the
    header (a format neither knows, a damaged or missing file)."""
    header = _header(path)
    return None if header is None else header[:2]


def without_alpha(path: str | os.PathLike[str]) -> bool:
    """Whether the image file's header, read as `image_size` reads it, declares no transparency (no alpha
    channel, no transparent palette entry or colour); False when the header cannot be read."""
    header = _header(path)
    return header is not None and not header[2]


def _header(path: str | os.PathLike[str]) -> tuple[int, int, bool] | None:
    """(width, height, whether it may hold transparency) from the file's header."""
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None  # a pipe or device could keep the read waiting
        with open(path, "rb") as file:
            prefix = file.read(PREFIX_BYTES)
            try:
                size = header_size(file, prefix)
            except HeaderError:
                return None  # a damaged header: OpenCV's read reports it
            if size is None:
                return _pillow_header(file, prefix, os.fspath(path))
            # Our own reading of the size holds. Pillow's readers of these formats may allocate the whole
            # canvas on opening (WebP's does), so only a modest image is shown to Pillow to learn whether it
            # has transparency; a larger one may have some (it is looked at once decoded, within the budget).
            if size[0] * size[1] > _PILLOW_PEEK:
                return *size, True
            pillow = _pillow_header(file, prefix, os.fspath(path))
            return *size, pillow is None or pillow[:2] != size or pillow[2]
    except (OSError, ValueError):
        pass  # unreadable, or a path no file can have: OpenCV's read reports it
    return None


def _pillow_header(file: Any, prefix: bytes, filename: str) -> tuple[int, int, bool] | None:
    from PIL import Image

    tried: set[str] = set()
    # As Image.open finds the format, without its own size check, which would refuse the very images
    # whose size is asked for: the common formats first, then every other.
    for register in (Image.preinit, Image.init):
        register()
        for name in [name for name in Image.ID if name not in tried]:
            tried.add(name)
            if (header := _read_header(Image.OPEN.get(name), file, prefix[:16], filename)) is not None:
                return header
    return None


def _read_header(plugin: Any, file: Any, prefix: bytes, filename: str) -> tuple[int, int, bool] | None:
    if plugin is None:
        return None
    factory, accept = plugin
    try:
        accepted = not accept or accept(prefix)
        if not accepted or isinstance(accepted, str):  # a str: the plugin's reason for declining
            return None
        file.seek(0)
        opened = factory(file, filename)
        width, height = opened.size
        transparent = bool(opened.has_transparency_data)
    except Exception:  # this plugin cannot read the header: another may
        return None
    return int(width), int(height), transparent


def check_image_size(path: str | os.PathLike[str], width: int, height: int, max_pixels: int | None) -> None:
    """Raises ImageTooLargeError when ``width x height`` is above `max_pixels` (None or 0: no limit)."""
    pixels = width * height
    if max_pixels and pixels > max_pixels:
        raise ImageTooLargeError(
            f"{os.fspath(path)}: {width} x {height} = {pixels:,} pixels, more than the limit of {max_pixels:,} "
            "(a possible decompression bomb)"
        )


def max_pixels_budget(max_pixels: int | Literal["pillow"] | None) -> tuple[int, int | None] | None:
    """(limit, warn above) for a `max_pixels` argument of the batch and the catalogue, None for no limit:
    ``"pillow"`` follows Pillow's ``Image.MAX_IMAGE_PIXELS`` as it is now (a warning above it, refusal
    above twice it), a number is a hard limit, 0 or None none."""
    if isinstance(max_pixels, str) and max_pixels == PILLOW:
        from PIL import Image

        if not Image.MAX_IMAGE_PIXELS:
            return None
        return 2 * Image.MAX_IMAGE_PIXELS, Image.MAX_IMAGE_PIXELS
    if max_pixels is None:
        return None
    if isinstance(max_pixels, str):
        raise ValueError(f"max_pixels must be a number of pixels, {PILLOW!r} or None, got {max_pixels!r}")
    limit = whole_number(max_pixels, "max_pixels", minimum=0)
    return (limit, None) if limit else None


def pixel_limit(setting: Any = None) -> int | None:
    """The budget in force for the extractors' own loading: `setting` (the extension module's
    max_image_pixels), or the batch's when it is stricter; None for none. Raises TypeError or ValueError
    for a setting that is not None or a whole number of pixels, 0 or more."""
    if setting is not None:
        setting = whole_number(setting, "max_image_pixels", minimum=0)
    limits = [limit for limit in (setting, _batch_max_pixels.get()) if limit]
    return min(limits) if limits else None


@contextmanager
def batch_limit(limit: int | None) -> Iterator[None]:
    """Within the block, the extractors' own loading holds files to `limit` as well (the batch's budget,
    which a call of the batch runs under)."""
    token = _batch_max_pixels.set(limit)
    try:
        yield
    finally:
        _batch_max_pixels.reset(token)


def before_decoding(path: str, setting: object = None) -> tuple[int, int | None]:
    """For the loaders (the extension's and read_with_alpha): the file's pixel count from its header (0
    when Pillow cannot read it) and the budget in force (`pixel_limit(setting)`), after refusing a file
    above it. A file whose header could not be read is held to the budget once decoded, with
    check_image_size."""
    limit = pixel_limit(setting)
    size = image_size(path)
    if size is None:
        return 0, limit
    check_image_size(path, *size, limit)
    return size[0] * size[1], limit
