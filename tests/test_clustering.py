"""K-means clustering of pixel rows, compared with scikit-learn's estimator called directly."""

import numpy as np
import pytest
from sklearn.cluster import KMeans

from lumvarde_quorle.color_extractor_cy import ColorExtractor


@pytest.fixture(scope="module")
def china_rows(china_bgr):
    return china_bgr[::8, ::8].reshape(-1, 3).copy()


def recording_kmeans(calls):
    def record(*args, **kwargs):
        calls.append((args, list(kwargs.items())))
        return KMeans(*args, **kwargs)

    return record


@pytest.mark.parametrize("n_colors", [1, 4, 9])
def test_kmeans_path_equals_the_estimator(china_rows, n_colors):
    colors, labels = ColorExtractor(n_colors)._cluster_colors_kmeans(china_rows)
    estimator = KMeans(n_clusters=n_colors, random_state=42, n_init=10)
    np.testing.assert_array_equal(labels, estimator.fit_predict(china_rows))
    np.testing.assert_array_equal(colors, estimator.cluster_centers_)


@pytest.mark.parametrize("rows", [6, 7])
def test_as_many_rows_as_colours_is_clustered(rebind, china_rows, rows):
    calls = []
    rebind("KMeans", recording_kmeans(calls))
    pixels = np.unique(china_rows, axis=0)[:rows]
    colors, labels = ColorExtractor(6)._cluster_colors_kmeans(pixels)
    assert calls == [((), [("n_clusters", 6), ("random_state", 42), ("n_init", 10)])]
    assert colors.shape == (6, 3) and labels.shape == (rows,)


def refuse(*args, **kwargs):
    raise AssertionError("no estimator may be created for fewer rows than colours")


@pytest.mark.parametrize(
    "rows, n_colors, colors, labels",
    [
        # Shares must count pixels: the repeated row carries two labels' worth.
        ([(9, 9, 9), (1, 2, 3), (1, 2, 0), (9, 9, 9), (0, 200, 1)], 8,
         [(0, 200, 1), (1, 2, 0), (1, 2, 3), (9, 9, 9)], [3, 2, 1, 3, 0]),
        ([(5, 5, 5)], 2, [(5, 5, 5)], [0]),
        (np.zeros((0, 3)), 1, np.zeros((0, 3)), []),
    ],
)
def test_fewer_rows_than_colours_labels_each_row_by_its_colour(rebind, rows, n_colors, colors, labels):
    rebind("KMeans", refuse)
    pixels = np.array(rows, np.uint8).reshape(-1, 3)
    got_colors, got_labels = ColorExtractor(n_colors)._cluster_colors_kmeans(pixels)
    assert got_colors.dtype == np.uint8 and got_colors.shape == (len(colors), 3)
    np.testing.assert_array_equal(got_colors.reshape(-1, 3), np.array(colors).reshape(-1, 3))
    assert got_labels.ndim == 1
    np.testing.assert_array_equal(got_labels, labels)


class ColumnInverse:
    """NumPy 2.0.0 shaped the inverse of np.unique(..., axis=0) as a column; stand in for it."""

    def __getattr__(self, name):
        return getattr(np, name)

    @staticmethod
    def unique(*args, **kwargs):
        distinct, inverse = np.unique(*args, **kwargs)
        return distinct, inverse.reshape(-1, 1)


def test_labels_stay_one_dimensional_with_a_column_inverse(rebind):
    rebind("np", ColumnInverse())
    _, labels = ColorExtractor(5)._cluster_colors_kmeans(np.array([[3, 3, 3], [1, 1, 1], [3, 3, 3]], np.uint8))
    assert labels.shape == (3,)
    np.testing.assert_array_equal(labels, [1, 0, 1])
