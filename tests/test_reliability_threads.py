"""Several threads calling the three functions at once get what serial calls get: the same values
bit for bit, and the same exceptions with the same single traceback entry of the module."""
import random
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
