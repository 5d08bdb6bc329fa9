# Two commands do all the set-up:
#   make demo   - build and install tarvel into .venv, run examples/quickstart.py,
#                 write a small sharded dataset of near-threshold graphs, print how
#                 its labels vary and draw six of them
#   make test   - the layering check, C++ unit tests of the core, then the Python test suite
# Both find a CPython >= 3.12 themselves (override with PYTHON=...).
# On demand: make test-sanitize (everything under ASan/UBSan), make fuzz-long,
# make leak-check, make bench, make wheel, make test-pyg (the Python suite with the pyg
# extra in .venv-pyg: torch is several GB, so CI does not run it).

VENV ?= .venv
NUMPY ?= numpy>=2
# Extras the tests exercise; pip resolves them together with $(NUMPY).
EXTRAS ?= test,dataset,dask,plot
BUILD_ARGS ?=
PYTEST_ENV ?=
PYTHON_FOUND := $(shell PYTHON="$(PYTHON)" scripts/find-python)
VENV_PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests
STAMP := $(VENV)/.tarvel-installed

.PHONY: demo test check-layers test-cpp test-python test-pyg test-sanitize fuzz-long leak-check bench install wheel check-python clean

check-python:
	@test -n "$(PYTHON_FOUND)" || { echo "No suitable Python: see the message above." >&2; exit 1; }

$(VENV_PY): | check-python
	"$(PYTHON_FOUND)" -m venv $(VENV)
	$(VENV_PY) -m pip install --quiet --upgrade pip

# Reinstall whenever a source file changed.
$(STAMP): $(VENV_PY) pyproject.toml CMakeLists.txt $(wildcard src/*/*.cpp src/*/*.hpp src/*/*/*.cpp src/*/*/*.hpp src/*/*.map stubs/*/* python/*/* python/*/*/*)
	$(VENV_PY) -m pip install --quiet $(BUILD_ARGS) ".[$(EXTRAS)]" "$(NUMPY)"
	touch $@

install: $(STAMP)

demo: install
	$(VENV_PY) examples/quickstart.py
	$(VENV_PY) -m tarvel_tools generate --graphs 10000 --nodes 12 --dim 2 --seed 2024 \
		--shard-size 2500 --out demo-output/near-threshold
	$(VENV_PY) -m tarvel_tools summarize demo-output/near-threshold
	$(VENV_PY) examples/model_gallery.py demo-output/near-threshold demo-output/models.png

test: check-layers test-cpp test-python

# Includes and imports follow the layers (numeric <- graph <- framework <- models, reconstruction).
check-layers:
	scripts/check-layers

# The abi3 wheel, built by the CPython found above (from .venv): dist/tarvel-<version>-cp312-abi3-<platform>.whl
wheel: $(VENV_PY)
	$(VENV_PY) -m pip install --quiet build
	$(VENV_PY) -m build --wheel --outdir dist .

test-cpp:
	scripts/ensure-gtest
	cmake -S . -B $(CPP_BUILD) -DTARVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPP_BUILD) -j 2
	$(CPP_BUILD)/tarvel_core_tests --gtest_brief=1

test-python: install
	$(PYTEST_ENV) $(VENV_PY) -m pytest -q tests/python

# The C++ tests (leak detection on) and the Python suite against an extension
# built with AddressSanitizer and UndefinedBehaviorSanitizer; any finding fails.
# The C++ runtime is preloaded too: the sanitizer hooks exceptions only when
# it is present at start-up, and the interpreter itself does not link it.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
SANITIZED_ENV = env LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc TARVEL_SANITIZED=1 \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

test-sanitize:
	scripts/ensure-gtest
	cmake -S . -B build/cpp-asan -DTARVEL_BUILD_TESTS=ON -DTARVEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/cpp-asan -j 2
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		build/cpp-asan/tarvel_core_tests --gtest_brief=1
	$(MAKE) test-python VENV=.venv-asan \
		BUILD_ARGS="-Ccmake.define.TARVEL_SANITIZE=ON -Cbuild-dir=build/asan" \
		PYTEST_ENV='$(SANITIZED_ENV)'

test-pyg:
	$(MAKE) test-python VENV=.venv-pyg EXTRAS=test,dataset,dask,plot,pyg

fuzz-long: install
	TARVEL_FUZZ_PROFILE=long $(VENV_PY) -m pytest -q tests/python/tarvel/test_fuzz.py

leak-check: install
	$(VENV_PY) scripts/leak-check

bench: install
	$(VENV_PY) -m pip install --quiet scipy threadpoolctl scikit-learn pyrigi pyspqr
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OPENBLAS_NUM_THREADS=1 $(VENV_PY) benchmarks/run.py $(ARGS)

clean:
	rm -rf build dist demo-output $(VENV) .venv-*
