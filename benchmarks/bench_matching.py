"""Time of find_color_matches with three targets: the native path over distinct colours against the
per-pixel path (forced by a subclass whose distance calls the base method; run on a crop and scaled per
pixel, since a whole photo takes minutes). Prints seconds per call and per megapixel."""

import time

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle.color_extractor_cy import ColorExtractor

TARGETS = {"red": (200, 30, 40), "leaf": (40, 160, 60), "sky": (120, 170, 230)}


class PerPixel(ColorExtractor):
    def _color_distance_lab(self, color1, color2):
        return ColorExtractor._color_distance_lab(self, color1, color2)


def best_time(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    flower = np.ascontiguousarray(load_sample_image("flower.jpg")[:, :, ::-1])
    scale = (2_000_000 / (flower.shape[0] * flower.shape[1])) ** 0.5
    large = cv2.resize(flower, None, fx=scale, fy=scale, interpolation=cv2.INTER_CUBIC)
    crop = flower[180:220, 260:310]
    print(f"{'settings':<26}{'image':<16}{'path':<11}{'seconds':>9}{'s / MP':>9}{'per-pixel / native':>20}")
    for preprocessing in (True, False):
        settings = dict(n_colors=5, algorithm="kmeans", preprocessing=preprocessing, lab_space=True)
        native, per_pixel = ColorExtractor(**settings), PerPixel(**settings)
        slow = best_time(lambda: per_pixel.find_color_matches(crop, TARGETS), 2) / crop[..., 0].size
        label = f"preprocessing={preprocessing}"
        for name, image in (("flower.jpg", flower), ("flower 2 MP", large)):
            megapixels = image[..., 0].size / 1e6
            seconds = best_time(lambda: native.find_color_matches(image, TARGETS), 5)
            ratio = slow / (seconds / image[..., 0].size)
            print(f"{label:<26}{name:<16}{'native':<11}{seconds:>9.3f}{seconds / megapixels:>9.3f}{ratio:>19.0f}x")
            print(f"{label:<26}{name:<16}{'per-pixel':<11}{slow * image[..., 0].size:>9.1f}{slow * 1e6:>9.1f}"
                  f"{'(crop ' + str(crop[..., 0].size) + ' px)':>20}")


if __name__ == "__main__":
    main()
