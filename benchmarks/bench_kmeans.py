"""K-means extract_colors: the native fit (ColorExtractor, the default) against scikit-learn's own call
(LibraryColorExtractor), the whole call and the clustering step alone, with and without preprocessing,
on china.jpg (0.27 MP) and on 2 MP and 12 MP images scaled up from it, with the peak resident size. Each
case runs in a fresh process so that its peak is its own. `--image studio|logo` takes a catalogue-style
image of the same size instead: a product shot on pure white, or a flat logo of three colours.

    python benchmarks/bench_kmeans.py                   # every case (the library's 12 MP ones take minutes)
    python benchmarks/bench_kmeans.py --sizes 0 2       # only china.jpg and 2 MP
    python benchmarks/bench_kmeans.py --image studio --sizes 2
    python benchmarks/bench_kmeans.py --native-only      # the native fit alone, to compare builds
"""

import argparse
import json
import pathlib
import subprocess
import sys

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"

CASE = r"""
import json, resource, sys, time
import cv2, numpy as np
sys.path.insert(0, sys.argv[5])
import image_kinds
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor, LibraryColorExtractor

megapixels, preprocessing, mode, kind = float(sys.argv[1]), sys.argv[2] == "on", sys.argv[3], sys.argv[4]
photo = image_kinds.photo((427, 640))
size = (427, 640)
if megapixels:
    scale = (megapixels * 1e6 / (427 * 640)) ** 0.5
    size = (round(427 * scale), round(640 * scale))
image = image_kinds.KINDS[kind](size) if megapixels or kind != "photo" else photo
extractor = (ColorExtractor if mode == "native" else LibraryColorExtractor)(5, "kmeans", preprocessing, True)
before_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
start = time.perf_counter()
colors = extractor.extract_colors(image)
total = time.perf_counter() - start
peak_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
pixels = extractor._extract_pixels(extractor._convert_to_feature_space(extractor._preprocess_image(image)))
stage = (FastColorExtractor if mode == "native" else ColorExtractor)(5)._cluster_colors_kmeans
start = time.perf_counter()
stage(pixels)
clustering = time.perf_counter() - start
print(json.dumps({"pixels": image.shape[0] * image.shape[1], "total": total, "clustering": clustering,
                  "peak_mb": peak_mb, "before_mb": before_mb, "colors": colors}))
"""


def run(megapixels, preprocessing, mode, kind):
    output = subprocess.run([sys.executable, "-P", "-W", "ignore", "-c", CASE, str(megapixels), preprocessing, mode,
                             kind, str(TESTS)], check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=float, nargs="+", default=[0, 2, 12],
                        help="megapixels of the upscaled images; 0 is china.jpg itself")
    parser.add_argument("--image", choices=["photo", "studio", "logo", "six_flat"], default="photo",
                        help="the photo (china.jpg), or a catalogue image of its size")
    parser.add_argument("--native-only", action="store_true", help="leave out scikit-learn's own call")
    arguments = parser.parse_args()
    sizes, kind = arguments.sizes, arguments.image
    print(f"{'image':<14}{'prep':<6}{'mode':<8}{'cluster s':>10}{'total s':>9}{'peak MB':>9}{'start MB':>9}"
          f"{'cluster x':>10}{'total x':>9}  same result")
    for megapixels in sizes:
        for preprocessing in ("off", "on"):
            exact = None if arguments.native_only else run(megapixels, preprocessing, "library", kind)
            fast = run(megapixels, preprocessing, "native", kind)
            label = ("china.jpg" if kind == "photo" else kind) if not megapixels else f"{megapixels:g} MP {kind}"
            for mode, figures in (("library", exact), ("native", fast)):
                if figures is None:
                    continue
                speedup = (f"{exact['clustering'] / fast['clustering']:>10.1f}{exact['total'] / fast['total']:>9.1f}"
                           f"  {fast['colors'] == exact['colors']}" if mode == "native" and exact else "")
                print(f"{label:<14}{preprocessing:<6}{mode:<8}{figures['clustering']:>10.3f}{figures['total']:>9.3f}"
                      f"{figures['peak_mb']:>9.0f}{figures['before_mb']:>9.0f}{speedup}", flush=True)


if __name__ == "__main__":
    main()
