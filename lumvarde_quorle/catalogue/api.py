"""The catalogue's interface: indexing, and the colour and palette queries."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Mapping
from concurrent.futures import Executor
from contextlib import AbstractContextManager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, cast

import numpy as np

from ..batch import map_images
from ..budget import PILLOW
from ..checks import finite_number, whole_number
from ..cielab import srgb_to_lab
from ..distribution import signature, signature_of
from ..results import RGB
from ..settings import AUTO, ExtractorSettings
from .analysis import Analysis, analyse, checked, extract_colors
from .changes import changes_from, trim
from .colours import damaged
from .layers import Layered, drop_layers, fresh_index
from .entries import Entries
from .finding import nearest_colours, search, signature_vector, similar
from .hits import MatchedColor, NearestColor, SearchHit, SimilarHit
from .palettes import MAX_PALETTE_COLOURS, PaletteColor, _Palettes, _rgb, bounded, query_colours, stored_form
from .profile import Profile
from .scope import Placement, Scope, choose, prunable
from .files import FileState, file_identity, file_state
from .storage import CatalogueError, Store

if TYPE_CHECKING:
    import sqlite3

    from ..color_extractor_cy import ColorExtractor

__all__ = [
    "DEFAULT_MIN_SHARE", "DEFAULT_TOLERANCE", "Catalogue", "IndexSummary", "MatchedColor", "NearestColor", "OnResult",
    "Profile", "SearchHit", "SimilarHit",
]

# A colour difference of 10 (CIEDE2000) holds the shades people give one name, sky blues or brick reds,
# and keeps neighbouring hues apart; 1 is about the least difference people notice side by side.
DEFAULT_TOLERANCE = 10.0
# Percent of an image's pixels a query colour must cover: a small accent counts, a speck does not.
DEFAULT_MIN_SHARE = 1.0


@dataclass
class IndexSummary:
    """What one index run did, image by image counted once."""

    profile: Profile
    indexed: int = 0
    unchanged: int = 0
    failed: int = 0
    removed: int = 0
    duplicates: int = 0  # paths passed over as other ways (links) to a file already taken
    failures: list[tuple[str, str]] = field(default_factory=list)  # (path, "Type: message")


# Called once per image as the run settles it: (path, status, error), status one of "indexed",
# "unchanged", "failed" (with the error), "duplicate" (another path to a file already taken) and, with
# prune, "removed".
OnResult = Callable[[str, str, BaseException | None], None]


class Catalogue:
    """One catalogue file. Open it with `create=True` to make it when missing (as `index` needs); a
    query on a missing file is an error. One object per thread; any number of processes may read while
    one writes. Every failure of the file, once open, is a CatalogueError."""

    def __init__(self, path: str | os.PathLike[str], *, create: bool = False) -> None:
        self.path = os.fspath(path)
        self._file = Store(self.path, create)
        self._colours: Layered | None = None

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
    ) -> Scope:
        return choose(self._file, self._profiles(), extractor, mask, all_settings)

    # -------------------------------------------------------------- reading

    def _index(self, scope: Scope) -> tuple[Layered, np.ndarray]:
        """The colour index as of the current read transaction, and which of its images a scope looks at.
        An error when some of those have no distribution yet, which a search would miss."""
        self._colours = index = fresh_index(self._file, self._colours)
        index.warn_damaged(self.path)
        keep, missing = index.scope(scope.settings)
        if scope.hidden:
            keep = keep & ~np.isin(index.ids, scope.hidden)
        if missing:
            raise CatalogueError(
                f"{self.path}: {missing} of {int(np.count_nonzero(keep))} images were indexed by an older version "
                "of lumvarde_quorle and have no colour distribution yet; run `index` on them again to upgrade the "
                "catalogue"
            )
        return index, keep

    def _palettes(self, index: Layered, images: np.ndarray) -> _Palettes:
        """The palettes of index images, in their order."""
        ids = [int(number) for number in index.ids[images]]
        blobs = self._file.palette_blobs(ids)
        return _Palettes.of(ids, [int(number) for number in index.settings[images]], [blobs[i] for i in ids])

    def search(
        self,
        colors: Iterable[RGB | str] | Mapping[str, RGB | str],
        *,
        tolerance: float = DEFAULT_TOLERANCE,
        min_share: float = DEFAULT_MIN_SHARE,
        limit: int = 20,
        extractor: ColorExtractor | ExtractorSettings | None = None,
        mask: str | None = AUTO,
        all_settings: bool = False,
        **retired: Any,
    ) -> list[SearchHit]:
        """The images in which every query colour covers at least `min_share` percent of the pixels within
        CIEDE2000 `tolerance` of it (colours as people see them: CIELAB under D65), ranked by that share,
        the least over the query colours when there are several. Shares are of the analysed pixels as
        decoded (the mask applies), from each image's stored colour distribution. `colors` are (R, G, B)
        colours or texts such as "#87ceeb", "135,206,235" or "skyblue", named by their hex codes; or a dict
        name -> colour. `extractor`, `mask` and `all_settings` choose the images looked at: by default those
        of the catalogue's only settings, an image's alpha channel counting where it has one (AUTO)."""
        if "max_distance" in retired:
            raise TypeError(
                "search() no longer takes max_distance (a distance between palette colours in 8-bit LAB codes): "
                "it counts pixels within tolerance, a CIEDE2000 colour difference (default 10)"
            )
        if retired:
            raise TypeError(f"search() got an unexpected keyword argument {next(iter(retired))!r}")
        queries = query_colours(colors)
        tolerance = finite_number(tolerance, "tolerance", minimum=0.0)
        min_share = finite_number(min_share, "min_share", minimum=0.0)
        limit = whole_number(limit, "limit", minimum=1)
        query_lab = srgb_to_lab(np.array(list(queries.values()), np.float64))
        with self._file.snapshot():
            index, keep = self._index(self._scope(extractor, mask, all_settings))
            found = search(index, keep, query_lab, tolerance, min_share, limit)
            paths = self._file.paths([int(index.ids[image]) for image in found.order])
            palettes = self._palettes(index, found.order)
            profiles = dict(self._profiles())
        labels = list(queries)
        nearest_rows, differences = nearest_colours(palettes, query_lab)
        hits: list[SearchHit] = []
        for column, image in enumerate(found.order):
            path, settings_id = paths[int(index.ids[image])]
            nearest: dict[str, NearestColor] = {}
            matched: dict[int, list[tuple[str, float]]] = {}
            for number, label in enumerate(labels):
                row, difference = int(nearest_rows[number, column]), float(differences[number, column])
                if np.isfinite(difference):
                    nearest[label] = {
                        "color": _rgb(palettes.rows["rgb"][row]), "percentage": float(palettes.share[row]),
                        "distance": difference,
                    }
                    if difference <= tolerance:  # marked only where the palette colour is the query colour
                        matched.setdefault(row, []).append((label, difference))
            colours: list[MatchedColor] = []
            for row in palettes.colours(column):
                near = matched.get(row, [])
                colours.append({
                    "color": _rgb(palettes.rows["rgb"][row]), "percentage": float(palettes.share[row]),
                    "matched": [label for label, _ in near], "distance": min((d for _, d in near), default=None),
                })
            per_query = {label: float(found.shares[number, column]) for number, label in enumerate(labels)}
            hits.append({
                "path": path, "share": min(per_query.values()), "queries": per_query, "nearest": nearest,
                "colors": colours, "settings": profiles[settings_id].as_dict(),
            })
        return hits

    def similar(
        self,
        query: str | bytes | os.PathLike[str] | os.PathLike[bytes] | Iterable[Mapping[str, Any]],
        *,
        limit: int = 20,
        extractor: ColorExtractor | ExtractorSettings | None = None,
        mask: str | None = AUTO,
        all_settings: bool = False,
        max_pixels: int | Literal["pillow"] | None = PILLOW,
    ) -> list[SimilarHit]:
        """The images whose colours are most alike an image's (a path) or a palette's of
        {"color": (R, G, B), "percentage": p}, most alike first. Alike means holding the same colours in
        the same amounts: the distance is the percent of an image's colour distribution that finds no
        match in the query's (the two spread over a grid in a CIELAB space scaled as CIEDE2000 weighs
        colour, compared by histogram intersection), so 0 is the same colours in the same amounts and 100
        nothing in common. The query image itself is left out; its distribution is the catalogue's when it
        is indexed with the settings and unchanged since, else it is analysed now, held to the pixel budget
        `max_pixels` as `index` holds images (ImageTooLargeError above it). A palette has at most
        MAX_PALETTE_COLOURS colours."""
        limit = whole_number(limit, "limit", minimum=1)
        path = os.path.abspath(os.fsdecode(query)) if isinstance(query, (str, bytes, os.PathLike)) else None
        scope = self._scope(extractor, mask, all_settings)
        if path is None:
            colours = [
                (_rgb(entry["color"]), float(entry["percentage"]))
                for entry in bounded(cast(Iterable[Mapping[str, Any]], query), MAX_PALETTE_COLOURS, "palette colours")
            ]
            if any(not np.isfinite(share) or share < 0 for _, share in colours):
                raise ValueError("palette shares must be finite and not negative")
            lab = srgb_to_lab(np.array([rgb for rgb, _ in colours], np.float64).reshape(-1, 3))
            blob = signature_of(lab, np.array([share for _, share in colours], np.float64))
        else:
            stored = next(filter(None, (
                self._file.stored_colours(path, scope.profile.resolved(alpha).key) for alpha in (True, False)
            )), None)
            blob = signature(stored[1] if stored is not None else analyse(path, scope.profile, max_pixels)[1])
        if not blob:
            raise CatalogueError("the query has no colours (every pixel masked out or dropped)")
        with self._file.snapshot():
            index, keep = self._index(scope)
            exclude = self._file.ids_of(path) if path is not None else []
            order, distance = similar(index, keep, signature_vector(blob), limit, exclude)
            paths = self._file.paths([int(index.ids[image]) for image in order])
            palettes = self._palettes(index, order)
            profiles = dict(self._profiles())
        hits: list[SimilarHit] = []
        for column, image in enumerate(order):
            hit_path, settings_id = paths[int(index.ids[image])]
            hits.append({
                "path": hit_path, "distance": float(distance[image]), "colors": palettes.palette(column),
                "settings": profiles[settings_id].as_dict(),
            })
        return hits

    # -------------------------------------------------------------- writing

    def index(
        self,
        paths: Iterable[str | os.PathLike[str]],
        extractor: ColorExtractor | ExtractorSettings | None = None,
        *,
        mask: str | None = AUTO,
        executor: Executor | None = None,
        prune: bool | Iterable[str | os.PathLike[str]] = False,
        on_result: OnResult | None = None,
        max_pending: int | None = None,
        max_pixels: int | Literal["pillow"] | None = PILLOW,
        processes: bool = False,
        timeout: float | None = None,
    ) -> IndexSummary:
        """Analyses the images with `extractor.extract_colors` (default ColorExtractor(); settings make their
        extractor where the images are analysed) through `lumvarde_quorle.batch.map_images` on `executor` (by
        default threads, one per core; `processes=True`: map_images' worker processes, which survive a
        worker's crash but need a script's calls under ``if __name__ == "__main__":``), and stores each
        image's palette or error as it arrives. A path given twice is analysed once, a file reached by several
        paths (links, loops of linked folders) is stored once, under the first given; a file indexed with the
        same settings and unchanged since (size, modification and change times and inode) is skipped; one
        that failed is tried again. `prune` removes, whatever their settings, the images whose files are gone
        from below its roots: the folders holding `paths` when True, else the folders and files it lists;
        never below a root that is itself missing (a disk not mounted now), nor anywhere else. `mask` is a
        mask file's path, ALPHA (each image's alpha channel), AUTO (the default: the alpha channel where the
        image has one; an image without one is stored under the settings without a mask, so that catalogues
        indexed before need not analyse it again) or None (every pixel). `max_pixels` is map_images' pixel
        budget: an image above it is stored as failed, without being decoded. `timeout` is map_images' time
        limit per image in a worker process: an image that takes longer is stored as failed (TimeoutError)."""
        profile = Profile.of(extractor, mask)
        summary = IndexSummary(profile)
        report = on_result or (lambda path, status, error: None)
        placement = Placement(self._file, self._profiles(), profile)
        states: dict[str, FileState | None] = {}
        todo: list[str] = []
        files: set[tuple[int, int]] = set()
        for given in paths:
            path = os.path.abspath(os.fspath(given))
            if path in states:
                continue
            identity = file_identity(path)
            if identity in files:
                summary.duplicates += 1
                report(path, "duplicate", None)
                continue
            if identity is not None:
                files.add(identity)
            states[path] = state = file_state(path)
            if placement.unchanged(path, state):
                summary.unchanged += 1
                report(path, "unchanged", None)
            else:
                todo.append(path)
        operation = Analysis(extract_colors(extractor), profile.mask)
        results = map_images(operation, todo, executor=executor, max_pending=max_pending, max_pixels=max_pixels,
                             processes=processes, timeout=timeout)
        for result in results:
            error = result.error
            if error is None:
                try:
                    palette, distribution, alpha = checked(result.value)
                except ValueError as bad:
                    error = bad
            if error is None:
                settings_id = placement.settings_id(result.path, alpha)
                self._store(settings_id, result.path, states[result.path], palette, distribution)
                summary.indexed += 1
                report(result.path, "indexed", None)
            else:
                settings_id = placement.settings_id(result.path, None)
                with self._writing() as store:
                    store.put_image(settings_id, result.path, states[result.path], None, None, error)
                summary.failed += 1
                summary.failures.append((result.path, f"{type(error).__name__}: {error}"))
                report(result.path, "failed", error)
        if prune is not False:
            roots = {os.path.dirname(path) for path in states} if prune is True else [os.fspath(r) for r in prune]
            for path in self._file.prune(prunable(roots)):
                summary.removed += 1
                report(path, "removed", None)
        self._refresh_index()
        return summary

    def _refresh_index(self) -> None:
        """Leaves the colour index files fresh, so that the next query in any process maps them at once; after
        the base is built whole again, the change log before it is no longer needed, nor ever an image's
        entries before its latest."""
        self._file.mark()
        with self._file.snapshot():
            self._colours = index = fresh_index(self._file, self._colours)
            logged = changes_from(self._file)
        if logged is not None:
            trim(self._file, index.base.generation if logged < index.base.generation else None)
        if not index.layers:
            drop_layers(self.path)

    def _writing(self) -> AbstractContextManager[Store]:
        return self._file.writing()

    def _settings_id(self, profile: Profile) -> int:
        return self._file.settings_id(profile.key, profile.columns())

    def _store(
        self, settings_id: int, path: str, state: FileState | None, palette: list[PaletteColor],
        distribution: bytes,
    ) -> None:
        with self._writing() as store:
            self._put(store, settings_id, path, state, palette, distribution)

    @staticmethod
    def _put(
        store: Store, settings_id: int, path: str, state: FileState | None, palette: list[PaletteColor],
        distribution: bytes,
    ) -> None:
        """Stores an image's palette and distribution within the caller's write transaction."""
        colours, spread, blob = stored_form(palette)
        image_id = store.put_image(
            settings_id, path, state, spread, blob, None, distribution, signature(distribution)
        )
        store.put_colours((image_id, *colour) for colour in colours)

    # -------------------------------------------------------------- inspection

    def check(self) -> list[str]:
        """What is wrong with the catalogue, one line each; empty when nothing is: SQLite's own checks of
        the file and its references, then every indexed image whose stored colours cannot be searched."""
        with self._file.snapshot():
            return self._file.problems() + damaged(self._file)

    def entries(self) -> Entries:
        """Single entries by id, and counts per settings: what a browser of the catalogue reads."""
        return Entries(self._file, self._profiles)

    def failures(self) -> list[tuple[str, str, str]]:
        """(path, error type, message) of every image whose last analysis failed."""
        return self._file.failures()

    def __len__(self) -> int:
        """The number of (path, settings) entries, failed ones included."""
        return self._file.count()

