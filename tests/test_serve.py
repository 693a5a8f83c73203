"""The serve command's web application over HTTP: what the pages show, that requests cannot reach files
outside the catalogue or inject markup, that bad parameters and unreadable images are answered plainly,
and that a burst of concurrent requests is all answered in bounded memory."""

import concurrent.futures
import os
import re
import subprocess
import sys
import urllib.error
import urllib.request

import pytest

pytest.importorskip("flask", reason="the serve extra (pip install 'lumvarde_quorle[serve]') is not installed")
pytest.importorskip("waitress", reason="the serve extra (pip install 'lumvarde_quorle[serve]') is not installed")

from serving import FAILING, HOSTILE, Served, copy_catalogue, make_catalogue  # noqa: E402

from lumvarde_quorle import ColorExtractor  # noqa: E402
from lumvarde_quorle.catalogue import Catalogue  # noqa: E402
from lumvarde_quorle.web import create_app  # noqa: E402


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory):
    return make_catalogue(str(tmp_path_factory.mktemp("served")))


@pytest.fixture(scope="module")
def cache(tmp_path_factory):
    return str(tmp_path_factory.mktemp("cache"))


@pytest.fixture(scope="module")
def client(catalogue, cache):
    return create_app(catalogue[0], cache=cache).test_client()


def text(response):
    return response.get_data(as_text=True)


def test_search_finds_the_colour_and_marks_it(client, catalogue):
    _, ids = catalogue
    page = text(client.get("/?color=lightsteelblue"))
    cards = re.findall(r'<li class="card">.*?</li>', page, re.S)
    # china.png and its crop hold the pale sky; flower.png does not.
    linked = [int(found) for card in cards for found in re.findall(r'href="/image/(\d+)"', card)[:1]]
    assert set(linked) == {ids["china.png"], ids[HOSTILE]}
    assert all("% of the pixels" in card for card in cards)
    assert 'class="matched"' in cards[linked.index(ids["china.png"])]
    # The results alone, as the page's script asks for them, are the same cards.
    assert text(client.get("/results?color=lightsteelblue")).count('<li class="card">') == 2


def test_image_page_links_its_colours_to_searches_and_lists_similar_images(client, catalogue):
    _, ids = catalogue
    page = text(client.get(f"/image/{ids['china.png']}"))
    searches = re.findall(r'href="/\?color=%23([0-9a-f]{6})"', page)
    assert len(set(searches)) == 5
    assert "<svg" in page and page.count("<circle") > 20  # the distribution, drawn
    similar = page.split("Most similar images", 1)[1]
    linked = {int(found) for found in re.findall(r'href="/image/(\d+)"', similar)}
    assert ids[HOSTILE] in linked and ids["china.png"] not in linked


def test_catalogue_page_counts_and_says_why_images_failed(client):
    page = text(client.get("/catalogue"))
    assert "6 entries, 1 failed." in page
    assert "an empty file" in page or "Could not load image" in page


@pytest.mark.parametrize("query, message", [
    ("color=red&tolerance=abc", "tolerance must be a number from 0 to 100, not &#39;abc&#39;"),
    ("color=red&tolerance=nan", "tolerance must be a number"),
    ("color=red&tolerance=1e999", "tolerance must be a number"),
    ("color=red&min_share=101", "min_share must be a number from 0 to 100"),
    ("color=red&limit=0", "limit must be a whole number from 1 to 200"),
    ("color=red&limit=100000", "limit must be a whole number from 1 to 200"),
    ("color=red&limit=2.5", "limit must be a whole number"),
    ("color=nope", "colour &#39;nope&#39;: not a colour"),
    ("color=300,0,0", "not a colour"),
    ("&".join(["color=red"] * 9), "at most 8 colours"),
    ("color=red&settings=x", "settings &#39;x&#39;"),
    ("color=red&settings=9", "the catalogue has 1 settings"),
])
@pytest.mark.parametrize("where", ["/", "/results"])
def test_bad_parameters_are_a_400_that_says_why(client, where, query, message):
    response = client.get(f"{where}?{query}")
    assert response.status_code == 400
    assert message in text(response)
    assert "Traceback" not in text(response)


