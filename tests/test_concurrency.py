"""Threads: native kernels run without the GIL, operations on shared and separate extractors give the
sequential results, settings changed mid-operation never mix, and Ctrl-C stops a long kernel."""

import os
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from child_worker import run_python
from lumvarde_quorle.color_extractor_cy import ColorExtractor

# Uniform noise in R, G, B: every colour sits near the density threshold, which keeps the native DBSCAN
# busy for a while (about a second at this size).
NOISE = np.random.default_rng(5).integers(0, 256, (1000, 1000, 3), dtype=np.uint8)


@pytest.mark.serial
def test_python_threads_keep_running_during_native_dbscan():
    extractor = ColorExtractor(5, "dbscan", False, False)
    pixels = extractor._extract_pixels(extractor._convert_to_feature_space(NOISE))
    ticks, done = [], threading.Event()

    def ticker():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        started = time.perf_counter()
        extractor._cluster_colors_dbscan(pixels)
        finished = time.perf_counter()
    finally:
        done.set()
        thread.join()
    during = [t for t in ticks if started <= t <= finished]
    gaps = np.diff([started, *during, finished])
    # Holding the GIL would stall the ticker for the whole call; the native work alone takes long enough
    # that the gap would show.
    assert finished - started > 0.3
    assert gaps.max() < (finished - started) / 3


def _operations(image, targets):
    return [
        (ColorExtractor(4, "kmeans", False, True), "extract_colors", (image,)),
        (ColorExtractor(4, "dbscan", False, False), "extract_colors", (image,)),
        (ColorExtractor(3, "kmeans", True, True), "analyze_color_similarity", (image, targets)),
        (ColorExtractor(5, "kmeans", True, True), "find_color_matches", (image, targets)),
        (ColorExtractor(5, "kmeans", False, False), "find_color_matches", (image, targets)),
    ]


@pytest.mark.parametrize("shared", [True, False], ids=["shared-extractor", "separate-extractors"])
def test_threads_give_the_sequential_results(china_bgr, shared):
    image = np.ascontiguousarray(china_bgr[100:190, 200:320])
    targets = {"sky": (135, 206, 235), "roof": (139, 69, 19)}
    operations = _operations(image, targets)
    expected = [getattr(extractor, name)(*args) for extractor, name, args in operations]

    def run(index):
        extractor, name, args = operations[index % len(operations)]
        if not shared:
            extractor = type(extractor)()
            extractor.__setstate__(operations[index % len(operations)][0].__reduce__()[2])
        return index % len(operations), getattr(extractor, name)(*args)

    with ThreadPoolExecutor(6) as pool:
        results = list(pool.map(run, range(4 * len(operations))))
    for index, result in results:
        assert result == expected[index]


def test_settings_replaced_during_operations_never_mix(china_bgr):
    """One thread keeps switching a shared extractor between two configurations with __init__ and
    __setstate__ while others extract: every result is the result of one configuration."""
    image = np.ascontiguousarray(china_bgr[::4, ::4])
    first, second = (3, "kmeans", False, True), (4, "dbscan", False, False)
    allowed = [ColorExtractor(*settings).extract_colors(image) for settings in (first, second)]
    extractor = ColorExtractor(*first)
    stop = threading.Event()

    def switch():
        states = [ColorExtractor(*settings).__reduce__()[2] for settings in (first, second)]
        flips = 0
        while not stop.is_set():
            extractor.__init__(*second) if flips % 2 else extractor.__setstate__(states[0])
            flips += 1
            time.sleep(0.0005)

    switcher = threading.Thread(target=switch)
    switcher.start()
    try:
        with ThreadPoolExecutor(3) as pool:
            results = list(pool.map(lambda _: extractor.extract_colors(image), range(24)))
    finally:
        stop.set()
        switcher.join()
    assert all(result in allowed for result in results)


CTRL_C = """
    import resource, signal, sys, threading, time
    import numpy as np
    from lumvarde_quorle.color_extractor_cy import ColorExtractor

    # A process started in the background inherits SIGINT ignored; Ctrl-C is what this checks.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    noise = np.random.default_rng(5).integers(0, 256, (1600, 1600, 3), dtype=np.uint8)
    extractor = ColorExtractor(5, "dbscan", False, False)
    pixels = extractor._extract_pixels(extractor._convert_to_feature_space(noise))
    # The libraries are imported on first use: an interrupt must not land in that import, nor its memory
    # count as the clustering's.
    extractor._cluster_colors_dbscan(pixels[:64])

    def rss():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * 4096

    def interrupted_run():
        timer = threading.Timer(0.5, signal.raise_signal, (signal.SIGINT,))
        started = time.perf_counter()
        timer.start()
        try:
            extractor._cluster_colors_dbscan(pixels)
        except KeyboardInterrupt:
            return time.perf_counter() - started
        finally:
            timer.cancel()
        return None

    first = interrupted_run()
    baseline = rss()
    later = [interrupted_run() for _ in range(3)]
    print(first, max(later), (rss() - baseline) / 1e6)
    """


@pytest.mark.serial
def test_ctrl_c_stops_a_long_native_kernel_and_frees_its_memory():
    # In a child: a KeyboardInterrupt must not reach the test runner.
    done = run_python(CTRL_C, timeout=300, env={"PYTHONFAULTHANDLER": "1"})
    assert done.returncode == 0, done.stderr
    first, slowest, grown_mb = map(float, done.stdout.split())
    # Uninterrupted, this clustering runs for several seconds.
    assert first < 3 and slowest < 3
    if not os.environ.get("LQ_SKIP_RSS_CHECK"):  # the sanitizer's quarantine keeps freed memory
        assert grown_mb < 50


FRESH_PROCESS_FITS = r"""
import sys
from concurrent.futures import ThreadPoolExecutor
import numpy as np
from sklearn.datasets import load_sample_image
from lumvarde_quorle.color_extractor_cy import FastColorExtractor

rows = np.ascontiguousarray(load_sample_image("china.jpg")[100:190, 200:320].reshape(-1, 3))
# Each n_colors asks for its own probe of the library's row-norm order; the first calls race for the caches.
settings = [2, 3, 4, 5, 6, 7, 8, 9] * 3
with ThreadPoolExecutor(8) as pool:
    concurrent = list(pool.map(lambda k: FastColorExtractor(k)._cluster_colors_kmeans(rows), settings))
for k, (colors, labels) in zip(settings, concurrent):
    want_colors, want_labels = FastColorExtractor(k)._cluster_colors_kmeans(rows)
    assert np.array_equal(colors, want_colors) and np.array_equal(labels, want_labels), k
print("ok")
"""


def test_native_fits_in_threads_from_a_fresh_process():
    """The native K-means runs threads of its own and keeps probes of the library in module state: many
    fits started at once in a new process, before any probe is cached, give the sequential results."""
    done = run_python(FRESH_PROCESS_FITS, timeout=600)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr
