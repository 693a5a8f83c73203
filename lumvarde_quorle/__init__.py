"""Dominant colours, target colour matching and colour charts for images.

The work is done by the native extension ``lumvarde_quorle.color_extractor_cy``; its classes,
``ColorExtractor``, ``FastColorExtractor`` (whose K-means stage is native when called directly too) and
``LibraryColorExtractor`` (whose K-means is always scikit-learn's own call, for checking a result), are
re-exported here, with ``read_with_alpha`` (``lumvarde_quorle.images``), which reads an image file and
its alpha channel as an (image, mask) pair. They, and with them NumPy, OpenCV, scikit-learn and
matplotlib, are imported on first use, so that importing the package itself stays cheap.
"""

from typing import TYPE_CHECKING, Any

__all__ = ["ColorExtractor", "FastColorExtractor", "LibraryColorExtractor", "read_with_alpha"]
__version__ = "0.1.0"

if TYPE_CHECKING:
    from .color_extractor_cy import ColorExtractor, FastColorExtractor, LibraryColorExtractor
    from .images import read_with_alpha


def __getattr__(name: str) -> Any:
    if name == "read_with_alpha":
        from .images import read_with_alpha

        return read_with_alpha
    if name in __all__:
        from . import color_extractor_cy

        return getattr(color_extractor_cy, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
