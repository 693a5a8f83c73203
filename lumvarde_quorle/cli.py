"""The `lumvarde-quorle` command: dominant colours, target colour shares and pixel matches for images.

    lumvarde-quorle extract photos/ --n-colors 5 --chart charts/palette.png
    lumvarde-quorle similarity 'shots/*.jpg' --target red=255,0,0 --target sky=#87ceeb
    lumvarde-quorle matches photo.png --target white=#ffffff --format csv

Results go to stdout or to the --output file (a table with colour swatches on a terminal, JSON
otherwise; also JSON lines, CSV or an HTML report); failures and the progress bar go to stderr.
Exit status: 0 when every image succeeded, 1 when any failed, 2 for bad usage.
"""

from __future__ import annotations

import argparse
import contextlib
import functools
import glob
import math
import os
import re
import shlex
import sys
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import Executor, Future
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, TypeVar, cast

from . import __version__
from .batch import PILLOW, BatchResult, RecoveringPool, map_images
from .names import parse_color
from .output import FORMATS, WRITERS, format_for_file
from .records import KINDS, Kind, Record, error_record
from .results import RGB
from .terminal import Progress, use_colour
from .writers import Settings, Writer

if TYPE_CHECKING:
    from .color_extractor_cy import ColorExtractor

PROG = "lumvarde-quorle"
# --mask ALPHA takes each image's own alpha channel as its mask; a mask file of that name is ./alpha.
ALPHA = "alpha"
# What OpenCV's imread reads; used to pick files out of directories and glob matches.
IMAGE_SUFFIXES = frozenset(
    ".bmp .dib .jpeg .jpg .jpe .jp2 .png .webp .avif .pbm .pgm .ppm .pxm .pnm .pfm .sr .ras "
    ".tiff .tif .exr .hdr .pic".split()
)
_GLOB_CHARS = re.compile(r"[*?[]")

T = TypeVar("T")


# ---------------------------------------------------------------- arguments


def parse_target(text: str) -> tuple[str, RGB]:
    """`NAME=R,G,B` (ints 0..255), `NAME=#rrggbb` or `NAME=<CSS colour name>` -> (name, (r, g, b))."""
    name, sep, colour = text.rpartition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"{text!r}: expected NAME=R,G,B or NAME=#rrggbb")
    return name, _colour(colour, text)


def _colour(text: str, given: str | None = None) -> RGB:
    try:
        return parse_color(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{given or text!r}: {error}") from None


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 1 <= value < 2**31:
        raise argparse.ArgumentTypeError(f"{text!r}: expected a whole number from 1 to {2**31 - 1}")
    return value


def _pixel_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r}: expected a number of pixels, or 0 for no limit")
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

    inputs = argparse.ArgumentParser(add_help=False)
    inputs.add_argument("images", nargs="+", metavar="IMAGE", help="image files, directories or glob patterns")
    add_settings_options(inputs)
    batch = argparse.ArgumentParser(add_help=False)
    running = batch.add_argument_group("batch")
    running.add_argument(
        "--jobs", "-j", type=_positive_int, default=1, metavar="N", help="worker processes (default 1)"
    )
    running.add_argument(
        "--dask", metavar="ADDRESS",
        help="analyse the images on the Dask cluster whose scheduler is at ADDRESS (e.g. tcp://host:8786); its "
        "workers must see the same paths; needs the 'dask' extra",
    )
    running.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")
    budget = argparse.ArgumentParser(add_help=False)
    budget.add_argument(
        "--max-pixels", type=_pixel_count, metavar="N",
        help="refuse images of more than N pixels, read from the file's header before decoding; 0: no limit "
        "(default: as Pillow, a warning above 89,478,485 pixels, refusal above 178,956,970)",
    )
    common = argparse.ArgumentParser(add_help=False, parents=[inputs, output_options("--color"), batch, budget])

    clustering = argparse.ArgumentParser(add_help=False)
    clustering.add_argument(
        "--n-colors", type=_positive_int, default=5, metavar="N", help="colours to find (default 5)"
    )
    clustering.add_argument("--algorithm", choices=("kmeans", "dbscan"), default="kmeans", help="default kmeans")
    kmeans = clustering.add_mutually_exclusive_group()
    kmeans.add_argument(
        "--library-kmeans", action="store_true",
        help="K-means by scikit-learn's KMeans itself on every pixel row (LibraryColorExtractor), for checking "
        "a result: the same colours, tens of times slower on large images",
    )
    # K-means is native by default; --fast is kept for scripts written when it was not.
    kmeans.add_argument("--fast", action="store_true", help=argparse.SUPPRESS)

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
    from . import catalogue_cli

    added = catalogue_cli.add_commands(commands, inputs, clustering, batch, budget)
    for command in (extract, similarity, matches, *added):
        command.set_defaults(command_parser=command)  # errors found after parsing show its usage
    return parser


