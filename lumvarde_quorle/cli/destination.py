"""Where an output goes: stdout, or an --output file replaced only by a whole output; either way a file
name that is not UTF-8 is written with its bytes escaped rather than ending the output half written."""

from __future__ import annotations

import contextlib
import io
import os
import re
import secrets
import stat
import sys
from collections.abc import Callable, Iterator
from typing import IO

from .terminal import BYTES_ESCAPED

__all__ = ["destination"]

_DESCRIPTORS = re.compile(r"/(dev|proc)/")


@contextlib.contextmanager
def destination(path: str | None, ended: Callable[[], bool]) -> Iterator[IO[str]]:
    """The --output file at `path`, replaced only by a whole output (`ended` says whether it is), or
    stdout without one."""
    with output_file(path, ended) if path else stdout_escaping() as out:
        yield out


@contextlib.contextmanager
def stdout_escaping() -> Iterator[IO[str]]:
    """stdout, with the bytes of file names that are not UTF-8 written escaped rather than failing."""
    out = sys.stdout
    if not isinstance(out, io.TextIOWrapper) or out.errors != "strict":
        yield out
        return
    out.reconfigure(errors=BYTES_ESCAPED)
    try:
        yield out
    finally:
        out.reconfigure(errors="strict")


@contextlib.contextmanager
def output_file(path: str, ended: Callable[[], bool]) -> Iterator[IO[str]]:
    """The --output file, written whole or not at all: the output goes to a new file beside it, renamed
    over it once ended (at the end of the records, or at Ctrl-C with those so far). What is not a regular
    file (a fifo, a terminal) or names an open descriptor (/dev/stdout, /proc/self/fd/1: its reader holds
    that file, not the name) is written in place; the new file takes the old one's permissions."""
    try:
        old = os.stat(path)
    except FileNotFoundError:
        old = None
    if (old is not None and not stat.S_ISREG(old.st_mode)) or _DESCRIPTORS.match(os.path.abspath(path)):
        # appending: a regular file behind a descriptor is the shell's, truncated by `>` or kept by `>>`
        with open(path, "a", encoding="utf-8", errors=BYTES_ESCAPED) as out:
            yield out
        return
    target = os.path.realpath(path)  # through a link, the file it names is replaced
    folder, name = os.path.split(target)
    temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.part")
    out = open(
        os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), "w", encoding="utf-8", errors=BYTES_ESCAPED
    )
    keep = False
    try:
        try:
            if old is not None:
                os.fchmod(out.fileno(), stat.S_IMODE(old.st_mode))
            yield out
            keep = True
        except KeyboardInterrupt:
            keep = ended()  # the records so far, ended
            raise
        finally:
            if keep:
                out.flush()
                os.fsync(out.fileno())
            out.close()  # a full disk may fail it: then nothing is kept
    except BaseException as error:
        if keep and isinstance(error, KeyboardInterrupt):
            os.replace(temporary, target)
        else:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise
    os.replace(temporary, target)
