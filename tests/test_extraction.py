"""Dominant colour extraction, end to end, against an independent implementation of the same steps."""

import warnings

import cv2
import numpy as np
import pytest
from sklearn.cluster import KMeans

from lumvarde_quorle.color_extractor_cy import ColorExtractor


def reported(centres, rows, labels):
    """Centres that are the mean of their rows up to float rounding become the exact mean; others are lifted
    when a hair below an integer."""
    centres = np.array(centres, np.float64)
    for label, centre in enumerate(centres):
        members = rows[labels.reshape(-1) == label].astype(np.int64)
        if len(members) and np.all(np.abs(centre - members.sum(0) / len(members)) <= (len(members) + 4) * 2.0**-44):
            centre[:] = members.sum(0) // len(members)
    up = np.ceil(centres)
    return np.where((up - centres > 0) & (up - centres < 1e-9), up, centres)


def reference_extract(image, mask, n_colors, preprocessing, lab_space):
    """The documented steps written out with the libraries, colours paired with shares by label."""
    if preprocessing:
        lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
        lab[:, :, 0] = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8)).apply(lab[:, :, 0])
        image = cv2.bilateralFilter(cv2.cvtColor(lab, cv2.COLOR_LAB2BGR), 9, 75, 75)
    feature = cv2.cvtColor(image, cv2.COLOR_BGR2LAB if lab_space else cv2.COLOR_BGR2RGB)
    if mask is None:
        rows = feature.reshape(-1, 3)
    else:
        rows = feature[(mask if mask.ndim == 2 else cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY)) > 128]
    rows = rows[~np.all(rows == 0, axis=1)]
    if len(rows) == 0:
        return []
    if len(rows) < n_colors:
        centres, labels = np.unique(rows, axis=0, return_inverse=True)
    else:
        estimator = KMeans(n_clusters=n_colors, random_state=42, n_init=10)
        labels = estimator.fit_predict(rows)
        centres = estimator.cluster_centers_
    centres = reported(centres, rows, labels)
    if lab_space:
        rgb = [cv2.cvtColor(np.uint8([[centre]]), cv2.COLOR_LAB2RGB)[0][0] for centre in centres]
    else:
        rgb = centres.astype(np.uint8)
    present, counts = np.unique(labels.reshape(-1), return_counts=True)
    result = [
        {"color": tuple(int(value) for value in rgb[label]), "percentage": round(float(count / counts.sum() * 100), 2)}
        for label, count in zip(present, counts)
    ]
    result.sort(key=lambda entry: entry["percentage"], reverse=True)
    return result


def assert_plain(result):
    for entry in result:
        assert list(entry) == ["color", "percentage"] and type(entry["percentage"]) is float
        assert type(entry["color"]) is tuple and [type(value) for value in entry["color"]] == [int] * 3


def flat_image(*areas, width=20):
    """Horizontal bands of flat B, G, R colours, each `rows` high."""
    return np.concatenate([np.full((rows, width, 3), bgr, np.uint8) for bgr, rows in areas])


@pytest.fixture(scope="module")
def circle_mask(china_bgr):
    mask = np.zeros(china_bgr.shape[:2], np.uint8)
    cv2.circle(mask, (320, 200), 150, 255, -1)
    return mask


@pytest.fixture(scope="module")
def images(china_bgr, flower_bgr, circle_mask):
    return {
        "china": china_bgr,
        "china_small": np.ascontiguousarray(china_bgr[::4, ::4]),
        "flower_small": np.ascontiguousarray(flower_bgr[::4, ::4]),
        "circle": circle_mask,
        "circle_small": np.ascontiguousarray(circle_mask[::4, ::4]),
        "three_colours": flat_image(((40, 90, 200), 7), ((250, 250, 250), 5), ((0, 0, 0), 3)),
    }


@pytest.mark.parametrize(
    "image, mask, settings",
    [
        ("china", None, (5, True, True)),
        ("china_small", None, (4, True, False)),
        ("china_small", "circle_small", (6, False, True)),
        ("china_small", "circle_small", (3, False, False)),
        ("flower_small", None, (5, False, True)),
        ("three_colours", None, (5, False, True)),
        ("three_colours", None, (5, False, False)),
    ],
)
def test_matches_the_reference(images, image, mask, settings):
    n_colors, preprocessing, lab_space = settings
    image, mask = images[image], images.get(mask)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate points on the flat images
        result = ColorExtractor(n_colors, "kmeans", preprocessing, lab_space).extract_colors(image, mask)
        expected = reference_extract(image, mask, n_colors, preprocessing, lab_space)
    assert result == expected
    assert_plain(result)
    assert sum(entry["percentage"] for entry in result) == pytest.approx(100, abs=0.05)


