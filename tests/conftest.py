"""Shared fixtures: real photos bundled with scikit-learn, small synthetic images, module-global
rebinding, a memory-flatness check, write protection and the child worker that runs cases a crash must not escape."""

import gc
import os
import shutil
import subprocess

os.environ.setdefault("MPLBACKEND", "Agg")

import numpy as np
import pytest

import lumvarde_quorle.color_extractor_cy as module
from child_worker import ChildWorker
from lumvarde_quorle.color_extractor_cy import ColorExtractor


def _sample_bgr(name):
    from sklearn.datasets import load_sample_image

    return np.ascontiguousarray(load_sample_image(name)[:, :, ::-1])


@pytest.fixture(scope="session")
def china_bgr():
    """scikit-learn's china.jpg (427 x 640) in B, G, R order, as cv2.imread would give it."""
    image = _sample_bgr("china.jpg")
    image.setflags(write=False)
    return image


@pytest.fixture(scope="session")
def flower_bgr():
    """scikit-learn's flower.jpg (427 x 640) in B, G, R order."""
    image = _sample_bgr("flower.jpg")
    image.setflags(write=False)
    return image


@pytest.fixture(scope="session")
def china_path(tmp_path_factory, china_bgr):
    """china.jpg written losslessly to a PNG file, so that reading it back gives china_bgr exactly."""
    import cv2

    path = tmp_path_factory.mktemp("images") / "china.png"
    assert cv2.imwrite(str(path), china_bgr)
    return str(path)


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


@pytest.fixture
def extractor_module():
    return module


@pytest.fixture
def rebind(monkeypatch):
    """rebind(name, value): replace a module global of the extension for the duration of a test."""

    def _rebind(name, value):
        monkeypatch.setattr(module, name, value)

    return _rebind


def _rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_memory_flat(operation, repeats=2000, tolerance=4 * 1024 * 1024):
    """Runs `operation` many times and fails when the process keeps growing, over two rounds in a row:
    the count of allocated interpreter blocks catches a leaked reference per call, the resident size
    catches native leaks."""
    import sys

    for _ in range(max(50, repeats // 10)):
        operation()
    # Caches that fill once (the interpreter's, the libraries') can still grow during the first rounds,
    # by more the more other work the process has done before (scikit-learn's k-means++ keeps growing for
    # thousands of calls); a leak grows in every round.
    for _ in range(3):
        gc.collect()
        blocks_before, rss_before = sys.getallocatedblocks(), _rss_bytes()
        for _ in range(repeats):
            operation()
        gc.collect()
        block_growth = sys.getallocatedblocks() - blocks_before
        rss_growth = _rss_bytes() - rss_before
        rss_flat = rss_growth < tolerance or bool(os.environ.get("LQ_SKIP_RSS_CHECK"))
        # A reference leaked per call grows by at least `repeats` blocks.
        if block_growth < repeats // 2 and rss_flat:
            return
    assert block_growth < repeats // 2, f"{block_growth} interpreter blocks more after {repeats} calls"
    assert rss_flat, f"memory grew by {rss_growth} bytes over {repeats} calls"


@pytest.fixture
def memory_flat():
    return assert_memory_flat


@pytest.fixture
def plain():
    """A plain extractor with preprocessing off and RGB features, the most direct configuration."""
    return ColorExtractor(5, "kmeans", False, False)


@pytest.fixture
def write_protect():
    """Makes a file or directory read-only, for root too (an immutable file holds even root), until the end."""
    undo = []

    def protect(path):
        mode = path.stat().st_mode
        path.chmod(mode & ~0o222)
        undo.append(lambda: path.chmod(mode))
        if os.geteuid() == 0:
            if shutil.which("chattr") is None or subprocess.run(["chattr", "+i", path], capture_output=True).returncode:
                pytest.skip("running as root, where permissions do not bind, and chattr +i is not available")
            undo.append(lambda: subprocess.run(["chattr", "-i", path], check=True))

    yield protect
    for step in reversed(undo):
        step()


@pytest.fixture(scope="module")
def worker():
    """A child worker (child_worker.py) for the module's cases."""
    worker = ChildWorker()
    yield worker
    worker.close()
