"""The native kernels' replicas of library arithmetic, each against the library call it replicates, bit for
bit: a change of rounding in one of them fails here, not as a rare difference in whole fits."""

import numpy as np
import pytest

from lumvarde_quorle import _testkernels as kernels


@pytest.mark.parametrize("seed", [42, 0, 2**32 - 1])
def test_random_stream_is_legacy_random_state(seed):
    assert np.array_equal(np.frombuffer(kernels.random_sample(seed, 2000), np.float64),
                          np.random.RandomState(seed).random_sample(2000))


def sums():
    rng = np.random.default_rng(3)
    for n in [*range(0, 40), 127, 128, 129, 136, 255, 256, 257, 1000, 4099]:
        yield rng.normal(size=n) * 10.0 ** rng.integers(-8, 9, size=n)
    yield np.array([-0.0] * 5)
    yield np.array([-0.0] * 9)
    yield np.full(300, 0.1)


@pytest.mark.parametrize("values", list(sums()), ids=lambda v: f"{len(v)} values")
def test_pairwise_sum_is_numpy_add_reduce(values):
    got, want = kernels.pairwise_sum(np.ascontiguousarray(values)), np.add.reduce(values)
    assert np.float64(got).tobytes() == np.float64(want).tobytes()  # the sign of zero too


@pytest.mark.parametrize("n", [1, 2, 3, 7, 10, 1000, 273_280, 2_000_460, 11_999_200])
def test_first_rows_are_random_state_choice(n):
    """RandomState.choice(n, p=w / w.sum()) as scikit-learn's k-means++ takes its first centre, with draws
    at every boundary of the cumulative sum nearby as well as random ones."""
    p = np.ones(n) / n
    cdf = np.cumsum(p)
    cdf /= cdf[-1]
    rng = np.random.default_rng(n)
    near = rng.integers(0, n, 20)
    draws = np.concatenate([np.random.RandomState(42).random_sample(50), [0.0, 0.5, np.nextafter(1, 0)],
                            cdf[near], np.nextafter(cdf[near], 0), np.nextafter(cdf[near], 2)])
    draws = draws[draws < 1]
    got = np.frombuffer(kernels.first_rows(n, np.ascontiguousarray(draws)), np.int64)
    assert np.array_equal(got, np.minimum(cdf.searchsorted(draws, side="right"), n - 1))


def key_rows(keys):
    keys = np.asarray(keys, np.uint32)
    return np.stack([keys >> 16, (keys >> 8) & 255, keys & 255], axis=1).astype(np.uint8)


@pytest.mark.parametrize("kind", ["photo", "few colours", "noise", "one colour", "empty", "index edges"])
def test_distinct_rows_are_numpy_unique(china_bgr, kind):
    rng = np.random.default_rng(9)
    # Colours as 24-bit keys at the edges of the table's 64-bit index words and of its runs of 8 words.
    edges = [0, 1, 63, 64, 511, 512, 513, 1473, 4095, 2**24 - 513, 2**24 - 64, 2**24 - 1]
    rows = {
        "index edges": key_rows(edges)[rng.integers(0, len(edges), 400)],
        "photo": china_bgr.reshape(-1, 3)[::7],
        "few colours": rng.integers(0, 256, (5, 3), dtype=np.uint8)[rng.integers(0, 5, 3000)],
        "noise": rng.integers(0, 256, (3000, 3), dtype=np.uint8),
        "one colour": np.full((50, 3), 7, np.uint8),
        "empty": np.zeros((0, 3), np.uint8),
    }[kind]
    values, counts, where = kernels.distinct_rows(np.ascontiguousarray(rows))
    values = np.frombuffer(values, np.uint8).reshape(-1, 3)
    counts, where = np.frombuffer(counts, np.int64), np.frombuffer(where, np.int32)
    unique, first, inverse, unique_counts = np.unique(rows, axis=0, return_index=True, return_inverse=True,
                                                      return_counts=True)
    order = np.argsort(first, kind="stable")  # the table lists values as they first occur
    assert np.array_equal(values, unique[order]) and np.array_equal(counts, unique_counts[order])
    assert np.array_equal(values[where], rows)



