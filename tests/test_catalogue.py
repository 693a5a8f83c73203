"""The colour catalogue: incremental indexing, what it keeps of failures and odd paths, search against
the pixels' own shares, similar finding copies, settings kept apart, upgrades, and files it must refuse."""

import itertools
import os
import sqlite3

import cv2
import numpy as np
import pytest

from sklearn.datasets import load_sample_image

from lumvarde_quorle.catalogue import ALPHA, AUTO, SCHEMA_VERSION, Catalogue, CatalogueError, Profile, palette_distance
from lumvarde_quorle.cielab import ciede2000, srgb_to_lab
from lumvarde_quorle.distribution import colour_distribution
from lumvarde_quorle.cli.common import InProcessExecutor as _InProcessExecutor
from lumvarde_quorle.color_extractor_cy import ColorExtractor, LibraryColorExtractor
from lumvarde_quorle.settings import ExtractorSettings

EXTRACTOR = ColorExtractor(3, "kmeans", False, True)


def blocks(colours, rows):
    """An image of horizontal bands, one per (R, G, B) colour, `rows` rows each, in B, G, R order."""
    return np.concatenate([np.full((n, 6, 3), rgb[::-1], np.uint8) for rgb, n in zip(colours, rows)])


def write(path, colours, rows=(10, 6, 4)):
    assert cv2.imwrite(str(path), blocks(colours, rows))
    return str(path)


def index(catalogue, paths, extractor=EXTRACTOR, **options):
    events = []
    summary = catalogue.index(
        paths, extractor, executor=_InProcessExecutor(), on_result=lambda *event: events.append(event[:2]), **options
    )
    return summary, events


@pytest.fixture(scope="module")
def gallery(tmp_path_factory):
    """Eight images of three random colours each, indexed; and their palettes as the extractor gives them."""
    root = tmp_path_factory.mktemp("gallery")
    rng = np.random.default_rng(7)
    paths = [write(root / f"{number}.png", [tuple(map(int, c)) for c in rng.integers(0, 256, (3, 3))])
             for number in range(8)]
    catalogue = Catalogue(root / "gallery.db", create=True)
    summary, _ = index(catalogue, paths)
    assert summary.indexed == 8
    yield catalogue, {path: EXTRACTOR.extract_colors(path) for path in paths}
    catalogue.close()


def pixel_shares(path, query, tolerance):
    """Per query colour, the percent of the image's pixels within CIEDE2000 `tolerance`, pixel by pixel."""
    pixels = cv2.imread(path)[:, :, ::-1].reshape(-1, 3)
    differences = ciede2000(srgb_to_lab(np.array(query, np.float64))[:, None], srgb_to_lab(pixels)[None])
    return [100.0 * np.count_nonzero(row <= tolerance) / len(pixels) for row in differences]


@pytest.mark.parametrize("tolerance, min_share", [(2, 0), (10, 0), (10, 30), (30, 50), (0, 0)])
@pytest.mark.parametrize("count", [1, 2])
def test_search_counts_the_pixels_within_the_tolerance(gallery, tolerance, min_share, count):
    catalogue, palettes = gallery
    rng = np.random.default_rng(count * 100 + tolerance)
    # Query colours equal to image colours, and random ones.
    chosen = [palettes[path][i]["color"] for path, i in zip(list(palettes)[::3], itertools.cycle([0, 1, 2]))]
    for query in [chosen[:count], [tuple(int(v) for v in rng.integers(0, 256, 3)) for _ in range(count)]]:
        query = [tuple(c) for c in query]
        hits = catalogue.search(query, tolerance=tolerance, min_share=min_share, limit=100)
        expected = {}
        for path in palettes:
            shares = pixel_shares(path, query, tolerance)
            if min(shares) >= min_share and min(shares) > 0:
                expected[path] = shares
        # Flat colours are held exactly; shares are kept to 1/65535.
        assert [hit["path"] for hit in hits if hit["path"] in expected] == [hit["path"] for hit in hits]
        assert sorted(hit["path"] for hit in hits) == sorted(expected)
        for hit in hits:
            assert list(hit["queries"].values()) == pytest.approx(expected[hit["path"]], abs=0.01)
        assert [hit["share"] for hit in hits] == sorted((hit["share"] for hit in hits), reverse=True)
        query_lab = srgb_to_lab(np.array(query, np.float64))
        for hit in hits:
            assert hit["share"] == min(hit["queries"].values())
            assert [c["color"] for c in hit["colors"]] == [tuple(c["color"]) for c in palettes[hit["path"]]]
            palette_lab = srgb_to_lab(np.array([c["color"] for c in hit["colors"]], np.float64))
            for lab, nearest in zip(query_lab, hit["nearest"].values()):
                differences = ciede2000(lab, palette_lab)
                assert nearest["distance"] == pytest.approx(differences.min())
                assert nearest["color"] == hit["colors"][int(np.argmin(differences))]["color"]


