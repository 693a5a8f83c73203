"""Palettes as arrays: LAB codes, the distances between palettes, how a palette is stored, and the
in-memory table of every stored palette that the queries scan."""

from __future__ import annotations

import functools
import math
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, TypedDict, TypeVar

import numpy as np
from numpy.typing import NDArray

from ..names import hex_rgb, parse_color
from ..results import RGB

__all__ = ["MAX_PALETTE_COLOURS", "MAX_QUERY_COLOURS", "PaletteColor", "lab_codes", "palette_distance"]


class PaletteColor(TypedDict):
    """One colour of an image's palette, as the extractor gives it."""

    color: RGB
    percentage: float


# One colour of images.palette, the copy of an image's colours the queries load in one read.
# The most colours a query may have. Honest queries are a few colours, and a palette a few dozen (an image's
# dominant colours); each query colour costs a pass over every image's distribution, so a search of 1,000
# colours over 100,000 images would take seconds and gigabytes.
MAX_QUERY_COLOURS = 64
MAX_PALETTE_COLOURS = 1024

T = TypeVar("T")

PALETTE_ROW = np.dtype([("rgb", "u1", 3), ("lab", "u1", 3), ("share", "<f8")])


def lab_codes(colors: Sequence[RGB] | NDArray[Any]) -> NDArray[np.int16]:
    """OpenCV's 8-bit LAB codes of (R, G, B) colours, as the extractor's LAB distance takes them."""
    import cv2

    rgb = np.asarray(colors, np.uint8).reshape(1, -1, 3)
    if rgb.shape[1] == 0:
        return np.zeros((0, 3), np.int16)
    return np.asarray(cv2.cvtColor(rgb, cv2.COLOR_RGB2LAB), np.int16).reshape(-1, 3)


def _pair_distances(first: NDArray[Any], second: NDArray[Any]) -> NDArray[np.float64]:
    """LAB distances between every row of `first` and every row of `second` (LAB codes)."""
    difference = first[:, None, :].astype(np.int32) - second[None, :, :].astype(np.int32)
    return np.sqrt((difference * difference).sum(axis=2).astype(np.float64))


def _weights(shares: NDArray[Any]) -> NDArray[np.float64]:
    shares = np.asarray(shares, np.float64)
    total = shares.sum()
    return shares / total if total > 0 else shares


def _spread(lab: NDArray[Any], weights: NDArray[np.float64]) -> float:
    """The mean LAB distance between two colours drawn from one palette by their shares."""
    return float(weights @ _pair_distances(lab, lab) @ weights)


def palette_distance(first: Iterable[Mapping[str, Any]], second: Iterable[Mapping[str, Any]]) -> float:
    """The distance `similar` ranks by, between two palettes of {"color": (R, G, B), "percentage": p}:
    the energy distance of the palettes as distributions of colour weighted by share,
    2 E|X - Y| - E|X - X'| - E|Y - Y'| with X, X' drawn from the first and Y, Y' from the second, in the
    extractor's LAB units. 0 for equal palettes; it grows with how far, and how much, colour differs."""
    (lab1, w1), (lab2, w2) = (_palette_arrays(palette) for palette in (first, second))
    if not len(w1) or not len(w2):
        raise ValueError("an empty palette has no distance")
    cross = float(w1 @ _pair_distances(lab1, lab2) @ w2)
    return max(0.0, 2 * cross - _spread(lab1, w1) - _spread(lab2, w2))


def _palette_arrays(palette: Iterable[Mapping[str, Any]]) -> tuple[NDArray[np.int16], NDArray[np.float64]]:
    colors = list(palette)
    rgb = [_rgb(entry["color"]) for entry in colors]
    shares = np.array([float(entry["percentage"]) for entry in colors], np.float64)
    if not np.isfinite(shares).all() or (shares < 0).any():
        raise ValueError("palette shares must be finite and not negative")
    return lab_codes(rgb), _weights(shares)


def _rgb(value: Any) -> RGB:
    if isinstance(value, (str, bytes, bytearray, memoryview)):  # its characters or bytes are no channels
        raise TypeError(f"a colour must be (R, G, B) or a text such as '#87ceeb', not {type(value).__name__} {value!r}")
    r, g, b = (int(c) for c in value)
    if not all(0 <= c <= 255 for c in (r, g, b)):
        raise ValueError(f"colour channels must be 0..255, got {(r, g, b)}")
    return r, g, b


