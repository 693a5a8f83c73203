"""The `lumvarde-quorle` command: dominant colours, target colour shares and pixel matches for images.

    lumvarde-quorle extract photos/ --n-colors 5 --chart charts/palette.png
    lumvarde-quorle similarity 'shots/*.jpg' --target red=255,0,0 --target sky=#87ceeb
    lumvarde-quorle matches photo.png --target white=#ffffff --format csv

Results go to stdout (a table with colour swatches on a terminal, JSON otherwise); failures and the
progress bar go to stderr. Exit status: 0 when every image succeeded, 1 when any failed, 2 for bad
usage.
"""

from __future__ import annotations

import argparse
import csv
import glob
import json
import math
import os
import re
import sys
import textwrap
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import Executor, Future
from pathlib import Path
from typing import IO, Any, TypeVar

from . import __version__
from .batch import BatchResult, map_images, process_pool

PROG = "lumvarde-quorle"
FORMATS = ("table", "json", "jsonl", "csv")
# What OpenCV's imread reads; used to pick files out of directories and glob matches.
IMAGE_SUFFIXES = frozenset(
    ".bmp .dib .jpeg .jpg .jpe .jp2 .png .webp .avif .pbm .pgm .ppm .pxm .pnm .pfm .sr .ras "
    ".tiff .tif .exr .hdr .pic".split()
)
_GLOB_CHARS = re.compile(r"[*?[]")
_TARGET_RGB = re.compile(r"\s*(\d+)\s*,\s*(\d+)\s*,\s*(\d+)\s*")
_TARGET_HEX = re.compile(r"#([0-9a-fA-F]{6})")
_ANSI = re.compile(r"\x1b\[[0-9;]*m")
_NUMBER = re.compile(r"-?[0-9.]+%?")
# An indented JSON list of numbers, such as a colour; newlines inside JSON strings are escaped.
_JSON_NUMBER_LIST = re.compile(r"\[\n\s*((?:-?[0-9.eE+]+,\n\s*)*-?[0-9.eE+]+)\n\s*\]")

T = TypeVar("T")
RGB = tuple[int, int, int]


# ---------------------------------------------------------------- arguments


def parse_target(text: str) -> tuple[str, RGB]:
    """`NAME=R,G,B` (ints 0..255) or `NAME=#rrggbb` -> (name, (r, g, b))."""
    name, sep, colour = text.rpartition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"{text!r}: expected NAME=R,G,B or NAME=#rrggbb")
    if match := _TARGET_HEX.fullmatch(colour.strip()):
        digits = match.group(1)
        return name, (int(digits[0:2], 16), int(digits[2:4], 16), int(digits[4:6], 16))
    if match := _TARGET_RGB.fullmatch(colour):
        r, g, b = (int(part) for part in match.groups())
        if max(r, g, b) > 255:
            raise argparse.ArgumentTypeError(f"{text!r}: channel values must be 0..255")
        return name, (r, g, b)
    raise argparse.ArgumentTypeError(
        f"{text!r}: colour must be three integers 0..255 separated by commas (R,G,B) or #rrggbb"
    )


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 1 <= value < 2**31:
        raise argparse.ArgumentTypeError(f"{text!r}: expected a whole number from 1 to {2**31 - 1}")
    return value


