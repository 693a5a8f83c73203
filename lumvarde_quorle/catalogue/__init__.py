"""A catalogue of image palettes in one SQLite file, to find images by colour.

    from lumvarde_quorle import ColorExtractor
    from lumvarde_quorle.catalogue import Catalogue

    with Catalogue("photos.db", create=True) as catalogue:
        catalogue.index(["shots/a.jpg", "shots/b.jpg"], ColorExtractor(n_colors=6))
        for hit in catalogue.search(["#87ceeb"], tolerance=10, min_share=5):
            print(hit["path"], hit["share"])
        for hit in catalogue.similar("shots/a.jpg", limit=5):
            print(hit["path"], hit["distance"])

Per image the catalogue keeps its path, size and modification time, the extractor settings it was
analysed with (n_colors, algorithm, preprocessing, lab_space and the mask), its dominant colours with
their shares, and its colour distribution: how its analysed pixels (as decoded, the mask applied) are
spread over colour space, in at most 2 KB; an image that failed is kept with its error. Indexing is incremental:
an unchanged file indexed with the same settings is skipped, a changed one and one that failed are
analysed again. Every image is committed on its own, so an interrupted run keeps what it finished.

A query looks only at images indexed with one set of settings: the ones given, else the catalogue's only
settings; `all_settings=True` looks at every image. Colour differences are CIEDE2000 between CIELAB
colours (sRGB, D65), as people see colour: a search finds the images in which a colour covers a share of
the pixels, and `similar` the images holding the same colours in the same amounts.

A catalogue written by an older version (schema 1, without distributions) is read, and upgraded by the
next `index`, which analyses its images again; until then a query says so.

The file is in WAL mode: searches run while an index is being written and see the catalogue as of one
commit.
"""

from __future__ import annotations

from ..settings import ALPHA, AUTO
from .api import (
    DEFAULT_MIN_SHARE, DEFAULT_TOLERANCE, Catalogue, IndexSummary, MatchedColor, NearestColor, OnResult, SearchHit,
    SimilarHit,
)
from .palettes import MAX_PALETTE_COLOURS, MAX_QUERY_COLOURS, PaletteColor, lab_codes, palette_distance
from .profile import Profile
from .storage import APPLICATION_ID, SCHEMA_VERSION, CatalogueError

__all__ = [
    "ALPHA", "AUTO", "Catalogue", "CatalogueError", "IndexSummary", "Profile", "SearchHit", "SimilarHit",
    "PaletteColor", "MatchedColor", "NearestColor", "DEFAULT_TOLERANCE", "DEFAULT_MIN_SHARE", "MAX_QUERY_COLOURS",
    "MAX_PALETTE_COLOURS", "palette_distance",
]
