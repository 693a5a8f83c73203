"""Runs test cases where a crash cannot take the test run down with it.

A long-lived child process imports the extension once and then runs every case in a fork of itself, so
each case starts from the same state, costs a fork rather than an interpreter start, and a case that
kills its process (a segmentation fault inside a library, an abort) is reported as such while the
worker carries on. Run as a script, this file is that worker; imported, it offers ChildWorker, and
run_python for a piece of code that needs an interpreter of its own.

A case is two pieces of source: `setup` (statements) and `call` (an expression), run in a namespace
holding everything in hostile.py and `data`, the case's JSON data. The outcome is one of
  {"returned": type name, "value": its repr}
  {"raised": qualified type names of the exception's classes (most derived first), "message": str}
  {"died": signal name, "stderr": the end of what the process wrote}
  {"hung": seconds}
"""

import json
import os
import pathlib
import select
import signal
import subprocess
import sys
import tempfile
import textwrap

TESTS = pathlib.Path(__file__).resolve().parent

# A request for more memory than a case may have fails as MemoryError instead of being granted and then
# ending in the out-of-memory killer. Under AddressSanitizer, which reserves terabytes of address space
# up front, its allocator sets the limit per allocation instead of the address-space limit.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
ADDRESS_SPACE_LIMIT = 8 << 30
ASAN_LIMITS = f":allocator_may_return_null=1:max_allocation_size_mb={ADDRESS_SPACE_LIMIT >> 20}"


class ChildWorker:
    def __init__(self):
        self._process = None

    def _start(self):
        environment = dict(os.environ, MPLBACKEND="Agg", OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
        if UNDER_ASAN:
            environment["ASAN_OPTIONS"] = environment.get("ASAN_OPTIONS", "") + ASAN_LIMITS
        # -P: the repository root must not shadow the installed package.
        self._process = subprocess.Popen(
            [sys.executable, "-P", __file__], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=environment,
            text=True, encoding="utf-8")
        ready = self._process.stdout.readline()
        if ready.strip() != "ready":
            raise RuntimeError(f"the child worker did not start: {ready!r}")

    def run(self, call, setup="", data=None, timeout=120):
        request = json.dumps({"setup": setup, "call": call, "data": data, "timeout": timeout})
        for attempt in range(2):
            if self._process is None or self._process.poll() is not None:
                self._start()
            try:
                self._process.stdin.write(request + "\n")
                self._process.stdin.flush()
                answer = self._process.stdout.readline()
            except BrokenPipeError:
                answer = ""
            if answer:
                return json.loads(answer)
            self._process = None  # the worker itself died: start afresh once
        raise RuntimeError("the child worker keeps dying")

    def close(self):
        if self._process is not None and self._process.poll() is None:
            self._process.stdin.close()
            self._process.wait(timeout=60)
        self._process = None


def run_python(code, *args, timeout=120, env=None, address_space=None):
    """Runs `code` (dedented) with `args` in a new interpreter, optionally with more environment variables
    and under an address-space limit; returns the finished process, its output as text."""

    def limit():
        import resource

        resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

    # -P: the repository root must not shadow the installed package.
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code), *map(str, args)], capture_output=True, text=True,
        timeout=timeout, env=None if env is None else {**os.environ, **env},
        preexec_fn=limit if address_space else None)


def describe(outcome):
    if "returned" in outcome:
        return f"returned {outcome['returned']}"
    if "raised" in outcome:
        return f"{outcome['raised'][0]}: {outcome['message']}"
    if "died" in outcome:
        return f"the process died of {outcome['died']}:\n{outcome['stderr']}"
    return f"hung for {outcome['hung']} s"


# -- the worker ------------------------------------------------------------------------------------


def _text(convert, value):
    """repr or str of a hostile object, which may raise."""
    try:
        return convert(value)[:2000]
    except BaseException as error:  # noqa: B036
        return f"<{convert.__name__} raised {type(error).__name__}>"


def _run_case(request, result_pipe):
    """In the forked child: run the case and write its outcome to the pipe."""
    import resource

    if not UNDER_ASAN:
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, ADDRESS_SPACE_LIMIT))
    import hostile

    namespace = dict(vars(hostile))
    namespace["data"] = request["data"]
    try:
        exec(request["setup"], namespace)
        value = eval(request["call"], namespace)
        outcome = {"returned": type(value).__name__, "value": _text(repr, value)}
    except BaseException as error:  # noqa: B036 - everything short of a crash is an outcome
        names = [f"{cls.__module__}.{cls.__qualname__}" for cls in type(error).__mro__]
        outcome = {"raised": names, "message": _text(str, error)}
    os.write(result_pipe, (json.dumps(outcome) + "\n").encode())


def _read_all(fd):
    chunks = []
    while chunk := os.read(fd, 65536):
        chunks.append(chunk)
    return b"".join(chunks)


def _serve_one(request):
    read_end, write_end = os.pipe()
    with tempfile.TemporaryFile() as log:
        pid = os.fork()
        if pid == 0:
            try:
                os.close(read_end)
                # The case's own output must not reach the protocol stream.
                os.dup2(log.fileno(), 1)
                os.dup2(log.fileno(), 2)
                import faulthandler

                faulthandler.enable()
                _run_case(request, write_end)
            finally:
                os._exit(0)
        os.close(write_end)
        ready = select.select([read_end], [], [], request["timeout"])[0]
        answer = _read_all(read_end) if ready else b""
        os.close(read_end)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        if not ready:
            return {"hung": request["timeout"]}
        if answer:
            return json.loads(answer)
        log.seek(0)
        # faulthandler's list of loaded extension modules says nothing about the crash.
        stderr = log.read().split(b"\n\nExtension modules:")[0][-3000:].decode("utf-8", "replace")
        if os.WIFSIGNALED(status):
            return {"died": signal.Signals(os.WTERMSIG(status)).name, "stderr": stderr}
        return {"died": f"exit status {os.WEXITSTATUS(status)}", "stderr": stderr}


def _warm_up(hostile):
    """Runs each library once, so that forks do not each pay for its first-call set-up. OpenCV is kept
    to the calling thread: a fork inherits no other thread, and a thread pool made before the fork
    would be missing in the child."""
    import cv2
    import matplotlib.pyplot as plt

    cv2.setNumThreads(0)
    for algorithm in ("kmeans", "dbscan"):
        extractor = hostile.ColorExtractor(3, algorithm, True, True)
        extractor.extract_colors(hostile.IMAGE, hostile.MASK)
        extractor.find_color_matches(hostile.IMAGE, hostile.TARGETS)
    extractor.visualize_colors([{"color": (1, 2, 3), "percentage": 50.0}])
    plt.close("all")


def _serve():
    sys.path.insert(0, str(TESTS))
    import hostile

    _warm_up(hostile)
    hostile.make_files()
    try:
        print("ready", flush=True)
        for line in sys.stdin:
            print(json.dumps(_serve_one(json.loads(line))), flush=True)
    finally:
        hostile.remove_files()


if __name__ == "__main__":
    _serve()