def photo(name, size=None):
    image = cv2.cvtColor(load_sample_image(name), cv2.COLOR_RGB2BGR)
    return image if size is None else cv2.resize(image, size, interpolation=cv2.INTER_AREA)


@pytest.fixture(scope="module")
def photos(tmp_path_factory):
    """Real photos, copies of one (resized, re-encoded, slightly cropped) and one with a 3 % red accent."""
    root = tmp_path_factory.mktemp("photos")
    china, flower = photo("china.jpg"), photo("flower.jpg")
    files = {
        "china.png": china, "flower.png": flower, "china-small.png": photo("china.jpg", (320, 214)),
        "china-cropped.png": china[12:-12, 18:-18], "flower-dark.png": (flower * 0.6).astype(np.uint8),
    }
    accent = cv2.resize(flower, (1600, 1200), interpolation=cv2.INTER_CUBIC)
    cv2.ellipse(accent, (1200, 300), (136, 100), 0, 0, 360, (20, 20, 230), -1)  # 3 % of the pixels
    files["accent.png"] = accent
    paths = {}
    for name, image in files.items():
        paths[name] = str(root / name)
        assert cv2.imwrite(paths[name], image)
    paths["china-q70.jpg"] = str(root / "china-q70.jpg")
    assert cv2.imwrite(paths["china-q70.jpg"], china, [cv2.IMWRITE_JPEG_QUALITY, 70])
    catalogue = Catalogue(root / "photos.db", create=True)
    assert index(catalogue, list(paths.values()), ColorExtractor())[0].indexed == len(paths)
    yield catalogue, paths
    catalogue.close()


@pytest.mark.parametrize("tolerance", [5, 10, 20])
def test_search_shares_of_real_photos_are_within_a_point_of_the_pixels(photos, tolerance):
    catalogue, paths = photos
    rng = np.random.default_rng(tolerance)
    pixels = cv2.imread(paths["china.png"])[:, :, ::-1].reshape(-1, 3)
    query = [tuple(int(c) for c in pixels[rng.integers(len(pixels))]) for _ in range(4)] + [(135, 206, 235)]
    for colour in query:
        found = catalogue.search([colour], tolerance=tolerance, min_share=0, limit=20)
        hits = {hit["path"]: hit["share"] for hit in found}
        for path in paths.values():
            assert hits.get(path, 0.0) == pytest.approx(pixel_shares(path, [colour], tolerance)[0], abs=1.0)


def test_a_small_accent_colour_is_found(photos):
    catalogue, paths = photos
    [first, *_] = catalogue.search(["red"])
    assert first["path"] == paths["accent.png"]
    assert first["share"] == pytest.approx(pixel_shares(paths["accent.png"], [(255, 0, 0)], 10)[0], abs=1.0)
    assert 2.5 < first["share"] < 4


def test_similar_puts_copies_of_an_image_first(photos, tmp_path):
    catalogue, paths = photos
    hits = catalogue.similar(paths["china.png"], limit=10)
    ranked = [os.path.basename(hit["path"]) for hit in hits]
    assert "china.png" not in ranked  # the image itself is no answer
    assert set(ranked[:3]) == {"china-small.png", "china-cropped.png", "china-q70.jpg"}
    assert [hit["distance"] for hit in hits] == sorted(hit["distance"] for hit in hits)
    assert all(0 <= hit["distance"] <= 100 for hit in hits) and hits[0]["distance"] < 10
    # A copy outside the catalogue is analysed now: its nearest image is the original, at distance 0.
    copy = tmp_path / "copy.png"
    copy.write_bytes(open(paths["flower.png"], "rb").read())
    nearest = catalogue.similar(str(copy), limit=1)[0]
    assert nearest["path"] == paths["flower.png"] and nearest["distance"] == pytest.approx(0, abs=0.01)
    # A palette given as such finds the image it was taken from.
    palette = ColorExtractor(n_colors=8).extract_colors(paths["flower.png"])
    assert catalogue.similar(palette, limit=2)[0]["path"] in {paths["flower.png"], paths["accent.png"]}


