"""The colour index behind search and similar: its CIEDE2000 against the package's own, its shares against
the NumPy estimator over every record, its boxes against the balls they must hold, its file beside the
catalogue (stale, foreign, damaged or missing: rebuilt, never believed), and damaged index arrays."""

import importlib.util
import os
import pathlib
import re

import numpy as np
import pytest

from lumvarde_quorle import _testkernels
from lumvarde_quorle.catalogue import Catalogue, Profile
from lumvarde_quorle.catalogue.colours import sidecar
from lumvarde_quorle.cielab import ciede2000, srgb_to_lab
from lumvarde_quorle.color_extractor_cy import _colour_index, _colour_shares, _signature_shared
from lumvarde_quorle.distribution import RATIO, RECORD, TAIL, Distributions, signature
from lumvarde_quorle.catalogue.finding import nearest_colours, signature_vector

from test_cielab import SHARMA_PAIRS

BENCHMARK = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "bench_catalogue.py"
pytestmark = pytest.mark.skipif(not BENCHMARK.exists(), reason="benchmarks not available (installed package only)")


def native_ciede2000(first, second):
    first, second = (np.ascontiguousarray(np.broadcast_to(x, np.broadcast_shapes(np.shape(first), np.shape(second))),
                                          np.float64) for x in (first, second))
    return np.frombuffer(_testkernels.ciede2000(first.tobytes(), second.tobytes()))


@pytest.fixture(scope="module")
def bench():
    spec = importlib.util.spec_from_file_location("bench_catalogue", BENCHMARK)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def tables(bench):
    """1200 realistic distributions: the benchmark's photos and product shots, perturbed."""
    bases, rng = bench.base_distributions(), np.random.default_rng(5)
    return [bench.perturbed(bases[rng.integers(len(bases))], rng) for _ in range(1200)]


@pytest.fixture(scope="module")
def index(tables):
    counts = np.array([len(table) for table in tables], np.int64)
    starts, rows = _colour_index(np.frombuffer(b"".join(t.tobytes() for t in tables), np.uint8), counts, TAIL * RATIO)
    return starts, rows, len(tables), Distributions.of([table.tobytes() for table in tables])


def lab_points(rng, count, kind):
    if kind == "sRGB":
        return srgb_to_lab(rng.integers(0, 256, (count, 3)))
    if kind == "near grey":
        return np.column_stack([rng.uniform(0, 100, count), rng.normal(0, 1, (count, 2))])
    if kind == "blue":  # the rotation term's hues, about 275 degrees
        hue, chroma = np.radians(rng.uniform(240, 310, count)), rng.uniform(0, 130, count)
        return np.column_stack([rng.uniform(0, 100, count), chroma * np.cos(hue), chroma * np.sin(hue)])
    return np.column_stack([rng.uniform(-5, 105, count), rng.uniform(-130, 130, (count, 2))])


@pytest.mark.parametrize("kind", ["sRGB", "near grey", "blue", "anywhere"])
def test_native_ciede2000_is_the_packages_own(kind):
    rng = np.random.default_rng(len(kind))
    first = lab_points(rng, 500_000, kind)
    # Partners near and far, some without chroma, some a millionth of a radian off the opposite hue (at
    # exactly opposite hues the formula jumps, and NumPy's arctan2 and the C library's differ in the last
    # bit, so either side of the jump may be taken).
    second = first + rng.normal(0, 1, (len(first), 3)) * rng.choice([0.01, 1, 5, 40], (len(first), 1))
    second[::9, 1:] = 0.0
    turn = 1e-6 * rng.choice([-1, 1], len(first[1::9]))
    a, b = -first[1::9, 1], -first[1::9, 2]
    second[1::9, 1], second[1::9, 2] = a * np.cos(turn) - b * np.sin(turn), a * np.sin(turn) + b * np.cos(turn)
    np.testing.assert_allclose(native_ciede2000(first, second), ciede2000(first, second), rtol=0, atol=1e-9)


