"""What the pages draw: palette bars (segments as wide as their shares, the colours that matched a query
marked) and an image's colour distribution as a picture."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any
from urllib.parse import urlencode

import numpy as np

from ..names import hex_rgb, ink, nearest, vocabulary

__all__ = ["Segment", "bars", "distribution_svg", "segments"]


@dataclass(frozen=True)
class Segment:
    hex: str
    name: str
    ink: str
    left: float  # percent of the bar
    width: float
    share: float
    matched: tuple[str, ...]  # the query colours this palette colour matched

    @property
    def search(self) -> str:
        """The query string of a search for this colour."""
        return urlencode([("color", self.hex)])


def segments(colors: Iterable[Mapping[str, Any]]) -> list[Segment]:
    """A palette as a bar, left to right in its order, as the chart and the reports draw it."""
    return bars([colors])[0]


def bars(palettes: Iterable[Iterable[Mapping[str, Any]]]) -> list[list[Segment]]:
    """Palettes as bars, their colours named in one pass: naming one colour at a time costs a results
    page more than the page's search of the catalogue does at a few thousand images."""
    listed = [list(colors) for colors in palettes]
    rgb = [tuple(int(c) for c in colour["color"]) for colors in listed for colour in colors]
    words = vocabulary()
    names = [words.names[int(found)] for found in nearest(np.array(rgb).reshape(-1, 3), words)] if rgb else []
    found, place = [], 0
    for colors in listed:
        bar, start = [], 0.0
        for colour in colors:
            share, code = float(colour["percentage"]), rgb[place]
            bar.append(Segment(hex_rgb(code), names[place], ink(code), start, share, share,  # type: ignore[arg-type]
                               tuple(colour.get("matched") or ())))
            start += share
            place += 1
        found.append(bar)
    return found


# The a*, b* plane drawn out to the image's most saturated group, in steps of 20 from 40 (photos seldom go
# beyond 60) to 120; and how large the largest possible group's disc is.
_STEP, _LEAST, _MOST = 20.0, 40.0, 120.0
_SIDE = 240
_DISC = 36.0


def distribution_svg(blob: bytes) -> str:
    """The distribution's groups as discs on the a*, b* plane of CIELAB (hue round the centre, chroma out
    from it, greys in the middle), each disc in the group's mean colour with its area as the group's share
    of the pixels; below, the groups by lightness as one bar. Numbers and hex codes only: safe to inline."""
    import cv2

    from ..distribution import WEIGHT_UNIT, records

    table = records(blob)
    order = np.argsort(table["weight"], kind="stable")[::-1]
    table = table[order]
    lab = table["lab"].astype(np.float32).reshape(1, -1, 3)
    rgb = np.clip(np.round(cv2.cvtColor(lab, cv2.COLOR_Lab2RGB) * 255), 0, 255).astype(int).reshape(-1, 3)
    weight = table["weight"].astype(np.float64) / WEIGHT_UNIT
    furthest = float(np.abs(table["lab"][:, 1:].astype(float)).max(initial=0.0))
    reach = min(_MOST, max(_LEAST, np.ceil(furthest / _STEP) * _STEP))
    half, scale = _SIDE / 2, _SIDE / 2 / reach
    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {_SIDE} {_SIDE + 34}" class="distribution" '
        'role="img" aria-label="colour distribution">',
        f'<rect width="{_SIDE}" height="{_SIDE}" fill="#fafafa" stroke="#ccc"/>',
        f'<path d="M{half} 0V{_SIDE}M0 {half}H{_SIDE}" stroke="#ddd"/>',
        f'<text x="{_SIDE - 4}" y="{half - 4}" text-anchor="end" class="axis">+a* red</text>',
        f'<text x="{half + 4}" y="12" class="axis">+b* yellow</text>',
    ]
    for (l_star, a, b), share, colour in zip(table["lab"].astype(float), weight, rgb):
        x = half + float(np.clip(a, -reach, reach)) * scale
        y = half - float(np.clip(b, -reach, reach)) * scale
        radius = 1.5 + _DISC * float(np.sqrt(share))
        code = hex_rgb(tuple(int(c) for c in colour))  # type: ignore[arg-type]
        parts.append(
            f'<circle cx="{x:.1f}" cy="{y:.1f}" r="{radius:.1f}" fill="{code}" stroke="#0003">'
            f"<title>{code} L*{l_star:.0f}: {share * 100:.2f}%</title></circle>"
        )
    start = 0.0
    for row in np.argsort(table["lab"][:, 0].astype(float), kind="stable"):
        width = weight[row] * _SIDE
        code = hex_rgb(tuple(int(c) for c in rgb[row]))  # type: ignore[arg-type]
        parts.append(f'<rect x="{start:.2f}" y="{_SIDE + 8}" width="{width + 0.3:.2f}" height="26" fill="{code}"/>')
        start += width
    parts.append("</svg>")
    return "".join(parts)
