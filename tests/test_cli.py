"""The lumvarde-quorle command: end to end as a subprocess on real photos (exit status, streams,
worker processes), output formats and argument handling in-process, compared with the library."""

import base64
import contextlib
import csv
import io
import json
import os
import pty
import re
import signal
import subprocess
import sys
import time
from pathlib import Path
from unittest import mock

import cv2
import numpy as np
import pytest

from lumvarde_quorle import cli
from lumvarde_quorle.cli.analyse import chart_paths
from lumvarde_quorle.cli.common import expand_images, preview, settings_from
from lumvarde_quorle.cli.files import failure_text
from lumvarde_quorle.cli.terminal import held_interrupt, shown
from lumvarde_quorle.color_extractor_cy import ColorExtractor
from lumvarde_quorle.images import unreadable_cause
from lumvarde_quorle.names import css_name
from lumvarde_quorle.settings import ExtractorSettings

TOOL = str(Path(sys.executable).with_name("lumvarde-quorle"))
TARGETS = {"red": (200, 30, 40), "sky": (0x87, 0xCE, 0xEB)}
TARGET_ARGS = ["--target", "red=200,30,40", "--target", "sky=#87ceeb"]


def as_json(value):
    """The library's result as JSON gives it back (tuples as lists); asserts keep dict order too."""
    if isinstance(value, dict):
        return {key: as_json(item) for key, item in value.items()}
    return [as_json(item) for item in value] if isinstance(value, (list, tuple)) else value


def unnamed(entries):
    """The tool's entries without the CSS name it adds to each, after checking that the name is that
    of the entry's colour (the closest colour or pixel for a target, not the target itself)."""
    listed = entries if isinstance(entries, list) else list(entries.values())
    for entry in listed:
        rgb = next(entry[key] for key in ("color", "closest_color", "closest_pixel") if key in entry)
        assert entry["name"] == css_name(tuple(rgb))
    strip = lambda entry: {key: value for key, value in entry.items() if key != "name"}  # noqa: E731
    if isinstance(entries, list):
        return [strip(entry) for entry in entries]
    return {key: strip(entry) for key, entry in entries.items()}


def same_with_order(parsed, library):
    parsed = unnamed(parsed)
    return parsed == as_json(library) and json.dumps(parsed) == json.dumps(as_json(library))


@pytest.fixture(scope="module")
def photos(tmp_path_factory, china_bgr, flower_bgr):
    """photos/: two real photos at a quarter size; batch/: the same plus an unreadable .png and a
    text file; mask.png beside them."""
    root = tmp_path_factory.mktemp("cli")
    for folder in ("photos", "batch"):
        (root / folder).mkdir()
        for name, image in (("china", china_bgr), ("flower", flower_bgr)):
            assert cv2.imwrite(str(root / folder / f"{name}.png"), np.ascontiguousarray(image[::4, ::4]))
    (root / "batch" / "broken.png").write_text("not an image")
    (root / "batch" / "notes.txt").write_text("skipped")
    mask = np.zeros((107, 160), np.uint8)
    mask[30:80, 40:120] = 255
    assert cv2.imwrite(str(root / "mask.png"), mask)
    return root


def run_tool(*args, command=(TOOL,), stderr_tty=False):
    """Runs the tool; with stderr_tty its stderr is a pseudo-terminal (where the progress bar shows)."""
    if not stderr_tty:
        return subprocess.run([*command, *args], capture_output=True, text=True, timeout=300)
    leader, follower = pty.openpty()
    with os.fdopen(leader, "rb", buffering=0) as terminal:
        try:
            done = subprocess.run([*command, *args], stdout=subprocess.PIPE, stderr=follower, text=True, timeout=300)
        finally:
            os.close(follower)
        chunks = []
        while True:
            try:
                chunks.append(terminal.read(4096) or b"")
            except OSError:  # EIO once the terminal is drained
                break
            if not chunks[-1]:
                break
    done.stderr = b"".join(chunks).decode()
    return done


@pytest.fixture(scope="module")
def serial_batch(photos):
    args = ["extract", str(photos / "batch"), "--n-colors", "3", "--chart", str(photos / "charts" / "chart.png")]
    (photos / "charts").mkdir()
    return run_tool(*args, stderr_tty=True)


