"""The catalogue file's schema and every SQL statement the catalogue runs, each named, so that one place
shows what the file holds and what is asked of it. storage.py runs them."""

from __future__ import annotations

import sqlite3
from typing import NamedTuple

# The schema this version reads and writes (PRAGMA user_version), and the mark of a catalogue file
# (PRAGMA application_id, "LQCa"). Older schemas are read, and upgraded in place when opened for
# writing: schema 1 lacks the colour distributions, schema 2 the change time and inode of each file.
SCHEMA_VERSION = 3
UPGRADABLE = 1
APPLICATION_ID = 0x4C514361
# Which images each write transaction touched, by the generation it started from, so that the colour index
# follows a change at the cost of the change. Triggers fire for every writer of the file, older releases of
# this library and other tools included; the schema version stays, since a release without the log reads
# and writes the file as before. 'changes_from' is the first generation the log is whole from: the
# generation it was added at, raised when entries are trimmed.
CHANGE_LOG = """
CREATE TABLE IF NOT EXISTS changes (
    generation INTEGER NOT NULL,
    image_id INTEGER NOT NULL,
    PRIMARY KEY (generation, image_id)
) WITHOUT ROWID;
INSERT INTO meta SELECT 'changes_from', value FROM meta WHERE key = 'generation' ON CONFLICT (key) DO NOTHING;
CREATE TRIGGER IF NOT EXISTS image_added AFTER INSERT ON images BEGIN {added} END;
CREATE TRIGGER IF NOT EXISTS image_changed AFTER UPDATE ON images BEGIN {removed} {added} END;
CREATE TRIGGER IF NOT EXISTS image_removed AFTER DELETE ON images BEGIN {removed} END;
""".format(**{
    # Not INSERT OR IGNORE: the conflict clause of the statement that fires a trigger overrides its own.
    name: f"INSERT INTO changes SELECT g.value, {row}.id FROM meta g WHERE g.key = 'generation' AND NOT EXISTS "
    f"(SELECT 1 FROM changes c WHERE c.generation = g.value AND c.image_id = {row}.id);"
    for name, row in (("added", "NEW"), ("removed", "OLD"))
})
SCHEMA = """
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
    distribution BLOB,
    signature BLOB,
    ctime_ns INTEGER,
    inode INTEGER,
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
INSERT INTO meta VALUES ('identity', lower(hex(randomblob(16))));
""" + CHANGE_LOG


def _split(script: str) -> tuple[str, ...]:
    """The statements of a script, to run one by one in a transaction (a trigger holds ';' inside)."""
    statements, statement = [], ""
    for part in script.split(";"):
        statement += part + ";"
        if sqlite3.complete_statement(statement):
            statements += [statement] if statement.strip(" \n;") else []
            statement = ""
    return tuple(statements)


CREATE = _split(SCHEMA + CHANGE_LOG)
ADD_CHANGE_LOG = _split(CHANGE_LOG)
# An upgrade changes every row without a trigger firing: the log starts again at its generation.
RESTART_CHANGES = (
    "DELETE FROM changes",
    "UPDATE meta SET value = (SELECT value FROM meta WHERE key = 'generation') WHERE key = 'changes_from'",
)
# The steps from each older schema: 1 to 2 the distributions, empty until each image is analysed again;
# 2 to 3 the change time and inode, empty until then too (an image without them counts as changed, so
# the next index analyses each image once more).
UPGRADE = {
    1: ("ALTER TABLE images ADD COLUMN distribution BLOB", "ALTER TABLE images ADD COLUMN signature BLOB"),
    2: ("ALTER TABLE images ADD COLUMN ctime_ns INTEGER", "ALTER TABLE images ADD COLUMN inode INTEGER"),
}


class Statement(NamedTuple):
    doing: str  # what it does, for the error message: "cannot <doing>"
    sql: str