def _finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r}: expected a finite number")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Dominant colours, target colour shares and pixel matches for images.",
        epilog="IMAGE may be a file, a directory (its image files) or a glob pattern such as "
        "'photos/**/*.jpg'. Exit status: 0 all images succeeded, 1 some failed, 2 bad usage.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("images", nargs="+", metavar="IMAGE", help="image files, directories or glob patterns")
    common.add_argument("--mask", metavar="PATH", help="mask image: only pixels whose grey value is above 128 count")
    common.add_argument("--no-preprocessing", action="store_true", help="skip lighting normalisation and denoising")
    common.add_argument("--rgb", action="store_true", help="work in R, G, B instead of LAB")
    output = common.add_argument_group("output and batch")
    output.add_argument("--format", choices=FORMATS, help="default: table on a terminal, json otherwise")
    output.add_argument(
        "--color",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour swatches in the table (auto: when stdout is a terminal and NO_COLOR is unset)",
    )
    output.add_argument("--jobs", "-j", type=_positive_int, default=1, metavar="N", help="worker processes (default 1)")
    output.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")

    clustering = argparse.ArgumentParser(add_help=False)
    clustering.add_argument("--n-colors", type=_positive_int, default=5, metavar="N", help="colours to find (default 5)")
    clustering.add_argument("--algorithm", choices=("kmeans", "dbscan"), default="kmeans", help="default kmeans")

    targets = argparse.ArgumentParser(add_help=False)
    targets.add_argument(
        "--target",
        dest="targets",
        action="append",
        required=True,
        type=parse_target,
        metavar="NAME=R,G,B|NAME=#rrggbb",
        help="a named target colour; repeat for several",
    )

    extract = commands.add_parser(
        "extract", parents=[common, clustering], help="dominant colours and their shares",
        description="Dominant colours of each image with their share of the analysed pixels.",
    )
    extract.add_argument(
        "--chart", metavar="OUT.png",
        help="save a colour chart; with several images one file per image, named OUT-<image name>.png",
    )
    similarity = commands.add_parser(
        "similarity", parents=[common, clustering, targets], help="share of each target colour",
        description="Credits each target colour with the share of its nearest dominant colour, "
        "scaled down linearly with the LAB distance up to the threshold.",
    )
    similarity.add_argument(
        "--threshold", type=_finite_float, default=50.0, metavar="T",
        help="largest LAB distance at which a target still counts (default 50)",
    )
    matches = commands.add_parser(
        "matches", parents=[common, targets], help="pixel-level match report per target colour",
        description="Per target colour: the shares of pixels within LAB distance 15, 30 and 50, "
        "the nearest pixel and a similarity score, measured on every pixel.",
    )
    for command in (extract, similarity, matches):
        command.set_defaults(command_parser=command)  # errors found after parsing show its usage
    return parser


def _check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if getattr(args, "targets", None):
        names = [name for name, _ in args.targets]
        if duplicates := sorted({name for name in names if names.count(name) > 1}):
            parser.error(f"argument --target: name given more than once: {', '.join(duplicates)}")
    if args.mask is not None and not os.path.isfile(args.mask):
        parser.error(f"argument --mask: no such file: {args.mask}")
    if getattr(args, "chart", None):
        from matplotlib.backend_bases import FigureCanvasBase

        suffix = Path(args.chart).suffix.lower().lstrip(".")
        if suffix not in FigureCanvasBase.get_supported_filetypes():
            parser.error(f"argument --chart: unsupported chart format {suffix or '(none)'!r}; use e.g. OUT.png")


def expand_images(arguments: Iterable[str]) -> list[str]:
    """Directories give their image files (not recursive) and glob patterns their matching image
    files, each sorted by name; other arguments are taken as they are (a missing file fails later,
    as that image's error). Raises ValueError for a directory or pattern without image files."""
    paths: list[str] = []
    for argument in arguments:
        if os.path.isdir(argument):
            found = [entry.path for entry in os.scandir(argument) if _is_image_file(entry.path)]
            where = f"directory {argument}"
        elif os.path.exists(argument) or not _GLOB_CHARS.search(argument):
            paths.append(argument)
            continue
        else:
            found = [path for path in glob.glob(argument, recursive=True) if _is_image_file(path)]
            where = f"pattern {argument!r}"
        if not found:
            raise ValueError(f"no image files in {where}")
        paths.extend(sorted(found))
    return paths


def _is_image_file(path: str) -> bool:
    return os.path.splitext(path)[1].lower() in IMAGE_SUFFIXES and os.path.isfile(path)


def chart_paths(template: str, images: list[str]) -> list[str]:
    """One chart file per image: the template itself for one image, else OUT-<image stem>.<ext>,
    numbered when stems repeat."""
    if len(images) == 1:
        return [template]
    out = Path(template)
    taken: set[str] = set()
    names = []
    for image in images:
        stem = f"{out.stem}-{Path(image).stem}"
        candidate, number = stem, 1
        while candidate in taken:
            number += 1
            candidate = f"{stem}-{number}"
        taken.add(candidate)
        names.append(str(out.with_name(candidate + out.suffix)))
    return names


