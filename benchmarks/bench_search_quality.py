"""How well `Catalogue.search` finds the images that hold a colour, against truth from their pixels.

A corpus of real photos (scikit-learn's and matplotlib's), crops of them, product shots on pure white and
flat graphics is indexed with the default extractor (6 colours); then the query colours (28 CSS names and
colours drawn from 16 images) are searched at the default tolerance (CIEDE2000 10). Truth per image and
query: the share of the image's pixels within CIEDE2000 10 of the query colour, counted pixel by pixel.

A search answers "the images in which the colour covers at least P percent of the pixels, by that share",
so for each least share P (the default 1 and 0.1) it is judged against that question: the gain of an
image is its true share where that is at least P, else 0, and a query counts where some image holds P.
Printed per P: mean NDCG@10, the share of top-5 answers that truly hold under 0.1 % of the colour, and the
share of queries whose best image (truth at least P and 1 %) the search does not return. The last line
judges P = 0.1 as the search before pixel shares was judged (every image's share a gain, every query that
some image holds at all): NDCG@10 0.668, 22.5 % weak top-5 answers and 12.8 % best images missed then.

    python benchmarks/bench_search_quality.py [--dump FILE]    (FILE: the hits as JSON, to compare builds)
"""

import argparse
import json
import math
import os
import tempfile
from concurrent.futures import ThreadPoolExecutor

import cv2
import numpy as np
from matplotlib import cbook
from matplotlib.colors import CSS4_COLORS
from sklearn.datasets import load_sample_image

from lumvarde_quorle.catalogue import Catalogue
from lumvarde_quorle.cielab import ciede2000, srgb_to_lab
from lumvarde_quorle.color_extractor_cy import ColorExtractor

TOLERANCE = 10.0
LEAST_SHARES = (1.0, 0.1)
NAMED = [
    "skyblue", "navy", "red", "darkred", "orange", "gold", "yellow", "green", "darkgreen", "olive", "teal",
    "turquoise", "blue", "royalblue", "purple", "violet", "pink", "brown", "saddlebrown", "tan", "beige",
    "white", "black", "grey", "silver", "salmon", "coral", "khaki",
]


def photos():
    for name in ("china.jpg", "flower.jpg"):
        yield name, cv2.cvtColor(load_sample_image(name), cv2.COLOR_RGB2BGR)
    for name in ("grace_hopper.jpg", "Minduka_Present_Blue_Pack.png"):
        yield name, cv2.imread(str(cbook.get_sample_data(name, asfileobj=False)), cv2.IMREAD_COLOR)


def corpus(folder, rng):
    """Image files of the corpus, B, G, R as written."""
    images = {}
    for name, image in photos():
        stem = os.path.splitext(name)[0]
        images[f"{stem}.png"] = image
        height, width = image.shape[:2]
        for number in range(3):  # crops of a third to half of each side, in different places
            h, w = int(height * rng.uniform(0.35, 0.5)), int(width * rng.uniform(0.35, 0.5))
            top, left = rng.integers(0, height - h), rng.integers(0, width - w)
            images[f"{stem}-crop{number}.png"] = image[top : top + h, left : left + w]
    for number in range(8):  # a product on pure white: a body, a label and a small accent
        image = np.full((480, 640, 3), 255, np.uint8)
        body, label, accent = (tuple(int(c) for c in rng.integers(0, 256, 3)) for _ in range(3))
        cv2.ellipse(image, (320, 250), (150, 200), 0, 0, 360, body, -1)
        cv2.rectangle(image, (230, 200), (410, 300), label, -1)
        cv2.circle(image, (320, 120), 22, accent, -1)
        images[f"product{number}.png"] = image
    for number in range(4):  # a flat graphic of three colours
        image = np.zeros((300, 400, 3), np.uint8)
        colours = rng.integers(0, 256, (3, 3))
        image[:, :200], image[:150, 200:], image[150:, 200:] = colours
        images[f"flat{number}.png"] = image
    paths = []
    for name, image in images.items():
        paths.append(os.path.join(folder, name))
        cv2.imwrite(paths[-1], image)
    return paths


