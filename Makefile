# Two commands do all the set-up:
#   make demo   - build and install tarvel into .venv, run examples/quickstart.py
#   make test   - C++ unit tests of the core, then the Python test suite
# Both find a CPython >= 3.12 themselves (override with PYTHON=...).

VENV ?= .venv
NUMPY ?= numpy>=2
PYTHON_FOUND := $(shell PYTHON="$(PYTHON)" scripts/find-python)
VENV_PY := $(VENV)/bin/python
CPP_BUILD := build/cpp-tests
STAMP := $(VENV)/.tarvel-installed

.PHONY: demo test test-cpp test-python bench install check-python clean

check-python:
	@test -n "$(PYTHON_FOUND)" || { echo "No suitable Python: see the message above." >&2; exit 1; }

$(VENV_PY): | check-python
	"$(PYTHON_FOUND)" -m venv $(VENV)
	$(VENV_PY) -m pip install --quiet --upgrade pip

# Reinstall whenever a source file changed.
$(STAMP): $(VENV_PY) pyproject.toml CMakeLists.txt $(wildcard src/*/*.cpp src/*/*.hpp stubs/*/*)
	$(VENV_PY) -m pip install --quiet "$(NUMPY)" pytest mypy
	$(VENV_PY) -m pip install --quiet .
	touch $@

install: $(STAMP)

demo: install
	$(VENV_PY) examples/quickstart.py

test: test-cpp test-python

test-cpp:
	scripts/ensure-gtest
	cmake -S . -B $(CPP_BUILD) -DTARVEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(CPP_BUILD) -j 2
	$(CPP_BUILD)/tarvel_core_tests --gtest_brief=1

test-python: install
	$(VENV_PY) -m pytest -q tests/python

bench: install
	$(VENV_PY) -m pip install --quiet scipy threadpoolctl scikit-learn pyrigi
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OPENBLAS_NUM_THREADS=1 $(VENV_PY) benchmarks/run.py $(ARGS)

clean:
	rm -rf build dist $(VENV) .venv-*
