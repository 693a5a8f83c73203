"""The pixel budget: image sizes read from file headers without decoding, the extension module's
max_image_pixels setting, the batch's default budget after Pillow's, and the command line refusing a
decompression bomb at once."""

import os
import struct
import time
import warnings
import zlib

import cv2
import numpy as np
import pytest
from PIL import Image

import lumvarde_quorle.color_extractor_cy as module
from child_worker import UNDER_ASAN, run_python
from lumvarde_quorle import read_with_alpha
from lumvarde_quorle.batch import map_images
import lumvarde_quorle.budget as budget_module
from lumvarde_quorle.budget import ImageTooLargeError, image_size
from test_headers import webp_bomb

def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def bomb_png(path, width, height, decodable=True):
    """A flat colour with thin stripes, as a 1-bit palette PNG: kilobytes that decode to width x height x 3
    bytes. Not decodable: the header alone, the pixel data cut short."""
    row_bytes = (width + 7) // 8
    block = b"".join(b"\0" + (b"\xff" if y % 97 == 0 else b"\0") * row_bytes for y in range(97))
    compressor = zlib.compressobj(9)
    data = [compressor.compress(block) for _ in range(height // 97)]
    data += [compressor.compress(block[: (height % 97) * (row_bytes + 1)]), compressor.flush()]
    pixels = b"".join(data) if decodable else b"".join(data)[:64]
    path.write_bytes(
        b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 1, 3, 0, 0, 0))
        + png_chunk(b"PLTE", bytes([200, 120, 40, 20, 20, 200])) + png_chunk(b"IDAT", pixels) + png_chunk(b"IEND", b"")
    )
    return str(path)


@pytest.fixture(scope="module")
def files(tmp_path_factory, china_bgr):
    folder = tmp_path_factory.mktemp("budget")
    small = china_bgr[:23, :37]
    paths = {}
    for suffix in (".png", ".jpg", ".webp", ".tiff", ".bmp", ".ppm"):
        paths[suffix] = str(folder / f"small{suffix}")
        assert cv2.imwrite(paths[suffix], small)
    # Radiance HDR: OpenCV reads it, Pillow does not know it.
    paths["hdr"] = str(folder / "small.hdr")
    assert cv2.imwrite(paths["hdr"], small.astype(np.float32) / 255)
    paths["photo"] = str(folder / "photo.png")
    assert cv2.imwrite(paths["photo"], china_bgr[::4, ::4])  # 160 x 107
    paths["cut-out"] = str(folder / "cut-out.png")
    assert cv2.imwrite(paths["cut-out"], np.dstack([china_bgr[::4, ::4], np.full((107, 160), 255, np.uint8)]))
    # Refused before decoding, it cannot fail as a damaged file does.
    paths["huge header"] = bomb_png(folder / "huge-header.png", 50000, 50000, decodable=False)
    paths["damaged"] = bomb_png(folder / "damaged.png", 3000, 3000, decodable=False)
    paths["bomb"] = bomb_png(folder / "bomb.png", 20000, 20000)
    (folder / "notes.png").write_text("not an image")
    paths["text"] = str(folder / "notes.png")
    os.mkfifo(folder / "pipe.png")
    paths["pipe"] = str(folder / "pipe.png")
    return paths


@pytest.fixture
def budget(monkeypatch):
    def set_budget(value):
        monkeypatch.setattr(module, "max_image_pixels", value)

    return set_budget


# -- sizes from headers ----------------------------------------------------------------------------


@pytest.mark.parametrize("suffix", [".png", ".jpg", ".webp", ".tiff", ".bmp", ".ppm", "hdr"])
def test_image_size_reads_the_header(files, suffix):
    assert image_size(files[suffix]) == (37, 23)


@pytest.mark.parametrize("name", ["text", "pipe", "missing"])
def test_image_size_is_none_where_no_header_can_be_read(files, name):
    assert image_size(files.get(name, files["text"] + ".missing")) is None


@pytest.mark.serial
def test_image_size_of_a_bomb_at_once_whatever_pillow_allows(files):
    start = time.perf_counter()
    assert image_size(files["huge header"]) == (50000, 50000)  # 12 x Pillow's own refusal threshold
    assert image_size(files["bomb"]) == (20000, 20000)
    assert time.perf_counter() - start < 0.5


# -- the extension module's setting -----------------------------------------------------------------

CALLS = {
    "extract_colors": lambda extractor, path: extractor.extract_colors(path),
    "find_color_matches": lambda extractor, path: extractor.find_color_matches(path, {"red": (200, 30, 40)}),
    "mask": lambda extractor, path: extractor.extract_colors(np.zeros((50000, 1, 3), np.uint8)[:1], path),
}


