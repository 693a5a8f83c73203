"""The index, search and similar commands: their answers in every output format are the catalogue's,
and what cannot be answered ends in a clear message and status."""

import csv
import io
import json
import os
import re
import socket
import sys
import threading
import time
from unittest import mock

import cv2
import numpy as np
import pytest

from child_worker import run_python
from lumvarde_quorle import cli
from lumvarde_quorle.catalogue import Catalogue
from lumvarde_quorle.cli import running
from lumvarde_quorle.color_extractor_cy import ColorExtractor
from lumvarde_quorle.names import css_name

SETTINGS = ["--n-colors", "4", "--no-preprocessing"]


def run(capsys, *argv):
    with mock.patch.dict(os.environ):
        try:
            status = cli.main([str(arg) for arg in argv])
        except SystemExit as stop:  # usage errors
            status = stop.code
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(scope="module")
def catalogue(tmp_path_factory, china_bgr, flower_bgr):
    root = tmp_path_factory.mktemp("catalogue")
    for name, image in (("china", china_bgr), ("flower", flower_bgr)):
        for part, view in (("whole", image[::4, ::4]), ("left", image[::4, :320:4])):
            assert cv2.imwrite(str(root / f"{name}-{part}.png"), np.ascontiguousarray(view))
    (root / "broken.png").write_text("not an image")
    with mock.patch.dict(os.environ):
        status = cli.main(["index", str(root), "--db", str(root / "c.db"), *SETTINGS, "--no-progress"])
    assert status == 1  # the broken image
    return root


def api_search(root):
    with Catalogue(root / "c.db") as opened:
        return opened.search(["#87ceeb", "#2d5952"], tolerance=20, min_share=0.5, limit=3)


def named(colours):
    return [{**colour, "color": list(colour["color"]), "name": css_name(tuple(colour["color"]))} for colour in colours]


@pytest.mark.parametrize("fmt", ["json", "jsonl", "csv", "table", "html"])
def test_search_writes_the_catalogues_answer(capsys, catalogue, fmt):
    status, out, _ = run(capsys, "search", "--db", catalogue / "c.db", "--color", "#87ceeb", "--color", "45,89,82",
                         "--tolerance", "20", "--min-share", "0.5", "--limit", "3", "--format", fmt)
    assert status == 0
    hits = api_search(catalogue)
    assert hits
    if fmt in ("json", "jsonl"):
        records = json.loads(out) if fmt == "json" else [json.loads(line) for line in out.splitlines()]
        assert records == [{**json.loads(json.dumps(hit)), "colors": named(hit["colors"])} for hit in hits]
    elif fmt == "csv":
        rows = list(csv.DictReader(io.StringIO(out)))
        expected = [(hit["path"], str(colour["percentage"]), " ".join(colour["matched"]), str(hit["share"]))
                    for hit in hits for colour in hit["colors"]]
        assert [(row["path"], row["percentage"], row["matched"], row["share"]) for row in rows] == expected
    elif fmt == "table":
        titles = [line for line in out.splitlines() if line and not line.startswith(" ")]
        shares = [", ".join(f"{label} {share:.2f}" for label, share in hit["queries"].items()) for hit in hits]
        assert titles == [f"{hit['path']}  (% of the pixels: {share})" for hit, share in zip(hits, shares)]
    else:
        sections = out.split('<section class="image">')[1:]
        assert len(sections) == len(hits)
        for section, hit in zip(sections, hits):
            marked = [colour["matched"] != [] for colour in hit["colors"]]
            bar = re.search(r'<div class="bar">(.*?)</div>', section).group(1)
            assert ['class="matched"' in segment for segment in bar.split("</span>")[:-1]] == marked
            assert section.count('<tr class="matched">') == sum(marked)
        assert out.count('<img src="data:image/jpeg;base64,') == len(hits)


@pytest.mark.parametrize("fmt", ["json", "table"])
def test_a_fresh_search_imports_no_library_it_does_not_need(catalogue, fmt):
    """The command's start is most of a fresh search: scikit-learn, matplotlib, OpenCV and Pillow alone take
    seconds to import, and neither the query nor naming the colours found needs them."""
    done = run_python("""
        import sys
        from lumvarde_quorle.cli import main
        status = main(sys.argv[1:])
        heavy = [name for name in ("sklearn", "matplotlib", "cv2", "PIL", "scipy") if name in sys.modules]
        print(status, heavy, file=sys.stderr)
    """, "search", "--db", catalogue / "c.db", "--color", "skyblue", "--color", "45,89,82", "--tolerance", "20",
        "--min-share", "0.5", "--format", fmt)
    assert done.returncode == 0 and done.stderr.splitlines()[-1] == "0 []", done.stderr
    assert "china-whole.png" in done.stdout


