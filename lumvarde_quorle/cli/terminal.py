"""The terminal: whether to paint colours, colour swatches in 24-bit ANSI, and the progress bar."""

from __future__ import annotations

import os
import re
from collections.abc import Mapping
from typing import IO

from ..results import RGB

__all__ = ["use_colour", "ansi_swatch", "visible_len", "Progress"]

_ANSI = re.compile(r"\x1b\[[0-9;]*m")


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
    """A one-line progress bar on stderr, redrawn in place; cleared around other terminal output."""

    def __init__(self, total: int, stream: IO[str], enabled: bool) -> None:
        self.total, self.done, self.stream, self.enabled = total, 0, stream, enabled
        self.label = ""

    def advance(self, label: str) -> None:
        self.done += 1
        self.label = label
        self.draw()

    def draw(self) -> None:
        if not self.enabled:
            return
        try:
            width = os.get_terminal_size(self.stream.fileno()).columns or 80
        except (AttributeError, OSError, ValueError):
            width = 80
        count = f"{self.done}/{self.total}"
        bar_width = max(10, min(30, width // 3))
        filled = bar_width * self.done // self.total
        line = f"[{'#' * filled}{'.' * (bar_width - filled)}] {count} {self.label}"
        if len(line) > width - 1:
            line = line[: width - 4] + "..."
        self.stream.write("\r\x1b[K" + line)
        self.stream.flush()

    def clear(self) -> None:
        if self.enabled:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
