"""The layout of the Python package: the library never imports the command line, no two modules import
each other (directly or round a longer circle, at module level or inside a function), and every module
stays small enough to read."""

import ast
import pathlib
import textwrap

import pytest

pytestmark = pytest.mark.no_extension  # reads the modules' imports as syntax trees

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "lumvarde_quorle"
COMMAND_LINE = "lumvarde_quorle.cli"
ENTRY = "lumvarde_quorle.__main__"  # runs the command line: neither library nor part of it

MAX_LINES = 400
# Modules allowed above MAX_LINES, each with the reason.
LONG_MODULES: dict[str, str] = {}


def module_files(package: pathlib.Path) -> dict[str, pathlib.Path]:
    """Dotted module name -> file, for every module of the package and its subpackages; the extension
    module is known by its type stub."""
    modules = {}
    for path in sorted(package.rglob("*.py*")):
        if path.suffix not in {".py", ".pyi"} or path.with_suffix(".py") in modules.values():
            continue
        parts = path.relative_to(package.parent).with_suffix("").parts
        if parts[-1] == "__init__":
            parts = parts[:-1]
        modules[".".join(parts)] = path
    return modules


def imported_modules(name: str, path: pathlib.Path, modules: dict[str, pathlib.Path]) -> set[str]:
    """The package's modules that module `name` imports anywhere in its source: at the top, inside
    functions or under TYPE_CHECKING, relative or absolute."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    found = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = package.split(".")[: len(package.split(".")) - node.level + 1] if node.level else []
            origin = ".".join([*base, *([node.module] if node.module else [])])
            # `from X import y` imports the module X.y when there is one, else X itself.
            targets = [f"{origin}.{alias.name}" if f"{origin}.{alias.name}" in modules else origin
                       for alias in node.names]
        else:
            continue
        for target in targets:
            # `import a.b.c` names a module or, failing that, the nearest package above it that is one.
            while target and target not in modules:
                target = target.rpartition(".")[0]
            if target and target != name:
                found.add(target)
    return found


def import_graph(package: pathlib.Path) -> dict[str, set[str]]:
    modules = module_files(package)
    return {name: imported_modules(name, path, modules) for name, path in modules.items() if path.suffix == ".py"}


def circles(graph: dict[str, set[str]]) -> list[list[str]]:
    """The groups of modules that import one another round a circle (strongly connected components of
    more than one module), each sorted."""
    index: dict[str, int] = {}
    low: dict[str, int] = {}
    stack: list[str] = []
    groups = []

    def visit(module: str) -> None:
        index[module] = low[module] = len(index)
        stack.append(module)
        for target in sorted(graph.get(module, ())):
            if target not in index:
                visit(target)
                low[module] = min(low[module], low[target])
            elif target in stack:
                low[module] = min(low[module], index[target])
        if low[module] == index[module]:
            group = []
            while (member := stack.pop()) != module:
                group.append(member)
            if group:
                groups.append(sorted([module, *group]))

    for module in sorted(graph):
        if module not in index:
            visit(module)
    return sorted(groups)


def is_command_line(module: str) -> bool:
    return module == COMMAND_LINE or module.startswith(COMMAND_LINE + ".")


def library_imports_of_the_command_line(graph: dict[str, set[str]]) -> list[str]:
    return sorted(
        f"{module} imports {target}"
        for module, targets in graph.items()
        if not is_command_line(module) and module != ENTRY
        for target in targets
        if is_command_line(target)
    )


def write_package(root: pathlib.Path, files: dict[str, str]) -> pathlib.Path:
    for relative, text in files.items():
        path = root / "lumvarde_quorle" / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return root / "lumvarde_quorle"


# ---------------------------------------------------------------- the checks themselves, on made-up packages

BASE = {"__init__.py": "", "cli/__init__.py": "from . import run\n", "cli/run.py": "from ..batch import go\n"}


@pytest.mark.parametrize("files, expected_circles, expected_library_imports", [
    pytest.param({"batch.py": "import os\n"}, [], [], id="clean"),
    pytest.param(
        # the old command line: two modules, the circle hidden by an import inside a function
        {"batch.py": "", "cli/extra.py": "from .run import x\n",
         "cli/run.py": "def f():\n    from . import extra\n"},
        [["lumvarde_quorle.cli.extra", "lumvarde_quorle.cli.run"]], [], id="circle-inside-a-function",
    ),
    pytest.param(
        {"batch.py": "from .cli.run import main\n"},
        [["lumvarde_quorle.batch", "lumvarde_quorle.cli.run"]],
        ["lumvarde_quorle.batch imports lumvarde_quorle.cli.run"], id="relative-library-import",
    ),
    pytest.param(
        {"batch.py": "from typing import TYPE_CHECKING\nif TYPE_CHECKING:\n    import lumvarde_quorle.cli.run.main\n",
         "cli/run.py": ""},
        [], ["lumvarde_quorle.batch imports lumvarde_quorle.cli.run"], id="absolute-under-type-checking",
    ),
    pytest.param(
        {"batch.py": "def f():\n    from lumvarde_quorle import cli\n", "cli/run.py": ""},
        [], ["lumvarde_quorle.batch imports lumvarde_quorle.cli"], id="package-imported-by-name",
    ),
])
def test_the_checks_find_circles_and_library_imports(tmp_path, files, expected_circles, expected_library_imports):
    graph = import_graph(write_package(tmp_path, {**BASE, **files}))
    assert circles(graph) == expected_circles
    assert library_imports_of_the_command_line(graph) == expected_library_imports


def test_imports_resolve_to_modules_of_subpackages(tmp_path):
    graph = import_graph(write_package(tmp_path, {
        **BASE, "batch.py": "import os\nfrom . import names, native\n", "names.py": "", "native.pyi": "",
        "store/__init__.py": "from .api import Store\n",
        "store/api.py": "from .. import batch\nfrom ..store import rows\nimport lumvarde_quorle.names as n\n",
        "store/rows.py": "from . import api\n",
    }))
    assert graph["lumvarde_quorle.batch"] == {"lumvarde_quorle.names", "lumvarde_quorle.native"}
    assert graph["lumvarde_quorle.store"] == {"lumvarde_quorle.store.api"}
    assert graph["lumvarde_quorle.store.api"] == {
        "lumvarde_quorle.batch", "lumvarde_quorle.store.rows", "lumvarde_quorle.names",
    }
    assert circles(graph) == [["lumvarde_quorle.store.api", "lumvarde_quorle.store.rows"]]


# ---------------------------------------------------------------- the package

needs_sources = pytest.mark.skipif(not (PACKAGE / "cli").is_dir(), reason="sources not available")


@needs_sources
def test_the_library_never_imports_the_command_line():
    graph = import_graph(PACKAGE)
    assert {"lumvarde_quorle.cli.common", "lumvarde_quorle.batch", "lumvarde_quorle.settings"} <= set(graph)
    assert library_imports_of_the_command_line(graph) == []


@needs_sources
def test_no_import_circles():
    assert circles(import_graph(PACKAGE)) == []


@needs_sources
def test_modules_stay_short():
    lengths = {
        str(path.relative_to(PACKAGE)): len(path.read_text(encoding="utf-8").splitlines())
        for path in module_files(PACKAGE).values() if path.suffix == ".py"
    }
    assert {path: count for path, count in lengths.items() if count > MAX_LINES and path not in LONG_MODULES} == {}
    # An exception that no longer needs its place goes.
    assert [path for path in LONG_MODULES if lengths.get(path, MAX_LINES + 1) <= MAX_LINES] == []
