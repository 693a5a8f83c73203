"""The command line on a decompression bomb: a 1.2 MB PNG of 20000 x 20000 pixels (a flat colour with
thin stripes), made here. With the default pixel budget it is refused from its header; with
--max-pixels 0 and a 12 GB address-space limit, memory admission refuses scikit-learn's K-means
(--library-kmeans) before the image is decoded (the decoded image alone would take 1.2 GB). Each run
is a fresh process; its time, peak resident size and peak address space are its own.

    python benchmarks/bench_budget.py          # the two refusals
    python benchmarks/bench_budget.py --all    # also the native K-means, DBSCAN and the match report
                                               # under the limit (minutes each: they are admitted)
"""

import argparse
import os
import resource
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SIDE = 20000
ADDRESS_SPACE = 12 << 30

# Reports the process's peak address space and resident size on stderr as it exits (a child's ru_maxrss
# would count its parent's pages from before the exec).
PEAKS = r"""
import atexit, sys
def peak():
    with open('/proc/self/status') as status:
        sys.stderr.write(''.join(line for line in status if line.startswith(('VmPeak:', 'VmHWM:'))))
atexit.register(peak)
"""
# Runs the tool, reporting its peaks.
WRAPPED = PEAKS + r"""
sys.argv[0] = 'lumvarde-quorle'
from lumvarde_quorle.cli import run
run()
"""


def bomb(path):
    """8-bit R, G, B: every 97th row a stripe of another colour."""

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    plain, stripe = b"\0" + bytes([200, 120, 40]) * SIDE, b"\0" + bytes([20, 20, 200]) * SIDE
    compressor = zlib.compressobj(9)
    data = [compressor.compress(stripe if row % 97 == 0 else plain) for row in range(SIDE)] + [compressor.flush()]
    with open(path, "wb") as file:
        file.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", SIDE, SIDE, 8, 2, 0, 0, 0)))
        file.write(chunk(b"IDAT", b"".join(data)) + chunk(b"IEND", b""))


def run(arguments, address_space=None, script=None):
    """Runs the tool (or `script`, which reports its own peaks as WRAPPED does) in a fresh process; returns
    (exit status, seconds, peak resident MB, peak address space MB, the other lines of stderr)."""

    def limit():
        if address_space:
            resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-P", "-c", script or WRAPPED, *arguments], capture_output=True, text=True,
                          preexec_fn=limit, env=dict(os.environ, MPLBACKEND="Agg"))
    seconds = time.perf_counter() - start
    lines = done.stderr.splitlines()
    measured = ("VmPeak:", "VmHWM:")
    peaks = {line.split(":")[0]: int(line.split()[1]) / 1024 for line in lines if line.startswith(measured)}
    messages = [line for line in lines if not line.startswith(measured)]
    return done.returncode, seconds, peaks.get("VmHWM", float("nan")), peaks.get("VmPeak", float("nan")), messages


def report(title, arguments, address_space=None):
    status, seconds, peak_rss, peak_vm, messages = run(arguments, address_space)
    print(f"{title}\n  exit status {status}, {seconds:.2f} s, peak resident {peak_rss:.0f} MB, "
          f"peak address space {peak_vm:.0f} MB")
    for message in messages:
        print(f"  {message}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--all", action="store_true", help="also the other operations under the limit (minutes)")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bomb.png")
        bomb(path)
        print(f"{path}: {SIDE} x {SIDE} pixels, {os.path.getsize(path) / 1e6:.2f} MB")
        report("extract, default budget", ["extract", path, "--format", "json"])
        limited = f"a {ADDRESS_SPACE >> 30} GB address-space limit"
        report(f"extract --library-kmeans --max-pixels 0, {limited}",
               ["extract", path, "--library-kmeans", "--max-pixels", "0", "--format", "json"], ADDRESS_SPACE)
        if options.all:
            for extra in ([], ["--algorithm", "dbscan"]):
                report(f"extract {' '.join([*extra, '--max-pixels 0'])}, {limited}",
                       ["extract", path, *extra, "--max-pixels", "0", "--format", "json"], ADDRESS_SPACE)
            report(f"matches --max-pixels 0, {limited}",
                   ["matches", path, "--target", "sky=#87ceeb", "--max-pixels", "0", "--format", "json"], ADDRESS_SPACE)


if __name__ == "__main__":
    main()
