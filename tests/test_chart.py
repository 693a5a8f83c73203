"""visualize_colors: the pyplot calls it makes (through a recording stand-in bound as `plt`), its
errors, and one real save through matplotlib's Agg backend. Argument types are checked with the other
methods' in test_frame.py."""

import pytest

from lumvarde_quorle.color_extractor_cy import ColorExtractor


class Recorder:
    """Stands in for pyplot and for the axes: records (name, args, keyword items in order)."""

    def __init__(self, log, prefix="plt.", figure=None):
        self._log, self._prefix, self._figure = log, prefix, figure

    def __getattr__(self, method):
        def record(*args, **kwargs):
            self._log.append((self._prefix + method, args, list(kwargs.items())))
            if method == "subplots":
                return self._figure if self._figure is not None else ("fig", Recorder(self._log, "ax."))

        return record


@pytest.fixture
def calls(rebind):
    log = []
    rebind("plt", Recorder(log))
    return log


def bar(left, width, color):
    return ("ax.barh", (0, width), [("left", left), ("height", 0.8), ("color", color), ("edgecolor", "white"),
                                    ("linewidth", 1)])


def label(x, text):
    return ("ax.text", (x, 0, text), [("ha", "center"), ("va", "center"), ("fontweight", "bold")])


@pytest.mark.parametrize("save_path, saving", [
    ("chart.png", [("plt.savefig", ("chart.png",), [("dpi", 300), ("bbox_inches", "tight")])]), ("", []), (None, []),
])
def test_three_segments_full_sequence(plain, calls, save_path, saving):
    colors = [{"color": (255, 128, 0), "percentage": 50.0}, {"color": (0, 0, 255), "percentage": 30.0},
              {"color": (0, 255, 0), "percentage": 20.0}]
    assert plain.visualize_colors(colors, save_path) is None
    assert calls == [
        ("plt.subplots", (1, 1), [("figsize", (12, 2))]),
        bar(0, 0.5, [1.0, 0.5019607843137255, 0.0]), label(0.25, "50.0%"),
        bar(0.5, 0.3, [0.0, 0.0, 1.0]), label(0.65, "30.0%"),
        bar(0.8, 0.2, [0.0, 1.0, 0.0]), label(0.9, "20.0%"),
        ("ax.set_xlim", (0, 1), []), ("ax.set_ylim", (-0.5, 0.5), []),
        ("ax.set_xlabel", ("Color Distribution",), []), ("ax.set_title", ("Extracted Colors with Percentages",), []),
        ("ax.set_yticks", ([],), []), ("plt.tight_layout", (), []), *saving, ("plt.show", (), []),
    ]
    assert type(calls[1][2][0][1]) is int  # the first segment starts at the int 0


@pytest.mark.parametrize("percentage, expected", [
    (5.0, []), (5.1, [label(0.0255, "5.1%")]), (100.0, [label(0.5, "100.0%")]), (23.456, [label(0.11728, "23.5%")]),
])
def test_label_only_when_strictly_wider_than_a_twentieth(plain, calls, percentage, expected):
    plain.visualize_colors([{"color": [0, 0, 0], "percentage": percentage}])
    assert [call for call in calls if call[0] == "ax.text"] == expected


@pytest.mark.parametrize("figure, message", [
    (("fig", "ax", "extra"), "too many values to unpack (expected 2)"),
    (iter(["fig", "ax", "extra"]), "too many values to unpack (expected 2)"),
    ((), "need more than 0 values to unpack"),
    (iter(["fig"]), "need more than 1 value to unpack"),
])
def test_subplots_result_must_unpack_into_two(plain, rebind, figure, message):
    rebind("plt", Recorder([], figure=figure))
    with pytest.raises(ValueError) as error:
        plain.visualize_colors([{"color": (1, 2, 3), "percentage": 10.0}])
    assert str(error.value) == message


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


@pytest.mark.parametrize("entry, error", [
    ({"color": (1, 2, 3)}, KeyError), ({"color": ("1", 2, 3), "percentage": 1.0}, TypeError),
    # The width, the label test and the label's position each stop the chart where they fail.
    *[({"color": (1, 2, 3), "percentage": Percentage(operator)}, FailingOperator) for operator in "/>+"],
])
def test_bad_entry_raises_and_shows_nothing(plain, calls, entry, error):
    with pytest.raises(error):
        plain.visualize_colors([{"color": (1, 2, 3), "percentage": 1.0}, entry])
    assert calls[-1][0] == "ax.barh" and "plt.show" not in [call[0] for call in calls]


def test_real_save_at_300_dpi_leaves_figure_open(plain, tmp_path):
    import matplotlib.pyplot as plt
    from PIL import Image

    plt.close("all")
    plain.visualize_colors([{"color": (200, 30, 40), "percentage": 70.0}], str(tmp_path / "chart.png"))
    try:
        assert len(plt.get_fignums()) == 1
        plt.gcf().savefig(tmp_path / "reference.png", dpi=300, bbox_inches="tight")
        with Image.open(tmp_path / "chart.png") as saved, Image.open(tmp_path / "reference.png") as expected:
            assert saved.size == expected.size and saved.size[0] > 3000  # 12 inches wide, trimmed
            assert saved.info["dpi"] == pytest.approx((300, 300), abs=0.01)
    finally:
        plt.close("all")


def test_memory_flat(plain, calls, memory_flat):
    good = [{"color": (255, 128, 0), "percentage": 50.0}, {"color": (0, 0, 255), "percentage": 4.0}]

    def draw():
        plain.visualize_colors(good, "out.png")
        with pytest.raises(KeyError):
            plain.visualize_colors([{"color": (1, 2, 3)}])
        calls.clear()

    memory_flat(draw, repeats=20000)
