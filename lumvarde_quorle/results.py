"""Shapes of the dicts that `ColorExtractor` returns, for annotations in user code.

Plain dicts at run time; these classes only describe their keys and value types.
"""

from typing import TypedDict

__all__ = ["RGB", "ColorInfo", "SimilarityEntry", "MatchEntry"]

RGB = tuple[int, int, int]


class ColorInfo(TypedDict):
    """One dominant colour: R, G, B and its share of the analysed pixels in percent."""

    color: RGB
    percentage: float


class SimilarityEntry(TypedDict):
    """How much of one target colour the dominant colours hold.

    "percentage" and "similarity" are the int 0 when the target is not matched.
    """

    percentage: float
    similarity: float
    closest_color: RGB
    distance: float
    found_directly: bool


class MatchEntry(TypedDict):
    """Pixel-level match of one target colour.

    The numbers are NumPy float64 scalars (a float subclass); "similarity_score" is the int 0 when
    the nearest pixel is 50 or more LAB units away.
    """

    total_percentage: float
    close_percentage: float
    very_close_percentage: float
    closest_pixel: RGB
    min_distance: float
    similarity_score: float
