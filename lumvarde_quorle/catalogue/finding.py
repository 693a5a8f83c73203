"""The two colour queries over the colour index (colours.py), by pixel share and by likeness: the images
they find, best first, read from the index alone; the caller reads the hits' palettes and paths."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from ..cielab import ciede2000
from ..distribution import SIGNATURE, SIGNATURE_VERTICES, WEIGHT_UNIT
from .colours import ColourIndex
from .layers import Layered
from .palettes import _best, _Palettes

__all__ = ["Found", "nearest_colours", "search", "signature_vector", "similar"]


@dataclass
class Found:
    """What a colour search found: the images (index positions), best first, and per query colour and image
    the percent of the image's pixels within the tolerance."""

    order: NDArray[np.int64]
    shares: NDArray[np.float64]


def search(
    index: ColourIndex | Layered, keep: NDArray[np.bool_], query_lab: NDArray[np.float64], tolerance: float,
    min_share: float, limit: int,
) -> Found:
    """The images of `keep` in which every query colour (CIELAB rows) covers at least `min_share` percent of
    the pixels within CIEDE2000 `tolerance`: the first `limit` by the least of those shares, then by their
    sum, then by id. An image without pixels near a colour has no share of it, so only images every colour
    reaches are candidates. The index finds the first `limit` without computing every image's shares; the
    ranking here is the one order of them."""
    common, shares = index.search(keep, query_lab, tolerance, min_share, limit)
    shares = np.ascontiguousarray(shares.T)
    least = shares.min(axis=0) if len(common) else np.zeros(0)
    order = _best(np.arange(len(common)), [-least, -shares.sum(axis=0), index.ids[common]], limit)
    return Found(common[order], shares[:, order])


def nearest_colours(
    palettes: _Palettes, query_lab: NDArray[np.float64]
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """Per query colour and image of `palettes`, the palette row nearest to the colour and its CIEDE2000
    difference (inf for an image without colours)."""
    nearest = np.zeros((len(query_lab), len(palettes.ids)), np.int64)
    difference = np.full((len(query_lab), len(palettes.ids)), np.inf)
    palette_rows = [np.asarray(palettes.colours(column), np.int64) for column in range(len(palettes.ids))]
    filled = [column for column, rows in enumerate(palette_rows) if len(rows)]
    if not filled:
        return nearest, difference
    # Every hit's palette in one call: a search's answer costs one pass of the formula, not one per hit.
    rows = np.concatenate([palette_rows[column] for column in filled])
    sizes = np.array([len(palette_rows[column]) for column in filled])
    starts = np.concatenate([[0], np.cumsum(sizes)[:-1]])
    apart = ciede2000(query_lab[:, None, :], palettes.cielab[rows][None, :, :])
    least = np.minimum.reduceat(apart, starts, axis=1)
    # The first row of least difference in each palette, as argmin takes it.
    at = np.where(apart == np.repeat(least, sizes, axis=1), np.arange(len(rows)), len(rows))
    nearest[:, filled] = rows[np.minimum.reduceat(at, starts, axis=1)]
    difference[:, filled] = least
    return nearest, difference


def similar(
    index: ColourIndex | Layered, keep: NDArray[np.bool_], signature: NDArray[np.float64], limit: int,
    exclude: Sequence[int],
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """The first `limit` images of `keep` by distance from a signature (a dense vector over the vertices),
    then by id, leaving out the image ids `exclude` and images without colours; and the distances: per
    image the percent of its colour that finds no match in the query's, 100 times one minus the
    intersection of the two signatures (the sum over vertices of the lesser weight)."""
    distance = np.maximum(0.0, 100.0 * (1.0 - index.shared(signature)))
    chosen = keep & (index.counts > 0)
    if len(exclude):
        chosen &= ~np.isin(index.ids, list(exclude))
    return _best(np.flatnonzero(chosen), [distance, index.ids], limit), distance


def signature_vector(blob: bytes) -> NDArray[np.float64]:
    """A signature as a dense vector over the vertices."""
    table = np.frombuffer(blob, SIGNATURE)
    vector = np.zeros(SIGNATURE_VERTICES)
    vector[table["vertex"]] = table["weight"] / WEIGHT_UNIT
    return vector