def test_directory_batch_keeps_going_and_reports_the_failed_image(serial_batch, photos):
    broken = str(photos / "batch" / "broken.png")
    assert serial_batch.returncode == 1
    records = json.loads(serial_batch.stdout)  # stdout stays pure JSON while the progress bar runs
    assert [Path(record["path"]).name for record in records] == ["broken.png", "china.png", "flower.png"]
    message = f"Could not load image from {broken}: not an image OpenCV can read (the file starts with b'not an image')"
    assert records[0] == {"path": broken, "error": {"type": "ValueError", "message": message}}
    assert f"{broken}: ValueError: {message}\r\n" in serial_batch.stderr  # the terminal's line end
    assert "3/3" in serial_batch.stderr and "1 of 3 images failed" in serial_batch.stderr
    assert "WARN" not in serial_batch.stderr  # OpenCV's own read warning would break the progress line
    for record in records[1:]:
        assert unnamed(record["colors"]) == as_json(ColorExtractor(3).extract_colors(record["path"]))
        assert record["chart"] == str(photos / "charts" / f"chart-{Path(record['path']).stem}.png")
        height, width = cv2.imread(record["chart"]).shape[:2]
        assert width > 3 * height  # the wide single-bar chart
    assert len(os.listdir(photos / "charts")) == 2


def test_worker_processes_give_the_serial_results(serial_batch, photos):
    """The library's own K-means in two worker processes: the same records as the native one in this one."""
    parallel = run_tool("extract", str(photos / "batch"), "--n-colors", "3", "--jobs", "2", "--format", "jsonl",
                        "--library-kmeans")
    assert parallel.returncode == 1
    serial = [
        {key: value for key, value in record.items() if key != "chart"} for record in json.loads(serial_batch.stdout)
    ]
    assert [json.loads(line) for line in parallel.stdout.splitlines()] == serial


def test_similarity_as_python_module_matches_library(photos):
    image, mask = str(photos / "photos" / "china.png"), str(photos / "mask.png")
    done = run_tool(
        "similarity", image, *TARGET_ARGS, "--n-colors", "4", "--rgb", "--threshold", "40", "--mask", mask,
        command=(sys.executable, "-P", "-m", "lumvarde_quorle"),
    )
    assert (done.returncode, done.stderr) == (0, "")  # one image: no progress bar
    [record] = json.loads(done.stdout)
    library = ColorExtractor(4, "kmeans", True, False).analyze_color_similarity(image, TARGETS, mask, 40.0)
    assert record["path"] == image and same_with_order(record["targets"], library)


def test_matches_with_mask_path_matches_library(photos):
    image, mask = str(photos / "photos" / "flower.png"), str(photos / "mask.png")
    done = run_tool("matches", image, *TARGET_ARGS, "--no-preprocessing", "--mask", mask, "--format", "json")
    assert done.returncode == 0, done.stderr
    [record] = json.loads(done.stdout)
    library = ColorExtractor(preprocessing=False).find_color_matches(image, TARGETS, mask)
    assert record["path"] == image and same_with_order(record["targets"], library)


def test_bad_usage_exits_with_status_2():
    done = run_tool("similarity", "photo.png", "--target", "red=1,2")
    assert done.returncode == 2 and done.stdout == ""
    assert "argument --target: 'red=1,2'" in done.stderr


@pytest.mark.parametrize("where", ["mask", "image"])
def test_file_names_that_are_not_utf8_are_unreadable_files_in_a_report(photos, tmp_path, where):
    # OpenCV crashes on a name without a UTF-8 form; the report's thumbnails read files too.
    strange = tmp_path / "no utf-8 \udcff.png"
    china, mask = photos / "photos" / "china.png", photos / "mask.png"
    strange.write_bytes((mask if where == "mask" else china).read_bytes())
    image, mask = (str(china), str(strange)) if where == "mask" else (str(strange), str(mask))
    command = [TOOL, "extract", image, "--mask", mask, "--format", "html"]
    done = subprocess.run(command, capture_output=True, timeout=300)
    stdout, stderr = (stream.decode(errors="surrogateescape") for stream in (done.stdout, done.stderr))
    assert done.returncode == 1, stderr
    failed = "mask" if where == "mask" else "image"
    assert f"ValueError: Could not load {failed} from " in stderr and "</html>" in stdout


# ---------------------------------------------------------------- in-process


def in_process(capsys, *argv):
    with mock.patch.dict(os.environ):  # main sets MPLBACKEND for its workers
        status = cli.main([str(arg) for arg in argv])
    assert status == 0
    return capsys.readouterr().out


def decode_csv_row(command, row):
    """A CSV row back as the library's dict for that colour or target."""
    values = {key: text for key, text in row.items() if key not in ("path", "rank", "target", "hex", "name", "error")}
    prefix, rgb_key = {"extract": ("", "color"), "target-shares": ("closest_", "closest_color"),
                       "matches": ("closest_", "closest_pixel")}[command]
    rgb = tuple(int(values.pop(prefix + channel)) for channel in "rgb")
    assert row["name"] == css_name(rgb)
    entry = {
        key: {"true": True, "false": False}[text] if key == "found_directly" else float(text)
        for key, text in values.items()
    }
    return {**entry, rgb_key: rgb}


