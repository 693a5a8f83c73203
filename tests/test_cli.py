"""The lumvarde-quorle command: end to end as a subprocess on real photos (exit status, streams,
worker processes), and output formats and argument handling in-process, compared with the library."""

import csv
import io
import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

from lumvarde_quorle import cli
from lumvarde_quorle.color_extractor_cy import ColorExtractor

TOOL = str(Path(sys.executable).with_name("lumvarde-quorle"))
TARGETS = {"red": (200, 30, 40), "sky": (0x87, 0xCE, 0xEB)}
TARGET_ARGS = ["--target", "red=200,30,40", "--target", "sky=#87ceeb"]


def as_json(value):
    """The library's result as JSON gives it back: tuples become lists, NumPy floats compare equal."""
    if isinstance(value, dict):
        return {key: as_json(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [as_json(item) for item in value]
    return value


def assert_same_order(parsed, library):
    """Dict key order survives: targets in the given order, entry keys in the library's order."""
    assert list(parsed) == list(library)
    for name in library:
        assert list(parsed[name]) == list(library[name])


@pytest.fixture(scope="module")
def photos(tmp_path_factory, china_bgr, flower_bgr):
    """Two real photos at a quarter size as PNG files in a folder of their own, a mask beside it."""
    root = tmp_path_factory.mktemp("cli")
    (root / "photos").mkdir()
    for name, image in (("china", china_bgr), ("flower", flower_bgr)):
        assert cv2.imwrite(str(root / "photos" / f"{name}.png"), np.ascontiguousarray(image[::4, ::4]))
    mask = np.zeros(china_bgr[::4, ::4].shape[:2], np.uint8)
    mask[30:80, 40:120] = 255
    assert cv2.imwrite(str(root / "mask.png"), mask)
    return root


@pytest.fixture(scope="module")
def batch_dir(photos):
    """The photos plus an unreadable .png and a file that is not an image."""
    folder = photos / "batch"
    folder.mkdir()
    for name in ("china.png", "flower.png"):
        (folder / name).write_bytes((photos / "photos" / name).read_bytes())
    (folder / "broken.png").write_text("not an image")
    (folder / "notes.txt").write_text("skipped")
    return folder


def run_tool(*args, command=(TOOL,), stderr_tty=False):
    """Runs the tool; with stderr_tty its stderr is a pseudo-terminal (where the progress bar shows)."""
    if not stderr_tty:
        return subprocess.run([*command, *args], capture_output=True, text=True, timeout=300)
    leader, follower = pty.openpty()
    try:
        done = subprocess.run([*command, *args], stdout=subprocess.PIPE, stderr=follower, text=True, timeout=300)
    finally:
        os.close(follower)
    chunks = []
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:  # EIO once the terminal is drained
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(leader)
    done.stderr = b"".join(chunks).decode()
    return done


@pytest.fixture(scope="module")
def serial_batch(batch_dir, photos):
    charts = photos / "charts"
    charts.mkdir()
    done = run_tool("extract", str(batch_dir), "--n-colors", "3", "--chart", str(charts / "chart.png"), stderr_tty=True)
    return done, charts


# ---------------------------------------------------------------- end to end


def test_directory_batch_keeps_going_and_reports_the_failed_image(serial_batch, batch_dir):
    done, charts = serial_batch
    broken = str(batch_dir / "broken.png")
    assert done.returncode == 1
    records = json.loads(done.stdout)  # stdout stays pure JSON while the progress bar runs on stderr
    assert [Path(record["path"]).name for record in records] == ["broken.png", "china.png", "flower.png"]
    assert records[0] == {"path": broken, "error": {"type": "ValueError", "message": f"Could not load image from {broken}"}}
    assert f"{broken}: ValueError: Could not load image from {broken}" in done.stderr
    assert "3/3" in done.stderr and "1 of 3 images failed" in done.stderr
    assert "WARN" not in done.stderr  # OpenCV's own read warning would break the progress line

    extractor = ColorExtractor(3)
    for record in records[1:]:
        assert record["colors"] == as_json(extractor.extract_colors(record["path"]))
        chart = charts / f"chart-{Path(record['path']).stem}.png"
        assert record["chart"] == str(chart)
        height, width = cv2.imread(str(chart)).shape[:2]
        assert width > 3 * height  # the wide single-bar chart, saved at 300 dpi
    assert sorted(path.name for path in charts.iterdir()) == ["chart-china.png", "chart-flower.png"]


def test_worker_processes_give_the_serial_results(serial_batch, batch_dir):
    parallel = run_tool("extract", str(batch_dir), "--n-colors", "3", "--jobs", "2", "--format", "jsonl")
    assert parallel.returncode == 1
    serial = json.loads(serial_batch[0].stdout)
    for record in serial:
        record.pop("chart", None)
    assert [json.loads(line) for line in parallel.stdout.splitlines()] == serial


def test_similarity_as_python_module_matches_library(photos):
    image, mask = str(photos / "photos" / "china.png"), str(photos / "mask.png")
    done = run_tool(
        "similarity", image, *TARGET_ARGS, "--n-colors", "4", "--rgb", "--threshold", "40", "--mask", mask,
        command=(sys.executable, "-P", "-m", "lumvarde_quorle"),
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # one image: no progress bar
    library = ColorExtractor(4, "kmeans", True, False).analyze_color_similarity(image, TARGETS, mask, 40.0)
    [record] = json.loads(done.stdout)
    assert record == {"path": image, "targets": as_json(library)}
    assert_same_order(record["targets"], library)


def test_matches_with_mask_path_matches_library(photos):
    image, mask = str(photos / "photos" / "flower.png"), str(photos / "mask.png")
    done = run_tool("matches", image, *TARGET_ARGS, "--no-preprocessing", "--mask", mask, "--format", "json")
    assert done.returncode == 0, done.stderr
    library = ColorExtractor(preprocessing=False).find_color_matches(image, TARGETS, mask)
    [record] = json.loads(done.stdout)
    assert record == {"path": image, "targets": as_json(library)}
    assert_same_order(record["targets"], library)
    assert "np.float64" not in done.stdout


def test_bad_usage_exits_with_status_2():
    done = run_tool("similarity", "photo.png", "--target", "red=1,2")
    assert done.returncode == 2
    assert "argument --target: 'red=1,2'" in done.stderr and done.stdout == ""


# ---------------------------------------------------------------- in-process


def call(capsys, monkeypatch, *argv):
    monkeypatch.setenv("MPLBACKEND", "Agg")  # main sets it; restored after the test
    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def library_result(command, image, mask):
    if command == "extract":
        return ColorExtractor(3).extract_colors(image, mask)
    if command == "similarity":
        return ColorExtractor(3).analyze_color_similarity(image, TARGETS, mask)
    return ColorExtractor().find_color_matches(image, TARGETS, mask)


def options(command):
    return ["--n-colors", "3"] if command != "matches" else []


def decode_csv_row(command, row):
    """Turns one CSV row back into the library's value for that colour or target."""
    numbers = {"percentage", "similarity", "distance", "total_percentage", "close_percentage",
               "very_close_percentage", "min_distance", "similarity_score"}
    if command == "extract":
        assert row["hex"] == "#{:02x}{:02x}{:02x}".format(int(row["r"]), int(row["g"]), int(row["b"]))
        return {"color": (int(row["r"]), int(row["g"]), int(row["b"])), "percentage": float(row["percentage"])}
    closest = (int(row["closest_r"]), int(row["closest_g"]), int(row["closest_b"]))
    entry = {}
    for key, text in row.items():
        if key in numbers and text != "":
            entry[key] = float(text)
        elif key == "found_directly":
            entry[key] = {"true": True, "false": False}[text]
    entry["closest_color" if command == "similarity" else "closest_pixel"] = closest
    return entry


@pytest.mark.parametrize("command", ["extract", "similarity", "matches"])
def test_csv_rows_carry_the_library_values(capsys, monkeypatch, photos, command):
    image, mask = str(photos / "photos" / "china.png"), str(photos / "mask.png")
    targets = TARGET_ARGS if command != "extract" else []
    status, out, _ = call(capsys, monkeypatch, command, image, *targets, *options(command), "--mask", mask, "--format", "csv")
    assert status == 0
    rows = list(csv.DictReader(io.StringIO(out)))
    assert all(row["path"] == image and row["error"] == "" for row in rows)
    library = library_result(command, image, mask)
    if command == "extract":
        assert [int(row["rank"]) for row in rows] == list(range(1, len(library) + 1))
        assert [decode_csv_row(command, row) for row in rows] == library
    else:
        assert {row["target"]: decode_csv_row(command, row) for row in rows} == library


@pytest.mark.parametrize("command", ["extract", "similarity", "matches"])
@pytest.mark.parametrize("colour", ["always", "never"])
def test_table_lists_every_colour_or_target_with_optional_swatches(capsys, monkeypatch, photos, command, colour):
    image, mask = str(photos / "photos" / "china.png"), str(photos / "mask.png")
    targets = TARGET_ARGS if command != "extract" else []
    status, out, _ = call(
        capsys, monkeypatch, command, image, *targets, *options(command), "--mask", mask, "--format", "table", "--color", colour
    )
    assert status == 0
    lines = out.splitlines()
    assert lines[0] == image
    library = library_result(command, image, mask)
    if command == "extract":
        shown = [(info["color"], f"{info['percentage']:.2f}%") for info in library]
    else:
        key = "closest_color" if command == "similarity" else "closest_pixel"
        shown = [(entry[key], name) for name, entry in library.items()]
    assert len(lines) == 2 + len(shown)
    for line, (rgb, text) in zip(lines[2:], shown):
        assert text in line and "#{:02x}{:02x}{:02x}".format(*rgb) in line
        swatch = "\x1b[48;2;{};{};{}m".format(*rgb)
        assert (swatch in line) == (colour == "always")
    if colour == "never":
        assert "\x1b" not in out


def test_jsonl_has_one_record_per_image_and_empty_results(capsys, monkeypatch, photos, tmp_path):
    black_mask = tmp_path / "black.png"
    assert cv2.imwrite(str(black_mask), np.zeros((107, 160), np.uint8))
    image = str(photos / "photos" / "china.png")
    status, out, _ = call(capsys, monkeypatch, "similarity", image, image, *TARGET_ARGS, "--mask", black_mask, "--format", "jsonl")
    assert status == 0
    assert [json.loads(line) for line in out.splitlines()] == [{"path": image, "targets": {}}] * 2


@pytest.mark.parametrize(
    "text, expected",
    [
        ("red=255,0,0", ("red", (255, 0, 0))),
        ("sky=#87CEEB", ("sky", (135, 206, 235))),
        ("dark grey= 10, 20 ,30", ("dark grey", (10, 20, 30))),
        ("a=b=0,0,0", ("a=b", (0, 0, 0))),
    ],
)
def test_target_parsing(text, expected):
    assert cli.parse_target(text) == expected


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--target", "red"], "expected NAME=R,G,B or NAME=#rrggbb"),
        (["--target", "=1,2,3"], "expected NAME=R,G,B or NAME=#rrggbb"),
        (["--target", "red=1,2"], "three integers"),
        (["--target", "red=1,2,3,4"], "three integers"),
        (["--target", "red=1.5,2,3"], "three integers"),
        (["--target", "red=-1,2,3"], "three integers"),
        (["--target", "red=256,0,0"], "0..255"),
        (["--target", "red=#12345"], "#rrggbb"),
        (["--target", "red=#gg0000"], "#rrggbb"),
        (["--target", "a=1,2,3", "--target", "a=#ffffff"], "name given more than once: a"),
        ([], "the following arguments are required: --target"),
        (["--target", "a=1,2,3", "--threshold", "nan"], "expected a finite number"),
        (["--target", "a=1,2,3", "--n-colors", "0"], "expected a whole number"),
        (["--target", "a=1,2,3", "--mask", "no-such-mask.png"], "no such file"),
    ],
)
def test_bad_arguments_are_usage_errors(capsys, argv, message):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["similarity", "photo.png", *argv])
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err


