"""Run one extractor operation over many images, on threads, in worker processes or on a cluster.

    from functools import partial
    from lumvarde_quorle import ColorExtractor
    from lumvarde_quorle.batch import map_images

    extractor = ColorExtractor(n_colors=4)
    for result in map_images(extractor.extract_colors, ["a.jpg", "b.jpg"]):
        print(result.path, result.value if result.ok else result.error)

Any `concurrent.futures.Executor` runs the calls; without one, a pool of threads (one per core) is made
for the duration of the iteration: the native work releases the GIL, so threads share the cores as well
as processes do, start at once and need no `if __name__ == "__main__":` in a script. `processes=True`
runs them on a `RecoveringPool` instead (one worker process per core, replaced when one of its workers
dies), where a crash or out-of-memory kill fails one image rather than the whole program. The operation
is sent to worker processes by pickling, so it must then be picklable: a bound method of a
`ColorExtractor` is (the extractor pickles its settings), and so is a `functools.partial` of one or a
module-level function. A `dask.distributed` cluster is used through its client's executor:
`map_images(op, paths, executor=client.get_executor())`.

Every image is held to a pixel budget read from its file's header before it is decoded (`max_pixels`):
by default Pillow's, so that a small file that decodes to billions of pixels fails on its own.
"""

from __future__ import annotations

import functools
import os
import warnings
from collections import deque
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Executor, Future, ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any, Generic, Literal, TypeVar, cast

from .budget import PILLOW, batch_limit, check_image_size, image_size, max_pixels_budget
from .checks import whole_number
from .pool import RecoveringPool, process_pool

__all__ = ["PILLOW", "BatchResult", "RecoveringPool", "map_images", "process_pool"]

T = TypeVar("T")



@dataclass(frozen=True)
class BatchResult(Generic[T]):
    """The outcome for one image: `value` when the operation returned, `error` when it raised."""

    path: str
    value: T | None = None
    error: BaseException | None = None

    @property
    def ok(self) -> bool:
        return self.error is None


def map_images(
    operation: Callable[..., T],
    paths: Iterable[str | os.PathLike[str]],
    /,
    *args: Any,
    executor: Executor | None = None,
    max_pending: int | None = None,
    max_pixels: int | Literal["pillow"] | None = PILLOW,
    workers: int | None = None,
    processes: bool = False,
    timeout: float | None = None,
    **kwargs: Any,
) -> Iterator[BatchResult[T]]:
    """Calls ``operation(path, *args, **kwargs)`` for every path and yields the results in input order.

    Args:
        operation: picklable callable taking the image path first, e.g. ``extractor.extract_colors``.
        paths: image file paths; path objects are passed on as strings, the form the extractor loads.
        executor: runs the calls; by default a pool of `workers` threads, or with `processes` a
            `RecoveringPool`, shut down when the iteration ends.
        max_pending: how many calls are submitted ahead of the one being waited for (default: four
            per worker of a default pool, else 32), so that a long path list is not queued at once.
        max_pixels: the pixel budget. Each file's size is read from its header (by Pillow, without
            decoding) where the call runs, before the operation; an image above the budget fails with
            `lumvarde_quorle.budget.ImageTooLargeError` and is never decoded. The extractors' own
            loading honours it too, during the call, for files whose header Pillow cannot read (those
            are checked once decoded, before they are analysed). ``"pillow"`` (the default) follows
            Pillow's ``Image.MAX_IMAGE_PIXELS`` as it is when map_images is called: a
            ``PIL.Image.DecompressionBombWarning`` above it, refusal above twice it; with Pillow's
            default, a warning above 89,478,485 pixels and refusal above 178,956,970. A number is a
            hard limit, without the warning; 0 or None: no limit.
        workers: threads or worker processes of the default pool (default: one per core).
        processes: the default pool is a `RecoveringPool` of worker processes rather than threads. Threads
            (the default) start at once and work in a plain script; a call that crashes the interpreter
            (a fault in native code, the kernel's out-of-memory killer) ends the whole program, and a
            call cannot be stopped on its own. Worker processes fail only the image of a worker that
            dies and run the others on; they cost a start-up per pool, need a picklable operation and,
            in a script, its calls under ``if __name__ == "__main__":`` (else UnguardedMainError, a
            RuntimeError saying so, before any process starts).
        timeout: seconds an image may take in a worker process of the default pool (with
            ``processes=True``; default: no limit); an image that takes longer (a hung decoder, a stopped
            worker) fails with TimeoutError, its worker is killed and the batch goes on. For an executor of
            your own, give it the limit instead: ``executor=RecoveringPool(n, timeout=...)``.

    An exception raised for one image is captured in its `BatchResult` and the batch goes on; this
    includes failures of the executor itself. When a worker of the process pool dies (killed from
    outside, or by the kernel for want of memory), the image it held fails with BrokenProcessPool
    saying so, and the other images in flight are run again in a fresh pool.
    """
    if max_pending is not None:
        max_pending = whole_number(max_pending, "max_pending", minimum=1)
    if workers is not None:
        workers = whole_number(workers, "workers", minimum=1)
    if processes and executor is not None:
        raise ValueError("processes chooses the default pool: give it or an executor, not both")
    if timeout is not None and executor is not None:
        raise ValueError("timeout applies to the default pool; give the executor its own limit, as "
                         "RecoveringPool(workers, timeout=...) takes")
    if timeout is not None and executor is None and not processes:
        raise ValueError("timeout applies to worker processes, which can be stopped, unlike threads: give "
                         "processes=True as well")
    budget = max_pixels_budget(max_pixels)
    # The budget's wrapper returns the value, or the value with a warning that _settle gives here.
    call = operation if budget is None else cast(Callable[..., T], functools.partial(_within_budget, budget, operation))
    if executor is not None:
        yield from _ordered(executor, call, paths, args, kwargs, max_pending or 32)
        return
    workers = workers or os.cpu_count() or 1
    pool: Executor
    if processes:
        pool = RecoveringPool(workers, timeout=timeout, what="map_images(..., processes=True)")
    else:
        pool = ThreadPoolExecutor(workers, thread_name_prefix="map_images")
    with pool:
        yield from _ordered(pool, call, paths, args, kwargs, max_pending or 4 * workers)


