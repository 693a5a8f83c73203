"""_cluster_colors_dbscan: scikit-learn's labels and the group colours, by the native path and by the
library path (forced by rebinding DBSCAN to an equivalent callable), checked against scikit-learn
called directly."""

import math
import os
import types

import cv2
import numpy as np
import pytest
from sklearn.cluster import DBSCAN
from sklearn.preprocessing import StandardScaler

from child_worker import run_python
from lumvarde_quorle.color_extractor_cy import ColorExtractor


def expected(pixels, n_colors):
    """DBSCAN on the standardised rows and the mean colour of each group, computed directly, with the
    cut to the n_colors largest groups renumbered: label i names colors[i], cut groups follow."""
    labels = DBSCAN(eps=0.5, min_samples=max(50, len(pixels) // 100)).fit_predict(
        StandardScaler().fit_transform(pixels)
    )
    groups = [label for label in np.unique(labels) if label != -1]
    colors = np.array([np.mean(pixels[labels == label], axis=0) for label in groups])
    if len(colors) > n_colors:
        order = np.argsort([np.sum(labels == label) for label in groups])[::-1][:n_colors]
        colors = colors[order]
        kept = [groups[i] for i in order]
        numbering = {label: number for number, label in enumerate(kept + [g for g in groups if g not in kept])}
        labels = np.array([numbering.get(label, -1) for label in labels], dtype=np.intp)
    return colors, labels


@pytest.fixture(params=["native", "library"])
def path(request, rebind):
    if request.param == "library":
        rebind("DBSCAN", lambda **kwargs: DBSCAN(**kwargs))
    return request.param


@pytest.fixture
def fit_predict_calls(monkeypatch):
    """Counts calls of DBSCAN.fit_predict while the module global stays the imported class."""
    calls = []
    original = DBSCAN.fit_predict

    def counting(self, *args, **kwargs):
        calls.append(self.get_params()["min_samples"])
        return original(self, *args, **kwargs)

    monkeypatch.setattr(DBSCAN, "fit_predict", counting)
    return calls


def cluster(pixels, n_colors=5):
    return ColorExtractor(n_colors, "dbscan", False, False)._cluster_colors_dbscan(pixels)


def assert_same(result, reference):
    (colors, labels), (want_colors, want_labels) = result, reference
    assert labels.dtype == np.intp and np.array_equal(labels, want_labels)
    assert colors.dtype == want_colors.dtype and colors.shape == want_colors.shape
    assert np.array_equal(colors, want_colors)


def blobs(rng, rows, groups, spread, duplicates=None):
    centres = rng.integers(0, 256, (groups, 3))
    pixels = centres[rng.integers(0, groups, rows)] + rng.normal(0, spread, (rows, 3))
    if duplicates:  # few distinct values, many repeats
        pixels = pixels // duplicates * duplicates
    return np.clip(pixels, 0, 255).astype(np.uint8)


RANDOM_IMAGES = [
    pytest.param(lambda rng: blobs(rng, 3000, 3, 12), id="three-blobs"),
    pytest.param(lambda rng: blobs(rng, 2500, 6, 25), id="six-wide-blobs"),
    pytest.param(lambda rng: blobs(rng, 2000, 2, 6, duplicates=9), id="duplicates"),
    pytest.param(lambda rng: blobs(rng, 1200, 4, 40, duplicates=24), id="few-colours"),
    pytest.param(lambda rng: rng.integers(0, 256, (3000, 3), dtype=np.uint8), id="uniform"),
    pytest.param(lambda rng: blobs(rng, 400, 1, 3), id="one-tight-blob"),
    pytest.param(lambda rng: blobs(rng, 60, 2, 30), id="sixty-rows"),
]


@pytest.mark.parametrize("make", RANDOM_IMAGES)
@pytest.mark.parametrize("seed", range(6))
def test_random_images_match_scikit_learn(path, make, seed):
    pixels = make(np.random.default_rng(seed))
    assert_same(cluster(pixels, 100), expected(pixels, 100))


@pytest.fixture(scope="module", params=["china", "flower"])
def small_photo(request, china_bgr, flower_bgr):
    image = {"china": china_bgr, "flower": flower_bgr}[request.param]
    return cv2.resize(image, (150, 100), interpolation=cv2.INTER_AREA)


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("n_colors", [5, 1])
def test_downscaled_photos_match_scikit_learn(path, small_photo, lab_space, n_colors):
    extractor = ColorExtractor(n_colors, "dbscan", True, lab_space)
    pixels = extractor._extract_pixels(extractor._convert_to_feature_space(extractor._preprocess_image(small_photo)))
    result = extractor._cluster_colors_dbscan(pixels)
    assert_same(result, expected(pixels, n_colors))


def test_full_photo_needs_no_neighbourhoods(china_bgr, fit_predict_calls):
    """A photo whose scikit-learn neighbourhoods would take over 10 GB: the native path never calls
    DBSCAN, and every colour is the mean of the rows that carry its label."""
    pixels = cv2.cvtColor(china_bgr, cv2.COLOR_BGR2LAB).reshape(-1, 3)
    colors, labels = cluster(pixels)
    assert fit_predict_calls == [] and labels.shape == (len(pixels),)
    assert len(colors) == labels.max() + 1 > 0
    for number, color in enumerate(colors):
        assert np.array_equal(color, np.mean(pixels[labels == number], axis=0))


def channel_with_scale(required, sigma, rows, centre=128):
    """Integer values, starting with centre + required, whose mean is centre and whose standard
    deviation is sigma, both exactly representable all along scikit-learn's computation (rows is a
    power of two)."""
    deviations = list(required) + [-sum(required)]
    half, odd = divmod(sigma**2 * rows - sum(d * d for d in deviations), 2)
    assert half >= 0 and not odd
    while half:
        a = min(math.isqrt(half), 127)
        deviations += [a, -a]
        half -= a * a
    assert len(deviations) <= rows
    return centre + np.array(deviations + [0] * (rows - len(deviations)))


def test_row_at_exactly_eps_is_a_neighbour(path, fit_predict_calls):
    """49 rows of one colour and one row exactly eps away: the pair makes the 50 that min_samples
    needs. Scale 2 makes every scaled value and square exact, so scikit-learn's answer is certain."""
    first = channel_with_scale([0] * 49 + [1], 2, 128)
    pixels = np.zeros((128, 3), np.uint8)
    pixels[:, 0] = first
    pixels[50:, 1] = 255  # the rows that balance the scale lie far away in the second channel
    scaled = StandardScaler().fit_transform(pixels)
    assert np.sum((scaled[0] - scaled[49]) ** 2) == 0.25
    colors, labels = cluster(pixels)
    assert fit_predict_calls == ([] if path == "native" else [50])
    assert_same((colors, labels), expected(pixels, 5))
    assert set(labels[:50]) == {0}


def rows_with_pairs_at_rounded_eps(tiles=1):
    """Offsets (3, 4) with scale 10 lie at eps up to rounding of inexact squares, repeated `tiles` times."""
    rows = 256
    pixels = np.zeros((rows, 3), np.uint8)
    pixels[:, 0] = channel_with_scale([0] * 49 + [3], 10, rows)
    pixels[:, 1] = channel_with_scale([0] * 49 + [4], 10, rows)
    pixels[50:, 2] = 255
    return np.tile(pixels, (tiles, 1))


def test_pair_at_rounded_eps_defers_to_scikit_learn(fit_predict_calls):
    """scikit-learn's tree may count such a pair either way, so the native path hands the rows to
    DBSCAN itself."""
    pixels = rows_with_pairs_at_rounded_eps()
    scaled = StandardScaler().fit_transform(pixels)
    assert abs(np.sum((scaled[0] - scaled[49]) ** 2) - 0.25) < 1e-15
    result = cluster(pixels)
    assert fit_predict_calls == [50]
    assert_same(result, expected(pixels, 5))


def test_pairs_at_rounded_eps_in_too_many_rows_go_to_the_library_as_distinct_colours(fit_predict_calls):
    """At 512 x 512 rows the library's neighbourhoods would need hundreds of gigabytes: its DBSCAN runs
    on the distinct colours weighted by their pixel counts instead."""
    pixels = rows_with_pairs_at_rounded_eps(1024)
    colors, labels = cluster(pixels)
    assert fit_predict_calls == [len(pixels) // 100]
    values, first, inverse, counts = np.unique(pixels, axis=0, return_index=True, return_inverse=True,
                                               return_counts=True)
    order = np.argsort(first)  # colours in order of first occurrence, as the rows number clusters
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    scaled = StandardScaler().fit(pixels).transform(values[order])
    per_colour = DBSCAN(eps=0.5, min_samples=len(pixels) // 100).fit_predict(scaled, sample_weight=counts[order])
    want_labels = per_colour[rank[inverse.reshape(-1)]]
    assert np.array_equal(labels, want_labels) and labels.max() >= 1
    assert np.array_equal(colors, [np.mean(pixels[labels == label], axis=0) for label in range(labels.max() + 1)])


def test_pairs_at_rounded_eps_in_a_large_image_stay_within_memory():
    # The peak of the child's own memory (VmHWM): its ru_maxrss would count the pages of this process,
    # as large as earlier tests left it, from before the exec.
    script = (
        "import sys; sys.path.insert(0, sys.argv[1]); import test_dbscan as t; "
        "t.cluster(t.rows_with_pairs_at_rounded_eps(1024)); "
        "print(next(line.split()[1] for line in open('/proc/self/status') if line.startswith('VmHWM:')))"
    )
    done = run_python(script, os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
    # The library's own call would need hundreds of gigabytes; the sanitizer build adds its shadow memory.
    gigabytes = 4 if os.environ.get("LQ_SKIP_RSS_CHECK") else 1
    assert int(done.stdout) < gigabytes * 1024 * 1024  # kilobytes


@pytest.mark.parametrize("first", ["left", "right"])
def test_border_row_reachable_from_two_clusters_joins_the_first_numbered(path, first):
    """A non-core row within eps of edge cores of two clusters takes the cluster whose first core
    comes first in row order."""
    values = [100] * 40 + [102] * 20, [110] * 40 + [108] * 20
    left, right = values if first == "left" else values[::-1]
    channel = np.array(left + right + [105] + [90] * 17 + [120] * 17)
    pixels = np.stack([channel, np.full_like(channel, 50), np.full_like(channel, 50)], axis=1).astype(np.uint8)
    reference = DBSCAN(eps=0.5, min_samples=50).fit(StandardScaler().fit_transform(pixels))
    border = 120
    assert border not in reference.core_sample_indices_ and set(reference.labels_[:120]) == {0, 1}
    colors, labels = cluster(pixels)
    assert_same((colors, labels), expected(pixels, 5))
    assert labels[border] == labels[0] == 0


@pytest.mark.parametrize("rows, clustered", [(5099, True), (5100, False)])
def test_group_of_fifty_is_core_only_while_min_samples_is_fifty(path, rows, clustered):
    """min_samples is 50 up to 5,099 rows and 51 from 5,100: a lone group of 50 equal rows is a
    cluster, then noise. The other rows sit on a grid wider than eps in groups of at most 45."""
    grid = np.array([(r, g, b) for r in range(10, 256, 60) for g in range(10, 256, 60) for b in range(10, 256, 60)])
    background = np.repeat(grid[1:], 45, axis=0)[: rows - 50]
    pixels = np.concatenate([np.repeat(grid[:1], 50, axis=0), background]).astype(np.uint8)
    colors, labels = cluster(pixels)
    assert_same((colors, labels), expected(pixels, 5))
    assert (labels[:50] == 0).all() == clustered and (labels[50:] == -1).all()


def noise_in_boxes(rng, rows, boxes):
    """Uniform noise in boxes of R, G, B given as (share of the rows, low corner, high corner), shuffled:
    nearly every colour is distinct and has about min_samples rows within eps."""
    parts = [rng.integers(low, high, (int(rows * share), 3)) for share, low, high in boxes]
    pixels = np.concatenate(parts)
    rng.shuffle(pixels)
    return pixels.astype(np.uint8)


NEAR_THRESHOLD = [
    pytest.param(lambda rng: noise_in_boxes(rng, 20000, [(1, (0, 0, 0), (256, 256, 256))]), id="uniform"),
    # Two clusters whose facing edges lie within eps of each other but hold no cores.
    pytest.param(lambda rng: noise_in_boxes(rng, 20000, [(0.5, (0, 0, 0), (100, 256, 256)),
                                                         (0.5, (132, 0, 0), (256, 256, 256))]), id="narrow-gap"),
    # Four clusters, numbered by whichever comes first in the shuffled rows.
    pytest.param(lambda rng: noise_in_boxes(rng, 20000, [(0.25, (0, 0, 0), (90, 90, 90)),
                                                         (0.25, (120, 0, 0), (210, 90, 90)),
                                                         (0.25, (0, 120, 0), (90, 210, 90)),
                                                         (0.25, (0, 0, 120), (90, 90, 210))]), id="four-blobs"),
    # A denser octant inside noise that is mostly below the threshold.
    pytest.param(lambda rng: noise_in_boxes(rng, 30000, [(0.6, (0, 0, 0), (256, 256, 256)),
                                                         (0.4, (0, 0, 0), (128, 128, 128))]), id="dense-octant"),
]


@pytest.mark.parametrize("make", NEAR_THRESHOLD)
@pytest.mark.parametrize("seed", [0, 2])
def test_colours_near_the_density_threshold_match_scikit_learn(make, seed):
    """Most core flags here are left uncounted where they cannot change a label: clusters, their
    numbering, borders between clusters and noise must still be scikit-learn's."""
    pixels = make(np.random.default_rng(seed))
    assert_same(cluster(pixels), expected(pixels, 5))


def test_all_noise_gives_an_empty_one_dimensional_colour_array(path):
    pixels = np.random.default_rng(3).integers(0, 256, (80, 3), dtype=np.uint8)
    colors, labels = cluster(pixels)
    assert colors.shape == (0,) and colors.dtype == np.float64
    assert labels.shape == (80,) and (labels == -1).all()


def separated_groups(sizes):
    corners = [(20, 20, 20), (230, 20, 20), (20, 230, 20), (20, 20, 230), (230, 230, 230)]
    return np.concatenate([np.repeat([corner], size, axis=0) for corner, size in zip(corners, sizes)]).astype(np.uint8)


@pytest.mark.parametrize("n_colors", [-1, 0, 2, 3, 4, 5])
@pytest.mark.parametrize("sizes", [(60, 90, 70, 80), (60, 70, 70, 60, 90)], ids=["distinct", "ties"])
def test_more_groups_than_n_colors_keeps_the_largest_and_renumbers(path, n_colors, sizes):
    pixels = separated_groups(sizes)
    colors, labels = cluster(pixels, n_colors)
    assert_same((colors, labels), expected(pixels, n_colors))
    for number, color in enumerate(colors):  # label i is the group of colors[i]
        assert np.array_equal(color, np.mean(pixels[labels == number], axis=0))


@pytest.mark.parametrize(
    "view",
    [
        pytest.param(lambda p: p[::2], id="every-other-row"),
        pytest.param(lambda p: p[::-1], id="reversed"),
        pytest.param(lambda p: np.asfortranarray(p), id="fortran-order"),
        pytest.param(lambda p: p.astype(np.float64), id="float-rows"),
        pytest.param(lambda p: p.view(np.ndarray).view(type("Rows", (np.ndarray,), {})), id="subclass"),
    ],
)
def test_strided_and_other_pixel_arrays(path, view):
    pixels = view(blobs(np.random.default_rng(9), 2400, 3, 10))
    assert_same(cluster(pixels), expected(np.asarray(pixels), 5))


@pytest.mark.parametrize("rows, min_samples", [(4000, 50), (5099, 50), (5100, 51), (20000, 200)])
def test_dbscan_arguments(rebind, rows, min_samples):
    recorded = []

    class Recording:
        def __init__(self, **kwargs):
            recorded.append(list(kwargs.items()))

        def fit_predict(self, scaled):
            recorded.append(scaled.shape)
            return np.full(len(scaled), -1)

    rebind("DBSCAN", Recording)
    pixels = np.random.default_rng(rows).integers(0, 256, (rows, 3), dtype=np.uint8)
    colors, labels = cluster(pixels)
    assert recorded == [[("eps", 0.5), ("min_samples", min_samples)], (rows, 3)]
    assert colors.shape == (0,) and (labels == -1).all()


@pytest.mark.parametrize("global_name", ["StandardScaler", "DBSCAN", "np"])
def test_rebinding_a_library_global_selects_the_library_path(rebind, fit_predict_calls, global_name):
    equivalent = {
        "StandardScaler": type("Scaler", (StandardScaler,), {}),
        "DBSCAN": lambda **kwargs: DBSCAN(**kwargs),
        "np": types.SimpleNamespace(**vars(np)),
    }[global_name]
    rebind(global_name, equivalent)
    pixels = separated_groups((60, 70))
    result = cluster(pixels)
    assert fit_predict_calls == [50]
    assert_same(result, expected(pixels, 5))


def test_library_calls_in_order(rebind):
    log = []

    class Scaler(StandardScaler):
        def fit_transform(self, X, y=None):
            log.append("fit_transform")
            return super().fit_transform(X)

    def estimator(**kwargs):
        log.append("DBSCAN")
        return DBSCAN(**kwargs)

    rebind("StandardScaler", Scaler)
    rebind("DBSCAN", estimator)
    pixels = separated_groups((60, 60))
    assert_same(cluster(pixels), expected(pixels, 5))
    assert log == ["fit_transform", "DBSCAN"]


@pytest.mark.parametrize("pixels", [None, np.zeros((0, 3), np.uint8)], ids=["none", "no-rows"])
def test_scaler_errors_propagate(pixels):
    with pytest.raises(ValueError) as direct:
        StandardScaler().fit_transform(pixels)
    with pytest.raises(ValueError) as raised:
        cluster(pixels)
    assert str(raised.value) == str(direct.value)


def test_no_leak(memory_flat):
    pixels = blobs(np.random.default_rng(5), 300, 2, 5)
    memory_flat(lambda: cluster(pixels), repeats=300)
