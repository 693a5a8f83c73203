"""Whether the preprocessing stage (CLAHE on the lightness channel, then cv2.bilateralFilter(image, 9, 75, 75))
keeps both cores busy: ColorExtractor()._preprocess_image on a 12 MP photo (china.jpg scaled up with
INTER_CUBIC) and each of its OpenCV steps alone, with cv2.setNumThreads(1) against OpenCV's default: wall time,
CPU time (all threads of the process) and the calling thread's share of that CPU time. CPU / wall near the
core count means the step ran on every core at once; a loaded machine does not allow that, and the share
tells instead: 1 when OpenCV ran the step on the calling thread alone, 0.5 when it split it evenly in two.
The results must be bit-identical whatever the thread count; the script checks it.

    python benchmarks/bench_preprocessing.py                # 12 MP, min of 3 runs per case
    python benchmarks/bench_preprocessing.py --megapixels 2 --runs 5
"""

import argparse
import os
import pathlib
import sys
import time

import cv2
import numpy as np

from lumvarde_quorle import ColorExtractor

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import image_kinds  # noqa: E402


def steps(image):
    """The stage's OpenCV calls one by one, each given its input ready-made so that it is timed alone."""
    lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
    lightness = np.ascontiguousarray(lab[:, :, 0])
    equalised = lab.copy()
    equalised[:, :, 0] = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8)).apply(lightness)
    bgr = cv2.cvtColor(equalised, cv2.COLOR_LAB2BGR)
    return {
        "BGR to LAB": lambda: cv2.cvtColor(image, cv2.COLOR_BGR2LAB),
        "CLAHE on L": lambda: cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8)).apply(lightness),
        "LAB to BGR": lambda: cv2.cvtColor(equalised, cv2.COLOR_LAB2BGR),
        "bilateral 9, 75, 75": lambda: cv2.bilateralFilter(bgr, 9, 75, 75),
    }, cv2.bilateralFilter(bgr, 9, 75, 75)


def measure(call, runs):
    """(wall s, CPU s, the calling thread's share of that CPU time, result) of the run with the least wall
    time, after one call not timed. The share does not depend on the machine's load: 1 when the step ran
    on the calling thread alone, 1 / threads when it was split evenly."""
    result = call()
    best = (float("inf"), 0.0, 0.0)
    for _ in range(runs):
        wall, cpu, own = time.perf_counter(), time.process_time(), time.thread_time()
        result = call()
        wall, cpu, own = time.perf_counter() - wall, time.process_time() - cpu, time.thread_time() - own
        best = min(best, (wall, cpu, own / cpu if cpu else 1.0))
    return *best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megapixels", type=float, default=12)
    parser.add_argument("--runs", type=int, default=3, help="timed runs per case; the fastest counts")
    arguments = parser.parse_args()

    scale = (arguments.megapixels * 1e6 / (427 * 640)) ** 0.5  # china.jpg's size
    image = image_kinds.photo((round(427 * scale), round(640 * scale)))
    extractor = ColorExtractor()
    alone, final = steps(image)
    cases = {"_preprocess_image (all)": lambda: extractor._preprocess_image(image), **alone}
    default_threads = cv2.getNumThreads()
    print(f"{image.shape[1]} x {image.shape[0]} ({image.size / 3e6:.1f} MP), {os.cpu_count()} cores, OpenCV "
          f"{cv2.__version__}, default threads {default_threads}; load average {os.getloadavg()[0]:.2f}")
    same = np.array_equal(final, extractor._preprocess_image(image))
    print(f"the steps alone give _preprocess_image's result: {same}")
    print(f"{'step':<26}{'threads':>8}{'wall s':>9}{'CPU s':>8}{'CPU/wall':>9}{'caller':>8}{'speed-up':>9}"
          "  same result")
    try:
        for label, call in cases.items():
            outcomes = {}
            for threads in (1, default_threads):
                cv2.setNumThreads(threads)
                outcomes[threads] = measure(call, arguments.runs)
            single = outcomes[1]
            for threads, (wall, cpu, share, result) in outcomes.items():
                tail = (f"{single[0] / wall:>9.2f}  {np.array_equal(result, single[3])}" if threads != 1 else "")
                print(f"{label:<26}{threads:>8}{wall:>9.3f}{cpu:>8.3f}{cpu / wall:>9.2f}{share:>8.2f}{tail}",
                      flush=True)
    finally:
        cv2.setNumThreads(default_threads)
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
