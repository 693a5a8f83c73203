"""A folder of files kept within a size, the least recently used removed first. Several processes may share
the folder: a file is written whole (a temporary name, renamed), its last use is stamped on it (its
modification time), and the folder's total is kept in a ledger file beside the pictures, changed under a lock
on that file. A sweep, once the total passes the limit, counts the folder afresh, so a total gone wrong (files
deleted by hand) mends itself."""

from __future__ import annotations

import fcntl
import os
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager

__all__ = ["DEFAULT_LIMIT", "FileCache"]

# 1 GiB: 50,000 to 100,000 thumbnails, or fewer with the views of the images last looked at.
DEFAULT_LIMIT = 1 << 30
LEDGER = ".usage"
# Files being written, under a name no kept file has.
PARTIAL = ".partial-"
# A sweep removes files down to this share of the limit, so that sweeps (each a listing of the folder) are
# rare: one per tenth of the limit written.
LOW_WATER = 0.9
# A file's use is stamped at most this often (seconds): a page of thumbnails seen again is then reads only.
STAMP_EVERY = 60.0
# A temporary file this old (seconds) is the leftover of a writer that died.
ABANDONED = 3600.0


class FileCache:
    """Files in the subfolders of `folder`, at most `limit` bytes of them in total (0: none kept). Only the
    files whose names `owned` accepts are counted and removed: the folder may be one a user named, holding
    files of their own."""

    def __init__(
        self, folder: str, limit: int = DEFAULT_LIMIT, owned: Callable[[str], bool] = lambda name: True
    ) -> None:
        if limit < 0:
            raise ValueError(f"a cache size cannot be negative: {limit}")
        self.folder = folder
        self.limit = limit
        self.owned = owned

    def read(self, path: str) -> bytes | None:
        """The file's bytes, its use stamped; None when it is not there (never made, or removed by a sweep)."""
        try:
            with open(path, "rb") as file:
                data = file.read()
                if time.time() - os.fstat(file.fileno()).st_mtime > STAMP_EVERY:
                    os.utime(file.fileno())
                return data
        except OSError:
            return None

    def keep(self, path: str, data: bytes, replaces: Callable[[str], bool] = lambda name: False) -> None:
        """Writes `data` at `path` whole (a reader sees the old file or the new one, never part of one) and
        removes the files of the same folder whose names `replaces` accepts. A cache that cannot be written
        is passed over: the caller still has its data."""
        if self.limit == 0:
            return
        folder, name = os.path.split(path)
        temporary = None
        try:
            os.makedirs(folder, exist_ok=True)
            with tempfile.NamedTemporaryFile(dir=folder, prefix=PARTIAL, delete=False) as file:
                temporary = file.name
                file.write(data)
            with self._ledger() as ledger:
                change = len(data) - _size(path)
                os.replace(temporary, path)
                temporary = None
                for other in os.listdir(folder):
                    if other != name and self.owned(other) and replaces(other):
                        change -= _remove(os.path.join(folder, other))
                ledger.append(change)
        except OSError:
            if temporary is not None:
                _remove(temporary)

    def total(self) -> int:
        """The bytes of the files the folder holds now, counted."""
        return sum(size for _, size, _ in self._listing(time.time()))

    @contextmanager
    def _ledger(self) -> Iterator[list[int]]:
        """The folder's total under the lock, as a list of changes to add to it; swept on the way out when the
        sum passes the limit. Holding the lock across the rename keeps the total exact when two processes
        write the same file."""
        with open(os.path.join(self.folder, LEDGER), "a+b") as ledger:
            fcntl.flock(ledger, fcntl.LOCK_EX)  # released as the file closes
            ledger.seek(0)
            text = ledger.read(32).decode("ascii", "replace").strip()
            changes: list[int] = [int(text) if text.isdigit() else self.total()]
            yield changes
            total = sum(changes)
            if total > self.limit:
                total = self._sweep()
            ledger.seek(0)
            ledger.truncate()
            ledger.write(str(max(total, 0)).encode("ascii"))

    def _sweep(self) -> int:
        """Removes the least recently used files until the folder holds LOW_WATER of the limit; the total left."""
        now = time.time()
        files = sorted(self._listing(now, clear_abandoned=True))
        total = sum(size for _, size, _ in files)
        goal = int(self.limit * LOW_WATER)
        for _, size, path in files:
            if total <= goal:
                break
            _remove(path)
            total -= size
        return total

    def _listing(self, now: float, clear_abandoned: bool = False) -> list[tuple[float, int, str]]:
        """(last use, size, path) of every kept file, in the folder's subfolders."""
        found = []
        try:
            folders = [entry.path for entry in os.scandir(self.folder) if entry.is_dir(follow_symlinks=False)]
        except OSError:
            return []
        for folder in folders:
            try:
                entries = list(os.scandir(folder))
            except OSError:
                continue
            for entry in entries:
                try:
                    status = entry.stat(follow_symlinks=False)
                except OSError:
                    continue  # removed by another process meanwhile
                if entry.name.startswith(PARTIAL):
                    if clear_abandoned and now - status.st_mtime > ABANDONED:
                        _remove(entry.path)
                elif self.owned(entry.name):
                    found.append((status.st_mtime, status.st_size, entry.path))
        return found


def _size(path: str) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _remove(path: str) -> int:
    """Removes the file; its size, or 0 when it was gone already (another process removed it)."""
    size = _size(path)
    try:
        os.remove(path)
    except OSError:
        return 0
    return size