@pytest.mark.parametrize("command", ["extract", "target-shares", "matches"])
def test_csv_and_table_show_the_library_values(capsys, photos, command):
    image, mask = str(photos / "photos" / "china.png"), str(photos / "mask.png")
    options = {"extract": ["--n-colors", "3"], "target-shares": ["--n-colors", "3", *TARGET_ARGS],
               "matches": TARGET_ARGS}
    args = [command, image, "--mask", mask, *options[command]]
    extractor = ColorExtractor(3)
    if command == "extract":
        library = extractor.extract_colors(image, mask)
        shown = [(info["color"], f"{info['percentage']:.2f}%") for info in library]
    else:
        operation = extractor.analyze_color_similarity if command == "target-shares" else extractor.find_color_matches
        library = operation(image, TARGETS, mask)
        shown = [(entry.get("closest_color", entry.get("closest_pixel")), name) for name, entry in library.items()]

    rows = list(csv.DictReader(io.StringIO(in_process(capsys, *args, "--format", "csv"))))
    assert all(row["path"] == image and row["error"] == "" for row in rows)
    decoded = [decode_csv_row(command, row) for row in rows]
    assert decoded == (library if command == "extract" else list(library.values()))

    # --color is the former spelling of --swatches, kept for scripts
    for option, colour in (("--swatches", "always"), ("--swatches", "never"), ("--color", "always")):
        lines = in_process(capsys, *args, "--format", "table", option, colour).splitlines()
        assert lines[0] == image and len(lines) == 2 + len(shown)
        for line, (rgb, text) in zip(lines[2:], shown):
            assert text in line and "#{:02x}{:02x}{:02x}".format(*rgb) in line
            assert ("\x1b[48;2;{};{};{}m".format(*rgb) in line) == (colour == "always")


def test_former_names_run_the_renamed_commands_unlisted(capsys, photos):
    argv = [photos / "photos" / "china.png", "--n-colors", "2", *TARGET_ARGS, "--format", "jsonl"]
    assert in_process(capsys, "similarity", *argv) == in_process(capsys, "target-shares", *argv)
    listing = cli.build_parser().format_help()
    assert "target-shares" in listing and "similarity" not in listing
    extract = cli.build_parser().parse_args(["extract", "a.png"]).command_parser.format_help()
    assert "--swatches" in extract and "--color" not in extract
    target = cli.build_parser().parse_args(["similarity", "a.png", "--target", "a=red"])
    assert target.command == "target-shares" and target.targets == [("a", (255, 0, 0))]
    assert "CSS colour name" in target.command_parser.format_help()


def test_jsonl_record_per_image_with_empty_results(capsys, photos, tmp_path):
    assert cv2.imwrite(str(tmp_path / "black.png"), np.zeros((107, 160), np.uint8))
    image = str(photos / "photos" / "china.png")
    mask = tmp_path / "black.png"
    out = in_process(capsys, "similarity", image, image, *TARGET_ARGS, "--mask", mask, "--format", "jsonl")
    assert [json.loads(line) for line in out.splitlines()] == [{"path": image, "targets": {}}] * 2


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--target", "red"], "expected NAME=#rrggbb, NAME=R,G,B or NAME=<CSS colour name>"),
        (["--target", "=#ffffff"], "expected NAME=#rrggbb, NAME=R,G,B or NAME=<CSS colour name>"),
        (["--target", "red=1,2"], "three integers"),
        (["--target", "red=1.5,2,3"], "three integers"),
        (["--target", "red=256,0,0"], "0..255"),
        (["--target", "red=#12345"], "#rrggbb"),
        (["--target", "a=1,2,3", "--target", "a=#ffffff"], "name given more than once: a"),
        ([], "the following arguments are required: --target"),
        (["--target", "a=1,2,3", "--n-colors", "0"], "expected a whole number"),
        (["--target", "a=1,2,3", "--mask", "no-such-mask.png"], "no such file"),
        (["--target", "a=1,2,3", "--output", "no/such/folder/out.csv"], "argument --output: No such file or directory"),
        (["--target", "a=1,2,3", "--output", "out.xlsx"], "no format is written to '.xlsx' files"),
        (["--target", "a=1,2,3", "--timeout", "-1"], "expected a number of seconds, or 0 for no limit"),
        (["--target", "a=1,2,3", "--timeout", "inf"], "expected a finite number"),
        (["--target", "a=1,2,3", "--threshold", "-5"], "expected a distance of 0 or more"),
        (["--target", "a=1,2,3", "--dask", "tcp://x:1", "--timeout", "5"], "--jobs and --timeout do not apply"),
    ],
)
def test_bad_arguments_are_usage_errors(capsys, argv, message):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(["similarity", "photo.png", *argv])
    assert exit_info.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize("name, fmt, read", [
    ("report.html", "html", lambda text: text.startswith("<!DOCTYPE html>") and "china.png</h2>" in text),
    ("rows.csv", "csv", lambda text: list(csv.DictReader(io.StringIO(text)))[0]["rank"] == "1"),
    ("colours.json", "json", lambda text: len(json.loads(text)[0]["colors"]) == 2),
    ("colours.txt", "table",
     lambda text: text.splitlines()[1].split() == ["#", "hex", "name", "R,", "G,", "B", "share"]),
])
def test_output_file_takes_its_format_from_its_suffix(capsys, photos, tmp_path, name, fmt, read):
    image = photos / "photos" / "china.png"
    for given in ([], ["--format", fmt]):
        assert in_process(capsys, "extract", image, "--n-colors", "2", "--output", tmp_path / name, *given) == ""
        assert read((tmp_path / name).read_text())


