"""Coverage-guided fuzzing of the module with atheris, over the Hypothesis strategies of
tests/test_reliability_fuzz.py and with the same property.

atheris mutates byte strings; Hypothesis turns each one into arguments (fuzz_one_input). The
inputs that reach new branches, of the package's Python code and, in a build with
KRIGE_FUZZ_COVERAGE, of the module's own code, are kept in the corpus and mutated further. A
failing property stops the run, prints the arguments and leaves the input in a crash-* file.
Not part of CI:

    make fuzz-atheris                                   # init_variogram_model, 10 minutes
    make fuzz-atheris TARGET=adjust_anisotropy ATHERIS_ARGS=-max_total_time=3600

The target builds the module with clang and coverage counters into .venv-atheris. By hand, with
any environment where atheris is installed:

    python fuzz/atheris_core.py init_variogram_model CORPUS_DIR -max_total_time=600

Further arguments are libFuzzer's (-runs=N, -max_total_time=S, -jobs=N, corpus folders).
"""
import ctypes
import glob
import os
import sys

import atheris

TARGETS = ["adjust_anisotropy", "init_variogram_parameters", "init_variogram_model"]
ATHERIS = os.path.dirname(atheris.__file__)
TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")


def load(target):
    """The Hypothesis test of `target`, with the package imported now.

    A module built with KRIGE_FUZZ_COVERAGE calls hooks of libFuzzer as it loads. libFuzzer comes
    with atheris, which loads it only when fuzzing starts, and privately: its symbols are made
    global here, at the first input, before the package is imported.
    """
    for library in glob.glob(os.path.join(ATHERIS, "core_with_libfuzzer*.so")):
        ctypes.CDLL(library, mode=os.RTLD_GLOBAL | os.RTLD_NOLOAD)
    with atheris.instrument_imports(include=["orv"]):
        import orv._algos.spmis.krige  # noqa: F401  (its Python modules, instrumented)
    sys.path.insert(0, TESTS)
    import test_reliability_fuzz as fuzz_tests

    return getattr(fuzz_tests, f"test_fuzz_{target}").hypothesis.fuzz_one_input


def main():
    target = sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1] in TARGETS else TARGETS[2]
    # Hypothesis needs a few hundred bytes for arguments with arrays: start from inputs that long.
    if not any(arg.startswith("-max_len") for arg in sys.argv):
        sys.argv += ["-max_len=4096", "-len_control=0"]
    test = []

    def one_input(data):
        if not test:
            test.append(load(target))
        test[0](data)

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
