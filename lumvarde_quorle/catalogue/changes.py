"""The change log of the catalogue file (statements.CHANGE_LOG): which images the commits since a generation
inserted, changed or removed, for the colour index to follow them at the cost of the change."""

from __future__ import annotations

from typing import TYPE_CHECKING

from .statements import CHANGED, CHANGES_FROM, HAS_CHANGE_LOG, SUPERSEDED_CHANGES, TRIM_CHANGES

if TYPE_CHECKING:
    from .storage import Store

__all__ = ["changed", "changes_from", "trim"]


def changes_from(store: Store) -> int | None:
    """The first generation from which the log holds every image changed; None without a log."""
    found = store.row(HAS_CHANGE_LOG)
    return None if found is None else int(found[0])


def changed(store: Store, since: int) -> list[int]:
    """The ids of the images inserted, changed or removed by the commits since generation `since`, ascending."""
    return [number for (number,) in store.rows(CHANGED, (since,))]


def trim(store: Store, before: int | None) -> None:
    """Forgets the changes made before generation `before` (if given) and the entries of images changed again
    later, without counting a change of the catalogue."""
    with store.writing(counted=False):
        if before is not None:
            store.run(TRIM_CHANGES, (before,))
            store.run(CHANGES_FROM, (before,))
        store.run(SUPERSEDED_CHANGES)

