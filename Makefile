# Set-up and the two everyday commands: `make test` and `make demo`.
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)
PYTHON312  ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.12.*/bin/python3.12)))
VENV       := .venv
PY         := $(VENV)/bin/python
SOURCES    := pyproject.toml CMakeLists.txt $(shell find native src -type f -not -name '*.so' -not -path '*/__pycache__/*' 2>/dev/null)

.PHONY: test demo bench bench-public bench-dask bench-kriging install format clean sanitize fuzz fuzz-sanitize fuzz-atheris py313

test: $(VENV)/.installed
	$(PY) -m pytest -q

# The test extra that $(VENV)/.installed installs includes the demo extra.
demo: $(VENV)/.installed
	$(PY) -m orv.krige.demo --out out

install: $(VENV)/.installed

# Benchmarks run in a venv of their own, since the peers pin other SciPy versions. It is made by
# the pattern rules below, with the bench extra in place of the test extra.
BENCH_VENV := .venv-bench
$(BENCH_VENV)/.installed: BUILD_DIR = build/bench
$(BENCH_VENV)/.installed: EXTRAS = bench

# The classic functions against a NumPy reference and the peers, and the streaming engine at large N.
bench: $(BENCH_VENV)/.installed
	cd benchmarks && ../$(BENCH_VENV)/bin/python bench_variogram.py $(BENCH_ARGS)

# The public variogram: speed goals, peak memory, peers. BENCH_ARGS=--quick: a spot check;
# BENCH_ARGS=--peers-50000 adds the peers at N = 50,000.
bench-public: $(BENCH_VENV)/.installed
	cd benchmarks && ../$(BENCH_VENV)/bin/python bench_public.py $(BENCH_ARGS)

# Kriging: speed goals against R gstat (when installed) and GSTools, peak memory,
# determinism. BENCH_ARGS=--quick: a spot check; BENCH_ARGS=--no-r-cv skips R's krige.cv.
bench-kriging: $(BENCH_VENV)/.installed
	cd benchmarks && ../$(BENCH_VENV)/bin/python bench_kriging.py $(BENCH_ARGS)

# The variogram on a two-worker Dask LocalCluster against the local engine on the same two cores,
# with a worker killed mid-run. BENCH_ARGS="--n 100000 --repeats 1": a spot check.
bench-dask: $(VENV)/.installed
	cd benchmarks && ../$(PY) bench_dask.py $(BENCH_ARGS)

# Every virtual environment is made the same way; BASE_PYTHON says from which interpreter.
BASE_PYTHON = $(PYTHON312)
.PRECIOUS: %/bin/python
%/bin/python:
	@test -n "$(BASE_PYTHON)" || { echo "no interpreter for $* under $(PYENV_ROOT)/versions" >&2; exit 1; }
	$(BASE_PYTHON) -m venv $*
	$@ -m pip install -q --upgrade pip
	$@ -m pip install -q "scikit-build-core>=0.11.1" "cmake>=3.20" ninja

# Each environment has a build directory of its own, kept so that a rebuild compiles only what
# changed.
BUILD_DIR = build/release
BUILD_OPTIONS =
EXTRAS = test
%/.installed: %/bin/python $(SOURCES)
	$*/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) $(BUILD_OPTIONS) ".[$(EXTRAS)]"
	@touch $@

# ---- Reliability: sanitizers, fuzzing, other interpreters ---------------------------------------

# The extension built with AddressSanitizer and UndefinedBehaviorSanitizer, in an environment of
# its own. The interpreter is not instrumented, so the ASan runtime is preloaded, together with the
# C++ runtime: without it ASan cannot forward the C++ exceptions that SciPy's extensions throw.
# Objects are allocated with malloc rather than the interpreter's pools, so that ASan sees each of
# them. Leaks of the interpreter itself are not reported; a failing allocation raises MemoryError
# instead of aborting. Reports go to files in SANITIZER_LOGS, also those of child processes whose
# failure a test expects; anything there but the notes on refused allocations fails the run.
ASAN_VENV      := .venv-asan
SANITIZER_LOGS := $(CURDIR)/build/sanitizer-reports
$(ASAN_VENV)/.installed: BUILD_DIR = build/asan
$(ASAN_VENV)/.installed: BUILD_OPTIONS = -Ccmake.define.KRIGE_SANITIZE=ON
SANITIZER_ENV   = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc KRIGE_SANITIZED=1 \
    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:log_path=$(SANITIZER_LOGS)/asan \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SANITIZER_LOGS)/ubsan
