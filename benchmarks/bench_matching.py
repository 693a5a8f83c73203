"""Time of find_color_matches with three targets: the native path over distinct colours against the
per-pixel path (forced by a subclass whose distance calls the base method; run on a crop and scaled per
pixel, since a whole photo takes minutes). The preparation stages (preprocessing, feature space, pixel
rows) run in both paths; their time is printed too, and the last column compares the paths without it."""

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


def stages(extractor, image):
    return extractor._extract_pixels(extractor._convert_to_feature_space(extractor._preprocess_image(image)), None)


def main():
    flower = np.ascontiguousarray(load_sample_image("flower.jpg")[:, :, ::-1])
    scale = (2_000_000 / (flower.shape[0] * flower.shape[1])) ** 0.5
    large = cv2.resize(flower, None, fx=scale, fy=scale, interpolation=cv2.INTER_CUBIC)
    crop = flower[180:220, 260:310]
    print(f"per-pixel path timed on a {crop.shape[1]} x {crop.shape[0]} crop and scaled per pixel")
    print(f"{'preprocessing':<15}{'image':<13}{'native s':>9}{'s / MP':>8}{'stages s':>10}{'per-pixel s':>13}"
          f"{'ratio':>8}{'ratio w/o stages':>18}")
    for preprocessing in (True, False):
        settings = dict(n_colors=5, algorithm="kmeans", preprocessing=preprocessing, lab_space=True)
        native, per_pixel = ColorExtractor(**settings), PerPixel(**settings)
        slow_per_px = best_time(lambda: per_pixel.find_color_matches(crop, TARGETS), 3) / crop[..., 0].size
        for name, image in (("flower.jpg", flower), ("flower 2 MP", large)):
            pixels = image[..., 0].size
            seconds = best_time(lambda: native.find_color_matches(image, TARGETS), 7)
            shared = best_time(lambda: stages(native, image), 7)
            slow = slow_per_px * pixels
            print(f"{str(preprocessing):<15}{name:<13}{seconds:>9.3f}{seconds / pixels * 1e6:>8.3f}{shared:>10.3f}"
                  f"{slow:>13.1f}{slow / seconds:>7.0f}x{(slow - shared) / (seconds - shared):>17.0f}x")


if __name__ == "__main__":
    main()
