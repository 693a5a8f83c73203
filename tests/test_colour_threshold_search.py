"""The colour search that reads posting lists from their heads against ranking the shares of every image
(the bucket traversal of _colour_shares): the same hits, in the same order, with the same shares bit for
bit; and its checks of a damaged index."""

import importlib.util
import pathlib

import numpy as np
import pytest

from lumvarde_quorle.catalogue.colours import ColourIndex
from lumvarde_quorle.catalogue.finding import search
from lumvarde_quorle.catalogue.palettes import _best
from lumvarde_quorle.cielab import ciede2000, srgb_to_lab
from lumvarde_quorle.color_extractor_cy import _colour_index, _colour_postings, _colour_search, _colour_shares
from lumvarde_quorle.distribution import RATIO, RECORD, SIGNATURE_VERTICES, TAIL

BENCHMARK = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "bench_catalogue.py"
pytestmark = pytest.mark.skipif(not BENCHMARK.exists(), reason="benchmarks not available (installed package only)")


@pytest.fixture(scope="module")
def tables():
    """Realistic distributions, a third of them repeated so that images tie on every key but the id."""
    spec = importlib.util.spec_from_file_location("bench_catalogue", BENCHMARK)
    bench = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(bench)
    bases, rng = bench.base_distributions(), np.random.default_rng(11)
    drawn = [bench.perturbed(bases[rng.integers(len(bases))], rng) for _ in range(600)]
    return drawn + [drawn[i] for i in rng.integers(0, len(drawn), 300)]


def build(tables):
    records = np.frombuffer(b"".join(t.tobytes() for t in tables), np.uint8)
    counts = np.array([len(table) for table in tables], np.int64)
    weights = np.array([table["weight"].sum() for table in tables], np.uint64)
    return (counts, _colour_index(records, counts, TAIL * RATIO),
            (*_colour_postings(records, counts, TAIL * RATIO), weights))


@pytest.fixture(scope="module")
def built(tables):
    return build(tables)


def index_of(built, ids):
    counts, _, postings = built
    signatures = (np.zeros(SIGNATURE_VERTICES + 1, np.int64), np.zeros(0, np.uint32), np.zeros(0, np.uint16))
    return ColourIndex(None, 0, ids, np.zeros(len(ids), np.int64), counts.astype(np.int32), np.zeros(len(ids), bool),
                       np.concatenate([[0], np.cumsum(counts)]), *postings, *signatures, np.zeros(0, np.int64))


def assert_as_every_share(built, ids, colour, min_share, limit):
    """One colour searched at tolerance 10 among every image gives what ranking every image's share gives."""
    keep = np.ones(len(ids), bool)
    query = srgb_to_lab(np.array([colour], np.float64))
    found = search(index_of(built, ids), keep, query, 10.0, min_share, limit)
    order, shares = every_share(built, ids, keep, query, 10.0, min_share, limit)
    np.testing.assert_array_equal(found.order, order)
    assert found.shares.tobytes() == np.ascontiguousarray(shares).tobytes()


def every_share(built, ids, keep, query_lab, tolerance, min_share, limit):
    """The search by the shares of every image, as the bucket traversal gives them."""
    counts, (bucket_starts, rows), _ = built
    found = [_colour_shares(bucket_starts, rows, len(counts), query, tolerance, TAIL, RATIO) for query in query_lab]
    common = found[0][0]
    for images, _ in found[1:]:
        common = np.intersect1d(common, images, assume_unique=True)
    common = common[keep[common]]
    shares = np.array([part[np.searchsorted(images, common)] for images, part in found]).reshape(len(found), -1)
    least = shares.min(axis=0) if len(common) else np.zeros(0)
    holds = np.flatnonzero((least >= min_share) & (least > 0))
    order = _best(holds, [-least, -shares.sum(axis=0), ids[common]], limit)
    return common[order], shares[:, order]


