"""What every command of the command-line tool shares: the parsers' converters and option groups, where a
run's images are analysed, the extractor settings the options ask for, failures and writing the results.

Command modules import this module and the output layer, never each other."""

from __future__ import annotations

import argparse
import contextlib
import os
import shlex
import sys
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any, Literal, TypeVar

from ..batch import PILLOW, RecoveringPool
from ..names import parse_color
from ..results import RGB
from ..settings import AUTO, ExtractorSettings, mask_named, per_image
from .destination import destination
from .files import expand_images, preview
from .formats import FORMATS, SUFFIXES, WRITERS, format_for_file
from .records import Kind, Record
from .running import DEFAULT_TIMEOUT, InProcessExecutor, finite_float, scheduler_problem, seconds, worker_timeout
from .terminal import Progress, held_interrupt, shown, use_colour
from .writers import Settings, Writer

__all__ = [
    "PROG", "Command", "InProcessExecutor", "Interrupted", "UsageError", "Written", "add_settings_options",
    "batch_executor", "batch_options", "budget_options", "check_arguments", "clustering_options", "colour",
    "dask_executor", "expand_images", "finite_float", "image_paths", "inputs_options", "output_options",
    "parse_target", "pixel_budget", "pixel_count", "positive_int", "preview", "progress_for", "report_failure",
    "settings_from", "write_output",
]

PROG = "lumvarde-quorle"

T = TypeVar("T")


class UsageError(Exception):
    """A command line that cannot run, found after parsing; reported with the command's usage."""


class Interrupted(KeyboardInterrupt):
    """Ctrl-C once some images were done; the message says how many and where their results are."""


Run = Callable[[argparse.Namespace, list[str] | None], int]
Check = Callable[[argparse.ArgumentParser, argparse.Namespace], None]


@dataclass(frozen=True)
class Command:
    """How `main` runs a parsed command: `check` refuses what parsing could not see (with the command's
    usage), then `run` does the work and gives the exit status."""

    run: Run
    check: Check


# ---------------------------------------------------------------- converters


def colour(text: str, given: str | None = None) -> RGB:
    """`#rrggbb`, `R,G,B` or a CSS colour name as (R, G, B); `given` is the argument named in the error."""
    try:
        return parse_color(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{given or text!r}: {error}") from None


def parse_target(text: str) -> tuple[str, RGB]:
    """`NAME=R,G,B` (ints 0..255), `NAME=#rrggbb` or `NAME=<CSS colour name>` -> (name, (r, g, b))."""
    name, sep, value = text.rpartition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"{text!r}: expected NAME=#rrggbb, NAME=R,G,B or NAME=<CSS colour name>")
    return name, colour(value, text)


def _integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None


def positive_int(text: str) -> int:
    value = _integer(text)
    if not 1 <= value < 2**31:
        raise argparse.ArgumentTypeError(f"{text!r}: expected a whole number from 1 to {2**31 - 1}")
    return value


def pixel_count(text: str) -> int:
    value = _integer(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r}: expected a number of pixels, or 0 for no limit")
    return value


# ---------------------------------------------------------------- option groups


def _parent() -> argparse.ArgumentParser:
    return argparse.ArgumentParser(add_help=False)


def inputs_options() -> argparse.ArgumentParser:
    """The images and the extractor settings besides clustering."""
    parent = _parent()
    parent.add_argument("images", nargs="+", metavar="IMAGE", help="image files, directories or glob patterns")
    parent.add_argument(
        "--recursive", "-r", action="store_true",
        help="take the image files of directories' subfolders too (links to folders are followed, each folder once)",
    )
    add_settings_options(parent)
    return parent


def add_settings_options(parser: argparse._ActionsContainer) -> None:
    """The extractor settings besides clustering: the mask, preprocessing and the colour space."""
    parser.add_argument(
        "--mask", metavar="auto|alpha|none|PATH", type=mask_named, default=AUTO,
        help="which pixels count. auto (default): each image's alpha channel (above 128) where it has one, else "
        "every pixel; alpha: the alpha channel, an image without one fails; none: every pixel; PATH: a mask "
        "image, grey above 128 counts (a file named like one of the words is ./alpha)",
    )
    parser.add_argument("--no-preprocessing", action="store_true", help="skip lighting normalisation and denoising")
    parser.add_argument("--rgb", action="store_true", help="work in R, G, B instead of LAB")