@pytest.mark.parametrize("url", [
    "/image/0", "/image/999999", "/image/-1", "/image/99999999999999999999999", "/image/9223372036854775808/view",
    "/image/1/original", "/image/../photos.db", "/static/../app.py", "/static/%2e%2e/app.py", "/photos.db",
    "/image/1/thumbnail/../../../../etc/passwd", "/static//etc/passwd",
])
def test_nothing_is_served_but_by_catalogue_id(client, url):
    response = client.get(url, follow_redirects=True)  # a doubled slash is redirected to the path without it
    assert response.status_code == 404
    assert b"SQLite format" not in response.data and b"root:" not in response.data and b"import" not in response.data


def test_names_are_shown_as_text(client, catalogue):
    _, ids = catalogue
    pages = [text(client.get(url)) for url in ("/?color=lightsteelblue", f"/image/{ids[HOSTILE]}", "/catalogue")]
    for page in pages:
        assert "<img src=x" not in page and "<b onmouseover" not in page
    assert "&lt;img src=x onerror=alert(1)&gt;.png" in pages[0] and "&lt;img src=x" in pages[1]
    assert "&lt;b onmouseover=alert(2)&gt;.png" in pages[2]
    # Scripts of the server's own only: an injected inline script would not run even if one slipped through.
    assert "script-src 'self'" in client.get("/").headers["Content-Security-Policy"]


@pytest.mark.parametrize("name, reason", [("gone.png", "not found"), ("bomb.png", "decompression bomb")])
def test_an_image_that_cannot_be_read_gets_a_placeholder(client, catalogue, name, reason):
    _, ids = catalogue
    for kind in ("thumbnail", "view"):
        response = client.get(f"/image/{ids[name]}/{kind}")
        assert response.status_code == 200 and response.mimetype == "image/svg+xml"
        assert reason in text(response) and response.headers["Cache-Control"] == "no-store"
    assert client.get(f"/image/{ids[name]}").status_code == 200  # its palette and similar images still show


def test_pixel_budget_holds_thumbnails(catalogue, tmp_path):
    db, ids = catalogue
    small = create_app(db, cache=str(tmp_path), max_pixels=1000).test_client()
    assert "more than the limit of 1,000" in text(small.get(f"/image/{ids['china.png']}/thumbnail"))


def test_thumbnails_are_made_once_into_the_cache_and_again_when_the_file_changes(catalogue, tmp_path):
    import cv2

    db, ids = catalogue
    folder = tmp_path / "photos"
    folder.mkdir()
    served = copy_catalogue(db, str(folder))
    cache = tmp_path / "cache"
    client = create_app(served, cache=str(cache)).test_client()
    url = f"/image/{ids['china.png']}/thumbnail"
    first = client.get(url)
    assert first.mimetype == "image/jpeg" and max(cv2.imdecode(
        __import__("numpy").frombuffer(first.data, "uint8"), cv2.IMREAD_COLOR).shape[:2]) == 256
    kept = list(cache.rglob("*.jpg"))
    assert len(kept) == 1 and not list(folder.glob("*.jpg"))  # nothing written beside the catalogue
    assert client.get(url, headers={"If-None-Match": first.headers["ETag"]}).status_code == 304
    # The file the entry names changes: a new picture, and the old one dropped.
    path = os.path.join(os.path.dirname(db), "china.png")
    original = open(path, "rb").read()
    try:
        cv2.imwrite(path, cv2.imread(path)[::-1])
        second = client.get(url)
    finally:
        open(path, "wb").write(original)
    assert second.headers["ETag"] != first.headers["ETag"] and len(list(cache.rglob("*.jpg"))) == 1


def test_pages_show_what_an_index_beside_them_committed(catalogue, tmp_path):
    import cv2

    db, _ = catalogue
    served = copy_catalogue(db, str(tmp_path))
    client = create_app(served).test_client()
    assert "6 entries" in text(client.get("/catalogue"))
    cv2.imwrite(str(tmp_path / "more.png"), cv2.imread(os.path.join(os.path.dirname(db), "china.png"))[::2, ::2])
    with Catalogue(served) as writer:
        writer.index([str(tmp_path / "more.png")], ColorExtractor(n_colors=5))
    assert "7 entries" in text(client.get("/catalogue"))


def test_a_read_only_catalogue_is_served(catalogue, tmp_path, write_protect):
    db, ids = catalogue
    folder = tmp_path / "read-only"
    folder.mkdir()
    served = copy_catalogue(db, str(folder))
    for path in [*folder.iterdir(), folder]:
        write_protect(path)
    client = create_app(served, cache=str(tmp_path / "cache")).test_client()
    for url in ("/?color=lightsteelblue", f"/image/{ids['china.png']}", f"/image/{ids['china.png']}/thumbnail",
                "/catalogue"):
        assert client.get(url).status_code == 200, url


