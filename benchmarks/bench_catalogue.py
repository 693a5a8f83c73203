"""The colour catalogue at scale and its cost to indexing.

1. A catalogue of 100,000 synthetic images of five colours each (500,000 colours): search for one and for
   two colours, similar palettes, the first query after opening (which loads the palette table), the
   file's size per image, and the time to store one more image. Run in a child process under an
   address-space limit.
2. Indexing real photos against plain extraction of the same photos, both in this process: the share of
   the time the catalogue adds, for LibraryColorExtractor (scikit-learn's K-means) and ColorExtractor.

    python benchmarks/bench_catalogue.py [IMAGES]     (default 100000)
"""

import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle.batch import map_images
from lumvarde_quorle.catalogue import Catalogue, Profile
from lumvarde_quorle.cli.common import InProcessExecutor
from lumvarde_quorle.color_extractor_cy import ColorExtractor, LibraryColorExtractor

COLOURS = 5
ADDRESS_SPACE = 6 << 30
QUERIES = 200


def synthetic_palettes(count, rng):
    """Palettes as photos give them: colours clustered around a few themes, shares from a Dirichlet."""
    themes = rng.integers(0, 256, (64, 3))
    theme = rng.integers(0, len(themes), (count, 1))
    rgb = np.clip(themes[theme] + rng.normal(0, 40, (count, COLOURS, 3)), 0, 255).astype(int)
    shares = np.round(np.sort(rng.dirichlet(np.ones(COLOURS), count), axis=1)[:, ::-1] * 100, 2)
    return rgb, shares


def percentiles(times):
    times = sorted(times)
    median, high = statistics.median(times), times[int(0.95 * len(times))]
    return f"median {median * 1e3:6.2f} ms, 95th percentile {high * 1e3:6.2f} ms"


def palette(rgb, shares, number):
    return [{"color": tuple(map(int, c)), "percentage": float(s)} for c, s in zip(rgb[number], shares[number])]


def large_catalogue(count):
    rng = np.random.default_rng(2026)
    rgb, shares = synthetic_palettes(count, rng)
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "large.db")
        started = time.perf_counter()
        with Catalogue(path, create=True) as catalogue:
            settings_id = catalogue._settings_id(Profile.of())
            for first in range(0, count, 10_000):
                with catalogue._writing() as connection:
                    for number in range(first, min(first + 10_000, count)):
                        catalogue._put(connection, settings_id, f"/photos/{number:06}.jpg", (100_000, number),
                                       palette(rgb, shares, number))
            filled = time.perf_counter() - started
            catalogue._connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
            size = os.path.getsize(path)
            print(f"{count} synthetic images of {COLOURS} colours ({count * COLOURS} colours), "
                  f"filled in {filled:.1f} s")
            print(f"  catalogue size:              {size / count:6.0f} bytes per image ({size / 2**20:.1f} MiB)")

        with Catalogue(path) as catalogue:
            started = time.perf_counter()
            catalogue.search(["#87ceeb"])
            print(f"  first search after opening:  {(time.perf_counter() - started) * 1e3:6.0f} ms (loads the table)")
            queries = rng.integers(0, 256, (QUERIES, 2, 3))
            for count_colours in (1, 2):
                times, found = [], 0
                for query in queries:
                    started = time.perf_counter()
                    hits = catalogue.search([tuple(map(int, c)) for c in query[:count_colours]])
                    times.append(time.perf_counter() - started)
                    found += len(hits)
                print(f"  search, {count_colours} colour{'s' if count_colours > 1 else ' '}:          "
                      f"{percentiles(times)} ({found / QUERIES:.1f} hits of at most 20)")
            times = []
            for number in rng.integers(0, count, QUERIES // 4):
                query = palette(rgb, shares, number)
                started = time.perf_counter()
                catalogue.similar(query)
                times.append(time.perf_counter() - started)
            print(f"  similar:                     {percentiles(times)}")
            # One more image, committed on its own as index commits it.
            times = []
            for number in range(100):
                colours = palette(rgb, shares, number)
                started = time.perf_counter()
                catalogue._store(settings_id, f"/more/{number}.jpg", (1, 1), colours)
                times.append(time.perf_counter() - started)
            print(f"  storing one image:           {percentiles(times)}")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"  peak resident size:          {peak:6.0f} MiB")


class TimedExecutor(InProcessExecutor):
    """Runs the calls in this process and adds up the time they take."""

    spent = 0.0

    def submit(self, fn, /, *args, **kwargs):
        started = time.perf_counter()
        try:
            return super().submit(fn, *args, **kwargs)
        finally:
            self.spent += time.perf_counter() - started


def indexing_overhead():
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for number in range(12):
            photo = load_sample_image(("china.jpg", "flower.jpg")[number % 2])[:, :, ::-1]
            top, left = 8 * (number // 2), 8 * (number // 2)
            paths.append(os.path.join(folder, f"photo{number}.png"))
            cv2.imwrite(paths[-1], np.ascontiguousarray(photo[top : top + 320, left : left + 480]))
        print(f"indexing {len(paths)} photos of 480 x 320, 5 colours, in this process; the catalogue's share is the "
              "index time outside extract_colors, in the same run (median of 3 runs)")
        for extractor in (LibraryColorExtractor(), ColorExtractor()):
            plain, indexed, added = [], [], []
            for round_number in range(3):
                started = time.perf_counter()
                results = list(map_images(extractor.extract_colors, paths, executor=InProcessExecutor()))
                plain.append(time.perf_counter() - started)
                assert all(result.ok for result in results)
                name = os.path.join(folder, f"c{round_number}-{type(extractor).__name__}.db")
                with Catalogue(name, create=True) as catalogue:
                    executor = TimedExecutor()
                    started = time.perf_counter()
                    summary = catalogue.index(paths, extractor, executor=executor)
                    indexed.append(time.perf_counter() - started)
                    added.append((indexed[-1] - executor.spent) / executor.spent * 100)
                    assert summary.indexed == len(paths)
            each = len(paths) / 1e3
            print(f"  {type(extractor).__name__ + ':':22} extraction alone {statistics.median(plain) / each:6.1f} ms "
                  f"per image, index {statistics.median(indexed) / each:6.1f} ms per image, of which the catalogue "
                  f"{statistics.median(added):.2f} %")


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 and sys.argv[1] != "--large" else 100_000
    if len(sys.argv) > 2 and sys.argv[1] == "--large":
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
        large_catalogue(int(sys.argv[2]))
        return
    subprocess.run([sys.executable, "-P", __file__, "--large", str(count)], check=True)
    indexing_overhead()


if __name__ == "__main__":
    main()