def test_palette_distance_weighs_colours_by_share():
    red, blue = (200, 30, 30), (30, 30, 200)
    mostly_red = [{"color": red, "percentage": 90}, {"color": blue, "percentage": 10}]
    assert palette_distance(mostly_red, mostly_red[::-1]) == 0
    mostly_blue = [{"color": red, "percentage": 10}, {"color": blue, "percentage": 90}]
    assert palette_distance(mostly_red, mostly_blue) == pytest.approx(palette_distance(mostly_blue, mostly_red))
    assert palette_distance(mostly_red, mostly_blue) > palette_distance(mostly_red, [{"color": red, "percentage": 1}])
    near = [{"color": (190, 35, 35), "percentage": 90}, {"color": blue, "percentage": 10}]
    assert 0 < palette_distance(mostly_red, near) < palette_distance(mostly_red, mostly_blue)


def test_index_is_incremental_and_retries_failures(tmp_path):
    first = write(tmp_path / "first.png", [(250, 0, 0), (0, 250, 0), (0, 0, 250)])
    second = write(tmp_path / "second.png", [(20, 20, 20), (240, 240, 240), (120, 60, 30)])
    broken = tmp_path / "broken.png"
    broken.write_text("not an image")
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        # The same file under three spellings is one image.
        summary, events = index(catalogue, [first, second, str(broken), str(tmp_path / "." / "first.png"), first])
        assert (summary.indexed, summary.unchanged, summary.failed) == (2, 0, 1)
        assert sorted(events) == sorted([(first, "indexed"), (second, "indexed"), (str(broken), "failed")])
        assert catalogue.failures() == [(str(broken), "ValueError", f"Could not load image from {broken}")]

        write(second, [(20, 20, 200), (240, 240, 240), (120, 60, 30)])
        os.utime(second, ns=(1, 1))  # the modification time alone marks a change
        write(broken, [(10, 200, 10), (240, 240, 240), (120, 60, 30)])
        summary, events = index(catalogue, [first, second, str(broken)])
        assert (summary.indexed, summary.unchanged, summary.failed) == (2, 1, 0)
        assert catalogue.failures() == []
        assert len(catalogue) == 3
        assert catalogue.search([(20, 20, 200)], tolerance=1)[0]["path"] == second

        os.remove(first)
        summary, events = index(catalogue, [second], prune=True)
        assert (summary.unchanged, summary.removed, events[-1]) == (1, 1, (first, "removed"))
        assert len(catalogue) == 2


def test_queries_keep_to_the_settings_they_are_given(tmp_path):
    paths = [write(tmp_path / f"{n}.png", [(250, 0, 0), (0, 250, 0), (0, 0, 250)]) for n in range(2)]
    mask = tmp_path / "mask.png"
    assert cv2.imwrite(str(mask), np.full((20, 6), 255, np.uint8))
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        index(catalogue, paths, ColorExtractor(3, "kmeans", False, True))
        assert {hit["settings"]["n_colors"] for hit in catalogue.search(["#fa0000"])} == {3}  # the only settings
        index(catalogue, paths[:1], ColorExtractor(2, "kmeans", False, True))
        index(catalogue, paths[:1], ColorExtractor(3, "kmeans", False, True), mask=str(mask))
        with pytest.raises(CatalogueError, match="3 different settings"):
            catalogue.search(["#fa0000"])
        two = catalogue.search(["#fa0000"], extractor=ColorExtractor(2, "kmeans", False, True), tolerance=200)
        assert [(hit["path"], len(hit["colors"])) for hit in two] == [(paths[0], 2)]
        masked = catalogue.search(["#fa0000"], extractor=EXTRACTOR, mask=str(mask))
        assert [hit["settings"]["mask"] for hit in masked] == [str(mask)]
        assert len(catalogue.search(["#fa0000"], all_settings=True, tolerance=200)) == 4
        # An edited mask file is other settings: none of its images are indexed.
        assert cv2.imwrite(str(mask), np.full((20, 6), 200, np.uint8))
        assert catalogue.search(["#fa0000"], extractor=EXTRACTOR, mask=str(mask)) == []
        assert catalogue.search(["#fa0000"], extractor=ColorExtractor(4, "kmeans", False, True)) == []


