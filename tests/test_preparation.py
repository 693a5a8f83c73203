"""Image preparation stages, compared with the same OpenCV and NumPy calls made directly."""

import traceback

import cv2
import numpy as np
import pytest

from lumvarde_quorle.color_extractor_cy import ColorExtractor


def reference_preprocess(image):
    lab = cv2.cvtColor(image, cv2.COLOR_BGR2LAB)
    clahe = cv2.createCLAHE(clipLimit=3.0, tileGridSize=(8, 8))
    lab[:, :, 0] = clahe.apply(lab[:, :, 0])
    return cv2.bilateralFilter(cv2.cvtColor(lab, cv2.COLOR_LAB2BGR), 9, 75, 75)


def reference_pixels(feature, mask=None):
    if mask is None:
        rows = feature.reshape(-1, 3)
    else:
        grey = cv2.cvtColor(mask, cv2.COLOR_BGR2GRAY) if mask.ndim == 3 else mask
        binary = ((mask if mask.ndim == 2 else grey) > 128).astype(np.uint8) * 255
        rows = cv2.bitwise_and(feature, feature, mask=binary)[grey > 128]
    return rows[~np.all(rows == 0, axis=1)]


@pytest.fixture(scope="module")
def synthetic():
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, (37, 53, 3), dtype=np.uint8)
    image[:5, :5] = 0
    image.setflags(write=False)
    return image


@pytest.fixture(scope="module")
def china_mask(china_bgr):
    mask = np.zeros(china_bgr.shape[:2], np.uint8)
    cv2.circle(mask, (320, 200), 150, 255, -1)
    return mask


@pytest.fixture(params=["china", "synthetic"])
def image(request, china_bgr, synthetic):
    return china_bgr if request.param == "china" else synthetic


# -- preprocessing --------------------------------------------------------------------------------


def test_preprocessing_equals_the_direct_calls(image):
    before = image.copy()
    result = ColorExtractor(preprocessing=True)._preprocess_image(image)
    np.testing.assert_array_equal(result, reference_preprocess(image))
    assert result.dtype == np.uint8 and result.shape == image.shape
    np.testing.assert_array_equal(image, before)


@pytest.mark.parametrize("argument", [None, np.zeros((2, 7)), np.zeros(0, np.float32)])
def test_preprocessing_off_returns_the_argument_itself(argument):
    assert ColorExtractor(preprocessing=False)._preprocess_image(argument) is argument


def test_uniform_image_stays_uniform():
    result = ColorExtractor()._preprocess_image(np.full((40, 30, 3), (30, 120, 200), np.uint8))
    assert (result == result[0, 0]).all()


