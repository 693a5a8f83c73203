"""The HTML report as a browser shows it: headless Chromium renders a report of a batch, and the
screenshot must show every image's thumbnail and each bar segment in its colour at its place, on a
desktop and on a phone-sized window, with the failed image listed."""

import html
import json
import os
import re
import shutil
import subprocess
from unittest import mock

import cv2
import numpy as np
import pytest

from lumvarde_quorle import cli
from lumvarde_quorle.catalogue import Catalogue
from lumvarde_quorle.color_extractor_cy import ColorExtractor

BROWSER = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)
pytestmark = pytest.mark.skipif(
    BROWSER is None, reason="no Chromium on PATH (Debian package 'chromium'; .ci/run installs it)"
)

# Appended to a copy of the report only: lays the page out WIDTH pixels wide (headless windows are at
# least 500 wide, phones narrower) and writes where things are drawn into the page for --dump-dom:
# "right" is the furthest right edge of anything outside the tables' own scrolling boxes.
PROBE = """<style>html{width:WIDTHpx}</style><pre id="probe"></pre><script>
const box = e => { const r = e.getBoundingClientRect(); return [r.left, r.top, r.width, r.height]; };
const outside = [...document.querySelectorAll("body *")].filter(e => !e.parentElement.closest(".scroll"));
document.getElementById("probe").textContent = JSON.stringify({
  right: Math.max(...outside.map(e => e.getBoundingClientRect().right)),
  height: document.documentElement.scrollHeight,
  images: [...document.querySelectorAll("section.image")].map(s => ({
    path: s.querySelector("h2").textContent, img: box(s.querySelector("img")),
    loaded: s.querySelector("img").naturalWidth, bar: box(s.querySelector(".bar")),
    segments: [...s.querySelectorAll(".bar span")].map(box),
    labels: [...s.querySelectorAll(".bar span")].map(e => [...e.querySelectorAll("b")].filter(
      b => b.getClientRects().length).map(b => b.getBoundingClientRect().width)[0] || 0),
    matched: [...s.querySelectorAll(".bar span")].map(e => e.classList.contains("matched")),
    marks: [...s.querySelectorAll(".marks span")].map(box)})),
  text: document.body.innerText});
</script>"""


def browser(profile, *args):
    flags = ["--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--force-device-scale-factor=1",
             "--disable-dev-shm-usage", "--no-first-run", f"--user-data-dir={profile}"]
    # The browser runs none of our code: keep the sanitizer runtime the suite may be preloaded with out of it.
    preload = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")
    env = {key: value for key, value in os.environ.items() if key not in preload}
    return subprocess.run([BROWSER, *flags, *args], capture_output=True, text=True, timeout=120, check=True,
                          env=env).stdout


@pytest.fixture(scope="module")
def report(tmp_path_factory, china_bgr, flower_bgr):
    """A report of china and flower (half size) and one unreadable file, made on two workers, with a
    copy that carries the probe; and the library's colours for each image."""
    root = tmp_path_factory.mktemp("report")
    images = {}
    for name, image in (("china", china_bgr), ("flower", flower_bgr)):
        images[str(root / f"{name}.png")] = np.ascontiguousarray(image[::2, ::2])
        assert cv2.imwrite(str(root / f"{name}.png"), images[str(root / f"{name}.png")])
    (root / "broken.png").write_text("not an image")
    with mock.patch.dict(os.environ):
        status = cli.main(["extract", *images, str(root / "broken.png"), "--n-colors", "4", "--jobs", "2",
                           "--output", str(root / "report.html")])
    assert status == 1
    colours = {path: ColorExtractor(4).extract_colors(path) for path in images}
    return root, images, colours