# ---------------------------------------------------------------- running


class _InProcessExecutor(Executor):
    """Runs each call at submission, in this process: --jobs 1 without pickling or pool start-up."""

    def submit(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any) -> Future[T]:
        future: Future[T] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future


def _operation(args: argparse.Namespace) -> tuple[Callable[..., Any], dict[str, Any]]:
    """The bound extractor method the command runs on each image, and its further arguments."""
    from .color_extractor_cy import ColorExtractor

    preprocessing, lab_space = not args.no_preprocessing, not args.rgb
    if args.command == "matches":
        extractor = ColorExtractor(preprocessing=preprocessing, lab_space=lab_space)
        return extractor.find_color_matches, {"target_colors": dict(args.targets), "mask": args.mask}
    extractor = ColorExtractor(args.n_colors, args.algorithm, preprocessing, lab_space)
    if args.command == "extract":
        return extractor.extract_colors, {"mask": args.mask}
    return extractor.analyze_color_similarity, {
        "target_colors": dict(args.targets),
        "mask": args.mask,
        "similarity_threshold": args.threshold,
    }


def _results(args: argparse.Namespace, paths: list[str]) -> Iterator[BatchResult[Any]]:
    operation, options = _operation(args)
    if args.jobs == 1 or len(paths) == 1:
        yield from map_images(operation, paths, executor=_InProcessExecutor(), max_pending=1, **options)
        return
    with process_pool(min(args.jobs, len(paths))) as pool:
        yield from map_images(operation, paths, executor=pool, max_pending=2 * args.jobs, **options)


def _draw_charts(records: Iterable[dict[str, Any]], charts: list[str]) -> Iterator[dict[str, Any]]:
    """Saves each extraction's chart in this process, where pyplot runs on Agg; an image whose chart
    cannot be written counts as failed. No colours, no chart ("chart": null)."""
    import matplotlib.pyplot as plt

    from .color_extractor_cy import ColorExtractor

    extractor = ColorExtractor()
    for record, chart in zip(records, charts):
        if "error" not in record:
            try:
                extractor.visualize_colors(record["colors"], chart)
                record["chart"] = chart if record["colors"] else None
            except Exception as error:
                record = _error_record(record["path"], error)
            finally:
                plt.close("all")  # the chart method leaves its figure registered
        yield record


# ---------------------------------------------------------------- output