def test_grey_image_fails_with_the_opencv_error():
    with pytest.raises(cv2.error, match="channels") as raised:
        ColorExtractor()._preprocess_image(np.zeros((8, 8), np.uint8))
    names = [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
    assert names[-1] == "lumvarde_quorle.color_extractor_cy.ColorExtractor._preprocess_image"
    assert traceback.extract_tb(raised.value.__traceback__)[-1].filename == "lumvarde_quorle/color_extractor"


# -- feature space --------------------------------------------------------------------------------


@pytest.mark.parametrize("lab_space, code", [(True, cv2.COLOR_BGR2LAB), (False, cv2.COLOR_BGR2RGB)])
def test_feature_space_equals_the_direct_call(image, lab_space, code):
    result = ColorExtractor(lab_space=lab_space)._convert_to_feature_space(image)
    np.testing.assert_array_equal(result, cv2.cvtColor(image, code))
    assert not np.shares_memory(result, image)


@pytest.mark.parametrize(
    "lab_space, bgr, expected",
    [(True, (0, 0, 0), (0, 128, 128)), (True, (255, 255, 255), (255, 128, 128)), (False, (10, 20, 30), (30, 20, 10))],
)
def test_feature_space_encodings(lab_space, bgr, expected):
    pixel = np.array([[bgr]], np.uint8)
    assert tuple(ColorExtractor(lab_space=lab_space)._convert_to_feature_space(pixel)[0, 0]) == expected


# -- mask -----------------------------------------------------------------------------------------


def test_no_mask_returns_the_image_itself(synthetic):
    assert ColorExtractor()._apply_mask(synthetic, None) is synthetic


@pytest.mark.parametrize(
    "mask_value, kept", [(128, False), (129, True), (255, True), (0, False), (128.5, True), (True, False)]
)
def test_mask_threshold(mask_value, kept):
    image = np.full((2, 2, 3), 77, np.uint8)
    mask = np.zeros((2, 2), type(mask_value) if not isinstance(mask_value, bool) else bool)
    mask[0, 1] = mask_value
    masked = ColorExtractor()._apply_mask(image, mask)
    assert masked.dtype == np.uint8 and masked.shape == image.shape
    assert (masked[0, 1] == 77).all() == kept
    assert (masked[0, 0] == 0).all()


def test_mask_equals_the_direct_calls_on_a_photo(china_bgr, china_mask):
    masked = ColorExtractor()._apply_mask(china_bgr, china_mask)
    np.testing.assert_array_equal(masked, cv2.bitwise_and(china_bgr, china_bgr, mask=china_mask))


def test_three_dimensional_mask_keeps_what_the_grey_mask_keeps(china_bgr, china_mask):
    extractor = ColorExtractor()
    colour_mask = cv2.cvtColor(china_mask, cv2.COLOR_GRAY2BGR)
    np.testing.assert_array_equal(extractor._apply_mask(china_bgr, colour_mask),
                                  extractor._apply_mask(china_bgr, china_mask))
    np.testing.assert_array_equal(extractor._extract_pixels(china_bgr, colour_mask),
                                  extractor._extract_pixels(china_bgr, china_mask))


@pytest.mark.parametrize("bgr, kept", [((0, 255, 0), True), ((0, 0, 255), False), ((255, 255, 255), True)])
def test_coloured_mask_pixels_count_by_grey_value(bgr, kept):
    image = np.full((1, 1, 3), 9, np.uint8)
    mask = np.array([[bgr]], np.uint8)
    assert ColorExtractor()._extract_pixels(image, mask).shape == ((1, 3) if kept else (0, 3))


def test_mask_of_another_size_fails_in_opencv(synthetic):
    with pytest.raises(cv2.error):
        ColorExtractor()._apply_mask(synthetic, np.full((3, 3), 255, np.uint8))


def test_mask_is_not_modified(synthetic):
    mask = np.full(synthetic.shape[:2], 200, np.uint8)
    mask.setflags(write=False)
    ColorExtractor()._extract_pixels(synthetic, mask)


# -- pixel rows -----------------------------------------------------------------------------------


@pytest.mark.parametrize("lab_space", [True, False])
@pytest.mark.parametrize("use_mask", [False, True])
def test_pixel_rows_equal_the_direct_calls(china_bgr, china_mask, lab_space, use_mask):
    extractor = ColorExtractor(lab_space=lab_space)
    feature = extractor._convert_to_feature_space(china_bgr)
    mask = china_mask if use_mask else None
    rows = extractor._extract_pixels(feature, mask)
    np.testing.assert_array_equal(rows, reference_pixels(feature, mask))
    assert rows.dtype == feature.dtype and not np.shares_memory(rows, feature)


LAYOUTS = {
    "strided view": lambda image, mask: (image[::2, 1::3], None if mask is None else mask[::2, 1::3]),
    "reversed": lambda image, mask: (image[::-1, ::-1], None if mask is None else mask[::-1, ::-1]),
    "channels last in memory": lambda image, mask: (np.moveaxis(np.ascontiguousarray(np.moveaxis(image, 2, 0)), 0, 2),
                                                    mask),
    "colour mask": lambda image, mask: (image, None if mask is None else cv2.cvtColor(mask, cv2.COLOR_GRAY2BGR)),
    "boolean mask": lambda image, mask: (image, None if mask is None else mask > 0),
    "float mask": lambda image, mask: (image, None if mask is None else mask.astype(np.float32)),
    "int16 image": lambda image, mask: (image.astype(np.int16), mask),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("use_mask", [False, True])
def test_pixel_rows_of_any_layout_equal_the_array_expression(china_bgr, china_mask, layout, use_mask):
    """One native pass where the forms allow, the array operations otherwise: the same rows either way."""
    extractor = ColorExtractor(lab_space=False)
    feature = extractor._convert_to_feature_space(china_bgr).copy()
    feature[::7, ::5] = 0  # black pixels, dropped in RGB
    image, mask = layout(feature, china_mask if use_mask else None)
    rows = extractor._extract_pixels(image, mask)
    np.testing.assert_array_equal(rows, reference_pixels(image, mask))
    assert rows.dtype == image.dtype


def test_black_rows_are_dropped_in_rgb_and_kept_in_lab():
    image = np.zeros((3, 3, 3), np.uint8)
    image[1, 1] = (10, 20, 30)
    rgb = ColorExtractor(lab_space=False)
    lab = ColorExtractor(lab_space=True)
    assert rgb._extract_pixels(rgb._convert_to_feature_space(image)).tolist() == [[30, 20, 10]]
    assert lab._extract_pixels(lab._convert_to_feature_space(image)).shape == (9, 3)


def test_rows_follow_the_mask_in_row_major_order():
    image = np.arange(1, 49, dtype=np.uint8).reshape(4, 4, 3)
    mask = np.zeros((4, 4), np.uint8)
    mask[0, 3] = mask[1, 0] = mask[3, 2] = 255
    rows = ColorExtractor()._extract_pixels(image, mask)
    assert rows.tolist() == [image[0, 3].tolist(), image[1, 0].tolist(), image[3, 2].tolist()]


@pytest.mark.parametrize("mask", [np.zeros((4, 4), np.uint8), np.full((4, 4, 3), 128, np.uint8)])
def test_empty_selection_has_shape_0_by_3(mask):
    rows = ColorExtractor()._extract_pixels(np.full((4, 4, 3), 50, np.uint8), mask)
    assert rows.shape == (0, 3) and rows.dtype == np.uint8


@pytest.mark.parametrize("mask, type_name", [([[255] * 4] * 4, "list"), ("mask.png", "str"), (5, "int")])
def test_non_array_mask_is_refused(mask, type_name):
    with pytest.raises(TypeError) as raised:
        ColorExtractor()._extract_pixels(np.zeros((4, 4, 3), np.uint8), mask)
    assert str(raised.value) == f"Cannot convert {type_name} to numpy.ndarray"


def test_missing_image_fails_on_reshape():
    with pytest.raises(AttributeError, match="reshape"):
        ColorExtractor()._extract_pixels(None)


# -- percentages ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "labels, expected",
    [
        ([0, 0, 1, 1, 1, 2], [100 * 2 / 6, 100 * 3 / 6, 100 * 1 / 6]),
        ([-1, -1, 0, 1], [50.0, 50.0]),
        ([5, 5, 2], [100 * 1 / 3, 100 * 2 / 3]),
        ([-1, -1], []),
        ([], []),
    ],
)
def test_percentages(labels, expected):
    result = ColorExtractor()._calculate_percentages(np.array(labels, dtype=np.int64))
    assert result == pytest.approx(expected, rel=0, abs=1e-12)
    assert type(result) is list and all(type(value) is float for value in result)


def test_percentages_equal_the_direct_numpy_calls(rng):
    labels = rng.integers(-1, 9, 10_000)
    unique, counts = np.unique(labels, return_counts=True)
    kept = counts[unique != -1]
    assert ColorExtractor()._calculate_percentages(labels) == (kept / np.sum(kept) * 100).tolist()


# -- memory ---------------------------------------------------------------------------------------


def test_stages_do_not_leak(memory_flat, synthetic):
    extractor = ColorExtractor()
    mask = np.full(synthetic.shape[:2], 255, np.uint8)
    labels = np.array([0, 1, 1, -1])

    def operation():
        feature = extractor._convert_to_feature_space(extractor._preprocess_image(synthetic))
        extractor._extract_pixels(feature, mask)
        extractor._calculate_percentages(labels)

    memory_flat(operation, repeats=500)
