"""The `serve` command: the catalogue in the browser.

    lumvarde-quorle serve --db photos.db [--host 127.0.0.1] [--port 8765]

It needs the optional extra (pip install 'lumvarde_quorle[serve]'); without it the command says so.
"""

from __future__ import annotations

import argparse
import ipaddress
import socket
import sys

from ..catalogue import Catalogue, CatalogueError
from .common import PROG, Command, UsageError, budget_options, pixel_budget
from .terminal import shown

__all__ = ["COMMANDS", "add_commands"]

DEFAULT_PORT = 8765
_EXTRA = "pip install 'lumvarde_quorle[serve]'"


def add_commands(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> list[argparse.ArgumentParser]:
    serve = commands.add_parser(
        "serve", parents=[budget_options()], help="browse a catalogue by colour in the browser",
        description="Serves a web application on the catalogue: a search by colour, a page per image with its "
        "palette, colour distribution and most similar images, and a page of the catalogue's settings and "
        f"failures. It only reads the catalogue; `index` may run beside it. Needs: {_EXTRA}.",
    )
    serve.add_argument("--db", required=True, metavar="FILE", help="the catalogue file (SQLite)")
    serve.add_argument(
        "--host", default="127.0.0.1",
        help="the address to listen on (default 127.0.0.1, this machine only; another has no authentication)",
    )
    serve.add_argument("--port", type=_port, default=DEFAULT_PORT, help=f"default {DEFAULT_PORT}; 0: any free port")
    serve.add_argument(
        "--cache", metavar="DIR",
        help="where thumbnails are kept (default: $XDG_CACHE_HOME or ~/.cache, lumvarde_quorle/thumbnails/<id>)",
    )
    serve.add_argument(
        "--cache-size", type=_mebibytes, metavar="MIB",
        help="megabytes (MiB) of pictures kept in the cache, the least recently seen dropped first (default 1024, "
        "that is 1 GiB); 0: none kept, each made when asked for",
    )
    return [serve]


def _port(text: str) -> int:
    if not text.isascii() or not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"not a port number (0 to 65535): {text!r}")
    return int(text)


def _mebibytes(text: str) -> int:
    if not text.isascii() or not text.isdigit() or len(text) > 9:
        raise argparse.ArgumentTypeError(f"not a size in MiB (a whole number, 0 for no cache): {text!r}")
    return int(text)


def loopback(host: str) -> bool:
    """Whether every address `host` names is this machine's loopback."""
    try:
        found = {str(info[4][0]) for info in socket.getaddrinfo(host, None, proto=socket.IPPROTO_TCP)}
    except (OSError, UnicodeError):
        return False
    return bool(found) and all(ipaddress.ip_address(address.split("%")[0]).is_loopback for address in found)


def run_serve(args: argparse.Namespace, argv: list[str] | None) -> int:
    try:
        from ..web import create_app, make_server
        from ..web.cache import DEFAULT_LIMIT
    except ImportError as error:
        raise UsageError(f"serve needs the optional extra ({error.name} is not installed): {_EXTRA}") from None
    try:
        Catalogue(args.db).close()
    except CatalogueError as error:
        raise UsageError(f"argument --db: {error}") from None
    local = loopback(args.host)
    if not local:
        print(
            f"{PROG}: warning: serving on {shown(args.host)}, beyond this machine, without authentication: anyone "
            "who can reach it can browse the catalogue and see its images",
            file=sys.stderr,
        )
    size = DEFAULT_LIMIT if args.cache_size is None else args.cache_size << 20
    app = create_app(args.db, cache=args.cache, cache_size=size, max_pixels=pixel_budget(args),
                     loopback=args.host if local else None)
    try:
        server = make_server(app, args.host, args.port)
    except OSError as error:
        raise UsageError(f"cannot listen on {args.host} port {args.port}: {error.strerror or error}") from None
    name = f"[{args.host}]" if ":" in args.host else args.host
    print(f"{shown(args.db)}: serving at http://{name}:{server.effective_port}/ (Ctrl-C stops)", flush=True)
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return 0


COMMANDS = {"serve": Command(run_serve, lambda parser, args: None)}
