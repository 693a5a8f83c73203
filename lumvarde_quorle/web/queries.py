"""A search as the browser asks for it, in the page's URL: checked, with a message fit to show for anything
wrong, and bounded so that one request cannot take the server's time or memory."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from urllib.parse import urlencode

from ..catalogue import DEFAULT_MIN_SHARE, DEFAULT_TOLERANCE
from ..names import hex_rgb, parse_color
from ..results import RGB

__all__ = ["MAX_COLOURS", "MAX_LIMIT", "BadQuery", "SearchQuery", "number"]

# Each query colour is a pass over every image's distribution: a few is what people ask.
MAX_COLOURS = 8
# Results of one page: each is a card with a thumbnail.
MAX_LIMIT = 200
DEFAULT_LIMIT = 50
# Beyond a CIEDE2000 difference of 100 every colour matches every other.
MAX_TOLERANCE = 100.0
_MAX_TEXT = 64


class BadQuery(ValueError):
    """A request parameter that cannot be answered; the message says which and why."""


@dataclass(frozen=True)
class SearchQuery:
    colors: tuple[str, ...]  # as given, for the form
    rgb: tuple[RGB, ...]
    tolerance: float = DEFAULT_TOLERANCE
    min_share: float = DEFAULT_MIN_SHARE
    limit: int = DEFAULT_LIMIT
    settings: str = ""  # "": the catalogue's only settings, else all; "all"; or a number on the catalogue page

    @classmethod
    def of(cls, args: Mapping[str, str], colors: Sequence[str]) -> SearchQuery:
        given = [text.strip() for text in colors if text.strip()]
        if len(given) > MAX_COLOURS:
            raise BadQuery(f"at most {MAX_COLOURS} colours at once, not {len(given)}")
        rgb = []
        for text in given:
            if len(text) > _MAX_TEXT:
                raise BadQuery(f"colour {text[:_MAX_TEXT]!r}...: not a colour")
            try:
                rgb.append(parse_color(text))
            except ValueError:
                raise BadQuery(
                    f"colour {text!r}: not a colour (give #rrggbb, R,G,B or a CSS colour name such as skyblue)"
                ) from None
        settings = args.get("settings", "").strip()
        if settings not in ("", "all") and not (settings.isascii() and settings.isdigit() and len(settings) < 6):
            raise BadQuery(f"settings {settings[:_MAX_TEXT]!r}: give 'all' or a settings number")
        return cls(
            tuple(given), tuple(rgb),
            number(args, "tolerance", DEFAULT_TOLERANCE, 0.0, MAX_TOLERANCE),
            number(args, "min_share", DEFAULT_MIN_SHARE, 0.0, 100.0),
            int(number(args, "limit", DEFAULT_LIMIT, 1, MAX_LIMIT, whole=True)),
            settings,
        )

    @property
    def labels(self) -> dict[str, RGB]:
        """The query colours by their hex codes, as the catalogue labels them."""
        return {hex_rgb(colour): colour for colour in self.rgb}

    def url(self) -> str:
        """The query string of this search, as the page's URL holds it."""
        pairs = [("color", text) for text in self.colors] + [
            ("tolerance", f"{self.tolerance:g}"), ("min_share", f"{self.min_share:g}")
        ]
        if self.limit != DEFAULT_LIMIT:
            pairs.append(("limit", str(self.limit)))
        if self.settings:
            pairs.append(("settings", self.settings))
        return urlencode(pairs)


def number(
    args: Mapping[str, str], name: str, default: float, low: float, high: float, whole: bool = False
) -> float:
    """The parameter `name` as a number from `low` to `high`; `default` when absent or empty."""
    text = args.get(name, "").strip()
    if not text:
        return default
    kind = "a whole number" if whole else "a number"
    try:
        value = int(text) if whole else float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or not low <= value <= high or len(text) > _MAX_TEXT:
        raise BadQuery(f"{name} must be {kind} from {low:g} to {high:g}, not {text[:_MAX_TEXT]!r}")
    return value
