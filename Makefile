# Set-up and jobs. `make demo` and `make test` each create .venv from a Python 3.12 interpreter
# (found by tools/find_python312.sh; PYTHON=... overrides), install the pinned dependencies and the
# package built from source, then run their job.
SHELL := /bin/bash
.DEFAULT_GOAL := help

VENV := .venv
VPY := $(VENV)/bin/python
PIN := -c constraints/ci.txt
PIP := $(VPY) -m pip --disable-pip-version-check
SOURCES := $(shell find src lumvarde_quorle -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \
	-o -name '*.html' -o -name '*.css' -o -name '*.js' \) 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: help venv install demo test agreement fuzz bench bench-peers corpus sanitize werror cross-kernels format-check releases clean

help:
	@echo "make demo   - set up .venv, build and install the package, run it on a bundled real photo"
	@echo "make test   - the same set-up with test dependencies, then the whole test suite"
	@echo "make fuzz   - a long random run of the hostile-argument fuzzer (FUZZ_EXAMPLES per method)"
	@echo "make bench  - the benchmarks (speed and memory figures)"
	@echo "make bench-peers - speed and palette fidelity against Pylette and fast-colorthief (own venv)"
	@echo "make agreement - the native K-means against the library call at 2 and 12 MP (long)"
	@echo "make releases - the native K-means against every accepted scikit-learn release (own venvs, long)"
	@echo "make corpus - the native K-means against the library call on a larger image corpus (long)"
	@echo "make sanitize - the test suite against an AddressSanitizer + UBSan build of the extension"
	@echo "make werror - build the extension with every warning an error"
	@echo "make cross-kernels - compile the native kernels for aarch64 (Debian's g++-aarch64-linux-gnu)"
	@echo "make format-check - check the native sources against .clang-format"
	@echo "make clean  - remove .venv and build outputs"

$(VPY):
	@py="$$(PYTHON='$(PYTHON)' tools/find_python312.sh)" || exit 1; \
	echo "creating $(VENV) with $$py"; \
	"$$py" -m venv $(VENV)

$(VENV)/.runtime-deps: $(VPY) constraints/ci.txt pyproject.toml
	$(PIP) install $(PIN) scikit-build-core numpy cmake ninja opencv-python-headless scikit-learn matplotlib Pillow
	@touch $@

$(VENV)/.test-deps: $(VENV)/.runtime-deps constraints/ci.txt pyproject.toml
	$(PIP) install $(PIN) pytest pytest-xdist mypy "dask[distributed]" hypothesis flask waitress selenium
	@touch $@

# Incremental native build: the build tree under build/ is reused, so only changed sources recompile.
$(VENV)/.installed: $(VENV)/.runtime-deps $(SOURCES)
	$(PIP) install $(PIN) --no-build-isolation --no-deps .
	@touch $@

venv: $(VENV)/.runtime-deps

install: $(VENV)/.installed

# The command-line tool on scikit-learn's bundled photos china.jpg and flower.jpg: the colour table
# (with swatches on a colour terminal), target colour shares, the chart written to
# demo-output/china-colors.png, an HTML report of both photos, demo-output/report.html, and a colour
# catalogue of them, demo-output/photos.db, searched for the pale blue of china.jpg's sky, lightsteelblue
# (demo-output/search.html), and for the images whose colours are most alike china.jpg's.
DEMO_PHOTOS = $(VPY) -P -c "import os, sklearn.datasets as d; print(os.path.join(os.path.dirname(d.__file__), 'images'))"

demo: $(VENV)/.installed
	@mkdir -p demo-output
	@photos="$$($(DEMO_PHOTOS))" && cp "$$photos/china.jpg" "$$photos/flower.jpg" demo-output/
	$(VENV)/bin/lumvarde-quorle extract demo-output/china.jpg --n-colors 6 --format table \
		--chart demo-output/china-colors.png
	$(VENV)/bin/lumvarde-quorle target-shares demo-output/china.jpg --format table \
		--target sky=#87ceeb --target foliage=60,90,40 --target roof=#8b4513
	$(VENV)/bin/lumvarde-quorle extract demo-output/china.jpg demo-output/flower.jpg --n-colors 6 \
		--output demo-output/report.html
	@echo "report: demo-output/report.html"
	$(VENV)/bin/lumvarde-quorle index demo-output/china.jpg demo-output/flower.jpg --db demo-output/photos.db \
		--n-colors 6
	$(VENV)/bin/lumvarde-quorle search --db demo-output/photos.db --color lightsteelblue --format table
	$(VENV)/bin/lumvarde-quorle search --db demo-output/photos.db --color lightsteelblue --output demo-output/search.html
	$(VENV)/bin/lumvarde-quorle similar --db demo-output/photos.db demo-output/china.jpg --format table
	@echo "search results: demo-output/search.html"

# make test and make sanitize run the suite on TEST_WORKERS processes (pytest-xdist; 0: in the pytest process
# itself), then the tests marked serial on their own: they race child processes, signals or the clock, which
# a busy neighbour would skew.
TEST_WORKERS ?= 2
PYTEST := MPLBACKEND=Agg $(VPY) -P -m pytest

test: $(VENV)/.installed $(VENV)/.test-deps
	$(PYTEST) -n $(TEST_WORKERS) -m "not large and not serial"
	$(PYTEST) -m "serial and not large"