def undecodable(directory):
    return os.fsdecode(os.fsencode(str(directory)) + b"/caf\xe9.png")


# Paths that are files OpenCV reads, and ones it must not be given; each must come back as given.
ODD_PATHS = {
    "spaces and quotes": (lambda d: str(d / "it's a \"shot\" .png"), True),
    "newline": (lambda d: str(d / "two\nlines.png"), True),
    "non-latin": (lambda d: str(d / "фото 写真.png"), True),
    "undecodable byte": (undecodable, False),
    "NUL": (lambda d: str(d / "a.png") + "\0.png", False),
    "lone high surrogate": (lambda d: str(d / "x\ud800.png"), False),
    "named pipe": (lambda d: str(d / "pipe.png"), False),
}


@pytest.mark.parametrize("make, readable", ODD_PATHS.values(), ids=ODD_PATHS.keys())
def test_any_path_is_kept_as_given(tmp_path, make, readable):
    path = make(tmp_path)
    write(tmp_path / "a.png", [(250, 0, 0), (0, 250, 0), (0, 0, 250)])
    if "pipe" in path:
        os.mkfifo(path)
    elif readable or "caf" in path:
        with open(os.fsencode(path), "wb") as file:
            file.write(cv2.imencode(".png", blocks([(250, 0, 0), (0, 250, 0), (0, 0, 250)], (10, 6, 4)))[1].tobytes())
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        summary, _ = index(catalogue, [path])
        assert (summary.indexed, summary.failed) == ((1, 0) if readable else (0, 1))
        if readable:
            assert [hit["path"] for hit in catalogue.search([(250, 0, 0)])] == [path]
        else:
            assert [failure[0] for failure in catalogue.failures()] == [path]
        summary, _ = index(catalogue, [path])  # found again under the same path
        assert (summary.unchanged, summary.failed) == ((1, 0) if readable else (0, 1))
        assert len(catalogue) == 1


class VanishingExecutor(_InProcessExecutor):
    """Deletes each image just before it is read: a file that vanished between listing and reading."""

    def submit(self, fn, /, *args, **kwargs):
        os.remove(args[0])
        return super().submit(fn, *args, **kwargs)


def test_an_image_that_vanishes_before_it_is_read_is_a_failure_then_pruned(tmp_path):
    path = write(tmp_path / "gone.png", [(250, 0, 0), (0, 250, 0), (0, 0, 250)])
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        summary = catalogue.index([path], EXTRACTOR, executor=VanishingExecutor())
        assert summary.failed == 1 and catalogue.failures()[0][0] == path
        summary = catalogue.index([], EXTRACTOR, executor=_InProcessExecutor(), prune=[tmp_path])
        assert summary.removed == 1 and len(catalogue) == 0


def other_database(path, application_id=0, user_version=0):
    connection = sqlite3.connect(path)
    connection.execute("CREATE TABLE notes (text)")
    connection.execute(f"PRAGMA application_id = {application_id}")
    connection.execute(f"PRAGMA user_version = {user_version}")
    connection.commit()
    connection.close()


def catalogue_of_version(path, version):
    Catalogue(path, create=True).close()
    connection = sqlite3.connect(path)
    connection.execute(f"PRAGMA user_version = {version}")
    connection.close()


REFUSED = {
    "text file": (lambda p: p.write_text("hello\n" * 100), "not a catalogue"),
    "another SQLite file": (lambda p: other_database(p), "another kind of SQLite file"),
    "newer schema": (
        lambda p: catalogue_of_version(p, SCHEMA_VERSION + 1), f"newer version.*schema {SCHEMA_VERSION + 1}",
    ),
    "older schema": (lambda p: catalogue_of_version(p, 0), "older version.*schema 0"),
    "directory": (lambda p: p.mkdir(), "not a file"),
}


@pytest.mark.parametrize("create", [False, True])
@pytest.mark.parametrize("make, message", REFUSED.values(), ids=REFUSED.keys())
def test_files_that_are_not_this_catalogue_are_refused_untouched(tmp_path, make, message, create):
    path = tmp_path / "c.db"
    make(path)
    before = path.read_bytes() if path.is_file() else None
    with pytest.raises(CatalogueError, match=message):
        Catalogue(path, create=create)
    assert (path.read_bytes() if path.is_file() else None) == before


