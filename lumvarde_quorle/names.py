"""Names for colours: the nearest CSS colour name, judged as people see colour (CIEDE2000 in CIELAB),
never a grey for a colour with a clear hue, and one name for names that look nearly alike.

    >>> css_name((128, 44, 17)), css_name((128, 44, 19))
    ('maroon', 'maroon')
"""

from __future__ import annotations

import functools
import re
from typing import Any, NamedTuple

__all__ = ["Vocabulary", "css_name", "css_names", "hex_rgb", "nearest", "parse_color", "vocabulary"]

_HEX = re.compile(r"#([0-9a-fA-F]{6})")
# ASCII digits only: int() would also read other scripts' digits.
_TRIPLE = re.compile(r"\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)\s*", re.ASCII)

# CSS gives some colours two names; each colour keeps one, so that equal colours always read alike:
# the "grey" spellings, cyan rather than aqua and magenta rather than fuchsia.
_DROPPED_SYNONYMS = frozenset({"aqua", "fuchsia"})


# A colour of at least this CIELAB chroma has a clear hue: it is named by a colour of its hue (within
# HUE_RANGE degrees) that is not itself near grey (below NEUTRAL_CHROMA), whatever grey is nearer.
CLEAR_CHROMA = 15.0
NEUTRAL_CHROMA = 10.0
HUE_RANGE = 45.0

# Every pair of names draws a boundary where two colours that look the same get different names. A name
# within this CIEDE2000 of a more familiar kept name is not used for naming (darkred goes, maroon stays).
# 8 is about the mean distance from a photo's colour to its name (7.2): such names tell apart less than
# the naming's own error. On photos' colours (benchmarks/bench_names.py) look-alike pairs named apart
# fall from 4.8 % to 4.4 %, the mean distance rises to 7.6. Cuts of 10 or more split fewer pairs still but
# name some colours by a far neighbour (darkorange as sandybrown), as the greedy pick leaves holes.
MERGE_BELOW = 8.0

# The sixteen basic web colours (in this module's spellings), kept first when names are merged.
_BASIC = frozenset({
    "black", "silver", "grey", "white", "maroon", "red", "purple", "magenta", "green", "lime", "olive",
    "yellow", "navy", "blue", "teal", "cyan",
})


class Vocabulary(NamedTuple):
    """Names in alphabetical order with their CIELAB (D65) coordinates (N x 3), chroma and hue angle."""

    names: tuple[str, ...]
    lab: Any
    chroma: Any
    hue: Any


@functools.cache
def vocabulary(merge_below: float = MERGE_BELOW) -> Vocabulary:
    """The CSS names used for naming: all of them but the second spellings of synonyms, less each name
    within `merge_below` (CIEDE2000) of a name kept before it, the more familiar first."""
    import numpy as np
    from matplotlib.colors import CSS4_COLORS, XKCD_COLORS

    from .cielab import chroma_and_hue, ciede2000, srgb_to_lab

    names = sorted(name for name in CSS4_COLORS if "gray" not in name and name not in _DROPPED_SYNONYMS)
    lab = srgb_to_lab(np.array([_rgb_of_hex(str(CSS4_COLORS[name])) for name in names], np.uint8))
    # Familiar: a basic colour, then a name people gave in the XKCD colour survey, then shorter.
    surveyed = {name[5:].replace(" ", "") for name in XKCD_COLORS}
    keep: list[int] = []
    for index in sorted(range(len(names)), key=lambda i: _familiarity(names[i], surveyed)):
        if not keep or float(np.min(ciede2000(lab[index], lab[keep]))) >= merge_below:
            keep.append(index)
    keep.sort()
    kept = lab[keep]
    chroma, hue = chroma_and_hue(kept)
    for array in (kept, chroma, hue):
        array.setflags(write=False)
    return Vocabulary(tuple(names[i] for i in keep), kept, chroma, hue)


def _familiarity(name: str, surveyed: set[str]) -> tuple[bool, bool, int, str]:
    return (name not in _BASIC, name not in surveyed, len(name), name)


def css_names() -> tuple[tuple[str, ...], Any]:
    """The names `css_name` answers, in alphabetical order, and their CIELAB (D65) coordinates (N x 3)."""
    names, lab, _, _ = vocabulary()
    return names, lab


@functools.lru_cache(maxsize=4096)
def css_name(rgb: tuple[int, int, int]) -> str:
    """The CSS colour name nearest to an (R, G, B) colour of 8-bit ints by CIEDE2000 in CIELAB, among the
    names of `vocabulary()`; of equally near names the alphabetically first. A colour with a clear hue
    (chroma 15 or more) is named by a colour of its hue that is not near grey, so that a dark brown is not
    called a slate grey."""
    import numpy as np

    words = vocabulary()
    return words.names[int(nearest(np.array([rgb]), words)[0])]


def nearest(rgb: Any, words: Vocabulary) -> Any:
    """For (R, G, B) colours (N x 3, 0..255), the index in `words.names` of each one's name, as
    `css_name` chooses it."""
    import numpy as np

    from .cielab import chroma_and_hue, ciede2000, srgb_to_lab

    lab = srgb_to_lab(rgb)
    distances = ciede2000(lab[:, None, :], words.lab[None, :, :])
    chroma, hue = chroma_and_hue(lab)
    apart = np.abs((words.hue[None, :] - hue[:, None] + 180) % 360 - 180)
    fitting = (words.chroma[None, :] >= NEUTRAL_CHROMA) & (apart <= HUE_RANGE)
    restrict = (chroma >= CLEAR_CHROMA)[:, None] & fitting.any(axis=1, keepdims=True)
    distances = np.where(restrict & ~fitting, np.inf, distances)
    return np.argmin(distances, axis=1)  # argmin takes the first of equal minima


def _rgb_of_hex(code: str) -> tuple[int, int, int]:
    return int(code[1:3], 16), int(code[3:5], 16), int(code[5:7], 16)


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