def add_settings_options(parser: argparse._ActionsContainer) -> None:
    """The extractor settings besides clustering: the mask, preprocessing and the colour space."""
    parser.add_argument(
        "--mask", metavar="PATH|alpha",
        help="mask image: only pixels whose grey value is above 128 count; 'alpha': each image's own alpha "
        "channel (alpha above 128 counts; a mask file named alpha is ./alpha)",
    )
    parser.add_argument("--no-preprocessing", action="store_true", help="skip lighting normalisation and denoising")
    parser.add_argument("--rgb", action="store_true", help="work in R, G, B instead of LAB")


def output_options(swatches: str) -> argparse.ArgumentParser:
    """--format, --output and the option named `swatches` (dest "color") that paints table swatches."""
    parent = argparse.ArgumentParser(add_help=False)
    output = parent.add_argument_group("output")
    output.add_argument(
        "--format", choices=FORMATS,
        help="default: by the --output file's suffix (.html, .csv, .json, .jsonl, .txt), else table on a "
        "terminal and json otherwise",
    )
    output.add_argument("--output", "-o", metavar="FILE", help="write the results to FILE instead of stdout")
    output.add_argument(
        swatches,
        dest="color",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour swatches in the table (auto: when stdout is a terminal and NO_COLOR is unset)",
    )
    return parent


def _check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if getattr(args, "targets", None):
        names = [name for name, _ in args.targets]
        if duplicates := sorted({name for name in names if names.count(name) > 1}):
            parser.error(f"argument --target: name given more than once: {', '.join(duplicates)}")
    if args.mask not in (None, ALPHA) and not os.path.isfile(args.mask):
        parser.error(f"argument --mask: no such file: {args.mask}")
    if getattr(args, "dask", None) and args.jobs > 1:
        parser.error("argument --dask: the cluster's workers do the work; --jobs does not apply")
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


def _extractor(args: argparse.Namespace) -> ColorExtractor:
    """The one extractor of a run: it analyses every image and draws the charts."""
    return _made_extractor(*_extractor_settings(args))


def _deferred_extractor(args: argparse.Namespace) -> ColorExtractor:
    """_extractor(args), made (and the libraries loaded) in each process on first use, so that a run
    whose images all fail before analysis, as images above the pixel budget do, ends at once."""
    return cast("ColorExtractor", _Deferred(*_extractor_settings(args)))


ExtractorSettings = tuple[tuple[str, Any], ...]


def _extractor_settings(args: argparse.Namespace) -> tuple[bool, ExtractorSettings]:
    """Whether the run's K-means is the library's own, and the extractor's settings."""
    settings: dict[str, Any] = {"preprocessing": not args.no_preprocessing, "lab_space": not args.rgb}
    if args.command != "matches":  # matches measures every pixel: no clustering
        settings.update(n_colors=args.n_colors, algorithm=args.algorithm)
    return getattr(args, "library_kmeans", False), tuple(settings.items())


@dataclass(frozen=True)
class _Deferred:
    """Stands for the run's extractor; its methods pickle to worker processes as the settings and the
    method's name."""

    library: bool
    settings: ExtractorSettings

    def __getattr__(self, method: str) -> Callable[..., Any]:
        if method.startswith("_"):
            raise AttributeError(method)
        return functools.partial(_call_extractor, self.library, self.settings, method)


_made: dict[tuple[bool, ExtractorSettings], ColorExtractor] = {}