def test_a_missing_catalogue_is_made_only_for_indexing(tmp_path):
    with pytest.raises(CatalogueError, match="no such catalogue"):
        Catalogue(tmp_path / "missing.db")
    assert not (tmp_path / "missing.db").exists()
    with Catalogue(tmp_path / "empty.db", create=True) as catalogue:
        with pytest.raises(CatalogueError, match="holds no images"):
            catalogue.search(["#ffffff"])


# Arguments both queries take: (arguments, the error, what its message names). A wrong type is a
# TypeError, a wrong value of the right type a ValueError.
BAD_QUERY_ARGUMENTS = [
    ({"limit": 0}, ValueError, "limit"), ({"limit": True}, TypeError, "limit"), ({"limit": 2.5}, TypeError, "limit"),
    ({"limit": "5"}, TypeError, "limit"), ({"extractor": "kmeans"}, TypeError, "extractor"),
    ({"mask": 3}, TypeError, "mask"),
]
BAD_SEARCH_ARGUMENTS = [
    ({"colors": [(256, 0, 0)]}, ValueError, "colour"), ({"colors": ["no such colour"]}, ValueError, "colour"),
    ({"colors": []}, ValueError, "colours"), ({"tolerance": -1}, ValueError, "tolerance"),
    ({"tolerance": float("nan")}, ValueError, "tolerance"),
    ({"min_share": float("inf")}, ValueError, "min_share"),
    ({"min_share": -0.5}, ValueError, "min_share"), ({"tolerance": "30"}, TypeError, "tolerance"),
    ({"tolerance": None}, TypeError, "tolerance"), ({"min_share": [1]}, TypeError, "min_share"),
    ({"max_distance": 30}, TypeError, "no longer takes max_distance.*tolerance"),
    ({"colour": "red"}, TypeError, "unexpected keyword argument 'colour'"),
    ({"tolerance": 10**5000}, ValueError, "tolerance"), ({"min_share": -(10**400)}, ValueError, "min_share"),
    ({"colors": [b"red"]}, TypeError, "colour .*not bytes"), ({"colors": [bytearray(b"abc")]}, TypeError, "colour"),
    ({"colors": ["\u0661\u0662,0,0"]}, ValueError, "colour"),  # Arabic-Indic digits: ASCII ones only
]


@pytest.mark.parametrize("arguments, error, named", BAD_SEARCH_ARGUMENTS + BAD_QUERY_ARGUMENTS)
def test_bad_search_arguments_raise_by_kind(gallery, arguments, error, named):
    catalogue, _ = gallery
    with pytest.raises(error, match=named):
        catalogue.search(**{"colors": ["#ffffff"], **arguments})


@pytest.mark.parametrize("arguments, error, named", BAD_QUERY_ARGUMENTS)
def test_bad_similar_arguments_raise_by_kind(gallery, arguments, error, named):
    catalogue, palettes = gallery
    with pytest.raises(error, match=named):
        catalogue.similar(next(iter(palettes.values())), **arguments)


def test_a_query_image_may_be_named_by_bytes(gallery, tmp_path):
    catalogue, palettes = gallery
    image = tmp_path / "query.png"
    assert cv2.imwrite(str(image), np.random.default_rng(0).integers(0, 256, (16, 16, 3), np.uint8))
    assert catalogue.similar(os.fsencode(image), limit=3) == catalogue.similar(image, limit=3)


def test_numpy_numbers_are_taken_as_arguments(gallery):
    catalogue, palettes = gallery
    hits = catalogue.search(["#ffffff"], tolerance=np.float32(500), min_share=np.int64(0), limit=np.int64(3))
    assert len(hits) == 3
    assert len(catalogue.similar(next(iter(palettes.values())), limit=np.int32(2))) == 2


class OwnExtractor(ColorExtractor):
    """A subclass: its settings are read like any extractor's."""


# Stored catalogues hold these keys: a profile read any way must give them unchanged.
PROFILES = {
    "defaults": (lambda: Profile.of(), '[5,"kmeans",true,true,"none"]'),
    "library class, alpha": (
        lambda: Profile.of(LibraryColorExtractor(4, "dbscan", False, False), ALPHA), '[4,"dbscan",false,false,"alpha"]'
    ),
    "subclass": (lambda: Profile.of(OwnExtractor(n_colors=7)), '[7,"kmeans",true,true,"none"]'),
    "settings": (lambda: Profile.of(ExtractorSettings(2, None, lab_space=False)), '[2,null,true,false,"none"]'),
}


