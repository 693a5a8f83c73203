"""Where the default call's time goes at 12 MP: each stage of extract_colors called on its own (the
K-means stage through FastColorExtractor, whose direct call is the native fit), then the whole default
call, with and without preprocessing, on the photo (china.jpg scaled up, saved as JPEG) and on the
catalogue-style images (a flat logo, a studio shot on pure white, six flat colours, saved as PNG), with
the reasons, if any, for which the call handed its K-means to scikit-learn. The second of two calls counts
(`--repeat N`: the least of N); each figure is wall time, then the process's processor time (all threads).

    python benchmarks/bench_stages.py                    # 12 MP
    python benchmarks/bench_stages.py --size 0.27        # china.jpg's own size
"""

import argparse
import os
import pathlib
import resource
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
    """The result and (wall, processor) seconds."""
    start, processor = time.perf_counter(), time.process_time()
    result = function(*args)
    return result, (time.perf_counter() - start, time.process_time() - processor)


def least(figures):
    return min(wall for wall, _ in figures), min(processor for _, processor in figures)


def minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def stages(path, preprocessing, repeat):
    """Seconds per stage, the least of the passes after the first, and the fewest page faults (fresh
    memory mapped in) of a K-means stage call."""
    extractor = FastColorExtractor(5, "kmeans", preprocessing, True)
    passes, faults = [], []
    for _ in range(repeat + 1):
        image, read = timed(cv2.imread, path)
        prepared, prepare = timed(extractor._preprocess_image, image) if preprocessing else (image, (0.0, 0.0))
        features, convert = timed(extractor._convert_to_feature_space, prepared)
        pixels, rows = timed(extractor._extract_pixels, features, None)
        before = minor_faults()
        (_, labels), cluster = timed(extractor._cluster_colors_kmeans, pixels)
        faults.append(minor_faults() - before)
        _, shares = timed(extractor._calculate_percentages, labels)
        passes.append([read, prepare, convert, rows, cluster, shares])
    return [least(stage) for stage in zip(*passes[1:])], min(faults[1:])


def whole(path, preprocessing, repeat):
    """Seconds of the default call (the least of the calls after the first) and the K-means fallbacks it
    counted."""
    module._kmeans_fallbacks.clear()
    extractor = ColorExtractor(5, "kmeans", preprocessing, True)
    seconds = least([timed(extractor.extract_colors, path)[1] for _ in range(repeat + 1)][1:])
    return seconds, dict(module._kmeans_fallbacks)


def shown(figures):
    return f"{figures[0]:.3f} ({figures[1]:.3f})"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=sorted(SIZES), default="12", help="megapixels")
    parser.add_argument("--repeat", type=int, default=1, help="calls counted after the first (the least counts)")
    arguments = parser.parse_args()
    size, repeat = SIZES[arguments.size], max(1, arguments.repeat)
    warnings.simplefilter("ignore")
    print(f"{size[1]} x {size[0]} ({size[0] * size[1] / 1e6:.2f} MP), {os.cpu_count()} cores; "
          f"load average {os.getloadavg()[0]:.2f}")
    names = ["cv2.imread", "_preprocess_image", "_convert_to_feature_space", "_extract_pixels",
             "_cluster_colors_kmeans", "_calculate_percentages"]
    with tempfile.TemporaryDirectory() as folder:
        photo = os.path.join(folder, "photo.jpg")
        cv2.imwrite(photo, image_kinds.photo(size))
        figures, faults = {}, {}
        for on in (True, False):
            figures[on], faults[on] = stages(photo, on, repeat)
        print(f"{'photo (JPEG), stage':<30}{'preprocessing on':>18}{'off':>16}   wall (processor) s")
        for index, name in enumerate(names):
            print(f"{name:<30}{shown(figures[True][index]):>18}{shown(figures[False][index]):>16}")
        print(f"{'K-means stage, page faults':<30}{faults[True]:>18}{faults[False]:>16}   fewest of a call")
        print(f"\n{'image, whole default call':<30}{'preprocessing on':>18}{'off':>16}  library fits")
        for kind in ("photo", "logo", "studio", "six_flat"):
            path = photo if kind == "photo" else os.path.join(folder, f"{kind}.png")
            if kind != "photo":
                cv2.imwrite(path, image_kinds.KINDS[kind](size))
            on, off = whole(path, True, repeat), whole(path, False, repeat)
            fallbacks = {**on[1], **off[1]}
            print(f"{kind:<30}{shown(on[0]):>18}{shown(off[0]):>16}  {fallbacks or 'none'}")
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
