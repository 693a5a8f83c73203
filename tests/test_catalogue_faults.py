"""The catalogue when its storage or its file fails: locked, full or read-only storage, files of other
programs, damaged rows, files replaced behind its back and roots that are not there."""

import os
import shutil
import sqlite3
from unittest import mock

import cv2
import numpy as np
import pytest

from lumvarde_quorle import cli
from lumvarde_quorle.catalogue import Catalogue, CatalogueError, storage
from lumvarde_quorle.cli.common import InProcessExecutor
from lumvarde_quorle.color_extractor_cy import ColorExtractor

EXTRACTOR = ColorExtractor(3, "kmeans", False, True)
COLOURS = [(250, 0, 0), (0, 250, 0), (0, 0, 250), (250, 250, 0)]


def write(path, rgb, suffix=".png"):
    """A 12 x 6 image, two thirds one colour; BMP files of one size are all the same length."""
    image = np.full((12, 6, 3), (40, 40, 40), np.uint8)
    image[:8] = rgb[::-1]
    path = str(path) + suffix
    assert cv2.imwrite(path, image)
    return path


def indexed(path, images, **options):
    with Catalogue(path, create=True) as catalogue:
        return catalogue.index(images, EXTRACTOR, executor=InProcessExecutor(), **options)


def found(path, rgb):
    with Catalogue(path) as catalogue:
        return [hit["path"] for hit in catalogue.search([rgb])]


def run(capsys, *argv):
    with mock.patch.dict(os.environ):
        try:
            status = cli.main([str(arg) for arg in argv])
        except SystemExit as stop:
            status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def images(tmp_path):
    folder = tmp_path / "images"
    folder.mkdir()
    return [write(folder / f"{number}", rgb) for number, rgb in enumerate(COLOURS)]


def lock(path):
    other = sqlite3.connect(path, isolation_level=None)
    other.execute("BEGIN IMMEDIATE")
    return other


def fill_the_disk(monkeypatch):
    """Every catalogue connection from now on may not grow its file: SQLite's own disk-full error."""
    opened = storage._connect_uri

    def full(*args):
        connection, version = opened(*args)
        (pages,) = connection.execute("PRAGMA page_count").fetchone()
        connection.execute(f"PRAGMA max_page_count = {pages}")
        return connection, version

    monkeypatch.setattr(storage, "_connect_uri", full)


@pytest.mark.parametrize("fault, message", [
    ("locked", "database is locked"), ("disk full", "database or disk is full"),
    ("read-only", "readonly database"), ("read-only folder", "cannot open the catalogue: unable to open"),
])
def test_storage_that_fails_an_index_ends_it_with_one_line(
    capsys, tmp_path, images, monkeypatch, write_protect, fault, message,
):
    database = tmp_path / "c.db"
    indexed(database, images[:1])
    images += [write(tmp_path / f"more{n}", (n * 8, 100, 50)) for n in range(30)]  # more than the free space
    monkeypatch.setattr(storage, "BUSY_TIMEOUT", 0.2)
    holder = lock(database) if fault == "locked" else None
    if fault == "disk full":
        fill_the_disk(monkeypatch)
    if fault.startswith("read-only"):
        write_protect(database)
    if fault == "read-only folder":
        write_protect(tmp_path)
    status, _, err = run(capsys, "index", *images, "--db", database, "--n-colors", "3", "--no-preprocessing")
    if holder is not None:
        holder.close()
    assert status == 1 and err.count("\n") == 1 and message in err and err.startswith(f"lumvarde-quorle: {database}:")
    monkeypatch.undo()
    with Catalogue(database) as catalogue:
        assert catalogue.check() == [] and 1 <= len(catalogue) < len(images)


def test_a_locked_catalogue_fails_a_search_with_one_line(capsys, tmp_path, images, monkeypatch):
    database = tmp_path / "c.db"
    indexed(database, images)
    monkeypatch.setattr(storage, "BUSY_TIMEOUT", 0.2)
    holder = sqlite3.connect(database, isolation_level=None)
    holder.execute("PRAGMA locking_mode = EXCLUSIVE")
    holder.execute("BEGIN EXCLUSIVE")
    status, _, err = run(capsys, "search", "--db", database, "--color", "red")
    holder.close()
    assert status == 1 and err.count("\n") == 1 and "database is locked" in err


def test_a_catalogue_on_read_only_storage_is_searched(capsys, tmp_path, images, write_protect):
    folder = tmp_path / "shelf"
    folder.mkdir()
    database = folder / "c.db"
    indexed(database, images)
    assert sorted(os.listdir(folder)) == ["c.db", "c.db-colours"]  # no -wal or -shm left
    write_protect(database)
    write_protect(folder)
    assert found(database, COLOURS[1]) == [images[1]]
    status, out, _ = run(capsys, "search", "--db", database, "--color", "#00fa00", "--format", "jsonl")
    assert status == 0 and images[1] in out
    status, out, _ = run(capsys, "check", "--db", database)
    assert status == 0 and "no problems found (4 entries)" in out
    assert sorted(os.listdir(folder)) == ["c.db", "c.db-colours"]


def test_a_foreign_file_in_wal_mode_is_left_as_it_was(tmp_path):
    path = tmp_path / "other.db"
    other = sqlite3.connect(path, isolation_level=None)
    other.execute("PRAGMA journal_mode = WAL")
    other.execute("CREATE TABLE t (x)")
    other.execute("INSERT INTO t VALUES (1)")
    # Its writer leaves the changes in the WAL, as a process killed before its checkpoint does.
    other.setconfig(sqlite3.SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, True)
    other.close()
    before = path.read_bytes(), (tmp_path / "other.db-wal").read_bytes()
    assert before[1]
    for create in (False, True):
        with pytest.raises(CatalogueError, match="another kind of SQLite file"):
            Catalogue(path, create=create)
    assert (path.read_bytes(), (tmp_path / "other.db-wal").read_bytes()) == before


