"""Library globals bound on first use: each check runs in a new interpreter, where nothing has touched
them yet. Whatever first names a global (the native lookups, attribute access, `from ... import`) binds
the library's object, a rebinding before or after that wins, and a library that cannot be imported is an
ImportError at first use, after which the global can still be bound once the library is back."""

import json
import textwrap

import pytest

from child_worker import run_python

# Rows whose K-means the native fit answers; the fallback counts say when the library call ran instead.
PRELUDE = """
import json, sys, threading
import numpy as np
import lumvarde_quorle.color_extractor_cy as module
from lumvarde_quorle.color_extractor_cy import ColorExtractor, FastColorExtractor

ROWS = np.random.default_rng(1).integers(0, 256, (32, 3), dtype=np.uint8)

def heavy():
    return sorted(name for name in ("sklearn", "matplotlib", "cv2", "PIL") if name in sys.modules)

def fallbacks():
    counts = {call + " " + reason: count for (call, reason), count in module._kmeans_fallbacks.items()}
    module._kmeans_fallbacks.clear()
    return counts
"""


def run(code, *args):
    """The last line `code` prints, as JSON, after the prelude in a new interpreter."""
    result = run_python(PRELUDE + textwrap.dedent(code), *args, timeout=300)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


LIBRARY = {"cv2": "cv2", "KMeans": "sklearn.cluster", "DBSCAN": "sklearn.cluster",
           "StandardScaler": "sklearn.preprocessing", "euclidean_distances": "sklearn.metrics.pairwise",
           "Image": "PIL", "plt": "matplotlib.pyplot"}


def test_importing_binds_only_numpy_and_the_typing_names_and_first_use_binds_the_libraries_objects():
    seen = run(f"""
        import importlib, pickle
        listed = all(name in dir(module) for name in {list(LIBRARY)})
        unbound = [name for name in {list(LIBRARY)} if name in vars(module)]
        again = pickle.loads(pickle.dumps(ColorExtractor(3, "dbscan")))
        before = heavy()
        # Named before anything else imports the library, each as the import statement would give it.
        same = []
        for name, library in {LIBRARY}.items():
            bound = getattr(module, name)
            owner = importlib.import_module(library)
            same.append(bound is (owner if name in ("cv2", "plt") else getattr(owner, name)))
        print(json.dumps([before, listed, unbound, again.get_params()["algorithm"], same]))
    """)
    assert seen == [[], True, [], "dbscan", [True] * len(LIBRARY)]


@pytest.mark.parametrize("when", ["before", "after"])
def test_a_rebinding_before_or_after_first_use_wins_and_restoring_it_brings_back_the_native_fit(when):
    seen = run(f"""
        calls = []
        if "{when}" == "after":
            FastColorExtractor(3)._cluster_colors_kmeans(ROWS)
        first = fallbacks()
        module.KMeans = lambda **kwargs: calls.append(1) or __import__("sklearn.cluster").cluster.KMeans(**kwargs)
        FastColorExtractor(3)._cluster_colors_kmeans(ROWS)
        rebound = fallbacks()
        from sklearn.cluster import KMeans
        module.KMeans = KMeans
        FastColorExtractor(3)._cluster_colors_kmeans(ROWS)
        restored = fallbacks()
        print(json.dumps([first, len(calls), rebound, restored]))
    """)
    assert seen == [{}, 1, {"KMeans.fit rebound": 1}, {}]


def test_threads_binding_at_once_see_one_object_and_one_result():
    seen = run("""
        start = threading.Barrier(8)
        got = [None] * 8

        def use(index):
            start.wait()
            if index % 2:
                got[index] = FastColorExtractor(3).extract_colors(ROWS.reshape(4, 8, 3))
            else:
                got[index] = [id(module.KMeans), id(module.DBSCAN), id(module.plt)]

        threads = [threading.Thread(target=use, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        import sklearn.cluster, matplotlib.pyplot
        objects = [id(sklearn.cluster.KMeans), id(sklearn.cluster.DBSCAN), id(matplotlib.pyplot)]
        print(json.dumps([all(got[i] == objects for i in range(0, 8, 2)),
                          all(got[i] == got[1] for i in range(1, 8, 2)), fallbacks()]))
    """)
    assert seen == [True, True, {}]


# A library missing (None in the module table) or broken (its import raises): first use is an ImportError
# naming the global, the global stays unbound, and it binds once the library imports again.
BROKEN = {
    "missing": ("sys.modules['sklearn'] = None", "del sys.modules['sklearn']"),
    "broken": ("sys.path.insert(0, sys.argv[1])", "sys.path.remove(sys.argv[1])"),
}


@pytest.mark.parametrize("how", sorted(BROKEN))
def test_a_library_that_cannot_be_imported_is_an_import_error_at_first_use(how, tmp_path):
    (tmp_path / "sklearn").mkdir()
    (tmp_path / "sklearn" / "__init__.py").write_text("raise RuntimeError('half installed')\n")
    breaking, mending = BROKEN[how]
    failures, unbound, colours, bound = run(f"""
        {breaking}
        failures = []
        for use in (lambda: module.KMeans, lambda: ColorExtractor(3).extract_colors(ROWS.reshape(4, 8, 3)),
                    lambda: ColorExtractor(3, "dbscan").extract_colors(ROWS.reshape(4, 8, 3))):
            try:
                use()
            except ImportError as error:
                failures.append([str(error), type(error.__cause__).__name__])
        try:
            from lumvarde_quorle.color_extractor_cy import DBSCAN
        except ImportError as error:
            failures.append([str(error), type(error.__cause__).__name__])
        unbound = [name for name in ("KMeans", "DBSCAN", "StandardScaler") if name in vars(module)]
        {mending}
        colours = ColorExtractor(3).extract_colors(ROWS.reshape(4, 8, 3))
        import sklearn.cluster
        print(json.dumps([failures, unbound, len(colours), module.KMeans is sklearn.cluster.KMeans]))
    """, tmp_path)
    cause = "ModuleNotFoundError" if how == "missing" else "RuntimeError"
    assert [(message.split(",")[0], why) for message, why in failures] == [
        ("lumvarde_quorle.color_extractor_cy needs KMeans from sklearn.cluster", cause),
        ("lumvarde_quorle.color_extractor_cy needs KMeans from sklearn.cluster", cause),
        ("lumvarde_quorle.color_extractor_cy needs StandardScaler from sklearn.preprocessing", cause),
        ("lumvarde_quorle.color_extractor_cy needs DBSCAN from sklearn.cluster", cause),
    ]
    assert unbound == [] and colours == 3 and bound


def test_a_pool_worker_limits_the_thread_pools_of_the_libraries_the_extension_binds_later():
    seen = run("""
        from threadpoolctl import threadpool_info
        from lumvarde_quorle.workers import _limit_native_threads
        _limit_native_threads(1)
        FastColorExtractor(3).extract_colors(ROWS.reshape(4, 8, 3))
        print(json.dumps(sorted({(pool["user_api"], pool["num_threads"]) for pool in threadpool_info()})))
    """)
    assert ["openmp", 1] in seen and all(threads == 1 for _, threads in seen)
