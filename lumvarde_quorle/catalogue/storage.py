"""The catalogue file: opening, making and checking it, how paths are stored, and running the SQL
statements of statements.py, where each is named. They all run inside `_translated`, the one place where an
sqlite3.Error becomes a CatalogueError that names the file, so that a locked or full disk, a file damaged
or replaced, a read-only file and a closed catalogue all reach the caller as a CatalogueError."""

from __future__ import annotations

import os
import sqlite3
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from .files import FileState, file_state
from .statements import (
    APPLICATION_ID, SCHEMA_VERSION, UPGRADABLE, UPGRADE, Statement, BEGIN_WRITE, BEGIN_READ, COMMIT,
    ROLLBACK, FOREIGN_KEYS, WAL, SYNCHRONOUS, APPLICATION, VERSION, TABLES, MARK, MARK_VERSION, GENERATION,
    BUMP_GENERATION, IDENTITY, ADD_IDENTITY, ADD_SETTINGS, SETTINGS_ID, ALL_SETTINGS, INDEXED, PUT_IMAGE,
    DROP_COLOURS, PUT_COLOUR, STORED_PATHS, REMOVE_PATH, REMOVE_ENTRY, SHADOWED, FAILURES, COUNT, PALETTES,
    INDEX_ROWS, PATHS_OF, PALETTES_OF, IDS_OF, STORED_IMAGE, COLOURS_OF, INTEGRITY, FOREIGN_KEY_CHECK, CREATE,
    ADD_CHANGE_LOG, HAS_CHANGE_LOG, RESTART_CHANGES, INDEX_ROWS_OF,
)

__all__ = ["APPLICATION_ID", "SCHEMA_VERSION", "CatalogueError", "Store"]

# Seconds a statement waits for another process's write lock before it fails.
BUSY_TIMEOUT = 60.0


class CatalogueError(Exception):
    """The file is missing, not a catalogue, of another schema version, or the query cannot be answered.
    `fault` is set when the request was sound but the file failed it: locked, read-only, disk full, I/O,
    damaged or tampered with; while opening, only an OperationalError (another means it is no catalogue)."""

    fault = False


# SQLite builds differ in how many parameters one statement takes; 999 was the default for long.
_IDS_PER_STATEMENT = 500


@contextmanager
def _translated(path: str, message: str, fault: str | None = None) -> Iterator[None]:
    """sqlite3.Error as a CatalogueError: `message` ({error}: sqlite's words), `fault` for an OperationalError."""
    try:
        yield
    except sqlite3.Error as error:
        operational = isinstance(error, sqlite3.OperationalError)
        text = fault if fault is not None and operational else message
        refused = CatalogueError(f"{path}: " + text.format(error=error))
        refused.fault = operational if fault is not None else not isinstance(error, sqlite3.ProgrammingError)
        raise refused from error


# ---------------------------------------------------------------- stored paths

# Paths, and error messages that quote them, are stored as text when they have a UTF-8 form without
# NUL, else as the bytes of their UTF-8 form with surrogates passed through: every str a path can be
# round-trips, and one path is always stored alike.


def stored_text(path: str) -> str | bytes:
    if "\0" not in path:
        try:
            path.encode("utf-8")
            return path
        except UnicodeEncodeError:
            pass
    return path.encode("utf-8", "surrogatepass")


def loaded_text(value: str | bytes) -> str:
    return value if isinstance(value, str) else value.decode("utf-8", "surrogatepass")


# ---------------------------------------------------------------- the open file