def plain(value: Any) -> Any:
    """JSON-ready copy: NumPy scalars to int/float/bool, tuples to lists, non-finite floats to None."""
    if isinstance(value, dict):
        return {key: plain(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    if hasattr(value, "dtype") and hasattr(value, "item"):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _error_record(path: str, error: BaseException) -> dict[str, Any]:
    return {"path": path, "error": {"type": type(error).__name__, "message": str(error)}}


def _record(command: str, result: BatchResult[Any]) -> dict[str, Any]:
    if result.error is not None:
        return _error_record(result.path, result.error)
    key = "colors" if command == "extract" else "targets"
    return {"path": result.path, key: plain(result.value)}


def _hex(rgb: Iterable[int]) -> str:
    return "#" + "".join(f"{int(c):02x}" for c in rgb)


def _swatch(rgb: Iterable[int]) -> str:
    r, g, b = (int(c) for c in rgb)
    return f"\x1b[48;2;{r};{g};{b}m      \x1b[0m"


def _number(value: Any, unit: str = "") -> str:
    return f"{float(value):.2f}{unit}"


def format_table(record: dict[str, Any], colour: bool, targets: dict[str, RGB] | None = None) -> str:
    """One image's report as an aligned text table; with `colour`, swatches in 24-bit ANSI colour."""
    title = record["path"] + (f"  (chart: {record['chart']})" if record.get("chart") else "")
    if "error" in record:
        return f"{title}\n  failed: {record['error']['type']}: {record['error']['message']}\n"
    rows: list[list[str]]
    if "colors" in record:
        header = ["#", "colour", "hex", "R, G, B", "share"]
        rows = [
            [str(rank), _swatch(info["color"]), _hex(info["color"]), ", ".join(map(str, info["color"])),
             _number(info["percentage"], "%")]
            for rank, info in enumerate(record["colors"], 1)
        ]
    else:
        entries = record["targets"]
        target_swatch = [_swatch(targets[name]) if targets and name in targets else "" for name in entries]
        if any("similarity" in entry for entry in entries.values()):
            header = ["target", "colour", "share", "similarity", "closest", "colour", "distance", "direct"]
            rows = [
                [name, swatch, _number(entry["percentage"], "%"), _number(entry["similarity"]),
                 _hex(entry["closest_color"]), _swatch(entry["closest_color"]), _number(entry["distance"]),
                 "yes" if entry["found_directly"] else "no"]
                for swatch, (name, entry) in zip(target_swatch, entries.items())
            ]
        else:
            header = ["target", "colour", "very close", "close", "total", "nearest", "colour", "distance", "score"]
            rows = [
                [name, swatch, _number(entry["very_close_percentage"], "%"),
                 _number(entry["close_percentage"], "%"), _number(entry["total_percentage"], "%"),
                 _hex(entry["closest_pixel"]), _swatch(entry["closest_pixel"]),
                 _number(entry["min_distance"]), _number(entry["similarity_score"])]
                for swatch, (name, entry) in zip(target_swatch, entries.items())
            ]
    if not rows:
        return f"{title}\n  no colours found (every pixel masked out or dropped)\n"
    if not colour:
        keep = [i for i, name in enumerate(header) if name != "colour"]
        header, rows = [header[i] for i in keep], [[row[i] for i in keep] for row in rows]
    widths = [max(_visible_len(cell) for cell in column) for column in zip(header, *rows)]
    numeric = [all(_NUMBER.fullmatch(row[i]) for row in rows) for i in range(len(header))]
    lines = [title]
    for row in [header, *rows]:
        cells = [
            " " * (width - _visible_len(cell)) + cell if right else cell + " " * (width - _visible_len(cell))
            for cell, width, right in zip(row, widths, numeric)
        ]
        lines.append(("  " + "  ".join(cells)).rstrip())
    return "\n".join(lines) + "\n"


def _visible_len(text: str) -> int:
    return len(_ANSI.sub("", text))


CSV_COLUMNS = {
    "extract": ["path", "rank", "r", "g", "b", "hex", "percentage", "error"],
    "similarity": ["path", "target", "percentage", "similarity", "closest_r", "closest_g", "closest_b",
                   "distance", "found_directly", "error"],
    "matches": ["path", "target", "total_percentage", "close_percentage", "very_close_percentage",
                "closest_r", "closest_g", "closest_b", "min_distance", "similarity_score", "error"],
}


def csv_rows(command: str, record: dict[str, Any]) -> list[dict[str, Any]]:
    """One row per colour or target; a failed image gives one row with its error."""
    path = record["path"]
    if "error" in record:
        return [{"path": path, "error": f"{record['error']['type']}: {record['error']['message']}"}]
    if command == "extract":
        return [
            {"path": path, "rank": rank, "r": r, "g": g, "b": b, "hex": _hex((r, g, b)), "percentage": info["percentage"]}
            for rank, info in enumerate(record["colors"], 1)
            for r, g, b in [info["color"]]
        ]
    rows = []
    for name, entry in record["targets"].items():
        row: dict[str, Any] = {"path": path, "target": name}
        for key, value in entry.items():
            if key in ("closest_color", "closest_pixel"):
                row.update(zip(("closest_r", "closest_g", "closest_b"), value))
            elif isinstance(value, bool):
                row[key] = "true" if value else "false"
            else:
                row[key] = value
        rows.append(row)
    return rows


class Progress:
    """A one-line progress bar on stderr, redrawn in place; cleared around other terminal output."""

    def __init__(self, total: int, stream: IO[str], enabled: bool) -> None:
        self.total, self.done, self.stream, self.enabled = total, 0, stream, enabled
        self.label = ""

    def advance(self, label: str) -> None:
        self.done += 1
        self.label = label
        self.draw()

    def draw(self) -> None:
        if not self.enabled:
            return
        try:
            width = os.get_terminal_size(self.stream.fileno()).columns or 80
        except (AttributeError, OSError, ValueError):
            width = 80
        count = f"{self.done}/{self.total}"
        bar_width = max(10, min(30, width // 3))
        filled = bar_width * self.done // self.total
        line = f"[{'#' * filled}{'.' * (bar_width - filled)}] {count} {self.label}"
        if len(line) > width - 1:
            line = line[: width - 4] + "..."
        self.stream.write("\r\x1b[K" + line)
        self.stream.flush()

    def clear(self) -> None:
        if self.enabled:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def use_colour(choice: str, stream: IO[str], environ: Mapping[str, str]) -> bool:
    if choice != "auto":
        return choice == "always"
    if environ.get("NO_COLOR") or environ.get("TERM") == "dumb":
        return False
    return stream.isatty()


def _number_lists_on_one_line(text: str) -> str:
    return _JSON_NUMBER_LIST.sub(lambda match: "[" + re.sub(r",\n\s*", ", ", match.group(1)) + "]", text)


def _write_output(
    command: str,
    fmt: str,
    records: Iterable[dict[str, Any]],
    out: IO[str],
    err: IO[str],
    progress: Progress,
    table_swatches: tuple[bool, dict[str, RGB] | None] = (False, None),
) -> int:
    """Writes every record as it arrives, in input order; returns the number of failed images."""
    failures = 0
    writer = csv.DictWriter(out, CSV_COLUMNS[command], lineterminator="\n") if fmt == "csv" else None
    if writer is not None:
        writer.writeheader()
    elif fmt == "json":
        out.write("[")
    first = True
    progress.draw()
    for record in records:
        progress.clear()
        if "error" in record:
            failures += 1
            err.write(f"{PROG}: {record['path']}: {record['error']['type']}: {record['error']['message']}\n")
            err.flush()
        if writer is not None:
            writer.writerows(csv_rows(command, record))
        elif fmt == "json":
            text = _number_lists_on_one_line(json.dumps(record, indent=2, ensure_ascii=False, allow_nan=False))
            out.write(("\n" if first else ",\n") + textwrap.indent(text, "  "))
            first = False
        elif fmt == "jsonl":
            out.write(json.dumps(record, ensure_ascii=False, allow_nan=False) + "\n")
        elif "error" not in record:  # table: the failure is on stderr already
            out.write(("" if first else "\n") + format_table(record, *table_swatches))
            first = False
        out.flush()
        progress.advance(record["path"])
    progress.clear()
    if fmt == "json":
        out.write("]\n" if first else "\n]\n")
    out.flush()
    return failures


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    _check_arguments(args.command_parser, args)
    try:
        paths = expand_images(args.images)
    except ValueError as error:
        args.command_parser.error(str(error))

    # Charts are files only: no window, in this process and in any worker it starts.
    os.environ["MPLBACKEND"] = "Agg"
    # The tool reports unreadable images itself; OpenCV's own warning would only repeat it.
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    import matplotlib

    matplotlib.use("Agg")

    fmt = args.format or ("table" if sys.stdout.isatty() else "json")
    colour = fmt == "table" and use_colour(args.color, sys.stdout, os.environ)
    targets = dict(args.targets) if getattr(args, "targets", None) else None
    show_progress = len(paths) > 1 and not args.no_progress and sys.stderr.isatty()
    records: Iterable[dict[str, Any]] = (_record(args.command, result) for result in _results(args, paths))
    if args.command == "extract" and args.chart:
        records = _draw_charts(records, chart_paths(args.chart, paths))
    progress = Progress(len(paths), sys.stderr, show_progress)
    try:
        failures = _write_output(args.command, fmt, records, sys.stdout, sys.stderr, progress, (colour, targets))
    except KeyboardInterrupt:
        progress.clear()
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    if failures:
        print(f"{PROG}: {failures} of {len(paths)} images failed", file=sys.stderr)
        return 1
    return 0


def run() -> None:
    """Console-script entry."""
    sys.exit(main())
