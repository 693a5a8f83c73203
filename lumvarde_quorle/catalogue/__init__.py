"""A catalogue of image palettes in one SQLite file, to find images by colour.

    from lumvarde_quorle import ColorExtractor
    from lumvarde_quorle.catalogue import Catalogue

    with Catalogue("photos.db", create=True) as catalogue:
        catalogue.index(["shots/a.jpg", "shots/b.jpg"], ColorExtractor(n_colors=6))
        for hit in catalogue.search(["#87ceeb"], max_distance=20):
            print(hit["path"], hit["matched_share"])
        for hit in catalogue.similar("shots/a.jpg", limit=5):
            print(hit["path"], hit["distance"])

Per image the catalogue keeps its path, size and modification time, the extractor settings it was
analysed with (n_colors, algorithm, preprocessing, lab_space and the mask), and its dominant colours with
their shares and 8-bit LAB codes; an image that failed is kept with its error. Indexing is incremental:
an unchanged file indexed with the same settings is skipped, a changed one and one that failed are
analysed again. Every image is committed on its own, so an interrupted run keeps what it finished.

A query looks only at images indexed with one set of settings: the ones given, else the catalogue's only
settings; `all_settings=True` looks at every image. Colour distances are the extractor's: Euclidean
distance between OpenCV's 8-bit LAB codes, the units of the match report.

The file is in WAL mode: searches run while an index is being written and see the catalogue as of one
commit.
"""

from __future__ import annotations

from ..settings import ALPHA
from .api import Catalogue, IndexSummary, MatchedColor, OnResult, SearchHit, SimilarHit
from .palettes import PaletteColor, lab_codes, palette_distance
from .profile import Profile
from .storage import APPLICATION_ID, SCHEMA_VERSION, CatalogueError

__all__ = [
    "ALPHA", "Catalogue", "CatalogueError", "IndexSummary", "Profile", "SearchHit", "SimilarHit", "PaletteColor",
    "MatchedColor", "palette_distance",
]
