"""What the colour queries scan: every stored image of a scope with its palette, its colour distribution
and its signature, and the two queries, by pixel share and by likeness."""

from __future__ import annotations

import functools
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ..cielab import ciede2000
from ..distribution import SIGNATURE, SIGNATURE_VERTICES, WEIGHT_UNIT, Distributions
from .palettes import _best, _Palettes

__all__ = ["Found", "Table"]


@dataclass
class Found:
    """What a colour search found: the images, best first; per query colour and image the percent of the
    image's pixels within the tolerance; per query colour and image the palette row nearest to the query
    colour and its CIEDE2000 difference."""

    order: NDArray[np.int64]
    shares: NDArray[np.float64]
    nearest: NDArray[np.int64]
    difference: NDArray[np.float64]


class Table:
    """The stored images of a scope in id order: palettes, distributions and signatures. `missing` counts
    the images indexed before the catalogue's upgrade, which have no distribution yet."""

    def __init__(self, palettes: _Palettes, distributions: Distributions, signatures: Any, missing: int) -> None:
        self.palettes, self.distributions, self.signatures, self.missing = palettes, distributions, signatures, missing

    @property
    def ids(self) -> NDArray[np.int64]:
        return self.palettes.ids

    @classmethod
    def of(cls, images: Sequence[tuple[int, int, float, bytes, bytes | None, bytes | None]]) -> Table:
        """The table of stored images: (id, settings id, spread, palette, distribution, signature) rows in
        id order."""
        palettes = _Palettes.of([row[0] for row in images], [row[1] for row in images], [row[3] for row in images])
        missing = sum(row[4] is None for row in images)
        distributions = Distributions.of([row[4] or b"" for row in images])
        return cls(palettes, distributions, _signature_matrix([row[5] or b"" for row in images]), missing)

    def select(self, keep: NDArray[np.bool_]) -> Table:
        missing = int(np.count_nonzero(keep & self._without_distribution))
        return Table(self.palettes.select(keep), self.distributions.select(keep), self.signatures[keep], missing)

    @functools.cached_property
    def _without_distribution(self) -> NDArray[np.bool_]:
        return np.asarray(np.diff(self.distributions.starts) == 0) & (np.diff(self.palettes.starts) > 0)

    def search(self, query_lab: NDArray[np.float64], tolerance: float, min_share: float, limit: int) -> Found:
        """The images in which every query colour (CIELAB rows) covers at least `min_share` percent of the
        pixels within CIEDE2000 `tolerance`: the first `limit` by the least of those shares, then by their
        sum, then by id."""
        shares = self.distributions.shares(query_lab, tolerance)
        least = shares.min(axis=0) if len(shares) else np.zeros(len(self.ids))
        holds = np.flatnonzero((least >= min_share) & (least > 0))
        order = _best(holds, [-least, -shares.sum(axis=0), self.ids], limit)
        nearest = np.zeros((len(query_lab), len(order)), np.int64)
        difference = np.full((len(query_lab), len(order)), np.inf)
        for column, image in enumerate(order):
            rows = np.asarray(self.palettes.colours(int(image)))
            if len(rows):
                apart = ciede2000(query_lab[:, None, :], self.palettes.cielab[rows][None, :, :])
                nearest[:, column] = rows[np.argmin(apart, axis=1)]
                difference[:, column] = apart.min(axis=1)
        return Found(order, shares, nearest, difference)

    def similar(self, signature: NDArray[np.float64], limit: int, exclude: Sequence[int]) -> tuple[Any, Any]:
        """The first `limit` images by `distance` from a signature (a dense vector over the vertices), then
        by id, leaving out the image ids `exclude` and images without colours; and the distances."""
        distance = self.distances(signature)
        keep = np.diff(self.distributions.starts) > 0
        if len(exclude):
            keep &= ~np.isin(self.ids, list(exclude))
        order = _best(np.flatnonzero(keep), [distance, self.ids], limit)
        return order, distance

    def distances(self, signature: NDArray[np.float64]) -> NDArray[np.float64]:
        """Per image, the percent of its colour that finds no match in the query's: 100 times one minus the
        intersection of the two signatures (the sum over vertices of the lesser weight)."""
        columns = self.signatures
        support = np.flatnonzero(signature > 0)
        starts, ends = columns.indptr[support], columns.indptr[support + 1]
        lengths = ends - starts
        positions = np.repeat(ends - np.cumsum(lengths), lengths) + np.arange(int(lengths.sum()))
        lesser = np.minimum(columns.data[positions], np.repeat(signature[support], lengths))
        shared = np.bincount(columns.indices[positions], lesser, minlength=len(self.ids))
        return np.maximum(0.0, 100.0 * (1.0 - shared))


def _signature_matrix(blobs: Sequence[bytes]) -> Any:
    """The signatures as a sparse images x vertices matrix of weights (fractions), by vertex."""
    from scipy import sparse  # type: ignore[import-untyped]

    tables = [np.frombuffer(blob, SIGNATURE) for blob in blobs]
    counts = np.array([len(table) for table in tables], np.int64)
    table = np.concatenate(tables) if tables else np.zeros(0, SIGNATURE)
    indptr = np.concatenate([[0], np.cumsum(counts)])
    rows = sparse.csr_matrix(
        (table["weight"].astype(np.float64) / WEIGHT_UNIT, table["vertex"].astype(np.int64), indptr),
        shape=(len(blobs), SIGNATURE_VERTICES),
    )
    return rows.tocsc()


def signature_vector(blob: bytes) -> NDArray[np.float64]:
    """A signature as a dense vector over the vertices."""
    table = np.frombuffer(blob, SIGNATURE)
    vector = np.zeros(SIGNATURE_VERTICES)
    vector[table["vertex"]] = table["weight"] / WEIGHT_UNIT
    return vector
