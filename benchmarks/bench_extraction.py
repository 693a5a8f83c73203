"""Time and peak memory of extract_colors with K-means (the default settings) on real photos and on a
2 MP image made from one, with the share of the time spent in the preparation stages. Each case runs in
a fresh process so that its peak resident size is its own."""

import json
import subprocess
import sys
import time

CASE = r"""
import json, resource, sys, time
import cv2, numpy as np
from sklearn.datasets import load_sample_image
from lumvarde_quorle.color_extractor_cy import ColorExtractor

name, megapixels, lab_space = sys.argv[1], float(sys.argv[2]), sys.argv[3] == "lab"
image = np.ascontiguousarray(load_sample_image(name)[:, :, ::-1])
if megapixels:
    scale = (megapixels * 1e6 / (image.shape[0] * image.shape[1])) ** 0.5
    image = cv2.resize(image, None, fx=scale, fy=scale, interpolation=cv2.INTER_CUBIC)
extractor = ColorExtractor(5, "kmeans", True, lab_space)
start = time.perf_counter()
pixels = extractor._extract_pixels(extractor._convert_to_feature_space(extractor._preprocess_image(image)))
stages = time.perf_counter() - start
start = time.perf_counter()
colors = extractor.extract_colors(image)
total = time.perf_counter() - start
print(json.dumps({"pixels": image.shape[0] * image.shape[1], "stages": stages, "total": total,
                  "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024, "colors": len(colors)}))
"""


def run(name, megapixels, space):
    output = subprocess.run([sys.executable, "-P", "-c", CASE, name, str(megapixels), space], check=True,
                            capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def main():
    print(f"{'image':<16}{'space':<7}{'pixels':>10}{'total s':>9}{'stages s':>10}{'peak MB':>9}")
    for name, megapixels in (("china.jpg", 0), ("flower.jpg", 0), ("flower.jpg", 2)):
        for space in ("lab", "rgb"):
            started = time.perf_counter()
            figures = run(name, megapixels, space)
            label = name if not megapixels else f"{name} {megapixels:g} MP"
            print(f"{label:<16}{space:<7}{figures['pixels']:>10}{figures['total']:>9.2f}{figures['stages']:>10.3f}"
                  f"{figures['peak_mb']:>9.0f}   ({time.perf_counter() - started:.1f} s with start-up)")


if __name__ == "__main__":
    main()
