"""The catalogue's queries against hostile files and sizes: a hit replaced by a decompression bomb gives its
report a placeholder, not a decode; `similar`'s query image is held to the pixel budget and the memory the
process can get, failing in one line; and queries of endless colours are refused before any work."""

import itertools
import os
import shutil
from unittest import mock

import cv2
import numpy as np
import pytest

from child_worker import UNDER_ASAN
from lumvarde_quorle import cli
from lumvarde_quorle.catalogue import MAX_PALETTE_COLOURS, MAX_QUERY_COLOURS, Catalogue
from test_budget import bomb_png, run_measured

# Every command under it: the bombs decode to gigabytes, so a missing refusal fails here, not the machine.
ADDRESS_SPACE = None if UNDER_ASAN else 3 << 30
# Peak resident MB of a page whose hit is refused; the decoded bomb alone would be 1.2 GB. AddressSanitizer's
# shadow memory and quarantine add to every allocation, so its build gets more room, still short of a decode.
PAGE_PEAK_MB = 1000 if UNDER_ASAN else 400
# Without a budget only the memory check refuses, and it refuses within the address-space limit, which
# AddressSanitizer's build cannot run under.
memory_check_alone = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves the address space")


@pytest.fixture(scope="module")
def replaced(tmp_path_factory, china_bgr):
    """A catalogue of one image, then the image replaced by a 20000 x 20000 PNG (1.2 GB decoded, 3.2 GB
    as a masked preview) and a copy of the original beside it."""
    root = tmp_path_factory.mktemp("replaced")
    hit, original = root / "hit.png", root / "original.png"
    assert cv2.imwrite(str(original), np.ascontiguousarray(china_bgr[::4, ::4]))
    shutil.copy(original, hit)
    with mock.patch.dict(os.environ):
        assert cli.main(["index", str(hit), "--db", str(root / "c.db"), "--no-progress", "--no-preprocessing"]) == 0
    bomb_png(hit, 20000, 20000)
    return root


@pytest.mark.parametrize("command", ["search", "similar"])
@pytest.mark.parametrize("budget, placeholder", [
    ([], "20000 x 20000 = 400,000,000 pixels, more than the limit of 178,956,970"),
    pytest.param(["--max-pixels", "0"], "would need about", marks=memory_check_alone),  # no budget
])
def test_report_of_a_bombed_hit_has_a_placeholder(replaced, tmp_path, command, budget, placeholder):
    query = ["--color", "lightsteelblue", "--min-share", "0"] if command == "search" else [replaced / "original.png"]
    page = tmp_path / "page.html"
    status, _, err, _, peak = run_measured(
        [command, "--db", replaced / "c.db", *query, *budget, "--output", page], address_space=ADDRESS_SPACE)
    assert status == 0, err
    text = page.read_text()
    assert "hit.png" in text and "No preview: " in text and placeholder in text
    assert peak < PAGE_PEAK_MB, peak


@pytest.mark.parametrize("budget, message", [
    ([], "ImageTooLargeError: "),
    (["--max-pixels", "1000"], "more than the limit of 1,000"),
    pytest.param(["--max-pixels", "0"], "MemoryError: ", marks=memory_check_alone),  # analysed: the memory check
])
def test_similar_query_image_is_held_to_the_budget(replaced, budget, message):
    status, out, err, _, _ = run_measured(
        ["similar", "--db", replaced / "c.db", replaced / "hit.png", *budget, "--format", "json"],
        address_space=ADDRESS_SPACE)
    assert status == 1 and out == ""
    assert message in err and "Traceback" not in err
    assert len(err.strip().splitlines()) == 1, err


def test_similar_query_image_budget_through_the_api(replaced):
    with Catalogue(replaced / "c.db") as catalogue:
        with pytest.raises(ValueError, match="more than the limit of 1,000"):
            catalogue.similar(replaced / "original.png", max_pixels=1000)
        assert [hit["path"] for hit in catalogue.similar(replaced / "original.png", max_pixels=None)] == [
            str(replaced / "hit.png")]


def colours(count):
    return [(i % 256, i // 256 % 256, 7) for i in range(count)]


@pytest.mark.parametrize("query, allowed", [
    (lambda catalogue, n: catalogue.search(colours(n), min_share=0), MAX_QUERY_COLOURS),
    (lambda catalogue, n: catalogue.search({f"c{i}": rgb for i, rgb in enumerate(colours(n))}), MAX_QUERY_COLOURS),
    (lambda catalogue, n: catalogue.similar([{"color": rgb, "percentage": 1.0} for rgb in colours(n)]),
     MAX_PALETTE_COLOURS),
], ids=["search", "search by name", "similar palette"])
def test_query_size_is_bounded(replaced, query, allowed):
    with Catalogue(replaced / "c.db") as catalogue:
        assert isinstance(query(catalogue, allowed), list)
        with pytest.raises(ValueError, match=f"too many .*: at most {allowed}"):
            query(catalogue, allowed + 1)


def test_endless_queries_are_refused_before_they_are_read(replaced):
    endless = ((i % 256, 0, 0) for i in itertools.count())
    with Catalogue(replaced / "c.db") as catalogue:
        with pytest.raises(ValueError, match="too many query colours"):
            catalogue.search(endless)
        with pytest.raises(ValueError, match="too many palette colours"):
            catalogue.similar({"color": (1, 2, 3), "percentage": 1.0} for _ in itertools.count())


def test_command_line_query_size_is_a_usage_error(replaced, capsys):
    argv = ["search", "--db", str(replaced / "c.db")]
    for rgb in colours(MAX_QUERY_COLOURS + 1):
        argv += ["--color", ",".join(map(str, rgb))]
    with pytest.raises(SystemExit) as stopped:
        cli.main(argv)
    assert stopped.value.code == 2
    assert f"too many query colours: at most {MAX_QUERY_COLOURS}" in capsys.readouterr().err
