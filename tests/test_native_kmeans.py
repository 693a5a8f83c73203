"""The native K-means: ColorExtractor.extract_colors (and FastColorExtractor._cluster_colors_kmeans called
directly) gives scikit-learn's answers (KMeans with random_state=42 and n_init=10); wherever the native fit
does not apply or cannot vouch for the answer the library fits, and each such fit is counted by reason;
LibraryColorExtractor always asks the library."""

import copy
import json
import os
import pickle
import signal
import subprocess
import sys
import time
import warnings

import cv2
import numpy as np
import pytest
from sklearn.cluster import KMeans
from threadpoolctl import threadpool_limits

from child_worker import UNDER_ASAN
import kmeans_corpus
import lumvarde_quorle
import lumvarde_quorle.color_extractor_cy as module
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor, LibraryColorExtractor

SETTINGS = [(pre, lab) for pre in (False, True) for lab in (True, False)]


@pytest.fixture
def fallbacks():
    """What the native K-means left to the library from now on: {(library call, reason): count}, where
    KMeans.fit counts whole fits, _kmeans_plusplus the runs it seeded and _kmeans_single_lloyd the runs
    it iterated."""
    module._kmeans_fallbacks.clear()
    return module._kmeans_fallbacks


def test_every_counted_reason_is_published(fallbacks):
    """Counts are keyed by reason names that the module explains."""
    FastColorExtractor(3)._cluster_colors_kmeans(ramp(width=16, rows=8))
    assert set(reason for _, reason in fallbacks) <= set(module._kmeans_fallback_reasons)
    assert all(isinstance(text, str) and text for text in module._kmeans_fallback_reasons.values())


def library_fits(fallbacks):
    return sum(count for (call, _), count in fallbacks.items() if call == "KMeans.fit")


def seeded_by_library(fallbacks):
    return sum(count for (call, _), count in fallbacks.items() if call == "_kmeans_plusplus")


def pixels_of(image, lab_space=True, preprocessing=False, mask=None):
    extractor = ColorExtractor(5, "kmeans", preprocessing, lab_space)
    return extractor._extract_pixels(extractor._convert_to_feature_space(extractor._preprocess_image(image)), mask)


def library(pixels, n_colors):
    estimator = KMeans(n_clusters=n_colors, random_state=42, n_init=10)
    labels = estimator.fit_predict(pixels)
    return estimator.cluster_centers_, labels


def assert_library_pair(pair, pixels, n_colors, exact_centres=False):
    """The library's labels, and its centres (but for the last bits of their sums unless exact)."""
    colors, labels = pair
    want_colors, want_labels = library(pixels, n_colors)
    assert labels.dtype == want_labels.dtype and np.array_equal(labels, want_labels)
    assert colors.dtype == np.float64 and colors.shape == want_colors.shape
    if exact_centres:
        assert np.array_equal(colors, want_colors)
    np.testing.assert_allclose(colors, want_colors, rtol=0, atol=1e-9)


def corpus_size():
    """The corpus run by `make test`; `make corpus` sets LQ_KMEANS_CORPUS=count:rowsxcolumns."""
    count, _, size = os.environ.get("LQ_KMEANS_CORPUS", "108:64x96").partition(":")
    rows, _, columns = size.partition("x")
    return int(count), (int(rows), int(columns))


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
def test_corpus_agrees_with_the_library(capsys, fallbacks):
    count, size = corpus_size()
    cases, differing, by_library = 0, [], []
    for name, image, mask, n_colors in kmeans_corpus.cases(count, photo_size=size):
        for preprocessing, lab_space in SETTINGS:
            want = LibraryColorExtractor(n_colors, "kmeans", preprocessing, lab_space).extract_colors(image, mask)
            fits_before = library_fits(fallbacks)
            got = ColorExtractor(n_colors, "kmeans", preprocessing, lab_space).extract_colors(image, mask)
            if library_fits(fallbacks) > fits_before:
                by_library.append(name.split("-")[1])
            cases += 1
            if got != want:
                differing.append((name, preprocessing, lab_space))
    with capsys.disabled():
        print(f"\nnative K-means agreement: {cases - len(differing)}/{cases} extractions identical over {count} "
              f"images of up to {size[0]}x{size[1]}; {len(by_library)} fitted by the library "
              f"({', '.join(sorted(set(by_library)))})")
        for (call, reason), number in sorted(fallbacks.items()):
            print(f"  {number:4d} x {call} ({'runs' if call == '_kmeans_plusplus' else 'fits'}): "
                  f"{module._kmeans_fallback_reasons[reason]}")
    assert differing == []
    # Images of a few flat colours need the library's seeding or its first run, not its whole fit.
    assert len(by_library) <= 0.02 * cases, fallbacks
    assert seeded_by_library(fallbacks) > 0