def render(report_path, tmp_path, width):
    """Where the browser draws things on a page WIDTH pixels wide, and its screenshot (R, G, B)."""
    profile = tmp_path / "profile"
    page = report_path.read_text().replace("</body>", PROBE.replace("WIDTH", str(width)) + "\n</body>")
    (tmp_path / "probe.html").write_text(page)
    url, window = (tmp_path / "probe.html").as_uri(), max(width, 500)
    dom = browser(profile, f"--window-size={window},2000", "--dump-dom", url)
    layout = json.loads(html.unescape(re.search(r'<pre id="probe">(.*?)</pre>', dom, re.S).group(1)))
    assert layout["right"] <= width  # no sideways scrolling on a phone: only tables scroll, in their box
    browser(profile, f"--window-size={window},{layout['height']}", f"--screenshot={tmp_path / 'shot.png'}", url)
    return layout, cv2.imread(str(tmp_path / "shot.png"))[:, :, ::-1]


def assert_thumbnail_and_bar(shot, section, image, colours):
    """The thumbnail is there and is this image: its mean colour is the photo's. One bar segment per
    colour, left to right in the library's order, each as wide as its share and painted in its colour;
    its figure shown whole, or not at all where the segment is too narrow for it (on a phone)."""
    left, top, w, h = (round(v) for v in section["img"])
    assert section["loaded"] > 0 and w > 100 and h > 60
    shown = shot[top + 2 : top + h - 2, left + 2 : left + w - 2].reshape(-1, 3).mean(axis=0)
    np.testing.assert_allclose(shown, image[:, :, ::-1].reshape(-1, 3).mean(axis=0), atol=6)
    bar_left, bar_top, bar_width, _ = section["bar"]
    assert len(section["segments"]) == len(colours)
    start = 0.0
    for (x, y, seg_width, seg_height), label, info in zip(section["segments"], section["labels"], colours):
        assert label < seg_width
        assert label > 0 or info["percentage"] <= 5 or seg_width < 50
        assert x - bar_left == pytest.approx(bar_width * start / 100, abs=1)
        assert seg_width == pytest.approx(bar_width * info["percentage"] / 100, abs=1)
        pixel = shot[round(y + 4), round(x + seg_width / 2)]  # above the centred label
        np.testing.assert_allclose(pixel, info["color"], atol=2)
        start += info["percentage"]


@pytest.mark.parametrize("width", [1000, 390])
def test_report_renders_every_image_and_its_colour_bar(report, tmp_path, width):
    root, images, colours = report
    layout, shot = render(root / "report.html", tmp_path, width)
    assert [section["path"] for section in layout["images"]] == list(images)
    broken = str(root / "broken.png")
    assert f"{broken}: ValueError: Could not load image from {broken}" in layout["text"]
    for section in layout["images"]:
        assert_thumbnail_and_bar(shot, section, images[section["path"]], colours[section["path"]])


@pytest.fixture(scope="module")
def search_report(report):
    """The search results page of a catalogue of the report's two photos, for a colour of china's."""
    root, images, colours = report
    query = colours[next(iter(images))][1]["color"]
    database = str(root / "photos.db")
    with mock.patch.dict(os.environ):
        assert cli.main(["index", *images, "--db", database, "--n-colors", "4", "--no-progress"]) == 0
        assert cli.main(["search", "--db", database, "--color", ",".join(map(str, query)), "--tolerance", "20",
                         "--output", str(root / "search.html")]) == 0
    with Catalogue(database) as catalogue:
        return root, images, catalogue.search([query], tolerance=20)


@pytest.mark.parametrize("width", [1000, 390])
def test_search_results_show_each_image_its_palette_and_the_matched_colours(search_report, tmp_path, width):
    root, images, hits = search_report
    layout, shot = render(root / "search.html", tmp_path, width)
    assert [section["path"] for section in layout["images"]] == [hit["path"] for hit in hits] != []
    for section, hit in zip(layout["images"], hits):
        assert_thumbnail_and_bar(shot, section, images[hit["path"]], hit["colors"])
        # A dark strip under each matched colour's segment, none under the others.
        matched = [colour["matched"] != [] for colour in hit["colors"]]
        assert section["matched"] == matched and len(section["marks"]) == sum(matched)
        for (x, y, seg_width, seg_height), is_matched in zip(section["segments"], matched):
            below = shot[round(y + seg_height + 5), round(x + seg_width / 2)]
            assert (below.max() < 60) == is_matched
        assert f"{hit['share']:.2f}% of the pixels" in layout["text"]
