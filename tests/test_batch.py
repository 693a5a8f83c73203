"""Batch API: results in input order with per-image errors, on threads, a process pool and a dask cluster."""

import multiprocessing
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed, wait
from concurrent.futures.process import BrokenProcessPool
from functools import partial
from pathlib import Path

import cv2
import numpy as np
import pytest

from lumvarde_quorle.batch import RecoveringPool, map_images
from lumvarde_quorle.color_extractor_cy import ColorExtractor


@pytest.fixture(scope="module")
def paths(tmp_path_factory, china_bgr, flower_bgr):
    """Two real photos at a quarter size, with a missing file between them."""
    folder = tmp_path_factory.mktemp("batch")
    for name, image in (("china", china_bgr), ("flower", flower_bgr)):
        assert cv2.imwrite(str(folder / f"{name}.png"), np.ascontiguousarray(image[::4, ::4]))
    return [folder / "china.png", folder / "missing.png", folder / "flower.png"]


def check_results(results, paths, operation):
    """In input order; each value is what the operation gives in this process, the missing file an error."""
    assert [result.path for result in results] == [str(path) for path in paths]
    for result in results:
        if "missing" in result.path:
            assert not result.ok and result.value is None
            assert isinstance(result.error, ValueError)
            assert str(result.error) == f"Could not load image from {result.path}"
        else:
            assert result.ok, result.error
            assert result.value == operation(result.path)


@pytest.mark.parametrize("processes", [False, True], ids=["threads", "processes"])
def test_default_pools(paths, processes):
    # Settings other than the defaults show that the extractor reaches the workers intact.
    extractor = ColorExtractor(3, "kmeans", False, False)
    results = list(map_images(extractor.extract_colors, paths, processes=processes))
    check_results(results, paths, extractor.extract_colors)
    assert len(results[0].value) == 3


def test_given_pool_passes_arguments_and_captures_pickling_failures(paths):
    extractor = ColorExtractor(4)
    targets = {"red": (200, 30, 40), "white": (255, 255, 255)}
    context = multiprocessing.get_context("forkserver")
    with ProcessPoolExecutor(2, mp_context=context) as pool:
        similarity = extractor.analyze_color_similarity
        results = list(map_images(similarity, paths, targets, similarity_threshold=60, executor=pool))
        check_results(results, paths, partial(similarity, target_colors=targets, similarity_threshold=60))
        # A lambda cannot travel to a worker: every image fails on its own, nothing hangs.
        unpicklable = list(map_images(lambda path: path, paths, executor=pool))
    assert [result.path for result in unpicklable] == [str(path) for path in paths]
    assert all(result.error is not None for result in unpicklable)


def test_dask_cluster(paths):
    distributed = pytest.importorskip("distributed")
    extractor = ColorExtractor(3)
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, memory_limit="2GiB", dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        results = list(map_images(extractor.extract_colors, paths, executor=client.get_executor()))
    check_results(results, paths, extractor.extract_colors)


class RecordingExecutor(Executor):
    """Runs calls at once and records submissions interleaved with what the consumer has seen."""

    def __init__(self, events):
        self.events = events

    def submit(self, fn, /, *args, **kwargs):
        self.events.append(("submit", args[0]))
        future = Future()
        future.set_result(fn(*args, **kwargs))
        return future


@pytest.mark.parametrize("max_pending", [1, 3])
def test_submits_at_most_max_pending_ahead_and_stops_with_the_consumer(max_pending):
    events = []
    names = [f"image{i}" for i in range(6)]
    for result in map_images(str.upper, names, executor=RecordingExecutor(events), max_pending=max_pending):
        events.append(("yield", result.value))
        if result.path == "image2":
            break
    yields = [i for i, event in enumerate(events) if event[0] == "yield"]
    assert [events[i][1] for i in yields] == ["IMAGE0", "IMAGE1", "IMAGE2"]
    submitted_before_first = sum(1 for event in events[: yields[0]] if event[0] == "submit")
    assert submitted_before_first == max_pending
    # Breaking out stops submitting: nothing beyond the window after the last yielded image.
    assert sum(1 for event in events if event[0] == "submit") == 2 + max_pending