@pytest.fixture(scope="module")
def photo_crops(china_bgr, flower_bgr):
    return {"china": china_bgr[120:220, 300:450], "flower": flower_bgr[150:230, 200:330],
            "china-small": cv2.resize(china_bgr, (160, 107), interpolation=cv2.INTER_AREA)}


@pytest.mark.parametrize("n_colors", [1, 2, 4, 8])
@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("crop", ["china", "flower", "china-small"])
def test_labels_and_centres_are_the_library_ones(fallbacks, photo_crops, crop, lab_space, n_colors):
    pixels = pixels_of(photo_crops[crop], lab_space)
    assert_library_pair(FastColorExtractor(n_colors)._cluster_colors_kmeans(pixels), pixels, n_colors)
    assert library_fits(fallbacks) == 0


def test_full_photo_agrees_without_the_library(fallbacks, china_bgr):
    for lab_space in (True, False):
        pixels = pixels_of(china_bgr, lab_space)
        assert_library_pair(FastColorExtractor(6)._cluster_colors_kmeans(pixels), pixels, 6)
    assert fallbacks == {}


def crowded(kind, seed, rows=20000):
    """Many distinct colours, so that bisectors cut through crowded parts of colour space: blobs of
    different spreads, some touching, or the whole cube at random."""
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.integers(0, 256, (rows, 3), dtype=np.uint8)
    centres, spread = rng.integers(40, 216, (6, 3)), rng.uniform(4, 30, (6, 1))
    which = rng.integers(0, 6, rows)
    return np.clip(np.rint(centres[which] + rng.normal(size=(rows, 3)) * spread[which]), 0, 255).astype(np.uint8)


@pytest.mark.parametrize("kind, seed", [("blobs", 0), ("blobs", 1), ("uniform", 2)])
@pytest.mark.parametrize("n_colors", [2, 5, 9, 17, 40])
def test_crowded_colours_get_the_library_labels(fallbacks, kind, seed, n_colors):
    pixels = crowded(kind, seed)
    assert_library_pair(FastColorExtractor(n_colors)._cluster_colors_kmeans(pixels), pixels, n_colors)
    assert library_fits(fallbacks) == 0, fallbacks


def test_direct_stage_call_is_the_library_itself(fallbacks, photo_crops):
    """ColorExtractor's own stage keeps returning the estimator's arrays; extract_colors uses the native fit
    and reports the same colours."""
    image = photo_crops["china"]
    pixels = pixels_of(image)
    assert_library_pair(ColorExtractor(4)._cluster_colors_kmeans(pixels), pixels, 4, exact_centres=True)
    want = LibraryColorExtractor(4, "kmeans", False, True).extract_colors(image)
    assert ColorExtractor(4, "kmeans", False, True).extract_colors(image) == want
    assert fallbacks == {}


def ramp(width=21, rows=5):
    """Evenly spaced colours on a line: k-means++ candidates of exactly equal potential."""
    t = np.linspace(0, 1, width)[:, None]
    ramp = np.array([10, 200, 30]) * (1 - t) + np.array([240, 20, 130]) * t
    return np.tile(ramp.round().astype(np.uint8), (rows, 1))


