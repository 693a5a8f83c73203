"""K-means extract_colors, exact (ColorExtractor, scikit-learn's KMeans) against fast (FastColorExtractor,
the native K-means): the clustering step alone and the whole call, with and without preprocessing, on
china.jpg (0.27 MP) and on 2 MP and 12 MP images upscaled from it, with the peak resident size. Each
case runs in a fresh process so that its peak is its own. `--image studio` takes a catalogue-style shot
of the same size instead: a white background and two flat objects, a few colours only.

    python benchmarks/bench_fast_kmeans.py                   # every case (the exact 12 MP ones take minutes)
    python benchmarks/bench_fast_kmeans.py --sizes 0 2       # only china.jpg and 2 MP
    python benchmarks/bench_fast_kmeans.py --image studio --sizes 2
"""

import argparse
import json
import subprocess
import sys

CASE = r"""
import json, resource, sys, time
import cv2, numpy as np
from sklearn.datasets import load_sample_image
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor

megapixels, preprocessing, mode, kind = float(sys.argv[1]), sys.argv[2] == "on", sys.argv[3], sys.argv[4]
image = np.ascontiguousarray(load_sample_image("china.jpg")[:, :, ::-1])
if megapixels:
    scale = (megapixels * 1e6 / (image.shape[0] * image.shape[1])) ** 0.5
    image = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_CUBIC)
if kind == "studio":
    h, w = image.shape[:2]
    image = np.full_like(image, 255)
    cv2.rectangle(image, (w // 8, h // 5), (w // 2, 4 * h // 5), (40, 90, 200), -1)
    cv2.circle(image, (3 * w // 4, h // 2), min(h, w) // 4, (30, 160, 60), -1)
base = FastColorExtractor if mode == "fast" else ColorExtractor
clustering = []

class Timed(base):
    def _cluster_colors_kmeans(self, pixels):
        start = time.perf_counter()
        result = super()._cluster_colors_kmeans(pixels)
        clustering.append(time.perf_counter() - start)
        return result

before_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
start = time.perf_counter()
colors = Timed(5, "kmeans", preprocessing, True).extract_colors(image)
total = time.perf_counter() - start
print(json.dumps({"pixels": image.shape[0] * image.shape[1], "total": total, "clustering": clustering[0],
                  "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, "before_mb": before_mb,
                  "colors": colors}))
"""


def run(megapixels, preprocessing, mode, kind):
    output = subprocess.run([sys.executable, "-P", "-c", CASE, str(megapixels), preprocessing, mode, kind], check=True,
                            capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=float, nargs="+", default=[0, 2, 12],
                        help="megapixels of the upscaled images; 0 is china.jpg itself")
    parser.add_argument("--image", choices=["china", "studio"], default="china",
                        help="the photo, or a studio shot of its size (white background, two flat objects)")
    arguments = parser.parse_args()
    sizes, kind = arguments.sizes, arguments.image
    print(f"{'image':<14}{'prep':<6}{'mode':<7}{'cluster s':>10}{'total s':>9}{'peak MB':>9}{'start MB':>9}"
          f"{'cluster x':>10}{'total x':>9}  same result")
    for megapixels in sizes:
        for preprocessing in ("off", "on"):
            exact = run(megapixels, preprocessing, "exact", kind)
            fast = run(megapixels, preprocessing, "fast", kind)
            label = ("china.jpg" if kind == "china" else kind) if not megapixels else f"{megapixels:g} MP {kind}"
            for mode, figures in (("exact", exact), ("fast", fast)):
                speedup = (f"{exact['clustering'] / fast['clustering']:>10.1f}{exact['total'] / fast['total']:>9.1f}"
                           f"  {fast['colors'] == exact['colors']}" if mode == "fast" else "")
                print(f"{label:<14}{preprocessing:<6}{mode:<7}{figures['clustering']:>10.3f}{figures['total']:>9.3f}"
                      f"{figures['peak_mb']:>9.0f}{figures['before_mb']:>9.0f}{speedup}", flush=True)


if __name__ == "__main__":
    main()
