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
the catalogue's rows takes 3 to 6 s per 100,000 images on a busy machine (benchmarks/bench_catalogue.py; 4.0
KB per image beside the catalogue's 4.3 KB). Blobs per cell inside SQLite would keep one file but copy every
cell read out through sqlite3; they were not built to be measured. The file is stamped with the catalogue's
identity and generation and written whole to a temporary file renamed over the old one, so a reader maps an
old index or a new one, never half of one. How the index follows the catalogue's changes without
being built whole again: layers.py.
"""

from __future__ import annotations

import json
import mmap
import os
import tempfile
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

from ..distribution import RATIO, RECORD, SIGNATURE, SIGNATURE_VERTICES, TAIL
from .palettes import PALETTE_ROW
from .storage import CatalogueError, Store

__all__ = ["SUFFIX", "Changes", "ColourIndex", "damage", "damaged", "write_index"]

SUFFIX = "-colours"
_COVERED = "covered"
_MAGIC = b"LQcolours\n"
# The layout of the file and of the native index's buckets; another layout is rebuilt.
_LAYOUT = 5
_PAGE = 4096
_ARRAYS = ("ids", "settings", "counts", "missing", "image_starts", "image_rows", "posting_buckets", "posting_starts",
           "posting_entries", "image_weights", "column_starts", "entry_images", "entry_weights", "damaged")


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
    posting_buckets: NDArray[np.uint32]
    posting_starts: NDArray[np.int64]
    posting_entries: NDArray[np.uint32]
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

        return _colour_search(self.image_starts, self.image_rows, self.posting_buckets, self.posting_starts,
                              self.posting_entries, self.image_weights, self.ids, keep, query_lab, tolerance, min_share,
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
    image_rows, posting_buckets, posting_starts, posting_entries = _colour_postings(
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
        np.array(missing, bool), starts, image_rows, posting_buckets, posting_starts, posting_entries,
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
