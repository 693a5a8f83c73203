"""Pickling and copying of ColorExtractor: the reduce value, restoring state, the layout checksum, the
all-or-nothing restore, and an extractor shipped to a worker process."""

import concurrent.futures
import copy
import multiprocessing
import operator
import pickle

import pytest

import lumvarde_quorle.color_extractor_cy as module
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor

unpickle = module.__pyx_unpickle_ColorExtractor
CHECKSUM = 0x95a985b


class Tagged(ColorExtractor):
    pass


def tagged():
    extractor = Tagged(4, "kmeans", True, False)
    extractor.tag = ["kept"]
    return extractor


EXTRACTORS = {
    "constructed": lambda: ColorExtractor(3, "dbscan", False, True),
    "uninitialised": lambda: ColorExtractor.__new__(ColorExtractor),
    "no algorithm": lambda: ColorExtractor(-2, None, True, False),
    "subclass": tagged,
}
ROUND_TRIPS = {f"pickle protocol {p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, p)))
               for p in range(pickle.HIGHEST_PROTOCOL + 1)} | {"copy": copy.copy, "deepcopy": copy.deepcopy}


@pytest.mark.parametrize("make", EXTRACTORS.values(), ids=EXTRACTORS.keys())
@pytest.mark.parametrize("round_trip", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())
def test_round_trip_keeps_type_settings_and_attributes(make, round_trip):
    original = make()
    restored = round_trip(original)
    assert restored is not original and type(restored) is type(original)
    assert restored.__reduce__() == original.__reduce__()


@pytest.mark.parametrize("make, expected", [
    (lambda: ColorExtractor(3, "dbscan", False, True), ((ColorExtractor, CHECKSUM, None), ("dbscan", True, 3, False))),
    (lambda: ColorExtractor.__new__(ColorExtractor), ((ColorExtractor, CHECKSUM, (None, False, 0, False)),)),
    (tagged, ((Tagged, CHECKSUM, None), ("kmeans", False, 4, True, {"tag": ["kept"]}))),
    (lambda: Tagged(1, None, False, False), ((Tagged, CHECKSUM, None), (None, False, 1, False, {}))),
])
def test_reduce_value(make, expected):
    function, *rest = make().__reduce__()
    assert function is unpickle and tuple(rest) == expected


def test_both_hook_names_run_the_same_operation():
    first, second = ColorExtractor(), ColorExtractor()
    first.__setstate__(("dbscan", 0, 9, 1))
    second.__setstate_cython__(__pyx_state=("dbscan", 0, 9, 1))
    assert first.__reduce__() == first.__reduce_cython__() == second.__reduce__()


@pytest.mark.parametrize("state, expected", [
    (("kmeans", 1, 5, []), ("kmeans", True, 5, False)),
    (("dbscan", None, 7.9, "yes", {"ignored": 1}, "ignored"), ("dbscan", False, 7, True)),
])
def test_set_state_converts_like_init(state, expected):
    extractor = ColorExtractor()
    assert extractor.__setstate__(state) is None and extractor.__reduce__()[2] == expected


@pytest.mark.parametrize("checksum", [0x95a985b, 0x5abda51, 0x3daa32e])
def test_accepted_checksums(checksum):
    restored = unpickle(Tagged, checksum, ("kmeans", True, 2, False, {"tag": 1}))
    assert type(restored) is Tagged and restored.__reduce__()[2] == ("kmeans", True, 2, False, {"tag": 1})


@pytest.mark.parametrize("arguments, error, message", [
    ((ColorExtractor, 0x1234, None), pickle.PickleError, "Incompatible checksums (0x1234 vs (0x95a985b, 0x5abda51, "
     "0x3daa32e) = (algorithm, lab_space, n_colors, preprocessing))"),
    ((ColorExtractor, CHECKSUM, ["kmeans", True, 5, True]), TypeError, "Expected tuple, got list"),
    ((ColorExtractor, "0x95a985b", None), TypeError, "an integer is required"),
    # The checksum is read as a 64-bit integer: in range it is only refused, beyond it overflows.
    ((ColorExtractor, 2**63 - 1, None), pickle.PickleError, None),
    ((ColorExtractor, -(2**63), None), pickle.PickleError, None),
    ((ColorExtractor, 2**63, None), OverflowError, "value too large to convert to long"),
    ((ColorExtractor, -(2**63) - 1, None), OverflowError, "value too large to convert to long"),
    ((int, CHECKSUM, None), TypeError, None),
])
def test_unpickle_errors(arguments, error, message):
    with pytest.raises(error) as raised:
        unpickle(*arguments)
    assert message is None or str(raised.value) == message


class Unreadable(dict):
    def __bool__(self):
        raise ZeroDivisionError("no truth")

    def update(self, *args):
        raise RuntimeError("frozen")


FAILING_STATES = [
    (["kmeans", True, 5, True], TypeError, "Expected tuple, got list"),
    (None, TypeError, "'NoneType' object is not subscriptable"),
    ((b"kmeans", True, 5, True), TypeError, "Expected str, got bytes"),
    (("kmeans", True, 5), IndexError, "tuple index out of range"),
    (("kmeans", True, 2**40, True), OverflowError, "value too large to convert to int"),
    (("kmeans", True, "5", True), TypeError, "an integer is required"),
    (("kmeans", True, 5, Unreadable()), ZeroDivisionError, "no truth"),
]
# Element 4 is read only when the instance has a __dict__.
FAILING_ATTRIBUTES = [
    (("kmeans", True, 5, True, 42), TypeError, "'int' object is not iterable"),
    (("kmeans", True, 5, True, [("a", 1), ("b",)]), ValueError, None),
]
constructed = EXTRACTORS["constructed"]


class FrozenAttributes(ColorExtractor):
    __dict__ = property(lambda self: Unreadable())


@pytest.mark.parametrize("make, state, error, message", [(constructed, *case) for case in FAILING_STATES] + [
    (tagged, *case) for case in FAILING_STATES + FAILING_ATTRIBUTES] + [
    (lambda: FrozenAttributes(3, "dbscan"), ("kmeans", True, 5, True, {"y": 2}), RuntimeError, "frozen")])
def test_failing_restore_changes_nothing(make, state, error, message):
    extractor = make()
    before = extractor.__reduce__()
    with pytest.raises(error) as raised:
        extractor.__setstate__(state)
    assert message is None or str(raised.value) == message
    assert extractor.__reduce__() == before


@pytest.mark.parametrize("kind", [ColorExtractor, FastColorExtractor])
def test_extractor_shipped_to_worker_extracts_the_same(china_bgr, kind):
    region = china_bgr[100:160, 200:280].copy()
    settings = [(3, "kmeans", True, True), (4, "kmeans", False, False)]
    extractors = [kind(*setting) for setting in settings]
    # spawn: a fresh interpreter that has only the pickled extractor, not a forked copy of this one.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        remote = list(pool.map(operator.methodcaller("extract_colors", region), extractors))
        assert list(pool.map(type, extractors)) == [kind, kind]
    assert remote == [ColorExtractor(*setting).extract_colors(region) for setting in settings]


def test_memory_flat(memory_flat):
    extractors = [make() for make in EXTRACTORS.values()]

    def round_trips():
        for extractor in extractors:
            pickle.loads(pickle.dumps(extractor))
            copy.deepcopy(extractor)
        with pytest.raises(OverflowError):
            extractors[-1].__setstate__(("kmeans", True, 2**40, True, {"x": 1}))
        with pytest.raises(pickle.PickleError):
            unpickle(ColorExtractor, 1, None)

    memory_flat(round_trips, repeats=10000)
