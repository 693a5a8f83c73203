"""Names for colours: the nearest CSS colour name, judged as people see colour (CIEDE2000 in CIELAB),
never a grey for a colour with a clear hue.

    >>> css_name((31, 41, 87))
    'midnightblue'
"""

from __future__ import annotations

import functools
import re
from typing import Any

__all__ = ["css_name", "css_names", "hex_rgb", "parse_color"]

_HEX = re.compile(r"#([0-9a-fA-F]{6})")
_TRIPLE = re.compile(r"\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)\s*")

# CSS gives some colours two names; each colour keeps one, so that equal colours always read alike:
# the "grey" spellings, cyan rather than aqua and magenta rather than fuchsia.
_DROPPED_SYNONYMS = frozenset({"aqua", "fuchsia"})


# A colour of at least this CIELAB chroma has a clear hue: it is named by a colour of its hue (within
# HUE_RANGE degrees) that is not itself near grey (below NEUTRAL_CHROMA), whatever grey is nearer.
CLEAR_CHROMA = 15.0
NEUTRAL_CHROMA = 10.0
HUE_RANGE = 45.0


@functools.cache
def css_names() -> tuple[tuple[str, ...], Any]:
    """The names in alphabetical order and their CIELAB (D65) coordinates as an N x 3 float array."""
    import numpy as np
    from matplotlib.colors import CSS4_COLORS

    from .cielab import srgb_to_lab

    names = sorted(name for name in CSS4_COLORS if "gray" not in name and name not in _DROPPED_SYNONYMS)
    rgb = np.array([[int(str(CSS4_COLORS[name])[i : i + 2], 16) for i in (1, 3, 5)] for name in names], np.uint8)
    lab = srgb_to_lab(rgb)
    lab.setflags(write=False)
    return tuple(names), lab


@functools.lru_cache(maxsize=4096)
def css_name(rgb: tuple[int, int, int]) -> str:
    """The CSS colour name nearest to an (R, G, B) colour of 8-bit ints by CIEDE2000 in CIELAB; among
    equally near names the alphabetically first. A colour with a clear hue (chroma 15 or more) is named by
    a colour of its hue that is not near grey, so that a dark brown is not called a slate grey."""
    import numpy as np

    from .cielab import chroma_and_hue, ciede2000, srgb_to_lab

    names, table = css_names()
    lab = srgb_to_lab(np.array(rgb, np.float64))
    distances = ciede2000(lab, table)
    chroma, hue = chroma_and_hue(lab)
    if chroma >= CLEAR_CHROMA:
        name_chroma, name_hue = _chroma_and_hue_of_names()
        apart = np.abs((name_hue - hue + 180) % 360 - 180)
        fitting = (name_chroma >= NEUTRAL_CHROMA) & (apart <= HUE_RANGE)
        if fitting.any():
            distances = np.where(fitting, distances, np.inf)
    return names[int(np.argmin(distances))]  # argmin takes the first of equal minima


@functools.cache
def _chroma_and_hue_of_names() -> tuple[Any, Any]:
    from .cielab import chroma_and_hue

    return chroma_and_hue(css_names()[1])


def hex_rgb(rgb: tuple[int, int, int]) -> str:
    """`#rrggbb` of an (R, G, B) colour."""
    return "#" + "".join(f"{int(c):02x}" for c in rgb)


def parse_color(text: str) -> tuple[int, int, int]:
    """(R, G, B) of `#rrggbb`, `R,G,B` (ints 0..255) or a CSS colour name such as `skyblue`.
    Raises ValueError for anything else."""
    if match := _HEX.fullmatch(text.strip()):
        digits = match.group(1)
        return int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16)
    if match := _TRIPLE.fullmatch(text):
        r, g, b = (int(part) for part in match.groups())
        if max(r, g, b) > 255:
            raise ValueError("channel values must be 0..255")
        return r, g, b
    from matplotlib.colors import CSS4_COLORS

    named = CSS4_COLORS.get(text.strip().lower())
    if named is not None:
        return parse_color(str(named))
    raise ValueError("colour must be three integers 0..255 separated by commas (R,G,B), #rrggbb or a CSS colour name")
