"""CSS colour names for the command line's output: known colours, agreement with the extractor's own
LAB distance, and one name per colour where CSS has synonyms."""

import numpy as np
import pytest
from matplotlib.colors import CSS4_COLORS

from lumvarde_quorle.color_extractor_cy import ColorExtractor
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


def test_nearest_by_the_extractors_lab_distance(rng):
    """The first name (alphabetically) at the smallest `_color_distance_lab` from the colour."""
    distance = ColorExtractor()._color_distance_lab
    names = css_names()[0]
    for rgb in map(tuple, rng.integers(0, 256, (40, 3)).tolist()):
        nearest = min(names, key=lambda name: (distance(np.array(rgb), np.array(rgb_of(name))), name))
        assert css_name(rgb) == nearest
