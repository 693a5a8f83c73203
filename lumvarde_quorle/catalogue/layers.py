"""The colour index kept up to date at the cost of each change, not built whole again after every `index`
run: a base index (colours.py, the file "<catalogue>-colours") of some generation, and the changes since.

The catalogue's change log (statements.CHANGE_LOG, kept by triggers, so every writer fills it) names the
images inserted, changed or removed by the commits since a generation. Those since the base are masked out
of it, and the ones still indexed successfully are indexed on their own, as they are now, in layers: each
layer holds the changes since the part before it (the base, or the layer before), is masked where a later
layer holds an image again, and is searched beside the others (each part gives its first `limit` by the
one ranking, so their union holds the whole's). A refresh indexes the changes since the deepest part that
is still large beside them as a new last layer, written to "<catalogue>-colours-changes" (then "-2", "-3")
and stamped with the catalogue's identity, the generation of the part before it and its own, temporary
file renamed like the base, so that other processes map it rather than index it again and never take a
layer of another history. A reader that finds no base the log reaches back to, or changes grown past an
eighth of the base (or 2,000 images), builds the index whole from the rows of its own read transaction
(never wrong, only slow) and writes it when it can; `index` leaves the files fresh at the end of a run,
and forgets the log before a base it built whole. A catalogue without an identity (made before it had
one, until its next index run) keeps its index in memory only; one without the log (made before it, until
opened for writing) is built whole at each new generation.
"""

from __future__ import annotations

import os
import warnings
from contextlib import suppress
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .changes import changed, changes_from
from .colours import SUFFIX, Changes, ColourIndex, _indexed, _read, build, sidecar, write_index
from .statements import UPGRADABLE
from .storage import Store

__all__ = ["CHANGES_SUFFIX", "Layered", "drop_layers", "fresh_index", "layer_path"]

CHANGES_SUFFIX = SUFFIX + "-changes"
# The changes since the base are kept beside it until they outgrow an eighth of it, or this many images
# (indexed in a fraction of a second), whichever is more; then the base is built whole again. They are kept
# in up to _LEVELS parts, each holding the changes since the one before it and kept until they outgrow an
# eighth of that one: a refresh indexes again only the changes since the deepest part that stays, so its
# cost follows the change, not all the changes since the base, and each part costs the searches little.
_CHANGES_SHARE = 8
_CHANGES_FLOOR = 2000
_LEVELS = 3


@dataclass
class Layered:
    """The colour index of one catalogue generation: a base index of this generation or an earlier one,
    then `layers`, each the index of the images changed since the generation of the part before it (its
    `covered` ids, ascending) still indexed successfully, as they are at its own generation; each part's
    images changed in a later part are masked out. Image positions run over the base, then the layers."""

    base: ColourIndex
    layers: tuple[Changes, ...]
    generation: int
    ids: NDArray[np.int64] = field(init=False)
    settings: NDArray[np.int64] = field(init=False)
    counts: NDArray[np.int32] = field(init=False)
    missing: NDArray[np.bool_] = field(init=False)
    damaged: NDArray[np.int64] = field(init=False)
    alive: NDArray[np.bool_] = field(init=False)
    covered: NDArray[np.int64] = field(init=False)  # every image changed since the base
    parts: tuple[ColourIndex, ...] = field(init=False)
    _scopes: dict[Any, tuple[NDArray[np.bool_], int]] = field(default_factory=dict, repr=False)

    def __post_init__(self) -> None:
        self.parts = (self.base, *(layer.part for layer in self.layers))
        for name in ("ids", "settings", "counts", "missing"):
            setattr(self, name, _joined([getattr(part, name) for part in self.parts]))
        later, alive = np.zeros(0, np.int64), []
        self.damaged = self.base.damaged
        for changes in self.layers:
            self.damaged = _merged(self.damaged[_without(self.damaged, changes.covered)], changes.part.damaged)
        for part, layer in zip(self.parts[::-1], (*self.layers[::-1], None)):
            alive.append(_without(part.ids, later))
            later = later if layer is None else _merged(later, layer.covered)
        self.alive, self.covered = _joined(alive[::-1]), later

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