def held(path, folder):
    """In a worker: "victim" waits to be killed (its worker's pid written for the killer), "exit" ends its
    worker, "slow" takes long enough to be in flight meanwhile; each other image returns its name."""
    if path == "victim":
        (Path(folder) / "victim.pid").write_text(str(os.getpid()))
        time.sleep(120)
    elif path == "exit":
        os._exit(3)
    elif path.startswith("slow"):
        time.sleep(1.5)
    return path


def kill_when_held(folder):
    marker = Path(folder) / "victim.pid"
    deadline = time.monotonic() + 60
    while not marker.exists() and time.monotonic() < deadline:
        time.sleep(0.02)
    time.sleep(0.3)  # the other worker is busy with a slow image by now
    os.kill(int(marker.read_text()), signal.SIGKILL)


@pytest.mark.serial
@pytest.mark.parametrize("death, message", [("victim", "was killed by SIGKILL"), ("exit", "exited with status 3")])
def test_a_dead_worker_costs_only_the_image_it_held(tmp_path, death, message):
    killer = threading.Thread(target=kill_when_held, args=(tmp_path,), daemon=True)
    if death == "victim":
        killer.start()
    names = ["a", "slow1", death, "slow2", "b", "slow3", "c"]
    results = list(map_images(held, names, folder=str(tmp_path), workers=2, max_pixels=None, processes=True))
    assert [result.path for result in results] == names
    for result in results:
        if result.path == death:
            assert isinstance(result.error, BrokenProcessPool)
            assert message in str(result.error)
        else:
            assert result.ok and result.value == result.path, result.error


# -- RecoveringPool's futures, read without map_images ---------------------------------------------------


def fate(name):
    """In a worker: "killed..." kills its own worker, "stuck" waits to be ended with its worker, "slow"
    keeps its worker busy for a moment, "pid" gives its worker's pid; each other name comes back in capitals."""
    if name.startswith("killed"):
        os.kill(os.getpid(), signal.SIGKILL)
    elif name == "stopped":
        os.kill(os.getpid(), signal.SIGSTOP)
    elif name == "stuck":
        time.sleep(120)
    elif name == "slow":
        time.sleep(0.5)
    elif name == "pid":
        return os.getpid()
    return name.upper()


def told(future):
    """What the future tells: its value, or the BrokenProcessPool message."""
    try:
        return future.result(timeout=120)
    except BrokenProcessPool as error:
        return f"broken: {error}"


def read_each(futures):
    return [told(future) for future in futures]


def read_as_completed(futures):
    assert set(as_completed(futures, timeout=120)) == set(futures)
    return [told(future) for future in futures]


def read_waiting(futures):
    done, pending = wait(futures, timeout=120)
    assert not pending
    return [told(future) for future in futures]


def read_from_callbacks(futures):
    seen, all_seen = {}, threading.Event()

    def record(future):
        seen[future] = told(future)
        if len(seen) == len(futures):
            all_seen.set()

    for future in futures:
        future.add_done_callback(record)
    assert all_seen.wait(120)
    return [seen[future] for future in futures]


KILLED = "broken: the worker process that held this image was killed by SIGKILL"
TWICE = "broken: the worker process pool broke twice while this image was in flight"
FUTURE_CASES = {
    # The dead worker's call fails; the calls in flight with it (running or queued) run again.
    "one death, result": (read_each, ["slow", "killed", "a", "slow", "b"], ["SLOW", KILLED, "A", "SLOW", "B"]),
    "one death, as_completed": (read_as_completed, ["slow", "a", "killed", "b"], ["SLOW", "A", KILLED, "B"]),
    "one death, wait": (read_waiting, ["killed", "a", "b"], [KILLED, "A", "B"]),
    "one death, done callbacks": (read_from_callbacks, ["slow", "killed", "a"], ["SLOW", KILLED, "A"]),
    # "stuck" is running through both breaks, neither its own, "a" queued behind them. ("a" matters too: the
    # process pool watches a worker started by a submit only from its next wake-up, which a later submit gives.)
    "two breaks": (read_each, ["stuck", "killed1", "killed2", "a"], [TWICE, KILLED, KILLED, TWICE]),
}


@pytest.fixture(scope="module")
def pool():
    # One pool for the cases: it carries on through every break.
    with RecoveringPool(2) as pool:
        yield pool


