"""visualize_colors judged by the chart it makes: the saved file's pixels (segment widths, colours and
labels), its texts and resolution, and when it saves and shows. Argument types are checked with the
other methods' in test_frame.py."""

import contextlib
import os
import types

import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.text import Text
from PIL import Image

ORANGE, BLUE, GREEN, PURPLE = (255, 128, 0), (0, 0, 255), (0, 255, 0), (120, 40, 160)


@pytest.fixture
def figures(monkeypatch):
    """Closes every figure before and after the test, and records each call of pyplot's show with the
    files then in the current folder."""
    shown = []
    plt.close("all")
    monkeypatch.setattr(plt, "show", lambda *args, **kwargs: shown.append(sorted(os.listdir("."))))
    yield shown
    plt.close("all")


def entries(*pairs):
    return [{"color": color, "percentage": share} for color, share in pairs]


def dark(pixels):
    """Black text and axis lines; no colour drawn here is that dark."""
    return pixels.max(axis=-1) < 60


def drawn_text(figure):
    return {text.get_text() for text in figure.findobj(Text) if text.get_visible() and text.get_text()}


X_TICKS = ["0.0", "0.2", "0.4", "0.6", "0.8", "1.0"]
SEGMENTS = {
    "three that fill the bar": entries((ORANGE, 50.0), (BLUE, 30.0), (GREEN, 20.0)),
    "shares short of the whole, one unlabelled": entries((PURPLE, 62.5), (ORANGE, 25.0), (BLUE, 4.0)),
}


@pytest.mark.parametrize("colors", SEGMENTS.values(), ids=SEGMENTS.keys())
def test_saved_chart_shows_each_colour_as_wide_as_its_share(plain, figures, tmp_path, monkeypatch, colors):
    monkeypatch.chdir(tmp_path)
    assert plain.visualize_colors(colors, "chart.png") is None
    assert figures == [["chart.png"]]  # saved before it is shown, shown once
    with Image.open("chart.png") as saved:
        assert saved.info["dpi"] == pytest.approx((300, 300), abs=0.01)
        assert 3300 < saved.width <= 3600 and saved.height <= 600  # 12 x 2 inches, trimmed to the drawing
        pixels = np.asarray(saved.convert("RGB"))
    rows = np.flatnonzero((pixels == colors[0]["color"]).all(axis=2).any(axis=1))
    top, bottom = rows[0], rows[-1]
    clear_of_labels = pixels[top + (bottom - top) // 5]
    middle, reach = (top + bottom) // 2, (bottom - top) // 6
    left, right = np.flatnonzero(dark(clear_of_labels))[[0, -1]]  # the axis lines at 0 and 1
    start, end = 0.0, None
    for entry in colors:
        share = entry["percentage"] / 100
        columns = np.flatnonzero((clear_of_labels == entry["color"]).all(axis=1))
        if end is not None:  # neighbours are parted by a white outline
            assert (clear_of_labels[end + 1:columns[0]] == 255).all(axis=1).any()
        end = columns[-1]
        # Within the axis from 0 to 1, a segment spans [start, start + share] but for its white outline.
        assert (columns[0] - left) / (right - left) == pytest.approx(start, abs=0.004)
        assert (columns[-1] - left) / (right - left) == pytest.approx(start + share, abs=0.004)
        assert columns.size / (right - left) == pytest.approx(share, abs=0.006)
        # A label, in dark text, centred on the segment when it is wider than a twentieth of the bar.
        band = pixels[middle - reach:middle + reach, columns[0]:columns[-1] + 1]
        label = np.flatnonzero(dark(band).any(axis=0))
        if share > 0.05:
            centre = columns[0] + (label[0] + label[-1]) / 2 if label.size else -1
            assert (centre - left) / (right - left) == pytest.approx(start + share / 2, abs=0.004)
        else:
            assert label.size == 0
        start += share
    beyond = clear_of_labels[columns[-1] + 8:right - 8]
    assert (beyond == 255).all()  # nothing drawn past the last share
    # Title, axis label, the x axis's ticks and the labels; no y ticks.
    assert drawn_text(plt.gcf()) == {"Extracted Colors with Percentages", "Color Distribution", *X_TICKS} | {
        f"{entry['percentage']:.1f}%" for entry in colors if entry["percentage"] > 5}
    assert len(plt.get_fignums()) == 1  # the figure stays open, as after showing it


@pytest.mark.parametrize("percentage, labels", [
    (5.0, set()), (5.1, {"5.1%"}), (100.0, {"100.0%"}), (23.456, {"23.5%"}),
])
def test_label_only_when_strictly_wider_than_a_twentieth(plain, figures, percentage, labels):
    plain.visualize_colors([{"color": [0, 0, 0], "percentage": percentage}])
    assert {text for text in drawn_text(plt.gcf()) if text.endswith("%")} == labels


GOOD = {"color": (1, 2, 3), "percentage": 1.0}


class FailingOperator(Exception):
    pass


class Percentage:
    """A percentage whose operator `failing` raises; the others give the percentage itself (true for `>`)."""

    def __init__(self, failing):
        self.failing = failing

    def _apply(self, operator):
        if operator == self.failing:
            raise FailingOperator(operator)
        return self

    def __truediv__(self, other):
        return self._apply("/")

    def __radd__(self, other):
        return self._apply("+")

    def __gt__(self, other):
        return self._apply(">")


@pytest.mark.parametrize("colors, save_path, error, shown", [
    ([GOOD], None, None, [[]]),
    ([GOOD], "", None, [[]]),
    ([], "chart.png", None, []),  # no figure either
    ([GOOD, {"color": (1, 2, 3)}], "chart.png", KeyError, []),
    ([GOOD, {"color": ("1", 2, 3), "percentage": 1.0}], "chart.png", TypeError, []),
])
def test_when_nothing_is_saved_or_shown(plain, figures, tmp_path, monkeypatch, colors, save_path, error, shown):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) if error else contextlib.nullcontext():
        plain.visualize_colors(colors, save_path)
    assert figures == shown and os.listdir(".") == [] and bool(plt.get_fignums()) == bool(colors)


