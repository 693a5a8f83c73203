"""Images per second through the command line: `lumvarde-quorle extract FOLDER --jobs 2` (5 colours, K-means,
the defaults) over a catalogue of 48 JPEGs of about 0.3 MP made from scikit-learn's two photos by crops,
flips and resizes. Each run is a whole command (interpreter start, imports, pool start-up and writing the
JSON lines included); the least of 3 runs counts. Builds given with --python are timed in turn, run by
run, so that they share the machine's load alike, and their colours are compared.

    python benchmarks/bench_cli_batch.py
    python benchmarks/bench_cli_batch.py --python before=../old/.venv/bin/python --python after=.venv/bin/python
"""

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

FLIPS = (None, 1, 0, -1)  # as is, mirrored, upside down, both


def catalogue(folder, count, megapixels=0.3):
    """`count` JPEGs in `folder`: a random crop of 60 to 100 % of each side of china.jpg or flower.jpg,
    flipped one of four ways, resized to about `megapixels` with the crop's aspect ratio."""
    photos = [np.ascontiguousarray(load_sample_image(name)[:, :, ::-1]) for name in ("china.jpg", "flower.jpg")]
    for index in range(count):
        rng = np.random.default_rng(index)
        photo = photos[index % 2]
        height, width = (round(side * rng.uniform(0.6, 1.0)) for side in photo.shape[:2])
        top, left = rng.integers(0, photo.shape[0] - height + 1), rng.integers(0, photo.shape[1] - width + 1)
        image = photo[top:top + height, left:left + width]
        if FLIPS[index // 2 % 4] is not None:
            image = cv2.flip(image, FLIPS[index // 2 % 4])
        scale = (megapixels * 1e6 / (height * width)) ** 0.5
        image = cv2.resize(image, (round(width * scale), round(height * scale)), interpolation=cv2.INTER_AREA
                           if scale < 1 else cv2.INTER_CUBIC)
        cv2.imwrite(os.path.join(folder, f"photo{index:03}.jpg"), image, [cv2.IMWRITE_JPEG_QUALITY, 90])


def run(python, folder, jobs, output):
    """Wall seconds of one extract command, and a digest of the colours it wrote (by file name)."""
    command = [python, "-P", "-m", "lumvarde_quorle", "extract", folder, "--jobs", str(jobs), "--no-progress",
               "--format", "jsonl", "--output", output]
    start = time.perf_counter()
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    with open(output) as lines:
        records = sorted((os.path.basename(record["path"]), record["colors"]) for record in map(json.loads, lines))
    return seconds, len(records), hashlib.sha256(json.dumps(records).encode()).hexdigest()[:12]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", metavar="LABEL=INTERPRETER",
                        help="a build to time: the interpreter of the environment it is installed in "
                        "(default: this interpreter); repeat to compare builds")
    parser.add_argument("--images", type=int, default=48)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--runs", type=int, default=3, help="runs per build; the fastest counts")
    arguments = parser.parse_args()
    builds = dict(entry.split("=", 1) for entry in arguments.python or [f"this build={sys.executable}"])

    with tempfile.TemporaryDirectory() as folder:
        images = os.path.join(folder, "catalogue")
        os.mkdir(images)
        catalogue(images, arguments.images)
        print(f"{arguments.images} JPEGs of about 0.3 MP, extract --jobs {arguments.jobs}, {os.cpu_count()} cores; "
              f"load average {os.getloadavg()[0]:.2f}")
        best = {label: float("inf") for label in builds}
        digests = {}
        for _ in range(arguments.runs):
            for label, python in builds.items():
                seconds, count, digests[label] = run(python, images, arguments.jobs, os.path.join(folder, "out"))
                if count != arguments.images:
                    sys.exit(f"{label}: {count} results for {arguments.images} images")
                best[label] = min(best[label], seconds)
        for label in builds:
            print(f"  {label:<16}{best[label]:7.2f} s  {arguments.images / best[label]:6.1f} images/s  "
                  f"colours {digests[label]}")
        if len(set(digests.values())) > 1:
            print("  the builds' colours differ")
    print(f"load average {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
