"""Refusing to start worker processes from a script's unguarded top level.

A worker process started by forkserver or spawn imports the main script again before it runs anything.
A script that calls the batch at its top level, outside ``if __name__ == "__main__":``, would start the
batch again in every worker, each failing with multiprocessing's bootstrapping error and leaking its
semaphores. `check_main_guarded` finds that case in the parent, before any process starts, and raises one
error that says what to write.
"""

from __future__ import annotations

import ast
import sys
from types import FrameType

__all__ = ["UnguardedMainError", "check_main_guarded"]

# Names whose test in an `if` keeps a block out of the workers' import of the script.
_GUARD_NAMES = frozenset({"__name__", "parent_process", "current_process"})


class UnguardedMainError(RuntimeError):
    """Worker processes were asked for from the top level of a script that has no __main__ guard."""


def check_main_guarded(what: str) -> None:
    """Raises UnguardedMainError when `what` (the call starting worker processes) runs at the top level of
    the main script outside an ``if __name__ == "__main__":`` block; does nothing where that cannot be
    told (no script, interactive, source not readable)."""
    main = sys.modules.get("__main__")
    path = getattr(main, "__file__", None)
    if main is None or not isinstance(path, str):
        return  # -c, stdin, an interactive session: the workers import nothing of it
    frame = _top_level_frame(vars(main))
    if frame is None:
        return  # the script's top level has finished: the call comes from a later callback
    try:
        with open(path, encoding="utf-8") as source:
            tree = ast.parse(source.read(), path)
    except (OSError, SyntaxError, ValueError):
        return
    line = frame.f_lineno
    if _guarded(tree.body, line):
        return
    raise UnguardedMainError(
        f"{what} starts worker processes, and was called at the top level of the script {path} (line {line}) "
        f"without `if __name__ == \"__main__\":`. Each worker process imports the script again and would run "
        f"the call again. Put the script's calls under `if __name__ == \"__main__\":`, or use threads (the "
        f"default, without processes=True)."
    )


def _top_level_frame(main_globals: dict[str, object]) -> FrameType | None:
    frame: FrameType | None = sys._getframe(1)
    while frame is not None:
        if frame.f_globals is main_globals and frame.f_code.co_name == "<module>":
            return frame
        frame = frame.f_back
    return None


def _guarded(body: list[ast.stmt], line: int) -> bool:
    """Whether `line`, in the statements `body`, lies in an `if` whose test names the process (a guard)."""
    for statement in body:
        end = statement.end_lineno or statement.lineno
        if not statement.lineno <= line <= end:
            continue
        if isinstance(statement, ast.If) and _names_process(statement.test):
            # Its body is what the guard keeps from the workers; its else branch runs in them.
            return line <= (statement.body[-1].end_lineno or line)
        nested = [child for field in ("body", "orelse", "finalbody", "handlers") for child in
                  getattr(statement, field, [])]
        return _guarded([child for child in nested if isinstance(child, ast.stmt)], line) or any(
            _guarded(handler.body, line) for handler in nested if isinstance(handler, ast.ExceptHandler))
    return False


def _names_process(test: ast.expr) -> bool:
    return any(
        (isinstance(node, ast.Name) and node.id in _GUARD_NAMES)
        or (isinstance(node, ast.Attribute) and node.attr in _GUARD_NAMES)
        for node in ast.walk(test)
    )
