"""Time of extract_colors over a batch of photos: in this process, on lumvarde_quorle.batch's default
pool (native thread pools sized to share the cores), and on a plain process pool whose workers each
run a full set of native threads. Pools are warmed up first (worker start and imports not timed)."""

import multiprocessing
import os
import tempfile
import time
from concurrent.futures import ProcessPoolExecutor

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle.batch import map_images, process_pool
from lumvarde_quorle.color_extractor_cy import ColorExtractor

IMAGES = 8


def timed(extractor, paths, executor):
    start = time.perf_counter()
    results = list(map_images(extractor.extract_colors, paths, executor=executor))
    assert all(result.ok for result in results), [result.error for result in results]
    return time.perf_counter() - start


def main():
    extractor = ColorExtractor(n_colors=5)
    workers = os.cpu_count() or 1
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for index in range(IMAGES):
            photo = load_sample_image(("china.jpg", "flower.jpg")[index % 2])[:, :, ::-1]
            paths.append(os.path.join(folder, f"photo{index}.png"))
            cv2.imwrite(paths[-1], np.ascontiguousarray(photo))
        print(f"{IMAGES} photos of 640 x 427, K-means with 5 colours, {workers} cores")

        start = time.perf_counter()
        for path in paths:
            extractor.extract_colors(path)
        print(f"  in this process:             {time.perf_counter() - start:6.2f} s")

        plain = ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("forkserver"))
        for name, pool in (("batch.process_pool", process_pool(workers)), ("plain process pool", plain)):
            with pool:
                timed(extractor, paths[:workers], pool)
                print(f"  {name + ':':28} {timed(extractor, paths, pool):6.2f} s  ({workers} workers)")


if __name__ == "__main__":
    main()
