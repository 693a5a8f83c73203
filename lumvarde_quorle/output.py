"""What the command-line tool writes: one writer per output format, driven by the command's kind.

A `Kind` says once what one command's results look like (extract: ranked dominant colours; similarity
and matches: one entry per target colour): where the entries sit in a record, which colour each entry
shows and is named after, and its table and CSV columns. Writers take one record at a time, so that
output streams as images finish.
"""

from __future__ import annotations

import csv
import html
import json
import math
import os
import re
import textwrap
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import IO, Any

from .names import css_name

RGB = tuple[int, int, int]
Record = dict[str, Any]

_ANSI = re.compile(r"\x1b\[[0-9;]*m")
_NUMBER = re.compile(r"-?[0-9.]+%?")
# An indented JSON list of numbers, such as a colour; newlines inside JSON strings are escaped.
_JSON_NUMBER_LIST = re.compile(r"\[\n\s*((?:-?[0-9.eE+]+,\n\s*)*-?[0-9.eE+]+)\n\s*\]")


# ---------------------------------------------------------------- records


def plain(value: Any) -> Any:
    """JSON-ready copy: NumPy scalars to int/float/bool, tuples to lists, non-finite floats to None."""
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    if hasattr(value, "dtype") and hasattr(value, "item"):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def error_record(path: str, error: BaseException) -> Record:
    return {"path": path, "error": {"type": type(error).__name__, "message": str(error)}}


def hex_rgb(rgb: RGB) -> str:
    return "#" + "".join(f"{int(c):02x}" for c in rgb)


@dataclass(frozen=True)
class Row:
    """One line of an image's results: a dominant colour (labelled by rank) or a target (by name)."""

    label: str
    entry: Mapping[str, Any]
    rgb: RGB  # the colour the line shows: the dominant colour, or the target's closest colour
    target: RGB | None = None


@dataclass(frozen=True)
class Column:
    """A table column: `value` gives the cell's text, or with `swatch` the colour to paint (None: blank)."""

    header: str
    value: Callable[[Row], Any]
    swatch: bool = False


@dataclass(frozen=True)
class Kind:
    """What one command's results look like, for every writer."""

    command: str
    results: str  # the record key holding the entries: "colors" (a list) or "targets" (a dict)
    colour_key: str  # the entry key of the colour a line shows and names
    share_key: str  # the entry key of the headline share, drawn in the report
    table: tuple[Column, ...]
    csv_columns: tuple[str, ...]  # the label column second, the colour's R, G, B columns named by `csv_rgb`
    csv_rgb: tuple[str, str, str]

    def record(self, path: str, value: Any) -> Record:
        """The record of one analysed image: the library's result as plain JSON values, with the CSS
        name of each entry's colour added as "name"."""
        results = plain(value)
        for entry in results if isinstance(results, list) else results.values():
            entry["name"] = css_name(tuple(entry[self.colour_key]))
        return {"path": path, self.results: results}

    def rows(self, record: Record, targets: Mapping[str, RGB]) -> list[Row]:
        results = record[self.results]
        if isinstance(results, list):
            return [Row(str(rank), entry, _rgb(entry[self.colour_key])) for rank, entry in enumerate(results, 1)]
        return [Row(str(name), entry, _rgb(entry[self.colour_key]), targets.get(name)) for name, entry in results.items()]


def _rgb(value: Any) -> RGB:
    r, g, b = (int(c) for c in value)
    return r, g, b


def _figure(key: str, unit: str = "") -> Callable[[Row], str]:
    return lambda row: f"{float(row.entry[key]):.2f}{unit}"


def _label(row: Row) -> str:
    return row.label


def _hex(row: Row) -> str:
    return hex_rgb(row.rgb)


_SWATCH = Column("colour", lambda row: row.rgb, swatch=True)
_TARGET_SWATCH = Column("colour", lambda row: row.target, swatch=True)
_NAME = Column("name", lambda row: row.entry["name"])