class Store:
    """An open catalogue file: made when missing and `create` is set, refused unless it is a catalogue of
    this schema version."""

    def __init__(self, path: str, create: bool) -> None:
        self.path = path
        self.connection, self.version = _connect(path, create)

    def close(self) -> None:
        self.connection.close()

    @contextmanager
    def _guard(self, statement: Statement) -> Iterator[sqlite3.Connection]:
        with _translated(self.path, f"cannot {statement.doing}: {{error}}"):
            yield self.connection

    def run(self, statement: Statement, parameters: Sequence[Any] = ()) -> None:
        with self._guard(statement) as connection:
            connection.execute(statement.sql, parameters)

    def rows(self, statement: Statement, parameters: Sequence[Any] = ()) -> list[Any]:
        with self._guard(statement) as connection:
            return connection.execute(statement.sql, parameters).fetchall()

    def row(self, statement: Statement, parameters: Sequence[Any] = ()) -> Any:
        """The first row, None when there is none."""
        with self._guard(statement) as connection:
            return connection.execute(statement.sql, parameters).fetchone()

    def _in_transaction(self) -> bool:
        with self._guard(ROLLBACK) as connection:
            return connection.in_transaction

    @contextmanager
    def writing(self, counted: bool = True) -> Iterator[Store]:
        """One write transaction, which also tells readers' caches that the catalogue changed (unless not
        `counted`: no image changes); rolled back on any exception (SQLite has already rolled back after
        some failures, disk full for one)."""
        self.run(BEGIN_WRITE)
        try:
            yield self
            if counted:
                self.run(BUMP_GENERATION)
        except BaseException:
            if self._in_transaction():
                self.run(ROLLBACK)
            raise
        self.run(COMMIT)

    @contextmanager
    def snapshot(self) -> Iterator[None]:
        """A read transaction: everything read inside it is the catalogue as of one commit."""
        self.run(BEGIN_READ)
        try:
            yield
        finally:
            self.run(COMMIT)

    # -------------------------------------------------------------- what the catalogue reads and writes

    def generation(self) -> int:
        return int(self.row(GENERATION)[0])

    def identity(self) -> str | None:
        found = self.row(IDENTITY)
        return None if found is None else str(found[0])

    def mark(self) -> None:
        """Gives the catalogue an identity when it has none."""
        if self.identity() is None:
            with self.writing():
                self.run(ADD_IDENTITY)

    def settings_id(self, key: str, columns: tuple[Any, ...]) -> int:
        """The id of the settings `key` (n_colors, algorithm, preprocessing, lab_space, mask, mask_digest),
        stored when new."""
        with self.writing():
            self.run(ADD_SETTINGS, (key, *columns))
            (number,) = self.row(SETTINGS_ID, (key,))
        return int(number)

    def settings(self) -> list[tuple[Any, ...]]:
        """(id, n_colors, algorithm, preprocessing, lab_space, mask, mask_digest) of every settings, oldest first."""
        return [tuple(row) for row in self.rows(ALL_SETTINGS)]

    def indexed(self, settings_id: int) -> dict[str, tuple[int | None, ...]]:
        """The file state of every image indexed successfully with the settings, by path."""
        return {loaded_text(path): tuple(state) for path, *state in self.rows(INDEXED, (settings_id,))}

    def put_image(
        self, settings_id: int, path: str, state: FileState | None, spread: float | None, palette: bytes | None,
        error: BaseException | None, distribution: bytes | None = None, signature: bytes | None = None,
    ) -> int:
        """Stores an image's row (its colours dropped) within the caller's write transaction; its id."""
        stamps = state if state is not None else (None, None, None, None)
        kind, message = (None, None) if error is None else (type(error).__name__, stored_text(str(error)))
        (image_id,) = self.row(
            PUT_IMAGE,
            (stored_text(path), settings_id, *stamps, spread, palette, kind, message, time.time(), distribution,
             signature),
        )
        self.run(DROP_COLOURS, (image_id,))
        return int(image_id)

    def put_colours(self, rows: Iterable[Sequence[Any]]) -> None:
        """Stores colour rows (image id, rank, r, g, b, share, L, a, b) within the caller's write transaction."""
        with self._guard(PUT_COLOUR) as connection:
            connection.executemany(PUT_COLOUR.sql, rows)

    def prune(self, gone: Callable[[str], bool]) -> list[str]:
        """Removes every image whose path is `gone`, whatever its settings; those paths."""
        stored = [value for (value,) in self.rows(STORED_PATHS)]
        removed = [value for value in stored if gone(loaded_text(value))]
        with self.writing():
            for value in removed:
                self.run(REMOVE_PATH, (value,))
        return [loaded_text(value) for value in removed]

    def remove(self, path: str, settings_id: int) -> None:
        """Removes the image's entry of one settings within the caller's write transaction."""
        self.run(REMOVE_ENTRY, (stored_text(path), settings_id))

    def shadowed(self, settings_id: int, by: int) -> list[int]:
        """The ids of the images of `settings_id` indexed successfully with the settings `by` as well."""
        return [number for (number,) in self.rows(SHADOWED, (settings_id, by))]

    def failures(self) -> list[tuple[str, str, str]]:
        return [(loaded_text(path), kind, loaded_text(message)) for path, kind, message in self.rows(FAILURES)]

    def count(self) -> int:
        return int(self.row(COUNT)[0])

    def palettes(self) -> list[tuple[int, int, float, bytes, bytes | None, bytes | None]]:
        """(id, settings id, spread, palette blob, distribution, signature) of every image indexed
        successfully, in id order; the distribution and signature are None for an image not analysed
        since its catalogue was upgraded. A catalogue of schema 1 has none to give: that is an error that
        says how to upgrade it."""
        if self.version == UPGRADABLE:
            raise CatalogueError(
                f"{self.path}: the catalogue was written by an older version of lumvarde_quorle and holds no "
                "colour distributions; run `index` on its images once to upgrade it (unchanged images are "
                "analysed again)"
            )
        return self.rows(PALETTES)

    def index_rows(self, batch: int = 10_000) -> Iterator[list[tuple[int, int, bytes | None, bytes | None]]]:
        """(id, settings id, distribution, signature) of every image indexed successfully, in id order, in
        lists of `batch` rows; an error for a catalogue of schema 1, as palettes() says."""
        with self._guard(INDEX_ROWS) as connection:
            cursor = connection.execute(INDEX_ROWS.sql)
        while True:
            with self._guard(INDEX_ROWS):
                rows = cursor.fetchmany(batch)
            if not rows:
                return
            yield rows

    def index_rows_of(self, ids: Sequence[int]) -> list[tuple[Any, ...]]:
        """The rows of index_rows() of these image ids (those indexed successfully), in id order."""
        return sorted(self._by_ids(INDEX_ROWS_OF, ids))

    def _by_ids(self, statement: Statement, ids: Sequence[int]) -> list[Any]:
        found: list[Any] = []
        for first in range(0, len(ids), _IDS_PER_STATEMENT):
            part = ids[first : first + _IDS_PER_STATEMENT]
            found += self.rows(statement._replace(sql=statement.sql.format(marks=",".join("?" * len(part)))), part)
        return found

    def paths(self, ids: Sequence[int]) -> dict[int, tuple[str, int]]:
        """The path and settings id of each image id."""
        return {
            number: (loaded_text(path) if isinstance(path, (str, bytes)) else str(path), settings)
            for number, path, settings in self._by_ids(PATHS_OF, ids)
        }

    def problems(self) -> list[str]:
        """What SQLite finds wrong with the file and its references, one line each."""
        return [str(row[0]) for row in self.rows(INTEGRITY) if row[0] != "ok"] + [
            f"row {row} of {table} refers to a missing row of {parent}" for table, row, parent, _ in self.rows(
                FOREIGN_KEY_CHECK)]

    def palette_blobs(self, ids: Sequence[int]) -> dict[int, bytes]:
        """The palette blob of each image id."""
        return {number: blob if isinstance(blob, bytes) else b"" for number, blob in self._by_ids(PALETTES_OF, ids)}

    def ids_of(self, path: str) -> list[int]:
        return [number for (number,) in self.rows(IDS_OF, (stored_text(path),))]

    def stored_colours(
        self, path: str, key: str
    ) -> tuple[list[tuple[int, int, int, float]], bytes] | None:
        """The colours (r, g, b, share) and the distribution stored for `path` with the settings `key`, if
        the file is as it was when indexed (and analysed since any upgrade)."""
        if self.version != SCHEMA_VERSION:  # read without upgrading: it cannot tell a file replaced
            return None
        with self.snapshot():
            found = self.row(STORED_IMAGE, (stored_text(path), key))
            if found is None or not isinstance(found[5], bytes) or file_state(path) != tuple(found[1:5]):
                return None
            return [tuple(row) for row in self.rows(COLOURS_OF, (found[0],))], found[5]


