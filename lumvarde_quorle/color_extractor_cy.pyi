from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, SupportsInt, TypeVar

import numpy as np
from numpy.typing import NDArray
from typing_extensions import disjoint_base

from .results import RGB, ColorInfo, MatchEntry, SimilarityEntry

_K = TypeVar("_K")
_Triple = TypeVar("_Triple", bound=Sequence[SupportsIndex] | NDArray[Any])

# An image is a file path (read as B, G, R) or an 8-bit H x W x 3 array in B, G, R order.
_Image = str | NDArray[Any]
# A mask is a file path or an H x W (x 3) array; pixels with a grey value above 128 are analysed.
_Mask = str | NDArray[Any] | None
_State = tuple[str | None, object, SupportsInt, object] | tuple[str | None, object, SupportsInt, object, dict[str, Any]]

__test__: dict[str, str]

# The pixel budget for image files read by the extractors: None or 0 for no limit (the default), else
# files whose header declares more pixels raise lumvarde_quorle.budget.ImageTooLargeError, undecoded.
max_image_pixels: int | None

@disjoint_base
class ColorExtractor:
    """Dominant colours and target colour matching, with results defined by the library calls it makes
    (scikit-learn's KMeans over every pixel for K-means, computed natively over the distinct colours)."""

    def __init__(
        self,
        n_colors: SupportsInt = 5,
        algorithm: str | None = "kmeans",
        preprocessing: object = True,
        lab_space: object = True,
    ) -> None: ...
    def extract_colors(self, image: _Image, mask: _Mask = None) -> list[ColorInfo]:
        """Dominant colours as {'color': (R, G, B), 'percentage': float}, largest share first."""
    def analyze_color_similarity(
        self,
        image: _Image,
        target_colors: dict[_K, RGB],
        mask: _Mask = None,
        similarity_threshold: SupportsFloat = 50.0,
    ) -> dict[_K, SimilarityEntry]:
        """Share of the image credited to each target through its nearest dominant colour."""
    def find_color_matches(
        self, image: _Image, target_colors: dict[_K, _Triple], mask: _Mask = None
    ) -> dict[_K, MatchEntry]:
        """Per target: shares of pixels within LAB distance 15, 30 and 50, nearest pixel, score."""
    def visualize_colors(
        self, colors: list[ColorInfo] | list[dict[str, Any]], save_path: str | None = None
    ) -> None:
        """Draws the colours as one proportional bar, saves it at 300 dpi when asked, shows it."""
    def get_params(self) -> dict[str, Any]:
        """The extractor's settings as the constructor's keyword arguments:
        {'n_colors': int, 'algorithm': str or None, 'preprocessing': bool, 'lab_space': bool}.
        type(extractor)(**extractor.get_params()) makes an extractor with the same settings."""
    # Stages, callable and replaceable by subclasses.
    def _preprocess_image(self, image: NDArray[Any] | None) -> NDArray[np.uint8]: ...
    def _convert_to_feature_space(self, image: NDArray[Any] | None) -> NDArray[np.uint8]: ...
    def _apply_mask(self, image: NDArray[Any] | None, mask: NDArray[Any] | None) -> NDArray[Any]: ...
    def _extract_pixels(self, image: NDArray[Any] | None, mask: NDArray[Any] | None = None) -> NDArray[Any]: ...
    def _cluster_colors_kmeans(self, pixels: NDArray[Any] | None) -> tuple[NDArray[Any], NDArray[Any]]: ...
    def _cluster_colors_dbscan(self, pixels: NDArray[Any] | None) -> tuple[NDArray[Any], NDArray[Any]]: ...
    def _calculate_percentages(self, labels: NDArray[Any] | None) -> list[float]: ...
    def _color_distance_lab(self, color1: NDArray[Any] | None, color2: NDArray[Any] | None) -> float: ...
    def _find_closest_color(
        self, target_color: RGB, image_colors: list[ColorInfo]
    ) -> tuple[ColorInfo | None, float]: ...
    # Pickling.
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: _State | None) -> None: ...
    def __setstate_cython__(self, __pyx_state: _State | None) -> None: ...

class FastColorExtractor(ColorExtractor):
    """ColorExtractor whose _cluster_colors_kmeans, called directly too, is the native K-means (the
    library's labels; centres equal to the library's but for the last bits)."""

    def _cluster_colors_kmeans(self, pixels: NDArray[Any] | None) -> tuple[NDArray[Any], NDArray[Any]]: ...

class LibraryColorExtractor(ColorExtractor):
    """ColorExtractor whose K-means is always scikit-learn's KMeans called on every pixel row: the same
    results, from the library call itself, for checking a result. Slow on large images."""

    def _cluster_colors_kmeans(self, pixels: NDArray[Any] | None) -> tuple[NDArray[Any], NDArray[Any]]: ...