# $(call sanitized,pytest arguments): runs pytest under the sanitizers; fails on any report.
sanitized = rm -rf $(SANITIZER_LOGS) && mkdir -p $(SANITIZER_LOGS) && \
    { $(SANITIZER_ENV) $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(1); status=$$?; } ; \
    if cat $(SANITIZER_LOGS)/* 2>/dev/null | grep -v "WARNING: AddressSanitizer failed to allocate"; then \
        echo "sanitizer reports above (in $(SANITIZER_LOGS))" >&2; exit 1; fi; exit $$status

# Hypothesis profile of the fuzz tests: ci (200 examples a function, fixed seed), deep (5,000,
# random seed) or long (100,000, random seed): `make fuzz FUZZ_PROFILE=long`.
FUZZ_PROFILE  ?= deep
FUZZ_TESTS    := tests/test_reliability_fuzz.py

# Coverage-guided fuzzing with atheris and libFuzzer (fuzz/atheris_core.py), not part of CI: the
# module built with clang and coverage counters, in an environment of its own.
# `make fuzz-atheris TARGET=adjust_anisotropy ATHERIS_ARGS=-max_total_time=3600`
CLANGXX       ?= $(lastword $(sort $(wildcard /usr/bin/clang++ /usr/bin/clang++-[0-9]*)))
ATHERIS_VENV  := .venv-atheris
TARGET        ?= init_variogram_model
ATHERIS_ARGS  ?= -max_total_time=600
$(ATHERIS_VENV)/.installed: BUILD_DIR = build/atheris
$(ATHERIS_VENV)/.installed: BUILD_OPTIONS = -Ccmake.define.KRIGE_FUZZ_COVERAGE=ON
$(ATHERIS_VENV)/.installed: export CXX = $(CLANGXX)

# CPython 3.13: the module must build there and warn at import that it was written for 3.12.
# PY313_TESTS=tests runs the whole suite there.
PYTHON313     ?= $(lastword $(sort $(wildcard $(PYENV_ROOT)/versions/3.13.*/bin/python3.13)))
VENV313       := .venv-313
PY313_TESTS   ?= tests/test_reliability_interpreters.py tests/test_frame.py::test_second_interpreter_is_refused
$(VENV313)/bin/python: BASE_PYTHON = $(PYTHON313)
$(VENV313)/.installed: BUILD_DIR = build/py313

sanitize: $(ASAN_VENV)/.installed
	@$(call sanitized,)

fuzz: $(VENV)/.installed
	KRIGE_FUZZ_PROFILE=$(FUZZ_PROFILE) $(PY) -m pytest -q $(FUZZ_TESTS)

fuzz-sanitize: $(ASAN_VENV)/.installed
	@export KRIGE_FUZZ_PROFILE=$(FUZZ_PROFILE); $(call sanitized,$(FUZZ_TESTS))

fuzz-atheris:
	@test -n "$(CLANGXX)" || { echo "fuzz-atheris needs clang: apt-get install clang" >&2; exit 1; }
	$(MAKE) $(ATHERIS_VENV)/.installed
	$(ATHERIS_VENV)/bin/python -m pip install -q atheris
	mkdir -p build/atheris-corpus/$(TARGET)
	$(ATHERIS_VENV)/bin/python fuzz/atheris_core.py $(TARGET) build/atheris-corpus/$(TARGET) \
	    -artifact_prefix=build/atheris-$(TARGET)- $(ATHERIS_ARGS)

py313:
ifeq ($(PYTHON313),)
	@echo "py313: SKIPPED, no CPython 3.13 under $(PYENV_ROOT)/versions"
else
	$(MAKE) $(VENV313)/.installed
	$(VENV313)/bin/python -m pytest -q -p no:cacheprovider \
	    -W "ignore:compile time Python version:RuntimeWarning" $(PY313_TESTS)
endif

format:
	$(VENV)/bin/clang-format -i $$(find native -name "*.cpp" -o -name "*.hpp")

clean:
	rm -rf $(VENV) $(BENCH_VENV) $(ASAN_VENV) $(ATHERIS_VENV) $(VENV313) build
