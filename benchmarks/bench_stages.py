"""Where the default call's time goes at 12 MP: each stage of extract_colors called on its own (the
K-means stage through FastColorExtractor, whose direct call is the native fit), then the whole default
call, with and without preprocessing, on the photo (china.jpg scaled up, saved as JPEG) and on the
catalogue-style images (a flat logo, a studio shot on pure white, six flat colours, saved as PNG), with
the reasons, if any, for which the call handed its K-means to scikit-learn. The second of two calls counts.

    python benchmarks/bench_stages.py                    # 12 MP
    python benchmarks/bench_stages.py --size 0.27        # china.jpg's own size
"""

import argparse
import os
import pathlib
import sys
import tempfile
import time
import warnings

import cv2

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import image_kinds  # noqa: E402

import lumvarde_quorle.color_extractor_cy as module  # noqa: E402
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor  # noqa: E402

SIZES = {"12": image_kinds.TWELVE_MP, "2": image_kinds.TWO_MP, "0.27": (427, 640)}


def timed(function, *args):
    start = time.perf_counter()
    result = function(*args)
    return result, time.perf_counter() - start


def stages(path, preprocessing):
    """Seconds per stage, second of two passes."""
    extractor = FastColorExtractor(5, "kmeans", preprocessing, True)
    for _ in range(2):
        image, read = timed(cv2.imread, path)
        prepared, prepare = timed(extractor._preprocess_image, image) if preprocessing else (image, 0.0)
        features, convert = timed(extractor._convert_to_feature_space, prepared)
        pixels, rows = timed(extractor._extract_pixels, features, None)
        (_, labels), cluster = timed(extractor._cluster_colors_kmeans, pixels)
        _, shares = timed(extractor._calculate_percentages, labels)
    return [read, prepare, convert, rows, cluster, shares]


def whole(path, preprocessing):
    """Seconds of the default call (second of two) and the K-means fallbacks it counted."""
    module._kmeans_fallbacks.clear()
    extractor = ColorExtractor(5, "kmeans", preprocessing, True)
    seconds = min(timed(extractor.extract_colors, path)[1] for _ in range(2))
    return seconds, dict(module._kmeans_fallbacks)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=sorted(SIZES), default="12", help="megapixels")
    size = SIZES[parser.parse_args().size]
    warnings.simplefilter("ignore")
    print(f"{size[1]} x {size[0]} ({size[0] * size[1] / 1e6:.2f} MP), {os.cpu_count()} cores; "
          f"load average {os.getloadavg()[0]:.2f}")
    names = ["cv2.imread", "_preprocess_image", "_convert_to_feature_space", "_extract_pixels",
             "_cluster_colors_kmeans", "_calculate_percentages"]
    with tempfile.TemporaryDirectory() as folder:
        photo = os.path.join(folder, "photo.jpg")
        cv2.imwrite(photo, image_kinds.photo(size))
        figures = {on: stages(photo, on) for on in (True, False)}
        print(f"{'photo (JPEG), stage':<30}{'preprocessing on':>18}{'off':>8}")
        for index, name in enumerate(names):
            print(f"{name:<30}{figures[True][index]:>18.3f}{figures[False][index]:>8.3f}")
        print(f"\n{'image, whole default call':<30}{'preprocessing on':>18}{'off':>8}  library fits")
        for kind in ("photo", "logo", "studio", "six_flat"):
            path = photo if kind == "photo" else os.path.join(folder, f"{kind}.png")
            if kind != "photo":
                cv2.imwrite(path, image_kinds.KINDS[kind](size))
            on, off = whole(path, True), whole(path, False)
            fallbacks = {**on[1], **off[1]}
            print(f"{kind:<30}{on[0]:>18.3f}{off[0]:>8.3f}  {fallbacks or 'none'}")
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