def _without(ids: NDArray[np.int64], removed: NDArray[np.int64]) -> NDArray[np.bool_]:
    """Which of the ascending `ids` are not among the ascending `removed`: the few looked up in the many,
    where np.isin would sort the many (60 ms at a million ids)."""
    kept = np.ones(len(ids), bool)
    at = np.searchsorted(ids, removed)
    found = at < len(ids)
    kept[at[found][ids[at[found]] == removed[found]]] = False
    return kept


def _merged(first: NDArray[np.int64], second: NDArray[np.int64]) -> NDArray[np.int64]:
    """The union of two ascending arrays of distinct ids, ascending. Not np.union1d: the first np.unique of a
    process imports numpy.ma, 40 ms of a fresh reader's first search."""
    if not len(first):
        return second
    if not len(second):
        return first
    both = np.sort(np.concatenate([first, second]))
    return both[np.concatenate([[True], both[1:] != both[:-1]])]


def _joined(arrays: list[NDArray[Any]]) -> NDArray[Any]:
    return arrays[0] if len(arrays) == 1 else np.concatenate(arrays)


def fresh_index(store: Store, cached: Layered | None) -> Layered:
    """The index of the catalogue as of the caller's read transaction: `cached` when it is of this
    generation; else a base index (cached or the file beside the catalogue) of this generation or an earlier
    one the change log reaches back to, with the images changed since (the files of changes that follow it,
    or the cached ones, and the changes since them indexed now and written); else, when there is no such
    base or its changes have grown past a share of it, one built whole now (and written)."""
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
        chains = [_layers_on_file(store.path, base, generation)]
        if cached is not None and cached.base is base:
            chains.append(tuple(layer for layer in cached.layers if layer.part.generation <= generation))
        chain = max(chains, key=lambda layers: layers[-1].part.generation if layers else base.generation)
        layered = _followed(store, base, chain, generation)
        if layered is not None:
            return layered
    built = build(store, identity, generation)
    if on_file is None or on_file.generation < generation:  # never over a newer one
        _write_if_possible(sidecar(store.path), built)
    return _whole(built)


def _whole(index: ColourIndex) -> Layered:
    return Layered(index, (), index.generation)


def layer_path(path: str, level: int) -> str:
    """The file of the changes at `level` (0: those since the base) of the catalogue at `path`."""
    return path + CHANGES_SUFFIX + (f"-{level + 1}" if level else "")


def drop_layers(path: str) -> None:
    """Removes the files of changes of the catalogue at `path`, of an older base once it is built whole: only
    their space to give back (a reader's map outlives them)."""
    for level in range(_LEVELS):
        with suppress(OSError):
            os.unlink(layer_path(path, level))


def _layers_on_file(path: str, base: ColourIndex, generation: int) -> tuple[Changes, ...]:
    """The files of changes that follow the base one after the other, up to `generation`."""
    layers: list[Changes] = []
    while len(layers) < _LEVELS:
        since = layers[-1].part.generation if layers else base.generation
        found = _read(layer_path(path, len(layers)), base.identity, since)
        if found is None or not since < found.part.generation <= generation:
            break
        layers.append(found)
    return tuple(layers)


def _followed(store: Store, base: ColourIndex, layers: tuple[Changes, ...], generation: int) -> Layered | None:
    """The base and its layers brought up to `generation`: the changes since the deepest of them that stays
    small beside the part before it indexed as a new last layer; None when even the changes since the base
    are too many to keep beside it."""
    last = layers[-1].part.generation if layers else base.generation
    if last == generation or not changed(store, last):  # commits that changed no image: settings, identity
        return Layered(base, layers, generation)
    for level in range(min(len(layers), _LEVELS - 1), -1, -1):
        since = layers[level - 1].part.generation if level else base.generation
        covered = np.array(changed(store, since), np.int64)
        beside = len(layers[level - 1].covered) if level else len(base.ids)
        if len(covered) <= max(beside // _CHANGES_SHARE, 0 if level else _CHANGES_FLOOR):
            part = _indexed(store.index_rows_of(covered.tolist()), base.identity, generation)
            _write_if_possible(layer_path(store.path, level), part, since, covered)
            return Layered(base, (*layers[:level], Changes(part, covered)), generation)
    return None


def _write_if_possible(path: str, index: ColourIndex, base: int | None = None,
                      covered: NDArray[np.int64] | None = None) -> None:
    try:
        write_index(path, index, base, covered)
    except OSError:
        pass  # a folder that cannot be written: the index serves this process only