@pytest.mark.parametrize("make, key", PROFILES.values(), ids=PROFILES.keys())
def test_profiles_of_any_extractor_keep_the_stored_key(make, key):
    profile = make()
    assert profile.key == key
    assert Profile.of(profile.settings(), profile.mask) == profile
    assert profile.extractor().get_params() == profile.settings().params()


def test_index_and_queries_take_settings_for_an_extractor(tmp_path):
    path = write(tmp_path / "a.png", [(250, 0, 0), (0, 250, 0), (0, 0, 250)])
    settings = ExtractorSettings(3, "kmeans", False, True)
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        summary, _ = index(catalogue, [path], settings)
        assert summary.indexed == 1 and summary.profile == Profile.of(EXTRACTOR, AUTO)
        assert [hit["path"] for hit in catalogue.search([(250, 0, 0)], extractor=settings)] == [path]
        assert index(catalogue, [path], EXTRACTOR)[0].unchanged == 1


def test_alpha_mask_is_a_setting_of_its_own(tmp_path):
    image = np.dstack([blocks([(250, 0, 0), (0, 250, 0), (0, 0, 250)], (10, 6, 4)), np.full((20, 6), 255, np.uint8)])
    image[:10, :, 3] = 0  # the red band transparent
    assert cv2.imwrite(str(tmp_path / "cut.png"), image)
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        index(catalogue, [str(tmp_path / "cut.png")], ColorExtractor(2, "kmeans", False, True), mask=ALPHA)
        assert catalogue.search([(250, 0, 0)], min_share=0) == []
        [hit] = catalogue.search([(0, 250, 0)])
        assert hit["settings"]["mask"] == ALPHA and hit["share"] == pytest.approx(60, abs=0.01)


def cut_out(path, transparent=True):
    """Red, green and blue bands of 10, 6 and 4 rows, the red band transparent; or without alpha."""
    image = blocks([(250, 0, 0), (0, 250, 0), (0, 0, 250)], (10, 6, 4))
    if transparent:
        image = np.dstack([image, np.full((20, 6), 255, np.uint8)])
        image[:10, :, 3] = 0
    assert cv2.imwrite(str(path), image)
    return str(path)


def found(catalogue, rgb, **scope):
    return {hit["path"]: (hit["settings"]["mask"], round(hit["share"])) for hit in catalogue.search([rgb], **scope)}


def test_alpha_counts_by_default_where_an_image_has_one(tmp_path):
    cut, opaque = cut_out(tmp_path / "cut.png"), cut_out(tmp_path / "opaque.png", transparent=False)
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        assert index(catalogue, [cut, opaque])[0].profile.mask == AUTO
        assert {profile.mask for profile in catalogue.profiles()} == {None, ALPHA}
        assert found(catalogue, (250, 0, 0)) == {opaque: (None, 50)}
        assert found(catalogue, (0, 250, 0)) == {cut: (ALPHA, 60), opaque: (None, 30)}
        assert [hit["path"] for hit in catalogue.similar(cut)] == [opaque]


def test_a_catalogue_indexed_without_a_mask_is_upgraded_without_analysing_opaque_images(tmp_path):
    cut, opaque = cut_out(tmp_path / "cut.png"), cut_out(tmp_path / "opaque.png", transparent=False)
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        index(catalogue, [cut, opaque], mask=None)  # every pixel, as catalogues were indexed before
        assert found(catalogue, (250, 0, 0)) == {cut: (None, 50), opaque: (None, 50)}

        summary, events = index(catalogue, [cut, opaque])
        assert events == [(opaque, "unchanged"), (cut, "indexed")]
        # the cut-out's alpha entry hides its old one; asked for every pixel, the old one is still there
        assert found(catalogue, (250, 0, 0)) == {opaque: (None, 50)}
        assert found(catalogue, (0, 250, 0)) == {cut: (ALPHA, 60), opaque: (None, 30)}
        assert found(catalogue, (250, 0, 0), extractor=EXTRACTOR, mask=None) == {cut: (None, 50), opaque: (None, 50)}
        assert found(catalogue, (250, 0, 0), extractor=EXTRACTOR, mask=ALPHA) == {}
        assert index(catalogue, [cut, opaque])[1] == [(cut, "unchanged"), (opaque, "unchanged")]

        # flattened since: analysed again, its alpha entry gone
        cut_out(tmp_path / "cut.png", transparent=False)
        assert index(catalogue, [cut, opaque])[1] == [(opaque, "unchanged"), (cut, "indexed")]
        assert found(catalogue, (250, 0, 0)) == {cut: (None, 50), opaque: (None, 50)}
        assert found(catalogue, (0, 250, 0), extractor=EXTRACTOR, mask=ALPHA) == {}


