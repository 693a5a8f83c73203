"""map_images' default pools compared: threads against worker processes (RecoveringPool), for
map_images(extractor.extract_colors, ...) and Catalogue.index, on copies of scikit-learn's sample photos
resized to 2 MP. Each figure is a whole call as a script makes it, pool start-up included, best of
ROUNDS; in this process, one image after the other, for scale."""

import os
import sys
import tempfile
import time

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle.batch import map_images
from lumvarde_quorle.catalogue import Catalogue
from lumvarde_quorle.color_extractor_cy import ColorExtractor

IMAGES = int(sys.argv[1]) if len(sys.argv) > 1 else 8
ROUNDS = 2
SIDE = (1732, 1155)  # 2.0 MP, the photos' 3:2


def photos(folder):
    paths = []
    for index in range(IMAGES):
        photo = load_sample_image(("china.jpg", "flower.jpg")[index % 2])[:, :, ::-1]
        photo = cv2.resize(np.ascontiguousarray(photo), SIDE, interpolation=cv2.INTER_CUBIC)
        # Shifted copies: distinct images, so that nothing is answered from a cache.
        photo = np.roll(photo, 7 * index, axis=1)
        paths.append(os.path.join(folder, f"photo{index}.jpg"))
        cv2.imwrite(paths[-1], photo)
    return paths


def best(run):
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def extract(extractor, paths, processes):
    results = list(map_images(extractor.extract_colors, paths, processes=processes))
    assert all(result.ok for result in results), [result.error for result in results]


def index(folder, paths, processes):
    with tempfile.TemporaryDirectory(dir=folder) as scratch:
        with Catalogue(os.path.join(scratch, "photos.db"), create=True) as catalogue:
            summary = catalogue.index(paths, ColorExtractor(n_colors=6), processes=processes)
    assert summary.indexed == len(paths), summary.failures


def pool_name(processes):
    return "processes:" if processes else "threads:"


def main():
    extractor = ColorExtractor(n_colors=5)
    cores = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as folder:
        paths = photos(folder)
        print(f"{IMAGES} photos of {SIDE[0]} x {SIDE[1]} (JPEG), {cores} cores, one worker per core, "
              f"best of {ROUNDS}, pool start-up included")
        start = time.perf_counter()
        for path in paths:
            extractor.extract_colors(path)
        print(f"  extract_colors in this process, one by one: {time.perf_counter() - start:6.2f} s")
        for processes in (False, True):
            seconds = best(lambda: extract(extractor, paths, processes))
            print(f"  map_images(extract_colors), {pool_name(processes):10}      {seconds:6.2f} s")
        for processes in (False, True):
            seconds = best(lambda: index(folder, paths, processes))
            print(f"  Catalogue.index, {pool_name(processes):10}                 {seconds:6.2f} s")


if __name__ == "__main__":
    main()