NOT_UTF8 = os.fsdecode(b"caf\xe9.png")


@pytest.mark.parametrize("name, read", [
    ("out.json", lambda text: json.loads(text)[0]["path"]),
    ("out.jsonl", lambda text: json.loads(text)["path"]),
    ("out.csv", lambda text: next(csv.DictReader(io.StringIO(text)))["path"]),
    ("out.html", lambda text: re.search(r"<code>(.*?)</code>: ", text)[1] if text.endswith("</html>\n") else None),
    (None, lambda text: json.loads(text)[0]["path"]),  # stdout
])
def test_names_that_are_not_utf8_are_written_escaped(capsys, tmp_path, name, read):
    (tmp_path / NOT_UTF8).write_bytes(b"")  # fails to load: its record is written all the same
    output = ["--output", tmp_path / name] if name else ["--format", "json"]
    with mock.patch.dict(os.environ):
        assert cli.main([str(arg) for arg in ["extract", tmp_path / NOT_UTF8, *output]]) == 1
    out, err = capsys.readouterr()
    assert read((tmp_path / name).read_text() if name else out) == str(tmp_path / "caf\\xe9.png")
    assert f"{tmp_path}/caf\\xe9.png: ValueError: Could not load image" in err


def test_an_output_file_is_replaced_whole_or_not_at_all(capsys, photos, tmp_path):
    output, link = tmp_path / "out.json", tmp_path / "link.json"
    output.write_text("earlier results")
    output.chmod(0o640)
    link.symlink_to(output.name)
    argv = ["extract", photos / "photos" / "china.png", photos / "photos" / "flower.png", "--n-colors", "2"]
    written = []

    def fail_second(self, record):  # a disk that fills after the first record
        written.append(record)
        if len(written) == 2:
            raise OSError(28, "No space left on device")
        self.out.write("{}")

    with mock.patch("lumvarde_quorle.cli.writers.JsonWriter.write", fail_second), pytest.raises(OSError):
        cli.main([str(arg) for arg in [*argv, "--output", link]])
    assert output.read_text() == "earlier results" and sorted(os.listdir(tmp_path)) == ["link.json", "out.json"]
    assert in_process(capsys, *argv, "--output", link) == ""
    assert len(json.loads(output.read_text())) == 2 and link.is_symlink()  # the file the link names is replaced
    assert output.stat().st_mode & 0o777 == 0o640 and sorted(os.listdir(tmp_path)) == ["link.json", "out.json"]


@pytest.mark.parametrize("redirect", [False, True])
def test_an_output_naming_stdout_is_written_to_it(photos, tmp_path, redirect):
    # /dev/stdout names the pipe or file the reader holds: replacing the name would miss it
    held = tmp_path / "held.json"
    held.write_text("earlier\n")
    with open(held, "a") if redirect else contextlib.nullcontext(subprocess.PIPE) as stdout:  # as >> does
        done = subprocess.run(
            [TOOL, "extract", photos / "photos" / "china.png", "--n-colors", "2", "--output", "/dev/stdout"],
            stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=300,
        )
    assert done.returncode == 0, done.stderr
    earlier, written = held.read_text().split("\n", 1) if redirect else ("earlier", done.stdout)
    assert earlier == "earlier" and len(json.loads(written)[0]["colors"]) == 2


