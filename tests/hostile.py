"""Hostile arguments, built inside the child worker (child_worker.py) from plain JSON descriptions, so
that test processes never hold them and a description can be shrunk and printed by hypothesis.

A description is a JSON value:
  null, booleans, numbers, strings          themselves
  ["tuple", [d, ...]], ["list", [d, ...]]    a tuple or list of the described values
  ["dict", [[key, d], ...]]                  a dict
  ["array", {shape, dtype, values, layout, wrapper, seed}]
  ["object", name]                           one of OBJECTS
  ["path", name]                             one of the files of make_files(), or a strange path
"""

import copy
import os
import pickle
import shutil
import tempfile

import numpy as np

import lumvarde_quorle.color_extractor_cy as module
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor

IMAGE = (np.arange(6 * 8 * 3, dtype=np.uint8).reshape(6, 8, 3) * 5)
MASK = np.where(np.arange(6 * 8).reshape(6, 8) % 3 == 0, 255, 0).astype(np.uint8)
TARGETS = {"red": (255, 0, 0), "grey": (128, 128, 128)}


# -- ndarray subclasses with hostile hooks ----------------------------------------------------------


class RefusesCopies(np.ndarray):
    """Once `refusing(array)` has made an instance, every array derived from one (a view, a copy, a
    cast) fails in __array_finalize__."""

    refusing = False

    def __array_finalize__(self, obj):
        if RefusesCopies.refusing:
            raise RuntimeError("copy refused")


def refusing(array):
    view = np.asarray(array).view(RefusesCopies)
    RefusesCopies.refusing = True
    return view


class AstypeRefusing(np.ndarray):
    """A mask whose astype result (the binary mask handed to OpenCV) refuses copies."""

    def astype(self, *args, **kwargs):
        return refusing(np.asfortranarray(np.asarray(self).astype(*args, **kwargs)))


class UfuncRaises(np.ndarray):
    def __array_ufunc__(self, *args, **kwargs):
        raise RuntimeError("ufunc refused")


class UfuncJunk(np.ndarray):
    def __array_ufunc__(self, *args, **kwargs):
        return "junk"


class FunctionRaises(np.ndarray):
    def __array_function__(self, *args, **kwargs):
        raise RuntimeError("function refused")


class FunctionJunk(np.ndarray):
    def __array_function__(self, *args, **kwargs):
        return ("junk", "junk")


class WrapRaises(np.ndarray):
    def __array_wrap__(self, *args, **kwargs):
        raise RuntimeError("wrap refused")


class LenRaises(np.ndarray):
    def __len__(self):
        raise RuntimeError("len refused")


class LenHuge(np.ndarray):
    def __len__(self):
        return 2**62


class GetitemRaises(np.ndarray):
    def __getitem__(self, key):
        raise RuntimeError("getitem refused")


class ReshapeJunk(np.ndarray):
    def reshape(self, *args, **kwargs):
        return np.zeros((3, 4))[:, ::2]


class ShapeRaises(np.ndarray):
    @property
    def shape(self):
        raise RuntimeError("shape refused")


class CompareJunk(np.ndarray):
    def __gt__(self, other):
        return "junk"

    __eq__ = __ne__ = __gt__


WRAPPERS = {
    "refuses copies": refusing,
    "astype refusing": lambda a: a.view(AstypeRefusing),
    "ufunc raises": lambda a: a.view(UfuncRaises),
    "ufunc junk": lambda a: a.view(UfuncJunk),
    "function raises": lambda a: a.view(FunctionRaises),
    "function junk": lambda a: a.view(FunctionJunk),
    "wrap raises": lambda a: a.view(WrapRaises),
    "len raises": lambda a: a.view(LenRaises),
    "len huge": lambda a: a.view(LenHuge),
    "getitem raises": lambda a: a.view(GetitemRaises),
    "reshape junk": lambda a: a.view(ReshapeJunk),
    "shape raises": lambda a: a.view(ShapeRaises),
    "compare junk": lambda a: a.view(CompareJunk),
    "masked": lambda a: np.ma.masked_array(a, mask=np.zeros(a.shape, bool)),
    "matrix": lambda a: np.asmatrix(a) if a.ndim <= 2 else a,
}

# A copy of this would take terabytes: a broadcast view that any caller can make with NumPy alone.
HUGE_SHAPE = (2**20, 2**20, 3)


