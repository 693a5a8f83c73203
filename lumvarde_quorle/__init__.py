"""Dominant colours, target colour matching and colour charts for images.

The work is done by the native extension ``lumvarde_quorle.color_extractor_cy``; its classes,
``ColorExtractor`` and ``FastColorExtractor`` (the same results, with K-means computed natively), are
re-exported here. The extension (and with it NumPy, OpenCV, scikit-learn and matplotlib) is imported on
first use, so that importing the package itself stays cheap.
"""

from typing import TYPE_CHECKING, Any

__all__ = ["ColorExtractor", "FastColorExtractor"]
__version__ = "0.1.0"

if TYPE_CHECKING:
    from .color_extractor_cy import ColorExtractor, FastColorExtractor


def __getattr__(name: str) -> Any:
    if name in __all__:
        from . import color_extractor_cy

        return getattr(color_extractor_cy, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