def test_a_catalogue_of_several_settings_offers_them(catalogue, tmp_path):
    db, ids = catalogue
    served = copy_catalogue(db, str(tmp_path))
    with Catalogue(served) as writer:
        writer.index([os.path.join(os.path.dirname(db), "china.png")], ColorExtractor(n_colors=3))
    client = create_app(served).test_client()
    page = text(client.get("/?color=lightsteelblue"))
    assert "n_colors=3" in page and "n_colors=5" in page  # the choice of settings
    assert page.count('<li class="card">') == 3  # without a choice, every image: china.png twice
    only = text(client.get("/results?color=lightsteelblue&settings=2"))
    assert only.count('<li class="card">') == 1 and f'href="/image/{ids["china.png"]}"' not in only


@pytest.mark.parametrize("host, status", [
    ("attacker.example", 400), ("127.0.0.1.attacker.example", 400), ("127.0.0.2:8765", 400),
    ("127.0.0.1:8765", 200), ("localhost:8765", 200), ("[::1]:8765", 200),
])
def test_requests_naming_another_host_are_refused_on_loopback(client, host, status):
    assert client.get("/", headers={"Host": host}).status_code == status


@pytest.mark.skipif(not os.path.exists("/proc/self/smaps_rollup"), reason="reads /proc/PID/smaps_rollup")
def test_a_burst_of_concurrent_requests_is_all_answered_in_flat_memory(catalogue, cache):
    db, ids = catalogue
    served = Served(db, "--cache", cache)
    urls = [f"/results?color=%23{colour}" for colour in ("b0c4de", "ffffff", "275550", "808080")] + [
        f"/image/{number}" for number in ids.values()] + [f"/image/{number}/thumbnail" for number in ids.values()]

    def fetch(url):
        with urllib.request.urlopen(served.url + url, timeout=60) as response:
            return response.status

    try:
        sizes = []
        with concurrent.futures.ThreadPoolExecutor(32) as clients:
            for _ in range(6):
                statuses = list(clients.map(fetch, urls * 8, timeout=300))
                assert statuses == [200] * len(statuses)
                sizes.append(served.memory()["Pss"])
    finally:
        served.close()
    # The first round fills what is meant to stay (the colour index's pages, a catalogue per serving thread,
    # the decoders); after it, the heap must not creep.
    growth = [size - sizes[0] for size in sizes[1:]]
    if not os.environ.get("LQ_SKIP_RSS_CHECK"):  # the sanitizer's quarantine keeps freed memory
        assert max(growth) < max(sizes[0] // 20, 8 << 20), f"Pss {sizes} bytes after each round"


def serve_command(*args):
    return [sys.executable, "-P", "-m", "lumvarde_quorle", "serve", *args]


@pytest.mark.parametrize("host, warned", [("127.0.0.1", False), ("0.0.0.0", True)])
def test_serve_listens_and_warns_beyond_loopback(catalogue, tmp_path, host, warned):
    db, _ = catalogue
    served = Served(db, "--host", host, "--cache", str(tmp_path))
    try:
        with urllib.request.urlopen(f"{served.url}/catalogue", timeout=60) as response:
            assert response.status == 200
    finally:
        errors = served.close()
    assert ("without authentication" in errors) == warned


def test_serve_says_how_to_install_the_extra_when_it_is_missing(catalogue):
    db, _ = catalogue
    blocked = "import sys; sys.modules['flask'] = None; from lumvarde_quorle.cli import run; run()"
    done = subprocess.run([sys.executable, "-P", "-c", blocked, "serve", "--db", db], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 2
    assert "pip install 'lumvarde_quorle[serve]'" in done.stderr


@pytest.mark.parametrize("options, message", [
    (["--db", "notes.txt"], "not a catalogue"),
    (["--cache-size", "-1"], "not a size in MiB"),
    (["--cache-size", "1.5G"], "not a size in MiB"),
])
def test_serve_refuses_bad_arguments(catalogue, tmp_path, options, message):
    (tmp_path / "notes.txt").write_text("hello")
    if "--db" not in options:
        options = ["--db", catalogue[0], *options]
    done = subprocess.run(serve_command(*options), capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert done.returncode == 2 and message in done.stderr
