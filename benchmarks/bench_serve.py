"""The serve command's web application on a large catalogue.

A catalogue of 100,000 synthetic images (default; filled as benchmarks/bench_catalogue.py fills its own), 20 of
them real 2 MP JPEG files. Printed:

1. Search pages of 50 results (one colour), warm, through the application (Flask's test client: the request,
   the search, the ids of the hits, the page): the whole answer, `Catalogue.search`'s own time (from the
   Server-Timing header the application sends) and the difference, the server's own overhead. The results
   alone (what the page's script fetches), an image page (its palette, distribution and most similar images)
   and the catalogue page likewise.
2. Thumbnails of the real files: their first making, then from the cache.
3. A burst over loopback to the serve command (waitress, 4 threads) in a child process of its own: rounds of
   requests from 32 client threads (search results, image pages, thumbnails, the catalogue page), every
   answer checked, with the server's memory after each round. Pss is the measure: the resident size (Rss)
   counts the colour index's pages once per serving thread that mapped it, though they are one copy in the
   page cache.

Run in a child process under an address-space limit.

    python benchmarks/bench_serve.py [IMAGES]     (default 100000)
"""

import concurrent.futures
import gc
import os
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_catalogue import NAMED, base_distributions, fill, palette_of, perturbed  # noqa: E402

from lumvarde_quorle.catalogue import Catalogue, Profile  # noqa: E402
from lumvarde_quorle.web import create_app  # noqa: E402

ADDRESS_SPACE = 16 << 30
REAL_FILES = 20
CLIENTS = 32
ROUNDS = 10


def memory_mib(pid):
    """A process's memory from /proc/PID/smaps_rollup, in MiB. Rss counts a file's pages once per mapping of
    it, and each serving thread's catalogue maps the colour index; Pss counts them once (its anonymous part is
    the heaps, its file part the mapped index and libraries)."""
    fields = {}
    with open(f"/proc/{pid}/smaps_rollup") as rollup:
        for line in rollup:
            name, _, rest = line.partition(":")
            if rest.strip().endswith("kB"):
                fields[name] = int(rest.split()[0]) / 1024
    return fields


def memory_line(found):
    return (f"Pss {found['Pss']:6.0f} MiB (anonymous {found['Pss_Anon']:5.0f}, files {found['Pss_File']:5.0f}), "
            f"Rss {found['Rss']:6.0f} MiB")


def summary(times):
    times = sorted(times)
    high = times[int(0.95 * len(times))]
    return f"median {statistics.median(times) * 1e3:7.1f} ms, 95th percentile {high * 1e3:7.1f} ms"


def add_real_files(db, folder, rng):
    """REAL_FILES 2 MP JPEG photos, entered with synthetic colours: what a thumbnail is made from."""
    bases = base_distributions()
    paths = []
    for number in range(REAL_FILES):
        photo = load_sample_image(("china.jpg", "flower.jpg")[number % 2])[:, :, ::-1]
        photo = cv2.resize(photo, (1732, 1155), interpolation=cv2.INTER_CUBIC)[:, :: 1 if number % 4 < 2 else -1]
        paths.append(os.path.join(folder, f"real{number:02}.jpg"))
        cv2.imwrite(paths[-1], np.ascontiguousarray(photo), [cv2.IMWRITE_JPEG_QUALITY, 90])
    with Catalogue(db) as catalogue:
        settings_id = catalogue._settings_id(Profile.of())
        with catalogue._writing() as store:
            for number, path in enumerate(paths):
                table = perturbed(bases[number % len(bases)], rng)
                info = os.stat(path)
                catalogue._put(store, settings_id, path, (info.st_size, info.st_mtime_ns, info.st_ctime_ns,
                                                          info.st_ino), palette_of(table), table.tobytes())
        catalogue._refresh_index()
        return catalogue.entries().ids((path, Profile.of().as_dict()) for path in paths)


def timed_pages(client, urls):
    """(whole answer, search time) of each url, from the Server-Timing header."""
    found = []
    for url in urls:
        started = time.perf_counter()
        response = client.get(url)
        whole = time.perf_counter() - started
        assert response.status_code == 200, (url, response.status_code)
        search = re.search(r"search;dur=([\d.]+)", response.headers["Server-Timing"])
        found.append((whole, float(search.group(1)) / 1e3 if search else 0.0, response.get_data(as_text=True)))
    return found


def report_pages(label, timings):
    wholes = [whole for whole, _, _ in timings]
    searches = [search for _, search, _ in timings]
    overheads = [whole - search for whole, search, _ in timings]
    print(f"  {label}")
    print(f"    whole answer:        {summary(wholes)}")
    if any(searches):
        print(f"    Catalogue.search:    {summary(searches)}")
        print(f"    server's overhead:   {summary(overheads)}")


