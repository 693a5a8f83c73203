"""Demo: the dominant colours of a real photo (scikit-learn's china.jpg), read from an image file."""

import os
import tempfile

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle import ColorExtractor


def swatch(rgb):
    """Two blank cells in the colour itself, for terminals with true-colour support."""
    return "\x1b[48;2;{};{};{}m  \x1b[0m".format(*rgb)


def main():
    photo = np.ascontiguousarray(load_sample_image("china.jpg")[:, :, ::-1])  # R, G, B -> B, G, R
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "china.png")
        cv2.imwrite(path, photo)
        extractor = ColorExtractor(n_colors=5, algorithm="kmeans", preprocessing=True, lab_space=True)
        colors = extractor.extract_colors(path)

    height, width = photo.shape[:2]
    print(f"Dominant colours of china.jpg ({width} x {height}), K-means in LAB space with preprocessing:")
    use_swatches = os.isatty(1) and os.environ.get("TERM", "dumb") != "dumb"
    for rank, entry in enumerate(colors, 1):
        r, g, b = entry["color"]
        shown = swatch((r, g, b)) + " " if use_swatches else ""
        print(f"  {rank}. {shown}#{r:02x}{g:02x}{b:02x}  RGB({r:3d}, {g:3d}, {b:3d})  {entry['percentage']:6.2f} %")
    print(f"  total {sum(entry['percentage'] for entry in colors):.2f} % of the analysed pixels")


if __name__ == "__main__":
    main()
