"""The image files of a run: the IMAGE arguments expanded to files (directories, walked with --recursive,
and glob patterns), what a failure that only says a file could not be loaded means for that file, and the
report's thumbnails."""

from __future__ import annotations

import fnmatch
import glob
import os
import re
from collections.abc import Callable, Iterable, Iterator
from typing import TYPE_CHECKING, Any, Literal

from ..budget import PILLOW
from ..settings import bind_mask, per_image
from .records import Record, error_record

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["IMAGE_SUFFIXES", "expand_images", "failure_record", "failure_text", "preview"]

# What OpenCV's imread reads; used to pick files out of directories and glob matches.
IMAGE_SUFFIXES = frozenset(
    ".bmp .dib .jpeg .jpg .jpe .jp2 .png .webp .avif .pbm .pgm .ppm .pxm .pnm .pfm .sr .ras "
    ".tiff .tif .exr .hdr .pic".split()
)
_GLOB_CHARS = re.compile(r"[*?[]")
# The extractor's message for any file it cannot load, whatever the reason.
_NOT_LOADED = re.compile(r"Could not load (?:image|mask) from (.*)", re.DOTALL)


def expand_images(arguments: Iterable[str], recursive: bool = False) -> list[str]:
    """Directories give their image files (with `recursive`, those of their subfolders too) and glob
    patterns their matching image files, each sorted by name; other arguments are taken as they are (a
    missing file fails later, as that image's error). Raises ValueError for a directory or pattern without
    image files."""
    paths: list[str] = []
    for argument in arguments:
        if os.path.isdir(argument):
            found = list(_walk(argument) if recursive else _images_in(argument))
            where = f"directory {argument}" + (" or its subfolders" if recursive else "")
        elif os.path.exists(argument) or not _GLOB_CHARS.search(argument):
            paths.append(argument)
            continue
        else:
            found = [path for path in _glob(argument) if _is_image_file(path)]
            where = f"pattern {argument!r}"
        if not found:
            raise ValueError(f"no image files in {where}")
        paths.extend(sorted(found))
    return paths


def roots(arguments: Iterable[str]) -> list[str]:
    """Where each IMAGE argument reaches: a directory or file as given, a pattern's folder before its first
    glob character."""
    found = []
    for argument in arguments:
        glob_char = None if os.path.exists(argument) else _GLOB_CHARS.search(argument)
        found.append(argument if glob_char is None else os.path.dirname(argument[: glob_char.start()]) or ".")
    return found


def _images_in(folder: str) -> Iterator[str]:
    return (entry.path for entry in os.scandir(folder) if _is_image_file(entry.path))


def _walk(top: str) -> Iterator[str]:
    """The image files under `top`."""
    return (path for path in _files_under(top, hidden=True) if _is_image_file(path))


def _files_under(top: str, hidden: bool) -> Iterator[str]:
    """The files under `top` (with `hidden`, those of folders named with a leading dot too). Symbolic
    links to folders are followed, but each real folder is entered once, so that a link back up the tree
    (a loop) or two links to one folder do not repeat it. Folders that cannot be listed are passed over,
    as `find` does, rather than ending the run."""
    seen: set[tuple[int, int]] = set()
    for folder, subfolders, files in os.walk(top, followlinks=True):
        try:
            info = os.stat(folder)
        except OSError:  # gone since it was listed
            subfolders.clear()
            continue
        if (info.st_dev, info.st_ino) in seen:
            subfolders.clear()
            continue
        seen.add((info.st_dev, info.st_ino))
        # Of two ways into one folder, the first by name is kept.
        subfolders[:] = sorted(name for name in subfolders if hidden or not name.startswith("."))
        yield from (os.path.join(folder, name) for name in files)


def _glob(pattern: str) -> list[str]:
    """glob.glob(pattern, recursive=True), except that `**` enters each real folder once, as --recursive
    does: the library's follows links to folders round a loop until the path grows too long, with every
    file found again on each round."""
    if "**" not in pattern:
        return glob.glob(pattern)
    parts = pattern.split(os.sep)
    fixed = 0  # the leading folders without wildcards: where the walk starts
    while fixed < len(parts) - 1 and not _GLOB_CHARS.search(parts[fixed]):
        fixed += 1
    top = os.sep.join(parts[:fixed]) or (os.sep if fixed else "")
    wanted = [part for part in parts[fixed:] if part]
    hidden = any(part.startswith(".") for part in wanted)
    found = []
    for path in _files_under(top or os.curdir, hidden):
        relative = os.path.relpath(path, top or os.curdir)
        if _matches(relative.split(os.sep), wanted):
            found.append(os.path.join(top, relative) if top else relative)
    return found


def _matches(names: list[str], parts: list[str]) -> bool:
    """Whether a path's names match a pattern's parts as glob's do: `**` any number of folders, other
    parts one name each; a name with a leading dot only matched by a part with one."""
    if not parts:
        return not names
    part, rest = parts[0], parts[1:]
    if part == "**":
        visible = len(names)
        for depth, name in enumerate(names):
            if name.startswith("."):
                visible = depth
                break
        return any(_matches(names[depth:], rest) for depth in range(visible + 1))
    if not names or (names[0].startswith(".") and not part.startswith(".")):
        return False
    return fnmatch.fnmatchcase(names[0], part) and _matches(names[1:], rest)


def _is_image_file(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in IMAGE_SUFFIXES and os.path.isfile(path)


def failure_text(error: BaseException) -> str:
    """The message of an image's failure as the tool reports it. The extractor says only that a file
    could not be loaded; the tool adds why (no such file, a directory, not an image, ...)."""
    message = str(error)
    unloaded = _NOT_LOADED.fullmatch(message) if isinstance(error, ValueError) else None
    if unloaded is None:
        return message
    from ..images import unreadable_cause

    return f"{message}: {unreadable_cause(unloaded.group(1))}"


def failure_record(path: str, error: BaseException) -> Record:
    record = error_record(path, error)
    record["error"]["message"] = failure_text(error)
    return record


def preview(mask: str | None, max_pixels: int | Literal["pillow"] | None = PILLOW) -> Callable[[str], str]:
    """The report's thumbnail of an image: what the analysis saw, the pixels outside the mask transparent,
    its files held to `max_pixels` and to the memory the process can get. A mask file that cannot be read
    (a catalogue's, gone since indexing) leaves the whole image."""
    from ..images import mask_or_none, within_budget

    bound = mask if mask is None or per_image(mask) else within_budget(mask_or_none, max_pixels)(mask)
    return within_budget(bind_mask(_thumbnail, bound), max_pixels)


def _thumbnail(image: str | NDArray[Any], mask: NDArray[Any] | None = None) -> str:
    from ..images import PREVIEW_BYTES, preview_data_uri, read_colour

    return preview_data_uri(read_colour(image, PREVIEW_BYTES) if isinstance(image, str) else image, mask)
