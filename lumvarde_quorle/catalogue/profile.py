"""The settings an image was analysed with, as the catalogue stores and selects them."""

from __future__ import annotations

import hashlib
import json
import os
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

from ..settings import ALPHA, AUTO, ExtractorSettings, is_alpha, is_auto, per_image
from .storage import CatalogueError

if TYPE_CHECKING:
    from ..color_extractor_cy import ColorExtractor

__all__ = ["Profile"]


@dataclass(frozen=True)
class Profile:
    """The extractor settings an image was analysed with. `mask` is None, ALPHA or a mask file's path;
    a mask file is known by its content's digest, so an edited mask is other settings. AUTO is no stored
    settings of its own: each image is stored under the ALPHA or the None settings (`resolved`), by
    whether it has an alpha channel, so that an image without one is the same entry either way."""

    n_colors: int = 5
    algorithm: str | None = "kmeans"
    preprocessing: bool = True
    lab_space: bool = True
    mask: str | None = None
    mask_digest: str | None = None

    @property
    def key(self) -> str:
        # Stored catalogues hold this text: it must not change. AUTO's key is never stored.
        mask = "none" if self.mask is None else self.mask if self.mask_digest is None else self.mask_digest
        return json.dumps(
            [self.n_colors, self.algorithm, self.preprocessing, self.lab_space, mask], separators=(",", ":")
        )

    def columns(self) -> tuple[Any, ...]:
        """The settings table's columns besides the key."""
        return self.n_colors, self.algorithm, self.preprocessing, self.lab_space, self.mask, self.mask_digest

    def as_dict(self) -> dict[str, Any]:
        return {
            "n_colors": self.n_colors, "algorithm": self.algorithm, "preprocessing": self.preprocessing,
            "lab_space": self.lab_space, "mask": self.mask,
        }

    def describe(self) -> str:
        mask = "none" if self.mask is None else self.mask
        yes = {True: "yes", False: "no"}
        return (
            f"n_colors={self.n_colors}, algorithm={self.algorithm}, preprocessing={yes[self.preprocessing]}, "
            f"lab_space={yes[self.lab_space]}, mask={mask}"
        )

    def resolved(self, alpha: bool) -> Profile:
        """The stored settings of an image with (`alpha`) or without an alpha channel under these."""
        if not is_auto(self.mask):
            return self
        return replace(self, mask=ALPHA if alpha else None)

    def per_image(self) -> Profile:
        """These settings with AUTO in place of None or ALPHA: both are what AUTO stores."""
        return replace(self, mask=AUTO) if self.mask is None or is_alpha(self.mask) else self

    def settings(self) -> ExtractorSettings:
        return ExtractorSettings(self.n_colors, self.algorithm, self.preprocessing, self.lab_space)

    def extractor(self) -> ColorExtractor:
        from ..color_extractor_cy import ColorExtractor

        return ColorExtractor(**self.settings().params())

    @classmethod
    def of(
        cls, extractor: ColorExtractor | ExtractorSettings | None = None, mask: str | os.PathLike[str] | None = None
    ) -> Profile:
        """The settings of an extractor of any class, or of its settings (default: ColorExtractor()'s),
        used with `mask`."""
        settings = ExtractorSettings.of(extractor)
        fields = (settings.n_colors, settings.algorithm, settings.preprocessing, settings.lab_space)
        if mask is None or per_image(mask):
            return cls(*fields, None if mask is None else str(mask))
        if not isinstance(mask, (str, os.PathLike)):
            raise TypeError(
                f"mask must be None, {AUTO!r}, {ALPHA!r} or a mask file's path, not {type(mask).__name__}"
            )
        path = os.path.abspath(os.fspath(mask))
        try:
            with open(path, "rb") as file:
                digest = "sha256:" + hashlib.file_digest(file, "sha256").hexdigest()
        except OSError as error:
            raise CatalogueError(f"cannot read the mask {path}: {error.strerror}") from None
        return cls(*fields, path, digest)
