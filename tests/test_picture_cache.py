"""The serve command's picture cache: bounded, least recently used dropped first, and whole and counted right
with several threads and processes writing one folder."""

import concurrent.futures
import os
import subprocess
import sys
import threading
import time

import pytest

pytest.importorskip("flask", reason="the serve extra (pip install 'lumvarde_quorle[serve]') is not installed")

from serving import make_catalogue  # noqa: E402

from lumvarde_quorle.web import create_app  # noqa: E402
from lumvarde_quorle.web.cache import LEDGER, FileCache  # noqa: E402
from lumvarde_quorle.web.thumbnails import Thumbnails  # noqa: E402


def kept(folder):
    return sorted(name for _, _, names in os.walk(folder) for name in names if name != LEDGER)


def ledger(folder):
    with open(os.path.join(folder, LEDGER)) as file:
        return int(file.read())


def test_the_least_recently_used_go_first_and_the_total_stays_within_the_limit(tmp_path):
    cache = FileCache(str(tmp_path), limit=10_000, owned=lambda name: name[0].isdigit())
    path = lambda number: str(tmp_path / "0" / f"{number}.jpg")  # noqa: E731
    now = time.time()
    # Files of the user's in the folder, and a writer's leftover: only the leftover may go.
    (tmp_path / "2019").mkdir()
    for name in ("2019/mine.jpg", "2019/.hidden", "2019/.partial-x"):
        (tmp_path / name).write_bytes(b"u" * 50_000)
        os.utime(tmp_path / name, (now - 7200, now - 7200))
    for number in range(6):
        cache.keep(path(number), bytes([number]) * 1500)
        os.utime(path(number), (now - 1000 + number, now - 1000 + number))  # used in the order made
    assert cache.read(path(0)) == bytes([0]) * 1500  # seen again: now the most recent
    for number in range(6, 9):
        cache.keep(path(number), bytes([number]) * 1500)
    names = kept(tmp_path)
    # 13,500 bytes passed the limit: the sweep went down to 9,000, dropping 1, 2 and 3, never 0.
    assert names == [".hidden", "0.jpg", "4.jpg", "5.jpg", "6.jpg", "7.jpg", "8.jpg", "mine.jpg"]
    assert ledger(tmp_path) == cache.total() == 9000


@pytest.mark.parametrize("ledger_text", ["", "garbage", "99999999"])
def test_a_wrong_or_lost_ledger_mends_itself(tmp_path, ledger_text):
    cache = FileCache(str(tmp_path), limit=10_000)
    cache.keep(str(tmp_path / "0" / "a.jpg"), b"a" * 3000)
    (tmp_path / LEDGER).write_text(ledger_text)
    os.remove(tmp_path / "0" / "a.jpg")  # removed by hand: the ledger still counts it
    cache.keep(str(tmp_path / "0" / "b.jpg"), b"b" * 2000)
    assert kept(tmp_path) == ["b.jpg"] and ledger(tmp_path) == 2000


def test_replacing_a_file_counts_it_once_and_a_file_above_the_limit_is_not_kept(tmp_path):
    cache = FileCache(str(tmp_path), limit=100_000)
    for size in (3000, 4000, 4000):
        cache.keep(str(tmp_path / "0" / "a.jpg"), b"a" * size)
    assert ledger(tmp_path) == 4000
    cache.keep(str(tmp_path / "0" / "a-2.jpg"), b"b" * 100, replaces=lambda name: name.startswith("a."))
    assert kept(tmp_path) == ["a-2.jpg"] and ledger(tmp_path) == 100
    cache.keep(str(tmp_path / "0" / "huge.jpg"), b"h" * 200_000)
    assert ledger(tmp_path) == cache.total() <= 90_000


WRITER = """
import sys
from lumvarde_quorle.web.cache import FileCache
cache = FileCache(sys.argv[1], limit=20_000)
for number in range(60):
    # Some names written by every process, some by this one alone.
    name = f"shared{number % 10}" if number % 3 == 0 else f"own{sys.argv[2]}-{number}"
    cache.keep(f"{sys.argv[1]}/{number % 4}/{name}.jpg", bytes([number]) * (700 + 10 * number))
"""


def test_processes_sharing_the_folder_keep_it_within_the_limit_and_counted(tmp_path):
    writers = [subprocess.Popen([sys.executable, "-P", "-c", WRITER, str(tmp_path), str(number)])
               for number in range(3)]
    assert [writer.wait(120) for writer in writers] == [0, 0, 0]
    cache = FileCache(str(tmp_path), limit=20_000)
    assert ledger(tmp_path) == cache.total() <= 20_000
    assert not [name for name in kept(tmp_path) if name.startswith(".")]  # no temporaries left
    for name in kept(tmp_path):  # every file whole: one byte value throughout, of its length
        data = next((tmp_path / str(folder) / name).read_bytes() for folder in range(4)
                    if (tmp_path / str(folder) / name).exists())
        assert len(set(data)) == 1 and len(data) == 700 + 10 * data[0]


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory):
    return make_catalogue(str(tmp_path_factory.mktemp("served")))


@pytest.mark.parametrize("size, files", [(1 << 30, 1), (0, 0)])
def test_one_picture_asked_for_at_once_is_made_once(catalogue, tmp_path, monkeypatch, size, files):
    db, ids = catalogue
    made = []
    making = Thumbnails._make

    def counted(self, entry, size):
        made.append(threading.get_ident())
        time.sleep(0.2)  # the others arrive while it is made
        return making(self, entry, size)

    monkeypatch.setattr(Thumbnails, "_make", counted)
    client = create_app(db, cache=str(tmp_path), cache_size=size).test_client()
    url = f"/image/{ids['china.png']}/thumbnail"
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(lambda _: client.get(url), range(8)))
    assert {answer.mimetype for answer in answers} == {"image/jpeg"}
    assert len({answer.data for answer in answers}) == 1
    assert len(made) == (1 if files else 8)
    assert len(kept(tmp_path)) == files
