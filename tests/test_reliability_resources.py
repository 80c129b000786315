"""Absurd sizes end quickly in MemoryError or ValueError, reported at the line that asked for the
memory, never in a crash or a hang.

The calls run in a child process with a time limit, so that a hang or a crash fails the test
instead of stopping the suite. Every size here needs terabytes, so no allocation for it can
succeed on any machine, and each call fails at once.
"""
import json
import os
import subprocess
import sys
import textwrap

import pytest

# id: (call, exception, line of the module's traceback entry)
CASES = {
    "n_lags 10**12 PROJCS": ("model(P, V, 10**12, 'PROJCS')", "MemoryError", 93),
    "n_lags 10**12 GEOGCS": ("model(P, V, 10**12, 'GEOGCS')", "MemoryError", 93),
    # NumPy's arange gives an empty array for 2**63; np.zeros then refuses the size.
    "n_lags 2**63": ("model(P, V, 2**63, 'PROJCS')", "ValueError", 97),
    "n_lags 2**62": ("model(P, V, 2**62, 'PROJCS')", "ValueError", 93),
    "n_lags 10**100": ("model(P, V, 10**100, 'PROJCS')", "ValueError", 93),
    "n_lags -10**12": ("model(P, V, -10**12, 'PROJCS')", "ValueError", 97),
    # Integer values keep the streaming engine out (float64 samples of any number stream in
    # O(N) memory), so the statements ask for the pairs' terabytes.
    "10**6 samples PROJCS": ("model(np.zeros((10**6, 2)), np.zeros(10**6, int), 6, 'PROJCS')",
                             "MemoryError", 85),
    "10**6 samples GEOGCS": ("model(np.zeros((10**6, 2)), np.zeros(10**6, int), 6, 'GEOGCS')",
                             "MemoryError", 79),
    "10**6 samples without coordinates": (
        "model(np.zeros((10**6, 0)), np.zeros(10**6), 6, 'PROJCS')", "MemoryError", 85),
    "10**12 coordinates": ("adjust(np.zeros((0, 10**12)), 0, 1, 0)", "MemoryError", 20),
}

CHILD = """
    import json, sys, time, warnings
    import numpy as np
    from orv._algos.spmis.krige import core
    warnings.simplefilter("ignore")
    model, adjust = core.init_variogram_model, core.adjust_anisotropy
    P, V = np.array([[0.0, 0.0], [3.0, 4.0], [6.0, 8.0]]), np.array([1.0, 2.0, 4.0])
    for case, call in json.loads(sys.argv[1]).items():
        start = time.monotonic()
        try:
            eval(call)
            outcome = ["returned", None]
        except Exception as error:
            entries = [tb for tb in __import__("traceback").extract_tb(error.__traceback__)
                       if tb.filename == "orv/_algos/spmis/krige/core"]
            outcome = [type(error).__name__, [entry.lineno for entry in entries]]
        print(json.dumps([case, outcome, time.monotonic() - start]), flush=True)
"""


@pytest.fixture(scope="module")
def outcomes():
    calls = json.dumps({case: call for case, (call, _, _) in CASES.items()})
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), calls],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return {case: (outcome, seconds) for case, outcome, seconds in map(json.loads,
                                                                      done.stdout.splitlines())}


@pytest.mark.parametrize("case", CASES)
def test_absurd_size_fails_fast(outcomes, case):
    _, exception, line = CASES[case]
    outcome, seconds = outcomes[case]
    assert outcome == [exception, [line]]
    assert seconds < 10


MANY_CLASSES = """
import resource
import numpy as np
from orv.krige import variogram
rng = np.random.default_rng(5)
points, values = rng.random((30, 2)), rng.random(30)
with open("/proc/self/status") as status:
    size = next(int(l.split()[1]) for l in status if l.startswith("VmSize")) * 1024
# Room for the result (a few arrays of 10**6 numbers) and some bookkeeping, not for a kilobyte
# of exact sums for every class.
resource.setrlimit(resource.RLIMIT_AS, (size + (400 << 20), resource.RLIM_INFINITY))
result = variogram(points, values, 10**6)
print(result.counts.size, 0 < result.counts.sum() <= 435)
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.skipif(os.environ.get("KRIGE_SANITIZED") == "1",
                    reason="the sanitizers' shadow memory needs an unlimited address space")
def test_a_million_classes_cost_memory_near_the_result():
    run = subprocess.run([sys.executable, "-c", MANY_CLASSES], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["1000000", "True"]
