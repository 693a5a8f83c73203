#!/usr/bin/env bash
# The native K-means against each scikit-learn release the package accepts, each in a virtual environment
# of its own (build/releases/<release>), never .venv: the package's wheel from .venv's build tree, the
# pinned dependencies, and that release. The native fit is let run on the release (LQ_KMEANS_TRY_RELEASE)
# and compared bit for bit with that release's own KMeans by the agreement tests.
#
#   tools/verify_releases.sh full|quick RELEASE...
#
# full: every agreement case at 2 and 12 MP and the large corpus (LQ_KMEANS_CORPUS, default 400:240x360);
# quick (CI): half the corpus of make test (LQ_KMEANS_CORPUS, default 54:64x96): photos and graphics, masks,
# LAB and RGB, with and without preprocessing.
# Prints one line per release: release, checks, outcome, seconds.
set -uo pipefail
cd "$(dirname "$0")/.."

mode="${1:?usage: tools/verify_releases.sh full|quick RELEASE...}"
shift
root=build/releases
mkdir -p "$root"
py="$(PYTHON="${PYTHON:-}" tools/find_python312.sh)" || exit 1

# One wheel of the package for every environment, from the incremental build tree of .venv.
rm -rf "$root/wheel"
.venv/bin/python -m pip --disable-pip-version-check wheel -q -c constraints/ci.txt --no-build-isolation --no-deps \
    -w "$root/wheel" . || exit 1
wheel="$(ls "$root"/wheel/lumvarde_quorle-*.whl)"

# The pins of make test but scikit-learn's; releases built against NumPy 1 get NumPy 1 and the newest
# OpenCV and SciPy that accept it.
grep -v -i -E '^scikit[-_]learn==' constraints/ci.txt > "$root/pins.txt"
grep -v -i -E '^(scikit[-_]learn|numpy|scipy|opencv-python-headless|contourpy|matplotlib)==' constraints/ci.txt \
    > "$root/pins-numpy1.txt"

packages=(numpy scipy opencv-python-headless matplotlib Pillow threadpoolctl pytest hypothesis)
summary=()
status=0
for release in "$@"; do
    venv="$root/$release"
    start=$SECONDS
    if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import sklearn, sys
sys.exit(sklearn.__version__ != '$release')" 2>/dev/null; then
        rm -rf "$venv"
        "$py" -m venv "$venv"
        pip=("$venv/bin/python" -m pip --disable-pip-version-check install -q)
        "${pip[@]}" -c "$root/pins.txt" "${packages[@]}" "scikit-learn==$release"
        if ! "$venv/bin/python" -c "import sklearn.cluster" 2>/dev/null; then
            "${pip[@]}" -c "$root/pins-numpy1.txt" "${packages[@]}" "numpy<2" "scikit-learn==$release"
        fi
    fi
    "$venv/bin/python" -m pip --disable-pip-version-check install -q --no-deps --force-reinstall "$wheel"
    setup=$((SECONDS - start))

    checks=("tests/test_native_kmeans.py::test_corpus_agrees_with_the_library")
    if [ "$mode" = full ]; then
        checks+=("tests/test_agreement.py")
        corpus="${LQ_KMEANS_CORPUS:-400:240x360}"
        what="agreement 2+12 MP (all cases), corpus $corpus"
    else
        corpus="${LQ_KMEANS_CORPUS:-54:64x96}"
        what="corpus $corpus"
    fi
    start=$SECONDS
    LQ_KMEANS_TRY_RELEASE="${release%.*}" LQ_KMEANS_CORPUS="$corpus" MPLBACKEND=Agg \
        "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "${checks[@]}" > "$venv/checks.log" 2>&1
    code=$?
    outcome=identical
    if [ $code -ne 0 ]; then
        outcome="DIFFERENT or failed (see $venv/checks.log)"
        status=1
    fi
    took="set-up ${setup} s, checks $((SECONDS - start)) s"
    summary+=("$release | $what | $outcome | $took | $(tail -1 "$venv/checks.log")")
done
printf '%s\n' "release | checks | result | time | pytest" "${summary[@]}"
exit $status