def test_similar_writes_the_nearest_palettes(capsys, catalogue):
    query = catalogue / "china-left.png"
    status, out, _ = run(capsys, "similar", "--db", catalogue / "c.db", query, "--format", "json")
    assert status == 0
    records = json.loads(out)
    with Catalogue(catalogue / "c.db") as opened:
        assert records == [{**hit, "colors": named(hit["colors"])} for hit in opened.similar(str(query))]
    assert records[0]["path"] == str(catalogue / "china-whole.png")  # the crop's own photo is nearest
    assert len(records) == 3  # itself and the broken file are no answers


def test_index_reports_what_it_did(capsys, catalogue, tmp_path):
    status, out, err = run(capsys, "index", catalogue, "--db", catalogue / "c.db", *SETTINGS)
    assert status == 1  # the broken image is tried again, and fails again
    assert out.startswith(f"{catalogue / 'c.db'}: 0 indexed, 4 unchanged, 1 failed (n_colors=4, algorithm=kmeans")
    assert f"{catalogue / 'broken.png'}: ValueError: Could not load image from" in err


def test_index_stores_a_file_once_whatever_path_reaches_it(capsys, catalogue, tmp_path):
    photos = tmp_path / "photos"
    (photos / "d").mkdir(parents=True)
    (photos / "a.png").write_bytes((catalogue / "china-left.png").read_bytes())
    (photos / "d" / "self").symlink_to("..")  # a loop
    (photos / "b.png").symlink_to("a.png")
    db = tmp_path / "c.db"
    status, out, _ = run(capsys, "index", f"{photos}/**/*.png", photos / "d/self/a.png", "--db", db, *SETTINGS)
    assert status == 0
    assert ": 1 indexed, 0 unchanged, 0 failed, 2 paths to files already taken passed over (each kept under its " \
        "first path)" in out
    with Catalogue(db) as opened:
        hits = opened.similar(catalogue / "china-whole.png", limit=5)
    assert [hit["path"] for hit in hits] == [str(photos / "a.png")]


def test_index_refuses_images_above_the_pixel_budget(capsys, catalogue, tmp_path):
    db = tmp_path / "small.db"
    status, out, err = run(capsys, "index", catalogue / "china-whole.png", "--db", db, "--max-pixels", "1000")
    assert status == 1 and ": 0 indexed, 0 unchanged, 1 failed" in out
    assert "ImageTooLargeError: " in err and "more than the limit of 1,000" in err
    # stored as failed, so that a run with a larger budget analyses it
    status, out, _ = run(capsys, "index", catalogue / "china-whole.png", "--db", db, "--max-pixels", "0")
    assert status == 0 and ": 1 indexed, 0 unchanged, 0 failed" in out


@pytest.mark.parametrize("argv, status, message", [
    (["search", "--db", "{missing}", "--color", "red"], 2, "no such catalogue"),
    (["search", "--db", "{root}/broken.png", "--color", "red"], 2, "not a catalogue"),
    (["search", "--db", "{db}", "--color", "reddish"], 2, "CSS colour name"),
    (["search", "--db", "{db}", "--color", "red", "--n-colors", "9"], 0, "no images found"),
    (["search", "--db", "{db}", "--color", "red", "--min-share", "nan"], 2, "finite number"),
    (["search", "--db", "{db}", "--color", "red", "--max-distance", "30"], 2, "CIEDE2000 colour difference"),
    (["similar", "--db", "{db}", "{root}/broken.png"], 1, "Could not load image from"),
    (["similar", "--db", "{db}", "{root}"], 1, "ValueError: Could not load image from {root}: is a directory"),
    (["index", "{root}/china-whole.png", "--db", "{db}", "--jobs", "2", "--dask", "tcp://x:1"], 2, "--jobs"),
])
def test_what_cannot_be_answered_says_why(capsys, catalogue, tmp_path, argv, status, message):
    names = {"missing": tmp_path / "missing.db", "root": catalogue, "db": catalogue / "c.db"}
    done, _, err = run(capsys, *(arg.format(**names) for arg in argv))
    assert done == status and message.format(**names) in err


def test_a_query_needs_settings_when_the_catalogue_has_several(capsys, catalogue, tmp_path):
    database = tmp_path / "two.db"
    image = catalogue / "flower-left.png"
    for n in ("2", "3"):
        assert run(capsys, "index", image, "--db", database, "--n-colors", n, "--no-preprocessing")[0] == 0
    status, _, err = run(capsys, "search", "--db", database, "--color", "#ffffff")
    assert status == 2 and "2 different settings" in err
    status, out, _ = run(capsys, "search", "--db", database, "--color", "#2d5952", "--n-colors", "3",
                         "--no-preprocessing", "--tolerance", "60", "--format", "jsonl")
    assert status == 0 and [len(json.loads(line)["colors"]) for line in out.splitlines()] == [3]
    assert ColorExtractor(3, "kmeans", False, True).extract_colors(str(image)) == [
        {"color": tuple(colour["color"]), "percentage": colour["percentage"]} for colour in json.loads(out)["colors"]
    ]