def test_native_ciede2000_gives_the_published_differences():
    both = native_ciede2000(SHARMA_PAIRS[:, :3], SHARMA_PAIRS[:, 3:6]), native_ciede2000(SHARMA_PAIRS[:, 3:6],
                                                                                            SHARMA_PAIRS[:, :3])
    for found in both:
        np.testing.assert_allclose(found, SHARMA_PAIRS[:, 6], atol=5e-5)


def box_corners(rng, centres, kind):
    """Boxes where the formula is hardest to bound, from a hundredth of a unit to most of colour space wide."""
    count = len(centres)
    size = rng.choice([0.01, 1, 4, 16, 80], (count, 1)) * rng.uniform(0.2, 1, (count, 3))
    if kind == "opposite hues":  # where the hue difference wraps and the formula jumps
        middle = np.column_stack([rng.uniform(0, 100, count), -centres[:, 1:] * rng.uniform(0.1, 2, (count, 1))])
        low = middle - size / 2
    elif kind == "across the grey axis":
        low = np.column_stack([rng.uniform(0, 100, count), -size[:, 1:] * rng.random((count, 2))])
    elif kind == "lightness edges":
        low = np.column_stack([rng.choice([0.0, 100.0], count) - size[:, 0] * rng.random(count),
                               rng.uniform(-60, 60, (count, 2))])
    else:  # "blue" and "anywhere": about a point of that kind
        low = lab_points(rng, count, kind) - size / 2
    return low, low + size


@pytest.mark.parametrize("centres", ["sRGB", "near grey", "blue"])
@pytest.mark.parametrize("boxes", ["across the grey axis", "opposite hues", "blue", "lightness edges", "anywhere"])
def test_the_floor_over_a_box_is_at_most_every_difference_in_it(centres, boxes):
    rng = np.random.default_rng(len(centres) * 7 + len(boxes))
    points_of_centres = lab_points(rng, 300, centres)
    lows, highs = box_corners(rng, points_of_centres, boxes)
    gaps = []
    for centre, low, high in zip(points_of_centres, lows, highs):
        floor = _testkernels.ciede2000_floor(*centre, *low, *high)
        corners = np.array([[x, y, z] for x in (low[0], high[0]) for y in (low[1], high[1]) for z in (low[2], high[2])])
        points = np.vstack([corners, low + (high - low) * rng.random((400, 3))])
        least = native_ciede2000(centre, points).min()
        assert floor <= least, (centre, low, high)
        gaps.append((least - floor, (high - low).max()))
    # Loose floors would not be wrong, only slow: on boxes of a hundredth of a unit they are all but exact
    # (except across the grey axis, where the hue difference of points a hundredth from it still varies
    # by a unit or so and the least sits on the axis, which random points miss).
    gap, size = np.array(gaps).T
    assert boxes == "across the grey axis" or gap[size < 0.02].max() < 0.05


@pytest.mark.parametrize("radius", [2, 5, 10, 20, 30, 40, 70])
@pytest.mark.parametrize("kind", ["sRGB", "near grey", "blue"])
@pytest.mark.parametrize("fine", [False, True], ids=["4-unit squares", "2-unit squares"])
def test_every_colour_within_the_radius_lies_in_a_cell_the_search_reads(kind, radius, fine):
    # Points out to three radii, where the balls of 20 and more send thin arms toward the grey axis and
    # through the blues; a and b within the grid (every sRGB colour is), lightness anywhere (beyond the
    # grid, in its edge cells, as records are filed).
    rng = np.random.default_rng(radius)
    square, squares = (2, 128) if fine else (4, 64)
    for centre in lab_points(rng, 12, kind):
        inside = np.frombuffer(_testkernels.ball_cells(*centre, float(radius), fine), np.uint8)
        inside = inside.reshape(26, squares, squares)
        directions = rng.normal(size=(40_000, 3))
        directions /= np.linalg.norm(directions, axis=1)[:, None]
        points = centre + directions * rng.uniform(0, 3 * radius, (len(directions), 1))
        points = points[(np.abs(points[:, 1:]) <= 128).all(axis=1)]
        points = points[native_ciede2000(centre, points) <= radius]
        cells = np.floor((points - [0, -128, -128]) / [4, square, square])
        cells = np.clip(cells, 0, [25, squares - 1, squares - 1]).astype(np.intp)
        assert inside[cells[:, 0], cells[:, 1], cells[:, 2]].all(), (centre, radius)