def _base_values(kind, size, rng):
    if kind == "random":
        return rng.integers(0, 256, size)
    if kind == "zeros":
        return np.zeros(size, np.int64)
    if kind == "full":
        return np.full(size, 255)
    if kind == "nan":
        return np.full(size, np.nan)
    return np.arange(size) % 256


def _cast(values, dtype):
    if dtype.fields is not None or dtype.kind in "V":
        return np.zeros(values.shape, dtype)
    if dtype.kind in "US":
        return values.astype(np.int64).astype(dtype) if values.dtype.kind != "f" else values.astype(dtype)
    if dtype.kind in "mMiub" and values.dtype.kind == "f":
        return np.zeros(values.shape, dtype)
    if dtype.kind == "O":
        return values.astype(object)
    return values.astype(dtype)


def make_array(spec):
    shape = tuple(spec["shape"])
    dtype = np.dtype(spec["dtype"] if isinstance(spec["dtype"], str) else [tuple(f) for f in spec["dtype"]])
    layout = spec.get("layout", "contiguous")
    rng = np.random.default_rng(spec.get("seed", 0))
    stretched = list(shape)
    if layout == "every other column" and stretched:
        stretched[1 if len(stretched) > 1 else 0] *= 2
    size = int(np.prod(stretched, dtype=np.int64))
    array = _cast(_base_values(spec.get("values", "arange"), size, rng), dtype).reshape(stretched)
    if layout == "every other column" and array.ndim:
        array = array[:, ::2] if array.ndim > 1 else array[::2]
    elif layout == "transposed" and array.ndim > 1:
        array = np.ascontiguousarray(array.swapaxes(0, 1)).swapaxes(0, 1)
    elif layout == "reversed" and array.ndim:
        array = np.ascontiguousarray(array[::-1, ::-1] if array.ndim > 1 else array[::-1])
        array = array[::-1, ::-1] if array.ndim > 1 else array[::-1]
    elif layout == "fortran":
        array = np.asfortranarray(array)
    elif layout == "read-only":
        array.setflags(write=False)
    elif layout == "broadcast row" and array.ndim:
        array = np.broadcast_to(array[:1], array.shape)
    elif layout == "unaligned" and array.dtype.itemsize > 1 and array.dtype.kind != "O":
        buffer = np.zeros(array.nbytes + 1, np.uint8)
        unaligned = np.frombuffer(buffer.data, array.dtype, array.size, 1).reshape(array.shape)
        unaligned[...] = array
        array = unaligned
    elif layout == "huge broadcast":
        array = np.broadcast_to(array.reshape(-1)[:3] if array.size >= 3 else np.zeros(3, dtype), HUGE_SHAPE)
    wrapper = spec.get("wrapper")
    return WRAPPERS[wrapper](array) if wrapper else array


# -- other hostile objects --------------------------------------------------------------------------


class ArrayRaises:
    def __array__(self, *args, **kwargs):
        raise RuntimeError("no array")


class ArrayRefusing:
    def __array__(self, *args, **kwargs):
        return refusing(np.array([1, 2, 3, 4, 5, 6])[::2])


class IterRaises:
    def __iter__(self):
        raise RuntimeError("no iteration")


class LenRaisesSequence:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, index):
        return 1


class LyingSequence:
    def __len__(self):
        return 2**62

    def __getitem__(self, index):
        if index < 3:
            return 7
        raise IndexError(index)


class FloatRaises:
    def __float__(self):
        raise RuntimeError("no float")

    def __index__(self):
        raise RuntimeError("no index")


class FloatJunk:
    def __float__(self):
        return "junk"


class IntHuge:
    def __int__(self):
        return 2**70

    __index__ = __int__


class BoolRaises:
    def __bool__(self):
        raise RuntimeError("no truth")


class GetitemRaisesDict(dict):
    def __getitem__(self, key):
        raise RuntimeError("no item")


class PathStr(str):
    pass