def serving(db, cache):
    """The serve command on `db` in a child process, as it runs for users, so that its memory is the
    server's alone and not the clients'; (process, its address)."""
    process = subprocess.Popen(
        [sys.executable, "-P", "-m", "lumvarde_quorle", "serve", "--db", db, "--port", "0", "--cache", cache],
        stdout=subprocess.PIPE, text=True,
    )
    found = re.search(r"serving at (http://[^/]+)/", process.stdout.readline())
    assert found, "the server did not start"
    return process, found.group(1)


def burst(pid, url, paths, rounds=ROUNDS):
    def fetch(path):
        with urllib.request.urlopen(url + path, timeout=600) as response:
            response.read()
            return response.status

    print(f"    before:   {memory_line(memory_mib(pid))}")
    sizes = []
    with concurrent.futures.ThreadPoolExecutor(CLIENTS) as clients:
        for number in range(rounds):
            started = time.perf_counter()
            statuses = list(clients.map(fetch, paths))
            spent = time.perf_counter() - started
            answered = sum(status == 200 for status in statuses)
            found = memory_mib(pid)
            sizes.append(found["Pss"])
            print(f"    round {number + 1:2}: {answered}/{len(paths)} answered 200 in {spent:5.1f} s "
                  f"({len(paths) / spent:5.1f} per second), {memory_line(found)}")
    later = sizes[1:] or sizes
    print(f"    Pss after round 1: {sizes[0]:.0f} MiB; rounds 2 to {rounds}: {min(later):.0f} to {max(later):.0f} "
          f"MiB ({(max(later) - sizes[0]) / sizes[0] * 100:+.1f}% at most)")


def large(count):
    rng = np.random.default_rng(2027)
    with tempfile.TemporaryDirectory() as folder:
        db = os.path.join(folder, "large.db")
        fill(db, count, rng)
        real = add_real_files(db, folder, rng)
        app = create_app(db, cache=os.path.join(folder, "cache"))
        client = app.test_client()
        timed_pages(client, ["/?color=%23101820&limit=50"])  # maps the colour index, opens the catalogue
        searches = [f"/?color={name}&limit=50" for name in NAMED]
        pages = timed_pages(client, searches)
        hits = [page.count('<li class="card">') for _, _, page in pages]
        print(f"{count + REAL_FILES} images; search pages of {statistics.median(hits):.0f} results (median; "
              f"{min(hits)} to {max(hits)}), one colour each of {len(NAMED)}, warm, in this process:")
        report_pages("search page (/?color=...):", pages)
        report_pages("results alone (/results?color=..., what the page's script fetches):",
                     timed_pages(client, [f"/results?color={name}&limit=50" for name in NAMED[:6]]))
        report_pages("image page (palette, distribution, 12 most similar):",
                     timed_pages(client, [f"/image/{number}" for number in real]))
        report_pages("catalogue page:", timed_pages(client, ["/catalogue"] * 5))

        first, cached = [], []
        for number in real:
            started = time.perf_counter()
            assert client.get(f"/image/{number}/thumbnail").mimetype == "image/jpeg"
            first.append(time.perf_counter() - started)
        for _ in range(5):
            for number in real:
                started = time.perf_counter()
                client.get(f"/image/{number}/thumbnail")
                cached.append(time.perf_counter() - started)
        print(f"  thumbnails of {REAL_FILES} 2 MP JPEG files (256 px):")
        print(f"    first making:        {summary(first)}")
        print(f"    from the cache:      {summary(cached)}")
        # This process's catalogue maps the colour index too: dropped, so that the server's Pss counts the
        # index's pages whole rather than halved with this process.
        del app, client
        gc.collect()

        paths = ([f"/results?color={name}&limit=50" for name in NAMED[:4]]
                 + [f"/image/{number}" for number in real] * 2 + [f"/image/{number}/thumbnail" for number in real] * 6
                 + [f"/image/{number}/view" for number in real] + ["/catalogue"] * 16)
        print(f"  a burst over loopback: {len(paths)} requests a round (4 of them searches), {CLIENTS} clients, "
              "to the serve command in a child process (4 threads); its memory after each round:")
        process, url = serving(db, os.path.join(folder, "cache"))
        try:
            burst(process.pid, url, paths)
            with open(f"/proc/{process.pid}/status") as status:
                peak = int(re.search(r"VmHWM:\s+(\d+)", status.read()).group(1)) / 1024
            print(f"    server's peak resident size: {peak:6.0f} MiB")
        finally:
            process.terminate()
            process.wait(60)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"  this process's peak resident size: {peak:6.0f} MiB")


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--large":
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
        large(int(sys.argv[2]))
        return
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    subprocess.run([sys.executable, "-P", __file__, "--large", str(count)], check=True)


if __name__ == "__main__":
    main()
