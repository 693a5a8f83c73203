"""Output writers: the table, CSV, JSON and HTML forms of the command-line tool's records, and the
terminal's colour choice."""

import html
import io
import re
from unittest import mock

import pytest

from lumvarde_quorle.cli import records, report, terminal, writers


@pytest.mark.parametrize(
    "choice, environ, tty, expected",
    [("auto", {}, True, True), ("auto", {"NO_COLOR": "1"}, True, False), ("auto", {"TERM": "dumb"}, True, False),
     ("always", {"NO_COLOR": "1"}, False, True), ("never", {}, True, False)],
)
def test_colour_follows_terminal_and_no_color(choice, environ, tty, expected):
    stream = mock.Mock(isatty=mock.Mock(return_value=tty))
    assert terminal.use_colour(choice, stream, environ) is expected


RED = [200, 30, 40]
RECORDS = {
    "extract": {"path": "shots/a<b>&.png", "colors": [
        {"color": RED, "percentage": 60.0, "name": "crimson"},
        {"color": [10, 20, 30], "percentage": 39.99, "name": "black"}]},
    "target-shares": {"path": "shots/a<b>&.png", "targets": {"<red>": {
        "percentage": 12.5, "similarity": 50.0, "closest_color": RED, "distance": 25.0, "found_directly": False,
        "name": "crimson"}}},
    "matches": {"path": "shots/a<b>&.png", "targets": {"<red>": {
        "total_percentage": 30.0, "close_percentage": 20.0, "very_close_percentage": 10.0, "closest_pixel": RED,
        "min_distance": 3.0, "similarity_score": 94.0, "name": "crimson"}}},
}


def html_report(command, preview):
    out = io.StringIO()
    settings = writers.Settings(targets={"<red>": (255, 0, 0)}, title="t<i>", subtitle="run <x>", preview=preview)
    writer = report.HtmlWriter(records.KINDS[command], out, settings)
    writer.begin()
    writer.write(RECORDS[command])
    writer.write(records.error_record("bad<script>.png", ValueError("Could not load <x>")))
    writer.end()
    return out.getvalue()


@pytest.mark.parametrize("command", ["extract", "target-shares", "matches"])
def test_html_report_is_self_contained_and_escaped(command):
    def preview(path):
        return "data:image/png;base64,AAAA"

    page = html_report(command, preview)
    assert page.startswith("<!DOCTYPE html>") and page.rstrip().endswith("</html>")
    assert '<meta name="viewport" content="width=device-width, initial-scale=1">' in page
    assert "<script" not in page and "http" not in page and "<link" not in page
    assert re.findall(r'src="([^"]*)"', page) == ["data:image/png;base64,AAAA"]
    for raw in ("<b>", "<x>", "<i>", *(["<red>"] if command != "extract" else [])):
        assert raw not in page and html.escape(raw) in page
    assert "<code>bad&lt;script&gt;.png</code>: ValueError: Could not load &lt;x&gt;" in page
    assert "2 images, 1 failed." in page


def test_html_bar_segments_and_target_meters():
    page = html_report("extract", None)
    segments = re.findall(r'<span style="left:([\d.]+)%;width:([\d.]+)%;background:(#\w+)', page)
    assert [(float(left), float(width), colour) for left, width, colour in segments] == [
        (0.0, 60.0, "#c81e28"), (60.0, 39.99, "#0a141e")]
    # A target's meter: its headline share, painted in the target's own colour.
    for command, share in (("target-shares", 12.5), ("matches", 30.0)):
        meters = re.findall(r'class="meter"><span style="width:([\d.]+)%;background:(#\w+)', html_report(command, None))
        assert [(float(width), colour) for width, colour in meters] == [(share, "#ff0000")]


def test_a_preview_that_fails_leaves_the_results():
    def preview(path):
        raise ValueError("unreadable <now>")

    page = html_report("extract", preview)
    assert "No preview: unreadable &lt;now&gt;" in page and "crimson" in page


ANALYSES = {name: kind for name, kind in records.KINDS.items() if kind.method}


@pytest.mark.parametrize("kind", ANALYSES.values(), ids=ANALYSES)
def test_each_kind_describes_what_its_method_returns(kind):
    """The method a kind names gives entries with the kind's colour key, and every field of them has a
    CSV column."""
    import numpy as np

    from lumvarde_quorle import ColorExtractor

    image = np.zeros((6, 6, 3), np.uint8)
    image[:3] = (40, 30, 200)
    method = getattr(ColorExtractor(2, "kmeans", False, True), kind.method)
    value = method(image) if kind.results == "colors" else method(image, {"red": (200, 30, 40)})
    record = kind.record("x.png", value)
    rows = kind.rows(record, {})
    assert rows and all(row.entry["name"] for row in rows)
    for row in rows:
        assert set(row.entry) - {kind.colour_key} | set(kind.csv_rgb) <= set(kind.csv_columns)


def test_progress_shows_the_time_left_at_the_pace_after_the_first_image():
    now = [100.0]
    stream = io.StringIO()
    progress = terminal.Progress(5, stream, True, clock=lambda: now[0])
    progress.draw()
    assert stream.getvalue().endswith("] 0/5 ")
    now[0] += 600  # the first image carries the start-up: no pace from it
    progress.advance("a.png")
    assert stream.getvalue().endswith("] 1/5 a.png")
    now[0] += 30  # then 30 s an image: three more take 90 s
    progress.advance("b.png")
    assert stream.getvalue().endswith("] 2/5 1m30s left b.png")
    now[0] += 10
    progress.advance("c.png")
    assert stream.getvalue().endswith("] 3/5 40s left c.png")
    progress.advance("d.png")
    progress.advance("e.png")
    assert stream.getvalue().endswith("] 5/5 e.png")


@pytest.mark.parametrize("seconds, text", [(0.4, "0s"), (59.4, "59s"), (59.6, "1m00s"), (605, "10m05s"),
                                           (3600, "1h00m"), (7830, "2h10m")])
def test_durations_read_at_a_glance(seconds, text):
    assert terminal.duration(seconds) == text