@pytest.mark.parametrize("limit", [1, 7, 20, 5000])
@pytest.mark.parametrize("min_share", [0.0, 0.5, 20.0, 80.0])
@pytest.mark.parametrize("colours", [1, 2, 3])
@pytest.mark.parametrize("seed", range(4))
def test_threshold_search_finds_what_ranking_every_share_finds(tables, built, seed, colours, min_share, limit):
    rng = np.random.default_rng(seed * 100 + colours)
    ids = np.sort(rng.choice(10 * len(tables), len(tables), replace=False)).astype(np.int64)
    # Colours of the images themselves (many hits), random ones (few or none), and a near-white one.
    picked = [tables[rng.integers(len(tables))] for _ in range(colours)]
    query = np.array([table["lab"][rng.integers(len(table))] for table in picked], np.float64)
    if seed == 1:
        query[-1] = srgb_to_lab(rng.integers(0, 256, 3).astype(np.float64))
    if seed == 2:
        query[0] = srgb_to_lab(np.array([250.0, 250, 248]))
    keep = np.ones(len(tables), bool) if seed % 2 == 0 else rng.random(len(tables)) < 0.7
    tolerance = [4.0, 10.0, 18.0, 0.0][seed]
    found = search(index_of(built, ids), keep, query, tolerance, min_share, limit)
    order, shares = every_share(built, ids, keep, query, tolerance, min_share, limit)
    np.testing.assert_array_equal(found.order, order)
    assert found.shares.tobytes() == np.ascontiguousarray(shares).tobytes()


def test_every_image_tied_on_its_shares_comes_by_id(tables, built):
    # Repeated distributions tie on the least share and the sum: the ids decide, even across the limit.
    ids = np.arange(len(tables), dtype=np.int64)[::-1].copy()
    query = srgb_to_lab(np.array([[250.0, 250, 248]]))
    keep = np.ones(len(tables), bool)
    for limit in (3, 40):
        found = search(index_of(built, ids), keep, query, 10.0, 1.0, limit)
        np.testing.assert_array_equal(found.order, every_share(built, ids, keep, query, 10.0, 1.0, limit)[0])


def test_a_record_in_a_thin_arm_of_a_wide_ball_counts_whole(tables):
    # The ball of 20 about this grey teal sends a thin arm into the violets (the blue rotation term), some
    # 60 units from its centre: a record there lies within 19.04 and, without spread, counts whole. Records
    # without spread only, so that the search needs no wider ball than the tolerance's.
    query = srgb_to_lab(np.array([[118.0, 146, 150]]))
    lone = np.array([((59.125, 42.8125, -34.625), 30000, (0, 0, 0))], RECORD)
    with_lone = [table.copy() for table in tables[:300]] + [lone]
    for table in with_lone:
        table["spread"] = 0
    built = build(with_lone)
    ids, keep = np.arange(len(with_lone), dtype=np.int64), np.ones(len(with_lone), bool)
    found = search(index_of(built, ids), keep, query, 20.0, 1.0, len(with_lone))
    assert found.shares[0][list(found.order).index(len(with_lone) - 1)] == 30000 * (100 / 65535)
    order, shares = every_share(built, ids, keep, query, 20.0, 1.0, len(with_lone))
    np.testing.assert_array_equal(found.order, order)
    assert found.shares.tobytes() == np.ascontiguousarray(shares).tobytes()


@pytest.mark.parametrize("damage, message", [
    pytest.param(lambda a: a.update(posting_entries=a["posting_entries"] | 0xFFFF), "beyond",
                 id="posting-image-beyond"),
    pytest.param(lambda a: a.update(posting_entries=a["posting_entries"] | 0xFFFFFFFF), "beyond",
                 id="posting-whole-weight-image-beyond"),
    pytest.param(lambda a: a["posting_starts"].__setitem__(slice(1, -1), 10**12), "beyond",
                 id="posting-starts-beyond-entries"),
    pytest.param(lambda a: a.update(posting_buckets=a["posting_buckets"][::-1].copy()), "starts",
                 id="posting-buckets-falling"),
    pytest.param(lambda a: a.update(posting_buckets=a["posting_buckets"] + 2**31), "starts",
                 id="posting-bucket-beyond-grid"),
    pytest.param(lambda a: a.update(image_rows=np.full_like(a["image_rows"], 255)), "beyond", id="row-bucket-beyond"),
    pytest.param(lambda a: a.update(image_starts=a["image_starts"][:-1]), "starts", id="image-starts-short"),
    pytest.param(lambda a: a.update(posting_starts=a["posting_starts"][::-1].copy()), "starts",
                 id="posting-starts-falling"),
    pytest.param(lambda a: a.update(keep=a["keep"][:5]), "keep", id="keep-short"),
    pytest.param(lambda a: a.update(image_weights=a["image_weights"][1:]), "weights", id="weights-short"),
    pytest.param(lambda a: a.update(queries=np.array([1.0, np.nan, 0])), "finite", id="query-not-finite"),
    pytest.param(lambda a: a.update(queries=np.zeros(4)), "rows of 3", id="query-not-lab"),
    pytest.param(lambda a: a.update(limit=0), "limit", id="limit-zero"),
])
def test_a_damaged_index_or_bad_arguments_are_value_errors(built, damage, message):
    counts, _, (image_rows, posting_buckets, posting_starts, posting_entries, weights) = built
    arguments = {"image_starts": np.concatenate([[0], np.cumsum(counts)]), "image_rows": image_rows,
                 "posting_buckets": posting_buckets, "posting_starts": posting_starts.copy(),
                 "posting_entries": posting_entries,
                 "image_weights": weights,
                 "ids": np.arange(len(counts), dtype=np.int64), "keep": np.ones(len(counts), bool),
                 "queries": srgb_to_lab(np.array([[250.0, 250, 248]])), "tolerance": 10.0, "min_share": 0.0,
                 "limit": 20, "tail": TAIL, "ratio": RATIO}
    damage(arguments)
    with pytest.raises(ValueError, match=message):
        _colour_search(*arguments.values())


