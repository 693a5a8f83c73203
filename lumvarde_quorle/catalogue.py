"""A catalogue of image palettes in one SQLite file, to find images by colour.

    from lumvarde_quorle import ColorExtractor
    from lumvarde_quorle.catalogue import Catalogue

    with Catalogue("photos.db", create=True) as catalogue:
        catalogue.index(["shots/a.jpg", "shots/b.jpg"], ColorExtractor(n_colors=6))
        for hit in catalogue.search(["#87ceeb"], max_distance=20):
            print(hit["path"], hit["matched_share"])
        for hit in catalogue.similar("shots/a.jpg", limit=5):
            print(hit["path"], hit["distance"])

Per image the catalogue keeps its path, size and modification time, the extractor settings it was
analysed with (n_colors, algorithm, preprocessing, lab_space and the mask), and its dominant colours with
their shares and 8-bit LAB codes; an image that failed is kept with its error. Indexing is incremental:
an unchanged file indexed with the same settings is skipped, a changed one and one that failed are
analysed again. Every image is committed on its own, so an interrupted run keeps what it finished.

A query looks only at images indexed with one set of settings: the ones given, else the catalogue's only
settings; `all_settings=True` looks at every image. Colour distances are the extractor's: Euclidean
distance between OpenCV's 8-bit LAB codes, the units of the match report.

The file is in WAL mode: searches run while an index is being written and see the catalogue as of one
commit.
"""

from __future__ import annotations

import functools
import hashlib
import json
import math
import os
import sqlite3
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Executor
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, TypedDict

import numpy as np
from numpy.typing import NDArray

from .batch import PILLOW, map_images
from .names import parse_color
from .results import RGB

if TYPE_CHECKING:
    from .color_extractor_cy import ColorExtractor

__all__ = [
    "ALPHA", "Catalogue", "CatalogueError", "IndexSummary", "Profile", "SearchHit", "SimilarHit", "PaletteColor",
    "MatchedColor", "palette_distance",
]

# The schema this version reads and writes (PRAGMA user_version), and the mark of a catalogue file
# (PRAGMA application_id, "LQCa").
SCHEMA_VERSION = 1
APPLICATION_ID = 0x4C514361
# mask="alpha": each image's own alpha channel; a mask file of that name is ./alpha.
ALPHA = "alpha"

_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE settings (
    id INTEGER PRIMARY KEY,
    key TEXT NOT NULL UNIQUE,
    n_colors INTEGER NOT NULL,
    algorithm TEXT,
    preprocessing INTEGER NOT NULL,
    lab_space INTEGER NOT NULL,
    mask TEXT,
    mask_digest TEXT
);
CREATE TABLE images (
    id INTEGER PRIMARY KEY,
    path NOT NULL,
    settings_id INTEGER NOT NULL REFERENCES settings (id),
    size INTEGER,
    mtime_ns INTEGER,
    spread REAL,
    palette BLOB,
    error_type TEXT,
    error_message TEXT,
    indexed_at REAL NOT NULL,
    UNIQUE (path, settings_id)
);
CREATE TABLE colors (
    image_id INTEGER NOT NULL REFERENCES images (id) ON DELETE CASCADE,
    rank INTEGER NOT NULL,
    r INTEGER NOT NULL,
    g INTEGER NOT NULL,
    b INTEGER NOT NULL,
    share REAL NOT NULL,
    lab_l INTEGER NOT NULL,
    lab_a INTEGER NOT NULL,
    lab_b INTEGER NOT NULL,
    PRIMARY KEY (image_id, rank)
) WITHOUT ROWID;
INSERT INTO meta VALUES ('generation', 0);
"""


class CatalogueError(Exception):
    """The file is missing, not a catalogue, of another schema version, or the query cannot be answered."""


class PaletteColor(TypedDict):
    """One colour of an image's palette, as the extractor gives it."""

    color: RGB
    percentage: float


class MatchedColor(TypedDict):
    """A palette colour in a search result: the query colours within reach and the nearest one's distance."""

    color: RGB
    percentage: float
    matched: list[str]
    distance: float | None