@pytest.mark.parametrize("text, expected", [
    ("plain é ü.png", "plain é ü.png"),
    ("a\x1b[2J\x1b]0;title\x07.png", "a\\x1b[2J\\x1b]0;title\\x07.png"),
    ("line\nbreak\ttab\r", "line\\nbreak\\ttab\\r"),
    ("c1 \x9b csi, del \x7f", "c1 \\x9b csi, del \\x7f"),
    (NOT_UTF8, "caf\\xe9.png"),
])
def test_names_are_shown_with_control_characters_escaped(text, expected):
    assert shown(text) == expected


@pytest.mark.parametrize("loads", [True, False])
def test_terminal_escapes_in_file_names_do_not_reach_the_terminal(capsys, photos, tmp_path, loads):
    image = tmp_path / "a\x1b]0;owned\x07\x1b[2J.png"
    image.write_bytes((photos / "photos" / "china.png").read_bytes() if loads else b"not an image")
    with mock.patch.dict(os.environ):
        status = cli.main(["extract", str(image), "--n-colors", "2", "--format", "table", "--swatches", "never"])
    out, err = capsys.readouterr()
    assert status == (0 if loads else 1)
    assert "\x1b" not in out + err and "\x07" not in out + err
    assert "a\\x1b]0;owned\\x07\\x1b[2J.png" in (out if loads else err)


def test_images_expand_from_directories_and_patterns(tmp_path):
    (tmp_path / "sub" / "empty").mkdir(parents=True)
    for name in ("b.png", "a.JPG", "notes.txt", "sub/d.png"):
        (tmp_path / name).write_bytes(b"")
    folder = str(tmp_path)
    assert expand_images([folder, f"{folder}/**/*.png", "missing.png"]) == [
        f"{folder}/a.JPG", f"{folder}/b.png", f"{folder}/b.png", f"{folder}/sub/d.png", "missing.png",
    ]
    for empty in (f"{folder}/sub/*.jpg", f"{folder}/sub/empty"):
        with pytest.raises(ValueError, match="no image files"):
            expand_images([empty])


def test_one_chart_file_per_image():
    assert chart_paths("out/c.png", ["x/a.jpg", "y/b.png"]) == ["out/c-a.png", "out/c-b.png"]
    assert chart_paths("c.svg", ["x/a.jpg", "y/a.png", "z/a.bmp"]) == ["c-a.svg", "c-a-2.svg", "c-a-3.svg"]


@pytest.mark.parametrize("argv, expected", [
    (["extract", "a.png"], ExtractorSettings()),
    (["extract", "a.png", "--n-colors", "3", "--algorithm", "dbscan", "--rgb", "--no-preprocessing",
      "--library-kmeans"], ExtractorSettings(3, "dbscan", False, False, library_kmeans=True)),
    (["target-shares", "a.png", "--target", "a=1,2,3", "--fast", "--n-colors", "4"], ExtractorSettings(4)),
    # matches has no clustering options: the extractor's defaults
    (["matches", "a.png", "--target", "a=1,2,3", "--rgb"], ExtractorSettings(lab_space=False)),
    (["index", "a.png", "--db", "c.db", "--n-colors", "7", "--library-kmeans"],
     ExtractorSettings(7, library_kmeans=True)),
    # a query's options default to None: the extractor's defaults for those not given
    (["search", "--db", "c.db", "--color", "red", "--algorithm", "dbscan"], ExtractorSettings(algorithm="dbscan")),
    (["similar", "--db", "c.db", "a.png", "--n-colors", "2", "--no-preprocessing"],
     ExtractorSettings(2, preprocessing=False)),
])
def test_settings_from_the_options(argv, expected):
    assert settings_from(cli.build_parser().parse_args(argv)) == expected


def decoded(uri):
    mime, data = uri.split(",", 1)
    return mime, cv2.imdecode(np.frombuffer(base64.b64decode(data), np.uint8), cv2.IMREAD_UNCHANGED)


