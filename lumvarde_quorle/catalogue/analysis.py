"""What `index` does to each image where it runs: one decode, then the extractor's palette and the colour
distribution of the same pixels."""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

from ..budget import PILLOW
from ..distribution import colour_distribution, records
from ..settings import ExtractorSettings, is_alpha, is_auto, per_image
from .palettes import PaletteColor, checked_palette
from .profile import Profile
from .storage import CatalogueError

if TYPE_CHECKING:
    from ..color_extractor_cy import ColorExtractor

__all__ = ["Analysis", "analyse", "checked", "extract_colors"]


@dataclass(frozen=True)
class Analysis:
    """`(palette, distribution, alpha)` of an image path: the image is read once, as the extractor reads a
    path (its pixel budget included), with its mask (a mask file's path, ALPHA for the image's own alpha
    channel, AUTO for it where the image has one, or None), and both are made from those pixels; `alpha`
    says whether the image's alpha channel was the mask. Picklable when `extract` is, so that it runs in
    worker processes."""

    extract: Callable[..., Any]
    mask: str | None = None

    def __call__(self, path: str) -> tuple[Any, bytes, bool]:
        from ..images import read_colour, read_mask, read_own_alpha, read_with_alpha

        image: Any
        mask: Any
        own = read_with_alpha(path) if is_alpha(self.mask) else read_own_alpha(path) if is_auto(self.mask) else None
        if own is not None:
            image, mask = own
        else:
            image = read_colour(path)
            mask = None if self.mask is None or per_image(self.mask) else read_mask(self.mask)
        palette = self.extract(image) if mask is None else self.extract(image, mask=mask)
        return palette, colour_distribution(image, mask), own is not None


def extract_colors(extractor: ColorExtractor | ExtractorSettings | None) -> Callable[..., Any]:
    """The extract_colors of an extractor as given (a subclass keeps its overrides), or a call that makes
    the settings' extractor where it runs."""
    if extractor is None or isinstance(extractor, ExtractorSettings):
        return ExtractorSettings.of(extractor).method("extract_colors")
    return extractor.extract_colors


def checked(value: Any) -> tuple[list[PaletteColor], bytes, bool]:
    """An Analysis result as stored: the palette checked, the distribution whole records."""
    if not isinstance(value, tuple) or len(value) != 3 or not isinstance(value[1], bytes):
        raise ValueError(f"the analysis gave {type(value).__name__}, not a palette and a distribution")
    records(value[1])
    return checked_palette(value[0]), value[1], bool(value[2])


def analyse(
    path: str, profile: Profile, max_pixels: int | Literal["pillow"] | None = PILLOW
) -> tuple[list[PaletteColor], bytes, bool]:
    """The palette and distribution of an image file made now with the settings, the file held to the pixel
    budget `max_pixels` (ImageTooLargeError above it, before decoding)."""
    from ..images import within_budget

    if profile.mask is not None and not per_image(profile.mask):
        if Profile.of(profile.settings(), profile.mask).key != profile.key:
            raise CatalogueError(f"the mask {profile.mask} changed since the images were indexed with it")
    mask = None if profile.mask is None else os.fspath(profile.mask)
    return checked(within_budget(Analysis(profile.extractor().extract_colors, mask), max_pixels)(path))
