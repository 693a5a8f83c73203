"""Input that OpenCV crashes on when it is handed over unchanged. Every case runs in a child process
(child_worker.py), so a crash fails its test instead of ending the run, and each states the Python
exception the call has to end in."""

import ast

import numpy as np
import pytest

from child_worker import ChildWorker, describe
from lumvarde_quorle.color_extractor_cy import ColorExtractor

@pytest.fixture(scope="module")
def worker():
    worker = ChildWorker()
    yield worker
    worker.close()


def raised(outcome):
    """The exception's class names, most derived first, or fails the test for any other outcome."""
    if "raised" not in outcome:
        pytest.fail(describe(outcome))
    return outcome["raised"]


# -- paths without a UTF-8 form ---------------------------------------------------------------------
# A file name with bytes that are not UTF-8 reaches Python as a str with lone surrogates. OpenCV's
# string conversion fails on it and the failure is not checked. Such a path must fail as any path that
# OpenCV cannot read fails, at the same step of the operation.

PATHS = {
    "undecodable byte": "'photo\\udcff.jpg'",
    "existing file with an undecodable name": "path('no UTF-8 form, existing')",
    "unpaired high surrogate": "'photo\\ud800.jpg'",
    # OpenCV would stop at the NUL and read the existing file before it.
    "embedded NUL after an existing file": "path('embedded NUL')",
    # OpenCV would wait for a writer for ever.
    "named pipe without a writer": "path('pipe.png')",
}

IMAGE_FAILS = "Could not load image from "
MASK_FAILS = "Could not load mask from "

PATH_CALLS = {
    "extract_colors image": ("extractor.extract_colors(PATH)", IMAGE_FAILS),
    "extract_colors mask": ("extractor.extract_colors(IMAGE, PATH)", MASK_FAILS),
    # The mask is read before the image's type is checked, and the image before the mask.
    "extract_colors mask before image type": ("extractor.extract_colors(7, PATH)", MASK_FAILS),
    "extract_colors image before mask": ("extractor.extract_colors(PATH, path('missing'))", IMAGE_FAILS),
    "analyze_color_similarity image": ("extractor.analyze_color_similarity(PATH, TARGETS)", IMAGE_FAILS),
    "analyze_color_similarity mask": ("extractor.analyze_color_similarity(IMAGE, TARGETS, PATH)", MASK_FAILS),
    "find_color_matches image": ("extractor.find_color_matches(PATH, TARGETS)", IMAGE_FAILS),
    "find_color_matches mask": ("extractor.find_color_matches(IMAGE, TARGETS, PATH)", MASK_FAILS),
    "read_with_alpha": ("__import__('lumvarde_quorle').read_with_alpha(PATH)", IMAGE_FAILS),
}


@pytest.mark.parametrize("path", PATHS.values(), ids=PATHS.keys())
@pytest.mark.parametrize("call, failure", PATH_CALLS.values(), ids=PATH_CALLS.keys())
def test_path_opencv_cannot_take_is_an_unreadable_file(worker, path, call, failure):
    setup = f"extractor = ColorExtractor(3, 'kmeans', False, True)\nPATH = {path}\n"
    outcome = worker.run(call, setup=setup)
    assert raised(outcome)[0] == "builtins.ValueError", describe(outcome)
    spelled = worker.run("PATH", setup=setup)["value"]  # as the child spells it (a temporary folder)
    assert outcome["message"] == failure + ast.literal_eval(spelled)


# -- arrays OpenCV has to copy ----------------------------------------------------------------------
# OpenCV copies an array argument whose layout it cannot use as it is (a non-contiguous view) and casts
# 64-bit integers to 32 bits; the copy is made through the array's own type and a failure is not
# checked. Two ways to make it fail: an ndarray subclass whose __array_finalize__ raises, and a view
# whose copy does not fit in memory (a broadcast view claims terabytes without holding them).