def clustering_options() -> argparse.ArgumentParser:
    """The clustering settings of an analysis: how many colours, the algorithm and whose K-means."""
    parent = _parent()
    parent.add_argument("--n-colors", type=positive_int, default=5, metavar="N", help="colours to find (default 5)")
    parent.add_argument("--algorithm", choices=("kmeans", "dbscan"), default="kmeans", help="default kmeans")
    kmeans = parent.add_mutually_exclusive_group()
    kmeans.add_argument(
        "--library-kmeans", action="store_true",
        help="K-means by scikit-learn's KMeans itself on every pixel row (LibraryColorExtractor), for checking "
        "a result: the same colours, tens of times slower on large images",
    )
    # K-means is native by default; --fast is kept for scripts written when it was not.
    kmeans.add_argument("--fast", action="store_true", help=argparse.SUPPRESS)
    return parent


def batch_options() -> argparse.ArgumentParser:
    """Where the images are analysed: --jobs, --dask, and the progress bar."""
    parent = _parent()
    running = parent.add_argument_group("batch")
    running.add_argument(
        "--jobs", "-j", type=positive_int, default=1, metavar="N", help="worker processes (default 1)"
    )
    running.add_argument(
        "--dask", metavar="ADDRESS",
        help="analyse the images on the Dask cluster whose scheduler is at ADDRESS (e.g. tcp://host:8786); its "
        "workers must see the same paths; needs the 'dask' extra",
    )
    running.add_argument(
        "--timeout", type=seconds, metavar="SECONDS",
        help=f"fail an image that takes longer in its worker process, and go on (default {DEFAULT_TIMEOUT:g} with "
        "--jobs 2 or more; given with --jobs 1, the images run in one worker process); 0: no limit",
    )
    running.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")
    return parent


def budget_options() -> argparse.ArgumentParser:
    parent = _parent()
    parent.add_argument(
        "--max-pixels", type=pixel_count, metavar="N",
        help="refuse images of more than N pixels, read from the file's header before decoding; 0: no limit "
        "(default: as Pillow, a warning above 89,478,485 pixels, refusal above 178,956,970)",
    )
    return parent


def output_options(old_swatches: str | None = None) -> argparse.ArgumentParser:
    """--format, --output and --swatches (dest "color"), which paints table swatches; `old_swatches` is a
    hidden former name of --swatches that scripts may still use."""
    parent = _parent()
    output = parent.add_argument_group("output")
    output.add_argument(
        "--format", choices=FORMATS,
        help="default: by the --output file's suffix (.html, .csv, .json, .jsonl, .txt), else table on a "
        "terminal and json otherwise",
    )
    output.add_argument("--output", "-o", metavar="FILE", help="write the results to FILE instead of stdout")
    output.add_argument(
        "--swatches",
        dest="color",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour swatches in the table (auto: when stdout is a terminal and NO_COLOR is unset)",
    )
    if old_swatches:  # after --swatches, whose default it must not shadow
        output.add_argument(old_swatches, dest="color", choices=("auto", "always", "never"), help=argparse.SUPPRESS)
    return parent


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """The checks every command shares: the mask file exists, --dask goes without --jobs, and an --output
    file's suffix names a format unless --format does."""
    if args.mask is not None and not per_image(args.mask) and not os.path.isfile(args.mask):
        parser.error(f"argument --mask: no such file: {args.mask}")
    if getattr(args, "dask", None) and (args.jobs > 1 or args.timeout is not None):
        parser.error("argument --dask: the cluster's workers do the work; --jobs and --timeout do not apply")
    output = getattr(args, "output", None)
    # A file without a suffix (/dev/stdout, a fifo) is written as JSON, as a pipe is.
    if output and not args.format and os.path.splitext(output)[1] and format_for_file(output) is None:
        *known, last = SUFFIXES
        parser.error(
            f"argument --output: no format is written to {os.path.splitext(output)[1]!r} files; name the file "
            f"{', '.join(known)} or {last}, or give --format"
        )


def settings_from(args: argparse.Namespace) -> ExtractorSettings:
    """The extractor settings the options ask for, the extractor's defaults for those not given (a
    command without clustering options, as matches, or a catalogue query that leaves them out)."""
    defaults = ExtractorSettings()
    n_colors = getattr(args, "n_colors", None)
    return ExtractorSettings(
        n_colors=defaults.n_colors if n_colors is None else n_colors,
        algorithm=getattr(args, "algorithm", None) or defaults.algorithm,
        preprocessing=not args.no_preprocessing,
        lab_space=not args.rgb,
        library_kmeans=getattr(args, "library_kmeans", False),
    )


# ---------------------------------------------------------------- images and where they are analysed


def image_paths(args: argparse.Namespace) -> list[str]:
    try:
        return expand_images(args.images, args.recursive)
    except ValueError as error:
        raise UsageError(str(error)) from None