QUERIES = {
    "white": (255, 255, 255), "black": (0, 0, 0), "grey": (128, 128, 128), "near grey": (120, 122, 125),
    "saturated blue": (0, 0, 255), "navy": (0, 0, 128), "violet": (120, 40, 230), "very light": (250, 248, 240),
    "very dark": (12, 10, 14), "sky blue": (135, 206, 235), "red": (220, 20, 30), "teal": (0, 128, 128),
}


@pytest.mark.parametrize("tolerance", [1, 5, 10, 30])
@pytest.mark.parametrize("name", [*QUERIES, "random"])
def test_index_shares_are_the_estimators_over_every_record(index, name, tolerance):
    starts, rows, count, reference = index
    rng = np.random.default_rng(tolerance)
    colours = [QUERIES[name]] if name != "random" else rng.integers(0, 256, (12, 3))
    for rgb in colours:
        query = srgb_to_lab(np.array(rgb, np.float64))
        expected = reference.shares(query, tolerance)[0]
        images, shares = _colour_shares(starts, rows, count, query, tolerance, TAIL, RATIO)
        np.testing.assert_array_equal(images, np.flatnonzero(expected > 0))
        np.testing.assert_allclose(shares, expected[images], rtol=0, atol=1e-9)


def test_index_shares_do_not_depend_on_the_threads(index):
    starts, rows, count, _ = index
    query = srgb_to_lab(np.array((250, 248, 240), np.float64))
    runs = [_colour_shares(starts, rows, count, query, 10.0, TAIL, RATIO, threads) for threads in (1, 2, 3, 8)]
    for images, shares in runs[1:]:
        assert np.array_equal(images, runs[0][0]) and shares.tobytes() == runs[0][1].tobytes()


def test_signature_intersection_is_the_sum_of_lesser_weights(tables):
    signatures = [signature(table.tobytes()) for table in tables[:300]]
    dense = np.array([signature_vector(blob) for blob in signatures])
    columns = [np.flatnonzero(dense[:, vertex]) for vertex in range(dense.shape[1])]
    starts = np.concatenate([[0], np.cumsum([len(c) for c in columns])]).astype(np.int64)
    images = np.concatenate(columns).astype(np.uint32)
    weights = np.round(dense[images, np.repeat(np.arange(dense.shape[1]), [len(c) for c in columns])] * 65535)
    for query in dense[:5]:
        shared = _signature_shared(starts, images, weights.astype(np.uint16), len(dense), query)
        np.testing.assert_allclose(shared, np.minimum(dense, query).sum(axis=1), rtol=0, atol=1e-12)


@pytest.mark.parametrize("damage, message", [
    pytest.param(lambda s, r: (s[:-1], r), "bucket starts", id="starts-short"),
    pytest.param(lambda s, r: (np.where(np.arange(len(s)) == 5, s[-1] + 1, s), r), "bucket starts", id="starts-beyond"),
    pytest.param(lambda s, r: (s, r[:-1]), "bucket starts", id="rows-missing"),
    pytest.param(lambda s, r: (s, r.reshape(-1)[:-3]), "bucket starts", id="rows-cut"),
    pytest.param(lambda s, r: (s, np.where(np.arange(r.shape[1]) >= 11, 255, r).astype(np.uint8)), "beyond",
                 id="image-beyond"),
])
def test_a_damaged_index_is_a_value_error(index, damage, message):
    starts, rows, count, _ = index
    bad_starts, bad_rows = damage(starts.copy(), rows.copy())
    with pytest.raises(ValueError, match=message):
        _colour_shares(bad_starts, bad_rows, count, srgb_to_lab(np.array([128.0, 128, 128])), 10.0, TAIL, RATIO)