# Layouts of the same pixels, as NumPy expressions over `a`.
LAYOUTS = {
    "every other column": "a[:, ::2]",
    "transposed": "a.swapaxes(0, 1)",
    "reversed rows": "a[::-1]",
    "64-bit integers": "a.astype(np.int64)",
    "64-bit integers, reversed": "a.astype(np.uint64)[::-1]",
}

# Where an image reaches OpenCV: `image` is the array under test, `mask` a matching 2-D mask.
IMAGE_CALLS = {
    "extract_colors": "ColorExtractor(3, 'kmeans', True, True).extract_colors(image)",
    "extract_colors without preprocessing": "ColorExtractor(3, 'kmeans', False, False).extract_colors(image, mask)",
    "extract_colors dbscan": "ColorExtractor(3, 'dbscan', False, True).extract_colors(image)",
    "analyze_color_similarity": "ColorExtractor(3, 'kmeans', True, True).analyze_color_similarity(image, TARGETS)",
    "find_color_matches": "ColorExtractor(3, 'kmeans', False, True).find_color_matches(image, TARGETS, mask)",
    "_preprocess_image": "ColorExtractor(3, 'kmeans', True, True)._preprocess_image(image)",
    "_convert_to_feature_space LAB": "ColorExtractor(3, 'kmeans', False, True)._convert_to_feature_space(image)",
    "_convert_to_feature_space RGB": "ColorExtractor(3, 'kmeans', False, False)._convert_to_feature_space(image)",
    "_apply_mask": "ColorExtractor()._apply_mask(image, mask)",
    "_extract_pixels": "ColorExtractor()._extract_pixels(image, mask)",
}

# Where a mask reaches OpenCV: `image` is a matching plain image, `mask` the array under test.
MASK_CALLS = {
    "extract_colors": "ColorExtractor(3, 'kmeans', False, False).extract_colors(image, mask)",
    "analyze_color_similarity":
        "ColorExtractor(3, 'kmeans', True, True).analyze_color_similarity(image, TARGETS, mask)",
    "find_color_matches": "ColorExtractor(3, 'kmeans', False, True).find_color_matches(image, TARGETS, mask)",
    "_apply_mask": "ColorExtractor()._apply_mask(image, mask)",
    "_extract_pixels": "ColorExtractor()._extract_pixels(image, mask)",
}


def layout_setup(layout, refused):
    """`image` and a matching `mask` in the layout; `refused` ("image" or "mask") is then made of
    RefusesCopies. A mask under test has three channels, as those go to OpenCV directly, and comes with
    an 8-bit image of its shape."""
    image = f"(lambda a: {LAYOUTS[layout]})(IMAGE)"
    if refused == "mask":
        image += ".astype(np.uint8)"
    mask = "np.repeat(MASK[:, :, None], 3, axis=2)" if refused == "mask" else "MASK"
    return f"image = {image}\nmask = (lambda a: {LAYOUTS[layout]})({mask})\n"


def assert_ends_cleanly(worker, call, setup, made_hostile):
    """The call after `setup + made_hostile` ends in the subclass's own error, a TypeError, or what it
    gives after `setup` alone."""
    plain = worker.run(call, setup=setup)
    hostile = worker.run(call, setup=setup + made_hostile)
    if "raised" in hostile and (hostile["raised"][0], hostile["message"]) == ("builtins.RuntimeError", "copy refused"):
        return  # the subclass's own error
    if "raised" in hostile and hostile["raised"][0] == "builtins.TypeError":
        return
    # Otherwise it ran on the plain data: the same result or error as for a plain array.
    assert describe(hostile) == describe(plain)


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("call", IMAGE_CALLS.values(), ids=IMAGE_CALLS.keys())
def test_image_subclass_refusing_copies_ends_in_an_exception(worker, call, layout):
    assert_ends_cleanly(worker, call, layout_setup(layout, "image"), "image = refusing(image)\n")