def query_colours(paths, rng):
    queries = {name: tuple(int(CSS4_COLORS[name][i : i + 2], 16) for i in (1, 3, 5)) for name in NAMED}
    for path in rng.choice(paths, 16, replace=False):
        pixels = cv2.imread(str(path))[:, :, ::-1].reshape(-1, 3)
        rgb = tuple(int(c) for c in pixels[rng.integers(0, len(pixels))])
        queries.setdefault("#" + "".join(f"{c:02x}" for c in rgb), rgb)
    return queries


def truth(paths, queries):
    """shares[query][path]: percent of the image's pixels within TOLERANCE of the query colour."""
    query_lab = srgb_to_lab(np.array(list(queries.values())))
    shares = {name: {} for name in queries}
    for path in paths:
        pixels = cv2.imread(path)[:, :, ::-1].reshape(-1, 3)
        colours, counts = np.unique(pixels, axis=0, return_counts=True)
        lab = srgb_to_lab(colours)
        for name, query in zip(queries, query_lab):
            near = ciede2000(query, lab) <= TOLERANCE
            shares[name][path] = 100.0 * counts[near].sum() / len(pixels)
    return shares


def ndcg(ranked, gains, k=10):
    dcg = sum(gains[path] / math.log2(rank + 2) for rank, path in enumerate(ranked[:k]))
    ideal = sorted(gains.values(), reverse=True)[:k]
    best = sum(gain / math.log2(rank + 2) for rank, gain in enumerate(ideal))
    return dcg / best if best > 0 else None


def judge(hits, shares, least):
    """NDCG@10, weak top-5 answers and missed best images of the hits of every query, against the truth
    thresholded at `least` percent."""
    scores, weak, missed, judged = [], 0, 0, 0
    for name, found in hits.items():
        ranked = [hit["path"] for hit in found]
        gains = {path: share if share >= least else 0.0 for path, share in shares[name].items()}
        score = ndcg(ranked, gains)
        if score is None:
            continue  # no image holds the colour
        scores.append(score)
        weak += sum(shares[name][path] < 0.1 for path in ranked[:5])
        judged += len(ranked[:5])
        best = max(shares[name], key=shares[name].get)
        missed += shares[name][best] >= max(least, 1.0) and best not in ranked
    return (
        f"{len(scores)} queries held; mean NDCG@10 {np.mean(scores):.3f}; top-5 answers under 0.1 %: "
        f"{100 * weak / max(judged, 1):.1f} % of {judged}; best image not returned: {100 * missed / len(scores):.1f} %"
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dump", help="write the hits of every query as JSON")
    args = parser.parse_args()
    rng = np.random.default_rng(11)
    with tempfile.TemporaryDirectory() as folder:
        paths = corpus(folder, rng)
        queries = query_colours(paths, rng)
        shares = truth(paths, queries)
        with Catalogue(os.path.join(folder, "c.db"), create=True) as catalogue, ThreadPoolExecutor(1) as one:
            catalogue.index(paths, ColorExtractor(n_colors=6), executor=one)
            hits = {
                least: {name: catalogue.search({name: rgb}, limit=10, min_share=least) for name, rgb in queries.items()}
                for least in LEAST_SHARES
            }
        print(f"corpus: {len(paths)} images; queries: {len(queries)}")
        for least in LEAST_SHARES:
            print(f"least share {least:g} %: " + judge(hits[least], shares, least))
        print("least share 0.1 %, judged as before: " + judge(hits[0.1], shares, 0.0))
        if args.dump:
            relative = {
                name: [{**hit, "path": os.path.basename(hit["path"])} for hit in found]
                for name, found in hits[LEAST_SHARES[0]].items()
            }
            with open(args.dump, "w") as out:
                json.dump(relative, out, indent=1, sort_keys=True)


if __name__ == "__main__":
    main()