def _made_extractor(library: bool, settings: ExtractorSettings) -> ColorExtractor:
    if (library, settings) not in _made:
        from .color_extractor_cy import ColorExtractor, LibraryColorExtractor

        _made[library, settings] = (LibraryColorExtractor if library else ColorExtractor)(**dict(settings))
    return _made[library, settings]


def _call_extractor(library: bool, settings: ExtractorSettings, method: str, /, *args: Any, **kwargs: Any) -> Any:
    return getattr(_made_extractor(library, settings), method)(*args, **kwargs)


def _operation(args: argparse.Namespace, extractor: ColorExtractor) -> tuple[Callable[..., Any], dict[str, Any]]:
    """The extractor method the command runs on each image, and its further arguments."""
    method: Callable[..., Any] = getattr(extractor, str(KINDS[args.command].method))
    options: dict[str, Any] = {}
    if args.command == "similarity":
        options = {"target_colors": dict(args.targets), "similarity_threshold": args.threshold}
    elif args.command == "matches":
        options = {"target_colors": dict(args.targets)}
    if args.mask == ALPHA:
        from .images import apply_with_alpha_mask

        return functools.partial(apply_with_alpha_mask, method), options
    return method, {**options, "mask": args.mask}


class UsageError(Exception):
    """A command line that cannot run, found after parsing; reported with the command's usage."""


@contextlib.contextmanager
def batch_executor(args: argparse.Namespace, count: int) -> Iterator[tuple[Executor, int]]:
    """Where the images of a run are analysed, and how many calls may wait ahead: the Dask cluster of
    --dask, a process pool of --jobs workers, or this process."""
    if getattr(args, "dask", None):
        with dask_executor(args.dask) as running:
            yield running
    elif args.jobs == 1 or count <= 1:
        yield _InProcessExecutor(), 1
    else:
        # A worker that dies costs only the image it held.
        with RecoveringPool(min(args.jobs, count)) as pool:
            yield pool, 2 * args.jobs


@contextlib.contextmanager
def dask_executor(address: str) -> Iterator[tuple[Executor, int]]:
    """The executor of a client of the Dask cluster at `address`; two calls wait per worker thread."""
    try:
        from distributed import Client
    except ImportError:
        raise UsageError(
            "argument --dask: Dask is not installed; install the extra: pip install 'lumvarde_quorle[dask]'"
        ) from None
    try:
        client: Any = Client(address, timeout="10s", set_as_default=False)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError, TypeError) as error:
        raise UsageError(f"argument --dask: cannot reach the cluster at {address}: {error}") from None
    with client:
        threads = sum(client.nthreads().values()) or 1
        yield client.get_executor(), 2 * threads


def _results(
    args: argparse.Namespace, paths: list[str], extractor: ColorExtractor, executor: Executor, max_pending: int
) -> Iterator[BatchResult[Any]]:
    operation, options = _operation(args, extractor)
    yield from map_images(
        operation, paths, executor=executor, max_pending=max_pending, max_pixels=pixel_budget(args), **options
    )


def pixel_budget(args: argparse.Namespace) -> int | Literal["pillow"] | None:
    """map_images' max_pixels for the command line's --max-pixels."""
    return PILLOW if args.max_pixels is None else args.max_pixels


def _draw_charts(records: Iterable[Record], charts: list[str], extractor: ColorExtractor) -> Iterator[Record]:
    """Saves each extraction's chart in this process, where pyplot runs on Agg; an image whose chart
    cannot be written counts as failed. No colours, no chart ("chart": null)."""
    import matplotlib.pyplot as plt

    for record, chart in zip(records, charts):
        if "error" not in record:
            try:
                extractor.visualize_colors(record["colors"], chart)
                record["chart"] = chart if record["colors"] else None
            except Exception as error:
                record = error_record(record["path"], error)
            finally:
                plt.close("all")  # the chart method leaves its figure registered
        yield record


def preview(mask: str | None) -> Callable[[str], str]:
    """The report's thumbnail of an image: what the analysis saw, the pixels outside the mask transparent."""
    from .images import preview_data_uri, read_image, read_with_alpha

    if mask == ALPHA:
        return lambda path: preview_data_uri(*read_with_alpha(path))
    mask_image = None if mask is None else read_image(mask)
    return lambda path: preview_data_uri(read_image(path), mask_image)