BEGIN_WRITE = Statement("start writing", "BEGIN IMMEDIATE")
BEGIN_READ = Statement("start reading", "BEGIN")
COMMIT = Statement("commit", "COMMIT")
ROLLBACK = Statement("roll back", "ROLLBACK")
FOREIGN_KEYS = Statement("turn on foreign keys", "PRAGMA foreign_keys = ON")
WAL = Statement("turn on WAL mode", "PRAGMA journal_mode = WAL")
SYNCHRONOUS = Statement("set the sync mode", "PRAGMA synchronous = NORMAL")
APPLICATION = Statement("read the application id", "PRAGMA application_id")
VERSION = Statement("read the schema version", "PRAGMA user_version")
TABLES = Statement("count the tables", "SELECT count(*) FROM sqlite_master")
MARK = Statement("mark the file", f"PRAGMA application_id = {APPLICATION_ID}")
MARK_VERSION = Statement("mark the schema version", f"PRAGMA user_version = {SCHEMA_VERSION}")
GENERATION = Statement("read the generation", "SELECT value FROM meta WHERE key = 'generation'")
BUMP_GENERATION = Statement("count the change", "UPDATE meta SET value = value + 1 WHERE key = 'generation'")
HAS_CHANGE_LOG = Statement(
    "look for the change log", "SELECT value FROM meta WHERE key = 'changes_from' AND EXISTS "
    "(SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'changes') AND (SELECT count(*) FROM "
    "sqlite_master WHERE type = 'trigger' AND name IN ('image_added', 'image_changed', 'image_removed')) = 3",
)
CHANGED = Statement("read the changes", "SELECT DISTINCT image_id FROM changes WHERE generation >= ? ORDER BY image_id")
# Trimmed without counting a change: the images are as they were, only their history is shorter.
TRIM_CHANGES = Statement("trim the changes", "DELETE FROM changes WHERE generation < ?")
CHANGES_FROM = Statement(
    "trim the changes", "UPDATE meta SET value = max(value, ?) WHERE key = 'changes_from'"
)
# An image changed again needs only its latest entry: every read asks for the images changed since some
# generation, which the latest answers whenever an earlier one would. Keeps the log to one row per image
# when the same images are indexed run after run.
SUPERSEDED_CHANGES = Statement(
    "trim the changes", "DELETE FROM changes WHERE (generation, image_id) NOT IN "
    "(SELECT max(generation), image_id FROM changes GROUP BY image_id)"
)
# A catalogue's identity tells its colour index file from one of another catalogue of the same generation;
# catalogues made before it had one get theirs from their next index run.
IDENTITY = Statement("read the identity", "SELECT value FROM meta WHERE key = 'identity'")
ADD_IDENTITY = Statement(
    "mark the catalogue",
    "INSERT INTO meta VALUES ('identity', lower(hex(randomblob(16)))) ON CONFLICT (key) DO NOTHING",
)
ADD_SETTINGS = Statement(
    "store the settings",
    "INSERT INTO settings (key, n_colors, algorithm, preprocessing, lab_space, mask, mask_digest) "
    "VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (key) DO NOTHING",
)
SETTINGS_ID = Statement("read the settings", "SELECT id FROM settings WHERE key = ?")
ALL_SETTINGS = Statement(
    "read the settings",
    "SELECT id, n_colors, algorithm, preprocessing, lab_space, mask, mask_digest FROM settings ORDER BY id",
)
INDEXED = Statement(
    "read the indexed images",
    "SELECT path, size, mtime_ns, ctime_ns, inode FROM images WHERE settings_id = ? AND error_type IS NULL "
    "AND distribution IS NOT NULL",
)
PUT_IMAGE = Statement(
    "store the image",
    "INSERT INTO images (path, settings_id, size, mtime_ns, ctime_ns, inode, spread, palette, error_type, "
    "error_message, indexed_at, distribution, signature) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
    "ON CONFLICT (path, settings_id) DO UPDATE SET "
    "size = excluded.size, mtime_ns = excluded.mtime_ns, ctime_ns = excluded.ctime_ns, inode = excluded.inode, "
    "spread = excluded.spread, palette = excluded.palette, "
    "error_type = excluded.error_type, error_message = excluded.error_message, "
    "indexed_at = excluded.indexed_at, distribution = excluded.distribution, signature = excluded.signature "
    "RETURNING id",
)
DROP_COLOURS = Statement("replace the image's colours", "DELETE FROM colors WHERE image_id = ?")
PUT_COLOUR = Statement("store the image's colours", "INSERT INTO colors VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")
STORED_PATHS = Statement("read the stored paths", "SELECT DISTINCT path FROM images")
REMOVE_PATH = Statement("remove the image", "DELETE FROM images WHERE path = ?")
REMOVE_ENTRY = Statement("remove the image", "DELETE FROM images WHERE path = ? AND settings_id = ?")
# The entries of the first settings whose path is indexed successfully with the second as well.
SHADOWED = Statement(
    "read the images indexed twice",
    "SELECT i.id FROM images i JOIN images o ON o.path = i.path WHERE i.settings_id = ? AND o.settings_id = ? "
    "AND o.error_type IS NULL",
)
FAILURES = Statement(
    "read the failures",
    "SELECT path, error_type, error_message FROM images WHERE error_type IS NOT NULL ORDER BY id",
)
COUNT = Statement("count the images", "SELECT count(*) FROM images")
PALETTES = Statement(
    "read the palettes",
    "SELECT id, settings_id, spread, palette, distribution, signature FROM images WHERE error_type IS NULL "
    "ORDER BY id",
)
# What the colour index is built from: every image indexed successfully, in id order, with what shows a
# row damaged or tampered with (the palette, the type of the path, whether its settings exist).
INDEX_ROWS = Statement(
    "read the colour distributions",
    "SELECT i.id, i.settings_id, i.distribution, i.signature, i.palette, typeof(i.path), s.id IS NOT NULL "
    "FROM images i LEFT JOIN settings s ON s.id = i.settings_id WHERE i.error_type IS NULL ORDER BY i.id",
)
INDEX_ROWS_OF = Statement(
    "read the colour distributions",
    "SELECT i.id, i.settings_id, i.distribution, i.signature, i.palette, typeof(i.path), s.id IS NOT NULL "
    "FROM images i LEFT JOIN settings s ON s.id = i.settings_id WHERE i.id IN ({marks}) AND i.error_type IS NULL",
)
INTEGRITY = Statement("check the file", "PRAGMA integrity_check")
FOREIGN_KEY_CHECK = Statement("check the references", "PRAGMA foreign_key_check")
# {marks}: one ? per id; a statement takes a limited number of parameters, so ids go in parts.
PATHS_OF = Statement("read the images' paths", "SELECT id, path, settings_id FROM images WHERE id IN ({marks})")
PALETTES_OF = Statement("read the images' palettes", "SELECT id, palette FROM images WHERE id IN ({marks})")
IDS_OF = Statement("look up the image", "SELECT id FROM images WHERE path = ?")
STORED_IMAGE = Statement(
    "look up the image",
    "SELECT i.id, i.size, i.mtime_ns, i.ctime_ns, i.inode, i.distribution FROM images i "
    "JOIN settings s ON s.id = i.settings_id "
    "WHERE i.path = ? AND s.key = ? AND i.error_type IS NULL",
)
COLOURS_OF = Statement("read the image's colours", "SELECT r, g, b, share FROM colors WHERE image_id = ? ORDER BY rank")
# What browsing reads: one entry whole, the entries of some paths, counts per settings, the first failures.
ENTRY = Statement(
    "read the image",
    "SELECT id, path, settings_id, size, mtime_ns, error_type, error_message, indexed_at, distribution "
    "FROM images WHERE id = ?",
)
ENTRIES_AT = Statement("look up the images", "SELECT id, path, settings_id FROM images WHERE path IN ({marks})")
SETTINGS_COUNTS = Statement(
    "count the images", "SELECT settings_id, count(*), count(error_type) FROM images GROUP BY settings_id"
)
FIRST_FAILURES = Statement(
    "read the failures",
    "SELECT id, path, error_type, error_message FROM images WHERE error_type IS NOT NULL ORDER BY id LIMIT ?",
)