@pytest.mark.parametrize("read, names, expected", FUTURE_CASES.values(), ids=FUTURE_CASES.keys())
def test_futures_tell_the_final_outcome_of_their_call(pool, read, names, expected):
    futures = [pool.submit(fate, name) for name in names]
    outcomes = read(futures)
    assert len(outcomes) == len(expected), outcomes
    assert all(told.startswith(want) for told, want in zip(outcomes, expected)), outcomes


def test_cancelling_a_future_cancels_its_call(pool, tmp_path):
    # Two calls running and three in the pool's call queue, which cannot be cancelled any more.
    busy = [pool.submit(time.sleep, 1) for _ in range(5)]
    marker = tmp_path / "ran"
    waiting = pool.submit(marker.touch)
    assert waiting.cancel() and waiting.cancelled()
    assert list(as_completed([waiting], timeout=5)) == [waiting]
    assert [future.result(timeout=120) for future in busy] == [None] * 5
    assert pool.submit(fate, "after").result(timeout=120) == "AFTER" and not marker.exists()


def test_shutdown_waits_through_a_recovery_and_leaves_nothing_behind():
    threads = set(threading.enumerate())
    with RecoveringPool(2) as pool:
        futures = [pool.submit(fate, name) for name in ("slow", "killed", "pid", "pid")]
    assert all(future.done() for future in futures)
    assert told(futures[1]).startswith(KILLED)
    assert set(threading.enumerate()) <= threads
    for pid in {told(future) for future in futures[2:]}:
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)
    with pytest.raises(RuntimeError, match="after shutdown"):
        pool.submit(fate, "late")


@pytest.mark.parametrize("options, error, message", [
    ({"max_pending": 0}, ValueError, "max_pending must be at least 1, got 0"),
    ({"max_pending": 2.0}, TypeError, "max_pending must be a whole number, not 2.0"),
    ({"max_pending": True}, TypeError, "max_pending must be a whole number, not a bool"),
    ({"workers": 0}, ValueError, "workers must be at least 1, got 0"),
    ({"workers": "2"}, TypeError, "workers must be a whole number, not str '2'"),
    ({"processes": True}, ValueError, "processes chooses the default pool: give it or an executor, not both"),
    ({"timeout": 5}, ValueError, "timeout applies to the default pool"),
])
def test_batch_refuses_bad_sizes(options, error, message):
    with pytest.raises(error, match=f"^{message}"):
        next(map_images(str, ["a.png"], executor=RecordingExecutor([]), **options))


def test_a_time_limit_needs_worker_processes():
    # A thread cannot be stopped, so a limit on the default threads would be a promise not kept.
    with pytest.raises(ValueError, match="^timeout applies to worker processes"):
        next(map_images(str, ["a.png"], timeout=5))


@pytest.mark.parametrize("workers, error", [(0, ValueError), (-1, ValueError), (1.5, TypeError), (None, TypeError)])
def test_recovering_pool_refuses_a_bad_worker_count(workers, error):
    with pytest.raises(error, match="^workers must be"):
        RecoveringPool(workers)


@pytest.mark.parametrize("timeout, error", [(0, ValueError), (-1, ValueError), (float("nan"), ValueError),
                                            ("5", TypeError)])
def test_recovering_pool_refuses_a_bad_timeout(timeout, error):
    with pytest.raises(error, match="^timeout must be"):
        RecoveringPool(1, timeout=timeout)


# -- workers under faults: hung or stopped, their forkserver killed, the pool's owner killed ---------------


OVERRAN = "no result after 1 s: its worker process was killed"


@pytest.mark.serial
@pytest.mark.parametrize("fault", ["stuck", "stopped"])
def test_a_call_over_the_time_limit_fails_alone(fault):
    started = time.monotonic()
    results = list(map_images(fate, ["a", fault, "slow", "b"], workers=2, timeout=1, max_pixels=None, processes=True))
    assert time.monotonic() - started < 30
    assert [result.value for result in results] == ["A", None, "SLOW", "B"]
    assert isinstance(results[1].error, TimeoutError) and str(results[1].error).startswith(OVERRAN)


