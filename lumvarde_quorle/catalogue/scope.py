"""Which stored settings a query looks at, and under which settings `index` stores each image.

With the mask AUTO an image with an alpha channel is stored under the ALPHA settings and one without under
the None settings, which are also what catalogues indexed before AUTO hold: their images without alpha are
taken as they are, and a query looks at both settings, an image's ALPHA entry hiding its None entry.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ..budget import without_alpha
from ..settings import ExtractorSettings, is_auto
from .profile import Profile
from .files import FileState, file_state
from .storage import CatalogueError, Store

if TYPE_CHECKING:
    from ..color_extractor_cy import ColorExtractor

__all__ = ["Placement", "Scope", "choose"]


@dataclass(frozen=True)
class Scope:
    """The settings a query's own palette is made with, the settings ids it looks at (None: all) and the
    image ids it leaves out (None entries hidden by an ALPHA entry of the same image)."""

    profile: Profile
    settings: frozenset[int] | None
    hidden: tuple[int, ...] = ()


def choose(
    store: Store, profiles: list[tuple[int, Profile]], extractor: ColorExtractor | ExtractorSettings | None,
    mask: str | None, all_settings: bool,
) -> Scope:
    """The scope of a query. Without an extractor and with the mask AUTO (the default), the catalogue's only
    settings, None and ALPHA counting as one."""
    groups = {known.per_image().key: known.per_image() for _, known in profiles}
    if extractor is not None or not is_auto(mask):
        profile = Profile.of(extractor, mask)
    elif len(groups) == 1:
        (profile,) = groups.values()
    elif all_settings:
        return Scope(Profile.of(None, mask), None)
    elif not profiles:
        raise CatalogueError(f"{store.path}: the catalogue holds no images")
    else:
        listed = "\n".join(f"  {known.describe()}" for known in groups.values())
        raise CatalogueError(
            f"{store.path}: images were indexed with {len(groups)} different settings; give the settings "
            f"to look at (or ask for all of them):\n{listed}"
        )
    if all_settings:
        return Scope(profile, None)
    ids = {known.key: number for number, known in profiles}
    plain, alpha = ids.get(profile.resolved(False).key), ids.get(profile.resolved(True).key)
    chosen = frozenset(number for number in (plain, alpha) if number is not None)
    hidden = store.shadowed(plain, alpha) if plain is not None and alpha is not None and plain != alpha else []
    return Scope(profile, chosen, tuple(hidden))


class Placement:
    """Where one index run stores each image: under its settings, or with AUTO under the ALPHA or the None
    settings by whether the image turned out to have an alpha channel."""

    def __init__(self, store: Store, profiles: list[tuple[int, Profile]], profile: Profile) -> None:
        self._store = store
        self._auto = is_auto(profile.mask)
        self._stored = {alpha: profile.resolved(alpha) for alpha in (False, True)}
        ids = {known.key: number for number, known in profiles}
        self._ids = {alpha: ids[known.key] for alpha, known in self._stored.items() if known.key in ids}
        self._known = {alpha: store.indexed(number) for alpha, number in self._ids.items()}

    def unchanged(self, path: str, state: FileState | None) -> bool:
        """Whether the file is indexed as it is now; a None entry counts for AUTO when the file's header
        rules out an alpha channel (a catalogue indexed before AUTO holds None entries only)."""
        if state is None:
            return False
        if not self._auto:
            return self._known.get(False, {}).get(path) == state
        if self._known.get(True, {}).get(path) == state:
            return True
        return self._known.get(False, {}).get(path) == state and without_alpha(path)

    def settings_id(self, path: str, alpha: bool | None) -> int:
        """The settings id to store an image under: by `alpha`, or for a failed image (None) where it last
        succeeded. With AUTO an image found without alpha loses an ALPHA entry it no longer has."""
        if alpha is None:
            alpha = path in self._known.get(True, {})
        if self._auto and not alpha and path in self._known.get(True, {}):
            with self._store.writing() as store:
                store.remove(path, self._ids[True])
        if alpha not in self._ids:
            self._ids[alpha] = self._store.settings_id(self._stored[alpha].key, self._stored[alpha].columns())
        return self._ids[alpha]


def prunable(roots: Iterable[str]) -> Callable[[str], bool]:
    """Whether a stored path is to be pruned: its file gone from below one of the roots, a root that is
    itself missing (a disk not mounted now) keeping every entry below it."""
    present = [os.path.abspath(root).rstrip(os.sep) for root in roots if os.path.exists(root)]
    return lambda path: file_state(path) is None and any(
        path == root or path.startswith(root + os.sep) for root in present
    )