@pytest.mark.parametrize("mask, cut_out, transparent", [
    (None, False, None), ("mask.png", False, (5, 5)), ("alpha", True, (0, 0)), ("gone.png", False, None),
    ("auto", True, (0, 0)), ("auto", False, None), (None, True, None),
])
def test_report_thumbnail_shows_what_the_analysis_saw(photos, cut_outs, mask, cut_out, transparent):
    image = str((cut_outs / "product.png") if cut_out else (photos / "photos" / "china.png"))
    mime, thumbnail = decoded(preview(mask if mask in (None, "alpha", "auto") else str(photos / mask))(image))
    if transparent is None:  # no mask, or a mask file gone since (a catalogue's): the whole image
        assert mime == "data:image/jpeg;base64" and thumbnail.shape[2] == 3
    else:
        assert mime == "data:image/png;base64" and thumbnail[transparent][3] == 0
        assert thumbnail[thumbnail.shape[0] // 2, thumbnail.shape[1] // 2][3] == 255


# ---------------------------------------------------------------- transparent images

PRODUCT_BLUE = (30, 60, 200)


@pytest.fixture(scope="module")
def cut_outs(tmp_path_factory, flower_bgr):
    """product.png: a blue ellipse, opaque, on a bright red background that is fully transparent.
    flower.png: the real photo with a transparent red surround outside a circle. Both R, G, B, A."""
    root = tmp_path_factory.mktemp("cut-outs")
    alpha = np.zeros((120, 160), np.uint8)
    cv2.ellipse(alpha, (80, 60), (50, 35), 0, 0, 360, 255, -1)
    product = np.dstack([np.full((120, 160, 3), (0, 0, 255), np.uint8), alpha])  # B, G, R, A
    product[alpha > 0, :3] = PRODUCT_BLUE[::-1]
    assert cv2.imwrite(str(root / "product.png"), product)
    flower = np.array(flower_bgr[::2, ::2])
    ring = np.zeros(flower.shape[:2], np.uint8)
    cv2.circle(ring, (160, 107), 90, 255, -1)
    flower[ring == 0] = (0, 0, 255)
    assert cv2.imwrite(str(root / "flower.png"), np.dstack([flower, ring]))
    return root


def reddish(rgb):
    return rgb[0] > 150 and rgb[1] < 80 and rgb[2] < 80


@pytest.mark.parametrize("command", ["extract", "target-shares", "matches"])
def test_alpha_mask_leaves_the_transparent_background_out(capsys, cut_outs, command):
    product = cut_outs / "product.png"
    targets = ["--target", "red=255,0,0", "--target", "blue=30,60,200"]
    options = {"extract": ["--n-colors", "2"], "target-shares": ["--n-colors", "2", *targets], "matches": targets}
    options = options[command]

    def run(*more):
        out = in_process(capsys, command, product, product, *options, "--format", "jsonl", *more)
        return [json.loads(line) for line in out.splitlines()]

    # Masked on two worker processes: the alpha-reading operation travels to them by pickling. The alpha
    # channel counts by default; --mask none counts every pixel.
    runs = ((True, run("--mask", "alpha", "--jobs", "2")), (True, run("--jobs", "2")), (False, run("--mask", "none")))
    for masked, records in runs:
        assert len(records) == 2 and records[0] == records[1]
        if command == "extract":
            colors = [tuple(info["color"]) for info in records[0]["colors"]]
            assert all(not reddish(rgb) and rgb[2] > 150 for rgb in colors) if masked else any(map(reddish, colors))
        else:
            red, blue = records[0]["targets"]["red"], records[0]["targets"]["blue"]
            share = "percentage" if command == "target-shares" else "total_percentage"
            assert (red[share] == 0) == masked and blue[share] > 0


@pytest.mark.parametrize("mask", [["--mask", "alpha"], []])
def test_alpha_mask_on_a_real_cut_out_is_the_library_with_the_alpha_as_mask(capsys, photos, cut_outs, mask):
    path = cut_outs / "flower.png"
    rgba = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
    [record] = json.loads(in_process(capsys, "extract", path, *mask, "--format", "json"))
    library = ColorExtractor().extract_colors(np.ascontiguousarray(rgba[:, :, :3]), np.ascontiguousarray(rgba[:, :, 3]))
    assert same_with_order(record["colors"], library)
    assert not any(reddish(info["color"]) for info in library)


@pytest.mark.parametrize("name, write", [
    ("opaque.png", lambda image: image), ("grey.png", lambda image: cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)),
    ("deep.png", lambda image: image.astype(np.uint16) * 257), ("photo.jpg", lambda image: image),
])
def test_images_without_alpha_are_analysed_as_before_by_default(capsys, tmp_path, china_bgr, name, write):
    path = tmp_path / name
    assert cv2.imwrite(str(path), write(np.ascontiguousarray(china_bgr[::4, ::4])))
    [record] = json.loads(in_process(capsys, "extract", path, "--n-colors", "3", "--format", "json"))
    assert same_with_order(record["colors"], ColorExtractor(3).extract_colors(str(path)))


def test_alpha_mask_on_an_image_without_alpha_fails_that_image_only(photos, cut_outs):
    opaque = str(photos / "photos" / "china.png")
    done = run_tool("extract", opaque, str(cut_outs / "product.png"), "--mask", "alpha", "--n-colors", "2")
    assert done.returncode == 1
    failed, ok = json.loads(done.stdout)
    message = f"no alpha channel in {opaque} (it has 3 channels)"
    assert failed == {"path": opaque, "error": {"type": "ValueError", "message": message}}
    assert ok["colors"] and "1 of 2 images failed" in done.stderr


