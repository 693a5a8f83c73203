"""Dominant colours, target colour matching and colour charts for images.

The work is done by the native extension ``lumvarde_quorle.color_extractor_cy``; its classes,
``ColorExtractor``, ``FastColorExtractor`` (whose K-means stage is native when called directly too) and
``LibraryColorExtractor`` (whose K-means is always scikit-learn's own call, for checking a result), are
re-exported here, with ``read_with_alpha`` (``lumvarde_quorle.images``), which reads an image file and
its alpha channel as an (image, mask) pair. They, and with them NumPy, OpenCV, scikit-learn and
matplotlib, are imported on first use, so that importing the package itself stays cheap.
"""

import os
import sys
from importlib.machinery import EXTENSION_SUFFIXES, PathFinder
from typing import TYPE_CHECKING, Any

__all__ = ["ColorExtractor", "FastColorExtractor", "LibraryColorExtractor", "read_with_alpha"]
__version__ = "0.1.0"



def _use_installed_copy() -> None:
    """From a checkout's root (`python -m lumvarde_quorle`, `python -c ...`), this folder, the sources,
    shadows the installed package, which alone has the built extension: the package's modules are then
    taken from the installed copy, as a fresh process outside the checkout would take them, and never from
    a build left in this folder."""
    here = os.path.dirname(os.path.abspath(__file__))
    checkout = os.path.dirname(here)
    if not os.path.isfile(os.path.join(checkout, "pyproject.toml")) or not os.path.isdir(os.path.join(checkout, "src")):
        return  # an installed copy: its extension is beside this file
    others = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != checkout]
    spec = PathFinder.find_spec(__name__, others)
    installed = list(spec.submodule_search_locations or []) if spec is not None else []
    if not any(os.path.isfile(os.path.join(folder, "color_extractor_cy" + suffix))
               for folder in installed for suffix in EXTENSION_SUFFIXES):
        raise ImportError(
            f"lumvarde_quorle is imported from its source folder {here}, which has no built extension, and no "
            f"installed copy was found on sys.path: run `make install` in {checkout} and use its .venv/bin/python",
            name=__name__)
    __path__[:] = installed


_use_installed_copy()

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