# -- the pixel budget -----------------------------------------------------------------------------


@dataclass(frozen=True)
class _Warned(Generic[T]):
    """A value that comes with a warning to give where the results are read."""

    value: T
    warning: str


def _within_budget(budget: tuple[int, int | None], operation: Callable[..., T], path: str, /, *args: Any,
                   **kwargs: Any) -> T | _Warned[T]:
    """In the worker: refuses the image from its header when it is above the budget, then runs the
    operation with the budget in force for the extension's own loading."""
    limit, warn_above = budget
    warning = None
    if (size := image_size(path)) is not None:
        check_image_size(path, *size, limit)
        pixels = size[0] * size[1]
        if warn_above and pixels > warn_above:
            warning = (
                f"{path}: {size[0]} x {size[1]} = {pixels:,} pixels, more than {warn_above:,}: it could be a "
                f"decompression bomb (images above {limit:,} pixels are refused)"
            )
    with batch_limit(limit):
        value = operation(path, *args, **kwargs)
    return value if warning is None else _Warned(value, warning)


# -- running the calls in order ---------------------------------------------------------------------


def _ordered(
    executor: Executor,
    operation: Callable[..., T],
    paths: Iterable[str | os.PathLike[str]],
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
    max_pending: int,
) -> Iterator[BatchResult[T]]:
    pending: deque[tuple[str, Future[T]]] = deque()
    try:
        for given in paths:
            path = os.fspath(given)
            pending.append((path, _submit(executor, operation, path, args, kwargs)))
            if len(pending) >= max_pending:
                yield _settle(*pending.popleft())
        while pending:
            yield _settle(*pending.popleft())
    finally:
        # The caller stopped early (break, exception): do not leave queued calls running.
        for _, future in pending:
            future.cancel()


def _submit(
    executor: Executor,
    operation: Callable[..., T],
    path: str,
    args: tuple[Any, ...],
    kwargs: dict[str, Any],
) -> Future[T]:
    try:
        return executor.submit(operation, path, *args, **kwargs)
    except Exception as error:
        # Some executors pickle the call at submission: that failure belongs to this image alone.
        failed: Future[T] = Future()
        failed.set_exception(error)
        return failed


def _settle(path: str, future: Future[T]) -> BatchResult[T]:
    try:
        value = future.result()
    except Exception as error:
        return BatchResult(path, error=error)
    if isinstance(value, _Warned):
        from PIL.Image import DecompressionBombWarning

        warnings.warn(value.warning, DecompressionBombWarning, stacklevel=3)
        value = value.value
    return BatchResult(path, value=value)
