"""The colour index: every stored image's distribution records laid out for the colour search, and its
signatures by vertex for `similar`; derived from the catalogue file, which stays the only source of truth.

The records are bucketed by a grid over CIELAB and by how far beyond the tolerance they can count. Per
bucket, a posting list holds each image with records in it and their summed weight; a search adds up, per
image, the lists of the buckets near the query colour, each by the most a record of its reach can count at
the bucket's distance (a bound of its share), then evaluates the estimator of distribution.Distributions
natively on the images of highest bound only, from each image's own records kept in bucket order, until no
image left can enter the first `limit` (src/kernels/colour/index.hpp). The signatures are kept by vertex, so
`similar` reads only the vertices the query holds.

The index lives in a file beside the catalogue, "<catalogue>-colours", memory-mapped: a fresh process maps
it and the kernel reads only the pages it needs, with no copy and nothing to parse, where building it from
the catalogue's rows takes 3 to 6 s per 100,000 images on a busy machine (benchmarks/bench_catalogue.py; 4.4
KB per image beside the catalogue's 4.3 KB). Blobs per cell inside SQLite would keep one file but copy every
cell read out through sqlite3; they were not built to be measured. The file is stamped with the catalogue's
identity and generation and written whole to a temporary file renamed over the old one, so a reader maps an
old index or a new one, never half of one.

The index follows the catalogue's changes at their cost: that file is a base, of its generation, and the
catalogue's change log (statements.CHANGE_LOG, kept by triggers, so every writer fills it) names the images
inserted, changed or removed since. Those are masked out of the base, and the ones still indexed
successfully are indexed on their own, as they are now (a second part, searched beside the base: each part
gives its first `limit`, so their union holds the whole's); the part is written to "<catalogue>-colours-changes",
stamped with the base's generation and its own, so that other processes map it rather than build it. A
reader that finds no base the log reaches back to, or changes grown past an eighth of the base (or 2,000
images), builds the index whole from the rows of its own read transaction (never wrong, only slow, as
above) and writes it when it can; `index` leaves the files fresh at the end of a run, and forgets the log
before a base it built whole. A catalogue without an identity (made before it had one, until its next
index run) keeps its index in memory only; one without the log (made before it, until opened for writing)
is built whole at each new generation.
"""

from __future__ import annotations

import json
import mmap
import os
import tempfile
import warnings
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from ..distribution import RATIO, RECORD, SIGNATURE, SIGNATURE_VERTICES, TAIL
from .changes import changed, changes_from
from .palettes import PALETTE_ROW
from .statements import UPGRADABLE
from .storage import CatalogueError, Store

__all__ = [
    "CHANGES_SUFFIX", "SUFFIX", "ColourIndex", "Layered", "changes_sidecar", "damage", "damaged", "fresh_index",
    "write_index",
]

SUFFIX = "-colours"
CHANGES_SUFFIX = SUFFIX + "-changes"
# The changes since the base are kept beside it until they outgrow an eighth of it, or this many images
# (indexed in a fraction of a second), whichever is more; then the base is built whole again. The changes
# are indexed again from the log at each new generation, so this bounds what one refresh costs.
_CHANGES_SHARE = 8
_CHANGES_FLOOR = 2000
_COVERED = "covered"
_MAGIC = b"LQcolours\n"
# The layout of the file and of the native index's buckets; another layout is rebuilt.
_LAYOUT = 3
_PAGE = 4096
_ARRAYS = ("ids", "settings", "counts", "missing", "image_starts", "image_rows", "posting_starts", "posting_images",
           "posting_masses", "image_weights", "column_starts", "entry_images", "entry_weights", "damaged")


