"""Pictures of catalogue images for the browser: made once from the image file, under the pixel budget, and
kept in a cache folder of the user's, never beside the catalogue (which may be read-only). A picture is
known by the image's id, its file's state now and the mask it was analysed with, so a file changed since is
made again; an image that cannot be shown gets a placeholder that says why."""

from __future__ import annotations

import hashlib
import html
import os
import re
import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Literal

from ..budget import PILLOW
from ..catalogue.entries import Entry
from ..settings import bind_mask, per_image
from .cache import DEFAULT_LIMIT, FileCache

__all__ = ["SIZES", "Picture", "Thumbnails", "cache_folder"]

# The longest side of each kind of picture: a grid's thumbnail and the image page's view. The full image is
# never sent: it may be huge, or of a format browsers do not show.
SIZES = {"thumbnail": 256, "view": 1024}
# Images decoded at once: each decode may take hundreds of megabytes under the budget, and a grid asks for
# dozens of thumbnails together.
DECODERS = 2
# The names of the cache's pictures (`_path`): in a folder a user named, only these are counted and removed.
_OURS = re.compile(r"\d+-(?:thumbnail|view)-[0-9a-f]{24}\.(?:jpg|png)")


def _ours(name: str) -> bool:
    return _OURS.fullmatch(name) is not None


@dataclass(frozen=True)
class Picture:
    mime: str
    data: bytes
    tag: str | None  # an ETag; None for a placeholder, which must not be kept


def cache_folder(identity: str) -> str:
    """The folder of one catalogue's pictures: $XDG_CACHE_HOME (else ~/.cache)/lumvarde_quorle/thumbnails/ID."""
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "lumvarde_quorle", "thumbnails", identity)


class Thumbnails:
    """The pictures of one catalogue, kept in `folder` up to `limit` bytes (the least recently seen dropped
    first). Without a folder, or a usable one, they are made on every request."""

    def __init__(
        self, folder: str | None, max_pixels: int | Literal["pillow"] | None = PILLOW, limit: int = DEFAULT_LIMIT
    ) -> None:
        self.cache = FileCache(folder, limit, _ours) if folder is not None and limit != 0 else None
        self.max_pixels = max_pixels
        self._decoding = threading.BoundedSemaphore(DECODERS)
        self._making: dict[str, threading.Lock] = {}
        self._claims = threading.Lock()

    def picture(self, entry: Entry, kind: str) -> Picture:
        size = SIZES[kind]
        try:
            status = os.stat(entry.path)
        except (OSError, ValueError):
            return placeholder("image file not found")
        mask = entry.profile.mask_digest or entry.profile.mask or ""
        tag = hashlib.sha256(
            repr((entry.path, status.st_size, status.st_mtime_ns, status.st_ino, mask, size)).encode(
                "utf-8", "surrogatepass")
        ).hexdigest()[:24]
        extension = "jpg" if entry.profile.mask is None else "png"
        mime = "image/jpeg" if extension == "jpg" else "image/png"
        path = self._path(entry.id, kind, tag, extension)
        if path is None:
            return self._made(entry, size, mime, tag, None)
        assert self.cache is not None
        kept = self.cache.read(path)
        if kept is not None:
            return Picture(mime, kept, tag)
        # Requests for one picture at once (a grid and its reload) wait for the first one's making.
        with self._claims:
            making = self._making.setdefault(path, threading.Lock())
        try:
            with making:
                kept = self.cache.read(path)
                return Picture(mime, kept, tag) if kept is not None else self._made(entry, size, mime, tag, path)
        finally:
            with self._claims:
                if not making.locked():
                    self._making.pop(path, None)

    def _made(self, entry: Entry, size: int, mime: str, tag: str, path: str | None) -> Picture:
        try:
            with self._decoding:
                made_mime, data = self._make(entry, size)
        except MemoryError:
            return placeholder("too large to decode with the memory available")
        except (OSError, ValueError) as error:  # ImageTooLargeError is a ValueError
            return placeholder(_reason(error))
        if path is not None and made_mime == mime and self.cache is not None:
            # The pictures of this image and kind made from an earlier state of its file go.
            stem = os.path.basename(path).rsplit("-", 1)[0] + "-"
            self.cache.keep(path, data, lambda name: name.startswith(stem))
        return Picture(made_mime, data, tag)

    def _path(self, image_id: int, kind: str, tag: str, extension: str) -> str | None:
        if self.cache is None:
            return None
        # Folders of a thousand ids keep every listing short at a million images.
        return os.path.join(self.cache.folder, str(image_id // 1000), f"{image_id}-{kind}-{tag}.{extension}")

    def _make(self, entry: Entry, size: int) -> tuple[str, bytes]:
        from ..images import mask_or_none, within_budget

        mask: Any = entry.profile.mask
        if mask is not None and not per_image(mask):
            mask = within_budget(mask_or_none, self.max_pixels)(mask)  # a mask file gone: the whole image
        made: Callable[[str], tuple[str, bytes]] = within_budget(bind_mask(_encoded(size), mask), self.max_pixels)
        return made(entry.path)


def _encoded(size: int) -> Callable[..., tuple[str, bytes]]:
    from ..images import PREVIEW_BYTES, preview_image, read_colour

    def encoded(image: Any, mask: Any = None) -> tuple[str, bytes]:
        pixels = read_colour(image, PREVIEW_BYTES) if isinstance(image, str) else image
        return preview_image(pixels, mask, size)

    return encoded


def _reason(error: BaseException) -> str:
    from ..images import unreadable_cause
    from ..text import shown

    message = str(error)
    if message.startswith("Could not load image from "):
        return unreadable_cause(message.removeprefix("Could not load image from "))
    return shown(message)


def placeholder(reason: str) -> Picture:
    """A grey picture saying why the image is not shown."""
    text = html.escape(reason[:200])
    svg = (
        '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="192" viewBox="0 0 256 192">'
        '<rect width="256" height="192" fill="#e4e4e4"/>'
        '<foreignObject x="12" y="12" width="232" height="168"><div xmlns="http://www.w3.org/1999/xhtml" '
        'style="font:13px sans-serif;color:#555;display:flex;height:100%;align-items:center;text-align:center">'
        f"No picture: {text}</div></foreignObject></svg>"
    )
    return Picture("image/svg+xml", svg.encode("utf-8"), None)