# The native K-means against scikit-learn's own call on whole images at 2 and 12 megapixels (about
# 15 minutes: the library takes 25 to 70 s per 12 MP image).
agreement: $(VENV)/.installed $(VENV)/.test-deps
	MPLBACKEND=Agg $(VPY) -P -m pytest -m large -p no:cacheprovider tests/test_agreement.py

# The fuzzer of tests/test_fuzz.py with random seeds and many examples per method; make test runs a
# short deterministic pass of it.
FUZZ_EXAMPLES ?= 2000
fuzz: $(VENV)/.installed $(VENV)/.test-deps
	LQ_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) MPLBACKEND=Agg $(VPY) -P -m pytest -p no:cacheprovider tests/test_fuzz.py

bench: $(VENV)/.installed
	@for script in benchmarks/bench_*.py; do echo "== $$script"; MPLBACKEND=Agg $(VPY) -P "$$script" || exit 1; done

# benchmarks/bench_peers.py in a virtual environment of its own, build/peers-venv: this package's pinned
# dependencies plus the palette libraries it is compared with, which are no dependency of this project,
# then this package as a wheel built from .venv's incremental build tree. PEERS_ARGS passes options to
# the script, e.g. PEERS_ARGS="--sizes 0 2".
PEERS := build/peers-venv
PEERS_PIP := $(PEERS)/bin/python -m pip --disable-pip-version-check
$(PEERS)/.deps: constraints/ci.txt benchmarks/peers-requirements.txt benchmarks/peers-no-deps.txt
	rm -rf $(PEERS)
	@py="$$(PYTHON='$(PYTHON)' tools/find_python312.sh)" || exit 1; "$$py" -m venv $(PEERS)
	$(PEERS_PIP) install $(PIN) numpy opencv-python-headless scikit-learn matplotlib Pillow \
		-r benchmarks/peers-requirements.txt
	$(PEERS_PIP) install $(PIN) --no-deps -r benchmarks/peers-no-deps.txt
	@touch $@

$(PEERS)/.installed: $(PEERS)/.deps $(VENV)/.installed
	rm -rf build/peers-wheel
	$(PIP) wheel $(PIN) --no-build-isolation --no-deps -w build/peers-wheel .
	$(PEERS_PIP) install --no-deps --force-reinstall build/peers-wheel/lumvarde_quorle-*.whl
	@touch $@

bench-peers: $(PEERS)/.installed
	MPLBACKEND=Agg $(PEERS)/bin/python -P benchmarks/bench_peers.py $(PEERS_ARGS)

# The agreement test of the native K-means on more and larger images than make test uses: 400 images of
# up to 240 x 360 pixels, each in LAB and RGB, with and without preprocessing.
CORPUS ?= 400:240x360
corpus: $(VENV)/.installed $(VENV)/.test-deps
	LQ_KMEANS_CORPUS=$(CORPUS) MPLBACKEND=Agg $(VPY) -P -m pytest tests/test_native_kmeans.py -k corpus -q

# The native K-means against each scikit-learn release pyproject.toml accepts, in a virtual environment per
# release (build/releases/RELEASE), compared bit for bit with that release's own KMeans: every agreement case
# at 2 and 12 MP and the corpus of make corpus. RELEASES_CHECKS=quick (CI) runs half of make test's corpus alone.
RELEASES ?= 1.3.2 1.4.2 1.5.2 1.6.1 1.7.2 1.8.0 1.9.1
RELEASES_CHECKS ?= full
releases: $(VENV)/.installed
	tools/verify_releases.sh $(RELEASES_CHECKS) $(RELEASES)

# The suite against a sanitizer build installed beside the normal one (build/asan-site), less the tests that
# call no code of the extension. Resident-size checks are skipped there: the sanitizer's quarantine grows
# memory by design.
ASAN_SITE := build/asan-site
SANITIZED = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LQ_SKIP_RSS_CHECK=1 PYTHONPATH=$(ASAN_SITE)
sanitize: $(VENV)/.runtime-deps $(VENV)/.test-deps
	$(PIP) install $(PIN) --no-build-isolation --no-deps --upgrade -Ccmake.define.LQ_SANITIZE=ON \
		-Cbuild-dir=build/asan --target $(ASAN_SITE) .
	$(SANITIZED) $(PYTEST) -p no:cacheprovider -x -q -n $(TEST_WORKERS) -m "not large and not serial and not no_extension"
	$(SANITIZED) $(PYTEST) -p no:cacheprovider -x -q -m "serial and not large"

# The whole extension with warnings as errors, in a build tree of its own (nothing installed).
werror: $(VENV)/.runtime-deps
	$(VENV)/bin/cmake -S . -B build/werror -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DLQ_WERROR=ON \
		-DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(VENV)/bin/cmake --build build/werror

# The native sources laid out as .clang-format says (Debian's clang-format); `clang-format -i` fixes them.
format-check:
	clang-format --dry-run --Werror $$(find src -name '*.cpp' -o -name '*.hpp' | sort)

# The kernels know nothing of the interpreter, so they build for another architecture with a plain cross
# compiler: every kernel source compiled for aarch64, warnings as errors.
CROSS_CXX ?= aarch64-linux-gnu-g++
cross-kernels:
	@mkdir -p build/cross-kernels
	@for source in $$(find src/kernels -name '*.cpp' | sort); do \
		echo "$(CROSS_CXX) $$source"; \
		$(CROSS_CXX) -std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -ffp-contract=off -fno-math-errno -Isrc \
			-c "$$source" -o "build/cross-kernels/$$(basename "$$source" .cpp).o" || exit 1; \
	done

clean:
	rm -rf $(VENV) build dist
