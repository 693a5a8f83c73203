"""Target colour matching: the LAB distance, the closest colour, the similarity analysis and the match
report. The match report's native path over distinct colours is compared with the per-pixel path (forced
by a subclass whose distance calls the base method) on the same inputs."""

import math
import traceback
import types

import cv2
import numpy as np
import pytest

from lumvarde_quorle.color_extractor_cy import ColorExtractor

ENTRY_KEYS = ["percentage", "similarity", "closest_color", "distance", "found_directly"]
MATCH_KEYS = [
    "total_percentage", "close_percentage", "very_close_percentage", "closest_pixel", "min_distance",
    "similarity_score",
]


def lab(rgb):
    return cv2.cvtColor(np.uint8([[rgb]]), cv2.COLOR_RGB2LAB)[0][0].astype(int)


class PerPixel(ColorExtractor):
    """Takes the per-pixel path of the match report: the distance is an override (of the same value)."""

    def _color_distance_lab(self, color1, color2):
        return ColorExtractor._color_distance_lab(self, color1, color2)


class Distances(ColorExtractor):
    """Distances from a table keyed by the second colour, and dominant colours given by the test."""

    def __init__(self, table, colors=(), **settings):
        super().__init__(**settings)
        self.table, self.colors = table, list(colors)

    def _color_distance_lab(self, color1, color2):
        return self.table[tuple(int(c) for c in color2)]

    def extract_colors(self, image, mask=None):
        return self.colors


def assert_same_report(fast, slow):
    assert list(fast) == list(slow)
    for name in fast:
        assert list(fast[name]) == MATCH_KEYS == list(slow[name])
        for key in MATCH_KEYS:
            assert fast[name][key] == slow[name][key], (name, key)
            assert type(fast[name][key]) is type(slow[name][key]), (name, key)


def bgr(*rgb_pixels):
    return np.array([[rgb[::-1] for rgb in rgb_pixels]], np.uint8)


# -- distance and closest colour ------------------------------------------------------------------


def test_distance_examples(rng):
    extractor = ColorExtractor()
    assert extractor._color_distance_lab(np.array([0, 0, 0]), np.array([255, 255, 255])) == 255.0
    for a, b in rng.integers(0, 256, (300, 2, 3)):
        distance = extractor._color_distance_lab(a, b)
        assert type(distance) is float and distance == extractor._color_distance_lab(b, a)
        assert extractor._color_distance_lab(a, a) == 0.0
        # The natively computed form of the fast match report, bit for bit.
        d0, d1, d2 = (float(x) for x in lab(a) - lab(b))
        assert distance == math.sqrt(d0 * d0 + d1 * d1 + d2 * d2)


def test_closest_color_takes_the_first_of_equals_and_returns_the_entry_itself():
    infos = [{"color": (0, 0, 255), "percentage": 50.0}, {"color": (9, 9, 9), "percentage": 30.0},
             {"color": (9, 9, 9), "percentage": 20.0}]
    closest, distance = ColorExtractor()._find_closest_color((10, 10, 10), infos)
    assert closest is infos[1]
    assert distance == ColorExtractor()._color_distance_lab(np.array((10,) * 3), np.array((9,) * 3))
    assert ColorExtractor()._find_closest_color((1, 2, 3), []) == (None, math.inf)


@pytest.mark.parametrize("target, infos", [([1, 2, 3], []), ((1, 2, 3), ()), (None, [])])
def test_closest_color_argument_types(target, infos):
    with pytest.raises(TypeError, match="has incorrect type"):
        ColorExtractor()._find_closest_color(target, infos)


# -- similarity analysis --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "distance, threshold, percentage, similarity, direct",
    [
        (20.0, 50.0, 18.0, 60.0, False),
        (0.0, 50.0, 30.0, 100.0, True),
        (50.0, 50.0, 0.0, 0, False),  # inclusive match, zero similarity
        (50.01, 50.0, 0, 0, False),
        (7.0, 5, 0, 0, True),  # direct match ignores the threshold
        (10.0, 50.0, 24.0, 80.0, False),
        (0.0, -1.0, 0, 0, True),  # a negative threshold matches nothing
        (0.0, 0, 30.0, 100.0, True),  # exact match at threshold 0, no division by zero
    ],
)
def test_similarity_entry(distance, threshold, percentage, similarity, direct):
    color = (10, 20, 30)
    extractor = Distances({color: distance}, [{"color": color, "percentage": 30.0}])
    result = extractor.analyze_color_similarity(None, {"t": (1, 2, 3)}, similarity_threshold=threshold)
    entry = result["t"]
    assert list(entry) == ENTRY_KEYS
    assert entry["percentage"] == percentage and type(entry["percentage"]) is type(percentage)
    assert entry["similarity"] == similarity and type(entry["similarity"]) is type(similarity)
    assert entry["closest_color"] is color and entry["distance"] == round(distance, 2)
    assert entry["found_directly"] is direct


