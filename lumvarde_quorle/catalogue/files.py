"""What the catalogue knows of an image file on disk: its state, stored with its entry to tell whether it
changed, and its identity, to store a file reached by several paths once."""

from __future__ import annotations

import os

__all__ = ["FileState", "file_identity", "file_state"]

# (size, modification time in ns, change time in ns, inode) of a file. Size and modification time can be
# set back by hand (`touch -r`); the change time cannot, and a file renamed over another has a new inode.
FileState = tuple[int, int, int, int]


def file_state(path: str) -> FileState | None:
    """The state of a file as stored with its entry, None when it cannot be found."""
    status = _status(path)
    return None if status is None else (status.st_size, status.st_mtime_ns, status.st_ctime_ns, status.st_ino)


def file_identity(path: str) -> tuple[int, int] | None:
    """(device, inode) of the file a path reaches, links followed; None when it cannot be found."""
    status = _status(path)
    return None if status is None else (status.st_dev, status.st_ino)


def _status(path: str) -> os.stat_result | None:
    try:
        return os.stat(path)
    except (OSError, ValueError):
        return None
