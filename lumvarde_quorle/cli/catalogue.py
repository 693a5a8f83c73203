"""The catalogue commands of the command-line tool.

    lumvarde-quorle index photos/ --db photos.db --n-colors 6 --jobs 2 --prune
    lumvarde-quorle search --db photos.db --color '#87ceeb' --color white --tolerance 10 --min-share 5
    lumvarde-quorle similar --db photos.db photos/beach.jpg --limit 5 --output similar.html
    lumvarde-quorle check --db photos.db

index writes the catalogue file, in this process only (with --dask the cluster analyses the images and
sends back their colours); search and similar read it and write their results as the other commands do.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING

from ..catalogue import DEFAULT_MIN_SHARE, DEFAULT_TOLERANCE, Catalogue, CatalogueError
from ..names import hex_rgb
from ..results import RGB
from .common import (
    PROG, Command, Interrupted, UsageError, add_settings_options, batch_executor, batch_options, budget_options,
    check_arguments, clustering_options, colour, finite_float, image_paths, inputs_options, output_options,
    pixel_budget, positive_int, preview, progress_for, report_failure, settings_from, write_output,
)
from .files import failure_text, roots
from .records import KINDS, Kind, Record
from .terminal import Progress, shown

if TYPE_CHECKING:
    from ..color_extractor_cy import ColorExtractor

__all__ = ["COMMANDS", "add_commands"]

def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> list[argparse.ArgumentParser]:
    database = argparse.ArgumentParser(add_help=False)
    database.add_argument("--db", required=True, metavar="FILE", help="the catalogue file (SQLite)")

    index = commands.add_parser(
        "index", parents=[inputs_options(), clustering_options(), batch_options(), budget_options(), database],
        help="store the images' colours in a catalogue",
        description="Analyses the images and stores each one's dominant colours in the catalogue file, made "
        "when missing. Unchanged images already indexed with the same settings are skipped; images that "
        "failed are tried again.",
    )
    index.add_argument(
        "--prune", action="store_true",
        help="remove the catalogue's images whose files are gone from below the IMAGE arguments (a folder or "
        "pattern that is itself missing, say unmounted, removes nothing)",
    )

    # Which indexed images a query looks at: without any of these, the catalogue's only settings.
    selection = argparse.ArgumentParser(add_help=False)
    chosen = selection.add_argument_group(
        "settings", "the images to look at: those indexed with these settings (default: the catalogue's only "
        "settings; the extractor's defaults for any not given)",
    )
    chosen.add_argument("--n-colors", type=positive_int, metavar="N", help="as indexed with --n-colors N")
    chosen.add_argument("--algorithm", choices=("kmeans", "dbscan"), help="as indexed with --algorithm")
    add_settings_options(chosen)
    chosen.add_argument("--all-settings", action="store_true", help="look at images indexed with any settings")
    limit = argparse.ArgumentParser(add_help=False)
    limit.add_argument("--limit", type=positive_int, default=20, metavar="N", help="at most N images (default 20)")
    outputs = output_options()

    search = commands.add_parser(
        "search", parents=[database, selection, limit, budget_options(), outputs], help="images that hold colours",
        description="The images in which every query colour covers at least --min-share percent of the pixels "
        "within --tolerance of it (CIEDE2000, the colour difference as people see it), ranked by that share "
        "(the least over the query colours). Each hit gives the share per query colour and the palette colour "
        "nearest to it.",
    )
    search.add_argument(
        "--color", dest="colors", action="append", required=True, type=colour, metavar="COLOUR",
        help="#rrggbb, R,G,B or a CSS colour name; repeat for images that hold every one",
    )
    search.add_argument(
        "--tolerance", type=finite_float, default=DEFAULT_TOLERANCE, metavar="DE",
        help=f"largest CIEDE2000 difference of a pixel that counts as the colour (default {DEFAULT_TOLERANCE:g}; "
        "about 1 is the least difference people see, 2 to 5 a close match)",
    )
    search.add_argument(
        "--min-share", type=finite_float, default=DEFAULT_MIN_SHARE, metavar="P",
        help=f"least percent of the pixels each query colour must cover (default {DEFAULT_MIN_SHARE:g})",
    )
    search.add_argument("--max-distance", type=_retired_max_distance, help=argparse.SUPPRESS)

    similar = commands.add_parser(
        "similar", parents=[database, selection, limit, budget_options(), outputs],
        help="images with the most alike colours",
        description="The images holding the same colours in the same amounts as the image, most alike first. "
        "The distance is the percent of an image's colour that finds no match in the query image's (0: alike, "
        "100: nothing in common). The image need not be in the catalogue.",
    )
    similar.add_argument("image", metavar="IMAGE", help="the image whose palette to match")

    check = commands.add_parser(
        "check", parents=[database], help="say what is wrong with a catalogue",
        description="Checks the catalogue file (SQLite's integrity and reference checks) and every indexed "
        "image's stored colours; prints one line per problem. Exit status 1 when there is any.",
    )
    return [index, search, similar, check]


def _retired_max_distance(text: str) -> float:
    raise argparse.ArgumentTypeError(
        "search no longer takes --max-distance (a distance between palette colours): it counts the pixels "
        "within --tolerance, a CIEDE2000 colour difference (default 10)"
    )


def _open(args: argparse.Namespace, create: bool = False) -> Catalogue:
    try:
        return Catalogue(args.db, create=create)
    except CatalogueError as error:
        if error.fault:
            raise
        raise UsageError(f"argument --db: {error}") from None


def _answered(run: Callable[[argparse.Namespace, list[str] | None], int]) -> Callable[..., int]:
    """A command whose catalogue errors end it: a request it cannot answer is a usage error; storage that
    fails it (locked past the timeout, read-only, full, unreadable) is one line and status 1, every change
    before it committed or rolled back whole."""

    def answered(args: argparse.Namespace, argv: list[str] | None) -> int:
        try:
            return run(args, argv)
        except CatalogueError as error:
            if not error.fault:
                raise UsageError(str(error)) from None
            print(f"{PROG}: {error}", file=sys.stderr)
            return 1

    return answered


def _selection(args: argparse.Namespace) -> ColorExtractor | None:
    """The extractor whose images a query looks at; None when no setting was given, for the catalogue's
    only settings."""
    given = args.n_colors is not None or args.algorithm is not None or args.no_preprocessing or args.rgb
    return settings_from(args).extractor() if given else None


def run_index(args: argparse.Namespace, argv: list[str] | None) -> int:
    paths = image_paths(args)
    extractor = settings_from(args).extractor()
    progress = progress_for(args, len(paths))

    def settled(path: str, status: str, error: BaseException | None) -> None:
        progress.clear()
        if error is not None:
            report_failure(path, f"{type(error).__name__}: {failure_text(error)}")
        if status != "removed":
            progress.advance(path)

    # The executor first: a run that cannot reach its cluster creates no catalogue file.
    with batch_executor(args, len(paths)) as (executor, max_pending), _open(args, create=True) as catalogue:
        progress.draw()
        try:
            summary = catalogue.index(
                paths, extractor, mask=args.mask, executor=executor, prune=roots(args.images) if args.prune else False,
                on_result=settled, max_pending=max_pending, max_pixels=pixel_budget(args),
            )
        except KeyboardInterrupt:
            # Every image is committed as it is settled: the next run skips those and goes on.
            raise Interrupted(
                f"{progress.done} of {len(paths)} images done and committed to {args.db}; the next index goes on "
                "from there"
            ) from None
        finally:
            progress.clear()
    removed = f", {summary.removed} removed" if args.prune else ""
    if summary.duplicates:
        noun = "path" if summary.duplicates == 1 else "paths"
        removed += f", {summary.duplicates} {noun} to files already taken passed over (each kept under its first path)"
    print(
        f"{shown(args.db)}: {summary.indexed} indexed, {summary.unchanged} unchanged, {summary.failed} failed{removed} "
        f"({summary.profile.describe()})"
    )
    if summary.failed:
        print(f"{PROG}: {summary.failed} of {summary.indexed + summary.failed} images failed", file=sys.stderr)
        return 1
    return 0


def run_search(args: argparse.Namespace, argv: list[str] | None) -> int:
    queries = {hex_rgb(rgb): rgb for rgb in args.colors}
    extractor = _selection(args)
    with _open(args) as catalogue:
        try:
            hits = catalogue.search(
                queries, tolerance=args.tolerance, min_share=args.min_share, limit=args.limit,
                extractor=extractor, mask=args.mask, all_settings=args.all_settings,
            )
        except ValueError as error:
            raise UsageError(str(error)) from None
    kind = KINDS["search"]
    records = [
        kind.record(hit["path"], hit["colors"], share=hit["share"], queries=hit["queries"], nearest=hit["nearest"],
                    settings=hit["settings"])
        for hit in hits
    ]
    return _write(args, argv, kind, records, queries)


def run_similar(args: argparse.Namespace, argv: list[str] | None) -> int:
    extractor = _selection(args)
    with _open(args) as catalogue:
        try:
            hits = catalogue.similar(
                args.image, limit=args.limit, extractor=extractor, mask=args.mask, all_settings=args.all_settings,
                max_pixels=pixel_budget(args),
            )
        except (OSError, ValueError, MemoryError) as error:  # the query image could not be analysed
            report_failure(args.image, f"{type(error).__name__}: {failure_text(error)}")
            return 1
    kind = KINDS["similar"]
    records = [
        kind.record(hit["path"], hit["colors"], distance=hit["distance"], settings=hit["settings"]) for hit in hits
    ]
    return _write(args, argv, kind, records, {}, query=args.image)


def _write(
    args: argparse.Namespace, argv: list[str] | None, kind: Kind, records: list[Record], queries: Mapping[str, RGB],
    query: str | None = None,
) -> int:
    """The hits in the output format; the report's thumbnails show each image as it was analysed, and
    the query image, if any, with the query's mask."""
    masks = {record["path"]: record["settings"]["mask"] for record in records}
    if query is not None:
        masks.setdefault(query, args.mask)
    thumbnails: dict[str | None, Callable[[str], str]] = {}

    def thumbnail(path: str) -> str:
        mask = masks.get(path)
        if mask not in thumbnails:
            thumbnails[mask] = preview(mask, pixel_budget(args))
        return thumbnails[mask](path)

    write_output(
        args, argv, kind, records, Progress(len(records), sys.stderr, False), targets=queries,
        thumbnail=lambda: thumbnail, query=query,
    )
    if not records:
        print(f"{PROG}: no images found", file=sys.stderr)
    return 0


def run_check(args: argparse.Namespace, argv: list[str] | None) -> int:
    try:
        with Catalogue(args.db) as catalogue:
            problems = catalogue.check()
            entries = len(catalogue)
    except CatalogueError as error:  # a file past opening is a finding too
        problems, entries = [str(error).removeprefix(f"{args.db}: ")], 0
    for problem in problems:
        print(f"{args.db}: {problem}")
    if problems:
        return 1
    print(f"{args.db}: no problems found ({entries} entries)")
    return 0


COMMANDS = {
    "index": Command(_answered(run_index), check_arguments),
    "search": Command(_answered(run_search), check_arguments),
    "similar": Command(_answered(run_similar), check_arguments),
    "check": Command(run_check, lambda parser, args: None),
}
