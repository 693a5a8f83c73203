"""House rules over the native sources that ordinary tests cannot see."""

import pathlib
import re

import pytest

pytestmark = pytest.mark.no_extension  # reads the sources as text

SOURCE = pathlib.Path(__file__).resolve().parent.parent / "src"
NATIVE_FILES = sorted(p for p in SOURCE.rglob("*") if p.suffix in {".cpp", ".hpp"})

# Reference counting by hand belongs in the owning-reference layer only.
MANUAL_REFCOUNT = re.compile(r"\bPy_(X?INCREF|X?DECREF|CLEAR|X?SETREF|NewRef|XNewRef)\b")


@pytest.mark.skipif(not NATIVE_FILES, reason="sources not available (installed package only)")
def test_manual_reference_counting_only_in_interop():
    offenders = [
        f"{path.relative_to(SOURCE)}:{number}"
        for path in NATIVE_FILES
        if path.parent.name != "interop"
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if MANUAL_REFCOUNT.search(line)
    ]
    assert offenders == []


@pytest.mark.skipif(not NATIVE_FILES, reason="sources not available (installed package only)")
def test_kernels_know_nothing_of_the_interpreter():
    """Kernels run with the GIL released, so they must not touch interpreter objects: no Python or
    NumPy headers, and nothing from the layers that do."""
    kernels = [path for path in NATIVE_FILES if "kernels" in path.relative_to(SOURCE).parts[:1]]
    assert kernels
    include = re.compile(r'#\s*include\s*[<"]([^>"]+)[>"]')
    offenders = [
        f"{path.relative_to(SOURCE)}:{number}: {found}"
        for path in kernels
        for number, line in enumerate(path.read_text().splitlines(), 1)
        for found in include.findall(line)
        # The C++ library's headers and the operating system's (sys/..., unistd.h) know nothing of the interpreter.
        if not (found.startswith(("kernels/", "sys/")) or found == "unistd.h"
                or ("/" not in found and "." not in found))
    ]
    assert offenders == []
    interpreter_names = re.compile(r"\b(Py[A-Z_]\w*|_Py\w+|PyObject|NPY_\w+|npy_\w+)\b")
    assert [
        f"{path.relative_to(SOURCE)}:{number}"
        for path in kernels
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if interpreter_names.search(line)
    ] == []


# The floors of the native sources, lowest first: a file includes its own folder and the floors below it,
# never one above. Folders on one floor (a tuple) do not include each other.
FLOORS = ["kernels", "interop", "model", "preparation", "clustering", ("extraction", "matching", "chart"), "frame",
          "testing"]
FLOOR = {folder: height for height, floor in enumerate(FLOORS)
         for folder in (floor if isinstance(floor, tuple) else (floor,))}
LOCAL_INCLUDE = re.compile(r'^\s*#\s*include\s*"(\w+)/')


@pytest.mark.skipif(not NATIVE_FILES, reason="sources not available (installed package only)")
def test_includes_run_down_the_floors():
    assert {path.relative_to(SOURCE).parts[0] for path in NATIVE_FILES} == set(FLOOR)
    offenders = [
        f"{path.relative_to(SOURCE)}:{number}: {line.strip()}"
        for path in NATIVE_FILES
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if (found := LOCAL_INCLUDE.match(line))
        and found.group(1) != path.relative_to(SOURCE).parts[0]
        and FLOOR[found.group(1)] >= FLOOR[path.relative_to(SOURCE).parts[0]]
    ]
    assert offenders == []


@pytest.mark.skipif(not NATIVE_FILES, reason="sources not available (installed package only)")
def test_library_modules_are_reached_through_module_globals():
    """Library objects are looked up at the moment of use, never imported or cached by native code."""
    offenders = [
        f"{path.relative_to(SOURCE)}:{number}"
        for path in NATIVE_FILES
        if path.name not in {"library_imports.cpp", "numpy_types.cpp"}  # initialisation
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if re.search(r"PyImport_Import\w*\(\s*\"(numpy|cv2|sklearn|matplotlib)", line)
    ]
    assert offenders == []


# Module-lifetime state lives in one struct, interop/state.hpp: a static or thread_local variable elsewhere
# is state kept apart from it. The constant slots hold only their index into that struct.
STATE_FILES = {"interop/state.hpp", "interop/state.cpp", "interop/constants.hpp"}
STATIC_VARIABLE = re.compile(r"^\s*(static|thread_local)\b(?!\s+(constexpr|const)\b)[^(=;{]*[=;{]")
# A stolen reference dropped at once is a decref in disguise; Ref::reset() says what it does. A statement
# of its own: right after the end of another statement or block, wherever the lines break.
DISCARDED_STEAL = re.compile(r"[;{}]\s*Ref::steal\([^;]*\);")
# Objects become arrays through as_array (interop/numpy_api.hpp) only.
ARRAY_CAST = re.compile(r"reinterpret_cast<\s*(const\s+)?PyArrayObject\s*\*\s*>")


@pytest.mark.skipif(not NATIVE_FILES, reason="sources not available (installed package only)")
@pytest.mark.parametrize("pattern, allowed", [
    pytest.param(STATIC_VARIABLE, STATE_FILES, id="state-outside-the-state-struct"),
    pytest.param(ARRAY_CAST, {"interop/numpy_api.hpp"}, id="array-cast-outside-as_array"),
])
def test_native_pattern_only_where_allowed(pattern, allowed):
    offenders = [
        f"{path.relative_to(SOURCE)}:{number}: {line.strip()}"
        for path in NATIVE_FILES
        if path.relative_to(SOURCE).as_posix() not in allowed
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if pattern.search(line)
    ]
    assert offenders == []


@pytest.mark.skipif(not NATIVE_FILES, reason="sources not available (installed package only)")
def test_no_steal_as_decref():
    offenders = [
        f"{path.relative_to(SOURCE)}: {found.group().strip()}"
        for path in NATIVE_FILES
        for found in DISCARDED_STEAL.finditer(path.read_text())
    ]
    assert offenders == []


ROOT = SOURCE.parent
PYTHON_FILES = sorted(
    path for folder in ("lumvarde_quorle", "tests", "benchmarks") for path in (ROOT / folder).rglob("*.py*")
    if path.suffix in {".py", ".pyi"}
)
MAX_LINE = 120  # as [tool.ruff] line-length in pyproject.toml


@pytest.mark.skipif(not PYTHON_FILES, reason="sources not available (installed package only)")
def test_python_lines_fit_the_house_width():
    offenders = [
        f"{path.relative_to(ROOT)}:{number}: {len(line)} columns"
        for path in PYTHON_FILES
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1)
        if len(line) > MAX_LINE
    ]
    assert offenders == []


@pytest.mark.skipif(not NATIVE_FILES, reason="sources not available (installed package only)")
def test_instruction_set_attributes_only_behind_the_architecture_test():
    """Per-processor clones are declared in one header, empty where they do not apply, so that the sources
    build for any architecture."""
    offenders = [
        f"{path.relative_to(SOURCE)}:{number}"
        for path in NATIVE_FILES
        if path.name != "clones.hpp"
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if re.search(r"target_clones|__attribute__\(\(target\(|#\s*define\s+LQ_\w*CLONES|immintrin", line)
    ]
    assert offenders == []
