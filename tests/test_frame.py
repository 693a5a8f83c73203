"""The extractor frame: module initialisation, construction, method objects, argument binding and the
dispatch of overridable stages."""

import ast
import gc
import importlib.util
import inspect
import pathlib
import re
import sys
import traceback
import weakref

import numpy as np
import pytest

import lumvarde_quorle.color_extractor_cy as module
from child_worker import run_python
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor, LibraryColorExtractor


def settings(extractor):
    """The four settings (algorithm, lab_space, n_colors, preprocessing) as pickling reports them."""
    reduced = extractor.__reduce__()
    return reduced[2][:4] if len(reduced) == 3 else reduced[1][2][:4]


class StrSub(str):
    pass


class ListSub(list):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class ArraySub(np.ndarray):
    pass


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


IMAGE = np.arange(4 * 4 * 3, dtype=np.uint8).reshape(4, 4, 3)


# -- construction ---------------------------------------------------------------------------------


def test_defaults():
    assert settings(ColorExtractor()) == ("kmeans", True, 5, True)


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"n_colors": 3.9}, ("kmeans", True, 3, True)),
        ({"n_colors": True}, ("kmeans", True, 1, True)),
        ({"n_colors": IntLike(7)}, ("kmeans", True, 7, True)),
        ({"n_colors": -2}, ("kmeans", True, -2, True)),
        ({"n_colors": 2**31 - 1}, ("kmeans", True, 2**31 - 1, True)),
        ({"algorithm": None}, (None, True, 5, True)),
        ({"algorithm": "DBSCAN"}, ("DBSCAN", True, 5, True)),
        ({"preprocessing": 0, "lab_space": []}, ("kmeans", False, 5, False)),
        ({"preprocessing": None, "lab_space": "x"}, ("kmeans", True, 5, False)),
    ],
)
def test_construction_conversions(kwargs, expected):
    assert settings(ColorExtractor(**kwargs)) == expected


def test_positional_construction():
    assert settings(ColorExtractor(3, "dbscan", False, True)) == ("dbscan", True, 3, False)


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"n_colors": "3"}, TypeError, "an integer is required"),
        ({"n_colors": None}, TypeError, "an integer is required"),
        ({"n_colors": 2**40}, OverflowError, "value too large to convert to int"),
        ({"n_colors": -(2**31) - 1}, OverflowError, "value too large to convert to int"),
        ({"n_colors": 2**100}, OverflowError, "value too large to convert to int"),
        ({"n_colors": IntLike(1.5)}, TypeError, "__int__ returned non-int (type float)"),
        ({"algorithm": StrSub("kmeans")}, TypeError,
         "Argument 'algorithm' has incorrect type (expected str, got StrSub)"),
        ({"algorithm": b"kmeans"}, TypeError, "Argument 'algorithm' has incorrect type (expected str, got bytes)"),
        ({"preprocessing": BadTruth()}, ZeroDivisionError, "no truth"),
        ({"lab_space": BadTruth()}, ZeroDivisionError, "no truth"),
        ({"colors": 3}, TypeError, "__init__() got an unexpected keyword argument 'colors'"),
    ],
)
def test_construction_errors_store_nothing(kwargs, error, message):
    extractor = ColorExtractor(3, "dbscan", False, True)
    with pytest.raises(error) as raised:
        extractor.__init__(**kwargs)
    assert str(raised.value) == message
    assert settings(extractor) == ("dbscan", True, 3, False)


def test_conversion_order_reports_n_colors_before_algorithm():
    with pytest.raises(OverflowError):
        ColorExtractor(2**40, b"bad")
    with pytest.raises(ZeroDivisionError):
        ColorExtractor(5, b"bad", BadTruth())


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, "kmeans", True, True, 5), {}, "__init__() takes at most 4 positional arguments (5 given)"),
        ((1,), {"n_colors": 2}, "__init__() got multiple values for keyword argument 'n_colors'"),
    ],
)
def test_construction_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        ColorExtractor(*args, **kwargs)
    assert str(raised.value) == message


def test_reinitialisation_replaces_every_setting():
    extractor = ColorExtractor(3, "dbscan", False, False)
    extractor.__init__()
    assert settings(extractor) == ("kmeans", True, 5, True)


