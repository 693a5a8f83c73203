"""Browsing a colour catalogue in the browser: a small web application on one catalogue file.

    from lumvarde_quorle.web import create_app, make_server

    server = make_server(create_app("photos.db"), "127.0.0.1", 8765)
    server.run()

Needs the optional extra: pip install 'lumvarde_quorle[serve]' (Flask, and waitress to serve it).
"""

from __future__ import annotations

from typing import Any

from .app import create_app

__all__ = ["THREADS", "create_app", "make_server", "stop"]

# Requests answered at once; further connections wait their turn in the server's queue, so memory stays
# bounded however many arrive. Searches spend most of their time in native code without the GIL.
THREADS = 4
# Open connections held at once, beyond which new ones wait in the listen backlog.
CONNECTIONS = 100


def make_server(app: Any, host: str, port: int, threads: int = THREADS) -> Any:
    """A waitress server of `app` bound to (host, port; 0: a free port, `effective_port` says which), not yet
    running: `run()` serves until `close()`."""
    import logging

    from waitress.server import create_server  # type: ignore[import-untyped]

    # Requests waiting for a thread are the bound working as meant, not something to warn of on each one.
    logging.getLogger("waitress.queue").setLevel(logging.ERROR)

    return create_server(
        app, host=host, port=port, threads=threads, connection_limit=CONNECTIONS, channel_timeout=60,
        ident="lumvarde-quorle", clear_untrusted_proxy_headers=True,
    )


def stop(server: Any) -> None:
    """Ends a server's `run()` from another thread. The server's own loop closes its sockets, as closing them
    under its feet while it waits on them fails in that loop."""
    from waitress import wasyncore  # type: ignore[import-untyped]

    def close_all() -> None:
        server.task_dispatcher.shutdown()
        wasyncore.close_all(server._map)  # an empty map ends the loop

    server.trigger.pull_trigger(close_all)