def test_a_mask_file_named_alpha_is_given_as_a_path(capsys, photos, monkeypatch):
    monkeypatch.chdir(photos)
    (photos / "alpha").write_bytes((photos / "mask.png").read_bytes())
    image = str(photos / "photos" / "china.png")
    [record] = json.loads(in_process(capsys, "extract", image, "--mask", "./alpha", "--n-colors", "3"))
    assert same_with_order(record["colors"], ColorExtractor(3).extract_colors(image, "mask.png"))


# ---------------------------------------------------------------- failures that say why


@pytest.mark.parametrize("name, make, cause", [
    ("missing.jpg", None, "no such file"),
    ("folder.jpg", lambda path: path.mkdir(), "is a directory"),
    ("dangling.jpg", lambda path: path.symlink_to(path.with_name("gone.jpg")), "a symbolic link to a missing file"),
    ("pipe.jpg", os.mkfifo, "not a regular file (a named pipe)"),
    ("empty.jpg", lambda path: path.write_bytes(b""), "an empty file"),
    ("notes.jpg", lambda path: path.write_text("hello, world: not a photo"),
     "not an image OpenCV can read (the file starts with b'hello, world: no')"),
    ("cut.png", lambda path: path.write_bytes(cv2.imencode(".png", np.zeros((64, 64, 3), np.uint8))[1][:40]),
     "a PNG file OpenCV could not decode"),
])
def test_an_unreadable_image_says_why(tmp_path, name, make, cause):
    path = tmp_path / name
    if make is not None:
        make(path)
    with pytest.raises(ValueError) as raised:  # the library's own message is unchanged
        ColorExtractor().extract_colors(str(path))
    assert str(raised.value) == f"Could not load image from {path}"
    assert failure_text(raised.value) == f"Could not load image from {path}: {unreadable_cause(str(path))}"
    assert unreadable_cause(str(path)).startswith(cause)


def test_unreadable_images_and_masks_say_why_in_every_report(photos, tmp_path):
    (tmp_path / "renamed.jpg").write_text("plain text")
    image, missing, renamed = photos / "photos" / "china.png", tmp_path / "missing.jpg", tmp_path / "renamed.jpg"
    done = run_tool("extract", str(missing), str(renamed), str(image), "--format", "jsonl")
    assert done.returncode == 1
    records = [json.loads(line) for line in done.stdout.splitlines()]
    assert records[0]["error"]["message"] == f"Could not load image from {missing}: no such file"
    assert records[1]["error"]["message"].endswith("not an image OpenCV can read (the file starts with b'plain text')")
    assert "colors" in records[2]
    assert f"lumvarde-quorle: {missing}: ValueError: Could not load image from {missing}: no such file\n" in done.stderr
    # a mask that exists but is no image fails every image, saying why
    done = run_tool("extract", str(image), "--mask", str(renamed), "--format", "json")
    assert f"Could not load mask from {renamed}: not an image OpenCV can read" in json.loads(done.stdout)[0]["error"][
        "message"]


# ---------------------------------------------------------------- charts


def test_charts_go_into_a_folder_made_for_them(capsys, photos, tmp_path):
    chart = tmp_path / "new" / "nested" / "chart.png"
    out = in_process(capsys, "extract", photos / "photos", "--n-colors", "2", "--chart", chart, "--format", "json")
    assert sorted(os.listdir(chart.parent)) == ["chart-china.png", "chart-flower.png"]
    assert all(record["chart"] for record in json.loads(out))


def test_a_chart_folder_that_cannot_be_made_stops_the_run_before_any_image(capsys, photos, tmp_path):
    (tmp_path / "file.txt").write_text("")
    with pytest.raises(SystemExit) as stop:
        cli.main(["extract", str(photos / "photos"), "--chart", str(tmp_path / "file.txt" / "chart.png")])
    assert stop.value.code == 2
    out, err = capsys.readouterr()
    assert out == "" and f"argument --chart: cannot make the folder {tmp_path / 'file.txt'}" in err


def test_a_chart_that_fails_keeps_the_images_colours(photos, tmp_path):
    (tmp_path / "chart-china.png").mkdir()  # where china's chart would go
    done = run_tool("extract", str(photos / "photos"), "--n-colors", "2", "--chart", str(tmp_path / "chart.png"))
    assert done.returncode == 1
    china, flower = json.loads(done.stdout)
    assert unnamed(china["colors"]) == as_json(ColorExtractor(2).extract_colors(china["path"]))
    assert china["chart"] is None and china["chart_error"]["type"] == "IsADirectoryError"
    assert flower["chart"] == str(tmp_path / "chart-flower.png") and "chart_error" not in flower
    assert f"{china['path']}: chart not written: IsADirectoryError: " in done.stderr
    assert "1 of 2 charts not written (the images' colours are in the results)" in done.stderr
    assert "images failed" not in done.stderr


