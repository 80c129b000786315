"""Helpers shared by the test modules."""
import gc
import sys
import traceback

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


def assert_no_leak(call, watched=(), repeat=300):
    """Repeated calls of `call()` (which may raise) leave reference counts and blocks flat."""

    def run(times):
        for _ in range(times):
            try:
                call()
            except Exception:
                pass

    run(50)
    # Bounded caches (NumPy's, the interpreter's) may still fill during one window; a leak grows
    # in every window, so the smaller growth of two windows is what counts.
    growth = []
    for _ in range(2):
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in watched]
        blocks = sys.getallocatedblocks()
        run(repeat)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # A leak of one object per call would show as `repeat` blocks or more.
    assert min(growth) < repeat // 3


@pytest.fixture
def module_globals():
    """The module namespace; names rebound by a test are restored afterwards."""
    namespace = vars(core)
    saved = dict(namespace)
    yield namespace
    namespace.clear()
    namespace.update(saved)