class SearchHit(TypedDict):
    path: str
    matched_share: float  # percent of the palette within reach of any query colour
    queries: dict[str, float]  # per query colour, the percent of the palette within its reach
    colors: list[MatchedColor]
    settings: dict[str, Any]


class SimilarHit(TypedDict):
    path: str
    distance: float  # the palette distance, in LAB units
    colors: list[PaletteColor]
    settings: dict[str, Any]


@dataclass(frozen=True)
class Profile:
    """The extractor settings an image was analysed with. `mask` is None, ALPHA or a mask file's path;
    a mask file is known by its content's digest, so an edited mask is other settings."""

    n_colors: int = 5
    algorithm: str | None = "kmeans"
    preprocessing: bool = True
    lab_space: bool = True
    mask: str | None = None
    mask_digest: str | None = None

    @property
    def key(self) -> str:
        mask = "none" if self.mask is None else ALPHA if self.mask_digest is None else self.mask_digest
        return json.dumps(
            [self.n_colors, self.algorithm, self.preprocessing, self.lab_space, mask], separators=(",", ":")
        )

    def as_dict(self) -> dict[str, Any]:
        return {
            "n_colors": self.n_colors, "algorithm": self.algorithm, "preprocessing": self.preprocessing,
            "lab_space": self.lab_space, "mask": self.mask,
        }

    def describe(self) -> str:
        mask = "none" if self.mask is None else self.mask
        yes = {True: "yes", False: "no"}
        return (
            f"n_colors={self.n_colors}, algorithm={self.algorithm}, preprocessing={yes[self.preprocessing]}, "
            f"lab_space={yes[self.lab_space]}, mask={mask}"
        )

    def extractor(self) -> ColorExtractor:
        from .color_extractor_cy import ColorExtractor

        return ColorExtractor(self.n_colors, self.algorithm, self.preprocessing, self.lab_space)

    @classmethod
    def of(cls, extractor: ColorExtractor | None = None, mask: str | os.PathLike[str] | None = None) -> Profile:
        """The settings of an extractor (default: ColorExtractor()) used with `mask`."""
        algorithm, lab_space, n_colors, preprocessing = _extractor_state(extractor)
        if mask is None or mask == ALPHA:
            return cls(n_colors, algorithm, preprocessing, lab_space, mask and ALPHA)
        if not isinstance(mask, (str, os.PathLike)):
            raise TypeError(f"mask must be None, {ALPHA!r} or a mask file's path, not {type(mask).__name__}")
        path = os.path.abspath(os.fspath(mask))
        try:
            with open(path, "rb") as file:
                digest = "sha256:" + hashlib.file_digest(file, "sha256").hexdigest()
        except OSError as error:
            raise CatalogueError(f"cannot read the mask {path}: {error.strerror}") from None
        return cls(n_colors, algorithm, preprocessing, lab_space, path, digest)


def _extractor_state(extractor: ColorExtractor | None) -> tuple[str | None, bool, int, bool]:
    """(algorithm, lab_space, n_colors, preprocessing) of an extractor, read from its pickled state, the
    one place every extractor class keeps them."""
    if extractor is None:
        from .color_extractor_cy import ColorExtractor

        extractor = ColorExtractor()
    reduced = extractor.__reduce__()
    state = reduced[2] if len(reduced) > 2 and reduced[2] is not None else reduced[1][2]
    algorithm, lab_space, n_colors, preprocessing = state[:4]
    return algorithm, bool(lab_space), int(n_colors), bool(preprocessing)


@dataclass
class IndexSummary:
    """What one index run did, image by image counted once."""

    profile: Profile
    indexed: int = 0
    unchanged: int = 0
    failed: int = 0
    removed: int = 0
    failures: list[tuple[str, str]] = field(default_factory=list)  # (path, "Type: message")


# Called once per image as the run settles it: (path, status, error), status one of "indexed",
# "unchanged", "failed" (with the error) and, with prune, "removed".
OnResult = Callable[[str, str, BaseException | None], None]


