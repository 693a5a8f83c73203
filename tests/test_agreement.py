"""The native K-means against scikit-learn's own call on whole images, at 2 and 12 megapixels: a real photo
scaled up, a product shot on pure white, flat graphics with fewer colours than clusters. Every result must
be identical, and pure white must come back as pure white. `make test` runs one 2 MP case per image;
`make agreement` (run by CI) runs them all."""

import json
import subprocess
import sys
import warnings
from functools import cache
from pathlib import Path

import cv2
import pytest

import image_kinds as images
import lumvarde_quorle.color_extractor_cy as module
from lumvarde_quorle.color_extractor_cy import ColorExtractor, LibraryColorExtractor

SIZES = {"2 MP": images.TWO_MP, "12 MP": images.TWELVE_MP}
ALL_SETTINGS = [(pre, lab) for pre in (False, True) for lab in (True, False)]
# (image, settings, in make test)
CASES = [(kind, pre, lab, (pre, lab) == quick)
         for kind, quick in [("photo", (True, True)), ("studio", (False, False)), ("logo", (False, False))]
         for pre, lab in ALL_SETTINGS]
CASES += [("six_flat", False, lab, lab) for lab in (True, False)]
WHITE = (255, 255, 255)


@cache
def image_of(kind, size):
    image = images.KINDS[kind](SIZES[size])
    image.setflags(write=False)
    return image


def params():
    for size in SIZES:
        for kind, pre, lab, quick in CASES:
            marks = [] if quick and size == "2 MP" else [pytest.mark.large]
            yield pytest.param(size, kind, pre, lab, marks=marks,
                               id=f"{size}-{kind}-{'pre' if pre else 'raw'}-{'lab' if lab else 'rgb'}")


@pytest.mark.parametrize("size, kind, preprocessing, lab_space", list(params()))
def test_native_fit_gives_the_library_result(size, kind, preprocessing, lab_space):
    image = image_of(kind, size)
    module._kmeans_fallbacks.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # fewer distinct colours than clusters, in both
        got = ColorExtractor(5, "kmeans", preprocessing, lab_space).extract_colors(image)
        fitted_by_library = sum(n for (call, _), n in module._kmeans_fallbacks.items() if call == "KMeans.fit")
        want = LibraryColorExtractor(5, "kmeans", preprocessing, lab_space).extract_colors(image)
    assert got == want
    assert fitted_by_library == 0, module._kmeans_fallbacks
    if kind != "photo" and not preprocessing:  # the filter blends the edges of the background into it
        assert got[0]["color"] == WHITE
    if kind == "logo" and not preprocessing and not lab_space:
        # No more colours than clusters: each colour is reported as itself.
        assert {entry["color"] for entry in got} == {WHITE, *images.LOGO_MARKS}


@pytest.mark.large
def test_command_line_reports_pure_white(tmp_path):
    paths = []
    for kind in ("studio", "logo", "six_flat"):
        path = tmp_path / f"{kind}.png"
        assert cv2.imwrite(str(path), image_of(kind, "12 MP"))
        paths.append(str(path))
    tool = Path(sys.executable).with_name("lumvarde-quorle")
    for space in ([], ["--rgb"]):
        done = subprocess.run([str(tool), "extract", *paths, "--no-preprocessing", "--format", "json", *space],
                              capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stderr
        for record in json.loads(done.stdout):
            assert record["colors"][0]["color"] == list(WHITE), record


def test_photo_saved_as_jpeg_with_a_colour_on_a_bisector():
    """The 2 MP photo through JPEG, preprocessed: in one run a colour lies on the bisector of two centres,
    and that run alone is left to the library's iterations; the result is still the library's."""
    ok, encoded = cv2.imencode(".jpg", images.photo((1155, 1731)))
    image = cv2.imdecode(encoded, cv2.IMREAD_COLOR)
    module._kmeans_fallbacks.clear()
    got = ColorExtractor().extract_colors(image)
    assert ok and dict(module._kmeans_fallbacks) == {("_kmeans_single_lloyd", "bisector"): 1}
    assert got == LibraryColorExtractor().extract_colors(image)