def studio():
    """White background, a rectangle and a disc: three flat colours."""
    image = np.full((30, 40, 3), 255, np.uint8)
    cv2.rectangle(image, (3, 4), (17, 25), (40, 90, 200), -1)
    cv2.circle(image, (29, 15), 8, (30, 160, 60), -1)
    return image.reshape(-1, 3)


def palette():
    """Four colours scattered over 900 rows."""
    rng = np.random.default_rng(5)
    return rng.integers(0, 256, (4, 3), dtype=np.uint8)[rng.integers(0, 4, 900)]


# (rows, n_colors, fewer distinct colours than clusters)
LIBRARY_STEPS = {
    "ramp k4": (ramp, 4, False), "ramp k5": (ramp, 5, False), "ramp k8": (ramp, 8, False),
    "studio k4": (studio, 4, True), "studio k8": (studio, 8, True), "palette k6": (palette, 6, True),
}


@pytest.mark.parametrize("make, n_colors, fewer_colours", LIBRARY_STEPS.values(), ids=LIBRARY_STEPS.keys())
def test_undecided_seeding_takes_the_library_steps_not_its_fit(fallbacks, make, n_colors, fewer_colours):
    """Runs whose k-means++ only the library can decide are seeded by its _kmeans_plusplus at their
    place in the random stream; with fewer colours than clusters the library's first run is the fit."""
    pixels = make()
    with warnings.catch_warnings(record=True) as got_warnings:
        warnings.simplefilter("always")
        pair = FastColorExtractor(n_colors)._cluster_colors_kmeans(pixels)
    assert library_fits(fallbacks) == 0 and seeded_by_library(fallbacks) > 0, fallbacks
    with warnings.catch_warnings(record=True) as want_warnings:
        warnings.simplefilter("always")
        library(pixels, n_colors)
    assert [str(w.message) for w in got_warnings] == [str(w.message) for w in want_warnings]
    assert_library_pair(pair, pixels, n_colors, exact_centres=fewer_colours)


@pytest.mark.parametrize("width, rows, n_colors, counted", [
    # Evenly spaced colours: a colour on the bisector of two centres; only those runs are the library's.
    (16, 8, 3, {("_kmeans_single_lloyd", "bisector"): 4}),
    (16, 8, 6, {("_kmeans_plusplus", "seeding_tie"): 4, ("_kmeans_single_lloyd", "bisector"): 3}),
    # Two runs of nearly equal inertia: only the whole fit can choose.
    (64, 3, 5, {("KMeans.fit", "equal_inertia"): 1}),
])
def test_steps_left_to_the_library_are_counted_by_reason(fallbacks, width, rows, n_colors, counted):
    pixels = ramp(width, rows)
    pair = FastColorExtractor(n_colors)._cluster_colors_kmeans(pixels)
    assert fallbacks == counted
    assert_library_pair(pair, pixels, n_colors, exact_centres=library_fits(fallbacks) > 0)
    image = pixels.reshape(rows, width, 3)
    fallbacks.clear()
    assert ColorExtractor(n_colors, "kmeans", False, False).extract_colors(image) == LibraryColorExtractor(
        n_colors, "kmeans", False, False).extract_colors(image)
    assert fallbacks == counted


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda p: p[::2], id="strided rows"),
        pytest.param(lambda p: np.asfortranarray(p), id="column-major"),
        pytest.param(lambda p: p[::-1], id="reversed rows"),
    ],
)
def test_any_uint8_row_layout(fallbacks, photo_crops, make):
    pixels = make(pixels_of(photo_crops["china"]))
    assert_library_pair(FastColorExtractor(5)._cluster_colors_kmeans(pixels), np.ascontiguousarray(pixels), 5)
    assert fallbacks == {}


class NumpyProxy:
    def __getattr__(self, name):
        return getattr(np, name)


def counting(calls, method):
    def count(self, *args, **kwargs):
        calls.append(method.__name__)
        return method(self, *args, **kwargs)

    return count