# ---------------------------------------------------------------- palettes and distances


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


# ---------------------------------------------------------------- stored paths

# Paths, and error messages that quote them, are stored as text when they have a UTF-8 form without
# NUL, else as the bytes of their UTF-8 form with surrogates passed through: every str a path can be
# round-trips, and one path is always stored alike.


def _stored_text(path: str) -> str | bytes:
    if "\0" not in path:
        try:
            path.encode("utf-8")
            return path
        except UnicodeEncodeError:
            pass
    return path.encode("utf-8", "surrogatepass")


def _loaded_text(value: str | bytes) -> str:
    return value if isinstance(value, str) else value.decode("utf-8", "surrogatepass")


def _file_state(path: str) -> tuple[int, int] | None:
    """(size, modification time in ns) of a file, None when it cannot be found."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return status.st_size, status.st_mtime_ns


# ---------------------------------------------------------------- the in-memory palette table


# One colour of images.palette, the copy of an image's colours the queries load in one read.
_PALETTE_ROW = np.dtype([("rgb", "u1", 3), ("lab", "u1", 3), ("share", "<f8")])
# Squared LAB distances of 8-bit codes are at most this (3 x 255^2).
_LARGEST_SQUARE = 3 * 255**2


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

    def colours(self, image: int) -> range:
        return range(int(self.starts[image]), int(self.starts[image + 1]))

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


def _load_palettes(connection: sqlite3.Connection) -> _Palettes:
    images = connection.execute(
        "SELECT id, settings_id, spread, palette FROM images WHERE error_type IS NULL ORDER BY id"
    ).fetchall()
    blobs = [row[3] for row in images]
    return _Palettes(
        np.array([row[0] for row in images], np.int64), np.array([row[1] for row in images], np.int64),
        np.array([row[2] for row in images], np.float64),
        np.array([len(blob) // _PALETTE_ROW.itemsize for blob in blobs], np.int64),
        np.frombuffer(b"".join(blobs), _PALETTE_ROW),
    )


def _best(found: NDArray[np.int64], keys: Sequence[NDArray[Any]], limit: int) -> NDArray[np.int64]:
    """The first `limit` of `found` in order of the keys (the first key first), cut down before sorting."""
    if len(found) > limit:
        first = keys[0][found]
        found = found[first <= np.partition(first, limit - 1)[limit - 1]]
    return found[np.lexsort([key[found] for key in reversed(keys)])][:limit]


# ---------------------------------------------------------------- the catalogue


class Catalogue:
    """One catalogue file. Open it with `create=True` to make it when missing (as `index` needs); a
    query on a missing file is an error. One object per thread; any number of processes may read while
    one writes."""

    def __init__(self, path: str | os.PathLike[str], *, create: bool = False) -> None:
        self.path = os.fspath(path)
        self._connection = _connect(self.path, create)
        self._cache: tuple[int, _Palettes] | None = None
        self._scoped: dict[tuple[int, frozenset[int] | None], _Palettes] = {}

    def close(self) -> None:
        self._connection.close()

    def __enter__(self) -> Catalogue:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -------------------------------------------------------------- settings

    def profiles(self) -> list[Profile]:
        """The settings images were indexed with, oldest first."""
        return [profile for _, profile in self._profiles()]

    def _profiles(self) -> list[tuple[int, Profile]]:
        rows = self._connection.execute(
            "SELECT id, n_colors, algorithm, preprocessing, lab_space, mask, mask_digest FROM settings ORDER BY id"
        ).fetchall()
        return [(row[0], Profile(row[1], row[2], bool(row[3]), bool(row[4]), row[5], row[6])) for row in rows]

    def _scope(
        self, extractor: ColorExtractor | None, mask: str | None, all_settings: bool
    ) -> tuple[Profile, frozenset[int] | None]:
        """The settings a query's own palette is made with, and the settings ids it looks at (None: all)."""
        profiles = self._profiles()
        if extractor is not None or mask is not None:
            profile = Profile.of(extractor, mask)
            chosen = frozenset(number for number, known in profiles if known.key == profile.key)
        elif len(profiles) == 1:
            profile, chosen = profiles[0][1], frozenset([profiles[0][0]])
        elif all_settings:
            profile, chosen = Profile.of(), frozenset()
        elif not profiles:
            raise CatalogueError(f"{self.path}: the catalogue holds no images")
        else:
            listed = "\n".join(f"  {known.describe()}" for _, known in profiles)
            raise CatalogueError(
                f"{self.path}: images were indexed with {len(profiles)} different settings; give the settings "
                f"to look at (or ask for all of them):\n{listed}"
            )
        return profile, None if all_settings else chosen

    # -------------------------------------------------------------- reading

    @contextmanager
    def _snapshot(self) -> Iterator[None]:
        """A read transaction: everything read inside it is the catalogue as of one commit."""
        self._connection.execute("BEGIN")
        try:
            yield
        finally:
            self._connection.execute("COMMIT")

    def _palettes(self, settings: frozenset[int] | None) -> _Palettes:
        """The palette table of a scope, as of the current read transaction; reloaded only after a write."""
        (generation,) = self._connection.execute("SELECT value FROM meta WHERE key = 'generation'").fetchone()
        if self._cache is None or self._cache[0] != generation:
            self._cache = (generation, _load_palettes(self._connection))
            self._scoped.clear()
        palettes = self._cache[1]
        if settings is None:
            return palettes
        if (generation, settings) not in self._scoped:
            self._scoped[(generation, settings)] = palettes.select(np.isin(palettes.settings, list(settings)))
        return self._scoped[(generation, settings)]

    def _paths(self, ids: Sequence[int]) -> dict[int, tuple[str, int]]:
        found: dict[int, tuple[str, int]] = {}
        for first in range(0, len(ids), 500):  # SQLite takes a limited number of parameters
            part = ids[first : first + 500]
            rows = self._connection.execute(
                f"SELECT id, path, settings_id FROM images WHERE id IN ({','.join('?' * len(part))})", part
            )
            found.update((row[0], (_loaded_text(row[1]), row[2])) for row in rows)
        return found

    def search(
        self,
        colors: Iterable[RGB | str] | Mapping[str, RGB | str],
        *,
        max_distance: float = 30.0,
        min_share: float = 0.0,
        limit: int = 20,
        extractor: ColorExtractor | None = None,
        mask: str | None = None,
        all_settings: bool = False,
    ) -> list[SearchHit]:
        """The images whose palette holds every query colour: for each, palette colours within
        `max_distance` LAB units of it that together make at least `min_share` percent of the palette.
        Ranked by the share of the palette within reach of any query colour, then by how near those
        colours are. `colors` are (R, G, B) colours or texts such as "#87ceeb", "135,206,235" or
        "skyblue", named by their hex codes; or a dict name -> colour."""
        queries = _queries(colors)
        max_distance = _finite(max_distance, "max_distance", 0.0)
        min_share = _finite(min_share, "min_share", 0.0)
        limit = _limit(limit)
        query_lab = lab_codes(list(queries.values()))
        with self._snapshot():
            _, scope = self._scope(extractor, mask, all_settings)
            palettes = self._palettes(scope)
            count = len(palettes.ids)
            within = np.zeros((len(queries), len(palettes.share)), bool)
            nearest = np.full(len(palettes.share), np.inf)
            holds = np.ones(count, bool)
            per_query = []
            for number, lab in enumerate(query_lab):
                rows, distance = palettes.within(lab, max_distance)
                within[number, rows] = True
                nearest[rows] = np.minimum(nearest[rows], distance)
                share = np.bincount(palettes.owner[rows], palettes.share[rows], minlength=count)
                holds &= (share > 0) & (share >= min_share)
                per_query.append(share)
            matched = np.flatnonzero(within.any(axis=0))
            owners, shares = palettes.owner[matched], palettes.share[matched]
            total = np.bincount(owners, shares, minlength=count)
            with np.errstate(invalid="ignore", divide="ignore"):
                mean_distance = np.bincount(owners, shares * nearest[matched], minlength=count) / total
            order = _best(np.flatnonzero(holds), [-total, mean_distance, palettes.ids], limit)
            paths = self._paths([int(palettes.ids[image]) for image in order])
            profiles = dict(self._profiles())
        labels = list(queries)
        hits: list[SearchHit] = []
        for image in order:
            path, settings_id = paths[int(palettes.ids[image])]
            colours: list[MatchedColor] = []
            for row in palettes.colours(int(image)):
                hit_labels = [labels[number] for number in range(len(labels)) if within[number, row]]
                colours.append({
                    "color": _rgb(palettes.rows["rgb"][row]), "percentage": float(palettes.share[row]),
                    "matched": hit_labels, "distance": float(nearest[row]) if hit_labels else None,
                })
            hits.append({
                "path": path, "matched_share": float(total[image]),
                "queries": {label: float(share[image]) for label, share in zip(labels, per_query)},
                "colors": colours, "settings": profiles[settings_id].as_dict(),
            })
        return hits

    def similar(
        self,
        query: str | os.PathLike[str] | Iterable[Mapping[str, Any]],
        *,
        limit: int = 20,
        extractor: ColorExtractor | None = None,
        mask: str | None = None,
        all_settings: bool = False,
    ) -> list[SimilarHit]:
        """The images with the nearest palettes to an image's (a path) or to a palette of
        {"color": (R, G, B), "percentage": p}, nearest first, by `palette_distance`. The query image
        itself is left out; its palette is the catalogue's when it is indexed with the settings and
        unchanged since, else it is analysed now with them."""
        limit = _limit(limit)
        path = os.path.abspath(os.fspath(query)) if isinstance(query, (str, os.PathLike)) else None
        profile, scope = self._scope(extractor, mask, all_settings)
        if path is None:
            lab, weights = _palette_arrays(query)  # type: ignore[arg-type]
        else:
            lab, weights = _palette_arrays(self._stored_palette(path, profile) or _analyse(path, profile))
        if not len(weights) or weights.sum() <= 0:
            raise CatalogueError("the query palette has no colours (every pixel masked out or dropped)")
        own_spread = _spread(lab, weights)
        with self._snapshot():
            palettes = self._palettes(scope)
            distance = np.maximum(0.0, 2 * palettes.cross_distance(lab, weights) - palettes.spread - own_spread)
            keep = np.diff(palettes.starts) > 0
            if path is not None:
                keep &= ~np.isin(palettes.ids, self._ids_of(path))
            order = _best(np.flatnonzero(keep), [distance, palettes.ids], limit)
            paths = self._paths([int(palettes.ids[image]) for image in order])
            profiles = dict(self._profiles())
        hits: list[SimilarHit] = []
        for image in order:
            hit_path, settings_id = paths[int(palettes.ids[image])]
            hits.append({
                "path": hit_path, "distance": float(distance[image]),
                "colors": [
                    {"color": _rgb(palettes.rows["rgb"][row]), "percentage": float(palettes.share[row])}
                    for row in palettes.colours(int(image))
                ],
                "settings": profiles[settings_id].as_dict(),
            })
        return hits

    def _ids_of(self, path: str) -> list[int]:
        rows = self._connection.execute("SELECT id FROM images WHERE path = ?", (_stored_text(path),))
        return [row[0] for row in rows]

    def _stored_palette(self, path: str, profile: Profile) -> list[PaletteColor] | None:
        """The palette stored for `path` with the settings, if the file is as it was when indexed."""
        with self._snapshot():
            row = self._connection.execute(
                "SELECT i.id, i.size, i.mtime_ns FROM images i JOIN settings s ON s.id = i.settings_id "
                "WHERE i.path = ? AND s.key = ? AND i.error_type IS NULL",
                (_stored_text(path), profile.key),
            ).fetchone()
            if row is None or _file_state(path) != (row[1], row[2]):
                return None
            colours = self._connection.execute(
                "SELECT r, g, b, share FROM colors WHERE image_id = ? ORDER BY rank", (row[0],)
            ).fetchall()
        return [{"color": (r, g, b), "percentage": share} for r, g, b, share in colours]

    # -------------------------------------------------------------- writing

    def index(
        self,
        paths: Iterable[str | os.PathLike[str]],
        extractor: ColorExtractor | None = None,
        *,
        mask: str | None = None,
        executor: Executor | None = None,
        prune: bool = False,
        on_result: OnResult | None = None,
        max_pending: int | None = None,
        max_pixels: int | Literal["pillow"] | None = PILLOW,
    ) -> IndexSummary:
        """Analyses the images with `extractor.extract_colors` (default ColorExtractor()) through
        `lumvarde_quorle.batch.map_images` on `executor` (by default a process pool), and stores each
        image's palette or error as it arrives. A path given twice is analysed once; a file indexed with
        the same settings and unchanged since (size and modification time) is skipped; one that failed
        is tried again. With `prune`, images whose files are gone are removed, whatever their settings.
        `mask` is a mask file's path or ALPHA (each image's alpha channel). `max_pixels` is map_images'
        pixel budget: an image above it is stored as failed, without being decoded."""
        if extractor is None:
            from .color_extractor_cy import ColorExtractor

            extractor = ColorExtractor()
        profile = Profile.of(extractor, mask)
        summary = IndexSummary(profile)
        report = on_result or (lambda path, status, error: None)
        settings_id = self._settings_id(profile)
        known = {
            _loaded_text(row[0]): (row[1], row[2])
            for row in self._connection.execute(
                "SELECT path, size, mtime_ns FROM images WHERE settings_id = ? AND error_type IS NULL", (settings_id,)
            )
        }
        states: dict[str, tuple[int, int] | None] = {}
        for given in paths:
            path = os.path.abspath(os.fspath(given))
            if path in states:
                continue
            states[path] = state = _file_state(path)
            if state is not None and known.get(path) == state:
                summary.unchanged += 1
                report(path, "unchanged", None)
        todo = [path for path, state in states.items() if state is None or known.get(path) != state]
        operation: Callable[..., Any] = extractor.extract_colors
        options: dict[str, Any] = {}
        if profile.mask == ALPHA:
            operation = _bound_alpha(operation)
        elif profile.mask is not None:
            options["mask"] = profile.mask
        results = map_images(
            operation, todo, executor=executor, max_pending=max_pending, max_pixels=max_pixels, **options
        )
        for result in results:
            error = result.error
            if error is None:
                try:
                    palette = _checked_palette(result.value)
                except ValueError as bad:
                    error = bad
            if error is None:
                self._store(settings_id, result.path, states[result.path], palette)
                summary.indexed += 1
                report(result.path, "indexed", None)
            else:
                self._store_error(settings_id, result.path, states[result.path], error)
                summary.failed += 1
                summary.failures.append((result.path, f"{type(error).__name__}: {error}"))
                report(result.path, "failed", error)
        if prune:
            for path in self._prune():
                summary.removed += 1
                report(path, "removed", None)
        return summary

    @contextmanager
    def _writing(self) -> Iterator[sqlite3.Connection]:
        """One write transaction, which also tells readers' caches that the catalogue changed."""
        connection = self._connection
        connection.execute("BEGIN IMMEDIATE")
        try:
            yield connection
            connection.execute("UPDATE meta SET value = value + 1 WHERE key = 'generation'")
        except BaseException:
            connection.execute("ROLLBACK")
            raise
        connection.execute("COMMIT")

    def _settings_id(self, profile: Profile) -> int:
        with self._writing() as connection:
            connection.execute(
                "INSERT INTO settings (key, n_colors, algorithm, preprocessing, lab_space, mask, mask_digest) "
                "VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (key) DO NOTHING",
                (profile.key, profile.n_colors, profile.algorithm, profile.preprocessing, profile.lab_space,
                 profile.mask, profile.mask_digest),
            )
            (number,) = connection.execute("SELECT id FROM settings WHERE key = ?", (profile.key,)).fetchone()
        return int(number)

    def _store(
        self, settings_id: int, path: str, state: tuple[int, int] | None, palette: list[PaletteColor]
    ) -> None:
        with self._writing() as connection:
            self._put(connection, settings_id, path, state, palette)

    def _put(
        self, connection: sqlite3.Connection, settings_id: int, path: str, state: tuple[int, int] | None,
        palette: list[PaletteColor],
    ) -> None:
        """Stores an image's palette within the caller's write transaction."""
        rgb = [entry["color"] for entry in palette]
        shares = np.array([entry["percentage"] for entry in palette], np.float64)
        lab = lab_codes(rgb)
        spread = _spread(lab, _weights(shares)) if len(palette) else 0.0
        rows = np.zeros(len(palette), _PALETTE_ROW)
        rows["rgb"], rows["lab"], rows["share"] = np.reshape(rgb, (-1, 3)), lab, shares
        size, mtime = state if state is not None else (None, None)
        image_id = self._image_row(connection, settings_id, path, size, mtime, spread, rows.tobytes(), None, None)
        connection.executemany(
            "INSERT INTO colors VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [
                (image_id, rank, *colour, float(share), *map(int, codes))
                for rank, (colour, share, codes) in enumerate(zip(rgb, shares, lab))
            ],
        )

    def _store_error(self, settings_id: int, path: str, state: tuple[int, int] | None, error: BaseException) -> None:
        size, mtime = state if state is not None else (None, None)
        with self._writing() as connection:
            self._image_row(connection, settings_id, path, size, mtime, None, None, type(error).__name__, str(error))

    @staticmethod
    def _image_row(
        connection: sqlite3.Connection, settings_id: int, path: str, size: int | None, mtime: int | None,
        spread: float | None, palette: bytes | None, error_type: str | None, error_message: str | None,
    ) -> int:
        (image_id,) = connection.execute(
            "INSERT INTO images (path, settings_id, size, mtime_ns, spread, palette, error_type, error_message, "
            "indexed_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (path, settings_id) DO UPDATE SET "
            "size = excluded.size, mtime_ns = excluded.mtime_ns, spread = excluded.spread, palette = excluded.palette, "
            "error_type = excluded.error_type, error_message = excluded.error_message, "
            "indexed_at = excluded.indexed_at RETURNING id",
            (_stored_text(path), settings_id, size, mtime, spread, palette, error_type,
             None if error_message is None else _stored_text(error_message), time.time()),
        ).fetchone()
        connection.execute("DELETE FROM colors WHERE image_id = ?", (image_id,))
        return int(image_id)

    def _prune(self) -> list[str]:
        stored = [row[0] for row in self._connection.execute("SELECT DISTINCT path FROM images")]
        gone = [value for value in stored if _file_state(_loaded_text(value)) is None]
        with self._writing() as connection:
            for value in gone:
                connection.execute("DELETE FROM images WHERE path = ?", (value,))
        return [_loaded_text(value) for value in gone]

    # -------------------------------------------------------------- inspection

    def failures(self) -> list[tuple[str, str, str]]:
        """(path, error type, message) of every image whose last analysis failed."""
        rows = self._connection.execute(
            "SELECT path, error_type, error_message FROM images WHERE error_type IS NOT NULL ORDER BY id"
        )
        return [(_loaded_text(path), kind, _loaded_text(message)) for path, kind, message in rows]

    def __len__(self) -> int:
        """The number of (path, settings) entries, failed ones included."""
        return int(self._connection.execute("SELECT count(*) FROM images").fetchone()[0])