# ---------------------------------------------------------------- opening and checking


def _connect(path: str, create: bool) -> tuple[sqlite3.Connection, int]:
    """A connection to a catalogue of this schema, made when missing and `create` is set. A catalogue on
    storage this process cannot write is opened read-only, so that it can still be searched."""
    exists = os.path.exists(path)
    if not exists and not create:
        raise CatalogueError(f"{path}: no such catalogue")
    if exists and not os.path.isfile(path):
        raise CatalogueError(f"{path}: not a catalogue (not a file)")
    uri = Path(path).absolute().as_uri()
    if create:
        return _connect_uri(path, uri + "?mode=rwc", create)
    # On storage this process cannot write, WAL cannot make its -shm file; with no WAL content to read, the
    # file alone is the whole catalogue, and nothing changes it while the storage stays read-only.
    wal = path + "-wal"
    modes = ["rw", "ro"] + ([] if os.path.isfile(wal) and os.path.getsize(wal) else ["ro&immutable=1"])
    for mode in modes:
        try:
            return _connect_uri(path, f"{uri}?mode={mode}", create)
        except CatalogueError as error:
            if mode == modes[-1] or not isinstance(error.__cause__, sqlite3.OperationalError) or _writable(path):
                raise
    raise AssertionError("unreachable")