@pytest.mark.parametrize(
    "change, pixels, reason",
    [
        ("rebind KMeans", None, "rebound"),
        ("rebind np", None, "rebound"),
        ("patch fit", None, "replaced"),
        ("patch fit_predict", None, "replaced"),
        (None, lambda p: p.astype(np.float64), "rows_form"),
        (None, lambda p: p.astype(np.int16), "rows_form"),
        (None, lambda p: p.view(type("Sub", (np.ndarray,), {})), "rows_form"),
    ],
    ids=["KMeans rebound", "np rebound", "fit patched", "fit_predict patched", "float rows", "int16 rows",
         "ndarray subclass"],
)
def test_library_path_outside_the_gate(fallbacks, rebind, monkeypatch, photo_crops, change, pixels, reason):
    """A test double of the library, or rows the native fit was not proven for, get the library call itself,
    from the stage called directly and from extract_colors, counted by reason."""
    rows = pixels_of(photo_crops["flower"])
    calls = []
    if change == "rebind KMeans":
        rebind("KMeans", lambda **kwargs: calls.append("KMeans") or KMeans(**kwargs))
    elif change == "rebind np":
        rebind("np", NumpyProxy())
    elif change:
        method = change.split()[1]
        monkeypatch.setattr(KMeans, method, counting(calls, getattr(KMeans, method)))
    if pixels:
        rows = pixels(rows)
    colors, labels = FastColorExtractor(3)._cluster_colors_kmeans(rows)
    assert fallbacks == {("KMeans.fit", reason): 1}
    want_colors, want_labels = ColorExtractor(3)._cluster_colors_kmeans(rows)
    assert np.array_equal(labels, want_labels) and np.array_equal(colors, want_colors)
    if change:
        assert calls or change == "rebind np"
        ColorExtractor(3, "kmeans", False, True).extract_colors(photo_crops["flower"])
        assert fallbacks == {("KMeans.fit", reason): 2}


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.parametrize(
    "rows, n_colors",
    [
        ([(9, 9, 9), (1, 2, 3), (9, 9, 9)], 5),  # fewer rows than colours: the distinct rows
        (np.zeros((0, 3)), 1),
        ([(1, 2, 3)] * 4, 2),  # fewer distinct colours than clusters: the library decides
        ([(10, 10, 10)] * 30 + [(200, 0, 0)] * 30 + [(0, 0, 200)] * 3, 5),
    ],
)
def test_short_and_degenerate_inputs_are_the_base_class_ones(rows, n_colors):
    pixels = np.array(rows, np.uint8).reshape(-1, 3)
    got = FastColorExtractor(n_colors)._cluster_colors_kmeans(pixels)
    want = ColorExtractor(n_colors)._cluster_colors_kmeans(pixels)
    for g, w in zip(got, want):
        assert g.dtype == w.dtype and np.array_equal(g, w)


@pytest.mark.parametrize(
    "n_colors, argument, error",
    [(0, np.zeros((4, 3), np.uint8), ValueError), (-1, np.zeros((4, 3), np.uint8), ValueError),
     (3, None, TypeError), (3, [[1, 2, 3]], TypeError)],
)
def test_errors_are_the_base_class_ones(n_colors, argument, error):
    with pytest.raises(error) as want:
        ColorExtractor(n_colors)._cluster_colors_kmeans(argument)
    with pytest.raises(error) as got:
        FastColorExtractor(n_colors)._cluster_colors_kmeans(argument)
    assert str(got.value) == str(want.value)