def test_new_ignores_arguments_and_leaves_fields_empty():
    extractor = ColorExtractor.__new__(ColorExtractor, 1, 2, x=3)
    assert settings(extractor) == (None, False, 0, False)


# -- the object -----------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["n_colors", "algorithm", "preprocessing", "lab_space", "anything"])
def test_no_attributes_on_plain_instances(name):
    extractor = ColorExtractor()
    with pytest.raises(AttributeError):
        getattr(extractor, name)
    with pytest.raises(AttributeError):
        setattr(extractor, name, 1)


def test_plain_instances_refuse_weak_references_but_subclasses_allow_them():
    with pytest.raises(TypeError):
        weakref.ref(ColorExtractor())

    class Sub(ColorExtractor):
        pass

    sub = Sub(2)
    assert weakref.ref(sub)() is sub
    sub.extra = 1
    assert sub.__dict__ == {"extra": 1}


def test_type_properties():
    assert ColorExtractor.__module__ == "lumvarde_quorle.color_extractor_cy"
    assert ColorExtractor.__name__ == "ColorExtractor"
    assert ColorExtractor.__bases__ == (object,)
    assert ColorExtractor.__doc__ is None
    assert not gc.is_tracked(ColorExtractor())
    assert type(ColorExtractor.__dict__["__pyx_vtable__"]).__name__ == "PyCapsule"


def test_subclass_finaliser_runs():
    finalised = []

    class Sub(ColorExtractor):
        def __del__(self):
            finalised.append(True)

    Sub()
    gc.collect()
    assert finalised == [True]


# -- method objects -------------------------------------------------------------------------------

NATIVE_FUNCTION = type(ColorExtractor.__dict__["extract_colors"])
# Methods of the three classes, and the module's own functions (owner: the module).
FUNCTIONS = [(owner, name) for owner in (ColorExtractor, FastColorExtractor, LibraryColorExtractor, module)
             for name, value in vars(owner).items() if type(value) is NATIVE_FUNCTION]


@pytest.mark.parametrize("owner, name", FUNCTIONS, ids=[f"{owner.__name__}.{name}" for owner, name in FUNCTIONS])
def test_functions_bind_and_describe_themselves_as_interpreter_functions(owner, name):
    function = vars(owner)[name]
    parameters = list(inspect.signature(function).parameters.values())  # the stub check needs a signature
    qualname = name if owner is module else f"{owner.__name__}.{name}"
    assert (function.__name__, function.__qualname__, function.__module__) == (name, qualname, module.__name__)
    if owner is not module:
        assert parameters.pop(0).name == "self"
        extractor = owner()
        bound = getattr(extractor, name)
        assert bound.__self__ is extractor and bound.__func__ is function and getattr(owner, name) is function
    # __defaults__, __annotations__ and the signature come from one declaration and must agree.
    defaults = tuple(parameter.default for parameter in parameters if parameter.default is not parameter.empty)
    assert function.__defaults__ == (defaults or None) and function.__kwdefaults__ is None
    assert set(function.__annotations__) <= {parameter.name for parameter in parameters} | {"return"}
    for annotation in function.__annotations__.values():
        eval(annotation, vars(module))  # in the typing names the module holds


def stub_parameters():
    """The parameters of ColorExtractor's methods as the type stub declares them, self left out."""
    stub = ast.parse(pathlib.Path(module.__file__).with_name("color_extractor_cy.pyi").read_text())
    (extractor,) = [node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "ColorExtractor"]
    return {node.name: [argument.arg for argument in node.args.args[1:]]
            for node in extractor.body if isinstance(node, ast.FunctionDef)}


