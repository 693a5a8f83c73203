"""The analysis commands: extract, target-shares and matches, each one extractor method run on every image.

    lumvarde-quorle extract photos/ --n-colors 5 --chart charts/palette.png
    lumvarde-quorle target-shares 'shots/*.jpg' --target red=255,0,0 --target sky=skyblue
    lumvarde-quorle matches photo.png --target white=#ffffff --format csv
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any

from ..batch import map_images
from ..settings import bind_mask
from .common import (
    PROG, Command, UsageError, batch_executor, batch_options, budget_options, check_arguments, clustering_options,
    finite_float, image_paths, inputs_options, output_options, parse_target, pixel_budget, preview, progress_for,
    settings_from, write_output,
)
from .files import failure_record
from .records import KINDS, Record

__all__ = ["COMMANDS", "add_commands", "chart_paths"]


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> list[argparse.ArgumentParser]:
    # --color was the swatch option here before search took it for its query colour.
    shared = [inputs_options(), output_options("--color"), batch_options(), budget_options()]
    clustering = clustering_options()
    targets = argparse.ArgumentParser(add_help=False)
    targets.add_argument(
        "--target",
        dest="targets",
        action="append",
        required=True,
        type=parse_target,
        metavar="NAME=COLOUR",
        help="a named target colour, COLOUR as #rrggbb, R,G,B or a CSS colour name (sky=#87ceeb, sky=skyblue); "
        "repeat for several",
    )

    extract = commands.add_parser(
        "extract", parents=[*shared, clustering], help="dominant colours and their shares",
        description="Dominant colours of each image with their share of the analysed pixels.",
    )
    extract.add_argument(
        "--chart", metavar="OUT.png",
        help="save a colour chart; with several images one file per image, named OUT-<image name>.png (the "
        "folder is made when missing)",
    )
    target_shares = commands.add_parser(
        "target-shares", parents=[*shared, clustering, targets], help="share of each target colour",
        description="Credits each target colour with the share of its nearest dominant colour, "
        "scaled down linearly with the LAB distance up to the threshold.",
    )
    # Its former name, too like the catalogue's `similar`, still runs it, unlisted; results name it anew.
    commands._name_parser_map["similarity"] = target_shares
    target_shares.set_defaults(command="target-shares")
    target_shares.add_argument(
        "--threshold", type=finite_float, default=50.0, metavar="T",
        help="largest LAB distance at which a target still counts (default 50)",
    )
    matches = commands.add_parser(
        "matches", parents=[*shared, targets], help="pixel-level match report per target colour",
        description="Per target colour: the shares of pixels within LAB distance 15, 30 and 50, "
        "the nearest pixel and a similarity score, measured on every pixel.",
    )
    return [extract, target_shares, matches]


def _check(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if getattr(args, "targets", None):
        names = [name for name, _ in args.targets]
        if duplicates := sorted({name for name in names if names.count(name) > 1}):
            parser.error(f"argument --target: name given more than once: {', '.join(duplicates)}")
    check_arguments(parser, args)
    if getattr(args, "chart", None):
        from matplotlib.backend_bases import FigureCanvasBase

        suffix = Path(args.chart).suffix.lower().lstrip(".")
        if suffix not in FigureCanvasBase.get_supported_filetypes():
            parser.error(f"argument --chart: unsupported chart format {suffix or '(none)'!r}; use e.g. OUT.png")


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


def _options(args: argparse.Namespace) -> dict[str, Any]:
    """The further arguments of the command's extractor method, besides the image and its mask."""
    if args.command == "target-shares":
        return {"target_colors": dict(args.targets), "similarity_threshold": args.threshold}
    if args.command == "matches":
        return {"target_colors": dict(args.targets)}
    return {}


def _chart_folder(template: str) -> None:
    """Makes the charts' folder before any image is analysed, so that a run does not analyse every image
    only to lose each chart. Made rather than refused: the charts are the run's own files, as many as
    the images, and a folder for them is what a user naming one means."""
    folder = os.path.dirname(template) or "."
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise UsageError(f"argument --chart: cannot make the folder {folder}: {error.strerror}") from None
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UsageError(f"argument --chart: cannot write to the folder {folder}")


def _draw_charts(records: Iterable[Record], charts: list[str], visualize: Callable[..., Any]) -> Iterator[Record]:
    """Saves each extraction's chart in this process, where pyplot runs on Agg. A chart that cannot be
    written leaves the image's colours, with "chart": null and the chart's failure as "chart_error".
    No colours, no chart ("chart": null)."""
    import matplotlib.pyplot as plt

    for record, chart in zip(records, charts):
        if "error" not in record:
            try:
                visualize(record["colors"], chart)
                record["chart"] = chart if record["colors"] else None
            except Exception as error:
                record["chart"] = None
                record["chart_error"] = {"type": type(error).__name__, "message": str(error)}
            finally:
                plt.close("all")  # the chart method leaves its figure registered
        yield record


def _run(args: argparse.Namespace, argv: list[str] | None) -> int:
    """Every image analysed, the results written as they arrive."""
    paths = image_paths(args)
    if getattr(args, "chart", None):
        _chart_folder(args.chart)
    kind = KINDS[args.command]
    # The extractor is made (and the libraries loaded) where each call runs, on first use, so that a run
    # whose images all fail before analysis, as images above the pixel budget do, ends at once.
    settings = settings_from(args)
    operation = bind_mask(settings.method(str(kind.method)), args.mask)
    progress = progress_for(args, len(paths))
    with batch_executor(args, len(paths)) as (executor, max_pending):
        results = map_images(
            operation, paths, executor=executor, max_pending=max_pending, max_pixels=pixel_budget(args),
            **_options(args),
        )
        records: Iterable[Record] = (
            kind.record(result.path, result.value) if result.error is None
            else failure_record(result.path, result.error)
            for result in results
        )
        if args.command == "extract" and args.chart:
            records = _draw_charts(records, chart_paths(args.chart, paths), settings.method("visualize_colors"))
        written = write_output(
            args, argv, kind, records, progress,
            targets=dict(getattr(args, "targets", None) or ()),
            thumbnail=lambda: preview(args.mask, pixel_budget(args)),
        )
    if written.failed:
        print(f"{PROG}: {written.failed} of {len(paths)} images failed", file=sys.stderr)
    if written.charts_failed:
        print(
            f"{PROG}: {written.charts_failed} of {len(paths)} charts not written (the images' colours are in the "
            "results)", file=sys.stderr,
        )
    return 1 if written.failed or written.charts_failed else 0


COMMANDS = {name: Command(_run, _check) for name in ("extract", "target-shares", "matches")}