EXTRACT = Kind(
    "extract", "colors", "color", "percentage",
    (Column("#", _label), _SWATCH, Column("hex", _hex), _NAME, Column("R, G, B", lambda row: ", ".join(map(str, row.rgb))),
     Column("share", _figure("percentage", "%"))),
    ("path", "rank", "r", "g", "b", "hex", "name", "percentage", "error"),
    ("r", "g", "b"),
)
SIMILARITY = Kind(
    "similarity", "targets", "closest_color", "percentage",
    (Column("target", _label), _TARGET_SWATCH, Column("share", _figure("percentage", "%")),
     Column("similarity", _figure("similarity")), Column("closest", _hex), _SWATCH, _NAME,
     Column("distance", _figure("distance")),
     Column("direct", lambda row: "yes" if row.entry["found_directly"] else "no")),
    ("path", "target", "percentage", "similarity", "closest_r", "closest_g", "closest_b", "name", "distance",
     "found_directly", "error"),
    ("closest_r", "closest_g", "closest_b"),
)
MATCHES = Kind(
    "matches", "targets", "closest_pixel", "total_percentage",
    (Column("target", _label), _TARGET_SWATCH, Column("very close", _figure("very_close_percentage", "%")),
     Column("close", _figure("close_percentage", "%")), Column("total", _figure("total_percentage", "%")),
     Column("nearest", _hex), _SWATCH, _NAME, Column("distance", _figure("min_distance")),
     Column("score", _figure("similarity_score"))),
    ("path", "target", "total_percentage", "close_percentage", "very_close_percentage", "closest_r", "closest_g",
     "closest_b", "name", "min_distance", "similarity_score", "error"),
    ("closest_r", "closest_g", "closest_b"),
)
KINDS = {kind.command: kind for kind in (EXTRACT, SIMILARITY, MATCHES)}


def _cells(
    kind: Kind, rows: list[Row], colour: bool, swatch: Callable[[RGB | None], str]
) -> tuple[list[Column], list[list[str]], list[bool]]:
    """The columns shown (swatch columns only with `colour`), the cell texts and which columns are
    numeric (right-aligned)."""
    columns = [column for column in kind.table if colour or not column.swatch]
    cells = [[swatch(column.value(row)) if column.swatch else str(column.value(row)) for column in columns] for row in rows]
    numeric = [all(_NUMBER.fullmatch(line[i]) for line in cells) for i in range(len(columns))]
    return columns, cells, numeric


# ---------------------------------------------------------------- writers


@dataclass(frozen=True)
class Settings:
    targets: Mapping[str, RGB] = field(default_factory=dict)
    colour: bool = False  # 24-bit ANSI swatches in the table
    title: str = ""  # the report's heading
    subtitle: str = ""  # the report's line under the heading, e.g. the command line
    preview: Callable[[str], str] | None = None  # image path -> data: URI of a thumbnail, for the report


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


class TableWriter(Writer):
    """An aligned text table per image; failures are left to the error stream."""

    first = True

    def write(self, record: Record) -> None:
        if "error" not in record:
            self.out.write(("" if self.first else "\n") + format_table(self.kind, record, self.settings))
            self.first = False


def _ansi_swatch(rgb: RGB | None) -> str:
    if rgb is None:
        return ""
    return "\x1b[48;2;{};{};{}m      \x1b[0m".format(*rgb)


def format_table(kind: Kind, record: Record, settings: Settings) -> str:
    """One image's results as an aligned text table; swatches in 24-bit ANSI colour with `settings.colour`."""
    title = record["path"] + (f"  (chart: {record['chart']})" if record.get("chart") else "")
    rows = kind.rows(record, settings.targets)
    if not rows:
        return f"{title}\n  no colours found (every pixel masked out or dropped)\n"
    columns, cells, numeric = _cells(kind, rows, settings.colour, _ansi_swatch)
    header = [column.header for column in columns]
    widths = [max(_visible_len(cell) for cell in column) for column in zip(header, *cells)]
    lines = [title]
    for line in [header, *cells]:
        padded = [
            " " * (width - _visible_len(cell)) + cell if right else cell + " " * (width - _visible_len(cell))
            for cell, width, right in zip(line, widths, numeric)
        ]
        lines.append(("  " + "  ".join(padded)).rstrip())
    return "\n".join(lines) + "\n"


def _visible_len(text: str) -> int:
    return len(_ANSI.sub("", text))


class JsonWriter(Writer):
    """One JSON list of records, each indented, with number lists such as colours on one line."""

    first = True

    def begin(self) -> None:
        self.out.write("[")

    def write(self, record: Record) -> None:
        text = _JSON_NUMBER_LIST.sub(
            lambda match: "[" + re.sub(r",\n\s*", ", ", match.group(1)) + "]",
            json.dumps(record, indent=2, ensure_ascii=False, allow_nan=False),
        )
        self.out.write(("\n" if self.first else ",\n") + textwrap.indent(text, "  "))
        self.first = False

    def end(self) -> None:
        self.out.write("]\n" if self.first else "\n]\n")