def test_a_query_may_return_more_images_than_sqlite_takes_parameters(tmp_path):
    count = 1200
    with Catalogue(tmp_path / "c.db", create=True) as catalogue:
        # Builds differ in how many parameters one statement takes; 999 was SQLite's default for long.
        catalogue._connection.setlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER, 999)
        settings_id = catalogue._settings_id(Profile.of(EXTRACTOR))
        with catalogue._writing() as connection:
            for number in range(count):
                colours = [{"color": (number % 7, 200, 30), "percentage": 60.0}, {"color": (0, 0, 0), "percentage": 40}]
                distribution = colour_distribution(blocks([(number % 7, 200, 30), (0, 0, 0)], (6, 4)))
                state = (1, number, 1, number)
                catalogue._put(connection, settings_id, f"/photos/{number}.png", state, colours, distribution)
        hits = catalogue.search([(3, 200, 30)], limit=count)
        assert len(hits) == count and len({hit["path"] for hit in hits}) == count
        assert len(catalogue.similar(hits[0]["colors"], limit=count)) == count


def as_schema(path, version):
    """The catalogue file as an earlier version wrote it: schema 2 without the change times and inodes,
    schema 1 without the distributions too."""
    connection = sqlite3.connect(path)
    dropped = ["ctime_ns", "inode"] + (["distribution", "signature"] if version == 1 else [])
    for column in dropped:
        connection.execute(f"ALTER TABLE images DROP COLUMN {column}")
    connection.execute(f"PRAGMA user_version = {version}")
    connection.commit()
    connection.close()


def as_schema_1(path):
    as_schema(path, 1)


def test_a_schema_2_catalogue_is_searched_as_it_is_and_upgraded_without_loss(tmp_path):
    red = write(tmp_path / "red.png", [(250, 0, 0), (0, 250, 0), (0, 0, 250)])
    database = tmp_path / "c.db"
    with Catalogue(database, create=True) as catalogue:
        index(catalogue, [red])
        before = catalogue.search(["red"])
    as_schema(database, 2)
    for create in (False, True):  # read as it is, then upgraded on opening for writing
        with Catalogue(database, create=create) as catalogue:
            assert catalogue.search(["red"]) == before and catalogue.similar(red) == []
    connection = sqlite3.connect(database)
    assert connection.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
    connection.close()


def test_an_older_catalogue_is_upgraded_by_the_next_index_and_searched_only_then(tmp_path):
    red = write(tmp_path / "red.png", [(250, 0, 0), (0, 250, 0), (0, 0, 250)])
    green = write(tmp_path / "green.png", [(0, 250, 0), (250, 0, 0), (0, 0, 250)])
    broken = tmp_path / "broken.png"
    broken.write_text("not an image")
    database = tmp_path / "c.db"
    with Catalogue(database, create=True) as catalogue:
        index(catalogue, [red, green, str(broken)])
    as_schema_1(database)
    with Catalogue(database) as catalogue:  # read, not upgraded: queries say what to do
        assert len(catalogue) == 3 and catalogue.failures()[0][0] == str(broken)
        for query in (lambda: catalogue.search(["red"]), lambda: catalogue.similar(red)):
            with pytest.raises(CatalogueError, match="older version.*run `index`"):
                query()
    with Catalogue(database, create=True) as catalogue:  # upgraded on opening for writing
        summary, _ = index(catalogue, [red])  # analysed again although unchanged
        assert (summary.indexed, summary.unchanged) == (1, 0)
        with pytest.raises(CatalogueError, match="1 of 2 images .* no colour distribution yet"):
            catalogue.search(["red"])
        summary, _ = index(catalogue, [red, green, str(broken)])
        assert (summary.indexed, summary.unchanged, summary.failed) == (1, 1, 1)
        assert [hit["path"] for hit in catalogue.search(["red"])] == [red, green]
        assert catalogue.similar(red, limit=1)[0]["path"] == green
    connection = sqlite3.connect(database)
    assert connection.execute("PRAGMA user_version").fetchone()[0] == SCHEMA_VERSION
    connection.close()
