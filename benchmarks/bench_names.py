"""How colour names fit colours drawn from real photos, for the names `css_name` gives (all CSS names but
those within MERGE_BELOW of a more familiar one), beside all CSS names as the same rule would give them
and the XKCD survey's ~950 names: of the colours with clear chroma (CIELAB C* >= 15, L* 20..90), the share
named by a neutral colour (C* below 10) or by one whose hue is more than 45 degrees away; of pairs of
colours that look the same (CIEDE2000 below 1), the share given different names; the mean CIEDE2000 from
a colour to its name's colour; and the time per `css_name` call. Photos: scikit-learn's china.jpg and
flower.jpg, matplotlib's grace_hopper.jpg and Minduka_Present_Blue_Pack.png, 4,000 distinct colours drawn
from each; three neighbours of every clear colour, one to two steps away in one channel, make the pairs.

Figures of the change that merged near-alike names (CIEDE2000 below 8): look-alike pairs named apart
4.8 % with all CSS names, 4.4 % with those kept; mean distance to the name 7.22 then 7.61. XKCD's names
lie nearer (4.04) but split twice the pairs (8.9 %), so the tool does not offer them. Merging more splits
fewer pairs at the price of familiar names: below 10, 60 names, 3.4 % and 8.27 (darkgreen, darkorange,
salmon and turquoise go); below 12, 44 names, 2.9 % and 8.82."""

import time

import cv2
import numpy as np
from matplotlib import cbook
from matplotlib.colors import XKCD_COLORS, to_rgb
from sklearn.datasets import load_sample_image

from lumvarde_quorle.cielab import chroma_and_hue, ciede2000, srgb_to_lab
from lumvarde_quorle.names import Vocabulary, css_name, nearest, vocabulary

PER_IMAGE = 4000
NEIGHBOURS = 3
NEUTRAL_CHROMA = 10.0
HUE_TOLERANCE = 45.0
CHUNK = 2000


def photos():
    for name in ("china.jpg", "flower.jpg"):
        yield name, load_sample_image(name)
    for name in ("grace_hopper.jpg", "Minduka_Present_Blue_Pack.png"):
        image = cv2.imread(str(cbook.get_sample_data(name, asfileobj=False)), cv2.IMREAD_COLOR)
        yield name, cv2.cvtColor(image, cv2.COLOR_BGR2RGB)


def sample_colours(rng):
    drawn = []
    for _, rgb in photos():
        distinct = np.unique(rgb.reshape(-1, 3), axis=0)
        drawn.append(distinct[rng.choice(len(distinct), min(PER_IMAGE, len(distinct)), replace=False)])
    return np.concatenate(drawn)


def xkcd_vocabulary():
    lab = srgb_to_lab(np.array([to_rgb(code) for code in XKCD_COLORS.values()]) * 255)
    return Vocabulary(tuple(XKCD_COLORS), lab, *chroma_and_hue(lab))


def name_indices(rgb, words):
    return np.concatenate([nearest(rgb[start : start + CHUNK], words) for start in range(0, len(rgb), CHUNK)])


def figures(words, clear, first, second):
    named = words.lab[name_indices(clear, words)]
    named_chroma, named_hue = chroma_and_hue(named)
    clear_lab = srgb_to_lab(clear)
    _, clear_hue = chroma_and_hue(clear_lab)
    apart = np.abs((named_hue - clear_hue + 180) % 360 - 180)
    neutral = named_chroma < NEUTRAL_CHROMA
    off_hue = ~neutral & (apart > HUE_TOLERANCE)
    differ = name_indices(first, words) != name_indices(second, words)
    distance = ciede2000(clear_lab, named).mean()
    return len(words.names), neutral.mean(), off_hue.mean(), (neutral | off_hue).mean(), differ.mean(), distance


def main():
    rng = np.random.default_rng(7)
    colours = sample_colours(rng)
    lab = srgb_to_lab(colours)
    chroma, _ = chroma_and_hue(lab)
    clear = colours[(chroma >= 15) & (lab[:, 0] >= 20) & (lab[:, 0] <= 90)]
    start = time.perf_counter()
    css_name.cache_clear()
    for rgb in clear:
        css_name(tuple(map(int, rgb)))
    per_name = (time.perf_counter() - start) / len(clear)

    # Pairs that look the same: each colour and a neighbour one or two steps away in one channel.
    base = np.repeat(clear.astype(int), NEIGHBOURS, axis=0)
    step = np.zeros_like(base)
    step[np.arange(len(base)), rng.integers(0, 3, len(base))] = rng.choice([-2, -1, 1, 2], len(base))
    other = np.clip(base + step, 0, 255)
    alike = ciede2000(srgb_to_lab(base), srgb_to_lab(other)) < 1.0
    first, second = base[alike], other[alike]

    columns = {"css_name": vocabulary(), "all CSS": vocabulary(0.0), "XKCD": xkcd_vocabulary()}
    rows = list(zip(*(figures(words, clear, first, second) for words in columns.values())))
    print(f"colours drawn from {len(list(photos()))} photos: {len(colours):,}; with clear chroma: {len(clear):,}; "
          f"look-alike pairs: {len(first):,}")
    print(f"{'':38}" + "".join(f"{title:>10}" for title in columns))
    print(f"{'names':38}" + "".join(f"{count:>10}" for count in rows[0]))
    labels = ("named neutral", "named by a hue more than 45 deg off", "neutral or off hue",
              "look-alike pairs named differently")
    for label, shares in zip(labels, rows[1:5]):
        print(f"{label + ' (%)':38}" + "".join(f"{100 * share:>10.1f}" for share in shares))
    print(f"{'mean CIEDE2000 to the named colour':38}" + "".join(f"{value:>10.2f}" for value in rows[5]))
    print(f"time per css_name (uncached): {1e6 * per_name:.1f} us")
    # Any naming splits look-alike pairs where its names meet, the more often the smaller their regions:
    # fewer names split fewer pairs but name each colour less closely.
    print("merging names nearer than (CIEDE2000): names, look-alike pairs named differently, mean distance")
    for merge_below in (4.0, 8.0, 10.0, 12.0, 16.0):
        count, *_, differ, distance = figures(vocabulary(merge_below), clear, first, second)
        print(f"  {merge_below:4.0f}: {count:4}, {100 * differ:4.1f} %, {distance:5.2f}")


if __name__ == "__main__":
    main()