class Inert:
    """Stands in for pyplot and for the figure's axes, drawing nothing."""

    def __getattr__(self, name):
        return self

    def __call__(self, *args, **kwargs):
        return self, self  # subplots() gives (figure, axes)


@pytest.mark.parametrize("operator", "/>+")
def test_failing_arithmetic_on_a_share_stops_the_chart(plain, rebind, operator):
    # The width, the label test and the label's position each stop the chart where they fail.
    rebind("plt", Inert())
    with pytest.raises(FailingOperator):
        plain.visualize_colors([GOOD, {"color": (1, 2, 3), "percentage": Percentage(operator)}], "chart.png")


@pytest.mark.parametrize("result, message", [
    (("fig", "ax", "extra"), "too many values to unpack (expected 2)"),
    (iter(["fig", "ax", "extra"]), "too many values to unpack (expected 2)"),
    ((), "need more than 0 values to unpack"),
    (iter(["fig"]), "need more than 1 value to unpack"),
])
def test_subplots_result_must_unpack_into_two(plain, rebind, result, message):
    rebind("plt", types.SimpleNamespace(subplots=lambda *args, **kwargs: result))
    with pytest.raises(ValueError) as error:
        plain.visualize_colors([{"color": (1, 2, 3), "percentage": 10.0}])
    assert str(error.value) == message


def test_memory_flat(plain, rebind, memory_flat):
    rebind("plt", Inert())
    good = entries((ORANGE, 50.0), (BLUE, 4.0))

    def draw():
        plain.visualize_colors(good, "out.png")
        with pytest.raises(KeyError):
            plain.visualize_colors([{"color": (1, 2, 3)}])

    memory_flat(draw, repeats=20000)