def _bound_alpha(operation: Callable[..., Any]) -> Callable[..., Any]:
    import functools

    from .images import apply_with_alpha_mask

    return functools.partial(apply_with_alpha_mask, operation)


def _checked_palette(value: Any) -> list[PaletteColor]:
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


def _analyse(path: str, profile: Profile) -> list[PaletteColor]:
    """The palette of an image file made now with the settings."""
    from .images import apply_with_alpha_mask

    extractor = profile.extractor()
    if profile.mask == ALPHA:
        value = apply_with_alpha_mask(extractor.extract_colors, path)
    else:
        if profile.mask is not None and Profile.of(extractor, profile.mask).key != profile.key:
            raise CatalogueError(f"the mask {profile.mask} changed since the images were indexed with it")
        value = extractor.extract_colors(path, profile.mask)
    return _checked_palette(value)


def _queries(colors: Iterable[RGB | str] | Mapping[str, RGB | str]) -> dict[str, RGB]:
    from .records import hex_rgb

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


def _finite(value: float, name: str, low: float) -> float:
    number = float(value)
    if not math.isfinite(number) or number < low:
        raise ValueError(f"{name} must be a finite number of at least {low:g}, got {value!r}")
    return number


def _limit(limit: int) -> int:
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"limit must be a whole number of at least 1, got {limit!r}")
    return limit


