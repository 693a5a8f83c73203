"""The records the command-line tool writes, and what one command's records look like.

A record is the JSON-ready result for one image: {"path": ..., "colors": [...]} for an extraction or a
catalogue query (with the query's figures beside the colours), {"path": ..., "targets": {...}} for the
target commands, or {"path": ..., "error": {...}} for an image that failed. A `Kind` says once what one
command's results look like: the extractor method that makes them, where the entries sit in a record,
which colour each entry shows and is named after, and its table and CSV columns.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

from ..names import css_name, hex_rgb
from ..results import RGB

__all__ = ["Record", "Row", "Column", "Kind", "KINDS", "plain", "error_record"]

Record = dict[str, Any]


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


@dataclass(frozen=True, kw_only=True)
class Kind:
    """What one command's results look like, for every writer."""

    command: str
    method: str | None  # the extractor method that analyses one image (None: the results are looked up)
    results: str  # the record key holding the entries: "colors" (a list) or "targets" (a dict)
    colour_key: str  # the entry key of the colour a line shows and names
    share_key: str  # the entry key of the headline share, drawn in the report
    table: tuple[Column, ...]
    csv_columns: tuple[str, ...]  # the label column second, the colour's R, G, B columns named by `csv_rgb`
    csv_rgb: tuple[str, str, str]
    record_csv: tuple[str, ...] = ()  # record keys repeated on each of its CSV rows
    summary: Callable[[Record], str] | None = None  # a line on the record as a whole, beside its path
    legend: str = ""  # the heading under which the report shows the colours of the query

    def record(self, path: str, value: Any, **fields: Any) -> Record:
        """The record of one image: the results as plain JSON values, with the CSS name of each entry's
        colour added as "name"; `fields` come between the path and the results."""
        results = plain(value)
        for entry in results if isinstance(results, list) else results.values():
            entry["name"] = css_name(tuple(entry[self.colour_key]))
        return {"path": path, **plain(fields), self.results: results}

    def rows(self, record: Record, targets: Mapping[str, RGB]) -> list[Row]:
        results = record[self.results]
        if isinstance(results, list):
            return [Row(str(rank), entry, rgb(entry[self.colour_key])) for rank, entry in enumerate(results, 1)]
        return [
            Row(str(name), entry, rgb(entry[self.colour_key]), targets.get(name)) for name, entry in results.items()
        ]


def rgb(value: Any) -> RGB:
    """(R, G, B) ints from any sequence of three numbers."""
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
    command="extract",
    method="extract_colors",
    results="colors",
    colour_key="color",
    share_key="percentage",
    table=(
        Column("#", _label), _SWATCH, Column("hex", _hex), _NAME,
        Column("R, G, B", lambda row: ", ".join(map(str, row.rgb))), Column("share", _figure("percentage", "%")),
    ),
    csv_columns=("path", "rank", "r", "g", "b", "hex", "name", "percentage", "error"),
    csv_rgb=("r", "g", "b"),
)
SIMILARITY = Kind(
    command="target-shares",
    method="analyze_color_similarity",
    results="targets",
    colour_key="closest_color",
    share_key="percentage",
    table=(
        Column("target", _label), _TARGET_SWATCH, Column("share", _figure("percentage", "%")),
        Column("similarity", _figure("similarity")), Column("closest", _hex), _SWATCH, _NAME,
        Column("distance", _figure("distance")),
        Column("direct", lambda row: "yes" if row.entry["found_directly"] else "no"),
    ),
    csv_columns=(
        "path", "target", "percentage", "similarity", "closest_r", "closest_g", "closest_b", "name", "distance",
        "found_directly", "error",
    ),
    csv_rgb=("closest_r", "closest_g", "closest_b"),
)
MATCHES = Kind(
    command="matches",
    method="find_color_matches",
    results="targets",
    colour_key="closest_pixel",
    share_key="total_percentage",
    table=(
        Column("target", _label), _TARGET_SWATCH, Column("very close", _figure("very_close_percentage", "%")),
        Column("close", _figure("close_percentage", "%")), Column("total", _figure("total_percentage", "%")),
        Column("nearest", _hex), _SWATCH, _NAME, Column("distance", _figure("min_distance")),
        Column("score", _figure("similarity_score")),
    ),
    csv_columns=(
        "path", "target", "total_percentage", "close_percentage", "very_close_percentage", "closest_r", "closest_g",
        "closest_b", "name", "min_distance", "similarity_score", "error",
    ),
    csv_rgb=("closest_r", "closest_g", "closest_b"),
)


def _catalogue_kind(command: str, **details: Any) -> Kind:
    """A query of the catalogue: per image its palette, as an extraction's, with the query's figures."""
    return Kind(
        command=command, method=None, results="colors", colour_key="color", share_key="percentage",
        csv_rgb=("r", "g", "b"), **details,
    )


def _search_summary(record: Record) -> str:
    """How much of the image each query colour covers."""
    shares = record["queries"]
    if len(shares) == 1:
        return f"{record['share']:.2f}% of the pixels"
    return "% of the pixels: " + ", ".join(f"{label} {share:.2f}" for label, share in shares.items())


SEARCH = _catalogue_kind(
    "search",
    table=(
        Column("#", _label), _SWATCH, Column("hex", _hex), _NAME, Column("share", _figure("percentage", "%")),
        Column("matched", lambda row: " ".join(row.entry["matched"])),
        Column("distance", lambda row: "" if row.entry["distance"] is None else f"{row.entry['distance']:.2f}"),
    ),
    csv_columns=(
        "path", "rank", "r", "g", "b", "hex", "name", "percentage", "matched", "distance", "share", "error",
    ),
    record_csv=("share",),
    summary=_search_summary,
    legend="Query colours",
)
SIMILAR = _catalogue_kind(
    "similar",
    table=(Column("#", _label), _SWATCH, Column("hex", _hex), _NAME, Column("share", _figure("percentage", "%"))),
    csv_columns=("path", "rank", "r", "g", "b", "hex", "name", "percentage", "distance", "error"),
    record_csv=("distance",),
    summary=lambda record: f"{record['distance']:.2f}% of its colour unmatched",
)
KINDS = {kind.command: kind for kind in (EXTRACT, SIMILARITY, MATCHES, SEARCH, SIMILAR)}
