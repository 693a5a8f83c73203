"""CSS colour names for the command line's output: known colours, the nearest by CIEDE2000 among names of
the colour's own hue, and one name per colour where CSS has synonyms."""

import numpy as np
import pytest
from matplotlib.colors import CSS4_COLORS

from lumvarde_quorle.cielab import ciede2000, srgb_to_lab
from lumvarde_quorle.names import css_name, css_names


def rgb_of(name):
    hex_code = CSS4_COLORS[name]
    return tuple(int(hex_code[i : i + 2], 16) for i in (1, 3, 5))


@pytest.mark.parametrize("rgb, name", [
    ((0, 0, 128), "navy"), ((20, 20, 110), "midnightblue"), ((245, 245, 220), "beige"), ((250, 10, 10), "red"),
    ((1, 1, 1), "black"), ((254, 254, 254), "white"), ((60, 90, 40), "darkolivegreen"), ((135, 206, 235), "skyblue"),
    # Synonyms: one name each, whichever of the pair the colour is given by.
    ((128, 128, 128), "grey"), ((0, 255, 255), "cyan"), ((255, 0, 255), "magenta"), ((47, 79, 79), "darkslategrey"),
])
def test_known_colours(rgb, name):
    assert css_name(rgb) == name


def test_every_css_colour_is_named_by_itself_or_its_kept_synonym():
    names, _ = css_names()
    for name in CSS4_COLORS:
        found = css_name(rgb_of(name))
        assert rgb_of(found) == rgb_of(name)
        assert found == name or (found, name) in {("cyan", "aqua"), ("magenta", "fuchsia")} or "gray" in name
    assert not any("gray" in name for name in names) and {"cyan", "magenta", "grey"} <= set(names)


def test_nearest_by_ciede2000_and_of_its_own_hue(rng):
    """The first name (alphabetically) at the smallest CIEDE2000 from the colour, among the names of its
    hue that are not near grey when the colour has a clear hue."""
    names, table = css_names()
    for rgb in map(tuple, rng.integers(0, 256, (60, 3)).tolist()):
        lab = srgb_to_lab(rgb)
        hue = np.degrees(np.arctan2(lab[2], lab[1]))
        candidates = [
            (float(ciede2000(lab, known)), name) for name, known in zip(names, table)
            if np.hypot(lab[1], lab[2]) < 15
            or (np.hypot(known[1], known[2]) >= 10
                and abs((np.degrees(np.arctan2(known[2], known[1])) - hue + 180) % 360 - 180) <= 45)
        ]
        assert css_name(rgb) == min(candidates)[1]


@pytest.mark.parametrize("hex_code, name", [
    # Colours of real photos that the extractor's 8-bit LAB distance called grey or split apart.
    ("442813", "saddlebrown"), ("364462", "darkslateblue"), ("9c775d", "peru"), ("802c11", "darkred"),
    ("802c13", "darkred"),
])
def test_colours_with_a_clear_hue_are_named_by_it(hex_code, name):
    assert css_name(tuple(int(hex_code[i : i + 2], 16) for i in (0, 2, 4))) == name
