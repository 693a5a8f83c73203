"""CSS colour names for the command line's output: known colours, the nearest by CIEDE2000 among names of
the colour's own hue, one name per colour where CSS has synonyms, and one name for names that look nearly
alike, so that colours that look the same are named alike across them."""

import numpy as np
import pytest
from matplotlib.colors import CSS4_COLORS, XKCD_COLORS

from lumvarde_quorle.cielab import ciede2000, srgb_to_lab
from lumvarde_quorle.css import CSS4_COLOURS, SURVEYED
from lumvarde_quorle.names import MERGE_BELOW, css_name, css_names, nearest, parse_color, vocabulary


def rgb_of(name):
    hex_code = CSS4_COLORS[name]
    return tuple(int(hex_code[i : i + 2], 16) for i in (1, 3, 5))


@pytest.mark.parametrize("rgb, name", [
    ((0, 0, 128), "navy"), ((20, 20, 110), "navy"), ((245, 245, 220), "beige"), ((250, 10, 10), "red"),
    ((1, 1, 1), "black"), ((254, 254, 254), "white"), ((60, 90, 40), "darkolivegreen"), ((135, 206, 235), "skyblue"),
    # Synonyms: one name each, whichever of the pair the colour is given by.
    ((128, 128, 128), "grey"), ((0, 255, 255), "cyan"), ((255, 0, 255), "magenta"), ((47, 79, 79), "darkslategrey"),
])
def test_known_colours(rgb, name):
    assert css_name(rgb) == name


def test_every_css_colour_is_named_by_itself_or_by_a_kept_name_that_looks_nearly_alike():
    names, table = css_names()
    for name in CSS4_COLORS:
        found = css_name(rgb_of(name))
        if name in names:
            assert found == name
        else:
            assert float(ciede2000(srgb_to_lab(rgb_of(name)), table[names.index(found)])) < MERGE_BELOW, name
    assert not any("gray" in name for name in names) and {"cyan", "magenta", "grey"} <= set(names)


@pytest.mark.parametrize("merge_below", [0.0, 3.0, MERGE_BELOW, 12.0])
def test_kept_names_are_apart_and_every_dropped_name_is_near_one(merge_below):
    everything, kept = vocabulary(0.0), vocabulary(merge_below)
    assert len(everything.names) == 139 and set(kept.names) <= set(everything.names)
    assert list(kept.names) == sorted(kept.names)
    apart = ciede2000(kept.lab[:, None], kept.lab[None])
    assert (apart[~np.eye(len(kept.names), dtype=bool)] >= merge_below).all()
    to_kept = ciede2000(everything.lab[:, None], kept.lab[None]).min(axis=1)
    assert (to_kept < merge_below).all() if merge_below else (to_kept == 0).all()


@pytest.mark.parametrize("dropped, kept", [
    # A basic web colour over its look-alike; then a name people use over a fanciful one.
    ("darkred", "maroon"), ("darkblue", "navy"), ("darkmagenta", "purple"), ("whitesmoke", "white"),
    ("firebrick", "brown"), ("burlywood", "tan"), ("moccasin", "wheat"),
])
def test_of_names_that_look_nearly_alike_the_familiar_one_is_kept(dropped, kept):
    names = vocabulary().names
    assert kept in names and dropped not in names
    assert css_name(rgb_of(dropped)) == kept


@pytest.mark.parametrize("first, second", [
    ("87030a", "88030a"),  # darkred and maroon
    ("cba46e", "caa46e"),  # burlywood and tan
    ("130564", "130664"),  # midnightblue and navy
    ("af3a34", "af3a33"),  # firebrick and brown
    ("9d5518", "9d5519"),  # saddlebrown and sienna
])
def test_colours_that_look_the_same_across_merged_names_share_a_name(first, second):
    rgbs = np.array([[int(code[i : i + 2], 16) for i in (0, 2, 4)] for code in (first, second)])
    assert float(ciede2000(*srgb_to_lab(rgbs))) < 1
    assert len(set(nearest(rgbs, vocabulary(0.0)))) == 2  # all of CSS's names would split them
    assert css_name(tuple(rgbs[0].tolist())) == css_name(tuple(rgbs[1].tolist()))


def test_every_css_name_is_read_as_its_colour_whether_or_not_it_names_colours():
    for name in CSS4_COLORS:
        assert parse_color(name) == parse_color(name.upper()) == rgb_of(name)


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
    ("442813", "maroon"), ("364462", "darkslateblue"), ("9c775d", "peru"), ("802c11", "maroon"),
    ("802c13", "maroon"),
])
def test_colours_with_a_clear_hue_are_named_by_it(hex_code, name):
    assert css_name(tuple(int(hex_code[i : i + 2], 16) for i in (0, 2, 4))) == name


def test_the_packages_css_tables_are_matplotlibs():
    assert CSS4_COLOURS == {name: code.lower() for name, code in CSS4_COLORS.items()}
    assert SURVEYED == {name[5:].replace(" ", "") for name in XKCD_COLORS} & set(CSS4_COLORS)
