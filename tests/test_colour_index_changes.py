"""The colour index following the catalogue's changes: after random runs of index, re-index, failures,
prune and runs killed before writing the index, search and similar answer exactly as an index built whole;
stale files of changes are not believed."""

import os
import shutil
import sqlite3
from contextlib import closing

import cv2
import numpy as np
import pytest

from lumvarde_quorle.catalogue import Catalogue, layers
from lumvarde_quorle.catalogue.layers import layer_path

from test_catalogue import EXTRACTOR, blocks, index

QUERIES = [
    (["red"], 10.0, 1.0, 3), (["#30a050"], 12.0, 0.5, 20), (["navy", "white"], 15.0, 1.0, 5),
    ([(200, 180, 40)], 25.0, 0.0, 4), (["black"], 40.0, 5.0, 1),
]
PALETTES = [
    [{"color": (220, 30, 30), "percentage": 60.0}, {"color": (20, 20, 120), "percentage": 40.0}],
    [{"color": (240, 240, 240), "percentage": 100.0}],
]


def answers(catalogue):
    found = [catalogue.search(colours_, tolerance=tolerance, min_share=share, limit=limit)
             for colours_, tolerance, share, limit in QUERIES]
    return found, [catalogue.similar(palette, limit=limit) for palette in PALETTES for limit in (1, 4, 50)]


def whole(database, folder):
    """The answers of a copy of the catalogue, whose index is built whole from its rows."""
    copy = folder / f"whole-{len(os.listdir(folder))}.db"
    source, target = sqlite3.connect(database), sqlite3.connect(copy)
    source.backup(target)
    source.close()
    target.close()
    with Catalogue(copy) as catalogue:
        return answers(catalogue)


def picture(path, rng):
    # Few colours, some shared between images, so that ties in share and distance occur.
    palette = [(220, 30, 30), (20, 20, 120), (240, 240, 240), (40, 160, 80), (200, 180, 40), (0, 0, 0)]
    chosen = [palette[i] for i in rng.choice(len(palette), 3, replace=False)]
    assert cv2.imwrite(str(path), blocks(chosen, tuple(int(n) for n in rng.integers(1, 12, 3))))
    stamp = os.stat(path).st_mtime_ns + int(rng.integers(1, 10**9))
    os.utime(path, ns=(stamp, stamp))  # a rewrite within the clock's tick still counts as changed


def interrupt(*arguments):
    raise KeyboardInterrupt


@pytest.mark.parametrize("floor, share", [(2000, 8), (2000, 1), (3, 8)],
                         ids=["changes kept", "changes in levels", "rebuilt whole now and then"])
@pytest.mark.parametrize("seed", [1, 2])
def test_random_runs_answer_as_an_index_built_whole(tmp_path, monkeypatch, floor, share, seed):
    monkeypatch.setattr(layers, "_CHANGES_FLOOR", floor)
    monkeypatch.setattr(layers, "_CHANGES_SHARE", share)
    rng = np.random.default_rng(seed)
    images, copies = tmp_path / "images", tmp_path / "copies"
    images.mkdir()
    copies.mkdir()
    database = str(tmp_path / "c.db")
    names = iter(range(10**6))
    writer, reader = Catalogue(database, create=True), None
    depths = []
    steps = ["add", "change", "fail", "prune", "stale", "reader", "interrupted"] * 2
    for action in ["add", "add"] + list(rng.permutation(steps)):
        present = sorted(images.iterdir())
        if action == "add":
            added = [images / f"{next(names)}.png" for _ in range(int(rng.integers(1, 5)))]
            for path in added:
                picture(path, rng)
            index(writer, added)
        elif action in ("change", "fail") and present:
            chosen = [present[i] for i in rng.choice(len(present), min(len(present), 2), replace=False)]
            for path in chosen:
                if action == "change":
                    picture(path, rng)
                else:
                    path.write_text("not an image any more")
            index(writer, chosen)
        elif action == "prune" and present:
            os.unlink(present[int(rng.integers(len(present)))])
            index(writer, [], prune=[images])
        elif action == "stale" and os.path.exists(layer_path(database, 0)):
            # A file of changes of an earlier generation, put back as a slow rename might leave it.
            saved = tmp_path / "saved"
            shutil.copy(layer_path(database, 0), saved)
            added = images / f"{next(names)}.png"
            picture(added, rng)
            index(writer, [added])
            shutil.copy(saved, layer_path(database, 0))
        elif action == "interrupted":  # killed after its commits, before the index files were written
            added = images / f"{next(names)}.png"
            picture(added, rng)
            with monkeypatch.context() as patch, pytest.raises(KeyboardInterrupt):
                patch.setattr(layers, "write_index", interrupt)
                index(writer, [added])
        elif action == "reader":  # another process's view: cached since an earlier step, then the files
            reader = reader or Catalogue(database)
        expected = whole(database, copies)
        assert answers(writer) == expected, action
        if reader is not None:
            assert answers(reader) == expected, action
        with Catalogue(database) as fresh:
            assert answers(fresh) == expected, action
        depths.append(len(writer._colours.layers))
        if action != "interrupted":  # an index run leaves one entry per image changed, however often
            with closing(sqlite3.connect(database)) as log:  # a connection's own `with` only commits
                assert log.execute("SELECT count(*) - count(DISTINCT image_id) FROM changes").fetchone() == (0,)
    writer.close()
    if reader is not None:
        reader.close()
    if floor == 2000:  # the answers above came from a base and its changes, not only from whole builds
        assert max(depths) >= (2 if share == 1 else 1)


