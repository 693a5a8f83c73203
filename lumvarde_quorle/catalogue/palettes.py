"""Palettes as arrays: LAB codes, the distances between palettes, how a palette is stored, and the
in-memory table of every stored palette that the queries scan."""

from __future__ import annotations

import functools
import math
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypedDict

import numpy as np
from numpy.typing import NDArray

from ..names import hex_rgb, parse_color
from ..results import RGB

__all__ = ["PaletteColor", "lab_codes", "palette_distance"]


class PaletteColor(TypedDict):
    """One colour of an image's palette, as the extractor gives it."""

    color: RGB
    percentage: float


# One colour of images.palette, the copy of an image's colours the queries load in one read.
_PALETTE_ROW = np.dtype([("rgb", "u1", 3), ("lab", "u1", 3), ("share", "<f8")])
# Squared LAB distances of 8-bit codes are at most this (3 x 255^2).
_LARGEST_SQUARE = 3 * 255**2


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
        queries = {str(name): rgb(colour) for name, colour in colors.items()}
    else:
        queries = {}
        for colour in colors:
            value = rgb(colour)
            queries.setdefault(hex_rgb(value), value)
    if not queries:
        raise ValueError("no query colours")
    return queries


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
    rows = np.zeros(len(palette), _PALETTE_ROW)
    rows["rgb"], rows["lab"], rows["share"] = np.reshape(rgb, (-1, 3)), lab, shares
    colours = [
        (rank, *colour, float(share), *map(int, codes))
        for rank, (colour, share, codes) in enumerate(zip(rgb, shares, lab))
    ]
    return colours, spread, rows.tobytes()


@dataclass
class Found:
    """What a colour search found: the images, best first, and per query colour and colour row whether
    the row is within reach, per row the distance to the nearest query colour, per query colour and image
    the share within its reach, and per image the share within reach of any."""

    order: NDArray[np.int64]
    within: NDArray[np.bool_]
    nearest: NDArray[np.float64]
    per_query: list[NDArray[np.float64]]
    total: NDArray[np.float64]


