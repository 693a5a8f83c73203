"""Images for comparing FastColorExtractor with ColorExtractor: scikit-learn's bundled photos, crops
and rescales of them, and synthetic images (flat regions, gradients, noise, few colours, fewer distinct
colours than n_colors, masks). Each case is (name, image, mask, n_colors), deterministic."""

import cv2
import numpy as np


def _photos():
    from sklearn.datasets import load_sample_image

    return {name: np.ascontiguousarray(load_sample_image(f"{name}.jpg")[:, :, ::-1]) for name in ("china", "flower")}


def _studio(rng, size):
    """White background, two flat objects, sometimes blurred or noisy: where clusters go empty."""
    h, w = size
    image = np.full((h, w, 3), 255, np.uint8)
    for _ in range(2):
        colour = tuple(int(v) for v in rng.integers(0, 256, 3))
        x, y = int(rng.integers(0, w // 2)), int(rng.integers(0, h // 2))
        if rng.random() < 0.5:
            corner = (x + int(rng.integers(5, w // 2)), y + int(rng.integers(5, h // 2)))
            cv2.rectangle(image, (x, y), corner, colour, -1)
        else:
            cv2.circle(image, (x + w // 4, y + h // 4), int(rng.integers(4, min(h, w) // 3)), colour, -1)
    style = rng.integers(0, 3)
    if style == 1:
        image = cv2.GaussianBlur(image, (5, 5), 1.5)
    elif style == 2:
        image = np.clip(image + rng.normal(0, 4, image.shape), 0, 255).astype(np.uint8)
    return image


def _gradient(rng, size):
    h, w = size
    a, b = rng.integers(0, 256, 3), rng.integers(0, 256, 3)
    t = np.linspace(0, 1, w)[None, :, None]
    image = a * (1 - t) + b * t + np.zeros((h, 1, 1))
    return np.clip(image, 0, 255).astype(np.uint8)


def _noise(rng, size):
    return rng.integers(0, 256, (*size, 3), dtype=np.uint8)


def _few_colours(rng, size, colours):
    palette = rng.integers(0, 256, (colours, 3), dtype=np.uint8)
    blocks = rng.integers(0, colours, (size[0] // 4 + 1, size[1] // 4 + 1))
    return palette[np.kron(blocks, np.ones((4, 4), int))[: size[0], : size[1]]]


def _flat_regions(rng, size):
    h, w = size
    image = np.zeros((h, w, 3), np.uint8)
    cuts = sorted(rng.integers(1, w, 3))
    for colour, (left, right) in zip(rng.integers(0, 256, (4, 3)), zip([0, *cuts], [*cuts, w])):
        image[:, left:right] = colour
    return image


def _mask(rng, shape):
    mask = np.zeros(shape[:2], np.uint8)
    cv2.circle(mask, (shape[1] // 2, shape[0] // 2), int(min(shape[:2]) * rng.uniform(0.2, 0.5)), 255, -1)
    return mask


def cases(count, seed=0, photo_size=(64, 96)):
    """`count` cases; photo crops and rescales are at most `photo_size` (rows, columns) unless larger
    sizes are asked for by a longer run."""
    rng = np.random.default_rng(seed)
    photos = _photos()
    makers = ["crop", "rescale", "studio", "gradient", "noise", "few", "fewer_than_k", "flat", "photo_masked"]
    out = []
    for index in range(count):
        kind = makers[index % len(makers)]
        h = int(rng.integers(photo_size[0] // 2, photo_size[0] + 1))
        w = int(rng.integers(photo_size[1] // 2, photo_size[1] + 1))
        n_colors = int(rng.integers(1, 9))
        mask = None
        photo = photos["china" if rng.random() < 0.5 else "flower"]
        if kind == "crop":
            y, x = int(rng.integers(0, photo.shape[0] - h)), int(rng.integers(0, photo.shape[1] - w))
            image = photo[y : y + h, x : x + w]
        elif kind == "rescale":
            interpolation = [cv2.INTER_AREA, cv2.INTER_LINEAR, cv2.INTER_CUBIC][index % 3]
            image = cv2.resize(photo, (w, h), interpolation=interpolation)
        elif kind == "studio":
            image = _studio(rng, (h, w))
        elif kind == "gradient":
            image = _gradient(rng, (h, w))
        elif kind == "noise":
            image = _noise(rng, (h // 2, w // 2))
        elif kind == "few":
            image = _few_colours(rng, (h, w), int(rng.integers(2, 12)))
        elif kind == "fewer_than_k":
            n_colors = int(rng.integers(4, 9))
            image = _few_colours(rng, (h, w), int(rng.integers(1, n_colors)))
        elif kind == "flat":
            image = _flat_regions(rng, (h, w))
        else:
            image = cv2.resize(photo, (w, h), interpolation=cv2.INTER_AREA)
            mask = _mask(rng, image.shape)
        if kind not in ("photo_masked",) and rng.random() < 0.15:
            mask = _mask(rng, image.shape)
        out.append((f"{index:03d}-{kind}-k{n_colors}", np.ascontiguousarray(image), mask, n_colors))
    return out