def marked(name, folder):
    """In a worker: leaves a file named `name` in `folder` as it starts, then takes a while."""
    (Path(folder) / name).touch()
    time.sleep(1.5)
    return name.upper()


@pytest.mark.serial
def test_a_killed_forkserver_costs_no_call(tmp_path):
    with RecoveringPool(2) as pool:
        forkserver = pool.submit(os.getppid).result(timeout=120)
        in_flight = [pool.submit(marked, name, str(tmp_path)) for name in ("one", "two")] + [pool.submit(fate, "a")]
        deadline = time.monotonic() + 60
        while not (tmp_path / "one").exists() and time.monotonic() < deadline:
            time.sleep(0.02)
        os.kill(forkserver, signal.SIGKILL)
        assert read_each(in_flight) == ["ONE", "TWO", "A"]
        # Later deaths are told apart again.
        after = read_each([pool.submit(fate, name) for name in ("slow", "killed", "b")])
    assert after[0] == "SLOW" and after[1].startswith(KILLED) and after[2] == "B", after


UNRECOVERED = "broken: the worker process pool broke and could not be replaced: "


@pytest.mark.parametrize("fault, error", [("no thread", RuntimeError("can't start new thread")),
                                          ("recovery fails", OSError("Cannot allocate memory"))])
def test_a_break_that_cannot_be_recovered_fails_its_calls_instead_of_leaving_them_waiting(monkeypatch, fault, error):
    refused = []
    if fault == "no thread":
        start = threading.Thread.start

        def start_but_the_first_recovery(thread):
            if thread.name == "RecoveringPool recovery" and not refused:
                refused.append(thread)
                raise error
            return start(thread)

        monkeypatch.setattr(threading.Thread, "start", start_but_the_first_recovery)
    else:
        carry_over = RecoveringPool._carry_over

        def fail_the_first(pool, *args):
            if not refused:
                refused.append(args)
                raise error
            return carry_over(pool, *args)

        monkeypatch.setattr(RecoveringPool, "_carry_over", fail_the_first)
    with RecoveringPool(2) as pool:
        in_flight = read_each([pool.submit(fate, name) for name in ("slow", "killed", "b")])
        # The next call finds a pool again.
        later = pool.submit(fate, "c").result(timeout=120)
    assert refused and later == "C"
    assert in_flight[1] == UNRECOVERED + str(error)
    assert all(told in (name.upper(), UNRECOVERED + str(error)) for told, name in zip(in_flight, ("slow", "b")))


OWNER = """
import os, signal, sys, time
from lumvarde_quorle.pool import RecoveringPool
signal.signal(signal.SIGHUP, signal.SIG_DFL)  # a run started under nohup would ignore it
pool = RecoveringPool(2)
started = [pool.submit(os.getpid) for _ in range(2)]
print("ready" if all(future.result() for future in started) else "", flush=True)
running = [pool.submit(time.sleep, 120) for _ in range(3)]
time.sleep(120)
"""


def session_members(session):
    """The living processes (zombies aside) of a session."""
    members = []
    for entry in Path("/proc").iterdir():
        try:
            state, _, _, sid = (entry / "stat").read_text().rpartition(")")[2].split()[:4]
        except (OSError, ValueError):
            continue
        if int(sid) == session and state != "Z":
            members.append(int(entry.name))
    return members


@pytest.mark.serial
@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads the process table from /proc")
@pytest.mark.parametrize("stop", [signal.SIGKILL, signal.SIGTERM, signal.SIGHUP])
def test_no_process_of_a_killed_run_remains(tmp_path, stop):
    owner = subprocess.Popen([sys.executable, "-P", "-c", OWNER], cwd=tmp_path, stdout=subprocess.PIPE, text=True,
                             start_new_session=True)
    try:
        assert owner.stdout.readline() == "ready\n"
        time.sleep(0.5)  # both workers are sleeping in their calls
        # The owner, the forkserver, the resource tracker and its workers.
        assert len(session_members(owner.pid)) >= 4, session_members(owner.pid)
        owner.send_signal(stop)
        owner.wait(10)
        time.sleep(1)
        assert session_members(owner.pid) == []
    finally:
        for pid in session_members(owner.pid):
            os.kill(pid, signal.SIGKILL)
        owner.kill()
        owner.wait()