def test_images_expand_from_directories_and_patterns(tmp_path):
    for name in ("b.png", "a.JPG", "notes.txt", "sub/d.png"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    folder = str(tmp_path)
    assert cli.expand_images([folder, f"{folder}/**/*.png", "missing.png"]) == [
        f"{folder}/a.JPG", f"{folder}/b.png", f"{folder}/b.png", f"{folder}/sub/d.png", "missing.png",
    ]
    for empty in (f"{folder}/sub/*.jpg", f"{folder}/sub/empty"):
        os.makedirs(f"{folder}/sub/empty", exist_ok=True)
        with pytest.raises(ValueError, match="no image files"):
            cli.expand_images([empty])


@pytest.mark.parametrize(
    "template, images, expected",
    [
        ("out/c.png", ["x/a.jpg"], ["out/c.png"]),
        ("out/c.png", ["x/a.jpg", "y/b.png"], ["out/c-a.png", "out/c-b.png"]),
        ("c.svg", ["x/a.jpg", "y/a.png", "z/a.bmp"], ["c-a.svg", "c-a-2.svg", "c-a-3.svg"]),
    ],
)
def test_one_chart_file_per_image(template, images, expected):
    assert cli.chart_paths(template, images) == expected


class _Stream(io.StringIO):
    def __init__(self, tty):
        super().__init__()
        self.tty = tty

    def isatty(self):
        return self.tty


@pytest.mark.parametrize(
    "choice, environ, tty, expected",
    [
        ("auto", {}, True, True),
        ("auto", {}, False, False),
        ("auto", {"NO_COLOR": "1"}, True, False),
        ("auto", {"NO_COLOR": ""}, True, True),
        ("auto", {"TERM": "dumb"}, True, False),
        ("always", {"NO_COLOR": "1"}, False, True),
        ("never", {}, True, False),
    ],
)
def test_colour_follows_terminal_and_no_color(choice, environ, tty, expected):
    assert cli.use_colour(choice, _Stream(tty), environ) is expected
