"""Several threads calling the three functions at once get what serial calls get: the same values
bit for bit, and the same exceptions with the same single traceback entry of the module."""
import os
import random
import subprocess
import sys
import threading

import numpy as np
import pytest

from conftest import module_entries
from orv._algos.spmis.krige import core

THREADS = 6
ROUNDS = 15

rng = np.random.default_rng(7)
POINTS_2D = rng.random((40, 2)) * 50.0
POINTS_3D = rng.random((25, 3)) * 10.0
VALUES = rng.normal(size=40)
CALLS = [
    (core.adjust_anisotropy, (POINTS_2D, [1.0, 2.0], [3.0], [30.0])),
    (core.adjust_anisotropy, (POINTS_3D, [0.0, 1.0, 2.0], [2.0, 0.5], [10.0, 20.0, 30.0])),
    (core.adjust_anisotropy, (POINTS_2D, [1.0, 2.0, 3.0], [3.0], [30.0])),  # ValueError, line 46
    (core.init_variogram_parameters, ("Gaussian", {"PSill": 1.0, "Range": 2.0, "Nugget": 0.1})),
    (core.init_variogram_parameters, ("Power", {"Scale": 1.0})),  # ParameterError, line 65
    (core.init_variogram_parameters, ("Cubic", None)),  # SpmisError, line 55
    (core.init_variogram_model, (POINTS_2D, VALUES, 8, "PROJCS")),
    (core.init_variogram_model, (POINTS_2D, VALUES, 5, "GEOGCS")),
    (core.init_variogram_model, (POINTS_3D, VALUES[:25], 6, "PROJCS")),
    (core.init_variogram_model, (POINTS_2D, VALUES, 5, "LOCAL")),  # SpmisError, line 88
    (core.init_variogram_model, (POINTS_2D, VALUES, -1, "PROJCS")),  # ValueError, line 97
]


def describe(value):
    """What a call gave, in a form that compares bit for bit."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, [describe(item) for item in value])
    return ("object", value)


def outcome(function, args):
    try:
        return describe(function(*args))
    except Exception as error:
        entries = [(entry.name, entry.lineno) for entry in module_entries(error)]
        return ("raised", type(error), str(error), entries)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_threads_match_serial_calls():
    expected = [outcome(function, args) for function, args in CALLS]
    assert sum(result[0] == "raised" for result in expected) == 5

    # Switch threads as often as the interpreter allows, to interleave the calls finely.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    start = threading.Barrier(THREADS)
    mismatches, crashes = [], []

    def worker(seed):
        order = list(range(len(CALLS))) * ROUNDS
        random.Random(seed).shuffle(order)
        start.wait()
        for index in order:
            try:
                got = outcome(*CALLS[index])
            except BaseException as error:  # noqa: BLE001 - reported below
                crashes.append(error)
                return
            if got != expected[index]:
                mismatches.append((index, got))

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=300)
    finally:
        sys.setswitchinterval(previous)
    assert not any(thread.is_alive() for thread in threads)
    assert not crashes
    assert not mismatches


# ---- The thread setting and threads that cannot start --------------------------------------------

from orv._algos.spmis.krige import threads as thread_setting  # noqa: E402


@pytest.mark.parametrize("count, expected", [(256, 256), (257, 256), (2**63, 256), (10**21, 256)])
def test_counts_beyond_the_engines_maximum_are_lowered_with_a_warning(count, expected):
    saved = thread_setting.get_num_threads()
    try:
        if count > thread_setting.MOST_THREADS:
            with pytest.warns(RuntimeWarning, match=f"using {thread_setting.MOST_THREADS}"):
                thread_setting.set_num_threads(count)
        else:
            thread_setting.set_num_threads(count)
        assert thread_setting.get_num_threads() == expected
    finally:
        thread_setting.set_num_threads(saved)


def test_huge_count_from_the_environment_is_lowered_with_a_warning():
    script = ("import warnings; warnings.simplefilter('always')\n"
              "from orv._algos.spmis.krige import threads\n"
              "print(threads.get_num_threads())")
    env = {**os.environ, "ORV_KRIGE_NUM_THREADS": "1" + "0" * 20}
    run = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "256"
    assert "ORV_KRIGE_NUM_THREADS='100000000000000000000'" in run.stderr
    assert "RuntimeWarning" in run.stderr


# Each worker thread reserves a stack of several megabytes; an address-space limit a little above
# what the process already uses lets only a few of 256 threads start. The calls must still finish,
# on the threads that started and the calling thread, with the results of one thread.
TIGHT_ADDRESS_SPACE = """
import resource, sys
import numpy as np
from orv._algos.spmis.krige import core, geodesy, threads
from orv.krige import _engine
rng = np.random.default_rng(3)
points, values = rng.random((400, 2)) * 10.0, rng.random(400)
degrees = np.column_stack([rng.uniform(-180, 180, 300), rng.uniform(-90, 90, 300)])
edges = np.linspace(0.0, 5.0, 6)

def results():
    return [core.init_variogram_model(points, values, 7, "PROJCS"),
            core.init_variogram_model(degrees, values[:300], 5, "GEOGCS"),
            geodesy.great_circle_distance(degrees, degrees),
            _engine.pair_sums(points, values, edges, False, 0, None, None, True, 256)]

threads._min_pairs_for_threads = 1
threads.set_num_threads(1)
serial = results()
serial[3] = _engine.pair_sums(points, values, edges, False, 0, None, None, True, 1)
threads.set_num_threads(256)
with open("/proc/self/status") as status:
    size = next(int(l.split()[1]) for l in status if l.startswith("VmSize")) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (48 << 20), resource.RLIM_INFINITY))
limited = results()
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
for a, b in zip(serial, limited):
    a, b = (a if isinstance(a, tuple) else (a,)), (b if isinstance(b, tuple) else (b,))
    assert all(x.tobytes() == y.tobytes() for x, y in zip(a, b))
print("same")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
@pytest.mark.skipif(os.environ.get("KRIGE_SANITIZED") == "1",
                    reason="the sanitizers' shadow memory needs an unlimited address space")
def test_threads_that_cannot_start_leave_the_work_to_the_others():
    run = subprocess.run([sys.executable, "-c", TIGHT_ADDRESS_SPACE], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "same"
