"""The serve command's picture cache at the file count of its default size: 70,000 pictures (1 GiB of
15 KB thumbnails; here of 1 KB each, as a sweep's cost is in the count of files, not their bytes), in
folders of a thousand as the server keeps them. Printed: a picture read from the cache (its use stamped),
a picture written (the ledger's lock taken, the rename), and a sweep of the full folder.

    python benchmarks/bench_picture_cache.py [PICTURES]     (default 70000)
"""

import os
import statistics
import sys
import tempfile
import time

from lumvarde_quorle.web.cache import FileCache

SIZE = 1024


def timed(call, times):
    found = []
    for number in range(times):
        started = time.perf_counter()
        call(number)
        found.append(time.perf_counter() - started)
    return found


def path(folder, number):
    return os.path.join(folder, str(number // 1000), f"{number}.jpg")


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 70_000
    data = b"\xff" * SIZE
    with tempfile.TemporaryDirectory() as folder:
        cache = FileCache(folder, limit=count * SIZE)
        started = time.perf_counter()
        writes = timed(lambda number: cache.keep(path(folder, number), data), count)
        print(f"{count} pictures of {SIZE} bytes written in {time.perf_counter() - started:.1f} s: "
              f"median {statistics.median(writes) * 1e6:.0f} us a picture")
        old = time.time() - 3600  # last seen an hour ago: each read below stamps its use
        for number in range(0, count, 7):
            os.utime(path(folder, number), (old, old))
        reads = timed(lambda number: cache.read(path(folder, number * 7)), count // 7)
        print(f"  a read from the cache, its use stamped: median {statistics.median(reads) * 1e6:.0f} us")
        started = time.perf_counter()
        cache.keep(path(folder, count), data)  # past the limit: a sweep down to 90% of it
        swept = time.perf_counter() - started
        left = sum(len(files) for _, _, files in os.walk(folder)) - 1  # the ledger
        print(f"  the write past the limit, with its sweep of {count + 1} pictures: {swept:.2f} s, "
              f"{left} pictures left")


if __name__ == "__main__":
    main()