class _Palettes:
    """Every successfully indexed image of a scope and its colours, in image id order; the colour rows
    of image i are rows starts[i]:starts[i + 1]."""

    def __init__(
        self, ids: NDArray[np.int64], settings: NDArray[np.int64], spread: NDArray[np.float64],
        counts: NDArray[np.int64], rows: NDArray[Any],
    ) -> None:
        self.ids, self.settings, self.spread, self.rows = ids, settings, spread, rows
        self.starts = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
        self.owner = np.repeat(np.arange(len(ids)), counts)  # the image of each colour row
        self.share = np.ascontiguousarray(rows["share"])  # percent, as the extractor gave it
        totals = np.bincount(self.owner, self.share, minlength=len(ids))
        with np.errstate(invalid="ignore", divide="ignore"):
            self.weight = np.where(totals[self.owner] > 0, self.share / totals[self.owner], 0.0)

    @classmethod
    def of(cls, images: Sequence[tuple[int, int, float, bytes]]) -> _Palettes:
        """The table of stored images: (id, settings id, spread, palette blob) in id order."""
        blobs = [row[3] for row in images]
        return cls(
            np.array([row[0] for row in images], np.int64), np.array([row[1] for row in images], np.int64),
            np.array([row[2] for row in images], np.float64),
            np.array([len(blob) // _PALETTE_ROW.itemsize for blob in blobs], np.int64),
            np.frombuffer(b"".join(blobs), _PALETTE_ROW),
        )

    def colours(self, image: int) -> range:
        return range(int(self.starts[image]), int(self.starts[image + 1]))

    def palette(self, image: int) -> list[PaletteColor]:
        return [
            {"color": _rgb(self.rows["rgb"][row]), "percentage": float(self.share[row])} for row in self.colours(image)
        ]

    def select(self, keep: NDArray[np.bool_]) -> _Palettes:
        return _Palettes(
            self.ids[keep], self.settings[keep], self.spread[keep], np.diff(self.starts)[keep],
            self.rows[keep[self.owner]],
        )

    @functools.cached_property
    def by_lightness(self) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.int32], NDArray[np.int32]]:
        """The rows in order of their L code, and their L, a and b codes in that order: the colours
        within a distance of a colour lie within a run of L codes."""
        lab = self.rows["lab"].astype(np.int32)
        order = np.argsort(lab[:, 0], kind="stable")
        return order, *(np.ascontiguousarray(lab[order, channel]) for channel in range(3))  # type: ignore[return-value]

    @functools.cached_property
    def lab_columns(self) -> list[NDArray[np.float64]]:
        lab = self.rows["lab"]
        return [np.ascontiguousarray(lab[:, channel], np.float64) for channel in range(3)]

    def within(self, lab: NDArray[Any], max_distance: float) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The rows whose colours are at most `max_distance` from the LAB code `lab`, and their
        distances, computed as the extractor computes them."""
        order, light, green_red, blue_yellow = self.by_lightness
        reach = int(min(max_distance, 443.0))  # |dL| <= distance; 443 covers every pair of codes
        low, high = np.searchsorted(light, [int(lab[0]) - reach, int(lab[0]) + reach + 1])
        parts = [column[low:high] - int(code) for column, code in zip((light, green_red, blue_yellow), lab)]
        squares = parts[0] * parts[0] + parts[1] * parts[1] + parts[2] * parts[2]
        # Candidates by exact integers, then the distance in floating point decides, as it does for the extractor.
        near = np.flatnonzero(squares <= min(int(max_distance * max_distance) + 1, _LARGEST_SQUARE))
        distance = np.sqrt(squares[near].astype(np.float64))
        keep = distance <= max_distance
        return order[low + near[keep]], distance[keep]

    def search(self, query_lab: NDArray[Any], max_distance: float, min_share: float, limit: int) -> Found:
        """The images holding every query colour (LAB codes): colours within `max_distance` of it that make
        at least `min_share` percent of the palette; the first `limit` by the share within reach of any
        query colour, then by how near those colours are, then by id."""
        count = len(self.ids)
        within = np.zeros((len(query_lab), len(self.share)), bool)
        nearest = np.full(len(self.share), np.inf)
        holds = np.ones(count, bool)
        per_query = []
        for number, lab in enumerate(query_lab):
            rows, distance = self.within(lab, max_distance)
            within[number, rows] = True
            nearest[rows] = np.minimum(nearest[rows], distance)
            share = np.bincount(self.owner[rows], self.share[rows], minlength=count)
            holds &= (share > 0) & (share >= min_share)
            per_query.append(share)
        matched = np.flatnonzero(within.any(axis=0))
        owners, shares = self.owner[matched], self.share[matched]
        total = np.bincount(owners, shares, minlength=count)
        with np.errstate(invalid="ignore", divide="ignore"):
            mean_distance = np.bincount(owners, shares * nearest[matched], minlength=count) / total
        order = _best(np.flatnonzero(holds), [-total, mean_distance, self.ids], limit)
        return Found(order, within, nearest, per_query, total)

    def distances(self, lab: NDArray[Any], weights: NDArray[np.float64]) -> NDArray[np.float64]:
        """Per image, `palette_distance` from a palette (LAB codes and weights)."""
        return np.maximum(0.0, 2 * self.cross_distance(lab, weights) - self.spread - _spread(lab, weights))

    def cross_distance(self, lab: NDArray[Any], weights: NDArray[np.float64]) -> NDArray[np.float64]:
        """Per image, the mean LAB distance between its colours and those of a palette, both drawn by share."""
        total = np.zeros(len(self.share))
        square, part = np.empty_like(total), np.empty_like(total)
        for code, weight in zip(lab, weights):
            square.fill(0.0)
            for column, value in zip(self.lab_columns, code):
                np.subtract(column, float(value), out=part)
                np.multiply(part, part, out=part)
                square += part
            np.sqrt(square, out=square)
            square *= weight
            total += square
        total *= self.weight
        return np.bincount(self.owner, total, minlength=len(self.ids))


def _best(found: NDArray[np.int64], keys: Sequence[NDArray[Any]], limit: int) -> NDArray[np.int64]:
    """The first `limit` of `found` in order of the keys (the first key first), cut down before sorting."""
    if len(found) > limit:
        first = keys[0][found]
        found = found[first <= np.partition(first, limit - 1)[limit - 1]]
    return found[np.lexsort([key[found] for key in reversed(keys)])][:limit]
