"""The output formats of the command-line tool: which writer each format name means, and the format a
file name asks for."""

from __future__ import annotations

import os

from .report import HtmlWriter
from .writers import CsvWriter, JsonLinesWriter, JsonWriter, TableWriter, Writer

__all__ = ["WRITERS", "FORMATS", "SUFFIXES", "format_for_file"]

WRITERS: dict[str, type[Writer]] = {
    "table": TableWriter, "json": JsonWriter, "jsonl": JsonLinesWriter, "csv": CsvWriter, "html": HtmlWriter,
}
FORMATS = tuple(WRITERS)
SUFFIXES = {".html": "html", ".htm": "html", ".csv": "csv", ".json": "json", ".jsonl": "jsonl", ".txt": "table"}


def format_for_file(path: str) -> str | None:
    """The format a file name asks for by its suffix (.html, .csv, .json, .jsonl, .txt), if any."""
    return SUFFIXES.get(os.path.splitext(path)[1].lower())