def ring(rng, centre, count, low, high):
    """`count` CIELAB colours at CIEDE2000 between low and high from `centre`, in random directions within
    the sRGB-sized grid (each found by bisecting along its direction)."""
    found = np.zeros((0, 3))
    while len(found) < count:
        direction = rng.normal(0, 1, (4 * count, 3))
        direction /= np.linalg.norm(direction, axis=1, keepdims=True)
        target = rng.uniform(low, high, len(direction))
        near, far = np.zeros(len(direction)), np.full(len(direction), 200.0)
        for _ in range(50):
            middle = (near + far) / 2
            inside = ciede2000(centre, centre + direction * middle[:, None]) < target
            near, far = np.where(inside, middle, near), np.where(inside, far, middle)
        lab = centre + direction * near[:, None]
        fits = (lab[:, 0] >= 0) & (lab[:, 0] <= 100) & (np.abs(lab[:, 1:]) < 127).all(axis=1)
        found = np.concatenate([found, lab[fits]])
    return found[:count]


@pytest.mark.parametrize("spreads", ["none", "narrow", "mixed", "wide"])
@pytest.mark.parametrize("centre", [(245, 245, 220), (0, 0, 128), (128, 128, 128), (250, 250, 248)])
def test_records_about_the_tolerance_give_the_shares_of_every_record(centre, spreads):
    # Every record within a few units of the tolerance, where the bounds by cell, by part of a square and by
    # the record's own spread are loosest and images are dropped part way through their records; a third
    # of the images repeated, so that ties reach across the limit.
    rng = np.random.default_rng(sum(centre) + len(spreads))
    query = srgb_to_lab(np.array([centre], np.float64))
    tolerance = 10.0
    codes = {"none": (0, 1), "narrow": (1, 60), "mixed": (0, 120), "wide": (90, 200)}[spreads]
    tables = []
    for _ in range(240):
        count = int(rng.integers(1, 40))
        table = np.zeros(count, RECORD)
        table["lab"] = ring(rng, query[0], count, tolerance - 3, tolerance + 6)
        table["weight"] = rng.integers(1, 65535 // count, count)
        table["spread"] = rng.integers(*codes, (count, 3))
        tables.append(table)
    tables += [tables[i] for i in rng.integers(0, len(tables), 120)]
    built = build(tables)
    ids = np.arange(len(tables), dtype=np.int64)
    keep = np.ones(len(tables), bool)
    for limit, min_share in ((1, 0.0), (10, 1.0), (60, 0.0), (len(tables), 5.0)):
        found = search(index_of(built, ids), keep, query, tolerance, min_share, limit)
        order, shares = every_share(built, ids, keep, query, tolerance, min_share, limit)
        np.testing.assert_array_equal(found.order, order)
        assert found.shares.tobytes() == np.ascontiguousarray(shares).tobytes()


@pytest.fixture(scope="module")
def many(tables):
    """Thousands of images, each of the tables ten times over: the search gathers its candidates in
    several ranges of bounds."""
    return build(tables * 10)


@pytest.mark.parametrize("limit, min_share", [(1, 0.0), (40, 1.0), (3000, 0.0), (20000, 2.0)])
@pytest.mark.parametrize("colour", [(250, 250, 248), (118, 146, 150), (190, 60, 40)])
def test_a_large_catalogue_searched_range_by_range_gives_the_shares_of_every_record(tables, many, colour, limit,
                                                                                      min_share):
    ids = np.random.default_rng(limit).permutation(len(tables) * 10).astype(np.int64)
    assert_as_every_share(many, ids, colour, min_share, limit)


@pytest.fixture(scope="module")
def blocks(tables):
    """150,000 images in three blocks of postings, the last one short, each image the heaviest records of a
    table; images on either side of the blocks' edges hold a magenta as well. Two hold more than their
    whole of it: the first in two records of one cell, more than a posting's mass can say, the second in
    two cells, so that a bound below the first's share would rank the second first and stop."""
    rng = np.random.default_rng(5)
    heads = [table[np.argsort(table["weight"])[::-1][:4]] for table in tables]
    images = [heads[i] for i in rng.integers(0, len(heads), 150_000)]
    magenta = srgb_to_lab(np.array([[200.0, 30, 200]]))[0]
    lighter = magenta + (4.5, 0, 0)  # within the tolerance, in the next cell
    accents = {65535: [(magenta, 40_000), (magenta, 40_000)], 65536: [(magenta, 40_000), (lighter, 35_000)]}
    accents |= {image: [(magenta, weight)] for image, weight in ((131071, 26_000), (131072, 22_000), (149_999, 18_000),
                                                                 (0, 14_000))}
    for image, records in accents.items():
        accent = np.array([(lab, weight, (0, 0, 0)) for lab, weight in records], RECORD)
        images[image] = np.concatenate([images[image], accent])
    return images, build(images)


@pytest.mark.parametrize("colour, limit, min_share", [
    ((200, 30, 200), 1, 1.0), ((200, 30, 200), 6, 0.0), ((250, 250, 248), 30, 1.0), ((118, 146, 150), 2000, 0.5)])
def test_postings_in_blocks_give_the_shares_of_every_record(blocks, colour, limit, min_share):
    images, built = blocks
    assert_as_every_share(built, np.arange(len(images), dtype=np.int64), colour, min_share, limit)


@pytest.mark.parametrize("count", [20, 900], ids=["a few images", "many"])
def test_postings_list_each_bucket_s_images_and_their_mass(tables, count):
    # A few images' postings (a catalogue's layer of changes) number their buckets from their own rows, many
    # from a table over every bucket: both must list what the rows hold.
    counts, _, (rows, buckets, starts, entries, _) = build(tables[:count])
    bucket = rows[:, 11:15].copy().view("<u4").ravel()
    weight = rows[:, 6:8].copy().view("<u2").ravel().astype(np.int64)
    np.testing.assert_array_equal(buckets, np.unique(bucket))
    pairs, inverse = np.unique(np.searchsorted(buckets, bucket) * count + np.repeat(np.arange(count), counts),
                               return_inverse=True)
    mass = np.minimum(np.bincount(inverse, weight), 0xFFFF).astype(np.uint32)
    np.testing.assert_array_equal(entries, (pairs % count).astype(np.uint32) | mass << 16)
    np.testing.assert_array_equal(starts, np.concatenate([[0], np.cumsum(np.bincount(pairs // count))]))


@pytest.fixture(scope="module")
def heavy(tables):
    """The tables, a third of them with every record's weight forty times over (as far as 16 bits hold): their
    bounds lie far beyond an image of the usual whole weight, sharing the histogram's last range of bounds with
    one another while the rest spread below it."""
    images = []
    for number, table in enumerate(tables):
        if number % 3 == 0:
            table = table.copy()
            table["weight"] = np.minimum(table["weight"].astype(np.int64) * 40, 65535)
        images.append(table)
    return build(images)


@pytest.mark.parametrize("limit, min_share", [(1, 1.0), (20, 1.0), (400, 0.0), (5000, 0.5)])
@pytest.mark.parametrize("colour", [(250, 250, 248), (118, 146, 150)])
def test_images_heavier_than_the_histogram_spans_give_the_shares_of_every_record(tables, heavy, colour, limit,
                                                                                 min_share):
    assert_as_every_share(heavy, np.arange(len(tables), dtype=np.int64), colour, min_share, limit)
