"""The extractor settings as one value, shared by the command line, the catalogue and the batch, and the
one rule that binds a mask to an image.

    from lumvarde_quorle.settings import ExtractorSettings, bind_mask

    settings = ExtractorSettings.of(ColorExtractor(n_colors=6))   # read through get_params()
    operation = bind_mask(settings.method("extract_colors"), "alpha")
    operation("cut-out.png")                                      # the image's alpha channel as its mask

Light to import: the extension is loaded only when an extractor is made or read.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Callable
from dataclasses import asdict, dataclass
from typing import TYPE_CHECKING, Any

from .checks import whole_number

if TYPE_CHECKING:
    from .color_extractor_cy import ColorExtractor

__all__ = ["ALPHA", "AUTO", "NONE", "ExtractorSettings", "bind_mask", "is_alpha", "is_auto", "mask_named", "per_image"]

# mask="alpha": each image's own alpha channel, an image without one failing; a mask file of that name
# is ./alpha.
ALPHA = "alpha"
# mask="auto": each image's own alpha channel where it has one, every pixel of an image without one, so
# that a transparent background is not counted as a colour. ./auto for a mask file of that name.
AUTO = "auto"
# The word for every pixel, where a mask is named by text (the command line): mask=None.
NONE = "none"


def is_alpha(mask: object) -> bool:
    """Whether `mask` asks for each image's own alpha channel (arrays and paths do not)."""
    return isinstance(mask, str) and mask == ALPHA


def is_auto(mask: object) -> bool:
    """Whether `mask` asks for each image's alpha channel where it has one."""
    return isinstance(mask, str) and mask == AUTO


def mask_named(text: str) -> str | None:
    """The mask a word or a path names: NONE is None, ALPHA, AUTO and a path are themselves."""
    return None if text == NONE else text


def per_image(mask: object) -> bool:
    """Whether each image brings its own mask (ALPHA or AUTO), as opposed to a mask file, an array or none."""
    return is_alpha(mask) or is_auto(mask)


def bind_mask(operation: Callable[..., Any], mask: str | os.PathLike[str] | Any | None) -> Callable[..., Any]:
    """`operation(image, mask=...)` as a call on an image path alone, with `mask` bound: ALPHA reads each
    image's alpha channel where the call runs (`images.apply_with_alpha_mask`), AUTO does where the image
    has one and passes the path on alone otherwise, None binds nothing, and a mask file's path or an array
    is passed on as the mask. Picklable when `operation` is."""
    if is_alpha(mask):
        from .images import apply_with_alpha_mask

        return functools.partial(apply_with_alpha_mask, operation)
    if is_auto(mask):
        return functools.partial(_with_own_alpha, operation)
    if mask is None:
        return operation
    return functools.partial(operation, mask=os.fspath(mask) if isinstance(mask, os.PathLike) else mask)


def _with_own_alpha(operation: Callable[..., Any], path: str, /, **options: Any) -> Any:
    """`images.apply_with_own_alpha`, after the file's header: an image that declares no transparency goes
    to `operation` as a path without loading the image libraries here, so that the budget refuses a
    decompression bomb first, as without a mask."""
    from .budget import without_alpha

    if without_alpha(path):
        return operation(path, **options)
    from .images import apply_with_own_alpha

    return apply_with_own_alpha(operation, path, **options)


@dataclass(frozen=True)
class ExtractorSettings:
    """The four constructor settings of an extractor, and whether its K-means is the library's own call
    (LibraryColorExtractor: the same results, for checking them)."""

    n_colors: int = 5
    algorithm: str | None = "kmeans"
    preprocessing: bool = True
    lab_space: bool = True
    library_kmeans: bool = False

    def __post_init__(self) -> None:
        whole_number(self.n_colors, "n_colors")
        if self.algorithm is not None and not isinstance(self.algorithm, str):
            raise TypeError(f"algorithm must be a str or None, not {type(self.algorithm).__name__}")
        object.__setattr__(self, "n_colors", int(self.n_colors))
        object.__setattr__(self, "preprocessing", bool(self.preprocessing))
        object.__setattr__(self, "lab_space", bool(self.lab_space))
        object.__setattr__(self, "library_kmeans", bool(self.library_kmeans))

    @classmethod
    def of(cls, extractor: ColorExtractor | ExtractorSettings | None = None) -> ExtractorSettings:
        """The settings of an extractor of any of the module's classes (or a subclass), read through its
        get_params(); None gives the defaults."""
        if extractor is None:
            return cls()
        if isinstance(extractor, ExtractorSettings):
            return extractor
        from .color_extractor_cy import ColorExtractor, LibraryColorExtractor

        if not isinstance(extractor, ColorExtractor):
            raise TypeError(f"extractor must be a ColorExtractor or None, not {type(extractor).__name__}")
        return cls(**extractor.get_params(), library_kmeans=isinstance(extractor, LibraryColorExtractor))

    def params(self) -> dict[str, Any]:
        """The constructor's keyword arguments."""
        params = asdict(self)
        del params["library_kmeans"]
        return params

    def extractor(self) -> ColorExtractor:
        """An extractor with these settings, made once per process and reused."""
        return _made(self)

    def method(self, name: str) -> Callable[..., Any]:
        """The extractor method `name` as a picklable call that makes its extractor (and loads the
        libraries) in the process that runs it, on first use: a run whose images all fail before analysis,
        as images above the pixel budget do, never loads them."""
        if name.startswith("_"):
            raise ValueError(f"{name!r} is not a public extractor method")
        return functools.partial(_call, self, name)


# One extractor per settings in each process: a batch's calls share it instead of each making its own.
_extractors: dict[ExtractorSettings, ColorExtractor] = {}


def _made(settings: ExtractorSettings) -> ColorExtractor:
    if settings not in _extractors:
        from .color_extractor_cy import ColorExtractor, LibraryColorExtractor

        kind = LibraryColorExtractor if settings.library_kmeans else ColorExtractor
        _extractors[settings] = kind(**settings.params())
    return _extractors[settings]


def _call(settings: ExtractorSettings, method: str, /, *args: Any, **kwargs: Any) -> Any:
    return getattr(_made(settings), method)(*args, **kwargs)
