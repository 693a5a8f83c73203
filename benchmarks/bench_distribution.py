"""Time of _colour_distribution against extract_colors (the default settings) on the same images:
scikit-learn's china.jpg and photos made from it at 2 and 12 MP (bicubic, with light noise so that they
hold about as many distinct colours as a camera's), in one warm process, best of three; the ratio in
percent, and the records and bytes each image's distribution takes."""

import timeit

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle.color_extractor_cy import ColorExtractor, _colour_distribution

RECORD_BYTES = 11
REPEATS = 3


def photo(megapixels):
    """china.jpg (B, G, R); scaled to about `megapixels` at 4:3 with noise of up to 2 levels a channel
    when that is not 0."""
    image = np.ascontiguousarray(load_sample_image("china.jpg")[:, :, ::-1])
    if not megapixels:
        return image
    width = round((megapixels * 1e6 * 4 / 3) ** 0.5)
    image = cv2.resize(image, (width, round(width * 3 / 4)), interpolation=cv2.INTER_CUBIC)
    noise = np.random.default_rng(0).integers(-2, 3, image.shape)
    return np.clip(image + noise, 0, 255).astype(np.uint8)


def best_time(call):
    return min(timeit.repeat(call, number=1, repeat=REPEATS))


def main():
    extractor = ColorExtractor()
    print(f"{'image':<12}{'pixels':>11}{'distinct':>10}{'distribution ms':>17}{'extract_colors s':>18}"
          f"{'ratio %':>9}{'records':>9}{'bytes':>7}")
    for label, megapixels in (("china.jpg", 0), ("2 MP", 2), ("12 MP", 12)):
        image = photo(megapixels)
        keys = image.reshape(-1, 3).astype(np.uint32) @ np.array([1, 1 << 8, 1 << 16], np.uint32)
        distribution = best_time(lambda: _colour_distribution(image))
        extract = best_time(lambda: extractor.extract_colors(image))
        data = _colour_distribution(image)
        print(f"{label:<12}{image.shape[0] * image.shape[1]:>11,}{len(np.unique(keys)):>10,}"
              f"{distribution * 1e3:>17.1f}{extract:>18.2f}{100 * distribution / extract:>9.2f}"
              f"{len(data) // RECORD_BYTES:>9}{len(data):>7}")


if __name__ == "__main__":
    main()