@pytest.mark.serial
@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
@pytest.mark.parametrize("setting", [10**6, np.int64(10**6)])
def test_setting_refuses_files_above_it_before_decoding(files, budget, call, setting):
    budget(setting)
    start = time.perf_counter()
    with pytest.raises(ImageTooLargeError, match=r"huge-header\.png: 50000 x 50000 = 2,500,000,000 pixels, more "
                                                 r"than the limit of 1,000,000"):
        call(module.FastColorExtractor(3), files["huge header"])
    assert time.perf_counter() - start < 0.5


def test_without_the_setting_paths_read_as_before(files, budget):
    budget(None)
    with pytest.raises(ValueError, match="Could not load image from") as raised:
        module.ColorExtractor(3).extract_colors(files["damaged"])
    assert not isinstance(raised.value, ImageTooLargeError)
    budget(0)
    assert len(module.ColorExtractor(3).extract_colors(files["photo"])) == 3


@pytest.mark.parametrize("limit, refused", [(160 * 107, False), (160 * 107 - 1, True)])
def test_setting_is_the_largest_pixel_count_allowed(files, budget, limit, refused):
    budget(limit)
    if refused:
        with pytest.raises(ImageTooLargeError):
            module.ColorExtractor(3).extract_colors(files["photo"])
        with pytest.raises(ImageTooLargeError):
            read_with_alpha(files["cut-out"])
    else:
        assert module.ColorExtractor(3).extract_colors(files["photo"])
        assert read_with_alpha(files["cut-out"])[0].shape == (107, 160, 3)


@pytest.mark.parametrize("limit", [37 * 23, 37 * 23 - 1])
def test_files_without_a_readable_header_are_held_to_the_budget_once_decoded(files, budget, monkeypatch, limit):
    monkeypatch.setattr(budget_module, "image_size", lambda path: None)
    budget(limit)
    if limit < 37 * 23:
        with pytest.raises(ImageTooLargeError, match=r"small\.hdr: 37 x 23 = 851 pixels"):
            module.ColorExtractor(3).extract_colors(files["hdr"])
    else:
        assert len(module.ColorExtractor(3).extract_colors(files["hdr"])) == 3


@pytest.mark.parametrize("setting, error", [("big", TypeError), (2.5, TypeError), (True, TypeError), (-1, ValueError)])
def test_bad_setting_is_a_clear_exception(files, budget, setting, error):
    budget(setting)
    with pytest.raises(error, match="max_image_pixels"):
        module.ColorExtractor(3).extract_colors(files["photo"])


# -- the batch's budget ---------------------------------------------------------------------------


class InProcess:
    """An executor that runs each call at submission."""

    def submit(self, fn, /, *args, **kwargs):
        from concurrent.futures import Future

        future = Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future


def outcomes(paths, executor=None, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = list(map_images(module.ColorExtractor(3).extract_colors, paths, executor=executor, **options))
    warned = {path for path in paths if any(path in str(w.message) for w in caught
                                            if issubclass(w.category, Image.DecompressionBombWarning))}
    return [("warned " if result.path in warned else "") + (type(result.error).__name__ if result.error else "ok")
            for result in results]


# With Pillow's limit at 10,000 pixels: the photo (17,120) warns, the 23 x 37 image passes, the bomb
# and a 400 x 400 copy of the photo are refused.
PILLOW_DEFAULT = {
    "pillow": ("pillow", ["ok", "warned ok", "ImageTooLargeError", "ImageTooLargeError"]),
    "hard limit": (17_120, ["ok", "ok", "ImageTooLargeError", "ImageTooLargeError"]),
    "no limit": (None, ["ok", "ok", "ok", "ImageTooLargeError"]),
}


@pytest.mark.parametrize("max_pixels, expected", PILLOW_DEFAULT.values(), ids=PILLOW_DEFAULT.keys())
def test_batch_budget(files, monkeypatch, tmp_path, china_bgr, max_pixels, expected):
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 10_000)
    large = str(tmp_path / "large.png")
    assert cv2.imwrite(large, cv2.resize(china_bgr, (400, 400)))
    # Without a budget the damaged file fails as it is decoded.
    paths = [files[".png"], files["photo"], large, files["damaged"]]
    got = outcomes(paths, InProcess(), max_pixels=max_pixels)
    assert got[:3] == expected[:3]
    assert got[3] == ("ValueError" if max_pixels is None else "ImageTooLargeError")


def test_batch_budget_reaches_files_pillow_cannot_size(files):
    assert outcomes([files["hdr"]], InProcess(), max_pixels=800) == ["ImageTooLargeError"]
    assert outcomes([files["hdr"]], InProcess(), max_pixels=851) == ["ok"]


