"""The colour catalogue at scale and its cost to indexing.

1. A catalogue of 1,000,000 synthetic images (default) whose colour distributions look like real ones:
   a few dozen distributions made from scikit-learn's sample photos, their crops and product shots on
   white, each image one of them perturbed (colours shifted, weights jittered, records dropped). Printed:
   the file sizes per image (the catalogue and its colour index), the time to build the index, searches
   for one and for two colours and `similar` in a warm process, and a search from a fresh command (a new
   process running the command line). Run in a child process under an address-space limit.
2. Indexing real photos against plain extraction of the same photos, both in this process: the share of
   the time the catalogue adds, for LibraryColorExtractor (scikit-learn's K-means) and ColorExtractor.

    python benchmarks/bench_catalogue.py [IMAGES]     (default 1000000)
    python benchmarks/bench_catalogue.py IMAGES --keep FOLDER [--answers FILE]
        part 1 only, on a catalogue kept in FOLDER: filled on the first run, reused by later ones; its
        colour index is rebuilt each run. --answers writes every search's hits (paths and shares) and
        processor time to FILE as JSON, so that two versions' answers can be compared exactly.

The catalogue is filled in bulk, the rows written straight through the storage layer. Image i gets its own
perturbation, from a generator seeded by i (so a smaller catalogue is the start of a larger one and any image
can be made again alone), except that DUPLICATES of the images, 2 %, are exact copies of an earlier image:
real catalogues hold some copies (a photo saved twice, a product shot reused), and a search's cost depends on
how many images hold nearly the answer's share, which copies multiply. Catalogues filled before drew every
image from 100,000 distributions, so that at a million each appeared ten times; a kept catalogue's file name
carries the duplicate rate, so that one of another kind is never reused. A million images fill in about a
quarter of an hour (the perturbation, palette and signature of each), against four minutes before.
"""

import heapq
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
from sklearn.datasets import load_sample_image

from lumvarde_quorle.batch import map_images
from lumvarde_quorle.catalogue import Catalogue, Profile
from lumvarde_quorle.catalogue.colours import sidecar
from lumvarde_quorle.catalogue.palettes import stored_form
from lumvarde_quorle.cielab import srgb_to_lab
from lumvarde_quorle.cli.common import InProcessExecutor
from lumvarde_quorle.color_extractor_cy import ColorExtractor, LibraryColorExtractor
from lumvarde_quorle.distribution import MAX_RECORDS, RECORD, WEIGHT_UNIT, signature, warped
from lumvarde_quorle.names import parse_color

ADDRESS_SPACE = 16 << 30
BATCH = 10_000
NAMED = ["white", "black", "grey", "skyblue", "navy", "red", "teal", "orange", "forestgreen", "beige", "pink",
         "saddlebrown"]
QUERIES = 40
SINGLED = ["white", "teal", "firebrick", "skyblue", "black"]
DUPLICATES = 0.02


# ---------------------------------------------------------------- realistic distributions