def progress_for(args: argparse.Namespace, count: int) -> Progress:
    """The run's progress bar on stderr: with more than one image, on a terminal, unless --no-progress."""
    return Progress(count, sys.stderr, count > 1 and not args.no_progress and sys.stderr.isatty())


@contextlib.contextmanager
def batch_executor(args: argparse.Namespace, count: int) -> Iterator[tuple[Executor, int]]:
    """Where the images of a run are analysed, and how many calls may wait ahead: the Dask cluster of
    --dask, a process pool of --jobs workers, or this process."""
    if getattr(args, "dask", None):
        with dask_executor(args.dask) as running:
            yield running
    elif count == 0 or (not args.timeout and (args.jobs == 1 or count == 1)):
        yield InProcessExecutor(), 1
    else:
        # A worker that dies or overruns its time costs only the image it held.
        with RecoveringPool(min(args.jobs, count), timeout=worker_timeout(args.timeout)) as pool:
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
    if problem := scheduler_problem(address):
        raise UsageError(f"argument --dask: no Dask scheduler at {address}: {problem}")
    try:
        client: Any = Client(address, timeout="10s", set_as_default=False)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError, TypeError) as error:
        raise UsageError(f"argument --dask: cannot reach the cluster at {address}: {error}") from None
    with client:
        threads = sum(client.nthreads().values()) or 1
        yield client.get_executor(), 2 * threads


def pixel_budget(args: argparse.Namespace) -> int | Literal["pillow"] | None:
    """map_images' max_pixels for the command line's --max-pixels."""
    return PILLOW if args.max_pixels is None else args.max_pixels


# ---------------------------------------------------------------- output


def report_failure(path: str, error: str) -> None:
    sys.stderr.write(f"{PROG}: {shown(path)}: {shown(error)}\n")
    sys.stderr.flush()


@dataclass
class Written:
    """What a run's output holds: how many image records, how many of them failed, how many charts failed."""

    records: int = 0
    failed: int = 0
    charts_failed: int = 0
    ended: bool = False  # the output is a whole file: its end is written


def write_output(
    args: argparse.Namespace,
    argv: list[str] | None,
    kind: Kind,
    records: Iterable[Record],
    progress: Progress,
    *,
    targets: Mapping[str, RGB],
    thumbnail: Callable[[], Callable[[str], str]],
    query: str | None = None,
) -> Written:
    """Writes the records in the format the command line asks for, to stdout or --output. `thumbnail`
    makes the report's preview function, for HTML only; `query` is the image a query was made with.

    On Ctrl-C the output is ended as a whole file of the records written so far (a record is written
    whole or not at all), and Interrupted says how many there are and where."""
    fmt = args.format or (args.output and format_for_file(args.output)) or (
        "table" if not args.output and sys.stdout.isatty() else "json"
    )
    written = Written()
    with contextlib.ExitStack() as files:
        try:
            out = files.enter_context(destination(args.output, lambda: written.ended))
        except OSError as error:
            raise UsageError(f"argument --output: {error.strerror}: {args.output}") from None
        settings = Settings(
            targets=targets,
            colour=fmt == "table" and use_colour(args.color, out, os.environ),
            title=f"{PROG} {args.command}",
            subtitle=shlex.join([PROG, *(sys.argv[1:] if argv is None else argv)]),
            preview=thumbnail() if fmt == "html" else None,
            query=query,
        )
        try:
            _write_all(WRITERS[fmt](kind, out, settings), records, progress, written)
        except KeyboardInterrupt:
            raise Interrupted(
                f"{written.records} of {progress.total} images done, their results written whole to "
                f"{args.output or 'stdout'}"
            ) from None
        return written


def _write_all(writer: Writer, records: Iterable[Record], progress: Progress, written: Written) -> None:
    """Writes every record as it arrives, in input order, and counts them in `written`; ends the output
    when the records end or Ctrl-C stops them."""
    with held_interrupt():
        writer.begin()
    progress.draw()
    try:
        for record in records:
            progress.clear()
            if "error" in record:
                written.failed += 1
                report_failure(record["path"], f"{record['error']['type']}: {record['error']['message']}")
            if "chart_error" in record:
                written.charts_failed += 1
                failure = record["chart_error"]
                report_failure(record["path"], f"chart not written: {failure['type']}: {failure['message']}")
            with held_interrupt():
                writer.write(record)
                writer.out.flush()
                written.records += 1
            progress.advance(record["path"])
    except KeyboardInterrupt:
        progress.clear()
        _end(writer, written)
        raise
    progress.clear()
    _end(writer, written)


def _end(writer: Writer, written: Written) -> None:
    with held_interrupt():
        writer.end()
        writer.out.flush()
        written.ended = True