@pytest.mark.parametrize("rows, n_colors", [("china-small", 7), ("ramp", 5), ("blobs", 9)])
def test_result_does_not_depend_on_the_thread_count(photo_crops, rows, n_colors):
    pixels = {"china-small": lambda: pixels_of(photo_crops["china-small"]), "ramp": ramp,
              "blobs": lambda: crowded("blobs", 3)}[rows]()
    results = []
    for threads in (1, 2, 3):
        with threadpool_limits(threads, user_api="openmp"):
            results.append(FastColorExtractor(n_colors)._cluster_colors_kmeans(pixels))
    for colors, labels in results[1:]:
        assert np.array_equal(colors, results[0][0]) and np.array_equal(labels, results[0][1])


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
def test_first_run_by_the_library_under_any_thread_count():
    """The library's iterations depend on its thread count in the last bits (beyond two threads even
    from call to call, as its threads' sums meet in any order); they run with the count that
    KMeans.fit would use."""
    pixels = np.tile(studio(), (8, 1))
    for threads in (1, 2, 3):
        with threadpool_limits(threads, user_api="openmp"):
            colors, labels = FastColorExtractor(5)._cluster_colors_kmeans(pixels)
            want_colors, want_labels = library(pixels, 5)
        assert np.array_equal(labels, want_labels)
        np.testing.assert_allclose(colors, want_colors, rtol=0, atol=0 if threads <= 2 else 1e-9)


@pytest.mark.parametrize("kind", [FastColorExtractor, LibraryColorExtractor])
def test_class_surface(kind):
    assert issubclass(kind, ColorExtractor)
    assert getattr(lumvarde_quorle, kind.__name__) is kind
    assert kind.__module__ == "lumvarde_quorle.color_extractor_cy"
    method = kind._cluster_colors_kmeans
    base = ColorExtractor._cluster_colors_kmeans
    assert method is not base and method.__qualname__ == f"{kind.__name__}._cluster_colors_kmeans"
    assert method.__doc__ == base.__doc__ and method.__text_signature__ == base.__text_signature__
    assert kind.extract_colors is ColorExtractor.extract_colors
    extractor = kind(3, "dbscan", False, True)
    assert not hasattr(extractor, "__dict__")
    assert extractor.__reduce__()[1][0] is kind


ROUND_TRIPS = {f"pickle {p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, p))) for p in (0, 2, 5)} | {
    "copy": copy.copy, "deepcopy": copy.deepcopy}