def test_index_counts_transparency_unless_told_to_count_every_pixel(capsys, tmp_path):
    # a red top half, transparent, over an opaque blue half
    image = np.dstack([np.full((20, 6, 3), (0, 0, 250), np.uint8), np.full((20, 6), 255, np.uint8)])
    image[:10, :, 3], image[10:, :, :3] = 0, (250, 0, 0)
    assert cv2.imwrite(str(tmp_path / "cut.png"), image)
    db = tmp_path / "c.db"

    def shares(*argv):
        status, out, _ = run(capsys, "search", "--db", db, *argv, "--min-share", "0", "--format", "json")
        assert status == 0
        return [(hit["settings"]["mask"], round(hit["share"])) for hit in json.loads(out)]

    status, out, _ = run(capsys, "index", tmp_path / "cut.png", "--db", db, "--no-progress")
    assert status == 0 and out.endswith(", mask=auto)\n")
    assert shares("--color", "#fa0000") == [] and shares("--color", "#0000fa") == [("alpha", 100)]
    assert run(capsys, "index", tmp_path / "cut.png", "--db", db, "--mask", "none")[0] == 0
    assert shares("--color", "#fa0000", "--mask", "none") == [(None, 50)]
    assert shares("--color", "#fa0000") == []  # by default the alpha entry still answers


def test_index_shows_its_progress_on_a_terminal(catalogue, tmp_path):
    from test_cli import run_tool

    done = run_tool("index", str(catalogue), "--db", str(tmp_path / "p.db"), *SETTINGS, stderr_tty=True)
    assert done.returncode == 1
    assert "] 5/5 " in done.stderr and "Could not load image from" in done.stderr


def test_the_similar_report_shows_the_query_image(capsys, catalogue):
    query = catalogue / "china-left.png"
    status, out, _ = run(capsys, "similar", "--db", catalogue / "c.db", query, "--format", "html")
    assert status == 0
    head, *hits = out.split('<section class="image">')
    shown = re.search(r'<section class="query">\n<h2>Query image: (.*?)</h2>\n<div class="preview"><img src="(.*?)"',
                      head)
    assert shown.group(1) == str(query) and shown.group(2).startswith("data:image/jpeg;base64,")
    assert len(hits) == 3


# -- --dask given something that is not a Dask scheduler: a message within seconds, and no catalogue file --


def serve(behaviour):
    """A local TCP server that answers each connection as `behaviour` says; its port."""
    listener = socket.create_server(("127.0.0.1", 0))

    def answer():
        with listener:
            while True:
                connection, _ = listener.accept()
                if behaviour == "banner":
                    connection.sendall(b"SSH-2.0-OpenSSH_9.6\r\n")
                elif behaviour == "closes":
                    connection.close()
                    continue
                held.append(connection)  # "silent" (as an HTTP server waits for a request) and "banner" stay open

    held = []
    threading.Thread(target=answer, daemon=True).start()
    return listener.getsockname()[1]


def free_port():
    with socket.create_server(("127.0.0.1", 0)) as unused:
        return unused.getsockname()[1]


@pytest.mark.serial
@pytest.mark.parametrize("behaviour, message", [
    ("banner", "is not a Dask scheduler (it began b'SSH-2.0-'"),
    ("silent", "sent no Dask greeting within 0.5 s"),
    ("closes", "closed without a greeting"),
    ("nothing listening", "Connection refused"),
])
def test_dask_address_of_no_scheduler_fails_fast_creating_nothing(capsys, catalogue, tmp_path, monkeypatch,
                                                                  behaviour, message):
    monkeypatch.setattr(running, "PROBE_SECONDS", 0.5)
    port = free_port() if behaviour == "nothing listening" else serve(behaviour)
    database = tmp_path / "new.db"
    started = time.monotonic()
    status, _, err = run(capsys, "index", catalogue / "china-whole.png", "--db", database,
                         "--dask", f"tcp://127.0.0.1:{port}")
    assert time.monotonic() - started < 5
    assert status == 2 and f"argument --dask: no Dask scheduler at tcp://127.0.0.1:{port}: " in err and message in err
    assert not database.exists()


def test_index_on_dask_without_dask_installed_creates_nothing(capsys, catalogue, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)  # its import fails
    database = tmp_path / "new.db"
    status, _, err = run(capsys, "index", catalogue / "china-whole.png", "--db", database, "--dask", "tcp://x:1")
    assert status == 2 and "Dask is not installed" in err
    assert not database.exists()