@pytest.mark.parametrize("arguments, error", [
    ((np.zeros(22, np.uint8), np.array([1, 1]), 12.0), None),
    ((np.zeros(21, np.uint8), np.array([1, 1]), 12.0), ValueError),
    ((np.zeros(11, np.uint8), np.array([-1, 2]), 12.0), ValueError),
    ((np.zeros(11, np.float64), np.array([1]), 12.0), TypeError),
    ((np.zeros(11, np.uint8), np.array([1]), float("nan")), ValueError),
])
def test_index_building_checks_its_records(arguments, error):
    if error is None:
        starts, rows = _colour_index(*arguments)
        assert starts[-1] == len(rows) == 2
    else:
        with pytest.raises(error):
            _colour_index(*arguments)


# ---------------------------------------------------------------- the index file beside the catalogue


def fill(path, tables, first=0):
    with Catalogue(path, create=True) as catalogue:
        settings_id = catalogue._settings_id(Profile.of())
        with catalogue._writing() as store:
            for number, table in enumerate(tables, first):
                palette = [{"color": (number % 256, 90, 200), "percentage": 100.0}]
                state = (1, number, number, number)  # size, modification and change times, inode
                catalogue._put(store, settings_id, f"/p/{number}.jpg", state, palette, table.tobytes())
        catalogue._refresh_index()


def answers(path, colours=("#f5f5f0", "#223366", "teal")):
    with Catalogue(path) as catalogue:
        return [catalogue.search([colour], min_share=0.5, limit=1000) for colour in colours], catalogue.similar(
            [{"color": (240, 240, 235), "percentage": 60.0}, {"color": (40, 60, 90), "percentage": 40.0}], limit=30)


def brute_force(tables, colour):
    query = srgb_to_lab(np.array(colour, np.float64))
    shares = Distributions.of([table.tobytes() for table in tables]).shares(query, 10.0)[0]
    return {f"/p/{number}.jpg": share for number, share in enumerate(shares) if share >= 0.5}


def test_search_through_the_index_file_gives_the_estimators_hits(tmp_path, tables):
    path = str(tmp_path / "c.db")
    fill(path, tables[:400])
    assert os.path.exists(sidecar(path))
    with Catalogue(path) as catalogue:
        hits = catalogue.search([(245, 245, 240)], min_share=0.5, limit=1000)
    expected = brute_force(tables[:400], (245, 245, 240))
    assert {hit["path"]: hit["share"] for hit in hits} == pytest.approx(expected, abs=1e-9)
    assert [hit["share"] for hit in hits] == sorted((hit["share"] for hit in hits), reverse=True)