# ---------------------------------------------------------------- Ctrl-C

INTERRUPTIBLE = """
import signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # as a terminal delivers it
from lumvarde_quorle.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.serial
@pytest.mark.parametrize("suffix, read", [
    (".json", lambda text: [record["path"] for record in json.loads(text)]),
    (".csv", lambda text: list(dict.fromkeys(row["path"] for row in csv.DictReader(io.StringIO(text))))),
    (".html", lambda text: re.findall(r"<h2>(.*?)</h2>", text) if text.endswith("</html>\n") else None),
])
def test_ctrl_c_ends_the_output_whole_and_says_what_was_done(photos, tmp_path, suffix, read):
    images = [tmp_path / f"copy{number:03}.png" for number in range(200)]
    for image in images:
        image.symlink_to(photos / "photos" / "china.png")
    output = tmp_path / f"out{suffix}"
    child = subprocess.Popen(
        [sys.executable, "-P", "-c", INTERRUPTIBLE, "extract", str(tmp_path), "--output", str(output)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    deadline = time.monotonic() + 120

    def partial():  # the output grows in a file beside it until it is whole
        return "".join(path.read_text() for path in tmp_path.glob(f".{output.name}.*.part"))

    while "copy002" not in partial() and time.monotonic() < deadline:
        time.sleep(0.02)
    child.send_signal(signal.SIGINT)
    _, stderr = child.communicate(timeout=60)
    assert child.returncode == 130, stderr
    done = read(output.read_text())
    assert done == [str(image) for image in images[: len(done)]] and 3 <= len(done) < len(images)
    assert not list(tmp_path.glob(".*.part"))
    assert stderr.endswith(
        f"interrupted: {len(done)} of {len(images)} images done, their results written whole to {output}\n"
    )


def test_ctrl_c_is_held_until_a_record_is_written():
    with pytest.raises(KeyboardInterrupt):
        with held_interrupt():
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.05)  # would have been interrupted here
            finished = True
    assert finished and signal.getsignal(signal.SIGINT) is signal.default_int_handler


# ---------------------------------------------------------------- many files


def test_recursive_walks_each_real_folder_once(tmp_path):
    for name in ("a.png", "sub/b.jpg", "sub/deeper/c.png", "sub/notes.txt", "other/d.png"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    (tmp_path / "sub" / "deeper" / "up").symlink_to(tmp_path)  # a loop
    (tmp_path / "again").symlink_to(tmp_path / "other")  # a second way into one folder
    found = expand_images([str(tmp_path)], recursive=True)
    assert found == [str(tmp_path / name) for name in ("a.png", "again/d.png", "sub/b.jpg", "sub/deeper/c.png")]
    assert expand_images([str(tmp_path)]) == [str(tmp_path / "a.png")]  # not recursive unless asked
    (tmp_path / "none" / "inside").mkdir(parents=True)
    (tmp_path / "none" / "inside" / "notes.txt").write_text("")
    with pytest.raises(ValueError, match="no image files in directory .*none or its subfolders"):
        expand_images([str(tmp_path / "none")], recursive=True)


@pytest.mark.parametrize("pattern, expected", [
    ("**/*.png", ["a.png", "again/d.png", "sub/deeper/c.png"]),  # "again" is a link to "other", first by name
    # the loop out of sub is followed once, to the folders above it not yet entered
    ("sub/**/*.png", ["sub/deeper/c.png", "sub/deeper/up/a.png", "sub/deeper/up/again/d.png"]),
    ("sub/**", ["sub/b.jpg", "sub/deeper/c.png", "sub/deeper/up/a.png", "sub/deeper/up/again/d.png"]),
    ("**/b.*", ["sub/b.jpg"]),
    ("*/deeper/*.png", ["sub/deeper/c.png"]),  # without ** the library's glob, which cannot loop
    ("**/.hid/*.png", [".hid/e.png"]),  # hidden folders only when the pattern names one
])
def test_glob_patterns_enter_each_real_folder_once(tmp_path, monkeypatch, pattern, expected):
    for name in ("a.png", "sub/b.jpg", "sub/deeper/c.png", "other/d.png", ".hid/e.png"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    (tmp_path / "sub" / "deeper" / "up").symlink_to(tmp_path)  # a loop: glob.glob would run round it
    (tmp_path / "again").symlink_to(tmp_path / "other")
    monkeypatch.chdir(tmp_path)
    assert expand_images([pattern]) == expected
    assert expand_images([str(tmp_path / pattern)]) == [str(tmp_path / name) for name in expected]