@pytest.mark.parametrize("layout", ["every other column", "transposed", "64-bit integers"])
@pytest.mark.parametrize("call", MASK_CALLS.values(), ids=MASK_CALLS.keys())
def test_mask_subclass_refusing_copies_ends_in_an_exception(worker, call, layout):
    assert_ends_cleanly(worker, call, layout_setup(layout, "mask"), "mask = refusing(mask)\n")


@pytest.mark.parametrize("call", ["extract_colors(IMAGE, mask)", "_apply_mask(IMAGE, mask)"])
def test_binary_mask_refusing_copies_ends_in_an_exception(worker, call):
    """The mask handed to OpenCV is made from the given one with astype, which a subclass controls."""
    call = f"ColorExtractor(3, 'kmeans', False, False).{call}"
    assert_ends_cleanly(worker, call, "mask = MASK\n", "mask = mask.view(AstypeRefusing)\n")


HUGE = {
    "8-bit": "np.broadcast_to(np.uint8([10, 20, 30]), HUGE_SHAPE)",
    "64-bit integers": "np.broadcast_to(np.int64([10, 20, 30]), HUGE_SHAPE)",
}


@pytest.mark.parametrize("array", HUGE.values(), ids=HUGE.keys())
@pytest.mark.parametrize("call", IMAGE_CALLS.values(), ids=IMAGE_CALLS.keys())
def test_image_whose_copy_exceeds_memory_raises_memory_error(worker, call, array):
    outcome = worker.run(call, setup=f"image = {array}\nmask = MASK\n")
    assert "builtins.MemoryError" in raised(outcome), describe(outcome)


@pytest.mark.parametrize("call", MASK_CALLS.values(), ids=MASK_CALLS.keys())
def test_mask_whose_copy_exceeds_memory_raises_memory_error(worker, call):
    outcome = worker.run(call, setup="image = IMAGE\nmask = np.broadcast_to(np.uint8([255, 0, 255]), HUGE_SHAPE)\n")
    assert "builtins.MemoryError" in raised(outcome), describe(outcome)


# -- what a fix must keep -------------------------------------------------------------------------


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("method", ["_preprocess_image", "_convert_to_feature_space", "extract_colors"])
def test_layouts_give_what_contiguous_copies_give(layout, method):
    """OpenCV reads any layout of a plain array as its contiguous copy; whatever a fix hands OpenCV
    instead must keep that."""
    base = np.random.default_rng(3).integers(0, 256, (12, 16, 3), dtype=np.uint8)
    image = eval(LAYOUTS[layout], {"np": np}, {"a": base})
    extractor = ColorExtractor(3, "kmeans", True, True)
    try:
        expected = getattr(extractor, method)(np.ascontiguousarray(image))
    except Exception as error:
        with pytest.raises(type(error)):
            getattr(extractor, method)(image)
        return
    np.testing.assert_equal(getattr(extractor, method)(image), expected)


class RecordingCv2:
    """Stands in for cv2 and records the arguments it was given."""

    COLOR_BGR2LAB = COLOR_BGR2RGB = COLOR_LAB2BGR = 0

    def __init__(self):
        self.given = []

    def imread(self, path):
        self.given.append(path)
        return None

    def cvtColor(self, image, code):
        self.given.append(image)
        return np.zeros((2, 2, 3), np.uint8)


def test_rebound_cv2_receives_arguments_unchanged(rebind):
    """A stand-in for OpenCV gets exactly the objects the caller passed, whatever a fix does for
    OpenCV itself."""
    fake = RecordingCv2()
    rebind("cv2", fake)
    path = "photo\udcff.jpg"
    with pytest.raises(ValueError, match="^Could not load image from "):
        ColorExtractor().extract_colors(path)
    image = np.zeros((4, 6, 3), np.int64)[:, ::2]
    ColorExtractor(3, "kmeans", False, False)._convert_to_feature_space(image)
    assert fake.given[0] is path and fake.given[1] is image
