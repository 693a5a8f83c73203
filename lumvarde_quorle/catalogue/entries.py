"""Single catalogue entries by id, for browsing: an entry whole (path, settings, palette, distribution or
error), the ids of the images a query found, and what the catalogue holds per settings. Ids are stable: an
image indexed again keeps its id, one pruned loses it."""

from __future__ import annotations

from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

from .palettes import PaletteColor
from .profile import Profile
from .statements import COLOURS_OF, ENTRIES_AT, ENTRY, FIRST_FAILURES, SETTINGS_COUNTS
from .storage import Store, loaded_text, stored_text

__all__ = ["Entries", "Entry", "SettingsCount", "Summary"]

# Paths per statement: SQLite builds differ in how many parameters one statement takes.
_PATHS_PER_STATEMENT = 500


@dataclass(frozen=True)
class Entry:
    """One (path, settings) entry: its palette and distribution, or the error of its last analysis."""

    id: int
    path: str
    profile: Profile
    size: int | None
    mtime_ns: int | None
    indexed_at: float
    colors: list[PaletteColor]
    distribution: bytes | None
    error: tuple[str, str] | None  # (type, message)


@dataclass(frozen=True)
class SettingsCount:
    profile: Profile
    entries: int
    failed: int


@dataclass(frozen=True)
class Summary:
    generation: int
    counts: list[SettingsCount]
    failures: list[tuple[int, str, str, str]]  # (id, path, error type, message)


class Entries:
    """Reads entries of one open catalogue file, each call as of one commit."""

    def __init__(self, store: Store, profiles: Callable[[], list[tuple[int, Profile]]]) -> None:
        self._store = store
        self._profiles = profiles

    def identity(self) -> str | None:
        """The catalogue's identity, which its copies share and no other catalogue has; None for a catalogue
        made before catalogues had one, until its next index run."""
        return self._store.identity()

    def get(self, image_id: int) -> Entry | None:
        """The entry with this id, None when there is none (never was, or pruned since)."""
        with self._store.snapshot():
            found = self._store.row(ENTRY, (image_id,))
            if found is None:
                return None
            number, path, settings_id, size, mtime_ns, kind, message, indexed_at, distribution = found
            colours = self._store.rows(COLOURS_OF, (number,)) if kind is None else []
            profiles = dict(self._profiles())
        return Entry(
            int(number), loaded_text(path), profiles[settings_id], size, mtime_ns, float(indexed_at),
            [{"color": (int(r), int(g), int(b)), "percentage": float(share)} for r, g, b, share in colours],
            distribution if isinstance(distribution, bytes) else None,
            None if kind is None else (str(kind), loaded_text(message or "")),
        )

    def ids(self, found: Iterable[tuple[str, dict[str, Any]]]) -> list[int | None]:
        """The id of each (path, settings as a hit gives them), None for one gone since it was found."""
        wanted = list(found)
        paths = sorted({path for path, _ in wanted})
        known: dict[tuple[str, str], int] = {}
        with self._store.snapshot():
            profiles = dict(self._profiles())
            for first in range(0, len(paths), _PATHS_PER_STATEMENT):
                part = [stored_text(path) for path in paths[first : first + _PATHS_PER_STATEMENT]]
                sql = ENTRIES_AT.sql.format(marks=",".join("?" * len(part)))
                for number, path, settings_id in self._store.rows(ENTRIES_AT._replace(sql=sql), part):
                    settings = profiles.get(settings_id)
                    if settings is not None:  # the latest entry wins when two settings look alike
                        key = (loaded_text(path), _settings_key(settings.as_dict()))
                        known[key] = max(known.get(key, 0), int(number))
        return [known.get((path, _settings_key(settings))) for path, settings in wanted]

    def generation(self) -> int:
        """A number that every commit to the catalogue changes: what was read at one generation holds for it."""
        return self._store.generation()

    def summary(self, failures: int) -> Summary:
        """How many entries per settings and how many failed, with the first `failures` failed ones, as of one
        commit. It reads every row, so a reader keeps it for its generation."""
        with self._store.snapshot():
            generation = self._store.generation()
            profiles = self._profiles()
            counted = {settings_id: (entries, failed) for settings_id, entries, failed in self._store.rows(
                SETTINGS_COUNTS)}
            failed = [
                (int(number), loaded_text(path), str(kind), loaded_text(message or ""))
                for number, path, kind, message in self._store.rows(FIRST_FAILURES, (failures,))
            ]
        counts = [SettingsCount(profile, *counted.get(number, (0, 0))) for number, profile in profiles]
        return Summary(generation, counts, failed)


def _settings_key(settings: dict[str, Any]) -> str:
    return repr(sorted(settings.items()))