# The summary line of each method's docstring, as help() shows it; None for the undocumented.
SUMMARIES = {
    "__init__": "Initialize ColorExtractor with robust color extraction capabilities.",
    "_preprocess_image": "Apply preprocessing for robustness against noise and lighting.",
    "_convert_to_feature_space": "Convert image to appropriate color space for clustering.",
    "_apply_mask": "Apply mask to limit color extraction to specific areas.",
    "_extract_pixels": "Extract valid pixels for clustering.",
    "_cluster_colors_kmeans": "Extract colors using K-means clustering.",
    "_cluster_colors_dbscan": "Extract colors using DBSCAN clustering.",
    "_calculate_percentages": "Calculate color percentages.",
    "extract_colors": "Extract dominant colors from image.",
    "visualize_colors": "Visualize extracted colors with percentages.",
    "_color_distance_lab": "Calculate perceptual distance between two colors in LAB space.",
    "_find_closest_color": "Find the closest color in image to target color.",
    "analyze_color_similarity": "Analyze how much each target color appears in the image.",
    "find_color_matches": "Find how much each target color appears in the image with detailed analysis.",
    "__reduce_cython__": None,
    "__setstate_cython__": None,
}
INDENT = " " * 8


@pytest.mark.parametrize("name, summary", SUMMARIES.items(), ids=list(SUMMARIES))
def test_docstrings(name, summary):
    """A longer docstring keeps its source indentation, and its Args section names the parameters the
    method takes, in order."""
    doc = getattr(ColorExtractor, name).__doc__
    if summary is None or "\n" not in doc:
        assert doc == summary
        return
    assert doc.startswith(f"\n{INDENT}{summary}\n{INDENT}\n{INDENT}Args:\n") and doc.endswith("\n" + INDENT)
    args = doc.partition("Args:\n")[2].partition(f"\n{INDENT}    \n")[0]
    assert re.findall(rf"^{INDENT}    (\w+):", args, re.M) == stub_parameters()[name]


@pytest.mark.parametrize("self_value", [None, 3, object()])
def test_unbound_call_needs_an_extractor(self_value):
    with pytest.raises(TypeError, match="doesn't apply to a"):
        ColorExtractor._preprocess_image(self_value, IMAGE)
    with pytest.raises(TypeError, match="needs an argument"):
        ColorExtractor._preprocess_image()


