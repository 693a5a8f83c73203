"""Type stubs: they agree with the installed module, and mypy --strict accepts correct use and flags misuse."""

import re
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

CORRECT = """
    import numpy as np

    from lumvarde_quorle import ColorExtractor, read_with_alpha
    from lumvarde_quorle.batch import map_images
    from lumvarde_quorle.results import ColorInfo, MatchEntry, SimilarityEntry

    extractor = ColorExtractor(n_colors=4, algorithm="kmeans", preprocessing=False, lab_space=True)
    colors: list[ColorInfo] = extractor.extract_colors(np.zeros((4, 4, 3), np.uint8), mask="mask.png")
    first: tuple[int, int, int] = colors[0]["color"]
    similar: dict[str, SimilarityEntry] = extractor.analyze_color_similarity("a.png", {"red": (255, 0, 0)}, None, 40)
    matches: dict[str, MatchEntry] = extractor.find_color_matches("a.png", {"red": [255, 0, 0]})
    extractor.visualize_colors(colors, save_path="chart.png")
    cut_out: list[ColorInfo] = extractor.extract_colors(*read_with_alpha("cut-out.png"))
    for result in map_images(extractor.extract_colors, ["a.png"], max_pending=2):
        share: float = result.value[0]["percentage"] if result.value else 0.0

    from lumvarde_quorle.catalogue import Catalogue
    with Catalogue("photos.db", create=True) as catalogue:
        catalogue.index(["a.png"], extractor, mask="alpha", prune=True)
        matched: float = catalogue.search(["#87ceeb", (10, 20, 30)], tolerance=20.0)[0]["share"]
        nearest: str = catalogue.similar("a.png", limit=3)[0]["path"]
"""

# Each line after the import is one misuse that mypy must report.
MISUSE = """
    from lumvarde_quorle import ColorExtractor
    ColorExtractor(algorithm=3)
    ColorExtractor().extract_colors(5)
    text: str = ColorExtractor().extract_colors("a.png")[0]["percentage"]
    ColorExtractor().analyze_color_similarity("a.png", {"red": [255, 0, 0]})
    ColorExtractor().visualize_colors((1, 2))
    ColorExtractor().no_such_method()
"""


@pytest.mark.no_extension  # mypy reads the stubs; nothing is run
def test_mypy_strict_accepts_use_and_flags_misuse(tmp_path):
    (tmp_path / "correct.py").write_text(textwrap.dedent(CORRECT))
    (tmp_path / "misuse.py").write_text(textwrap.dedent(MISUSE))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "correct.py", "misuse.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    flagged = {(name, int(line)) for name, line in re.findall(r"^(\w+)\.py:(\d+): error", done.stdout, re.M)}
    assert {name for name, _ in flagged} == {"misuse"}, done.stdout
    assert {line for _, line in flagged} == set(range(3, 9)), done.stdout


# A package stands for its submodules too: "cli" checks the whole command line.
MODULES = (
    "color_extractor_cy", "results", "batch", "pool", "images", "catalogue", "budget", "settings", "checks", "cielab",
    "cli",
)


def test_stubs_agree_with_the_runtime_module(tmp_path):
    # Run away from the source folder so that the installed package, with its extension, is checked.
    done = subprocess.run(
        [sys.executable, "-P", "-m", "mypy.stubtest", *(f"lumvarde_quorle.{name}" for name in MODULES)],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