def _write_all(writer: Writer, records: Iterable[Record], progress: Progress) -> int:
    """Writes every record as it arrives, in input order; returns the number of failed images."""
    failures = 0
    writer.begin()
    progress.draw()
    try:
        for record in records:
            progress.clear()
            if "error" in record:
                failures += 1
                report_failure(record["path"], f"{record['error']['type']}: {record['error']['message']}")
            writer.write(record)
            writer.out.flush()
            progress.advance(record["path"])
    finally:
        progress.clear()
    writer.end()
    writer.out.flush()
    return failures


def report_failure(path: str, error: str) -> None:
    sys.stderr.write(f"{PROG}: {path}: {error}\n")
    sys.stderr.flush()


def write_output(
    args: argparse.Namespace,
    argv: list[str] | None,
    kind: Kind,
    records: Iterable[Record],
    progress: Progress,
    *,
    targets: Mapping[str, RGB],
    thumbnail: Callable[[], Callable[[str], str]],
) -> int:
    """Writes the records in the format the command line asks for, to stdout or --output; returns the
    number of failed images. `thumbnail` makes the report's preview function, for HTML only."""
    fmt = args.format or (args.output and format_for_file(args.output)) or (
        "table" if not args.output and sys.stdout.isatty() else "json"
    )
    with contextlib.ExitStack() as files:
        out = sys.stdout
        if args.output:
            try:
                out = files.enter_context(open(args.output, "w", encoding="utf-8"))
            except OSError as error:
                raise UsageError(f"argument --output: {error.strerror}: {args.output}") from None
        settings = Settings(
            targets=targets,
            colour=fmt == "table" and use_colour(args.color, out, os.environ),
            title=f"{PROG} {args.command}",
            subtitle=shlex.join([PROG, *(sys.argv[1:] if argv is None else argv)]),
            preview=thumbnail() if fmt == "html" else None,
        )
        return _write_all(WRITERS[fmt](kind, out, settings), records, progress)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    _check_arguments(args.command_parser, args)

    # Charts are files only: no window, in this process and in any worker it starts.
    os.environ["MPLBACKEND"] = "Agg"
    # The tool reports unreadable images itself; OpenCV's own warning would only repeat it.
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    import matplotlib

    matplotlib.use("Agg")

    from . import catalogue_cli

    run_command = catalogue_cli.COMMANDS.get(args.command, _analyse)
    command_parser: argparse.ArgumentParser = args.command_parser
    try:
        return run_command(args, argv)
    except UsageError as error:
        command_parser.error(str(error))
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def image_paths(args: argparse.Namespace) -> list[str]:
    try:
        return expand_images(args.images)
    except ValueError as error:
        raise UsageError(str(error)) from None


def _analyse(args: argparse.Namespace, argv: list[str] | None) -> int:
    """extract, similarity and matches: every image analysed, the results written as they arrive."""
    paths = image_paths(args)
    kind = KINDS[args.command]
    extractor = _deferred_extractor(args)
    show_progress = len(paths) > 1 and not args.no_progress and sys.stderr.isatty()
    progress = Progress(len(paths), sys.stderr, show_progress)
    with batch_executor(args, len(paths)) as (executor, max_pending):
        records: Iterable[Record] = (
            kind.record(result.path, result.value) if result.error is None else error_record(result.path, result.error)
            for result in _results(args, paths, extractor, executor, max_pending)
        )
        if args.command == "extract" and args.chart:
            records = _draw_charts(records, chart_paths(args.chart, paths), extractor)
        failures = write_output(
            args, argv, kind, records, progress,
            targets=dict(getattr(args, "targets", None) or ()), thumbnail=lambda: preview(args.mask),
        )
    if failures:
        print(f"{PROG}: {failures} of {len(paths)} images failed", file=sys.stderr)
        return 1
    return 0


def run() -> None:
    """Console-script entry."""
    # Warnings (an image above Pillow's pixel limit) read as the tool's other messages.
    warnings.formatwarning = lambda message, *_, **__: f"{PROG}: warning: {message}\n"
    sys.exit(main())