@pytest.mark.parametrize("kind", [FastColorExtractor, LibraryColorExtractor])
@pytest.mark.parametrize("round_trip", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_round_trip_keeps_the_type(round_trip, kind):
    extractor = kind(4, "kmeans", False, True)
    copied = round_trip(extractor)
    assert type(copied) is kind and copied.__reduce__() == extractor.__reduce__()


def test_library_class_fits_with_the_library(fallbacks, monkeypatch, photo_crops):
    calls = []
    monkeypatch.setattr(KMeans, "fit", counting(calls, KMeans.fit))
    LibraryColorExtractor(3, "kmeans", False, True).extract_colors(photo_crops["china"])
    assert calls == ["fit"] and fallbacks == {}  # asked for, not a fallback


@pytest.mark.parametrize("after", [0.01, 0.3], ids=["counting the colours", "fitting"])
def test_ctrl_c_stops_a_long_fit(after):
    """The fit checks for signals while it runs without the GIL, and leaves nothing behind. The whole
    fit takes about 7 s here (several times that in the sanitizer build); stopping takes a fraction.
    Stopped while the colours are counted, the interruption leaves a function with per-processor clones,
    which the process must survive."""
    pixels = np.random.default_rng(7).integers(0, 256, (3_000_000, 3), dtype=np.uint8)
    extractor = FastColorExtractor(8)

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, after)
        start = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            extractor._cluster_colors_kmeans(pixels)
        # The sanitizer build runs every step several times slower.
        assert time.perf_counter() - start < (12.0 if UNDER_ASAN else 4.0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    colors, labels = extractor._cluster_colors_kmeans(pixels[:2000])  # still usable
    assert labels.shape == (2000,)


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.parametrize("rows, n_colors, repeats", [("china", 4, 2000), ("ramp", 5, 200), ("studio", 5, 200)])
def test_memory_flat(memory_flat, photo_crops, rows, n_colors, repeats):
    pixels = pixels_of(photo_crops["china"])[:300] if rows == "china" else {"ramp": ramp, "studio": studio}[rows]()
    extractor = FastColorExtractor(n_colors)
    memory_flat(lambda: extractor._cluster_colors_kmeans(pixels), repeats=repeats)


# -- extract_colors straight from the image ------------------------------------------------------------


def overriding(stage, calls):
    """A subclass whose `stage` defers to the module's own, recording that it ran: the interpreter's road."""

    def override(self, *args):
        calls.append(stage)
        return getattr(ColorExtractor, stage)(self, *args)

    return type("Overriding", (ColorExtractor,), {stage: override})


def two_equal_marks():
    """White and two marks of equal area: fewer colours than clusters, and two shares alike."""
    image = np.full((60, 80, 3), 255, np.uint8)
    image[5:15, 5:25] = (200, 30, 40)
    image[30:40, 40:60] = (20, 160, 90)
    return image


ROAD_IMAGES = {
    "photo": lambda crops: (crops["china"], None),
    "photo, grey mask": lambda crops: (
        crops["flower"], cv2.circle(np.zeros((80, 130), np.uint8), (60, 40), 30, 255, -1)),
    "photo, colour mask": lambda crops: (
        crops["china"], cv2.circle(np.zeros((100, 150, 3), np.uint8), (70, 50), 40, (255, 255, 255), -1)),
    "logo": lambda crops: (studio().reshape(30, 40, 3), None),
    "logo, equal shares": lambda crops: (two_equal_marks(), None),
    "fewer pixels than colours": lambda crops: (
        crops["china"], cv2.circle(np.zeros((100, 150), np.uint8), (5, 5), 1, 255, -1)),
    "nothing kept": lambda crops: (crops["china"], np.zeros((100, 150), np.uint8)),
}


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("make", ROAD_IMAGES.values(), ids=ROAD_IMAGES.keys())
def test_straight_from_the_image_equals_the_stages(photo_crops, make, lab_space):
    image, mask = make(photo_crops)
    calls = []
    want = overriding("_calculate_percentages", calls)(5, "kmeans", False, lab_space).extract_colors(image, mask)
    got = ColorExtractor(5, "kmeans", False, lab_space).extract_colors(image, mask)
    assert got == want
    assert got == LibraryColorExtractor(5, "kmeans", False, lab_space).extract_colors(image, mask)
    assert calls or not want


# Kept columns: with most of the image outside the mask, the seeding's blocks are shorter than the
# pixel count suggests, and those made during the table's pass are not the fit's.
@pytest.mark.parametrize("kept", [None, 1200, 800], ids=["no mask", "mask", "mask keeps under half"])
def test_large_images_on_any_thread_count_equal_the_stages(china_bgr, kept):
    """From 2^21 pixels the colour table reads each row once, the stages' rows in place; the image's
    black pixels (dropped in RGB) and those outside the mask are never rows. Both roads, on one thread or
    two, give one result."""
    image = cv2.resize(china_bgr, (1800, 1200), interpolation=cv2.INTER_NEAREST)
    image[:300, :900] = 0  # dropped in RGB: the upper half keeps fewer pixels than it has
    mask = None
    if kept:
        mask = np.full(image.shape[:2], 255, np.uint8)
        mask[700 if kept > 1000 else 0 :, kept:] = 0
    want = overriding("_calculate_percentages", [])(5, "kmeans", False, False).extract_colors(image, mask)
    for threads in (1, 2):
        with threadpool_limits(threads, user_api="openmp"):
            assert ColorExtractor(5, "kmeans", False, False).extract_colors(image, mask) == want


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
def test_flat_graphics_need_no_library_run(fallbacks, monkeypatch):
    """With fewer colours than clusters each colour is a cluster of its own; only the order of equal shares
    needs the library's own first run, which the road then asks for."""
    import sklearn.cluster._kmeans as kmeans_module

    runs = []
    monkeypatch.setattr(kmeans_module, "_kmeans_single_lloyd", counting(runs, kmeans_module._kmeans_single_lloyd))
    logo = np.tile(studio().reshape(30, 40, 3), (4, 4, 1))
    with warnings.catch_warnings(record=True) as got:
        warnings.simplefilter("always")
        ColorExtractor(5, "kmeans", False, False).extract_colors(logo)
    assert runs == [] and fallbacks == {}
    assert [str(w.message) for w in got] == [
        "Number of distinct clusters (3) found smaller than n_clusters (5). Possibly due to duplicate points in X."]
    ColorExtractor(5, "kmeans", False, False).extract_colors(two_equal_marks())
    assert runs == ["_kmeans_single_lloyd"]


@pytest.mark.parametrize("stage", ["_preprocess_image", "_convert_to_feature_space", "_apply_mask",
                                   "_extract_pixels", "_calculate_percentages"])
def test_an_overridden_stage_is_run(photo_crops, stage):
    image = photo_crops["flower"]
    mask = np.full(image.shape[:2], 255, np.uint8)
    calls = []
    got = overriding(stage, calls)(4).extract_colors(image, mask)
    assert calls and got == ColorExtractor(4).extract_colors(image, mask)


RELEASE_PROBE = """
import json, sys, warnings
import numpy as np, sklearn
sklearn.__version__ = sys.argv[1] or sklearn.__version__
import lumvarde_quorle.color_extractor_cy as module
rows = np.random.default_rng(5).integers(0, 256, (3000, 3), dtype=np.uint8)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for _ in range(2):
        module.FastColorExtractor(3)._cluster_colors_kmeans(rows)
print(json.dumps([[str(w.message) for w in caught], module._kmeans_fallbacks.get(("KMeans.fit", "release"), 0)]))
"""


@pytest.mark.parametrize("version, tried, warned", [
    ("", None, False),  # the installed release
    ("1.2.2", None, True),
    ("1.2.2", "1.2", False),  # make releases lets the fit run on a release it verifies
    ("1.20.0", "1.2", True),  # another release, though it starts alike
])
def test_an_unverified_release_is_fitted_by_the_library_and_said_once(version, tried, warned):
    env = {key: value for key, value in os.environ.items() if key != "LQ_KMEANS_TRY_RELEASE"}
    if tried:
        env["LQ_KMEANS_TRY_RELEASE"] = tried
    done = subprocess.run([sys.executable, "-c", RELEASE_PROBE, version], env=env, capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    messages, library_fits_for_release = json.loads(done.stdout)
    assert library_fits_for_release == (2 if warned else 0)
    if warned:
        assert len(messages) == 1  # once per process, not per fit
        assert messages[0].startswith(f"scikit-learn {version} is not a release the native K-means is verified "
                                      f"against (")
        assert "about 70x slower on large images" in messages[0]
    else:
        assert not any("verified" in message for message in messages)


@pytest.mark.parametrize("shape, strided", [((1200, 1500), False), ((1200, 1800), False), ((1200, 1800), True)],
                         ids=["copied rows", "rows read in place", "strided rows read in place"])
def test_stage_labels_are_the_nearest_centres(china_bgr, shape, strided):
    """Below 2^21 rows the stage fits a private copy of the rows, from 2^21 on it reads them in place and
    keeps each row's colour in the labels array until its label replaces it: either way every row's label
    is its nearest centre, as the library's last assignment gives it."""
    image = cv2.resize(china_bgr, shape[::-1], interpolation=cv2.INTER_NEAREST)
    rows = pixels_of(image, lab_space=False)
    if strided:
        rows = np.asfortranarray(rows)
    colours, labels = FastColorExtractor(5, "kmeans", False, False)._cluster_colors_kmeans(rows)
    assert labels.dtype == np.int32 and labels.shape == (len(rows),) and labels.flags.owndata
    distinct, where = np.unique(rows, axis=0, return_inverse=True)
    distances = ((distinct[:, None, :].astype(float) - colours[None]) ** 2).sum(axis=2)
    ordered = np.sort(distances, axis=1)
    clear = ordered[:, 1] - ordered[:, 0] > 1e-6  # leave bisector ties to the library's own rounding
    nearest = distances.argmin(axis=1)[where.ravel()]
    assert np.array_equal(labels[clear[where.ravel()]], nearest[clear[where.ravel()]])
