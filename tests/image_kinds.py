"""Catalogue-like images at any size, deterministic: a real photo scaled up, a product shot on a pure
white background, a flat logo and a flat six-colour graphic. Shared by the tests and the benchmarks."""

import cv2
import numpy as np

WHITE = (255, 255, 255)
# R, G, B of the logo's two marks; the first is the mark whose 538,384 pixels at 12 MP once came back
# as (31, 67, 164).
LOGO_MARKS = ((32, 67, 164), (236, 122, 18))
SIX_FLAT = (WHITE, (200, 30, 40), (20, 110, 60), (250, 200, 40), (40, 40, 45), (120, 160, 220))
TWELVE_MP = (2830, 4240)
TWO_MP = (1155, 1732)


def _bgr(rgb):
    return tuple(int(c) for c in rgb[::-1])


def photo(size):
    """scikit-learn's china.jpg scaled (bicubic) to `size` (rows, columns), B, G, R."""
    from sklearn.datasets import load_sample_image

    image = np.ascontiguousarray(load_sample_image("china.jpg")[:, :, ::-1])
    return cv2.resize(image, (size[1], size[0]), interpolation=cv2.INTER_CUBIC)


def logo(size):
    """Pure white with two flat rectangles: three colours, fewer than the clusters asked for."""
    h, w = size
    image = np.full((h, w, 3), 255, np.uint8)
    image[h // 10 : h // 10 + h * 2 // 9, w // 10 : w // 10 + w // 5] = _bgr(LOGO_MARKS[0])
    image[h // 2 : h // 2 + h // 6, w // 2 : w // 2 + w // 5] = _bgr(LOGO_MARKS[1])
    return image


def studio(size, seed=3):
    """A product shot: about 77 % pure white, two flat objects and a flat grey shadow under them, all
    three with light sensor noise."""
    h, w = size
    rng = np.random.default_rng(seed)
    image = np.full((h, w, 3), 255, np.uint8)
    colours = np.empty((h, w, 3), np.int16)
    colours[:] = _bgr((40, 90, 200))
    colours[:, w // 2 :] = _bgr((30, 160, 60))
    colours[h * 3 // 4 :] = _bgr((205, 205, 205))
    shapes = np.zeros((h, w), np.uint8)
    cv2.ellipse(shapes, (w // 2, h * 17 // 20), (w * 3 // 10, h // 14), 0, 0, 360, 255, -1)
    shapes[h // 5 : h * 3 // 4, w // 6 : w // 3] = 255
    cv2.circle(shapes, (w * 2 // 3, h // 2), min(h, w) // 5, 255, -1)
    inside = shapes > 0
    noisy = colours[inside] + rng.normal(0, 3, (int(inside.sum()), 3))
    image[inside] = np.clip(noisy, 0, 254).astype(np.uint8)
    return image


def six_flat(size):
    """Six flat colours, pure white on about 65 % of the image."""
    h, w = size
    image = np.full((h, w, 3), 255, np.uint8)
    bands = SIX_FLAT[1:]
    top, bottom = h * 2 // 3, h
    for index, colour in enumerate(bands):
        left, right = index * w // len(bands), (index + 1) * w // len(bands)
        image[top + (index % 2) : bottom, left:right] = _bgr(colour)
    image[: h // 20, : w // 20] = _bgr(bands[0])
    return image


KINDS = {"photo": photo, "studio": studio, "logo": logo, "six_flat": six_flat}