DAMAGE = {
    "palette of 13 bytes": ("UPDATE images SET palette = zeroblob(13) WHERE id = ?", "its palette is damaged"),
    "palette a number": ("UPDATE images SET palette = 7 WHERE id = ?", "its palette is damaged"),
    "distribution cut": (
        "UPDATE images SET distribution = substr(distribution, 2) WHERE id = ?", "its colour distribution is damaged",
    ),
    "signature beyond the grid": (
        "UPDATE images SET signature = x'ffff0100' WHERE id = ?", "its signature is damaged",
    ),
    "path a number": ("UPDATE images SET path = 5 WHERE id = ?", "its path is integer"),
    "settings gone": ("UPDATE images SET settings_id = 99 WHERE id = ?", "its settings are missing"),
}


@pytest.mark.parametrize("tamper, problem", DAMAGE.values(), ids=DAMAGE.keys())
def test_a_damaged_row_is_reported_and_the_rest_answers(capsys, tmp_path, images, tamper, problem):
    database = tmp_path / "c.db"
    indexed(database, images)
    connection = sqlite3.connect(database, isolation_level=None)
    (victim,) = connection.execute("SELECT id FROM images WHERE path = ?", (images[1],)).fetchone()
    connection.execute(tamper, (victim,))
    connection.execute("UPDATE meta SET value = value + 1 WHERE key = 'generation'")
    connection.close()
    with pytest.warns(UserWarning, match=f"1 damaged images left out \\(ids {victim}\\)"):
        assert found(database, COLOURS[0]) == [images[0]]
    status, out, _ = run(capsys, "check", "--db", database)
    assert status == 1 and f"{database}: image {victim}: {problem}\n" in out
    with pytest.warns(UserWarning, match="damaged images left out"):
        status, out, _ = run(capsys, "search", "--db", database, "--color", "#fa0000", "--format", "jsonl")
    assert status == 0 and images[0] in out


def test_a_palette_damaged_behind_a_fresh_colour_index_costs_only_its_colours(tmp_path, images):
    database = tmp_path / "c.db"
    indexed(database, images)
    connection = sqlite3.connect(database, isolation_level=None)
    connection.execute("UPDATE images SET palette = zeroblob(13) WHERE path = ?", (images[0],))
    connection.close()
    with Catalogue(database) as catalogue:
        hits = catalogue.search([COLOURS[0]]) + catalogue.search([COLOURS[1]])
    assert [(hit["path"], len(hit["colors"])) for hit in hits] == [(images[0], 0), (images[1], 2)]


def test_check_reports_what_sqlite_finds(capsys, tmp_path, images):
    database = tmp_path / "c.db"
    indexed(database, images)
    status, out, _ = run(capsys, "check", "--db", database)
    assert (status, out) == (0, f"{database}: no problems found (4 entries)\n")
    connection = sqlite3.connect(database, isolation_level=None)
    connection.execute("DELETE FROM images WHERE path = ?", (images[2],))  # its colours stay, foreign keys off
    connection.close()
    status, out, _ = run(capsys, "check", "--db", database)
    assert status == 1 and "of colors refers to a missing row of images" in out
    (tmp_path / "junk.db").write_bytes(b"x" * 4096)
    status, out, _ = run(capsys, "check", "--db", tmp_path / "junk.db")
    assert status == 1 and "not a catalogue" in out


@pytest.mark.parametrize("replace", ["copied over", "renamed over"])
def test_a_file_replaced_with_the_same_size_and_time_is_analysed_again(tmp_path, replace):
    first, second = write(tmp_path / "a", COLOURS[0], ".bmp"), write(tmp_path / "b", COLOURS[2], ".bmp")
    assert os.path.getsize(first) == os.path.getsize(second)
    database = tmp_path / "c.db"
    indexed(database, [first])
    before = os.stat(first)
    if replace == "copied over":
        shutil.copyfile(second, first)
    else:
        os.replace(second, first)
    os.utime(first, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert (os.path.getsize(first), os.stat(first).st_mtime_ns) == (before.st_size, before.st_mtime_ns)
    summary = indexed(database, [first])
    assert (summary.indexed, summary.unchanged) == (1, 0)
    assert found(database, COLOURS[2]) == [first] and found(database, COLOURS[0]) == []
    assert indexed(database, [first]).unchanged == 1


def test_prune_stays_below_the_roots_given_and_present(capsys, tmp_path):
    roots = {name: tmp_path / name for name in ("a", "b")}
    files = {}
    for number, (name, root) in enumerate(roots.items()):
        root.mkdir()
        files[name] = [write(root / f"{n}", COLOURS[2 * number + n]) for n in range(2)]
    database = tmp_path / "c.db"
    options = ["--db", database, "--n-colors", "3", "--no-preprocessing", "--prune"]
    assert run(capsys, "index", roots["a"], roots["b"], *options)[0] == 0
    roots["a"].rename(tmp_path / "unmounted")
    os.unlink(files["b"][1])
    status, out, _ = run(capsys, "index", roots["b"], *options)
    assert status == 0 and "0 indexed, 1 unchanged, 0 failed, 1 removed" in out
    with Catalogue(database) as catalogue:  # a root named but missing removes nothing either
        summary = catalogue.index(files["b"][:1], EXTRACTOR, executor=InProcessExecutor(), prune=[roots["a"]])
        assert summary.removed == 0 and len(catalogue) == 3
    (tmp_path / "unmounted").rename(roots["a"])
    os.unlink(files["a"][0])
    assert indexed(database, files["a"][1:], prune=True).removed == 1
