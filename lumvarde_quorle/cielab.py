"""Colour as people see it, for what the package judges itself (finding images by colour, naming colours):
CIELAB coordinates of sRGB colours under the D65 white, as real numbers, and the CIEDE2000 colour
difference between them.

The extractor's own operations keep their distances between OpenCV's 8-bit LAB codes, whose lightness is
scaled by 2.55 while a and b are not; these are the standard coordinates and difference instead.

    >>> float(ciede2000(srgb_to_lab((255, 255, 255)), srgb_to_lab((0, 0, 0))))
    100.0

Sources: IEC 61966-2-1 (sRGB: transfer function and primaries), CIE 15 (CIELAB), and G. Sharma, W. Wu and
E. N. Dalal, "The CIEDE2000 color-difference formula: implementation notes, supplementary test data, and
mathematical observations", Color Research & Application 30 (1), 2005, whose test pairs the tests check.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["chroma_and_hue", "ciede2000", "srgb_to_lab"]

# Linear sRGB to CIE XYZ (IEC 61966-2-1, D65).
_RGB_TO_XYZ = np.array([
    [0.4124564, 0.3575761, 0.1804375],
    [0.2126729, 0.7151522, 0.0721750],
    [0.0193339, 0.1191920, 0.9503041],
])
# The white the primaries add up to, so that every grey has a = b = 0 exactly.
_WHITE = _RGB_TO_XYZ.sum(axis=1)
_EPSILON = (6 / 29) ** 3
_POWER_7_OF_25 = 25.0**7


def srgb_to_lab(rgb: ArrayLike) -> NDArray[np.float64]:
    """CIELAB (L*, a*, b*) of 8-bit sRGB colours: any array of shape (..., 3) of R, G, B values 0..255
    gives the same shape of float64 coordinates."""
    values = np.asarray(rgb, np.float64) / 255.0
    if values.shape[-1:] != (3,):
        raise ValueError(f"colours must have 3 channels (R, G, B) in their last axis, got shape {values.shape}")
    linear = np.where(values <= 0.04045, values / 12.92, ((values + 0.055) / 1.055) ** 2.4)
    relative = (linear @ _RGB_TO_XYZ.T) / _WHITE
    f = np.where(relative > _EPSILON, np.cbrt(relative), relative / (3 * (6 / 29) ** 2) + 4 / 29)
    lab = np.empty(f.shape, np.float64)
    lab[..., 0] = 116 * f[..., 1] - 16
    lab[..., 1] = 500 * (f[..., 0] - f[..., 1])
    lab[..., 2] = 200 * (f[..., 1] - f[..., 2])
    return lab


def ciede2000(first: ArrayLike, second: ArrayLike) -> NDArray[np.float64]:
    """The CIEDE2000 difference (kL = kC = kH = 1) between CIELAB colours, broadcast over their leading
    axes: a colour against many, or pairs."""
    lab1, lab2 = (np.asarray(lab, np.float64) for lab in (first, second))
    l1, a1, b1 = lab1[..., 0], lab1[..., 1], lab1[..., 2]
    l2, a2, b2 = lab2[..., 0], lab2[..., 1], lab2[..., 2]
    mean_chroma7 = ((np.hypot(a1, b1) + np.hypot(a2, b2)) / 2) ** 7
    g = 0.5 * (1 - np.sqrt(mean_chroma7 / (mean_chroma7 + _POWER_7_OF_25)))
    c1, c2 = np.hypot((1 + g) * a1, b1), np.hypot((1 + g) * a2, b2)
    h1, h2 = _hue(b1, (1 + g) * a1), _hue(b2, (1 + g) * a2)
    chromatic = (c1 * c2) != 0

    dh = h2 - h1
    dh = np.where(dh > 180, dh - 360, np.where(dh < -180, dh + 360, dh))
    dh = np.where(chromatic, dh, 0.0)
    d_lightness, d_chroma = l2 - l1, c2 - c1
    d_hue = 2 * np.sqrt(c1 * c2) * np.sin(np.radians(dh) / 2)

    mean_l, mean_c = (l1 + l2) / 2, (c1 + c2) / 2
    hue_sum, apart = h1 + h2, np.abs(h1 - h2) > 180
    mean_h = np.where(apart, np.where(hue_sum < 360, hue_sum + 360, hue_sum - 360), hue_sum) / 2
    mean_h = np.where(chromatic, mean_h, hue_sum)
    t = (
        1 - 0.17 * _cos(mean_h - 30) + 0.24 * _cos(2 * mean_h) + 0.32 * _cos(3 * mean_h + 6)
        - 0.20 * _cos(4 * mean_h - 63)
    )
    rotation = 30 * np.exp(-(((mean_h - 275) / 25) ** 2))
    mean_c7 = mean_c**7
    r_t = -2 * np.sqrt(mean_c7 / (mean_c7 + _POWER_7_OF_25)) * np.sin(np.radians(2 * rotation))
    s_l = 1 + 0.015 * (mean_l - 50) ** 2 / np.sqrt(20 + (mean_l - 50) ** 2)
    s_c = 1 + 0.045 * mean_c
    s_h = 1 + 0.015 * mean_c * t
    lightness, chroma, hue = d_lightness / s_l, d_chroma / s_c, d_hue / s_h
    return np.sqrt(np.maximum(lightness**2 + chroma**2 + hue**2 + r_t * chroma * hue, 0.0))


def chroma_and_hue(lab: ArrayLike) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """CIELAB chroma C* and hue angle h (degrees, 0 to 360; 0 without chroma) of colours (..., 3)."""
    values = np.asarray(lab, np.float64)
    return np.hypot(values[..., 1], values[..., 2]), _hue(values[..., 2], values[..., 1])


def _hue(b: NDArray[np.float64], a: NDArray[np.float64]) -> NDArray[np.float64]:
    """The hue angle in degrees, 0 to 360; 0 where the colour has no chroma."""
    return np.where((a == 0) & (b == 0), 0.0, np.degrees(np.arctan2(b, a)) % 360)


def _cos(degrees: Any) -> NDArray[np.float64]:
    return np.asarray(np.cos(np.radians(degrees)), np.float64)