def test_an_older_writer_is_followed_and_a_catalogue_without_the_log_gets_one(tmp_path):
    """Rows written by SQL of their own (as a release without the log writes them) still reach the index;
    a catalogue made before the log is searched as it is, and gets the log when opened for writing."""
    rng = np.random.default_rng(3)
    database, paths = str(tmp_path / "c.db"), [tmp_path / f"{number}.png" for number in range(4)]
    for path in paths:
        picture(path, rng)
    with Catalogue(database, create=True) as catalogue:
        index(catalogue, paths[:3], EXTRACTOR)
    connection = sqlite3.connect(database, isolation_level=None)

    def older_writer(*statements):
        connection.execute("BEGIN")
        for statement in statements:
            connection.execute(statement)
        connection.execute("UPDATE meta SET value = value + 1 WHERE key = 'generation'")
        connection.execute("COMMIT")

    older_writer("DROP TRIGGER image_added", "DROP TRIGGER image_changed", "DROP TRIGGER image_removed",
                 "DROP TABLE changes", "DELETE FROM meta WHERE key = 'changes_from'",
                 "UPDATE images SET error_type = 'OSError', error_message = 'gone' WHERE id = 3")
    with Catalogue(database) as catalogue:
        assert answers(catalogue) == whole(database, tmp_path)
    with Catalogue(database, create=True) as catalogue:
        index(catalogue, paths[3:], EXTRACTOR)
        assert answers(catalogue) == whole(database, tmp_path)
    older_writer("UPDATE images SET error_type = 'OSError', error_message = 'gone' WHERE id = 1",
                 "DELETE FROM images WHERE id = 2")
    connection.close()
    with Catalogue(database) as catalogue:
        assert answers(catalogue) == whole(database, tmp_path)
        assert {1, 2} <= set(catalogue._colours.covered.tolist())  # followed, not built whole


def test_a_commit_that_changes_no_image_adds_no_layer(tmp_path):
    rng = np.random.default_rng(4)
    database, paths = str(tmp_path / "c.db"), [tmp_path / f"{number}.png" for number in range(3)]
    for path in paths:
        picture(path, rng)
    with Catalogue(database, create=True) as catalogue:
        index(catalogue, paths)
        before, generation = answers(catalogue), catalogue._colours.generation
        with catalogue._writing():  # a commit that touches no image, as a settings lookup makes
            pass
        catalogue._refresh_index()
        assert catalogue._colours.generation > generation and answers(catalogue) == before
        assert catalogue._colours.layers == () and not os.path.exists(layer_path(database, 0))


@pytest.mark.parametrize("first, second", [
    ([], []), ([], [3, 9]), ([4], []), ([1, 5, 9], [2, 5, 9, 12]), ([7], [7]), ([1, 2], [3, 4]),
])
def test_ids_changed_in_two_parts_are_merged_once_each_in_order(first, second):
    merged = layers._merged(np.array(first, np.int64), np.array(second, np.int64))
    assert merged.tolist() == sorted(set(first) | set(second))