@dataclass
class ColourIndex:
    """The index of one catalogue generation. Image i of the index is the catalogue's image ids[i] (ids
    ascending), indexed with settings[i], with counts[i] distribution records; missing[i] when it was indexed
    before the catalogue held distributions."""

    identity: str | None
    generation: int
    ids: NDArray[np.int64]
    settings: NDArray[np.int64]
    counts: NDArray[np.int32]
    missing: NDArray[np.bool_]
    image_starts: NDArray[np.int64]
    image_rows: NDArray[np.uint8]
    posting_starts: NDArray[np.int64]
    posting_images: NDArray[np.uint32]
    posting_masses: NDArray[np.uint32]
    image_weights: NDArray[np.uint64]  # per image, its records' weights summed
    column_starts: NDArray[np.int64]
    entry_images: NDArray[np.uint32]
    entry_weights: NDArray[np.uint16]
    damaged: NDArray[np.int64]  # ids of the images left out because their rows are damaged
    _scopes: dict[Any, tuple[NDArray[np.bool_], int]] = field(default_factory=dict, repr=False)

    def scope(self, settings: frozenset[int] | None) -> tuple[NDArray[np.bool_], int]:
        """Which images a scope (settings ids, None: all) looks at, and how many of them lack a distribution."""
        if settings not in self._scopes:
            keep = np.ones(len(self.ids), bool) if settings is None else np.isin(self.settings, list(settings))
            self._scopes[settings] = (keep, int(np.count_nonzero(keep & self.missing)))
        return self._scopes[settings]

    def search(
        self, keep: NDArray[np.bool_], query_lab: NDArray[np.float64], tolerance: float, min_share: float, limit: int
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """The images (positions, in no order) of `keep` that are the first `limit` by the search's ranking
        (finding.search), and per image and query colour (CIELAB rows) the percent within CIEDE2000
        `tolerance`."""
        from ..color_extractor_cy import _colour_search

        return _colour_search(self.image_starts, self.image_rows, self.posting_starts, self.posting_images,
                              self.posting_masses, self.image_weights, self.ids, keep, query_lab, tolerance, min_share,
                              limit, TAIL, RATIO)

    def shared(self, vector: NDArray[np.float64]) -> NDArray[np.float64]:
        """Per image, the intersection of its signature with a dense signature vector."""
        from ..color_extractor_cy import _signature_shared

        return _signature_shared(self.column_starts, self.entry_images, self.entry_weights, len(self.ids), vector)


def sidecar(path: str) -> str:
    return path + SUFFIX


class Changes(NamedTuple):
    part: ColourIndex
    covered: NDArray[np.int64]


def changes_sidecar(path: str) -> str:
    return path + CHANGES_SUFFIX


@dataclass
class Layered:
    """The colour index of one catalogue generation: a base index of this generation or an earlier one,
    its images changed since (`covered`, ids ascending) masked out, and `changes`, the index of those of
    them still indexed successfully, as they are now. Image positions run over the base, then the changes."""

    base: ColourIndex
    changes: ColourIndex | None
    covered: NDArray[np.int64]
    generation: int
    ids: NDArray[np.int64] = field(init=False)
    settings: NDArray[np.int64] = field(init=False)
    counts: NDArray[np.int32] = field(init=False)
    missing: NDArray[np.bool_] = field(init=False)
    damaged: NDArray[np.int64] = field(init=False)
    alive: NDArray[np.bool_] = field(init=False)
    parts: tuple[ColourIndex, ...] = field(init=False)
    _scopes: dict[Any, tuple[NDArray[np.bool_], int]] = field(default_factory=dict, repr=False)

    def __post_init__(self) -> None:
        self.parts = (self.base,) if self.changes is None else (self.base, self.changes)
        for name in ("ids", "settings", "counts", "missing"):
            setattr(self, name, _joined([getattr(part, name) for part in self.parts]))
        self.damaged = np.setdiff1d(self.base.damaged, self.covered)
        self.alive = _joined([~np.isin(self.base.ids, self.covered)] + [
            np.ones(len(part.ids), bool) for part in self.parts[1:]])
        if self.changes is not None:
            self.damaged = np.union1d(self.damaged, self.changes.damaged)

    @property
    def identity(self) -> str | None:
        return self.base.identity

    def scope(self, settings: frozenset[int] | None) -> tuple[NDArray[np.bool_], int]:
        """Which images a scope (settings ids, None: all) looks at, and how many of them lack a distribution."""
        if settings not in self._scopes:
            keep = self.alive & _joined([part.scope(settings)[0] for part in self.parts])
            self._scopes[settings] = (keep, int(np.count_nonzero(keep & self.missing)))
        return self._scopes[settings]

    def warn_damaged(self, path: str) -> None:
        """Says which images the queries leave out because their rows are damaged."""
        if len(self.damaged):
            shown = ", ".join(map(str, self.damaged[:5])) + (", ..." if len(self.damaged) > 5 else "")
            warnings.warn(f"{path}: {len(self.damaged)} damaged images left out (ids {shown}); check the catalogue "
                          "to see what is wrong", stacklevel=4)

    def search(
        self, keep: NDArray[np.bool_], query_lab: NDArray[np.float64], tolerance: float, min_share: float, limit: int
    ) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
        """As ColourIndex.search, over each part: each gives its own first `limit` by the one ranking, so
        their union holds the first `limit` of the whole."""
        images, shares, offset = [], [], 0
        for part in self.parts:
            part_keep = np.ascontiguousarray(keep[offset:offset + len(part.ids)])
            if part_keep.any():
                found, found_shares = part.search(part_keep, query_lab, tolerance, min_share, limit)
                images.append(np.asarray(found, np.int64) + offset)
                shares.append(np.asarray(found_shares, np.float64).reshape(len(found), len(query_lab)))
            offset += len(part.ids)
        if not images:
            return np.zeros(0, np.int64), np.zeros((0, len(query_lab)))
        return np.concatenate(images), np.concatenate(shares)

    def shared(self, vector: NDArray[np.float64]) -> NDArray[np.float64]:
        """Per image, the intersection of its signature with a dense signature vector."""
        return _joined([part.shared(vector) for part in self.parts])


def _joined(arrays: list[NDArray[Any]]) -> NDArray[Any]:
    return arrays[0] if len(arrays) == 1 else np.concatenate(arrays)


def fresh_index(store: Store, cached: Layered | None) -> Layered:
    """The index of the catalogue as of the caller's read transaction: `cached` when it is of this
    generation; else a base index (cached or the file beside the catalogue) of this generation or an earlier
    one the change log reaches back to, with the images changed since (the file of changes when it is of
    this pair, else indexed now and written); else, when there is no such base or its changes have grown past
    a share of it, one built whole now (and written)."""
    if store.version == UPGRADABLE:
        store.palettes()  # says how to upgrade the catalogue
    identity, generation = store.identity(), store.generation()
    if cached is not None and (cached.identity, cached.generation) == (identity, generation):
        return cached
    if identity is None:
        return _whole(build(store, None, generation))
    read = _read(sidecar(store.path), identity)
    on_file = None if read is None else read.part
    logged = changes_from(store)
    bases = [] if logged is None else [
        index for index in (cached.base if cached is not None else None, on_file)
        if index is not None and logged <= index.generation <= generation
    ]
    if bases:
        base = max(bases, key=lambda index: index.generation)  # the cached one of a tie: mapped already
        layered = _with_changes(store, base, generation)
        if layered is not None:
            return layered
    built = build(store, identity, generation)
    if on_file is None or on_file.generation < generation:  # never over a newer one
        _write_if_possible(sidecar(store.path), built)
    return _whole(built)


def _whole(index: ColourIndex) -> Layered:
    return Layered(index, None, np.zeros(0, np.int64), index.generation)


def _with_changes(store: Store, base: ColourIndex, generation: int) -> Layered | None:
    """The base with its changes up to `generation`; None when they are too many to keep beside it."""
    if base.generation == generation:
        return _whole(base)
    path = changes_sidecar(store.path)
    found = _read(path, base.identity, base.generation)
    if found is not None and found.part.generation == generation:
        changes, covered = found
    else:
        covered = np.array(changed(store, base.generation), np.int64)
        if len(covered) > max(len(base.ids) // _CHANGES_SHARE, _CHANGES_FLOOR):
            return None
        changes = _indexed(store.index_rows_of(covered.tolist()), base.identity, generation)
        _write_if_possible(path, changes, base.generation, covered)
    return Layered(base, changes, covered, generation)


def _write_if_possible(path: str, index: ColourIndex, base: int | None = None,
                      covered: NDArray[np.int64] | None = None) -> None:
    try:
        write_index(path, index, base, covered)
    except OSError:
        pass  # a folder that cannot be written: the index serves this process only


def damage(row: tuple[Any, ...]) -> str | None:
    """What is wrong with a row of INDEX_ROWS, None when it can be searched."""
    _, settings_id, distribution, signature, palette, path_type, settings_exist = row
    if path_type not in ("text", "blob"):
        return f"its path is {path_type}"
    if not isinstance(settings_id, int) or not settings_exist:
        return "its settings are missing"
    if not isinstance(palette, bytes) or len(palette) % PALETTE_ROW.itemsize:
        return "its palette is damaged"
    if distribution is not None and (not isinstance(distribution, bytes) or len(distribution) % RECORD.itemsize):
        return "its colour distribution is damaged"
    if signature is not None and (
        not isinstance(signature, bytes) or len(signature) % SIGNATURE.itemsize
        or (np.frombuffer(signature, SIGNATURE)["vertex"] >= SIGNATURE_VERTICES).any()
    ):
        return "its signature is damaged"
    return None


def damaged(store: Store) -> list[str]:
    """Every indexed image whose stored colours cannot be searched, one line each."""
    return [f"image {row[0]}: {found}" for rows in store.index_rows() for row in rows if (found := damage(row))]


def build(store: Store, identity: str | None, generation: int) -> ColourIndex:
    """The index of every image indexed successfully, from the catalogue's rows; a damaged row is left
    out, so that one bad row costs that image only."""
    return _indexed((row for rows in store.index_rows() for row in rows), identity, generation)


def _indexed(rows: Iterable[tuple[Any, ...]], identity: str | None, generation: int) -> ColourIndex:
    """The index of rows of INDEX_ROWS, in id order."""
    from ..color_extractor_cy import _colour_postings

    ids, settings, counts, missing, signature_counts, damaged = [], [], [], [], [], []
    records, signatures = bytearray(), bytearray()
    for row in rows:
        if damage(row) is not None:
            damaged.append(row[0])
            continue
        number, settings_id, distribution, signature = row[:4]
        ids.append(number)
        settings.append(settings_id)
        missing.append(distribution is None)
        counts.append(len(distribution or b"") // RECORD.itemsize)
        records += distribution or b""
        signature_counts.append(len(signature or b"") // SIGNATURE.itemsize)
        signatures += signature or b""
    count_array = np.array(counts, np.int32)
    image_rows, posting_starts, posting_images, posting_masses = _colour_postings(
        np.frombuffer(records, np.uint8), count_array.astype(np.int64), TAIL * RATIO)
    weights = np.cumsum(np.frombuffer(records, RECORD)["weight"], dtype=np.uint64)
    summed = np.concatenate([np.zeros(1, np.uint64), weights])
    starts = np.concatenate([[0], np.cumsum(count_array, dtype=np.int64)])
    del records
    entries = np.frombuffer(signatures, SIGNATURE)
    owner = np.repeat(np.arange(len(ids), dtype=np.uint32), signature_counts)
    order = np.argsort(entries["vertex"], kind="stable")  # images stay ascending within each vertex
    per_vertex = np.bincount(entries["vertex"], minlength=SIGNATURE_VERTICES)[:SIGNATURE_VERTICES]
    return ColourIndex(
        identity, generation, np.array(ids, np.int64), np.array(settings, np.int64), count_array,
        np.array(missing, bool), starts, image_rows, posting_starts, posting_images, posting_masses,
        summed[starts[1:]] - summed[starts[:-1]],
        np.concatenate([[0], np.cumsum(per_vertex)]).astype(np.int64), owner[order],
        np.ascontiguousarray(entries["weight"][order]), np.array(damaged, np.int64),
    )


def write_index(path: str, index: ColourIndex, base: int | None = None,
                covered: NDArray[np.int64] | None = None) -> None:
    """Writes the index to `path` whole: a temporary file beside it, renamed over it. A file of changes
    names the generation of its `base` and the ids it `covered` there."""
    arrays = {name: np.ascontiguousarray(getattr(index, name)) for name in _ARRAYS}
    if covered is not None:
        arrays[_COVERED] = np.ascontiguousarray(covered, np.int64)
    layout, offset = {}, _PAGE
    for name, array in arrays.items():
        layout[name] = [array.dtype.str, list(array.shape), offset]
        offset += -(-array.nbytes // _PAGE) * _PAGE
    header = json.dumps({"layout": _LAYOUT, "identity": index.identity, "generation": index.generation,
                         "tail": TAIL, "ratio": RATIO, "arrays": layout}
                        | ({} if base is None else {"base": base})).encode()
    if len(_MAGIC) + len(header) > _PAGE:
        raise ValueError("the colour index header does not fit its page")
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out:
            out.write((_MAGIC + header).ljust(_PAGE, b"\0"))
            for name, array in arrays.items():
                out.seek(layout[name][2])
                out.write(memoryview(array.reshape(-1).view(np.uint8)))
            out.truncate(offset)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _read(path: str, identity: str | None, base: int | None = None) -> Changes | None:
    """The index file at `path`, memory-mapped, when it is of this catalogue and layout and, for a file of
    changes, of the `base` generation (None: a base index); None when it is missing, of another catalogue
    or not an index file. Its generation is the caller's to judge."""
    try:
        with open(path, "rb") as source:
            head = source.read(_PAGE)
            if not head.startswith(_MAGIC):
                return None
            header = json.loads(head[len(_MAGIC):].rstrip(b"\0"))
            if [header.get(key) for key in ("layout", "identity", "tail", "ratio", "base")] != [
                    _LAYOUT, identity, TAIL, RATIO, base] or not isinstance(header.get("generation"), int):
                return None
            mapped = mmap.mmap(source.fileno(), 0, access=mmap.ACCESS_READ)
        arrays = {}
        for name in _ARRAYS + ((_COVERED,) if base is not None else ()):
            dtype, shape, offset = header["arrays"][name]
            dtype = np.dtype(dtype)
            count = int(np.prod(shape, dtype=np.int64))
            if offset < _PAGE or offset + count * dtype.itemsize > len(mapped):
                return None
            arrays[name] = np.frombuffer(mapped, dtype, count, offset).reshape(shape)
    except (OSError, ValueError, TypeError, KeyError):
        return None
    index = ColourIndex(identity, header["generation"], *(arrays[name] for name in _ARRAYS))  # type: ignore[arg-type]
    return Changes(index, arrays.get(_COVERED, np.zeros(0, np.int64)))  # type: ignore[arg-type]
