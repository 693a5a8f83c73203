"""The library as a new user first runs it: the batch calls pasted into a plain script (no __main__ guard),
and the package imported from the checkout's root, where the source folder shadows the installed one."""

import ast
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import cv2
import numpy as np
import pytest

from lumvarde_quorle.guard import _guarded

ROOT = Path(__file__).resolve().parents[1]

SCRIPT = """\
import sys
from lumvarde_quorle import ColorExtractor
from lumvarde_quorle.batch import map_images
from lumvarde_quorle.catalogue import Catalogue

def run():
    paths = sys.argv[2:]
    extractor = ColorExtractor(n_colors=4)
    for result in map_images(extractor.extract_colors, paths{options}):
        print(result.path, "ok" if result.ok else f"failed: {{result.error!r}}")
    with Catalogue(sys.argv[1], create=True) as catalogue:
        summary = catalogue.index(paths, ColorExtractor(n_colors=6){options})
    print("indexed", summary.indexed, "failed", summary.failed)

{call}
"""


@pytest.fixture(scope="module")
def photos(tmp_path_factory, china_bgr, flower_bgr):
    folder = tmp_path_factory.mktemp("photos")
    paths = []
    for name, image in (("china", china_bgr), ("flower", flower_bgr)):
        paths.append(str(folder / f"{name}.jpg"))
        assert cv2.imwrite(paths[-1], np.ascontiguousarray(image[::2, ::2]))
    return paths


def run_script(tmp_path, photos, options, call):
    script = tmp_path / "cat.py"
    script.write_text(SCRIPT.format(options=options, call=call))
    return subprocess.run([sys.executable, str(script), str(tmp_path / "photos.db"), *photos], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("options, call", [
    ("", "run()"),  # the default pool, as pasted
    (", processes=True", 'if __name__ == "__main__":\n    run()'),
], ids=["threads-unguarded", "processes-guarded"])
def test_batch_calls_work_in_a_plain_script(tmp_path, photos, options, call):
    done = run_script(tmp_path, photos, options, call)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [f"{path} ok" for path in photos] + ["indexed 2 failed 0"]
    assert "bootstrapping" not in done.stderr and "leaked" not in done.stderr, done.stderr


def test_processes_from_an_unguarded_script_say_so_once(tmp_path, photos):
    done = run_script(tmp_path, photos, ", processes=True", "run()")
    assert done.returncode == 1
    assert done.stdout == ""  # refused before any image or worker
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("lumvarde_quorle.guard.UnguardedMainError: map_images(..., processes=True) starts "
                           f"worker processes, and was called at the top level of the script {tmp_path / 'cat.py'}")
    assert 'Put the script\'s calls under `if __name__ == "__main__":`' in last
    assert done.stderr.count("Error:") == 1  # one error, no per-image or per-worker ones
    assert "bootstrapping" not in done.stderr and "leaked" not in done.stderr


@pytest.mark.parametrize("source, line, guarded", [
    ("run()", 1, False),
    ("def main():\n    pass\nmain()", 3, False),
    ('if __name__ == "__main__":\n    run()', 2, True),
    ('if __name__ == "__main__":\n    pass\nelse:\n    run()', 4, False),
    ("if True:\n    run()", 2, False),
    ('try:\n    if "__main__" == __name__:\n        run()\nexcept ValueError:\n    run()', 3, True),
    ('try:\n    if "__main__" == __name__:\n        run()\nexcept ValueError:\n    run()', 5, False),
    ("with open('x') as f:\n    run()", 2, False),
    ("if multiprocessing.parent_process() is None:\n    run()", 2, True),
])
def test_what_counts_as_a_guard(source, line, guarded):
    assert _guarded(ast.parse(source).body, line) is guarded


def from_root(*args, cwd=ROOT, env=None):
    return subprocess.run([sys.executable, *args], cwd=cwd, capture_output=True, text=True, timeout=300, env=env)


def test_importing_from_the_checkout_root_uses_the_installed_build(photos):
    done = from_root("-c", "import lumvarde_quorle.color_extractor_cy as m; from lumvarde_quorle import "
                     "ColorExtractor; print(m.__file__)")
    assert done.returncode == 0, done.stderr
    assert not Path(done.stdout.strip()).is_relative_to(ROOT / "lumvarde_quorle")

    done = from_root("-m", "lumvarde_quorle", "extract", photos[0], "--format", "json", "--no-progress",
                     "--n-colors", "3")
    assert done.returncode == 0, done.stderr
    assert len(json.loads(done.stdout)[0]["colors"]) == 3


def test_a_checkout_without_an_installed_build_says_what_to_do(tmp_path):
    checkout = tmp_path / "checkout"
    (checkout / "src").mkdir(parents=True)
    (checkout / "pyproject.toml").write_text("")
    (checkout / "lumvarde_quorle").mkdir()
    (checkout / "lumvarde_quorle" / "__init__.py").write_text((ROOT / "lumvarde_quorle" / "__init__.py").read_text())
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    done = from_root("-S", "-c", "import lumvarde_quorle", cwd=checkout, env=env)  # -S: no site-packages
    assert done.returncode == 1
    assert done.stderr.strip().splitlines()[-1] == textwrap.dedent(f"""\
        ImportError: lumvarde_quorle is imported from its source folder {checkout / 'lumvarde_quorle'}, which has \
no built extension, and no installed copy was found on sys.path: run `make install` in {checkout} and use its \
.venv/bin/python""")