def test_similarity_order_sharing_and_rounding():
    infos = [{"color": (1, 1, 1), "percentage": 60.0}, {"color": (2, 2, 2), "percentage": 40.0}]
    extractor = Distances({(1, 1, 1): 3.333, (2, 2, 2): 3.333}, infos)
    result = extractor.analyze_color_similarity("any", {"b": (0, 0, 0), "a": (5, 5, 5)})
    assert list(result) == ["b", "a"]
    assert result["b"]["closest_color"] is result["a"]["closest_color"] is infos[0]["color"]
    assert result["a"] == {"percentage": 56.0, "similarity": 93.33, "closest_color": (1, 1, 1),
                           "distance": 3.33, "found_directly": True}


def test_similarity_of_a_photo_with_its_own_dominant_colours(tmp_path, china_bgr, china_path):
    mask = np.zeros(china_bgr.shape[:2], np.uint8)
    mask[100:200, 200:300] = 255
    mask_path = str(tmp_path / "mask.png")
    cv2.imwrite(mask_path, mask)
    extractor = ColorExtractor(4, "kmeans", False, True)
    colors = extractor.extract_colors(china_bgr, mask)
    targets = {str(i): c["color"] for i, c in enumerate(colors)}
    result = extractor.analyze_color_similarity(china_path, targets, mask_path)
    assert list(result) == [str(i) for i in range(len(colors))] and len(colors) == 4
    for info, entry in zip(colors, result.values()):
        assert entry == {"percentage": info["percentage"], "similarity": 100.0, "closest_color": info["color"],
                         "distance": 0.0, "found_directly": True}


def test_similarity_without_colours_ignores_the_targets():
    assert Distances({}, []).analyze_color_similarity(None, {"bad": [1, 2, 3]}) == {}


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ((None, {"t": [255, 0, 0]}), TypeError, "'target_color' has incorrect type"),
        ((None, dict), TypeError, "'target_colors' has incorrect type"),
        ((None, type("D", (dict,), {})()), TypeError, "'target_colors' has incorrect type"),
        ((None, [], None, "far"), TypeError, "real number"),  # converted before the dict check
    ],
)
def test_similarity_argument_errors(arguments, error, message):
    extractor = Distances({(1, 1, 1): 1.0}, [{"color": (1, 1, 1), "percentage": 100.0}])
    with pytest.raises(error, match=message):
        extractor.analyze_color_similarity(*arguments)


@pytest.mark.parametrize(
    "found, error, message",
    [
        ((1, 2, 3), ValueError, r"too many values to unpack \(expected 2\)"),
        ([1], ValueError, "need more than 1 value to unpack"),
        (iter(()), ValueError, "need more than 0 values to unpack"),
        (iter((1, 2, 3)), ValueError, "too many values"),
        (5, TypeError, "not iterable"),
    ],
)
def test_closest_colour_override_must_give_two_values(found, error, message):
    class Odd(Distances):
        def _find_closest_color(self, target_color, image_colors):
            return found

    with pytest.raises(error, match=message) as raised:
        Odd({}, [{"color": (1, 1, 1), "percentage": 1.0}]).analyze_color_similarity(None, {"t": (1, 2, 3)})
    assert traceback.extract_tb(raised.value.__traceback__)[-1].name.endswith(".analyze_color_similarity")


# -- match report: literal behaviour --------------------------------------------------------------


