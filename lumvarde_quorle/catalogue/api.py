"""The catalogue's interface: indexing, and the colour and palette queries."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping
from concurrent.futures import Executor
from contextlib import AbstractContextManager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, TypedDict

import numpy as np

from ..batch import map_images
from ..budget import PILLOW
from ..checks import finite_number, whole_number
from ..results import RGB
from ..settings import ExtractorSettings, bind_mask, is_alpha
from .palettes import (
    PaletteColor, _best, _palette_arrays, _Palettes, _rgb, checked_palette, lab_codes, query_colours, stored_form,
)
from .profile import Profile
from .storage import CatalogueError, Store, file_state

if TYPE_CHECKING:
    import sqlite3

    from ..color_extractor_cy import ColorExtractor

__all__ = ["Catalogue", "IndexSummary", "MatchedColor", "OnResult", "Profile", "SearchHit", "SimilarHit"]


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


class Catalogue:
    """One catalogue file. Open it with `create=True` to make it when missing (as `index` needs); a
    query on a missing file is an error. One object per thread; any number of processes may read while
    one writes. Every failure of the file, once open, is a CatalogueError."""

    def __init__(self, path: str | os.PathLike[str], *, create: bool = False) -> None:
        self.path = os.fspath(path)
        self._file = Store(self.path, create)
        self._cache: tuple[int, _Palettes] | None = None
        self._scoped: dict[tuple[int, frozenset[int] | None], _Palettes] = {}

    @property
    def _connection(self) -> sqlite3.Connection:
        return self._file.connection

    def close(self) -> None:
        self._file.close()

    def __enter__(self) -> Catalogue:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -------------------------------------------------------------- settings

    def profiles(self) -> list[Profile]:
        """The settings images were indexed with, oldest first."""
        return [profile for _, profile in self._profiles()]

    def _profiles(self) -> list[tuple[int, Profile]]:
        return [
            (number, Profile(n_colors, algorithm, bool(preprocessing), bool(lab_space), mask, digest))
            for number, n_colors, algorithm, preprocessing, lab_space, mask, digest in self._file.settings()
        ]

    def _scope(
        self, extractor: ColorExtractor | ExtractorSettings | None, mask: str | None, all_settings: bool
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

    def _palettes(self, settings: frozenset[int] | None) -> _Palettes:
        """The palette table of a scope, as of the current read transaction; reloaded only after a write."""
        generation = self._file.generation()
        if self._cache is None or self._cache[0] != generation:
            self._cache = (generation, _Palettes.of(self._file.palettes()))
            self._scoped.clear()
        palettes = self._cache[1]
        if settings is None:
            return palettes
        if (generation, settings) not in self._scoped:
            self._scoped[(generation, settings)] = palettes.select(np.isin(palettes.settings, list(settings)))
        return self._scoped[(generation, settings)]

    def search(
        self,
        colors: Iterable[RGB | str] | Mapping[str, RGB | str],
        *,
        max_distance: float = 30.0,
        min_share: float = 0.0,
        limit: int = 20,
        extractor: ColorExtractor | ExtractorSettings | None = None,
        mask: str | None = None,
        all_settings: bool = False,
    ) -> list[SearchHit]:
        """The images whose palette holds every query colour: for each, palette colours within
        `max_distance` LAB units of it that together make at least `min_share` percent of the palette.
        Ranked by the share of the palette within reach of any query colour, then by how near those
        colours are. `colors` are (R, G, B) colours or texts such as "#87ceeb", "135,206,235" or
        "skyblue", named by their hex codes; or a dict name -> colour."""
        queries = query_colours(colors)
        max_distance = finite_number(max_distance, "max_distance", minimum=0.0)
        min_share = finite_number(min_share, "min_share", minimum=0.0)
        limit = whole_number(limit, "limit", minimum=1)
        query_lab = lab_codes(list(queries.values()))
        with self._file.snapshot():
            _, scope = self._scope(extractor, mask, all_settings)
            palettes = self._palettes(scope)
            found = palettes.search(query_lab, max_distance, min_share, limit)
            paths = self._file.paths([int(palettes.ids[image]) for image in found.order])
            profiles = dict(self._profiles())
        labels = list(queries)
        hits: list[SearchHit] = []
        for image in found.order:
            path, settings_id = paths[int(palettes.ids[image])]
            colours: list[MatchedColor] = []
            for row in palettes.colours(int(image)):
                hit_labels = [labels[number] for number in range(len(labels)) if found.within[number, row]]
                colours.append({
                    "color": _rgb(palettes.rows["rgb"][row]), "percentage": float(palettes.share[row]),
                    "matched": hit_labels, "distance": float(found.nearest[row]) if hit_labels else None,
                })
            hits.append({
                "path": path, "matched_share": float(found.total[image]),
                "queries": {label: float(share[image]) for label, share in zip(labels, found.per_query)},
                "colors": colours, "settings": profiles[settings_id].as_dict(),
            })
        return hits

    def similar(
        self,
        query: str | os.PathLike[str] | Iterable[Mapping[str, Any]],
        *,
        limit: int = 20,
        extractor: ColorExtractor | ExtractorSettings | None = None,
        mask: str | None = None,
        all_settings: bool = False,
    ) -> list[SimilarHit]:
        """The images with the nearest palettes to an image's (a path) or to a palette of
        {"color": (R, G, B), "percentage": p}, nearest first, by `palette_distance`. The query image
        itself is left out; its palette is the catalogue's when it is indexed with the settings and
        unchanged since, else it is analysed now with them."""
        limit = whole_number(limit, "limit", minimum=1)
        path = os.path.abspath(os.fspath(query)) if isinstance(query, (str, os.PathLike)) else None
        profile, scope = self._scope(extractor, mask, all_settings)
        if path is None:
            lab, weights = _palette_arrays(query)  # type: ignore[arg-type]
        else:
            lab, weights = _palette_arrays(self._stored_palette(path, profile) or _analyse(path, profile))
        if not len(weights) or weights.sum() <= 0:
            raise CatalogueError("the query palette has no colours (every pixel masked out or dropped)")
        with self._file.snapshot():
            palettes = self._palettes(scope)
            distance = palettes.distances(lab, weights)
            keep = np.diff(palettes.starts) > 0
            if path is not None:
                keep &= ~np.isin(palettes.ids, self._file.ids_of(path))
            order = _best(np.flatnonzero(keep), [distance, palettes.ids], limit)
            paths = self._file.paths([int(palettes.ids[image]) for image in order])
            profiles = dict(self._profiles())
        hits: list[SimilarHit] = []
        for image in order:
            hit_path, settings_id = paths[int(palettes.ids[image])]
            hits.append({
                "path": hit_path, "distance": float(distance[image]), "colors": palettes.palette(int(image)),
                "settings": profiles[settings_id].as_dict(),
            })
        return hits

    def _stored_palette(self, path: str, profile: Profile) -> list[PaletteColor] | None:
        """The palette stored for `path` with the settings, if the file is as it was when indexed."""
        colours = self._file.stored_colours(path, profile.key)
        if colours is None:
            return None
        return [{"color": (r, g, b), "percentage": share} for r, g, b, share in colours]

    # -------------------------------------------------------------- writing

    def index(
        self,
        paths: Iterable[str | os.PathLike[str]],
        extractor: ColorExtractor | ExtractorSettings | None = None,
        *,
        mask: str | None = None,
        executor: Executor | None = None,
        prune: bool = False,
        on_result: OnResult | None = None,
        max_pending: int | None = None,
        max_pixels: int | Literal["pillow"] | None = PILLOW,
    ) -> IndexSummary:
        """Analyses the images with `extractor.extract_colors` (default ColorExtractor(); settings make
        their extractor where the images are analysed) through `lumvarde_quorle.batch.map_images` on
        `executor` (by default a process pool), and stores each image's palette or error as it arrives. A
        path given twice is analysed once; a file indexed with the same settings and unchanged since (size
        and modification time) is skipped; one that failed is tried again. With `prune`, images whose files
        are gone are removed, whatever their settings. `mask` is a mask file's path or ALPHA (each image's
        alpha channel). `max_pixels` is map_images' pixel budget: an image above it is stored as failed,
        without being decoded."""
        profile = Profile.of(extractor, mask)
        summary = IndexSummary(profile)
        report = on_result or (lambda path, status, error: None)
        settings_id = self._settings_id(profile)
        known = self._file.indexed(settings_id)
        states: dict[str, tuple[int, int] | None] = {}
        for given in paths:
            path = os.path.abspath(os.fspath(given))
            if path in states:
                continue
            states[path] = state = file_state(path)
            if state is not None and known.get(path) == state:
                summary.unchanged += 1
                report(path, "unchanged", None)
        todo = [path for path, state in states.items() if state is None or known.get(path) != state]
        operation = bind_mask(_extract_colors(extractor), profile.mask)
        results = map_images(operation, todo, executor=executor, max_pending=max_pending, max_pixels=max_pixels)
        for result in results:
            error = result.error
            if error is None:
                try:
                    palette = checked_palette(result.value)
                except ValueError as bad:
                    error = bad
            if error is None:
                self._store(settings_id, result.path, states[result.path], palette)
                summary.indexed += 1
                report(result.path, "indexed", None)
            else:
                with self._writing() as store:
                    store.put_image(settings_id, result.path, states[result.path], None, None, error)
                summary.failed += 1
                summary.failures.append((result.path, f"{type(error).__name__}: {error}"))
                report(result.path, "failed", error)
        if prune:
            for path in self._file.prune(lambda stored: file_state(stored) is None):
                summary.removed += 1
                report(path, "removed", None)
        return summary

    def _writing(self) -> AbstractContextManager[Store]:
        return self._file.writing()

    def _settings_id(self, profile: Profile) -> int:
        columns = (profile.n_colors, profile.algorithm, profile.preprocessing, profile.lab_space, profile.mask,
                   profile.mask_digest)
        return self._file.settings_id(profile.key, columns)

    def _store(
        self, settings_id: int, path: str, state: tuple[int, int] | None, palette: list[PaletteColor]
    ) -> None:
        with self._writing() as store:
            self._put(store, settings_id, path, state, palette)

    @staticmethod
    def _put(
        store: Store, settings_id: int, path: str, state: tuple[int, int] | None, palette: list[PaletteColor]
    ) -> None:
        """Stores an image's palette within the caller's write transaction."""
        colours, spread, blob = stored_form(palette)
        image_id = store.put_image(settings_id, path, state, spread, blob, None)
        store.put_colours((image_id, *colour) for colour in colours)

    # -------------------------------------------------------------- inspection

    def failures(self) -> list[tuple[str, str, str]]:
        """(path, error type, message) of every image whose last analysis failed."""
        return self._file.failures()

    def __len__(self) -> int:
        """The number of (path, settings) entries, failed ones included."""
        return self._file.count()


def _extract_colors(extractor: ColorExtractor | ExtractorSettings | None) -> Callable[..., Any]:
    """The extract_colors of an extractor as given (a subclass keeps its overrides), or a call that makes
    the settings' extractor where it runs."""
    if extractor is None or isinstance(extractor, ExtractorSettings):
        return ExtractorSettings.of(extractor).method("extract_colors")
    return extractor.extract_colors


def _analyse(path: str, profile: Profile) -> list[PaletteColor]:
    """The palette of an image file made now with the settings."""
    if profile.mask is not None and not is_alpha(profile.mask):
        if Profile.of(profile.settings(), profile.mask).key != profile.key:
            raise CatalogueError(f"the mask {profile.mask} changed since the images were indexed with it")
    return checked_palette(bind_mask(profile.extractor().extract_colors, profile.mask)(path))

