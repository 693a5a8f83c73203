"""How close the share estimated from an image's distribution records comes to counting its pixels.

Images: scikit-learn's china.jpg and flower.jpg, matplotlib's grace_hopper.jpg, copies of them (china.jpg at
320 x 214, flower.jpg darkened to 60 %, grace_hopper.jpg at half size), flower.jpg at 1600 x 1200 with a red
accent on 3 % of it, matplotlib's present and logo composited on pure white, and a product drawn on pure
white. Queries per image: 5 named colours and 25 of the image's own pixels (a fixed draw). Per tolerance
(CIEDE2000 5, 10 and 20) the estimate of `lumvarde_quorle.distribution` (what search evaluates) is compared
with the share of the pixels within the tolerance, counted pixel by pixel; printed in percentage points:
the largest error per image, then the largest, the 99th percentile and the mean over all queries.

    python benchmarks/bench_share_precision.py [--worst N]

--worst N lists the N largest errors.
"""

import argparse

import cv2
import numpy as np
from matplotlib import cbook
from sklearn.datasets import load_sample_image

from lumvarde_quorle.cielab import ciede2000, srgb_to_lab
from lumvarde_quorle.distribution import Distributions, colour_distribution

TOLERANCES = (5.0, 10.0, 20.0)
NAMED = {"skyblue": (135, 206, 235), "forestgreen": (34, 139, 34), "whitesmoke": (245, 245, 245),
         "grey": (128, 128, 128), "red": (255, 0, 0)}
OWN_PIXELS = 25


def sample(name):
    return cv2.imread(str(cbook.get_sample_data(name, asfileobj=False)), cv2.IMREAD_UNCHANGED)


def on_white(image):
    """A B, G, R(, A) picture over pure white, by its alpha."""
    if image.dtype != np.uint8:
        image = (image * 255).round().astype(np.uint8)
    if image.shape[2] == 3:
        return image
    alpha = image[:, :, 3:].astype(np.float64) / 255
    return (image[:, :, :3] * alpha + 255 * (1 - alpha)).round().astype(np.uint8)


def product():
    """A shaded product with a label and a small accent on pure white, smoothed as a photo is."""
    image = np.full((480, 640, 3), 255, np.uint8)
    cv2.ellipse(image, (320, 250), (150, 200), 0, 0, 360, (40, 90, 200), -1)
    cv2.rectangle(image, (230, 200), (410, 300), (230, 230, 60), -1)
    cv2.circle(image, (320, 120), 22, (30, 30, 220), -1)
    shade = np.linspace(0.75, 1.0, 640)[None, :, None]
    body = (image < 255).any(axis=2, keepdims=True)
    image = np.where(body, image * shade, image).astype(np.uint8)
    return cv2.GaussianBlur(image, (5, 5), 0)


def images():
    china = cv2.cvtColor(load_sample_image("china.jpg"), cv2.COLOR_RGB2BGR)
    flower = cv2.cvtColor(load_sample_image("flower.jpg"), cv2.COLOR_RGB2BGR)
    hopper = sample("grace_hopper.jpg")
    accent = cv2.resize(flower, (1600, 1200), interpolation=cv2.INTER_CUBIC)
    cv2.ellipse(accent, (1200, 300), (136, 100), 0, 0, 360, (20, 20, 230), -1)
    return {
        "china": china, "flower": flower, "grace_hopper": hopper,
        "china 320x214": cv2.resize(china, (320, 214), interpolation=cv2.INTER_AREA),
        "flower dark": (flower * 0.6).astype(np.uint8),
        "hopper half": cv2.resize(hopper, None, fx=0.5, fy=0.5, interpolation=cv2.INTER_AREA),
        "accent": accent, "present": on_white(sample("Minduka_Present_Blue_Pack.png")),
        "logo": on_white(sample("logo2.png")), "product": product(),
    }


def distinct(image):
    """The image's distinct colours (R, G, B) and their pixel counts."""
    keys = image.reshape(-1, 3).astype(np.uint32) @ np.array([1, 1 << 8, 1 << 16], np.uint32)
    values, counts = np.unique(keys, return_counts=True)
    rgb = np.stack([values >> 16, (values >> 8) & 255, values & 255], axis=1)
    return rgb, counts


def errors(image, rng):
    """Rows of (query R, G, B, tolerance, true percent, estimated percent)."""
    rgb, counts = distinct(image)
    lab = srgb_to_lab(rgb)
    pixels = image.reshape(-1, 3)[:, ::-1]
    own = pixels[rng.integers(0, len(pixels), OWN_PIXELS)]
    queries = np.concatenate([np.array(list(NAMED.values())), own])
    distribution = Distributions.of([colour_distribution(image)])
    rows = []
    for query, query_lab in zip(queries, srgb_to_lab(queries)):
        difference = ciede2000(query_lab, lab)
        for tolerance in TOLERANCES:
            truth = 100.0 * counts[difference <= tolerance].sum() / counts.sum()
            estimate = float(distribution.shares(query_lab, tolerance)[0, 0])
            rows.append((*query, tolerance, truth, estimate))
    return np.array(rows)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--worst", type=int, default=0, help="list this many of the largest errors")
    args = parser.parse_args()
    rng = np.random.default_rng(35)
    found = {name: errors(image, rng) for name, image in images().items()}
    print(f"{'image':<16}" + "".join(f"{f'max T={t:g}':>11}" for t in TOLERANCES))
    for name, rows in found.items():
        worst = [np.abs(rows[rows[:, 3] == t, 5] - rows[rows[:, 3] == t, 4]).max() for t in TOLERANCES]
        print(f"{name:<16}" + "".join(f"{w:>11.2f}" for w in worst))
    every = np.concatenate(list(found.values()))
    for tolerance in TOLERANCES:
        error = np.abs(every[every[:, 3] == tolerance, 5] - every[every[:, 3] == tolerance, 4])
        print(f"tolerance {tolerance:g}: max {error.max():.2f}, 99th percentile {np.percentile(error, 99):.2f}, "
              f"mean {error.mean():.2f} points over {len(error)} queries")
    if args.worst:
        labelled = [(name, row) for name, rows in found.items() for row in rows]
        labelled.sort(key=lambda item: -abs(item[1][5] - item[1][4]))
        for name, (r, g, b, tolerance, truth, estimate) in labelled[: args.worst]:
            print(f"{name:<16} rgb {int(r):3d} {int(g):3d} {int(b):3d}  T {tolerance:4g}  truth {truth:6.2f}  "
                  f"estimate {estimate:6.2f}  error {estimate - truth:+.2f}")


if __name__ == "__main__":
    main()
