"""Writers of the command-line tool's records as text: aligned tables, JSON, JSON lines and CSV.

Writers take one record at a time, so that output streams as images finish.
"""

from __future__ import annotations

import csv
import json
import re
import textwrap
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import IO, Any

from ..names import hex_rgb
from ..results import RGB
from .records import Column, Kind, Record, Row
from .terminal import ansi_swatch, shown, visible_len

__all__ = [
    "Settings", "Writer", "TableWriter", "JsonWriter", "JsonLinesWriter", "CsvWriter", "cells", "format_table",
    "csv_rows",
]

_NUMBER = re.compile(r"-?[0-9.]+%?")
# An indented JSON list of numbers, such as a colour; newlines inside JSON strings are escaped.
_JSON_NUMBER_LIST = re.compile(r"\[\n\s*((?:-?[0-9.eE+]+,\n\s*)*-?[0-9.eE+]+)\n\s*\]")


@dataclass(frozen=True)
class Settings:
    targets: Mapping[str, RGB] = field(default_factory=dict)
    colour: bool = False  # 24-bit ANSI swatches in the table
    title: str = ""  # the report's heading
    subtitle: str = ""  # the report's line under the heading, e.g. the command line
    preview: Callable[[str], str] | None = None  # image path -> data: URI of a thumbnail, for the report
    query: str | None = None  # the image a query was made with, shown at the top of the report


class Writer:
    """Writes the records of one command to a stream as they arrive, in the order given."""

    def __init__(self, kind: Kind, out: IO[str], settings: Settings) -> None:
        self.kind, self.out, self.settings = kind, out, settings

    def begin(self) -> None:
        pass

    def write(self, record: Record) -> None:
        raise NotImplementedError

    def end(self) -> None:
        pass


def cells(
    kind: Kind, rows: list[Row], colour: bool, swatch: Callable[[RGB | None], str]
) -> tuple[list[Column], list[list[str]], list[bool]]:
    """The columns shown (swatch columns only with `colour`), the cell texts and which columns are
    numeric (right-aligned)."""
    columns = [column for column in kind.table if colour or not column.swatch]
    texts = [
        [swatch(column.value(row)) if column.swatch else str(column.value(row)) for column in columns] for row in rows
    ]
    numeric = [
        any(line[i] for line in texts) and all(_NUMBER.fullmatch(line[i]) or not line[i] for line in texts)
        for i in range(len(columns))
    ]
    return columns, texts, numeric


class TableWriter(Writer):
    """An aligned text table per image; failures are left to the error stream."""

    first = True

    def write(self, record: Record) -> None:
        if "error" not in record:
            self.out.write(("" if self.first else "\n") + format_table(self.kind, record, self.settings))
            self.first = False


def format_table(kind: Kind, record: Record, settings: Settings) -> str:
    """One image's results as an aligned text table; swatches in 24-bit ANSI colour with `settings.colour`."""
    title = record["path"] + (f"  (chart: {record['chart']})" if record.get("chart") else "")
    if "chart_error" in record:
        title += f"  (chart not written: {record['chart_error']['message']})"
    if kind.summary is not None:
        title += f"  ({kind.summary(record)})"
    title = shown(title)  # a file name may hold a terminal's control characters
    rows = kind.rows(record, settings.targets)
    if not rows:
        return f"{title}\n  no colours found (every pixel masked out or dropped)\n"
    columns, texts, numeric = cells(kind, rows, settings.colour, ansi_swatch)
    header = [column.header for column in columns]
    widths = [max(visible_len(cell) for cell in column) for column in zip(header, *texts)]
    lines = [title]
    for line in [header, *texts]:
        padded = [
            " " * (width - visible_len(cell)) + cell if right else cell + " " * (width - visible_len(cell))
            for cell, width, right in zip(line, widths, numeric)
        ]
        lines.append(("  " + "  ".join(padded)).rstrip())
    return "\n".join(lines) + "\n"


_NOT_UTF8 = re.compile("[\udc80-\udcff]")


class JsonWriter(Writer):
    """One JSON list of records, each indented, with number lists such as colours on one line."""

    first = True

    def begin(self) -> None:
        self.out.write("[")

    def write(self, record: Record) -> None:
        text = _JSON_NUMBER_LIST.sub(
            lambda match: "[" + re.sub(r",\n\s*", ", ", match.group(1)) + "]",
            _json(record, indent=2),
        )
        self.out.write(("\n" if self.first else ",\n") + textwrap.indent(text, "  "))
        self.first = False

    def end(self) -> None:
        self.out.write("]\n" if self.first else "\n]\n")


class JsonLinesWriter(Writer):
    def write(self, record: Record) -> None:
        self.out.write(_json(record) + "\n")


def _json(record: Record, indent: int | None = None) -> str:
    """The record as JSON; a byte of a file name that is not UTF-8 (a lone surrogate, which no UTF-8 file
    can hold) is written as the text \\xNN, the escape the terminal and the other formats show."""
    text = json.dumps(record, indent=indent, ensure_ascii=False, allow_nan=False)
    return _NOT_UTF8.sub(lambda found: f"\\\\x{ord(found.group()) - 0xDC00:02x}", text)


class CsvWriter(Writer):
    """One row per colour or target; a failed image gives one row with its error."""

    def __init__(self, kind: Kind, out: IO[str], settings: Settings) -> None:
        super().__init__(kind, out, settings)
        self.rows = csv.DictWriter(out, kind.csv_columns, lineterminator="\n", extrasaction="ignore")

    def begin(self) -> None:
        self.rows.writeheader()

    def write(self, record: Record) -> None:
        self.rows.writerows(csv_rows(self.kind, record))


def csv_rows(kind: Kind, record: Record) -> list[dict[str, Any]]:
    path = record["path"]
    if "error" in record:
        return [{"path": path, "error": f"{record['error']['type']}: {record['error']['message']}"}]
    rows = []
    for row in kind.rows(record, {}):
        line: dict[str, Any] = {"path": path, kind.csv_columns[1]: row.label, "hex": hex_rgb(row.rgb)}
        line.update((key, record[key]) for key in kind.record_csv)
        for key, value in row.entry.items():
            if key == kind.colour_key:
                line.update(zip(kind.csv_rgb, row.rgb))
            elif isinstance(value, bool):
                line[key] = "true" if value else "false"
            else:
                line[key] = " ".join(value) if isinstance(value, list) else value
        rows.append(line)
    return rows
