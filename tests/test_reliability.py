"""Input that OpenCV crashes on when it is handed over unchanged. Every case runs in a child process
(child_worker.py), so a crash fails its test instead of ending the run, and each states the Python
exception the call has to end in."""

import ast
import functools
import os
import socket

import numpy as np
import pytest

from child_worker import describe
from lumvarde_quorle.color_extractor_cy import ColorExtractor, _opencv_takes_path


def raised(outcome):
    """The exception's class names, most derived first, or fails the test for any other outcome."""
    if "raised" not in outcome:
        pytest.fail(describe(outcome))
    return outcome["raised"]


# -- paths OpenCV must not be given ----------------------------------------------------------------
# OpenCV crashes on a name without a UTF-8 form (a str with lone surrogates, as Python spells file names
# whose bytes are not UTF-8), stops a name at a NUL ("a.png\0.txt" reads a.png) and waits for ever on a
# named pipe without a writer. One rule keeps such paths from it; they read as files that cannot be read.


def undecodable(folder):
    name = os.fsencode(folder) + b"/caf\xe9.png"
    open(name, "wb").close()
    return os.fsdecode(name)


def unix_socket(folder):
    with socket.socket(socket.AF_UNIX) as listener:
        listener.bind(str(folder / "socket.png"))
    return str(folder / "socket.png")


PATH_KINDS = {
    "file": (lambda folder: str(folder / "a.png"), True),
    "folder": (str, True),
    "missing": (lambda folder: str(folder / "missing.png"), True),
    "undecodable byte": (undecodable, False),
    "unpaired high surrogate": (lambda folder: str(folder / "x\ud800.png"), False),
    "NUL after an existing file": (lambda folder: str(folder / "a.png") + "\0.txt", False),
    "named pipe": (lambda folder: os.mkfifo(folder / "pipe.png") or str(folder / "pipe.png"), False),
    "socket": (unix_socket, False),
    "device": (lambda folder: os.devnull, False),
}


@pytest.mark.parametrize("make, takes", PATH_KINDS.values(), ids=PATH_KINDS.keys())
def test_paths_opencv_must_not_be_given(tmp_path, make, takes):
    (tmp_path / "a.png").write_bytes(b"")
    assert _opencv_takes_path(make(tmp_path)) is takes


# Each place that hands a path to OpenCV, in a child process with each kind of path it must not be given
# there: the extension's image and mask reading, and read_with_alpha. analyze_color_similarity and
# find_color_matches read through the same code as extract_colors, so one path each shows that they do
# (the three spellings without a UTF-8 form fail at the same check, so one stands for them all).
UNDECODABLE = "path('no UTF-8 form, existing')"
UNSAFE_PATHS = {"no UTF-8 form": UNDECODABLE, "NUL": "path('embedded NUL')", "pipe": "path('pipe.png')"}
IMAGE_FAILS = "Could not load image from "
MASK_FAILS = "Could not load mask from "
READERS = {
    "extract_colors image": ("extractor.extract_colors(PATH)", IMAGE_FAILS),
    "extract_colors mask": ("extractor.extract_colors(IMAGE, PATH)", MASK_FAILS),
    "read_with_alpha": ("__import__('lumvarde_quorle').read_with_alpha(PATH)", IMAGE_FAILS),
    # the command line's default mask looks at the file for an alpha channel before the extractor reads it
    "own alpha": ("__import__('lumvarde_quorle.images').images.apply_with_own_alpha(extractor.extract_colors, PATH)",
                  IMAGE_FAILS),
}
PATH_CASES = {
    **{f"{reader} {kind}": (call, path, failure)
       for reader, (call, failure) in READERS.items() for kind, path in UNSAFE_PATHS.items()},
    "analyze_color_similarity image": ("extractor.analyze_color_similarity(PATH, TARGETS)", UNDECODABLE, IMAGE_FAILS),
    "analyze_color_similarity mask":
        ("extractor.analyze_color_similarity(IMAGE, TARGETS, PATH)", UNDECODABLE, MASK_FAILS),
    "find_color_matches image": ("extractor.find_color_matches(PATH, TARGETS)", UNDECODABLE, IMAGE_FAILS),
    "find_color_matches mask": ("extractor.find_color_matches(IMAGE, TARGETS, PATH)", UNDECODABLE, MASK_FAILS),
    # The mask is read before the image's type is checked, and the image before the mask.
    "mask before image type": ("extractor.extract_colors(7, PATH)", "path('pipe.png')", MASK_FAILS),
    "image before mask": ("extractor.extract_colors(PATH, path('missing'))", "path('embedded NUL')", IMAGE_FAILS),
}


@pytest.fixture(scope="module")
def spelled(worker):
    """A path expression as the child spells it (in its temporary folder)."""
    return functools.cache(lambda expression: ast.literal_eval(worker.run(expression)["value"]))


@pytest.mark.parametrize("call, path, failure", PATH_CASES.values(), ids=PATH_CASES.keys())
def test_path_opencv_cannot_take_is_an_unreadable_file(worker, spelled, call, path, failure):
    outcome = worker.run(call, setup=f"extractor = ColorExtractor(3, 'kmeans', False, True)\nPATH = {path}\n")
    assert raised(outcome)[0] == "builtins.ValueError", describe(outcome)
    assert outcome["message"] == failure + spelled(path)


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
