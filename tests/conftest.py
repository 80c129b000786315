"""Helpers shared by the test modules."""
import gc
import sys
import traceback
from pathlib import Path
import warnings

import pytest

from orv._algos.spmis.krige import core

MODULE_FILE = "orv/_algos/spmis/krige/core"


def module_entries(error):
    """The traceback entries that the native module added to `error`."""
    return [
        frame
        for frame in traceback.extract_tb(error.__traceback__)
        if frame.filename == MODULE_FILE
    ]


def assert_reported_at(error, function, line):
    """`error` carries exactly one entry of the module: `function` at `line`."""
    entries = module_entries(error)
    assert [(e.name, e.lineno) for e in entries] == [
        (f"orv._algos.spmis.krige.core.{function}", line)
    ]


def raises_at(exception, function, line, call, *args, match=None, **kwargs):
    """Calls call(*args, **kwargs), expecting `exception` reported at `line` of `function`."""
    with pytest.raises(exception, match=match) as info:
        call(*args, **kwargs)
    assert_reported_at(info.value, function, line)
    return info.value


def assert_no_leak(call, watched=(), repeat=300, rounds=3):
    """Repeated calls of `call()` (which may raise) leave reference counts and blocks flat.

    The blocks are counted over `rounds` runs of `repeat` calls each. The interpreter's and
    NumPy's caches and free lists make single runs of a few hundred calls grow and shrink by up to
    a few hundred blocks, but only a leak makes every run grow by about `repeat` blocks or more.
    Returns the smallest growth per call.
    """

    def run(times):
        for _ in range(times):
            try:
                call()
            except Exception:
                pass

    run(50)
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    growth = [0] * rounds  # made before counting, as is everything the loop keeps
    for i in range(rounds):
        blocks = sys.getallocatedblocks()
        run(repeat)
        gc.collect()
        growth[i] = sys.getallocatedblocks() - blocks
        assert [sys.getrefcount(obj) for obj in watched] == counts
    assert min(growth) < repeat // 3, growth
    return min(growth) / repeat


class CollidingName:
    """A dictionary key with the hash of the string `name` whose every comparison raises
    `error`: a look-up of `name` in a dictionary that holds it fails with `error`."""

    def __init__(self, name, error):
        self.name, self.error = name, error

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise self.error


@pytest.fixture
def module_globals():
    """The module namespace; names rebound by a test are restored afterwards."""
    namespace = vars(core)
    saved = dict(namespace)
    yield namespace
    namespace.clear()
    namespace.update(saved)


#: The Meuse survey lives in the repository, outside the package, under a licence of its own.
MEUSE_CSV = Path(__file__).resolve().parents[1] / "data" / "meuse.csv"


@pytest.fixture(scope="session")
def meuse_csv():
    """Path of the repository's Meuse survey; the test is skipped outside a repository."""
    if not MEUSE_CSV.is_file():
        pytest.skip(f"{MEUSE_CSV} is not present (it is not part of the package)")
    return MEUSE_CSV
def outcome(points, values, n_lags, gtype):
    """init_variogram_model's result bytes (or error and its module lines) and its warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = core.init_variogram_model(points, values, n_lags, gtype)
        except Exception as error:
            result = (type(error), str(error), [e.lineno for e in module_entries(error)])
        else:
            result = tuple((array.dtype.str, array.tobytes()) for array in result)
    return result, [(w.category, str(w.message)) for w in caught]