def test_band_worked_example():
    # 200 pixels: 30 below 15, 50 more below 30, 20 more below 50, the rest far; the nearest at 4.0.
    distances = [4.0] + [14.99] * 29 + [15.0] * 50 + [49.99] * 20 + [50.0] * 100
    table = {(i % 256, i // 256, 7): d for i, d in enumerate(distances)}
    image = bgr(*table)
    entry = Distances(table, lab_space=False, preprocessing=False).find_color_matches(image, {"t": (1, 2, 3)})["t"]
    assert entry == {"total_percentage": 50.0, "close_percentage": 40.0, "very_close_percentage": 15.0,
                     "closest_pixel": (0, 0, 7), "min_distance": 4.0, "similarity_score": 92.0}
    assert all(type(entry[key]) is np.float64 for key in MATCH_KEYS if key != "closest_pixel")


@pytest.mark.parametrize("extractor_type", [ColorExtractor, PerPixel])
def test_uniform_image_and_far_target(extractor_type):
    extractor = extractor_type(lab_space=False, preprocessing=False)
    image = np.full((6, 5, 3), (40, 90, 200), np.uint8)
    result = extractor.find_color_matches(image, {"same": (200, 90, 40), "far": np.array([0, 255, 0])})
    assert result["same"] == dict(zip(MATCH_KEYS, [100.0, 100.0, 100.0, (200, 90, 40), 0.0, 100.0]))
    far = result["far"]
    assert far["total_percentage"] == 0.0 and type(far["total_percentage"]) is np.float64
    assert far["similarity_score"] == 0 and type(far["similarity_score"]) is int
    assert far["closest_pixel"] == (200, 90, 40) and far["min_distance"] >= 50


@pytest.mark.parametrize("extractor_type", [ColorExtractor, PerPixel])
@pytest.mark.parametrize("order", [0, 1])
def test_nearest_pixel_is_the_first_of_equals(extractor_type, order):
    # Two colours with the same LAB code, so at the same distance from every target.
    twins = [(94, 150, 199), (95, 150, 200)]
    assert (lab(twins[0]) == lab(twins[1])).all()
    first, second = twins[order], twins[1 - order]
    image = bgr((10, 10, 10), first, second, first, (10, 10, 10))
    entry = extractor_type(lab_space=False, preprocessing=False).find_color_matches(image, {"t": (100, 150, 200)})["t"]
    assert entry["closest_pixel"] == first


@pytest.mark.parametrize("extractor_type", [ColorExtractor, PerPixel])
def test_band_edges_are_strict(extractor_type):
    target, at_15, at_30, at_50 = (100, 150, 200), (24, 147, 219), (27, 144, 246), (21, 123, 252)
    distance = ColorExtractor()._color_distance_lab
    assert [distance(np.array(target), np.array(c)) for c in (at_15, at_30, at_50)] == [15.0, 30.0, 50.0]
    image = bgr(at_50, at_30, at_15, target)
    entry = extractor_type(lab_space=False, preprocessing=False).find_color_matches(image, {"t": target})["t"]
    assert entry == dict(zip(MATCH_KEYS, [75.0, 50.0, 25.0, target, 0.0, 100.0]))


def test_mask_path_is_read_like_extract_colors(tmp_path, china_bgr, china_path):
    mask = np.zeros(china_bgr.shape[:2], np.uint8)
    mask[100:140, 200:260] = 255
    path = str(tmp_path / "mask.png")
    cv2.imwrite(path, mask)
    extractor = ColorExtractor(lab_space=False, preprocessing=False)
    targets = {"t": (120, 130, 90)}
    assert_same_report(extractor.find_color_matches(china_path, targets, path),
                       extractor.find_color_matches(china_bgr, targets, mask))
    with pytest.raises(ValueError, match="^Could not load mask from " + str(tmp_path / "none.png")):
        extractor.find_color_matches(3, targets, str(tmp_path / "none.png"))  # before the image check


@pytest.mark.parametrize(
    "image, targets, error, message",
    [
        ("/nonexistent.png", {}, ValueError, "^Could not load image from /nonexistent.png$"),
        ([[1, 2, 3]], {}, TypeError, "Cannot convert list to numpy.ndarray"),
        (np.zeros((2, 2, 3), np.uint8), [], TypeError, "'target_colors' has incorrect type"),
    ],
)
def test_match_report_errors(image, targets, error, message):
    with pytest.raises(error, match=message) as raised:
        ColorExtractor().find_color_matches(image, targets)
    assert traceback.extract_tb(raised.value.__traceback__)[-1].name.endswith(".find_color_matches")


@pytest.mark.parametrize("mask", [np.zeros((4, 4), np.uint8), None])
def test_nothing_kept_or_no_targets_gives_an_empty_report(mask):
    image = np.full((4, 4, 3), 50, np.uint8)
    extractor = ColorExtractor(lab_space=False, preprocessing=False)
    targets = {"t": (1, 2, 3)} if mask is not None else {}
    assert extractor.find_color_matches(image, targets, mask) == {}


def test_targets_changed_during_the_walk():
    targets = {"a": (1, 2, 3), "b": (4, 5, 6)}

    class Growing(ColorExtractor):
        def _color_distance_lab(self, color1, color2):
            targets["c"] = (7, 8, 9)
            return 1.0

        def _find_closest_color(self, target_color, image_colors):
            targets["d"] = (7, 8, 9)
            return image_colors[0], 1.0

        def extract_colors(self, image, mask=None):
            return [{"color": (1, 1, 1), "percentage": 1.0}]

    for operation in (Growing().find_color_matches, Growing().analyze_color_similarity):
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            operation(np.full((2, 2, 3), 9, np.uint8), targets)


# -- match report: native path against the per-pixel path -----------------------------------------


@pytest.fixture(params=["china", "flower", "random"])
def region(request, china_bgr, flower_bgr):
    if request.param == "random":
        image = np.random.default_rng(5).integers(0, 256, (24, 40, 3), dtype=np.uint8)
        image[::7, ::5] = 0  # black pixels, dropped in the RGB space
        return image
    photo = china_bgr if request.param == "china" else flower_bgr
    return photo[150:174, 300:340]


@pytest.mark.parametrize("lab_space, preprocessing", [(True, True), (True, False), (False, False), (False, True)])
@pytest.mark.parametrize("masked", [False, True])
def test_native_report_equals_the_per_pixel_report(region, lab_space, preprocessing, masked):
    mask = None
    if masked:
        mask = np.zeros(region.shape[:2], np.uint8)
        cv2.circle(mask, (20, 12), 10, 255, -1)
    targets = {
        "present": tuple(int(c) for c in region[5, 5, ::-1]),
        "list": [200, 30, 40],
        "array": np.array([40, 160, 60]),
        "floats": (12.7, 250.2, 99.9),
        "wrapping": np.array([300, -5, 128]),
        "four": (10, 200, 30, 255),
    }
    settings = dict(n_colors=5, algorithm="kmeans", preprocessing=preprocessing, lab_space=lab_space)
    assert_same_report(ColorExtractor(**settings).find_color_matches(region, targets, mask),
                       PerPixel(**settings).find_color_matches(region, targets, mask))


@pytest.mark.parametrize("lab_space", [True, False])
def test_report_of_a_tiled_image_is_the_report_of_the_image(lab_space):
    # From about two million pixels on, an image's distinct colours are tabled in one pass instead of
    # two. Tiled that large, an image of 40 colours keeps its shares, each colour as a target still
    # finds itself as the nearest pixel, and DBSCAN (whose density threshold grows with the pixels)
    # finds the same 40 groups.
    rng = np.random.default_rng(7)
    colours = rng.integers(0, 256, (40, 3), dtype=np.uint8)
    image = colours[rng.integers(0, 40, (128, 256))]
    tiled = np.tile(image, (9, 8, 1))
    assert tiled.shape[0] * tiled.shape[1] > 2**21
    targets = {f"colour {i}": tuple(int(v) for v in colour[::-1]) for i, colour in enumerate(colours)}
    extractor = ColorExtractor(40, "dbscan", False, lab_space)
    assert extractor.find_color_matches(tiled, targets) == extractor.find_color_matches(image, targets)
    assert extractor.extract_colors(tiled) == extractor.extract_colors(image)


@pytest.mark.parametrize("target", ["abc", [1, 2], np.zeros((2, 3))])
def test_bad_targets_fail_alike(target):
    image = np.full((3, 3, 3), 70, np.uint8)
    errors = []
    for extractor_type in (ColorExtractor, PerPixel):
        with pytest.raises(Exception) as raised:
            extractor_type().find_color_matches(image, {"t": target})
        errors.append((type(raised.value), str(raised.value)))
    assert errors[0] == errors[1]


def test_rebound_libraries_and_wide_rows_take_the_per_pixel_path(rebind, monkeypatch, flower_bgr):
    region = flower_bgr[200:210, 250:262]
    targets = {"t": (200, 30, 40)}
    shapes, convert = [], cv2.cvtColor
    monkeypatch.setattr(cv2, "cvtColor", lambda image, code: shapes.append(image.shape) or convert(image, code))
    expected = ColorExtractor().find_color_matches(region, targets)
    # Native: three stage conversions, two batched ones, the target once.
    assert len(shapes) == 6 and shapes.count((1, 1, 3)) == 1
    shapes.clear()
    recording = types.SimpleNamespace(**{name: getattr(cv2, name) for name in dir(cv2) if name.isupper()})
    for name in ("createCLAHE", "bilateralFilter", "cvtColor"):
        setattr(recording, name, getattr(cv2, name))
    rebind("cv2", recording)
    assert_same_report(ColorExtractor().find_color_matches(region, targets), expected)
    assert shapes.count((1, 1, 3)) == 3 * region.shape[0] * region.shape[1]  # per pixel: LAB->RGB, two distances

    class WideRows(ColorExtractor):
        def _extract_pixels(self, image, mask=None):
            return ColorExtractor._extract_pixels(self, image, mask).astype(np.int64)

    monkeypatch.undo()
    assert_same_report(WideRows().find_color_matches(region, targets), expected)


def test_a_replaced_cvtcolor_that_breaks_batches_gives_the_per_pixel_report(monkeypatch, flower_bgr):
    """cv2 stays the imported module, but its cvtColor gives float images for more than one pixel: the
    batched conversions cannot be used, and the report is the one the per-pixel conversions give."""
    region = flower_bgr[200:210, 250:262]
    targets = {"t": (200, 30, 40), "u": (20, 90, 200)}
    expected = ColorExtractor(preprocessing=False).find_color_matches(region, targets)
    convert = cv2.cvtColor

    def float_batches(image, code):
        converted = convert(image, code)
        return converted if image.shape[:2] == (1, 1) or code != cv2.COLOR_LAB2RGB else converted.astype(float)

    monkeypatch.setattr(cv2, "cvtColor", float_batches)
    assert_same_report(ColorExtractor(preprocessing=False).find_color_matches(region, targets), expected)


# -- batched OpenCV conversion against one-pixel conversion ---------------------------------------


@pytest.mark.slow
@pytest.mark.parametrize("code", [cv2.COLOR_LAB2RGB, cv2.COLOR_RGB2LAB])
def test_batched_conversion_equals_one_pixel_conversion(code):
    every = np.arange(1 << 24, dtype=np.uint32)
    colours = np.stack([every >> 16, every >> 8 & 255, every & 255], axis=-1).astype(np.uint8)
    del every
    batched = cv2.cvtColor(colours.reshape(-1, 1, 3), code).reshape(-1, 3)  # the native path's layout
    # Rows of width one that OpenCV cannot merge: each colour converted as the only pixel of its row.
    spaced = np.empty((1 << 24, 2, 3), np.uint8)
    spaced[:, 0] = colours
    np.testing.assert_array_equal(cv2.cvtColor(spaced[:, :1], code).reshape(-1, 3), batched)
    del spaced
    np.testing.assert_array_equal(cv2.cvtColor(colours.reshape(4096, 4096, 3), code).reshape(-1, 3), batched)
    # One-pixel images, as the per-pixel path makes them, for a large random sample.
    sample = np.random.default_rng(24).integers(0, 1 << 24, 200_000)
    one_by_one = np.array([cv2.cvtColor(np.uint8([[colours[i]]]), code)[0][0] for i in sample])
    np.testing.assert_array_equal(one_by_one, batched[sample])


# -- memory ---------------------------------------------------------------------------------------


def test_reports_do_not_leak(memory_flat, flower_bgr):
    region = np.ascontiguousarray(flower_bgr[200:230, 250:290])
    targets = {"a": (200, 30, 40), "b": [40, 160, 60], "c": np.array([120, 170, 230])}
    memory_flat(lambda: ColorExtractor().find_color_matches(region, targets, region[:, :, 0]), repeats=1000)
    extractor = Distances({(1, 1, 1): 20.0}, [{"color": (1, 1, 1), "percentage": 30.0}])
    memory_flat(lambda: extractor.analyze_color_similarity(None, {"a": (1, 2, 3), "b": (3, 2, 1)}))