# -- argument binding -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("extract_colors", (), {}, "extract_colors() takes at least 1 positional argument (0 given)"),
        ("extract_colors", (1, 2, 3), {}, "extract_colors() takes at most 2 positional arguments (3 given)"),
        ("_apply_mask", (IMAGE,), {}, "_apply_mask() takes exactly 2 positional arguments (1 given)"),
        ("_apply_mask", (), {"mask": None}, "_apply_mask() takes exactly 2 positional arguments (0 given)"),
        ("_apply_mask", (IMAGE,), {"colour": 1},
         "_apply_mask() takes exactly 2 positional arguments (1 given)"),
        ("_cluster_colors_kmeans", (IMAGE, IMAGE), {},
         "_cluster_colors_kmeans() takes exactly 1 positional argument (2 given)"),
        ("analyze_color_similarity", (IMAGE,), {},
         "analyze_color_similarity() takes at least 2 positional arguments (1 given)"),
        ("__reduce_cython__", (1,), {}, "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
        ("__reduce_cython__", (), {"protocol": 2}, "__reduce_cython__() got an unexpected keyword argument 'protocol'"),
        ("_preprocess_image", (IMAGE,), {"colour": 1},
         "_preprocess_image() got an unexpected keyword argument 'colour'"),
        ("_preprocess_image", (IMAGE,), {"image": IMAGE},
         "_preprocess_image() got multiple values for keyword argument 'image'"),
        ("_preprocess_image", ([[1, 2, 3]],), {},
         "Argument 'image' has incorrect type (expected numpy.ndarray, got list)"),
        ("_apply_mask", (IMAGE, "mask.png"), {},
         "Argument 'mask' has incorrect type (expected numpy.ndarray, got str)"),
        ("_calculate_percentages", ((0, 1),), {},
         "Argument 'labels' has incorrect type (expected numpy.ndarray, got tuple)"),
        ("visualize_colors", (ListSub(),), {}, "Argument 'colors' has incorrect type (expected list, got ListSub)"),
        ("visualize_colors", (None,), {}, "Argument 'colors' has incorrect type (expected list, got NoneType)"),
        ("visualize_colors", ([], StrSub("a.png")), {},
         "Argument 'save_path' has incorrect type (expected str, got StrSub)"),
        ("_find_closest_color", ([1, 2, 3], []), {},
         "Argument 'target_color' has incorrect type (expected tuple, got list)"),
        ("_find_closest_color", (TupleSub((1, 2, 3)), []), {},
         "Argument 'target_color' has incorrect type (expected tuple, got TupleSub)"),
        ("_find_closest_color", ((1, 2, 3), ()), {},
         "Argument 'image_colors' has incorrect type (expected list, got tuple)"),
        ("find_color_matches", (IMAGE, DictSub()), {},
         "Argument 'target_colors' has incorrect type (expected dict, got DictSub)"),
        ("analyze_color_similarity", (IMAGE, None), {},
         "Argument 'target_colors' has incorrect type (expected dict, got NoneType)"),
        ("analyze_color_similarity", (IMAGE, None, None, "x"), {}, "must be real number, not str"),
    ],
)
def test_binding_errors(method, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        getattr(ColorExtractor(), method)(*args, **kwargs)
    assert str(raised.value) == message
    entries = [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
    assert "lumvarde_quorle.color_extractor_cy.ColorExtractor." + method in entries


def test_ndarray_subclasses_are_accepted_and_keywords_bind():
    image = IMAGE.view(ArraySub)
    extractor = ColorExtractor()
    assert extractor._apply_mask(image, None) is image
    assert extractor._apply_mask(mask=None, image=image) is image


STRANGE_VALUES = [None, 0, -1, 2**70, 1.5, float("nan"), "", "x", b"x", [], [[1, 2, 3]], (), {}, object(),
                  np.zeros(0), np.zeros((2, 2)), np.zeros((2, 2, 3), np.float64), np.array("x"), IMAGE]


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("method", [name for owner, name in FUNCTIONS
                                    if owner is ColorExtractor and name != "visualize_colors"])
def test_strange_arguments_raise_cleanly(method):
    """Whatever the arguments, a call returns or raises an ordinary exception."""
    function = getattr(ColorExtractor(2, "kmeans", False, False), method)
    count = len(inspect.signature(function).parameters)
    for value in STRANGE_VALUES:
        try:
            function(*([value] * count))
        except Exception:
            pass


# -- overridable-stage dispatch -------------------------------------------------------------------

MASK = np.array([[255, 0, 0, 255]] * 4, dtype=np.uint8)


class RecordingMask(ColorExtractor):
    def __init__(self, *args, result=None, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []
        self.result = result

    def _apply_mask(self, image, mask):
        self.calls.append((image, mask))
        return self.result if self.result is not None else super()._apply_mask(image, mask)


def test_module_calls_subclass_stage_with_positional_arguments():
    extractor = RecordingMask()
    rows = extractor._extract_pixels(IMAGE, MASK)
    assert len(extractor.calls) == 1
    assert extractor.calls[0][0] is IMAGE and extractor.calls[0][1] is MASK
    np.testing.assert_array_equal(rows, ColorExtractor()._extract_pixels(IMAGE, MASK))


def test_override_result_is_used():
    blank = np.zeros_like(IMAGE)
    assert RecordingMask(result=blank)._extract_pixels(IMAGE, MASK).shape == (0, 3)


@pytest.mark.parametrize("result, type_name", [([1, 2], "list"), (3, "int"), ("x", "str")])
def test_override_with_wrong_result_type(result, type_name):
    with pytest.raises(TypeError) as raised:
        RecordingMask(result=result)._extract_pixels(IMAGE, MASK)
    assert str(raised.value) == f"Cannot convert {type_name} to numpy.ndarray"


def test_calling_through_the_class_runs_the_module_body():
    extractor = RecordingMask(result=[1])
    masked = ColorExtractor._apply_mask(extractor, IMAGE, MASK)
    assert extractor.calls == []
    assert isinstance(masked, np.ndarray)
    assert extractor._apply_mask(IMAGE, MASK) == [1]  # ordinary attribute lookup finds the override
    assert len(extractor.calls) == 1


def test_instance_attribute_overrides_a_stage():
    class Sub(ColorExtractor):
        pass

    extractor = Sub()
    extractor._apply_mask = lambda image, mask: np.zeros_like(image)
    assert extractor._extract_pixels(IMAGE, MASK).shape == (0, 3)


def test_subclass_aliasing_the_module_method_is_not_an_override():
    class Sub(ColorExtractor):
        _apply_mask = ColorExtractor._apply_mask

    np.testing.assert_array_equal(Sub()._extract_pixels(IMAGE, MASK), ColorExtractor()._extract_pixels(IMAGE, MASK))


def test_override_errors_propagate_with_traceback_entry():
    class Failing(ColorExtractor):
        def _apply_mask(self, image, mask):
            raise KeyError("boom")

    with pytest.raises(KeyError) as raised:
        Failing()._extract_pixels(IMAGE, MASK)
    names = [frame.name for frame in traceback.extract_tb(raised.value.__traceback__)]
    assert "lumvarde_quorle.color_extractor_cy.ColorExtractor._apply_mask" in names
    assert "lumvarde_quorle.color_extractor_cy.ColorExtractor._extract_pixels" in names


STAGE_CALLS = {
    "_preprocess_image": lambda image, mask: (image,),
    "_convert_to_feature_space": lambda image, mask: (image,),
    "_extract_pixels": lambda image, mask: (image, mask),
    "_calculate_percentages": lambda image, mask: (image,),
}


@pytest.mark.parametrize("stage", list(STAGE_CALLS))
def test_extraction_calls_every_overridden_stage(stage):
    calls = []

    def override(self, *args):
        calls.append(len(args))
        return getattr(ColorExtractor, stage)(self, *args)

    Sub = type("Sub", (ColorExtractor,), {stage: override})
    image = np.full((6, 6, 3), 90, np.uint8)
    mask = np.full((6, 6), 255, np.uint8)
    assert Sub(1, "kmeans", False, False).extract_colors(image, mask) == [{"color": (90, 90, 90), "percentage": 100.0}]
    assert calls == [len(STAGE_CALLS[stage](image, mask))]


@pytest.mark.parametrize(
    "stage, result, message",
    [
        ("_preprocess_image", [1], "Cannot convert list to numpy.ndarray"),
        ("_convert_to_feature_space", "x", "Cannot convert str to numpy.ndarray"),
        ("_extract_pixels", 3.5, "Cannot convert float to numpy.ndarray"),
        ("_calculate_percentages", (50.0, 50.0), "Expected list, got tuple"),
    ],
)
def test_extraction_checks_override_results(stage, result, message):
    Sub = type("Sub", (ColorExtractor,), {stage: lambda self, *args: result})
    with pytest.raises(TypeError) as raised:
        Sub(1, "kmeans", False, False).extract_colors(np.full((6, 6, 3), 90, np.uint8))
    assert str(raised.value) == message


def test_plain_instance_never_looks_up_overrides():
    """With a foreign _apply_mask planted in the class dictionary, a plain instance still runs the
    module's own body while a subclass instance finds the planted one."""
    class_dict = gc.get_referents(ColorExtractor.__dict__)[0]
    original = class_dict["_apply_mask"]
    planted = lambda self, image, mask: np.zeros_like(image)  # noqa: E731

    class Sub(ColorExtractor):
        pass

    class_dict["_apply_mask"] = planted
    try:
        sys._clear_type_cache()
        assert ColorExtractor()._extract_pixels(IMAGE, MASK).shape == (8, 3)
        assert Sub()._extract_pixels(IMAGE, MASK).shape == (0, 3)
    finally:
        class_dict["_apply_mask"] = original
        sys._clear_type_cache()


# -- module ---------------------------------------------------------------------------------------


def test_module_globals():
    import cv2
    import matplotlib.pyplot
    import PIL.Image
    import sklearn.cluster
    import sklearn.metrics.pairwise
    import sklearn.preprocessing
    import typing

    assert module.np is np and module.cv2 is cv2 and module.plt is matplotlib.pyplot
    assert module.KMeans is sklearn.cluster.KMeans and module.DBSCAN is sklearn.cluster.DBSCAN
    assert module.StandardScaler is sklearn.preprocessing.StandardScaler
    assert module.euclidean_distances is sklearn.metrics.pairwise.euclidean_distances
    assert module.Image is PIL.Image
    assert [getattr(module, name) for name in ("List", "Tuple", "Optional", "Union", "Dict")] == [
        typing.List, typing.Tuple, typing.Optional, typing.Union, typing.Dict]
    assert module.ColorExtractor is ColorExtractor
    assert module.__test__ == {}
    assert module.__builtins__ is __import__("builtins")
    assert callable(module.__pyx_unpickle_ColorExtractor)


def test_rebinding_a_global_changes_later_calls(rebind):
    import cv2

    seen = []

    class RecordingCv2:
        def __getattr__(self, name):
            return getattr(cv2, name)

        def cvtColor(self, image, code):
            seen.append(code)
            return cv2.cvtColor(image, code)

    rebind("cv2", RecordingCv2())
    ColorExtractor(lab_space=False)._convert_to_feature_space(IMAGE)
    assert seen == [cv2.COLOR_BGR2RGB]


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(module, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        ColorExtractor()._apply_mask(IMAGE, MASK)


def test_second_load_returns_the_same_module():
    spec = importlib.util.spec_from_file_location(module.__name__, module.__file__)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is module


def test_sub_interpreter_is_refused():
    result = run_python("""
        import _xxsubinterpreters as interpreters
        import lumvarde_quorle.color_extractor_cy
        interpreter = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interpreter, "import lumvarde_quorle.color_extractor_cy")
        except interpreters.RunFailedError as error:
            print(error)
    """)
    assert result.returncode == 0, result.stderr
    assert "ImportError" in result.stdout
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in (
        result.stdout)


def test_pillow_is_needed_only_when_image_is_first_used():
    result = run_python("""
        import sys
        sys.modules["PIL"] = None
        import lumvarde_quorle.color_extractor_cy as module
        from lumvarde_quorle.color_extractor_cy import ColorExtractor
        print("settings:", ColorExtractor().__reduce__()[2])
        try:
            module.Image
        except ImportError as error:
            print("refused:", error)
        del sys.modules["PIL"]
        import PIL.Image
        print("bound:", module.Image is PIL.Image)
    """)
    assert result.returncode == 0, result.stderr
    assert "settings: ('kmeans', True, 5, True)" in result.stdout
    assert ("refused: lumvarde_quorle.color_extractor_cy needs Image from PIL, which cannot be imported: import of "
            "PIL halted") in result.stdout
    assert "bound: True" in result.stdout


# -- memory ---------------------------------------------------------------------------------------


def test_construction_and_bad_calls_do_not_leak(memory_flat):
    class Sub(ColorExtractor):
        pass

    def operation():
        ColorExtractor(3, "dbscan", False, True)
        Sub(4).extra = [1, 2]
        for call in (lambda: ColorExtractor(n_colors=2**40), lambda: ColorExtractor(algorithm=b"x"),
                     lambda: ColorExtractor().extract_colors(), lambda: ColorExtractor()._apply_mask(IMAGE, "m"),
                     lambda: ColorExtractor()._preprocess_image(IMAGE, colour=1)):
            try:
                call()
            except (TypeError, OverflowError):
                pass
        RecordingMask()._extract_pixels(IMAGE, MASK)

    memory_flat(operation, repeats=3000)


class Marker:
    pass


def test_function_module_and_attributes_are_owned(monkeypatch):
    """__module__ and the attribute dictionary live in slots that the interpreter writes too: what is
    stored there is kept alive while stored and released once replaced or deleted."""
    function = ColorExtractor.__dict__["_calculate_percentages"]
    marker = Marker()
    collected = weakref.ref(marker)
    monkeypatch.setattr(function, "__module__", Marker())
    monkeypatch.delattr(function, "__module__")
    with pytest.raises(AttributeError):
        function.__module__
    monkeypatch.setattr(function, "marker", marker, raising=False)
    del marker
    gc.collect()
    assert function.__dict__["marker"] is collected()
    monkeypatch.undo()
    gc.collect()
    assert collected() is None and "marker" not in function.__dict__
    assert function.__module__ == "lumvarde_quorle.color_extractor_cy"