class JsonLinesWriter(Writer):
    def write(self, record: Record) -> None:
        self.out.write(json.dumps(record, ensure_ascii=False, allow_nan=False) + "\n")


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
        cells: dict[str, Any] = {"path": path, kind.csv_columns[1]: row.label, "hex": hex_rgb(row.rgb)}
        for key, value in row.entry.items():
            if key == kind.colour_key:
                cells.update(zip(kind.csv_rgb, row.rgb))
            else:
                cells[key] = ("true" if value else "false") if isinstance(value, bool) else value
        rows.append(cells)
    return rows


class HtmlWriter(Writer):
    """One self-contained HTML page for the batch: per image a thumbnail, the colours as a proportional
    bar (or per target a share meter) and the table; the failed images listed at the end. Inline CSS and
    `data:` images only, no script; the layout reflows to one column on narrow screens."""

    def __init__(self, kind: Kind, out: IO[str], settings: Settings) -> None:
        super().__init__(kind, out, settings)
        self.failed: list[Record] = []
        self.count = 0

    def begin(self) -> None:
        title = html.escape(self.settings.title or "Colour report")
        self.out.write(
            '<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n'
            '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
            f"<title>{title}</title>\n<style>{_CSS}</style>\n</head>\n<body>\n<h1>{title}</h1>\n"
        )
        if self.settings.subtitle:
            self.out.write(f'<p class="meta"><code>{html.escape(self.settings.subtitle)}</code></p>\n')

    def write(self, record: Record) -> None:
        self.count += 1
        if "error" in record:
            self.failed.append(record)
            return
        path = html.escape(record["path"])
        rows = self.kind.rows(record, self.settings.targets)
        parts = [f'<section class="image">\n<h2>{path}</h2>\n<div class="layout">\n']
        parts.append(f'<div class="preview">{self._preview(record["path"])}</div>\n<div class="results">\n')
        if not rows:
            parts.append('<p class="empty">No colours found (every pixel masked out or dropped).</p>\n')
        else:
            parts.append(self._bar(rows) if self.kind.results == "colors" else self._meters(rows))
            parts.append(self._table(rows))
        parts.append("</div>\n</div>\n</section>\n")
        self.out.write("".join(parts))

    def _preview(self, path: str) -> str:
        if self.settings.preview is None:
            return ""
        try:
            uri = self.settings.preview(path)
        except Exception as error:  # the results stand without a picture
            return f'<p class="empty">No preview: {html.escape(str(error))}</p>'
        return f'<img src="{uri}" alt="{html.escape(os.path.basename(path))}">'

    def _bar(self, rows: list[Row]) -> str:
        """The dominant colours left to right in the library's order, each as wide as its share, as the
        chart draws them; shares above 5 % carry their figure."""
        segments, start = [], 0.0
        for row in rows:
            share = float(row.entry[self.kind.share_key])
            label = f"{share:.1f}%" if share > 5 else ""
            segments.append(
                f'<span style="left:{start:.4f}%;width:{share:.4f}%;background:{hex_rgb(row.rgb)};'
                f'color:{_ink(row.rgb)}" title="{html.escape(row.entry["name"])} {share:.2f}%">{label}</span>'
            )
            start += share
        return '<div class="bar">' + "".join(segments) + "</div>\n"

    def _meters(self, rows: list[Row]) -> str:
        """Per target, its share of the image as a bar in the target's colour."""
        lines = []
        for row in rows:
            share = float(row.entry[self.kind.share_key])
            colour = hex_rgb(row.target if row.target is not None else row.rgb)
            lines.append(
                f'<span class="label">{html.escape(row.label)}</span><span class="meter">'
                f'<span style="width:{min(share, 100.0):.4f}%;background:{colour}"></span></span>'
                f'<span class="num">{share:.2f}%</span>'
            )
        return '<div class="meters">' + "".join(lines) + "</div>\n"

    def _table(self, rows: list[Row]) -> str:
        columns, cells, numeric = _cells(self.kind, rows, True, _html_swatch)
        head = "".join(
            f'<th{" class=num" if right else ""}>{html.escape(column.header)}</th>' for column, right in zip(columns, numeric)
        )
        body = "\n".join(
            "<tr>" + "".join(
                f'<td{" class=num" if right else ""}>{text if column.swatch else html.escape(text)}</td>'
                for column, text, right in zip(columns, texts, numeric)
            ) + "</tr>"
            for texts in cells
        )
        return f'<div class="scroll"><table>\n<thead><tr>{head}</tr></thead>\n<tbody>\n{body}\n</tbody>\n</table></div>\n'

    def end(self) -> None:
        if self.failed:
            items = "\n".join(
                f'<li><code>{html.escape(record["path"])}</code>: '
                f'{html.escape(record["error"]["type"])}: {html.escape(record["error"]["message"])}</li>'
                for record in self.failed
            )
            heading = f"Failed images ({len(self.failed)})"
            self.out.write(f'<section class="failed">\n<h2>{heading}</h2>\n<ul>\n{items}\n</ul>\n</section>\n')
        images = f'{self.count} image{"" if self.count == 1 else "s"}'
        failed = f", {len(self.failed)} failed" if self.failed else ""
        self.out.write(f'<p class="meta">{images}{failed}.</p>\n</body>\n</html>\n')


