"""Names for colours: the nearest CSS colour name, judged in the 8-bit LAB space the extractor
measures distances in.

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


@functools.cache
def css_names() -> tuple[tuple[str, ...], Any]:
    """The names in alphabetical order and their 8-bit LAB codes as an N x 3 float array."""
    import cv2
    import numpy as np
    from matplotlib.colors import CSS4_COLORS

    names = sorted(name for name in CSS4_COLORS if "gray" not in name and name not in _DROPPED_SYNONYMS)
    rgb = np.array([[int(str(CSS4_COLORS[name])[i : i + 2], 16) for i in (1, 3, 5)] for name in names], np.uint8)
    lab = cv2.cvtColor(rgb.reshape(1, -1, 3), cv2.COLOR_RGB2LAB).reshape(-1, 3).astype(np.float64)
    lab.setflags(write=False)
    return tuple(names), lab


@functools.lru_cache(maxsize=4096)
def css_name(rgb: tuple[int, int, int]) -> str:
    """The CSS colour name nearest to an (R, G, B) colour of 8-bit ints, by Euclidean distance between
    OpenCV's 8-bit LAB codes; among equally near names the alphabetically first."""
    import cv2
    import numpy as np

    names, table = css_names()
    lab = cv2.cvtColor(np.array([[rgb]], np.uint8), cv2.COLOR_RGB2LAB)[0, 0].astype(np.float64)
    distances = np.sqrt(((table - lab) ** 2).sum(axis=1))
    return names[int(np.argmin(distances))]  # argmin takes the first of equal minima


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
