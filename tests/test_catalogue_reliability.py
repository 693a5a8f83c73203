"""The catalogue under stress: an index killed or interrupted half way, searches while an index is
written, and the analysis sent to a Dask cluster."""

import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from unittest import mock

import cv2
import numpy as np
import pytest

from lumvarde_quorle import cli
from lumvarde_quorle.catalogue import Catalogue, CatalogueError, storage
from lumvarde_quorle.cli.common import InProcessExecutor
from lumvarde_quorle.color_extractor_cy import ColorExtractor

EXTRACTOR = ColorExtractor(3, "kmeans", False, True)
MARKER = (250, 0, 0)


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    """Sixty small images of three bands: the marker colour (a different share in each) and two others."""
    root = tmp_path_factory.mktemp("many")
    rng = np.random.default_rng(3)
    paths = []
    for number in range(60):
        rows = [2 + number % 12, 8, 20 - number % 12]
        colours = [MARKER, *(tuple(int(v) for v in rng.integers(0, 200, 3)) for _ in range(2))]
        image = np.concatenate([np.full((n, 5, 3), rgb[::-1], np.uint8) for rgb, n in zip(colours, rows)])
        paths.append(str(root / f"{number:02}.png"))
        assert cv2.imwrite(paths[-1], image)
    return paths


# An index in a child process that takes a while per image (so that it can be stopped half way).
SLOW_INDEX = """
import signal, sys, time
from lumvarde_quorle.catalogue import Catalogue
from lumvarde_quorle.cli.common import InProcessExecutor
from lumvarde_quorle.color_extractor_cy import ColorExtractor

class Slow(InProcessExecutor):
    def submit(self, fn, /, *args, **kwargs):
        time.sleep(float(sys.argv[1]))
        return super().submit(fn, *args, **kwargs)

with Catalogue(sys.argv[2], create=True) as catalogue:
    catalogue.index(sys.argv[3:], ColorExtractor(3, "kmeans", False, True), executor=Slow())
"""

# The command line, with Ctrl-C as a terminal delivers it (a background start leaves SIGINT ignored).
COMMAND_LINE = """
import signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
from lumvarde_quorle.cli import main
sys.exit(main(sys.argv[1:]))
"""


