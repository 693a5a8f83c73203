"""How an image's pixels are spread over colour space, compactly enough to keep for a million images, and
the two questions the catalogue asks of it: how much of an image lies within a colour difference of a
colour, and how alike two images' colours are.

A distribution is up to MAX_RECORDS records of the extension's `_colour_distribution`: groups of the
image's analysed pixels (as decoded, mask applied), each with its pixel-weighted mean colour in CIELAB,
its share of the pixels and its spread. The share of an image within CIEDE2000 T of a colour q counts
each group by the part of it expected within T, taking the group as a normal distribution along the
direction from q:

    share(q, T) = sum_k w_k * Phi((T - e_k) / s_k),   e_k = sqrt(d_k^2 + (r_k c_k)^2),   d_k = CIEDE2000(q, lab_k)

where s_k is the group's spread along that direction (a group without spread counts wholly or not at all),
c_k its spread across it and r_k the ratio of d_k to the distance in the space the spreads are given in:
a group's pixels lie on average farther from q than its mean. On real photos this is within one percentage
point of counting the pixels on the benchmark's 300 queries per tolerance, and about 1.2 at worst on larger
draws (benchmarks/bench_share_precision.py measures it, tests/test_colour_distribution.py and
tests/test_catalogue.py check it; benchmarks/bench_distribution.py times the kernel).

    >>> blob = colour_distribution(image)                  # bytes, 11 per record
    >>> Distributions.of([blob]).shares(srgb_to_lab([(135, 206, 235)]), 10.0)   # percent, per image
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .cielab import ciede2000

__all__ = [
    "MAX_RECORDS", "RATIO", "RECORD", "SIGNATURE", "TAIL", "Distributions", "colour_distribution", "signature",
    "warped",
]

RECORD = np.dtype([("lab", "<f2", 3), ("weight", "<u2"), ("spread", "u1", 3)])
MAX_RECORDS = 180
# A record's weight is its share of the pixels in units of 1/WEIGHT_UNIT.
WEIGHT_UNIT = 65535
# A group further than this many of its spreads outside the tolerance counts nothing: at most Phi(-4),
# 3e-5 of its weight, is left out. Each spread of tail widens the ball a search reads (6 read a third more
# records than 4 at a million images).
TAIL = 4.0
# CIEDE2000 over warped distance stays below 1.78 over every pair of sRGB colours (measured on millions
# of pairs at every scale); a spread along a direction is taken as at most this times the widest spread.
RATIO = 2.0

# The signature `similar` compares: record shares spread over the vertices of a grid in the warped space,
# SIGNATURE_STEP apart, by linear interpolation, so that near colours share vertices.
SIGNATURE = np.dtype([("vertex", "<u2"), ("weight", "<u2")])
SIGNATURE_STEP = 8.0
_SIGNATURE_LOW = np.array([0.0, -48.0, -48.0])
_SIGNATURE_SIZE = (14, 13, 13)
SIGNATURE_VERTICES = 14 * 13 * 13


def colour_distribution(image: NDArray[Any], mask: NDArray[Any] | None = None) -> bytes:
    """The distribution of a B, G, R image's pixels, those whose mask grey value is above 128 when a mask
    (height x width, or height x width x 3 B, G, R) is given."""
    import cv2

    from .color_extractor_cy import _colour_distribution

    if mask is not None and isinstance(mask, np.ndarray) and mask.ndim == 3:
        mask = cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)  # the extractor's own reduction of a colour mask
    return bytes(_colour_distribution(image, mask))


def records(blob: bytes) -> NDArray[Any]:
    if len(blob) % RECORD.itemsize:
        raise ValueError(f"a colour distribution of {len(blob)} bytes is not whole records")
    return np.frombuffer(blob, RECORD)


def warped(lab: ArrayLike) -> NDArray[np.float64]:
    """CIELAB with chroma compressed as CIEDE2000 weighs it (log(1 + 0.045 C) / 0.045, the hue kept):
    a space where Euclidean distance roughly follows CIEDE2000, in which the records' spreads are given."""
    values = np.asarray(lab, np.float64)
    chroma = np.hypot(values[..., 1], values[..., 2])
    with np.errstate(invalid="ignore", divide="ignore"):
        scale = np.where(chroma > 0, np.log1p(0.045 * chroma) / (0.045 * chroma), 1.0)
    out = values.copy()
    out[..., 1] *= scale
    out[..., 2] *= scale
    return out


def _spreads(codes: NDArray[np.uint8]) -> NDArray[np.float64]:
    """Standard deviations from their 8-bit codes: 0, or 2^(code / 16 - 5)."""
    return np.where(codes > 0, np.exp2(codes / 16.0 - 5.0), 0.0)