def query_colours(colors: Iterable[RGB | str] | Mapping[str, RGB | str]) -> dict[str, RGB]:
    """The query colours by name: (R, G, B) colours or texts that parse_color reads, named by their hex
    codes, or a dict name -> colour."""

    def rgb(colour: RGB | str) -> RGB:
        return parse_color(colour) if isinstance(colour, str) else _rgb(colour)

    if isinstance(colors, Mapping):
        named = bounded(colors.items(), MAX_QUERY_COLOURS, "query colours")
        queries = {str(name): rgb(colour) for name, colour in named}
    else:
        queries = {}
        for colour in bounded(colors, MAX_QUERY_COLOURS, "query colours"):
            value = rgb(colour)
            queries.setdefault(hex_rgb(value), value)
    if not queries:
        raise ValueError("no query colours")
    return queries


def bounded(items: Iterable[T], limit: int, what: str) -> Iterator[T]:
    """The items, ValueError once there are more than `limit` (read no further: the iterable may be endless)."""
    for count, item in enumerate(items, 1):
        if count > limit:
            raise ValueError(f"too many {what}: at most {limit}")
        yield item


def checked_palette(value: Any) -> list[PaletteColor]:
    """The extractor's colours as stored: every colour three 8-bit channels and a finite share."""
    if not isinstance(value, list):
        raise ValueError(f"the extractor gave {type(value).__name__}, not a list of colours")
    palette: list[PaletteColor] = []
    for entry in value:
        share = float(entry["percentage"])
        if not math.isfinite(share) or share < 0:
            raise ValueError(f"the extractor gave the share {share!r}")
        palette.append({"color": _rgb(entry["color"]), "percentage": share})
    return palette


def stored_form(palette: list[PaletteColor]) -> tuple[list[tuple[Any, ...]], float, bytes]:
    """What is stored of a palette: its colour rows (rank, r, g, b, share, L, a, b), its spread and the
    palette blob the queries load."""
    rgb = [entry["color"] for entry in palette]
    shares = np.array([entry["percentage"] for entry in palette], np.float64)
    lab = lab_codes(rgb)
    spread = _spread(lab, _weights(shares)) if len(palette) else 0.0
    rows = np.zeros(len(palette), PALETTE_ROW)
    rows["rgb"], rows["lab"], rows["share"] = np.reshape(rgb, (-1, 3)), lab, shares
    colours = [
        (rank, *colour, float(share), *map(int, codes))
        for rank, (colour, share, codes) in enumerate(zip(rgb, shares, lab))
    ]
    return colours, spread, rows.tobytes()


class _Palettes:
    """Every successfully indexed image of a scope and its colours, in image id order; the colour rows
    of image i are rows starts[i]:starts[i + 1]."""

    def __init__(
        self, ids: NDArray[np.int64], settings: NDArray[np.int64], counts: NDArray[np.int64], rows: NDArray[Any],
    ) -> None:
        self.ids, self.settings, self.rows = ids, settings, rows
        self.starts = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
        self.owner = np.repeat(np.arange(len(ids)), counts)  # the image of each colour row
        self.share = np.ascontiguousarray(rows["share"])  # percent, as the extractor gave it

    @classmethod
    def of(cls, ids: Sequence[int], settings: Sequence[int], blobs: Sequence[bytes]) -> _Palettes:
        """The table of stored images: their ids, settings ids and palette blobs, in id order."""
        # A blob damaged since the colour index was built shows no colours rather than shifting every
        # row after it.
        blobs = [blob if len(blob) % PALETTE_ROW.itemsize == 0 else b"" for blob in blobs]
        return cls(
            np.array(ids, np.int64), np.array(settings, np.int64),
            np.array([len(blob) // PALETTE_ROW.itemsize for blob in blobs], np.int64),
            np.frombuffer(b"".join(blobs), PALETTE_ROW),
        )

    def colours(self, image: int) -> range:
        return range(int(self.starts[image]), int(self.starts[image + 1]))

    def palette(self, image: int) -> list[PaletteColor]:
        return [
            {"color": _rgb(self.rows["rgb"][row]), "percentage": float(self.share[row])} for row in self.colours(image)
        ]

    @functools.cached_property
    def cielab(self) -> NDArray[np.float64]:
        """CIELAB of every colour row."""
        from ..cielab import srgb_to_lab

        return srgb_to_lab(self.rows["rgb"])


def _best(found: NDArray[np.int64], keys: Sequence[NDArray[Any]], limit: int) -> NDArray[np.int64]:
    """The first `limit` of `found` in order of the keys (the first key first), cut down before sorting."""
    if len(found) > limit:
        first = keys[0][found]
        found = found[first <= np.partition(first, limit - 1)[limit - 1]]
    return found[np.lexsort([key[found] for key in reversed(keys)])][:limit]