# (library call, reason name) -> how often the native K-means left that call to scikit-learn.
_kmeans_fallbacks: dict[tuple[str, str], int]
# reason name -> what it means.
_kmeans_fallback_reasons: dict[str, str]

def __pyx_unpickle_ColorExtractor(
    __pyx_type: type[ColorExtractor], __pyx_checksum: SupportsInt, __pyx_state: _State | None
) -> ColorExtractor: ...
def __dir__() -> list[str]:
    """The module's names, the library globals not bound yet among them."""
def _opencv_takes_path(path: str) -> bool:
    """Whether OpenCV's imread may be given the path: False for a name without a UTF-8 form, with a NUL,
    or of a pipe, socket or device, which the extractor reads as files that cannot be read."""
def _available_memory(root: str = "") -> tuple[float, str]:
    """(bytes, bound): what the process can still allocate, and which limit says so."""
def _peak_estimate(path: str, rows: float, n_colors: int = 5) -> float:
    """Bytes a path is estimated to need at its peak for `rows` pixel rows."""
def _colour_distribution(image: NDArray[np.uint8], mask: NDArray[np.uint8] | None = None) -> bytes:
    """The colour distribution of an image's analysed pixels, as records a reader can estimate colour
    shares from without the image.

    image: uint8 array, height x width x 3, B, G, R (as cv2.imread gives it). mask: None or a uint8
    array, height x width; pixels whose mask value is above 128 are analysed, every pixel without one.
    Anything else raises TypeError or ValueError.

    The distinct colours are split greedily into at most 180 groups (leaves): the leaf of largest
    sqrt(pixels * SSE) in the warped space W is split along its axis of largest variance, at the mean.
    W = (L*, r a*/C, r b*/C) with C = hypot(a*, b*), r = log1p(0.045 C) / 0.045 ((L*, 0, 0) for C = 0),
    a space where Euclidean distance roughly follows CIEDE2000. CIELAB is lumvarde_quorle.cielab's.

    Returns bytes of N records (0 <= N <= 180) of 11 bytes, little-endian, packed, the numpy dtype
    [('lab', '<f2', 3), ('weight', '<u2'), ('spread', 'u1', 3)]:
      lab: the leaf's pixel-weighted mean CIELAB colour (L*, a*, b*), float16 rounded to nearest;
      weight: the leaf's share of the analysed pixels times 65535, rounded to nearest; leaves whose
        share rounds to 0 are dropped, so the weights sum to 65535 within N;
      spread: per W axis, the leaf's pixel-weighted standard deviation sigma as a code c: 0 for
        sigma == 0 (one distinct colour), else clamp(round((log2(sigma) + 5) * 16), 1, 255), so that
        sigma = 2 ** (c / 16 - 5).
    Records come by weight, largest first, then by L*, a*, b* ascending. No analysed pixel: b''.
    The result depends on the pixels' colours alone, not on the array's layout."""
def _colour_index(records: Any, counts: Any, tail_ratio: float) -> tuple[NDArray[np.int64], NDArray[np.uint8]]:
    """(bucket_starts, rows): the colour index of distribution records (11 bytes each), counts[i] of them
    image i's, for records that count within tail_ratio times their widest spread beyond the tolerance."""
def _colour_shares(
    bucket_starts: Any, rows: Any, images: int, query: Any, tolerance: float, tail: float, ratio: float,
    threads: int = 0,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """(images, shares): the images with pixels within CIEDE2000 tolerance of the query colour (L*, a*, b*)
    and the percent of each, from a colour index; the same for any number of threads (0: every processor)."""
def _colour_postings(
    records: Any, counts: Any, tail_ratio: float
) -> tuple[NDArray[np.uint8], NDArray[np.uint32], NDArray[np.int64], NDArray[np.uint32]]:
    """(image_rows, posting_buckets, posting_starts, posting_entries): the index the threshold search reads:
    each image's records in bucket order, each followed by its bucket (u32); the buckets holding records;
    per block of 65536 images and such bucket, the images with records in it and their summed weight."""
def _colour_search(
    image_starts: Any, image_rows: Any, posting_buckets: Any, posting_starts: Any, posting_entries: Any,
    image_weights: Any, ids: Any, keep: Any, queries: Any, tolerance: float, min_share: float, limit: int,
    tail: float, ratio: float,
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """(images, shares): the images of keep in which every query colour (rows of L*, a*, b*) covers at least
    min_share percent within CIEDE2000 tolerance, the first limit by the least share, the sum, then ids,
    in no order; shares[k, c]: image k's percent of colour c, as _colour_shares gives it."""
def _signature_shared(
    column_starts: Any, images: Any, weights: Any, image_count: int, query: Any, threads: int = 0
) -> NDArray[np.float64]:
    """Per image, the intersection of its signature (columns of (image, weight / 65535) by vertex) with the
    query's dense vector of vertex weights."""