def test_path_and_array_give_the_same_result(china_bgr, china_path):
    extractor = ColorExtractor(3, "kmeans", False, False)
    assert extractor.extract_colors(china_path) == extractor.extract_colors(china_bgr)


def test_mask_file_selects_what_the_mask_array_selects(tmp_path, images):
    path = str(tmp_path / "mask.png")
    assert cv2.imwrite(path, images["circle_small"])
    extractor = ColorExtractor(4, "kmeans", True, True)
    from_file = extractor.extract_colors(images["china_small"], path)
    assert from_file == extractor.extract_colors(images["china_small"], images["circle_small"])
    assert from_file != extractor.extract_colors(images["china_small"])


class PathString(str):
    pass


@pytest.mark.parametrize(
    "image, mask, error, message",
    [
        ("missing.png", None, ValueError, "Could not load image from missing.png"),
        (PathString("missing.png"), None, ValueError, "Could not load image from missing.png"),
        (np.zeros((4, 4, 3), np.uint8), "no_mask.png", ValueError, "Could not load mask from no_mask.png"),
        (7, "no_mask.png", ValueError, "Could not load mask from no_mask.png"),
        (7, None, TypeError, "Cannot convert int to numpy.ndarray"),
        ([[[1, 2, 3]]], None, TypeError, "Cannot convert list to numpy.ndarray"),
    ],
)
def test_input_errors(tmp_path, monkeypatch, image, mask, error, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as raised:
        ColorExtractor().extract_colors(image, mask)
    assert str(raised.value) == message


@pytest.mark.parametrize("algorithm", [None, "KMeans", " kmeans", "kmeans ", "DBSCAN", ""])
def test_unknown_algorithm_is_reported_only_when_pixels_remain(algorithm):
    extractor = ColorExtractor(3, algorithm, False, False)
    assert extractor.extract_colors(np.zeros((5, 5, 3), np.uint8)) == []
    with pytest.raises(ValueError) as raised:
        extractor.extract_colors(np.full((5, 5, 3), 9, np.uint8))
    assert str(raised.value) == f"Unknown algorithm: {algorithm}"


class FixedClustering(ColorExtractor):
    """Clustering and share counting replaced by given values."""

    def __init__(self, clustered, percentages=None, lab_space=False, algorithm="kmeans"):
        super().__init__(5, algorithm, False, lab_space)
        self.clustered = clustered
        self.percentages = percentages

    def _cluster_colors_kmeans(self, pixels):
        return self.clustered

    _cluster_colors_dbscan = _cluster_colors_kmeans

    def _calculate_percentages(self, labels):
        if self.percentages is None:
            return super()._calculate_percentages(labels)
        return self.percentages


def extract_fixed(*args, **kwargs):
    return FixedClustering(*args, **kwargs).extract_colors(np.full((2, 2, 3), 50, np.uint8))


@pytest.mark.parametrize(
    "clustered, error, message",
    [
        ((np.zeros((1, 3)), np.zeros(4, int), None), ValueError, "too many values to unpack"),
        ((np.zeros((1, 3)),), ValueError, "to unpack"),
        (None, TypeError, "NoneType"),
        ((np.zeros((1, 3)), [0, 0, 0, 0]), TypeError, "Cannot convert list to numpy.ndarray"),
    ],
)
def test_clustering_result_errors(clustered, error, message):
    with pytest.raises(error, match=message):
        extract_fixed(clustered)


@pytest.mark.parametrize(
    "centre, lab_space, expected",
    [
        ((200.9, 10.2, 0.7), False, (200, 10, 0)),
        # Only values a hair below an integer are lifted to it before truncation.
        ((60.999999999999986, 0.99999999999, 254.99999999), False, (61, 1, 254)),
        ((137.99999999999997, 127.99999999999999, 128.0), True, (129, 129, 129)),
    ],
)
def test_centres_are_truncated_after_snapping_rounding_noise(centre, lab_space, expected):
    centres = np.array([centre])
    result = extract_fixed((centres, np.zeros(4, np.int64)), lab_space=lab_space)
    assert result == [{"color": expected, "percentage": 100.0}]
    assert centres[0, 0] == centre[0]  # the clustering's own array is left alone


WHITE_ROWS = np.full((250, 400, 3), 255, np.uint8)  # 100,000 rows


@pytest.mark.parametrize(
    "centre, lab_space, expected",
    [
        # The float sum of many rows drifts further below their mean than rounding noise: still the mean.
        ((255 - 2e-9, 255 - 4e-9, 255), False, (255, 255, 255)),
        ((255 - 2e-9, 128 - 3e-9, 128), True, (255, 255, 255)),
        # Not the mean of the cluster's rows (a run stopped before its labels settled): truncated as it is.
        ((255 - 1e-6, 255, 255), False, (254, 255, 255)),
    ],
)
def test_centres_that_are_means_are_reported_as_their_exact_mean(centre, lab_space, expected):
    clustering = FixedClustering((np.array([centre]), np.zeros(100_000, np.int64)), lab_space=lab_space)
    assert clustering.extract_colors(WHITE_ROWS) == [{"color": expected, "percentage": 100.0}]


def test_exact_mean_is_truncated_not_rounded():
    image = WHITE_ROWS.copy()
    image[0, 0] = 254  # the mean is 255 - 1e-5
    mean = image.reshape(-1, 3).mean(axis=0)
    assert FixedClustering((mean[None], np.zeros(100_000, np.int64))).extract_colors(image) == [
        {"color": (254, 254, 254), "percentage": 100.0}]


def test_equal_rounded_shares_keep_the_clustering_order():
    centres = np.array([[10, 0, 0], [20, 0, 0], [30, 0, 0], [40, 0, 0], [50, 0, 0]], float)
    shares = [20.004, 19.985, 20.001, 20.01, 20.0]
    result = extract_fixed((centres, np.repeat(np.arange(5), 2)), shares)
    assert [(entry["color"][0], entry["percentage"]) for entry in result] == [
        (40, 20.01), (10, 20.0), (30, 20.0), (50, 20.0), (20, 19.98)]


def test_flat_colours_are_reported_exactly():
    """K-means gives the centre of a cluster of identical pixels with rounding noise below an integer."""
    image = flat_image(((208, 166, 233), 23), ((129, 155, 248), 25), width=43)
    for lab_space, code in [(False, cv2.COLOR_BGR2RGB), (True, cv2.COLOR_BGR2LAB)]:
        rows = cv2.cvtColor(image, code).reshape(-1, 3)
        centres = KMeans(n_clusters=2, random_state=42, n_init=10).fit(rows).cluster_centers_
        gap = np.ceil(centres) - centres
        assert np.any((gap > 0) & (gap < 1e-9))
        if lab_space:
            expected = [tuple(int(v) for v in cv2.cvtColor(np.uint8([[row]]), cv2.COLOR_LAB2RGB)[0, 0])
                        for row in (rows[-1], rows[0])]
        else:
            expected = [tuple(int(v) for v in rows[-1]), tuple(int(v) for v in rows[0])]
        result = ColorExtractor(2, "kmeans", False, lab_space).extract_colors(image)
        assert result == [{"color": expected[0], "percentage": 52.08}, {"color": expected[1], "percentage": 47.92}]


@pytest.mark.parametrize(
    "lab_space, colors", [(False, [(0, 100, 200), (30, 20, 10)]), (True, [(0, 100, 201), (31, 19, 9)])]
)
def test_few_pixels_are_counted_per_pixel(lab_space, colors):
    image = flat_image(((10, 20, 30), 1), ((200, 100, 0), 3), width=1)
    assert ColorExtractor(8, "kmeans", False, lab_space).extract_colors(image) == [
        {"color": colors[0], "percentage": 75.0}, {"color": colors[1], "percentage": 25.0}]


class NearestCentre(ColorExtractor):
    """K-means with given centres: every pixel row joins its nearest centre, so a centre can stay empty."""

    centres = np.array([[255, 0, 0], [0, 255, 0], [0, 0, 255]], float)

    def _cluster_colors_kmeans(self, pixels):
        distances = ((pixels[:, None, :].astype(float) - self.centres[None]) ** 2).sum(axis=2)
        return self.centres, distances.argmin(axis=1)


def test_centre_without_pixels_is_not_reported():
    # Red and blue pixels only: the green centre in the middle receives none.
    image = flat_image(((0, 0, 255), 3), ((255, 0, 0), 1))
    assert NearestCentre(3, "kmeans", False, False).extract_colors(image) == [
        {"color": (255, 0, 0), "percentage": 75.0}, {"color": (0, 0, 255), "percentage": 25.0}]


def test_cut_groups_have_shares_but_no_colour():
    # Groups 2 and 3 were cut from the colours; noise counts nowhere.
    labels = np.array([0] * 5 + [1] * 2 + [2] * 2 + [3] + [-1] * 6)
    centres = np.array([[1.0, 2, 3], [4, 5, 6]])
    assert extract_fixed((centres, labels), algorithm="dbscan") == [
        {"color": (1, 2, 3), "percentage": 50.0}, {"color": (4, 5, 6), "percentage": 20.0}]


@pytest.mark.parametrize(
    "labels, shares",
    [
        (np.array([0, 2, 2, 2]), [10.0, 20.0, 30.0]),  # more shares than labels
        (np.array([0.0, 2.0, 2.0, 2.0]), None),  # labels that are not integers
        (np.array([-2, 2, 2, 2]), None),  # a negative label that is not noise
    ],
)
def test_unfamiliar_labels_or_shares_are_paired_by_position(labels, shares):
    centres = np.array([[1.0, 1, 1], [2, 2, 2], [3, 3, 3]])
    result = extract_fixed((centres, labels), shares)
    first = shares or [25.0, 75.0]
    expected = sorted(({"color": (v, v, v), "percentage": share} for v, share in zip((1, 2, 3), first)),
                      key=lambda entry: entry["percentage"], reverse=True)
    assert result == expected


def test_extraction_does_not_leak(memory_flat):
    few = flat_image(((10, 20, 30), 2), ((200, 100, 0), 3), width=2)
    lab = ColorExtractor(16, "kmeans", True, True)
    fixed = FixedClustering((np.array([[1.5, 2, 3], [4, 5, 6]]), np.array([0, 1, 1, 3])), lab_space=True)
    memory_flat(lambda: (lab.extract_colors(few), fixed.extract_colors(few)), repeats=1500)


# -- the route: which clustering runs, and the lookups a subclass sees on the way ---------------------

def recording(base, **members):
    """A subclass of `base` that records every lookup of a private name on its instances."""

    def __getattribute__(self, name):
        if name.startswith("_") and not name.startswith("__"):
            type(self).seen.append(name)
        return base.__getattribute__(self, name)

    return type(f"Recording{base.__name__}", (base,), {"seen": [], "__getattribute__": __getattribute__, **members})


def own_kmeans(self, pixels):
    return np.array([[7.0, 8.0, 9.0]]), np.zeros(len(pixels), np.int64)


def own_shares(self, labels):
    return [100.0]


STAGES = ["_preprocess_image", "_convert_to_feature_space"]
ROAD = ["_cluster_colors_kmeans", *STAGES, "_extract_pixels", "_calculate_percentages"]
ROUTES = {
    # The image road: every stage it skips is the module's own.
    "native image road": ("ColorExtractor", "kmeans", {}, False, STAGES + ROAD),
    "native image road, mask": ("ColorExtractor", "kmeans", {}, True,
                                STAGES + ROAD + ["_apply_mask"]),
    "native rows, a counted stage overridden": (
        "ColorExtractor", "kmeans", {"_calculate_percentages": own_shares}, False,
        STAGES + ROAD + ["_extract_pixels", "_cluster_colors_kmeans", "_calculate_percentages"]),
    "own method": ("ColorExtractor", "kmeans", {"_cluster_colors_kmeans": own_kmeans}, False,
                   STAGES + ["_cluster_colors_kmeans", "_extract_pixels", "_cluster_colors_kmeans",
                             "_calculate_percentages"]),
    "library variant": ("LibraryColorExtractor", "kmeans", {}, False,
                        STAGES + ["_cluster_colors_kmeans", "_extract_pixels", "_cluster_colors_kmeans",
                                  "_calculate_percentages"]),
    "fast variant": ("FastColorExtractor", "kmeans", {}, False, STAGES + ROAD),
    "dbscan": ("ColorExtractor", "dbscan", {}, False,
               STAGES + ["_extract_pixels", "_cluster_colors_dbscan", "_calculate_percentages"]),
    "unknown algorithm": ("ColorExtractor", "k-means", {}, False, STAGES + ["_extract_pixels"]),
}


@pytest.mark.parametrize("base, algorithm, members, masked, lookups", ROUTES.values(), ids=ROUTES.keys())
def test_route_lookups_and_result(base, algorithm, members, masked, lookups):
    import lumvarde_quorle.color_extractor_cy as module

    image = flat_image(((10, 20, 30), 6), ((200, 100, 0), 10))
    mask = np.full(image.shape[:2], 255, np.uint8) if masked else None
    extractor = recording(getattr(module, base), **members)(2, algorithm, False, False)
    if algorithm == "k-means":
        with pytest.raises(ValueError, match="^Unknown algorithm: k-means$"):
            extractor.extract_colors(image, mask)
    else:
        # What the same class without the recording gives.
        plain = type("Plain", (getattr(module, base),), members)(2, algorithm, False, False)
        assert extractor.extract_colors(image, mask) == plain.extract_colors(image, mask)
    assert type(extractor).seen == lookups