class Distributions:
    """The distributions of many images, record by record; the records of image i are
    starts[i]:starts[i + 1]."""

    def __init__(self, table: NDArray[Any], counts: NDArray[np.int64]) -> None:
        self.count = len(counts)
        self.starts = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
        self.owner = np.repeat(np.arange(self.count), counts)
        self.lab = table["lab"].astype(np.float64)
        self.weight = table["weight"].astype(np.float64) * (100.0 / WEIGHT_UNIT)  # percent
        self.sigma = _spreads(table["spread"])
        self.warp = warped(self.lab)
        # Leaves with no spread are counted by a hard step; others by their spread along the query direction.
        self.widest = self.sigma.max(axis=1) if len(table) else np.zeros(0)

    @classmethod
    def of(cls, blobs: Sequence[bytes]) -> Distributions:
        tables = [records(blob) for blob in blobs]
        counts = np.array([len(table) for table in tables], np.int64)
        table = np.concatenate(tables) if tables else np.zeros(0, RECORD)
        return cls(table, counts)

    def shares(self, query_lab: ArrayLike, tolerance: float) -> NDArray[np.float64]:
        """Per query colour (CIELAB rows) and image, the percent of the image's pixels within CIEDE2000
        `tolerance` of the colour."""
        queries = np.asarray(query_lab, np.float64).reshape(-1, 3)
        out = np.zeros((len(queries), self.count))
        for number, query in enumerate(queries):
            rows, part = self.parts(query, tolerance)
            out[number] = np.bincount(self.owner[rows], part, minlength=self.count)
        return out

    def parts(self, query: NDArray[np.float64], tolerance: float) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The records that hold some pixels within `tolerance` of `query`, and the percent of their
        image each contributes."""
        from scipy.special import ndtr  # type: ignore[import-untyped]

        # Cheap first cut: lightness alone. CIEDE2000 divides a lightness step by at most 1.75 and its
        # other terms add a non-negative amount, so |dL| / 1.75 bounds the difference from below; a
        # counted group is within the tolerance plus TAIL spreads.
        reach = tolerance + TAIL * RATIO * self.widest
        near = np.flatnonzero(np.abs(self.lab[:, 0] - query[0]) <= 1.75 * reach)
        difference = ciede2000(query, self.lab[near])
        offset = self.warp[near] - warped(query)
        apart = np.sqrt((offset * offset).sum(axis=1))
        squared = self.sigma[near] ** 2
        with np.errstate(invalid="ignore", divide="ignore"):
            squares = ((offset / apart[:, None]) ** 2 * squared).sum(axis=1)
            along = np.sqrt(squares) * difference / apart
            # A group's pixels lie farther from q than its mean, by its spread across the direction: the
            # sphere about q curves away from the plane a normal along the direction would cut at.
            scale = difference / apart
            farther = np.sqrt(difference**2 + np.maximum(squared.sum(axis=1) - squares, 0.0) * scale**2)
        # Capped at RATIO times the widest spread (never reached in practice), which the search's bounds rely on.
        spread = np.where((apart > 0) & np.isfinite(along), np.minimum(along, RATIO * self.widest[near]), 0.0)
        step = (difference <= tolerance).astype(np.float64)
        with np.errstate(invalid="ignore", divide="ignore"):
            soft = ndtr((tolerance - farther) / spread)
        fraction = np.where(spread > 0, soft, step)
        fraction[(spread > 0) & (farther - tolerance > TAIL * spread)] = 0.0
        # Nor beyond its reach, which bounds what the colour index reads (catalogue/colours.py).
        fraction[difference > reach[near]] = 0.0
        keep = fraction > 0
        return near[keep], fraction[keep] * self.weight[near[keep]]


def signature(blob: bytes) -> bytes:
    """The signature `similar` compares, of a distribution."""
    table = records(blob)
    return signature_of(table["lab"].astype(np.float64), table["weight"].astype(np.float64))


def signature_of(lab: NDArray[np.float64], weight: NDArray[np.float64]) -> bytes:
    """The records' weights spread over the grid's vertices by linear interpolation in the warped space,
    as SIGNATURE rows in vertex order, weights scaled to WEIGHT_UNIT in all."""
    if not len(lab) or weight.sum() <= 0:
        return b""
    position = (warped(lab) - _SIGNATURE_LOW) / SIGNATURE_STEP
    position = np.clip(position, 0, np.array(_SIGNATURE_SIZE) - 1.000001)
    base = np.floor(position).astype(np.int64)
    fraction = position - base
    vertices, weights = [], []
    for corner in range(8):
        bits = np.array([(corner >> 2) & 1, (corner >> 1) & 1, corner & 1])
        index = base + bits
        vertices.append(np.ravel_multi_index(index.T, _SIGNATURE_SIZE))
        weights.append(weight * np.prod(np.where(bits, fraction, 1 - fraction), axis=1))
    vertex = np.concatenate(vertices)
    total = np.bincount(vertex, np.concatenate(weights), minlength=SIGNATURE_VERTICES)
    used = np.flatnonzero(total > 0)
    scaled = np.round(total[used] / total.sum() * WEIGHT_UNIT)
    rows = np.zeros(int((scaled > 0).sum()), SIGNATURE)
    rows["vertex"], rows["weight"] = used[scaled > 0], scaled[scaled > 0]
    return rows.tobytes()
