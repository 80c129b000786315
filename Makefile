# Set-up and the two everyday commands: `make test` and `make demo`.
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)
PYTHON312  ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12)))
VENV       := .venv
PY         := $(VENV)/bin/python
SOURCES    := pyproject.toml CMakeLists.txt $(shell find native src -type f -not -name '*.so' -not -path '*/__pycache__/*' 2>/dev/null)

.PHONY: test demo bench install format clean

test: $(VENV)/.installed
	$(PY) -m pytest -q

# The test extra that $(VENV)/.installed installs includes the demo extra.
demo: $(VENV)/.installed
	$(PY) -m orv._algos.spmis.krige.demo --out out

install: $(VENV)/.installed

# Benchmarks run in a venv of their own, since the peers pin other SciPy versions.
BENCH_VENV := .venv-bench
bench:
	test -x $(BENCH_VENV)/bin/python || $(PYTHON312) -m venv $(BENCH_VENV)
	$(BENCH_VENV)/bin/python -m pip install -q --upgrade pip "scikit-build-core>=0.10" "cmake>=3.20" ninja
	$(BENCH_VENV)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/bench ".[bench]"
	cd benchmarks && ../$(BENCH_VENV)/bin/python bench_variogram.py $(BENCH_ARGS)

$(VENV)/bin/python:
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found under $(PYENV_ROOT)/versions" >&2; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "cmake>=3.20" ninja

# The build directory is kept so that a rebuild compiles only what changed.
$(VENV)/.installed: $(VENV)/bin/python $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/release ".[test]"
	@touch $@

format:
	$(VENV)/bin/clang-format -i native/*.cpp native/*.hpp native/geodesy/*.cpp

clean:
	rm -rf $(VENV) $(BENCH_VENV) build