def test_pillow_budget_follows_pillow_and_travels_to_workers(files, monkeypatch):
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 10_000)
    got = outcomes([files["photo"], files["huge header"], files[".png"]], workers=2)
    assert got == ["warned ok", "ImageTooLargeError", "ok"]
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", None)
    assert outcomes([files["photo"]], InProcess()) == ["ok"]


@pytest.mark.parametrize("max_pixels, error", [(-5, ValueError), (1.5, TypeError), ("all", ValueError)])
def test_batch_refuses_a_bad_budget(max_pixels, error):
    with pytest.raises(error, match="max_pixels"):
        next(map_images(str, ["a.png"], max_pixels=max_pixels))


# -- the command line ---------------------------------------------------------------------------------


# The tool, reporting its own peak resident size on stderr as it exits: a child's ru_maxrss would count
# the pages of this process from before the exec.
MEASURED_TOOL = """
import atexit, sys
def peak():
    with open('/proc/self/status') as status:
        sys.stderr.write(next(line for line in status if line.startswith('VmHWM:')))
atexit.register(peak)
sys.argv[0] = 'lumvarde-quorle'
from lumvarde_quorle.cli import run
run()
"""


def run_measured(arguments, address_space=None):
    """Runs the tool; returns (exit status, stdout, stderr, seconds, peak resident megabytes)."""

    start = time.perf_counter()
    done = run_python(MEASURED_TOOL, *arguments, timeout=300, address_space=address_space)
    seconds = time.perf_counter() - start
    lines = done.stderr.splitlines()
    peak = next((int(line.split()[1]) / 1024 for line in lines if line.startswith("VmHWM:")), None)
    err = "\n".join(line for line in lines if not line.startswith("VmHWM:"))
    return done.returncode, done.stdout, err, seconds, peak


@pytest.mark.serial
def test_command_line_refuses_a_bomb_at_once(files):
    # Under a limit all the same: were the budget not applied, the analysis would take tens of gigabytes.
    status, out, err, seconds, peak = run_measured(["extract", files["bomb"], "--format", "json"],
                                                   address_space=None if UNDER_ASAN else 4 << 30)
    assert status == 1
    assert "ImageTooLargeError" in out
    assert "20000 x 20000 = 400,000,000 pixels, more than the limit of 178,956,970" in err
    # Refused before the libraries are loaded or anything is decoded (which would take 1.2 GB).
    assert seconds < 1.5 and peak < 200, (seconds, peak)


def radiance_bomb(path, side):
    """A run-length Radiance HDR of one flat colour: about 900 bytes a row for side x side x 12 bytes."""
    runs = bytes([255, 90]) * (side // 127) + bytes([128 + side % 127, 90])
    row = bytes([2, 2, side >> 8, side & 0xFF]) + runs * 4
    path.write_bytes(f"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y {side} +X {side}\n".encode() + row * side)
    return str(path)


@pytest.mark.parametrize("bomb", ["webp", "hdr"])
def test_command_line_refuses_bombs_pillow_cannot_size(tmp_path, bomb):
    if bomb == "webp":
        path = tmp_path / "bomb.webp"
        path.write_bytes(webp_bomb(16383, 16383))  # 800 MB decoded
        side = 16383
    else:
        path, side = radiance_bomb(tmp_path / "bomb.hdr", 6000), 6000  # 430 MB decoded
    status, out, err, _, peak = run_measured(
        ["extract", str(path), "--max-pixels", "1000000", "--format", "json"],
        address_space=None if UNDER_ASAN else 4 << 30)
    assert status == 1 and "ImageTooLargeError" in out
    assert f"{side} x {side} = {side * side:,} pixels, more than the limit of 1,000,000" in err
    assert peak < 200, peak


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves the address space it checks")
def test_command_line_without_budget_refuses_the_memory_before_decoding(files):
    status, out, err, _, peak = run_measured(
        ["extract", files["bomb"], "--max-pixels", "0", "--format", "json"], address_space=6 << 30)
    assert status == 1
    assert "MemoryError" in out
    assert "The analysis of 400000000 pixels would need about" in err and "(address-space limit)" in err
    assert peak < 1000  # the decoded image alone would be 1.2 GB


@pytest.mark.parametrize("value", ["-1", "many", "1e9"])
def test_command_line_rejects_a_bad_budget(files, value):
    status, _, err, _, _ = run_measured(["extract", files["photo"], "--max-pixels", value])
    assert status == 2 and "--max-pixels" in err


def test_command_line_budget_is_a_hard_limit(files):
    status, out, err, _, _ = run_measured(["extract", files["photo"], files[".png"], "--max-pixels", "1000",
                                           "--format", "jsonl"])
    assert status == 1
    assert [line.startswith('{"path": "' + path + '", "error"') for line, path in
            zip(out.splitlines(), [files["photo"], files[".png"]])] == [True, False]