def _html_swatch(rgb: RGB | None) -> str:
    if rgb is None:
        return ""
    return f'<span class="swatch" style="background:{hex_rgb(rgb)}"></span>'


def _ink(rgb: RGB) -> str:
    """Black or white text, whichever reads better on the colour."""
    r, g, b = rgb
    return "#000" if 0.299 * r + 0.587 * g + 0.114 * b > 140 else "#fff"


_CSS = """
body{margin:0 auto;max-width:1100px;padding:12px;font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;
color:#222;background:#f6f6f6}
h1{font-size:1.35rem;margin:4px 0}
h2{font-size:1rem;margin:0 0 8px;overflow-wrap:anywhere}
.meta{color:#555;margin:4px 0 12px;overflow-wrap:anywhere}
section{background:#fff;border:1px solid #ddd;border-radius:8px;padding:12px;margin:0 0 12px}
.layout{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}
.preview img{display:block;max-width:100%;height:auto;
background:repeating-conic-gradient(#ddd 0 25%,#fff 0 50%) 0 0/16px 16px}
.results{flex:1 1 300px;min-width:0}
.bar{position:relative;height:44px;margin:0 0 10px;background:#fff;outline:1px solid #ccc;overflow:hidden}
.bar span{position:absolute;top:0;bottom:0;box-sizing:border-box;border-right:1px solid #fff;display:flex;
align-items:center;justify-content:center;font-size:12px;font-weight:bold;overflow:hidden;white-space:nowrap}
.meters{display:grid;grid-template-columns:max-content 1fr max-content;gap:6px 8px;align-items:center;margin:0 0 10px}
.meter{position:relative;height:18px;background:#eee;outline:1px solid #ccc}
.meter span{position:absolute;top:0;bottom:0;left:0}
.scroll{overflow-x:auto}
table{border-collapse:collapse;font-size:14px}
th,td{padding:3px 8px;text-align:left;white-space:nowrap;border-bottom:1px solid #eee}
th{border-bottom:1px solid #bbb}
.num{text-align:right;font-variant-numeric:tabular-nums}
.swatch{display:inline-block;width:2.4em;height:1.2em;vertical-align:middle;outline:1px solid rgba(0,0,0,.25)}
.empty{color:#777;font-style:italic}
.failed li{margin:4px 0;overflow-wrap:anywhere}
""".strip()


WRITERS: dict[str, type[Writer]] = {
    "table": TableWriter, "json": JsonWriter, "jsonl": JsonLinesWriter, "csv": CsvWriter, "html": HtmlWriter,
}
FORMATS = tuple(WRITERS)


def format_for_file(path: str) -> str | None:
    """The format a file name asks for by its suffix (.html, .csv, .json, .jsonl, .txt), if any."""
    suffix = os.path.splitext(path)[1].lower()
    return {".html": "html", ".htm": "html", ".csv": "csv", ".json": "json", ".jsonl": "jsonl", ".txt": "table"}.get(suffix)


# ---------------------------------------------------------------- terminal


def use_colour(choice: str, stream: IO[str], environ: Mapping[str, str]) -> bool:
    if choice != "auto":
        return choice == "always"
    if environ.get("NO_COLOR") or environ.get("TERM") == "dumb":
        return False
    return stream.isatty()


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
