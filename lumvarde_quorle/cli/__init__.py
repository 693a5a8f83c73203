"""The `lumvarde-quorle` command: dominant colours, target colour shares and pixel matches for images, and
the colour catalogue.

    lumvarde-quorle extract photos/ --n-colors 5 --chart charts/palette.png
    lumvarde-quorle target-shares 'shots/*.jpg' --target red=255,0,0 --target sky=skyblue
    lumvarde-quorle matches photo.png --target white=#ffffff --format csv
    lumvarde-quorle index photos/ --db photos.db

Results go to stdout or to the --output file (a table with colour swatches on a terminal, JSON
otherwise; also JSON lines, CSV or an HTML report); failures and the progress bar go to stderr.
Exit status: 0 when every image succeeded, 1 when any failed, 2 for bad usage.

The commands live in `analyse` and `catalogue`, what they share in `common`, the output in `records`,
`writers`, `report`, `terminal` and `formats`.
"""

from __future__ import annotations

import argparse
import os
import sys
import warnings

from .. import __version__
from . import analyse, catalogue
from .common import PROG, Command, Interrupted, UsageError
from .terminal import shown

__all__ = ["build_parser", "main", "run"]

COMMANDS: dict[str, Command] = {**analyse.COMMANDS, **catalogue.COMMANDS}


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Dominant colours, target colour shares and pixel matches for images.",
        epilog="IMAGE may be a file, a directory (its image files) or a glob pattern such as "
        "'photos/**/*.jpg'. Exit status: 0 all images succeeded, 1 some failed, 2 bad usage.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for command in (*analyse.add_commands(commands), *catalogue.add_commands(commands)):
        command.set_defaults(command_parser=command)  # errors found after parsing show its usage
    return parser


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    command_parser: argparse.ArgumentParser = args.command_parser
    command = COMMANDS[args.command]
    command.check(command_parser, args)

    # Charts are files only: no window, in this process and in any worker it starts.
    os.environ["MPLBACKEND"] = "Agg"
    # The tool reports unreadable images itself; OpenCV's own warning would only repeat it.
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    import matplotlib

    matplotlib.use("Agg")

    try:
        return command.run(args, argv)
    except UsageError as error:
        command_parser.error(shown(str(error)))
    except KeyboardInterrupt as error:
        # Interrupted says what was done and where it is; a bare Ctrl-C came before anything was.
        said = f": {shown(str(error))}" if isinstance(error, Interrupted) else ""
        print(f"{PROG}: interrupted{said}", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, without a second error at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def run() -> None:
    """Console-script entry."""
    # Warnings (an image above Pillow's pixel limit) read as the tool's other messages.
    warnings.formatwarning = lambda message, *_, **__: f"{PROG}: warning: {message}\n"
    sys.exit(main())