OBJECTS = {
    "object": object,
    "array raises": ArrayRaises,
    "array refusing": ArrayRefusing,
    "iter raises": IterRaises,
    "len raises": LenRaisesSequence,
    "lying sequence": LyingSequence,
    "float raises": FloatRaises,
    "float junk": FloatJunk,
    "int huge": IntHuge,
    "bool raises": BoolRaises,
    "dict getitem raises": lambda: GetitemRaisesDict(color=(1, 2, 3), percentage=5.0),
    "generator": lambda: (value for value in (10, 20, 30)),
    "bytes": lambda: b"\x01\x02\x03",
    "memoryview": lambda: memoryview(b"\x01\x02\x03"),
    "numpy scalar": lambda: np.uint8(7),
    "ColorExtractor": lambda: ColorExtractor,
    "FastColorExtractor": lambda: FastColorExtractor,
    "subclass": lambda: type("Derived", (ColorExtractor,), {}),
    "int": lambda: int,
}


# -- files ------------------------------------------------------------------------------------------

FILES = {}


def make_files():
    import cv2

    folder = tempfile.mkdtemp(prefix="lq-hostile-")
    FILES["folder"] = folder
    for name, content in {"image.png": IMAGE, "mask.png": MASK, "grey16.png": MASK.astype(np.uint16) * 200}.items():
        cv2.imwrite(os.path.join(folder, name), content)
    with open(os.path.join(folder, "image.png"), "rb") as image:
        png = image.read()
    for name, content in {"empty.png": b"", "truncated.png": png[:60], "text.png": b"not an image\n"}.items():
        with open(os.path.join(folder, name), "wb") as file:
            file.write(content)
    # A named pipe that nobody writes to: opening it to read waits for a writer.
    if hasattr(os, "mkfifo"):
        os.mkfifo(os.path.join(folder, "pipe.png"))
    # A file name with a byte that is not UTF-8, as Python presents it: a lone surrogate.
    with open(os.path.join(os.fsencode(folder), b"undecodable\xff.png"), "wb") as file:
        file.write(png)


def remove_files():
    if "folder" in FILES:
        shutil.rmtree(FILES["folder"], ignore_errors=True)


def path(name):
    folder = FILES.get("folder", tempfile.gettempdir())
    strange = {
        "missing": os.path.join(folder, "missing.png"),
        "directory": folder,
        "empty string": "",
        "long": "x" * 5000 + ".png",
        "dev null": "/dev/null",
        "embedded NUL": os.path.join(folder, "image.png") + "\0.txt",
        "str subclass": PathStr(os.path.join(folder, "image.png")),
        "no UTF-8 form, missing": "photo\udcff.jpg",
        "no UTF-8 form, existing": os.path.join(folder, "undecodable\udcff.png"),
        "unpaired high surrogate": "photo\ud800.jpg",
        "chart png": os.path.join(folder, "chart.png"),
        "chart svg": os.path.join(folder, "chart.svg"),
        "chart unknown format": os.path.join(folder, "chart.unknown"),
    }
    return strange[name] if name in strange else os.path.join(folder, name)


# -- building and calling --------------------------------------------------------------------------


def build(description):
    if not isinstance(description, list):
        return description
    kind, payload = description[0], description[1] if len(description) > 1 else None
    if kind == "tuple":
        return tuple(build(item) for item in payload)
    if kind == "list":
        return [build(item) for item in payload]
    if kind == "dict":
        return {build(key): build(value) for key, value in payload}
    if kind == "array":
        return make_array(payload)
    if kind == "object":
        return OBJECTS[payload]()
    if kind == "path":
        return path(payload)
    raise ValueError(f"unknown description {kind!r}")


def make_extractor(settings):
    """settings: {"args": [n_colors, algorithm, preprocessing, lab_space], "fast": bool,
    "override": [stage, d]}."""
    base = FastColorExtractor if settings.get("fast") else ColorExtractor
    override = settings.get("override")
    if not override:
        return base(*settings["args"])
    stage, returned = override
    value = build(returned)
    derived = type("Overriding", (base,), {stage: lambda self, *args: value})
    return derived(*settings["args"])


def invoke(case):
    """Calls case["method"] with the built arguments; pickling operations are named like the protocol's
    entry points."""
    method = case["method"]
    args = [build(argument) for argument in case["args"]]
    if method in ("__pyx_unpickle_ColorExtractor", "_opencv_takes_path", "_colour_distribution"):  # module-level
        return getattr(module, method)(*args)
    extractor = make_extractor(case["extractor"])
    if method == "pickle round trip":
        extractor.__setstate__(*args)
        return pickle.loads(pickle.dumps(extractor))
    if method == "deepcopy":
        extractor.__setstate__(*args)
        return copy.deepcopy(extractor)
    return getattr(extractor, method)(*args)
