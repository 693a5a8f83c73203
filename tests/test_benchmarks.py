"""The benchmark scripts' own measuring code: the colour distance the peer comparison reports, the catalogue
the command-line benchmark times, and the preprocessing steps timed one by one. No timing here."""

import importlib.util
import pathlib
import sys

import numpy as np
import pytest

from lumvarde_quorle import ColorExtractor

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
pytestmark = pytest.mark.skipif(not BENCHMARKS.is_dir(), reason="benchmarks not available (installed package only)")


def script(name):
    spec = importlib.util.spec_from_file_location(name, BENCHMARKS / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def peers():
    return script("bench_peers")


@pytest.mark.parametrize("rgb, expected", [
    ((255, 255, 255), (100.0, 0.0, 0.0)),
    ((0, 0, 0), (0.0, 0.0, 0.0)),
    ((255, 0, 0), (53.24, 80.09, 67.20)),
    ((0, 0, 255), (32.30, 79.19, -107.86)),
    ((128, 128, 128), (53.59, 0.0, 0.0)),
])
def test_lab_is_cie_lab_from_srgb(peers, rgb, expected):
    # 8-bit OpenCV LAB (L scaled to 0..255, a and b offset by 128) would be off by tens here
    np.testing.assert_allclose(peers.lab([rgb])[0], expected, atol=0.1)


@pytest.mark.parametrize("pixels, palette, expected", [
    ([(10, 20, 30)] * 3, [(10, 20, 30)], 0.0),
    ([(255, 255, 255), (0, 0, 0)], [(0, 0, 0)], 50.0),
    # each pixel is measured to its nearest colour, whatever the palette's order
    ([(255, 255, 255), (0, 0, 0)], [(255, 255, 255), (0, 0, 0)], 0.0),
    ([(0, 0, 0)], [(255, 255, 255), (128, 128, 128)], 53.59),
])
def test_mean_delta_e_to_the_nearest_colour(peers, pixels, palette, expected):
    assert peers.mean_delta_e(peers.lab(pixels), palette) == pytest.approx(expected, abs=0.01)


def test_peer_images_are_the_sizes_named(peers, tmp_path):
    import cv2

    found = dict(peers.images(str(tmp_path), [0, 2]))
    assert list(found) == ["china.jpg 0.27 MP", "2 MP PNG", "2 MP JPEG"]
    assert cv2.imread(found["china.jpg 0.27 MP"]).shape == (427, 640, 3)
    png, jpeg = cv2.imread(found["2 MP PNG"]), cv2.imread(found["2 MP JPEG"])
    assert png.shape == jpeg.shape and png.shape[0] * png.shape[1] == pytest.approx(2e6, rel=0.001)
    assert 0 < np.abs(png.astype(int) - jpeg).mean() < 3  # the JPEG is a lossy copy of the same picture


def test_catalogue_is_varied_deterministic_and_about_0_3_mp(tmp_path):
    import cv2

    make = script("bench_cli_batch").catalogue
    first, second = tmp_path / "a", tmp_path / "b"
    for folder in (first, second):
        folder.mkdir()
        make(str(folder), 8)
    files = sorted(first.iterdir())
    assert [path.name for path in files] == [path.name for path in sorted(second.iterdir())]
    assert all(path.read_bytes() == (second / path.name).read_bytes() for path in files)
    images = [cv2.imread(str(path)) for path in files]
    assert all(image.shape[0] * image.shape[1] == pytest.approx(0.3e6, rel=0.01) for image in images)
    assert len({image.tobytes() for image in images}) == len(images)


def test_cli_batch_run_reads_back_every_result(tmp_path):
    bench = script("bench_cli_batch")
    images = tmp_path / "images"
    images.mkdir()
    bench.catalogue(str(images), 3)
    _, count, digest = bench.run(sys.executable, str(images), 2, str(tmp_path / "out.jsonl"))
    assert count == 3 and len(digest) == 12


def test_preprocessing_steps_reproduce_the_stage(china_bgr):
    bench = script("bench_preprocessing")
    steps, final = bench.steps(china_bgr)
    assert np.array_equal(final, ColorExtractor()._preprocess_image(china_bgr))
    assert np.array_equal(steps["bilateral 9, 75, 75"](), final)


def test_distribution_photos_are_the_sizes_named_and_many_coloured():
    photo = script("bench_distribution").photo
    assert photo(0).shape == (427, 640, 3)
    image = photo(2)
    assert image.shape[0] * image.shape[1] == pytest.approx(2e6, rel=0.001)
    assert image.shape[1] / image.shape[0] == pytest.approx(4 / 3, rel=0.001)
    assert np.array_equal(image, photo(2))  # the same noise every run
    keys = image.reshape(-1, 3).astype(np.uint32) @ np.array([1, 1 << 8, 1 << 16], np.uint32)
    assert len(np.unique(keys)) > 400_000


def test_synthetic_catalogue_images_are_distinct_but_for_the_stated_copies():
    # A fill that reused a generator's state, or seeded every image alike, would repeat distributions and
    # inflate the ties a search has to evaluate.
    bench = script("bench_catalogue")
    bases = bench.base_distributions()
    blobs = [bench.image_table(number, bases).tobytes() for number in range(3000)]
    copies = len(blobs) - len(set(blobs))
    assert 0.01 * len(blobs) < copies < 0.035 * len(blobs)
    assert bench.image_table(2999, bases).tobytes() == blobs[2999]