def _writable(path: str) -> bool:
    return os.access(path, os.W_OK) and os.access(os.path.dirname(os.path.abspath(path)), os.W_OK | os.X_OK)


def _connect_uri(path: str, uri: str, create: bool) -> tuple[sqlite3.Connection, int]:
    with _translated(path, "cannot open the catalogue: {error}"):
        connection = sqlite3.connect(uri, uri=True, isolation_level=None, timeout=BUSY_TIMEOUT)
        # Until the file is known to be a catalogue, closing must not checkpoint a WAL into it: a file of
        # another program is left byte for byte as it was.
        connection.setconfig(sqlite3.SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, True)
    try:
        version = _check_or_create(connection, path, create)
        with _translated(path, "cannot open the catalogue: {error}"):
            connection.setconfig(sqlite3.SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, False)
    except BaseException:
        connection.close()
        raise
    return connection, version


def _check_or_create(connection: sqlite3.Connection, path: str, create: bool) -> int:
    """Checks the file, making the schema when it is empty and `create` is set; its schema version."""
    def run(statement: Statement) -> Any:
        return connection.execute(statement.sql).fetchone()

    with _translated(path, "not a catalogue ({error})", fault="cannot open the catalogue: {error}"):
        run(FOREIGN_KEYS)
        application, version, tables = _identity(connection)
        if application == 0 and tables == 0 and create:
            run(WAL)
            with _transaction(connection):
                application, version, tables = _identity(connection)
                if application == 0 and tables == 0:  # not made meanwhile by another process
                    for statement in CREATE:
                        connection.execute(statement)
                    run(MARK)
                    run(MARK_VERSION)
                    application, version, tables = _identity(connection)
        if application == APPLICATION_ID and version in UPGRADE and create:
            with _translated(path, f"cannot upgrade the catalogue to schema {SCHEMA_VERSION}: {{error}}"):
                version = _upgrade(connection)
        if application == APPLICATION_ID and version == SCHEMA_VERSION and create and run(HAS_CHANGE_LOG) is None:
            with _translated(path, "cannot add the change log: {error}"), _transaction(connection):
                for statement in ADD_CHANGE_LOG:  # another process may be adding it too: IF NOT EXISTS
                    connection.execute(statement)
        run(SYNCHRONOUS)
    if application != APPLICATION_ID:
        what = "an empty file" if application == 0 and tables == 0 else "another kind of SQLite file"
        raise CatalogueError(f"{path}: not a catalogue ({what})")
    if version != SCHEMA_VERSION and version not in UPGRADE:
        newer = "a newer" if version > SCHEMA_VERSION else "an older"
        raise CatalogueError(
            f"{path}: the catalogue was written by {newer} version of lumvarde_quorle (schema {version}; this "
            f"version reads schema {SCHEMA_VERSION}); index the images into a new catalogue"
        )
    return version


@contextmanager
def _transaction(connection: sqlite3.Connection) -> Iterator[None]:
    connection.execute(BEGIN_WRITE.sql)
    try:
        yield
        connection.execute(COMMIT.sql)
    except BaseException:
        connection.execute(ROLLBACK.sql)
        raise


def _upgrade(connection: sqlite3.Connection) -> int:
    """An older schema to this one in one transaction (another process may be upgrading it too); the
    version now."""
    with _transaction(connection):
        version = int(connection.execute(VERSION.sql).fetchone()[0])
        if version in UPGRADE:
            for step in range(version, SCHEMA_VERSION):
                for statement in UPGRADE[step]:
                    connection.execute(statement)
            connection.execute(MARK_VERSION.sql)
            connection.execute(BUMP_GENERATION.sql)
            for statement in RESTART_CHANGES if connection.execute(HAS_CHANGE_LOG.sql).fetchone() else ():
                connection.execute(statement)
            version = SCHEMA_VERSION
    return version


def _identity(connection: sqlite3.Connection) -> tuple[int, int, int]:
    return tuple(  # type: ignore[return-value]
        int(connection.execute(statement.sql).fetchone()[0]) for statement in (APPLICATION, VERSION, TABLES)
    )
