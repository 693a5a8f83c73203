"""Time and peak memory of DBSCAN clustering on real photos and on 4 MP and 12 MP images made from
them: _cluster_colors_dbscan on the pixel rows of the default settings (preprocessing, LAB), then the
whole extract_colors with algorithm "dbscan" in LAB and RGB, beside the plain scikit-learn calls
(StandardScaler, DBSCAN) where their neighbourhoods fit in memory. Where they do not, the need is
estimated as neighbourhood entries x 8 bytes, the entries counted around a sample of rows. Last, uniform
noise of 0.5 MP in RGB without preprocessing, where every colour lies near the density threshold. Each
case runs in a fresh process so that its peak resident size is its own; --noise runs only that case."""

import json
import subprocess
import sys
import time

CASE = r"""
import json, resource, sys, time
import cv2, numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle.color_extractor_cy import ColorExtractor

name, megapixels, space, job = sys.argv[1], float(sys.argv[2]), sys.argv[3], sys.argv[4]
if name == "noise":
    side = int((megapixels * 1e6) ** 0.5)
    image = np.random.default_rng(5).integers(0, 256, (side, side, 3), dtype=np.uint8)
    extractor = ColorExtractor(5, "dbscan", False, space == "lab")
    pixels = extractor._extract_pixels(extractor._convert_to_feature_space(image))
else:
    image = np.ascontiguousarray(load_sample_image(name)[:, :, ::-1])
    if megapixels:
        scale = (megapixels * 1e6 / (image.shape[0] * image.shape[1])) ** 0.5
        image = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_LINEAR)
    extractor = ColorExtractor(5, "dbscan", True, space == "lab")
    pixels = extractor._extract_pixels(extractor._convert_to_feature_space(extractor._preprocess_image(image)))
figures = {"pixels": image.shape[0] * image.shape[1], "rows": len(pixels)}
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def timed(operation):
    start = time.perf_counter()
    result = operation()
    figures["seconds"] = time.perf_counter() - start
    return result


if job == "native":
    colors, labels = timed(lambda: extractor._cluster_colors_dbscan(pixels))
    figures["groups"] = int(labels.max()) + 1
elif job == "extract":
    figures["groups"] = len(timed(lambda: extractor.extract_colors(image)))
elif job == "sklearn":
    from sklearn.cluster import DBSCAN
    from sklearn.preprocessing import StandardScaler

    labels = timed(lambda: DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(
        StandardScaler().fit_transform(pixels)))
    figures["groups"] = int(labels.max()) + 1
else:  # estimate the neighbourhood entries from a sample
    from sklearn.neighbors import KDTree
    from sklearn.preprocessing import StandardScaler

    scaled = StandardScaler().fit_transform(pixels)
    rng = np.random.default_rng(0)
    data = scaled[rng.choice(len(scaled), min(len(scaled), 50000), replace=False)]
    queries = scaled[rng.choice(len(scaled), 1000)]
    per_row = KDTree(data).query_radius(queries, 0.5, count_only=True).mean() * len(scaled) / len(data)
    figures["need_gb"] = per_row * len(scaled) * 8 / 1e9
figures["peak_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
figures["added_mb"] = figures["peak_mb"] - before
print(json.dumps(figures))
"""

SKLEARN_BUDGET_GB = 2.0


def run(name, megapixels, space, job):
    output = subprocess.run([sys.executable, "-P", "-c", CASE, name, str(megapixels), space, job], check=True,
                            capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def row(label, space, job, figures, need_gb=None):
    if "groups" in figures:
        measured = f"{figures['seconds']:>9.2f}{figures['peak_mb']:>9.0f}{figures['added_mb']:>9.0f}"
        extra = f"{figures['groups']} groups"
    else:
        measured, extra = f"{'-':>9}" * 3, "not run"
    if need_gb is not None:
        extra += f", neighbourhoods ~{need_gb:.3g} GB"
    print(f"{label:<19}{space:<6}{job:<16}{figures['rows']:>10}{measured}   {extra}")


def main():
    print("peak MB: the child process's peak resident size; added MB: its growth during the measured call")
    print(f"{'image':<19}{'space':<6}{'job':<16}{'rows':>10}{'seconds':>9}{'peak MB':>9}{'added MB':>9}")
    started = time.perf_counter()
    for name in ("china.jpg", "flower.jpg") if "--noise" not in sys.argv[1:] else ():
        for megapixels in (0.05, 0, 4, 12):
            label = name if not megapixels else f"{name} {megapixels:g} MP"
            row(label, "lab", "native", run(name, megapixels, "lab", "native"))
            estimate = run(name, megapixels, "lab", "estimate")
            fits = estimate["need_gb"] < SKLEARN_BUDGET_GB
            row(label, "lab", "scikit-learn", run(name, megapixels, "lab", "sklearn") if fits else estimate,
                estimate["need_gb"])
            if megapixels >= 4:
                for space in ("lab", "rgb"):
                    row(label, space, "extract_colors", run(name, megapixels, space, "extract"))
    # Best of three: on a shared machine one run says more about the neighbours than about the kernel.
    noise = min((run("noise", 0.5, "rgb", "native") for _ in range(3)), key=lambda figures: figures["seconds"])
    row("noise 0.5 MP", "rgb", "native", noise)
    print(f"({time.perf_counter() - started:.0f} s in all)")


if __name__ == "__main__":
    main()
