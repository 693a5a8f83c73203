"""The terminal: whether to paint colours, colour swatches in 24-bit ANSI, names shown without control
characters, the progress bar, and Ctrl-C held back while a record is written."""

from __future__ import annotations

import codecs
import contextlib
import os
import re
import signal
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from typing import IO

from ..results import RGB

__all__ = [
    "BYTES_ESCAPED", "use_colour", "ansi_swatch", "visible_len", "shown", "Progress", "duration", "held_interrupt",
]

_ANSI = re.compile(r"\x1b\[[0-9;]*m")
# C0 and C1 controls and DEL, which a terminal obeys (ESC starts a command, BEL rings), and the lone
# surrogates by which Python carries the bytes of a file name that is not UTF-8.
_UNSHOWABLE = re.compile(r"[\x00-\x1f\x7f-\x9f\ud800-\udfff]")
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(character: str) -> str:
    code = ord(character)
    if 0xDC80 <= code <= 0xDCFF:  # a byte of a name that is not UTF-8, shown as that byte
        return f"\\x{code - 0xDC00:02x}"
    return _NAMED.get(character) or (f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")


def shown(text: str) -> str:
    """`text` (a file name, a message holding one) as it can be shown on a terminal: control characters
    and the bytes of names that are not UTF-8 written as escapes (\\x1b, \\n, \\xff), the rest as it is."""
    return _UNSHOWABLE.sub(lambda found: _escape(found.group()), text)


def _escape_unencodable(error: UnicodeError) -> tuple[str, int]:
    if not isinstance(error, UnicodeEncodeError):
        raise error
    return "".join(_escape(character) for character in error.object[error.start : error.end]), error.end


# The error handler of the outputs: a name that is not UTF-8 is written with its bytes escaped, as `shown`
# writes them, where strict encoding would end the output half written.
BYTES_ESCAPED = "lumvarde_quorle.bytes_escaped"
codecs.register_error(BYTES_ESCAPED, _escape_unencodable)


def use_colour(choice: str, stream: IO[str], environ: Mapping[str, str]) -> bool:
    if choice != "auto":
        return choice == "always"
    if environ.get("NO_COLOR") or environ.get("TERM") == "dumb":
        return False
    return stream.isatty()


def ansi_swatch(rgb: RGB | None) -> str:
    if rgb is None:
        return ""
    return "\x1b[48;2;{};{};{}m      \x1b[0m".format(*rgb)


def visible_len(text: str) -> int:
    """The width of `text` on a terminal, its colour codes left out."""
    return len(_ANSI.sub("", text))


class Progress:
    """A one-line progress bar on stderr, redrawn in place; cleared around other terminal output. From the
    second image on it shows the time left at the pace of the images done since the first, which also
    carries the start-up (imports, worker processes) and would overstate it many times."""

    def __init__(
        self, total: int, stream: IO[str], enabled: bool, clock: Callable[[], float] = time.monotonic
    ) -> None:
        self.total, self.done, self.stream, self.enabled = total, 0, stream, enabled
        self.label = ""
        self.clock = clock
        self.first_done: float | None = None

    def advance(self, label: str) -> None:
        self.done += 1
        self.label = label
        if self.first_done is None:
            self.first_done = self.clock()
        self.draw()

    def time_left(self) -> float | None:
        """Seconds to the last image at the pace so far; None before the second image or after the last."""
        if self.first_done is None or not 1 < self.done < self.total:
            return None
        return (self.clock() - self.first_done) / (self.done - 1) * (self.total - self.done)

    def draw(self) -> None:
        if not self.enabled:
            return
        try:
            width = os.get_terminal_size(self.stream.fileno()).columns or 80
        except (AttributeError, OSError, ValueError):
            width = 80
        count = f"{self.done}/{self.total}"
        left = self.time_left()
        if left is not None:
            count += f" {duration(left)} left"
        bar_width = max(10, min(30, width // 3))
        filled = bar_width * self.done // self.total
        line = f"[{'#' * filled}{'.' * (bar_width - filled)}] {count} {shown(self.label)}"
        if len(line) > width - 1:
            line = line[: width - 4] + "..."
        self.stream.write("\r\x1b[K" + line)
        self.stream.flush()

    def clear(self) -> None:
        if self.enabled:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def duration(seconds: float) -> str:
    """A time to wait as people read one at a glance: 45s, 3m05s, 2h10m."""
    whole = round(seconds)
    if whole < 60:
        return f"{whole}s"
    if whole < 3600:
        return f"{whole // 60}m{whole % 60:02d}s"
    return f"{whole // 3600}h{whole % 3600 // 60:02d}m"


@contextlib.contextmanager
def held_interrupt() -> Iterator[None]:
    """Holds Ctrl-C back until the block is done, so that an interrupted output ends on a whole record. Only
    where Python's own handler is in place (in the main thread; not where SIGINT is ignored)."""
    if (
        threading.current_thread() is not threading.main_thread()
        or signal.getsignal(signal.SIGINT) is not signal.default_int_handler
    ):
        yield
        return
    caught: list[int] = []
    signal.signal(signal.SIGINT, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    if caught:
        raise KeyboardInterrupt
