"""What the catalogue's colour queries return, one dict per image found."""

from __future__ import annotations

from typing import Any, TypedDict

from ..results import RGB
from .palettes import PaletteColor

__all__ = ["MatchedColor", "NearestColor", "SearchHit", "SimilarHit"]


class MatchedColor(TypedDict):
    """A palette colour in a search result: the query colours it is the nearest palette colour to and
    within the tolerance of, and the CIEDE2000 difference to the nearest of them."""

    color: RGB
    percentage: float
    matched: list[str]
    distance: float | None


class NearestColor(TypedDict):
    """The palette colour nearest to a query colour, and their CIEDE2000 difference."""

    color: RGB
    percentage: float
    distance: float


class SearchHit(TypedDict):
    path: str
    share: float  # the least over the query colours of the percent of the image's pixels within tolerance
    queries: dict[str, float]  # per query colour, the percent of the image's pixels within tolerance of it
    nearest: dict[str, NearestColor]  # per query colour, the nearest palette colour
    colors: list[MatchedColor]
    settings: dict[str, Any]


class SimilarHit(TypedDict):
    path: str
    distance: float  # percent of the image's colour that finds no match in the query's (0: alike)
    colors: list[PaletteColor]
    settings: dict[str, Any]
