"""read_with_alpha: colour channels as the extractor reads a path, alpha as the mask, for the
files that carry transparency (8 and 16-bit RGBA, grey with alpha, palette, WebP), and clear errors
for files without it. The report's previews: small, and transparent outside the mask."""

import base64

import cv2
import numpy as np
import pytest
from PIL import Image

from lumvarde_quorle import read_with_alpha
from lumvarde_quorle.budget import without_alpha
from lumvarde_quorle.images import preview_data_uri, read_own_alpha


@pytest.fixture(scope="module")
def alpha_ramp():
    """Alpha 0..255 across 16 columns, repeated over 12 rows."""
    return np.tile(np.arange(0, 256, 16, dtype=np.uint8)[None, :] + 15, (12, 1))


def write_rgba8(path, rng, alpha):
    assert cv2.imwrite(str(path), np.dstack([rng.integers(0, 256, (*alpha.shape, 3), np.uint8), alpha]))
    return alpha


def write_rgba16(path, rng, alpha):
    wide = rng.integers(0, 65536, (*alpha.shape, 4), dtype=np.uint16)
    wide[:, :, 3] = alpha.astype(np.uint16) * 257 + 100
    assert cv2.imwrite(str(path), wide)
    return wide[:, :, 3] >> 8  # the high byte


def write_grey_alpha(path, rng, alpha):
    Image.fromarray(np.dstack([rng.integers(0, 256, alpha.shape, np.uint8), alpha]), "LA").save(path)
    return alpha


def write_palette(path, rng, alpha):
    indices = rng.integers(0, 4, alpha.shape, np.uint8)
    image = Image.fromarray(indices, "P")
    image.putpalette([255, 0, 0, 0, 0, 255, 0, 255, 0, 9, 9, 9])
    image.save(path, transparency=0)
    return np.where(indices == 0, 0, 255).astype(np.uint8)


def write_webp(path, rng, alpha):
    assert cv2.imwrite(str(path), np.dstack([rng.integers(0, 256, (*alpha.shape, 3), np.uint8), alpha]),
                       [cv2.IMWRITE_WEBP_QUALITY, 101])  # lossless
    return alpha


@pytest.mark.parametrize("write, suffix", [
    (write_rgba8, "png"), (write_rgba16, "png"), (write_grey_alpha, "png"), (write_palette, "png"),
    (write_webp, "webp"),
])
def test_colour_as_the_extractor_reads_it_and_alpha_as_mask(tmp_path, rng, alpha_ramp, write, suffix):
    path = tmp_path / f"cut-out.{suffix}"
    expected_alpha = write(path, rng, alpha_ramp)
    image, mask = read_with_alpha(path)
    assert image.dtype == mask.dtype == np.uint8 and image.flags.c_contiguous and mask.flags.c_contiguous
    np.testing.assert_array_equal(image, cv2.imread(str(path)))
    np.testing.assert_array_equal(mask, expected_alpha)


@pytest.mark.parametrize("make, message", [
    (lambda p: cv2.imwrite(str(p.with_suffix(".jpg")), np.full((8, 8, 3), 90, np.uint8)),
     "no alpha channel in .* 3 channels"),
    (lambda p: cv2.imwrite(str(p.with_suffix(".png")), np.full((8, 8), 90, np.uint8)),
     "no alpha channel in .* 1 channel\\)"),
    (lambda p: cv2.imwrite(str(p.with_suffix(".tiff")), np.zeros((8, 8, 4), np.float32)),
     "unsupported samples .* float32"),
    (lambda p: p.with_suffix(".png").write_text("not an image"), "Could not load image from"),
    (lambda p: None, "Could not load image from"),
])
def test_files_without_usable_alpha_are_clear_errors(tmp_path, make, message):
    make(tmp_path / "image")
    path = next(tmp_path.iterdir(), tmp_path / "missing.png")
    with pytest.raises(ValueError, match=message):
        read_with_alpha(str(path))


@pytest.mark.parametrize("mask_channels", [None, 2, 3])
def test_preview_is_small_and_transparent_outside_the_mask(china_bgr, mask_channels):
    mask = np.zeros(china_bgr.shape[:2], np.uint8)
    mask[:, 320:] = 255
    if mask_channels == 3:
        mask = cv2.cvtColor(mask, cv2.COLOR_GRAY2BGR)
    uri = preview_data_uri(china_bgr, None if mask_channels is None else mask)
    mime, data = uri.split(",", 1)
    preview = cv2.imdecode(np.frombuffer(base64.b64decode(data), np.uint8), cv2.IMREAD_UNCHANGED)
    assert preview.shape[:2] == (171, 256)
    if mask_channels is None:
        assert mime == "data:image/jpeg;base64" and preview.shape[2] == 3
    else:
        assert mime == "data:image/png;base64"
        assert (preview[:, :127, 3] == 0).all() and (preview[:, 129:, 3] == 255).all()


def palette_image(transparent):
    image = Image.new("P", (6, 4))
    image.putpalette([250, 0, 0, 0, 0, 250] + [0] * 762)
    image.paste(1, (0, 2, 6, 4))
    return image, {"transparency": 0} if transparent else {}


# How each kind of file is written, and whether its header rules transparency out.
HEADERS = {
    "RGB": (lambda: (Image.new("RGB", (6, 4), (1, 2, 3)), {}), ".png", True),
    "RGBA": (lambda: (Image.new("RGBA", (6, 4), (1, 2, 3, 0)), {}), ".png", False),
    "grey and alpha": (lambda: (Image.new("LA", (6, 4), (9, 0)), {}), ".png", False),
    "palette": (lambda: palette_image(False), ".png", True),
    "palette, transparent entry": (lambda: palette_image(True), ".png", False),
    "RGB, transparent colour": (lambda: (Image.new("RGB", (6, 4), (1, 2, 3)), {"transparency": (1, 2, 3)}), ".png",
                                False),
    "JPEG": (lambda: (Image.new("RGB", (6, 4), (1, 2, 3)), {}), ".jpg", True),
    "WebP with alpha": (lambda: (Image.new("RGBA", (6, 4), (1, 2, 3, 0)), {"lossless": True}), ".webp", False),
}


@pytest.mark.parametrize("make, suffix, opaque", HEADERS.values(), ids=HEADERS.keys())
def test_a_header_without_transparency_is_read_as_any_image(tmp_path, make, suffix, opaque):
    image, options = make()
    path = str(tmp_path / f"image{suffix}")
    image.save(path, **options)
    assert without_alpha(path) is opaque
    found = read_own_alpha(path)
    # what OpenCV decodes agrees: the files whose header declares transparency have an alpha channel
    assert (found is None) is opaque
    if found is not None:
        assert found[1].shape == (4, 6) and found[0].shape == (4, 6, 3) and found[1].min() == 0


def test_files_without_a_readable_header_are_not_taken_for_opaque(tmp_path):
    (tmp_path / "text.png").write_text("not an image")
    for path in (tmp_path / "text.png", tmp_path / "missing.png", tmp_path):
        assert not without_alpha(str(path))