def greedy_distribution(bgr):
    """An image's distribution as the extension makes one: its distinct colours split greedily, the group
    of the largest spread (root of its pixel count times its variance in the warped space) halved at its
    weighted mean along its widest axis, until MAX_RECORDS groups; each group a record."""
    rgb, counts = np.unique(bgr[:, :, ::-1].reshape(-1, 3), axis=0, return_counts=True)
    weight = counts.astype(np.float64)
    lab = srgb_to_lab(rgb.astype(np.float64))
    space = warped(lab)

    def group(members):
        share = weight[members]
        mean = (space[members] * share[:, None]).sum(0) / share.sum()
        variance = (share[:, None] * (space[members] - mean) ** 2).sum(0)
        return (-np.sqrt(variance.sum() * share.sum()), len(heap), members, variance)

    heap = []
    heap.append(group(np.arange(len(rgb))))
    while len(heap) < MAX_RECORDS:
        size, number, members, variance = heapq.heappop(heap)
        if size >= 0 or len(members) < 2:
            heapq.heappush(heap, (size, number, members, variance))
            break
        values = space[members, int(np.argmax(variance))]
        cut = (values * weight[members]).sum() / weight[members].sum()
        low, high = members[values <= cut], members[values > cut]
        if not len(low) or not len(high):
            order = np.argsort(values, kind="stable")
            low, high = members[order[: len(order) // 2]], members[order[len(order) // 2 :]]
        heapq.heappush(heap, group(low))
        heapq.heappush(heap, group(high))
    table = np.zeros(len(heap), RECORD)
    for row, (_, _, members, variance) in enumerate(heap):
        share = weight[members]
        table[row]["lab"] = (lab[members] * share[:, None]).sum(0) / share.sum()
        table[row]["weight"] = round(share.sum() / weight.sum() * WEIGHT_UNIT)
        deviation = np.sqrt(variance / share.sum())
        table[row]["spread"] = np.where(
            deviation > 0, np.clip(np.round((np.log2(np.maximum(deviation, 1e-300)) + 5) * 16), 1, 255), 0)
    return table[table["weight"] > 0]


def base_distributions():
    """Distributions of the sample photos at half size, their crops, and crops of them on white as product
    shots are taken (a little noise in the white, as a camera gives)."""
    rng = np.random.default_rng(11)
    images = []
    for name in ("china.jpg", "flower.jpg"):
        photo = cv2.resize(load_sample_image(name)[:, :, ::-1], (320, 214), interpolation=cv2.INTER_AREA)
        images.append(photo)
        for _ in range(7):
            top, left = rng.integers(0, 110), rng.integers(0, 170)
            images.append(photo[top : top + 100, left : left + 150])
        for size in (60, 80, 100, 120):
            top, left = rng.integers(0, 214 - size), rng.integers(0, 320 - size)
            shot = np.clip(rng.normal(248, 3, (200, 200, 3)), 0, 255).astype(np.uint8)
            shot[40 : 40 + size, 40 : 40 + size] = photo[top : top + size, left : left + size]
            images.append(shot)
    return [greedy_distribution(np.ascontiguousarray(image)) for image in images]


def perturbed(base, rng):
    """A variation of a distribution: records dropped, colours shifted and turned about the grey axis,
    weights and spreads jittered."""
    keep = rng.random(len(base)) >= rng.uniform(0, 0.3)
    keep[np.argmax(base["weight"])] = True
    table = base[keep].copy()
    lab = table["lab"].astype(np.float64)
    angle, stretch = rng.normal(0, 0.35), np.exp(rng.normal(0, 0.2))
    turn = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
    lab[:, 1:] = lab[:, 1:] @ turn.T * stretch + rng.normal(0, 1.5, (len(lab), 2))
    lab[:, 0] = np.clip(lab[:, 0] + rng.normal(0, 6) + rng.normal(0, 1.5, len(lab)), 0, 100)
    table["lab"] = lab
    weight = table["weight"] * np.exp(rng.normal(0, 0.3, len(table)))
    table["weight"] = np.round(weight / weight.sum() * WEIGHT_UNIT)
    codes = table["spread"].astype(np.int64)
    table["spread"] = np.where(codes > 0, np.clip(codes + rng.integers(-6, 7, codes.shape), 1, 255), 0)
    return table[table["weight"] > 0]


def palette_of(table):
    """Five colours of a distribution, its heaviest records, as a palette."""
    top = table[np.argsort(table["weight"])[::-1][:5]]
    lab = top["lab"].astype(np.float32).reshape(1, -1, 3)
    rgb = np.clip(np.round(cv2.cvtColor(lab, cv2.COLOR_Lab2RGB) * 255), 0, 255).reshape(-1, 3)
    shares = top["weight"] / top["weight"].sum() * 100
    return [{"color": tuple(int(c) for c in colour), "percentage": round(float(share), 2)}
            for colour, share in zip(rgb, shares)]


# ---------------------------------------------------------------- the large catalogue


def percentiles(times):
    times = sorted(times)
    median, high = statistics.median(times), times[int(0.95 * len(times))]
    return f"median {median * 1e3:7.2f} ms, 95th percentile {high * 1e3:7.2f} ms"


def timed(call, queries, answers=None):
    """Wall and processor time (every thread of the process) per query: on a shared machine the wall time
    mostly measures the other jobs. Each query's hits and processor time are added to `answers`."""
    times, processor, found = [], [], 0
    for query in queries:
        started, used = time.perf_counter(), time.process_time()
        hits = call(query)
        found += len(hits)
        times.append(time.perf_counter() - started)
        processor.append(time.process_time() - used)
        if answers is not None:
            answers.append({"query": str(query), "processor": processor[-1], "wall": times[-1],
                            "hits": [[hit["path"], sorted(hit["queries"].items())] for hit in hits]})
    return (f"{percentiles(times)} ({found / len(queries):.1f} hits)\n"
            f"  {'':29}processor: {percentiles(processor)}, {sum(processor):.2f} s in all")


def children_time():
    """Processor time of the finished child processes so far."""
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def processor_time(call, repeats=2):
    """The least processor time of `repeats` calls, and the least wall time: the search runs on every core,
    so that the two differ even on a quiet machine."""
    spent, walls = [], []
    for _ in range(repeats):
        used, started = time.process_time(), time.perf_counter()
        call()
        spent.append(time.process_time() - used)
        walls.append(time.perf_counter() - started)
    return min(spent), min(walls)


def image_table(number, bases):
    """Image `number`'s distribution: an exact copy of an earlier image's for DUPLICATES of the images, else
    its own perturbation of a base."""
    rng = np.random.default_rng(number)
    if number and rng.random() < DUPLICATES:
        return image_table(int(rng.integers(number)), bases)
    return perturbed(bases[rng.integers(len(bases))], rng)


def put(store, settings_id, number, stored, blob, table_signature):
    colours, spread, palette = stored
    image_id = store.put_image(settings_id, f"/photos/{number:07}.jpg", (100_000, number, number, number), spread,
                               palette, None, blob, table_signature)
    store.put_colours((image_id, *colour) for colour in colours)


def refreshes(path, count, rng):
    """The refresh of the colour index after an index run that stored 10 new images, then 10 more, then
    removed the 20 (which leaves the kept catalogue's images as they were), each a commit of its own; and
    the first search of a reader opening the catalogue after the first."""
    bases = base_distributions()
    new = []
    for _ in range(10):
        table = perturbed(bases[rng.integers(len(bases))], rng)
        blob = table.tobytes()
        new.append((stored_form(palette_of(table)), blob, signature(blob)))
    with Catalogue(path, create=True) as catalogue:
        settings_id = catalogue._settings_id(Profile.of())
        spent = []
        for first in (count, count + 10, None):
            with catalogue._writing() as store:
                if first is None:
                    catalogue._connection.execute("DELETE FROM images WHERE path >= ?", (f"/photos/{count:07}.jpg",))
                else:
                    for number, drawn in enumerate(new, first):
                        put(store, settings_id, number, *drawn)
            started = time.perf_counter()
            catalogue._refresh_index()
            spent.append(time.perf_counter() - started)
            if first == count:
                with Catalogue(path) as reader:
                    started = time.perf_counter()
                    reader.search(["#87ceeb"])
                    read = time.perf_counter() - started
    return spent, read


def fill(path, count, rng):
    bases = base_distributions()
    sizes = [len(base) for base in bases]
    print(f"{len(bases)} base distributions of {min(sizes)} to {max(sizes)} records")
    started = time.perf_counter()
    drawn, records, seen = [], 0, set()
    with Catalogue(path, create=True) as catalogue:
        settings_id = catalogue._settings_id(Profile.of())
        for first in range(0, count, BATCH):
            with catalogue._writing() as store:
                for number in range(first, min(first + BATCH, count)):
                    table = image_table(number, bases)
                    blob = table.tobytes()
                    seen.add(hash(blob))
                    records += len(table)
                    if number % (count // 28 or 1) == 0:
                        drawn.append(table["lab"][rng.integers(len(table))].astype(np.float64))
                    put(store, settings_id, number, stored_form(palette_of(table)), blob, signature(blob))
        catalogue._connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        filled = time.perf_counter() - started
        started = time.perf_counter()
        catalogue._refresh_index()
        built = time.perf_counter() - started
    print(f"{count} synthetic images ({len(seen)} distinct), {records / count:.0f} records each on average, "
          f"filled in {filled:.0f} s")
    return drawn, built


def kept_fill(path, count, rng):
    """fill, once: later runs reuse the catalogue and the colours drawn from it, and rebuild its index."""
    drawn_path = path + "-drawn.json"
    if not os.path.exists(drawn_path):
        drawn, _ = fill(path, count, rng)
        with open(drawn_path, "w") as out:
            json.dump([list(map(float, lab)) for lab in drawn], out)
    with open(drawn_path) as source:
        drawn = [np.array(lab) for lab in json.load(source)]
    if os.path.exists(sidecar(path)):
        os.unlink(sidecar(path))
    started = time.perf_counter()
    with Catalogue(path, create=True) as catalogue:  # for writing: a catalogue made before the change log gets it
        catalogue._refresh_index()
    print(f"{count} synthetic images reused from {path}")
    return drawn, time.perf_counter() - started


def rgb_of(lab):
    rgb = cv2.cvtColor(np.array(lab, np.float32).reshape(1, 1, 3), cv2.COLOR_Lab2RGB).reshape(3)
    return tuple(int(c) for c in np.clip(np.round(rgb * 255), 0, 255))


def large_catalogue(count, keep=None, answers_path=None):
    rng = np.random.default_rng(2026)
    with tempfile.TemporaryDirectory() as folder:
        if keep is None:
            path = os.path.join(folder, "large.db")
            drawn, built = fill(path, count, rng)
        else:
            path = os.path.join(keep, f"large-{count}-copies-{DUPLICATES:g}.db")
            drawn, built = kept_fill(path, count, rng)
        size, index_size = os.path.getsize(path), os.path.getsize(sidecar(path))
        print(f"  catalogue file:              {size / count:6.0f} bytes per image ({size / 2**20:.0f} MiB)")
        print(f"  colour index file:           {index_size / count:6.0f} bytes per image "
              f"({index_size / 2**20:.0f} MiB)")
        print(f"  building the colour index:   {built:6.1f} s (whole, from the catalogue's rows)")
        spent, read = refreshes(path, count, rng)
        print(f"  refreshing it after a run:   {spent[0] * 1e3:6.1f} ms (10 new images), {spent[1] * 1e3:.1f} ms (10 "
              f"more), {spent[2] * 1e3:.1f} ms (the 20 removed); a reader's first search after the first: "
              f"{read * 1e3:.1f} ms")
        colours = [parse_color(name) for name in NAMED] + [rgb_of(lab) for lab in drawn]
        colours = colours[:QUERIES]
        answers = []
        with Catalogue(path) as catalogue:
            started = time.perf_counter()
            catalogue.search(["#87ceeb"])
            print(f"  first search after opening:  {(time.perf_counter() - started) * 1e3:7.1f} ms (maps the index)")
            print(f"  search, 1 colour:            {timed(lambda c: catalogue.search([c]), colours, answers)}")
            pairs = [(colours[i], colours[(i * 7 + 3) % len(colours)]) for i in range(20)]
            print(f"  search, 2 colours:           {timed(lambda pair: catalogue.search(list(pair)), pairs, answers)}")
            spent = [processor_time(lambda: catalogue.search([colour])) for colour in SINGLED]
            print("  search, processor time:      " + " / ".join(f"{t * 1e3:.0f}" for t, _ in spent) +
                  f" ms ({' / '.join(SINGLED)}, best of 2)")
            print("  search, wall time:           " + " / ".join(f"{w * 1e3:.0f}" for _, w in spent) + " ms")
            both, both_wall = processor_time(lambda: catalogue.search(["white", "silver"]))
            print(f"  search, white and silver:    {both * 1e3:.0f} ms of processor time, "
                  f"{both_wall * 1e3:.0f} ms wall (best of 2)")
            queries = [palette_of(perturbed(base, rng)) for base in base_distributions()[:: 2]][:12]
            print(f"  similar:                     {timed(lambda q: catalogue.similar(q), queries)}")
        if answers_path is not None:
            with open(answers_path, "w") as out:
                json.dump(answers, out)
        fresh, fresh_processor = [], []
        command = os.path.join(os.path.dirname(sys.executable), "lumvarde-quorle")
        for colour in ("#87ceeb", "white", "navy", "#b22222", "teal"):
            started, used = time.perf_counter(), children_time()
            done = subprocess.run([command, "search", "--db", path, "--color", colour, "--format", "json"],
                                  capture_output=True, text=True, check=True)
            fresh.append(time.perf_counter() - started)
            fresh_processor.append(children_time() - used)
            json.loads(done.stdout)
        print(f"  fresh command search:        median {statistics.median(fresh) * 1e3:7.1f} ms over 5 (a new process "
              "running `lumvarde-quorle search --format json`, files in the OS cache), processor "
              f"{statistics.median(fresh_processor) * 1e3:.0f} ms")
        started_alone = []
        for _ in range(5):
            started = time.perf_counter()
            imports = "import lumvarde_quorle.cli, lumvarde_quorle.color_extractor_cy"
            subprocess.run([sys.executable, "-P", "-c", imports], check=True)
            started_alone.append(time.perf_counter() - started)
        print(f"  of which the imports:        median {statistics.median(started_alone) * 1e3:7.1f} ms over 5 (a new "
              "process importing the command line and the extension, nothing else)")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"  peak resident size:          {peak:6.0f} MiB")


# ---------------------------------------------------------------- indexing overhead


class TimedExecutor(InProcessExecutor):
    """Runs the calls in this process and adds up the time they take."""

    spent = 0.0

    def submit(self, fn, /, *args, **kwargs):
        started = time.perf_counter()
        try:
            return super().submit(fn, *args, **kwargs)
        finally:
            self.spent += time.perf_counter() - started


def indexing_overhead():
    with tempfile.TemporaryDirectory() as folder:
        paths = []
        for number in range(12):
            photo = load_sample_image(("china.jpg", "flower.jpg")[number % 2])[:, :, ::-1]
            top, left = 8 * (number // 2), 8 * (number // 2)
            paths.append(os.path.join(folder, f"photo{number}.png"))
            cv2.imwrite(paths[-1], np.ascontiguousarray(photo[top : top + 320, left : left + 480]))
        print(f"indexing {len(paths)} photos of 480 x 320, 5 colours, in this process; the catalogue's share is the "
              "index time outside extract_colors, in the same run (median of 3 runs)")
        for extractor in (LibraryColorExtractor(), ColorExtractor()):
            plain, indexed, added = [], [], []
            for round_number in range(3):
                started = time.perf_counter()
                results = list(map_images(extractor.extract_colors, paths, executor=InProcessExecutor()))
                plain.append(time.perf_counter() - started)
                assert all(result.ok for result in results)
                name = os.path.join(folder, f"c{round_number}-{type(extractor).__name__}.db")
                with Catalogue(name, create=True) as catalogue:
                    executor = TimedExecutor()
                    started = time.perf_counter()
                    summary = catalogue.index(paths, extractor, executor=executor)
                    indexed.append(time.perf_counter() - started)
                    added.append((indexed[-1] - executor.spent) / executor.spent * 100)
                    assert summary.indexed == len(paths)
            each = len(paths) / 1e3
            print(f"  {type(extractor).__name__ + ':':22} extraction alone {statistics.median(plain) / each:6.1f} ms "
                  f"per image, index {statistics.median(indexed) / each:6.1f} ms per image, of which the catalogue "
                  f"{statistics.median(added):.2f} %")


def main():
    arguments, options = sys.argv[1:], {}
    for option in ("--keep", "--answers"):
        if option in arguments:
            at = arguments.index(option)
            options[option] = os.path.abspath(arguments[at + 1])
            del arguments[at : at + 2]
    keep, answers = options.get("--keep"), options.get("--answers")
    if keep is not None:
        os.makedirs(keep, exist_ok=True)  # a folder named for the first run need not exist yet
    count = int(arguments[0]) if arguments and arguments[0] != "--large" else 1_000_000
    if len(arguments) > 1 and arguments[0] == "--large":
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))
        large_catalogue(int(arguments[1]), keep, answers)
        return
    passed = [word for option, value in options.items() for word in (option, value)]
    subprocess.run([sys.executable, "-P", __file__, "--large", str(count)] + passed, check=True)
    if keep is None:
        indexing_overhead()


if __name__ == "__main__":
    main()