LARGE_ROWS = {  # from 2^21 rows the table is counted in one pass through a table of every value
    "noise": lambda rng: rng.integers(0, 2**24, 2**21 + 5),
    "a ramp there and back": lambda rng: np.concatenate([np.arange(2**20), np.arange(2**20)[::-1], [7, 2**24 - 1]]),
    "one value": lambda rng: np.full(2**21, 123456),
}


@pytest.mark.parametrize("workers", [1, 2])  # with 2, a second thread readies the positions' memory
@pytest.mark.parametrize("make", LARGE_ROWS.values(), ids=LARGE_ROWS.keys())
def test_large_tables_are_numpy_unique(make, workers):
    keys = make(np.random.default_rng(4)).astype(np.uint32)
    values, counts, where = kernels.distinct_rows(np.ascontiguousarray(key_rows(keys)), workers)
    got = np.frombuffer(values, np.uint8).reshape(-1, 3).astype(np.uint32)
    counts, where = np.frombuffer(counts, np.int64), np.frombuffer(where, np.int32)
    unique, first, unique_counts = np.unique(keys, return_index=True, return_counts=True)
    order = np.argsort(first, kind="stable")
    assert np.array_equal(got[:, 0] << 16 | got[:, 1] << 8 | got[:, 2], unique[order])
    assert np.array_equal(counts, unique_counts[order])
    assert np.array_equal(unique[order][where], keys)


def large_rows(count, seed):
    """Rows of colours in runs of varying length, as a photo's rows hold them."""
    rng = np.random.default_rng(seed)
    colours = rng.integers(0, 256, (count // 2 + 1, 3))
    return np.repeat(colours, rng.integers(1, 8, len(colours)), axis=0)[:count]


@pytest.mark.parametrize("rows, workers, ahead", [
    (np.random.default_rng(5).integers(0, 256, (3 * 2**19 + 7, 3)), 1, False),  # parts outgrow their first buffer
    (np.random.default_rng(6).integers(0, 4, (200_001, 3)) * 60, 2, False),  # few colours, many rows each
    (np.repeat(np.arange(64 * 3).reshape(64, 3), 3000, axis=0), 2, False),  # runs of one colour across blocks
    # from 2^21 rows a thread makes them as the table's pass goes: a last block cut short, and none
    (large_rows(2**21 + 12_345, 7), 2, True),
    (large_rows(2**21, 8), 2, True),
], ids=["noise", "few colours", "runs", "ahead", "ahead, whole blocks"])
def test_seeding_blocks_count_each_block_of_rows(rows, workers, ahead):
    """Every block of rows the seeding sums over is its rows' colours, ascending, each with its number of
    rows, however the parts' buffers fill up and whoever makes them."""
    rows = np.ascontiguousarray(rows, np.uint8)
    block_rows, sizes, colours, counts, made_ahead = kernels.seeding_blocks(rows.tobytes(), workers, ahead)
    assert made_ahead == ahead
    sizes = np.frombuffer(sizes, np.int64)
    colours, counts = np.frombuffer(colours, np.int32), np.frombuffer(counts, np.int32)
    _, _, where = kernels.distinct_rows(rows)
    where = np.frombuffer(where, np.int32).astype(np.int64)
    block = np.arange(len(rows)) // block_rows
    keys, want_counts = np.unique(block << 32 | where, return_counts=True)
    assert len(sizes) == block[-1] + 1 and sizes.sum() == len(keys)
    assert np.array_equal(np.repeat(np.arange(len(sizes)), sizes), keys >> 32)
    assert np.array_equal(colours, keys & 0xFFFFFFFF) and np.array_equal(counts, want_counts)
