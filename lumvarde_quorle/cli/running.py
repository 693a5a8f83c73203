"""Where a run's images are analysed, the parts that do not need the command line's other helpers: this
process's executor, the time limit per image of --jobs (with the number converters), and the check that
--dask names a Dask scheduler before a client is made (a client waits long, or tries to allocate what a
stranger's first bytes say)."""

from __future__ import annotations

import argparse
import math
import socket
import struct
from collections.abc import Callable
from concurrent.futures import Executor, Future
from typing import Any, TypeVar

__all__ = ["DEFAULT_TIMEOUT", "InProcessExecutor", "finite_float", "scheduler_problem", "seconds", "worker_timeout"]

T = TypeVar("T")

# Ten times what the slowest image within the default pixel budget takes with the native K-means: a
# limit for the hung, not the slow.
DEFAULT_TIMEOUT = 600.0

# How long a scheduler's address may take to connect and send its greeting.
PROBE_SECONDS = 5.0
# A Dask scheduler greets a new connection with a small message: its length (8 bytes), then the count of
# its frames (8 bytes).
_GREETING = struct.Struct("<QQ")
_LARGEST_GREETING = 1 << 20
_DASK_PORT = 8786


class InProcessExecutor(Executor):
    """Runs each call at submission, in this process: --jobs 1 without pickling or pool start-up."""

    def submit(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any) -> Future[T]:
        future: Future[T] = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future


def finite_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r}: expected a finite number")
    return value


def seconds(text: str) -> float:
    """--timeout: a number of seconds, 0 for no limit."""
    if finite_float(text) < 0:
        raise argparse.ArgumentTypeError(f"{text!r}: expected a number of seconds, or 0 for no limit")
    return float(text)


def worker_timeout(given: float | None) -> float | None:
    """The time limit per image in worker processes: --timeout, its default when not given, None for 0."""
    return DEFAULT_TIMEOUT if given is None else given or None


def scheduler_problem(address: str) -> str | None:
    """Why the plain TCP address (tcp://host:port, host:port or host) is not a Dask scheduler's, or None
    when it greets as one does. Other transports (tls://, ws://, ...) are left to the client."""
    from distributed.comm import parse_address, parse_host_port  # type: ignore[import-untyped]

    wait = PROBE_SECONDS

    try:
        scheme, location = parse_address(address)
        if scheme != "tcp":
            return None
        host, port = parse_host_port(location, _DASK_PORT)
    except (ValueError, TypeError) as error:
        return f"not an address: {error}"
    try:
        connection = socket.create_connection((host, port), timeout=wait)
    except TimeoutError:
        return f"no connection within {wait:g} s"
    except OSError as error:
        return error.strerror or str(error)
    try:
        with connection:
            greeting = _receive(connection, _GREETING.size)
    except TimeoutError:
        return f"what answers sent no Dask greeting within {wait:g} s"
    except OSError as error:
        return error.strerror or str(error)
    if len(greeting) < _GREETING.size:
        return "the connection closed without a greeting"
    length, frames = _GREETING.unpack(greeting)
    if not (_GREETING.size <= length <= _LARGEST_GREETING and 1 <= frames <= 64):
        return f"what answers is not a Dask scheduler (it began {greeting[:8]!r})"
    return None


def _receive(connection: socket.socket, size: int) -> bytes:
    received = b""
    while len(received) < size:
        more = connection.recv(size - len(received))
        if not more:
            break
        received += more
    return received
