"""How colour names fit colours drawn from real photos: of the colours with clear chroma (CIELAB C* >= 15,
L* 20..90), the share named by a neutral colour (C* below 10) or by one whose hue is more than 45 degrees
away; of pairs of colours that look the same (CIEDE2000 below 1), the share given different names; and the
time per name. Photos: scikit-learn's china.jpg and flower.jpg, matplotlib's grace_hopper.jpg and
Minduka_Present_Blue_Pack.png, 4,000 distinct colours drawn from each."""

import time

import cv2
import numpy as np
from matplotlib import cbook
from sklearn.datasets import load_sample_image

from lumvarde_quorle.cielab import chroma_and_hue, ciede2000, srgb_to_lab
from lumvarde_quorle.names import css_name

PER_IMAGE = 4000
NEUTRAL_CHROMA = 10.0
HUE_TOLERANCE = 45.0


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


def main():
    rng = np.random.default_rng(7)
    colours = sample_colours(rng)
    lab = srgb_to_lab(colours)
    chroma, _ = chroma_and_hue(lab)
    clear = colours[(chroma >= 15) & (lab[:, 0] >= 20) & (lab[:, 0] <= 90)]
    start = time.perf_counter()
    css_name.cache_clear()
    names = [css_name(tuple(map(int, rgb))) for rgb in clear]
    per_name = (time.perf_counter() - start) / len(clear)

    from matplotlib.colors import CSS4_COLORS, to_rgb

    named_chroma, named_hue = chroma_and_hue(srgb_to_lab(np.array([to_rgb(CSS4_COLORS[name]) for name in names]) * 255))
    _, clear_hue = chroma_and_hue(srgb_to_lab(clear))
    apart = np.abs((named_hue - clear_hue + 180) % 360 - 180)
    neutral = named_chroma < NEUTRAL_CHROMA
    off_hue = ~neutral & (apart > HUE_TOLERANCE)

    # Pairs that look the same: each colour and a neighbour one step away in one channel.
    base = clear[rng.choice(len(clear), min(3000, len(clear)), replace=False)].astype(int)
    step = np.zeros_like(base)
    step[np.arange(len(base)), rng.integers(0, 3, len(base))] = rng.choice([-2, -1, 1, 2], len(base))
    other = np.clip(base + step, 0, 255)
    alike = ciede2000(srgb_to_lab(base), srgb_to_lab(other)) < 1.0
    differ = [
        css_name(tuple(map(int, first))) != css_name(tuple(map(int, second)))
        for first, second in zip(base[alike], other[alike])
    ]

    print(f"colours drawn from {len(list(photos()))} photos: {len(colours):,}; with clear chroma: {len(clear):,}")
    print(f"named neutral:                       {100 * neutral.mean():5.1f} %")
    print(f"named by a hue more than 45 deg off: {100 * off_hue.mean():5.1f} %")
    print(f"neutral or off hue:                  {100 * (neutral | off_hue).mean():5.1f} %")
    print(f"look-alike pairs named differently:  {100 * np.mean(differ):5.1f} % of {len(differ):,} pairs")
    print(f"time per name (uncached):            {1e6 * per_name:7.1f} us")


if __name__ == "__main__":
    main()