# ---------------------------------------------------------------- the file


def _connect(path: str, create: bool) -> sqlite3.Connection:
    """A connection to a catalogue of this schema, made when missing and `create` is set."""
    exists = os.path.exists(path)
    if not exists and not create:
        raise CatalogueError(f"{path}: no such catalogue")
    if exists and not os.path.isfile(path):
        raise CatalogueError(f"{path}: not a catalogue (not a file)")
    uri = Path(path).absolute().as_uri() + ("?mode=rwc" if create else "?mode=rw")
    try:
        connection = sqlite3.connect(uri, uri=True, isolation_level=None, timeout=60.0)
    except sqlite3.Error as error:
        raise CatalogueError(f"{path}: cannot open the catalogue: {error}") from None
    try:
        _check_or_create(connection, path, create)
    except BaseException:
        connection.close()
        raise
    return connection


def _check_or_create(connection: sqlite3.Connection, path: str, create: bool) -> None:
    try:
        connection.execute("PRAGMA foreign_keys = ON")
        application, version, tables = _identity(connection)
        if application == 0 and tables == 0 and create:
            connection.execute("PRAGMA journal_mode = WAL")
            connection.execute("BEGIN IMMEDIATE")
            try:
                application, version, tables = _identity(connection)
                if application == 0 and tables == 0:  # not made meanwhile by another process
                    _create_schema(connection)
                    application, version, tables = _identity(connection)
                connection.execute("COMMIT")
            except BaseException:
                connection.execute("ROLLBACK")
                raise
        connection.execute("PRAGMA synchronous = NORMAL")
    except sqlite3.DatabaseError as error:
        raise CatalogueError(f"{path}: not a catalogue ({error})") from None
    if application != APPLICATION_ID:
        what = "an empty file" if application == 0 and tables == 0 else "another kind of SQLite file"
        raise CatalogueError(f"{path}: not a catalogue ({what})")
    if version != SCHEMA_VERSION:
        newer = "a newer" if version > SCHEMA_VERSION else "an older"
        raise CatalogueError(
            f"{path}: the catalogue was written by {newer} version of lumvarde_quorle (schema {version}; this "
            f"version reads schema {SCHEMA_VERSION}); index the images into a new catalogue"
        )


def _identity(connection: sqlite3.Connection) -> tuple[int, int, int]:
    (application,) = connection.execute("PRAGMA application_id").fetchone()
    (version,) = connection.execute("PRAGMA user_version").fetchone()
    (tables,) = connection.execute("SELECT count(*) FROM sqlite_master").fetchone()
    return int(application), int(version), int(tables)


def _create_schema(connection: sqlite3.Connection) -> None:
    for statement in _SCHEMA.split(";"):
        if statement.strip():
            connection.execute(statement)
    connection.execute(f"PRAGMA application_id = {APPLICATION_ID}")
    connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