@pytest.mark.parametrize("spoil", ["stale", "missing", "another catalogue's", "damaged", "truncated", "older layout"])
def test_an_index_file_not_of_this_catalogue_is_rebuilt_never_believed(tmp_path, tables, spoil):
    path, other = str(tmp_path / "c.db"), str(tmp_path / "other.db")
    fill(path, tables[:300])
    before = answers(path)
    if spoil == "stale":  # another writer's change, the index file left as it was
        saved = pathlib.Path(sidecar(path)).read_bytes()
        fill(path, tables[300:400], first=300)
        pathlib.Path(sidecar(path)).write_bytes(saved)
    elif spoil == "missing":
        os.unlink(sidecar(path))
    elif spoil == "another catalogue's":
        fill(other, tables[600:900])
        os.replace(sidecar(other), sidecar(path))
    elif spoil == "damaged":
        data = bytearray(pathlib.Path(sidecar(path)).read_bytes())
        data[20:60] = b"x" * 40
        pathlib.Path(sidecar(path)).write_bytes(bytes(data))
    elif spoil == "older layout":  # its cells and levels mean other buckets than this version's
        data = pathlib.Path(sidecar(path)).read_bytes()
        layout = re.search(rb'"layout": (\d+)', data)
        older = str(int(layout.group(1)) - 1).encode()
        pathlib.Path(sidecar(path)).write_bytes(data[:layout.start(1)] + older + data[layout.end(1):])
    else:
        with open(sidecar(path), "r+b") as index_file:
            index_file.truncate(os.path.getsize(sidecar(path)) // 2)
    after = answers(path)
    if spoil == "stale":
        expected = brute_force(tables[:400], (245, 245, 240))
        assert {hit["path"]: hit["share"] for hit in after[0][0]} == pytest.approx(expected, abs=1e-9)
    else:
        assert after == before
    if spoil == "older layout":  # not believed: built again and written over
        assert re.search(rb'"layout": (\d+)', pathlib.Path(sidecar(path)).read_bytes()).group(1) == layout.group(1)
    assert answers(path) == after  # and the file written again is believed


def test_stored_halves_are_read_as_the_exact_values_they_hold():
    # Every record at a stored half of another lightness (subnormal, small, every exponent up to 64, the
    # largest below 100), a and b at the negated halves: at tolerance 0 the query of a record's own values
    # finds it alone, which a half read one unit off in its last place would not.
    halves = np.array([0.0, 2.0**-24, 3 * 2.0**-20, 2.0**-14, 0.1, 0.5, 1.0, 1.5, 3.0, 7.75, 12.3, 25.0, 50.0,
                       63.97, 99.94], np.float16)
    records = np.zeros(len(halves), RECORD)
    records["lab"] = np.stack([halves, -halves[::-1], -halves], axis=1)
    records["weight"] = 1000
    bucket_starts, rows = _colour_index(records.view(np.uint8), np.ones(len(halves), np.int64), TAIL * RATIO)
    for image, lab in enumerate(records["lab"].astype(np.float64)):
        images, shares = _colour_shares(bucket_starts, rows, len(halves), lab, 0.0, TAIL, RATIO)
        assert images.tolist() == [image] and shares.tolist() == [1000 * (100 / 65535)]


class _Hits:
    """Palettes as a search's answer reads them: each image's colour rows consecutive."""

    def __init__(self, sizes, cielab):
        self.ids = list(range(len(sizes)))
        self.starts = np.concatenate([[0], np.cumsum(sizes)]).astype(int)
        self.cielab = cielab

    def colours(self, image):
        return range(int(self.starts[image]), int(self.starts[image + 1]))


@pytest.mark.parametrize("sizes", [[5, 0, 3, 1, 12], [0, 0], [7]], ids=["mixed, one empty", "all empty", "one"])
def test_nearest_palette_colours_are_each_palettes_first_nearest(sizes):
    """Each hit's nearest palette colour and its difference: the first of least CIEDE2000 in the palette's
    own order, equal colours included; none (infinite) for a palette without colours."""
    rng = np.random.default_rng(3)
    cielab = srgb_to_lab(rng.integers(0, 256, (sum(sizes) + 1, 3)).astype(float))
    if len(cielab) > 4:
        cielab[3] = cielab[2] = cielab[-1]  # a tie within the first palette, at the first query
    palettes = _Hits(sizes, cielab)
    queries = np.vstack([cielab[-1], srgb_to_lab(np.array([[135.0, 206, 235], [0, 0, 128]]))])
    nearest, difference = nearest_colours(palettes, queries)
    for image, size in enumerate(sizes):
        rows = np.arange(palettes.starts[image], palettes.starts[image + 1])
        if not size:
            assert np.all(difference[:, image] == np.inf)
            continue
        apart = ciede2000(queries[:, None, :], cielab[rows][None, :, :])
        assert np.array_equal(nearest[:, image], rows[np.argmin(apart, axis=1)])
        assert np.array_equal(difference[:, image], apart.min(axis=1))