def start_index(how, database, paths):
    environment = {**os.environ, "OMP_NUM_THREADS": "1"}
    if how == "killed":
        command = [sys.executable, "-P", "-c", SLOW_INDEX, "0.02", database, *paths]
    else:
        command = [sys.executable, "-P", "-c", COMMAND_LINE, "index", *paths, "--db", database, "--n-colors", "3",
                   "--no-preprocessing", "--no-progress"]
    return subprocess.Popen(command, env=environment, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def committed(database):
    try:
        with Catalogue(database) as catalogue:
            return len(catalogue)
    except Exception:  # not made yet
        return 0


@pytest.mark.serial
@pytest.mark.parametrize("how, stop, status", [("killed", signal.SIGKILL, -9), ("interrupted", signal.SIGINT, 130)])
def test_an_index_stopped_half_way_keeps_whole_images_and_resumes(tmp_path, images, how, stop, status):
    database = str(tmp_path / "c.db")
    child = start_index(how, database, images)
    deadline = time.monotonic() + 120
    while committed(database) < 5 and child.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    child.send_signal(stop)
    _, stderr = child.communicate(timeout=60)
    assert child.returncode == status, stderr
    if how == "interrupted":
        assert re.search(rf"interrupted: \d+ of {len(images)} images done and committed to {re.escape(database)}; the "
                         "next index goes on from there\n$", stderr), stderr

    connection = sqlite3.connect(database)
    assert connection.execute("PRAGMA integrity_check").fetchall() == [("ok",)]
    # Every stored image is whole: all its colours, its shares adding up.
    palettes = connection.execute(
        "SELECT count(*), sum(c.share) FROM images i JOIN colors c ON c.image_id = i.id GROUP BY i.id"
    ).fetchall()
    connection.close()
    assert 5 <= len(palettes) < len(images)
    assert all(count == 3 and total == pytest.approx(100, abs=0.05) for count, total in palettes)

    with Catalogue(database) as catalogue:
        summary = catalogue.index(images, EXTRACTOR, executor=InProcessExecutor())
        assert (summary.unchanged, summary.indexed, summary.failed) == (len(palettes), len(images) - len(palettes), 0)


@pytest.mark.serial
def test_searches_during_an_index_see_whole_commits(tmp_path, images):
    database = str(tmp_path / "c.db")
    Catalogue(database, create=True).close()
    writer = start_index("killed", database, images)
    seen: dict[int, list[int]] = {0: [], 1: []}
    problems = []

    def read(reader):
        with Catalogue(database) as catalogue:
            while True:
                done = writer.poll() is not None  # one more search after the writer ends
                try:
                    hits = catalogue.search([MARKER], tolerance=1, limit=1000) if len(catalogue) else []
                except Exception as error:
                    problems.append(repr(error))
                    return
                seen[reader].append(len(hits))
                for hit in hits:
                    shares = [colour["percentage"] for colour in hit["colors"]]
                    matched = [colour["matched"] for colour in hit["colors"] if colour["matched"]]
                    if len(shares) != 3 or abs(sum(shares) - 100) > 0.05 or matched != [["#fa0000"]]:
                        problems.append(hit)
                if done:
                    return

    readers = [threading.Thread(target=read, args=(number,)) for number in seen]
    for thread in readers:
        thread.start()
    for thread in readers:
        thread.join(timeout=300)
    assert writer.wait(timeout=60) == 0, writer.stderr.read()
    assert problems == []
    for counts in seen.values():
        assert counts == sorted(counts) and counts[-1] == len(images)
        assert any(0 < count < len(images) for count in counts)  # it did read while the index was written


# What can go wrong with a catalogue once it is open; each must reach the caller as a CatalogueError that
# names the file, with sqlite's error as its cause.
def overwrite_with_junk(catalogue, path):
    """The file's bytes replaced in place, as a careless copy over it would."""
    with open(path, "r+b") as file:
        file.write(np.random.default_rng(5).integers(0, 256, path.stat().st_size, np.uint8).tobytes())


QUERIES = {
    "index": lambda catalogue, paths: catalogue.index(paths[3:5], EXTRACTOR, executor=InProcessExecutor()),
    "search": lambda catalogue, paths: catalogue.search([MARKER]),
    "similar": lambda catalogue, paths: catalogue.similar(paths[0]),
    "len": lambda catalogue, paths: len(catalogue),
    "failures": lambda catalogue, paths: catalogue.failures(),
    "profiles": lambda catalogue, paths: catalogue.profiles(),
}


def indexed_catalogue(path, paths):
    with Catalogue(path, create=True) as catalogue:
        catalogue.index(paths, EXTRACTOR, executor=InProcessExecutor())


@pytest.mark.parametrize("operation", QUERIES.values(), ids=QUERIES.keys())
@pytest.mark.parametrize("spoil", [overwrite_with_junk, lambda catalogue, path: catalogue.close()],
                         ids=["junk", "closed"])
def test_a_spoilt_catalogue_fails_with_a_catalogue_error(tmp_path, images, spoil, operation):
    path = tmp_path / "c.db"
    indexed_catalogue(path, images[:3])
    catalogue = Catalogue(path)
    spoil(catalogue, path)
    with pytest.raises(CatalogueError, match=re.escape(str(path))) as raised:
        operation(catalogue, images)
    assert isinstance(raised.value.__cause__, sqlite3.Error)
    catalogue.close()


def hold_the_write_lock(path, catalogue, monkeypatch):
    other = sqlite3.connect(path, isolation_level=None)
    other.execute("BEGIN IMMEDIATE")
    return lambda: (other.execute("ROLLBACK"), other.close())


def fill_the_disk(path, catalogue, monkeypatch):
    """No page beyond those the file has: SQLite's own disk-full error, at the first image that needs one."""
    connection = catalogue._connection
    (pages,) = connection.execute("PRAGMA page_count").fetchone()
    connection.execute(f"PRAGMA max_page_count = {pages}")
    return lambda: connection.execute("PRAGMA max_page_count = 1073741823")


@pytest.mark.parametrize("obstacle", [hold_the_write_lock, fill_the_disk], ids=["locked", "disk full"])
def test_an_index_that_cannot_write_rolls_back_and_goes_on_when_it_can(tmp_path, images, monkeypatch, obstacle):
    monkeypatch.setattr(storage, "BUSY_TIMEOUT", 0.2)
    path = tmp_path / "c.db"
    indexed_catalogue(path, images[:3])
    with Catalogue(path) as catalogue:
        release = obstacle(path, catalogue, monkeypatch)
        with pytest.raises(CatalogueError, match=re.escape(str(path))) as raised:
            catalogue.index(images, EXTRACTOR, executor=InProcessExecutor())
        assert isinstance(raised.value.__cause__, sqlite3.OperationalError)
        stored = len(catalogue)
        assert 3 <= stored < len(images) and not catalogue._connection.in_transaction
        release()
        summary = catalogue.index(images, EXTRACTOR, executor=InProcessExecutor())
        assert (summary.unchanged, summary.indexed) == (stored, len(images) - stored)


@pytest.mark.parametrize("protected", ["file", "directory"])
def test_an_index_into_a_read_only_catalogue_is_a_catalogue_error(tmp_path, images, write_protect, protected):
    path = tmp_path / "c.db"
    indexed_catalogue(path, images[:3])
    write_protect(path if protected == "file" else tmp_path)
    with pytest.raises(CatalogueError, match=re.escape(str(path))):
        with Catalogue(path, create=True) as catalogue:  # a directory it cannot write may refuse the opening
            catalogue.index(images[3:5], EXTRACTOR, executor=InProcessExecutor())


distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None) as local:
        yield local.scheduler_address


def run_cli(capsys, *argv):
    with mock.patch.dict(os.environ):
        status = cli.main([str(arg) for arg in argv])
    return status, capsys.readouterr().out


@pytest.mark.parametrize("command", [
    ["extract", "--n-colors", "3"], ["similarity", "--n-colors", "3", "--target", "red=250,0,0"],
    ["matches", "--target", "red=250,0,0"],
])
def test_dask_cluster_gives_the_local_results(capsys, cluster, images, command):
    argv = [command[0], *images[:4], *command[1:], "--no-preprocessing", "--format", "jsonl"]
    local = run_cli(capsys, *argv)
    assert run_cli(capsys, *argv, "--dask", cluster) == local


def test_dask_cluster_indexes_a_catalogue_written_here(capsys, cluster, images, tmp_path):
    options = ["--n-colors", "3", "--no-preprocessing"]
    for name, more in (("local.db", []), ("cluster.db", ["--dask", cluster])):
        status, out = run_cli(capsys, "index", *images[:6], "--db", tmp_path / name, *options, *more)
        assert status == 0 and "6 indexed" in out
    found = [run_cli(capsys, "search", "--db", tmp_path / name, "--color", "#fa0000", "--format", "json")
             for name in ("local.db", "cluster.db")]
    assert found[0][0] == 0 and json.loads(found[0][1]) == json.loads(found[1][1]) != []
