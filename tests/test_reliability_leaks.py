"""Leak checks over every path of the three functions: success, binding failures and each exception
a body raises. After a warm-up, repeated calls must leave the interpreter's allocated blocks flat
and the reference counts of the arguments, of DEFAULT_PARAMETERS and of the functions unchanged.

Under the sanitizer build objects come from malloc, which sys.getallocatedblocks() does not count;
there the reference counts are still checked.
"""
import types

import numpy as np
import pytest

from conftest import assert_no_leak, module_entries
from orv._algos.spmis.krige import core, error
from test_init_variogram_parameters import KeysWithBadContainer, MissingKeys

ADJUST, PARAMETERS, MODEL = "adjust_anisotropy", "init_variogram_parameters", "init_variogram_model"
DEF_LINES = {ADJUST: 15, PARAMETERS: 52, MODEL: 75}
P2 = np.array([[0.0, 0.0], [3.0, 4.0], [6.0, 8.0]])
P3 = np.array([[0.0, 0.0, 1.0], [3.0, 4.0, 2.0], [6.0, 8.0, 5.0]])
VALUES = np.array([1.0, 2.0, 4.0])
PARAMETER_DICT = {"Slope": 1.0, "Nugget": 0.5}
GOOD = {
    ADJUST: (P3, [1.0, 1.0, 1.0], [2.0, 0.5], [30.0, 10.0, 5.0]),
    PARAMETERS: ("Linear", PARAMETER_DICT),
    MODEL: (P2, VALUES, 3, "PROJCS"),
}
PARAMETER_NAMES = {
    ADJUST: ("points", "center", "scale", "angle"),
    PARAMETERS: ("model", "parameters"),
    MODEL: ("points", "values", "n_lags", "gtype"),
}


class HostileName(str):
    """A keyword name whose comparison raises."""

    def __eq__(self, other):
        raise LookupError("keyword comparison")

    __hash__ = str.__hash__


class RaisingItem(dict):
    def __getitem__(self, key):
        raise KeyError(key)


class RaisingOnProjected:
    """A coordinate type that is not "GEOGCS" and whose comparison with "PROJCS" raises."""

    def __eq__(self, other):
        if other == "PROJCS":
            raise RuntimeError("comparison")
        return False

    __hash__ = None


def non_exception_errors(namespace):
    """The package's error classes replaced by callables that return a plain object."""
    namespace["error"] = types.SimpleNamespace(
        SpmisError=lambda **kw: object(), ParameterError=lambda **kw: object(),
        ORVError=lambda *a: object())


def without(name):
    return lambda namespace: namespace.pop(name)


def extra_model(namespace):
    """A model in DEFAULT_PARAMETERS that the variogram module does not define."""
    namespace["DEFAULT_PARAMETERS"] = dict(namespace["DEFAULT_PARAMETERS"], Cubic=["A"])


def binding_cases():
    """Each kind of binding failure, for each function."""
    for name, good in GOOD.items():
        first, last = PARAMETER_NAMES[name][0], PARAMETER_NAMES[name][-1]
        rest = dict(zip(PARAMETER_NAMES[name][1:], good[1:]))
        for label, args, kwargs in [
            ("too few", good[:-1], {}),
            ("too many", (*good, None), {}),
            ("missing", (), rest),
            ("unexpected", good, {"extra": 1}),
            ("twice", good, {first: good[0]}),
            ("hostile keyword", good[:-1], {HostileName(last): good[-1]}),
        ]:
            exception = LookupError if label == "hostile keyword" else TypeError
            yield pytest.param(name, args, kwargs, None, exception, DEF_LINES[name],
                               id=f"{name}-binding-{label.replace(' ', '_')}")


def body_cases():
    """(function, args, setup, exception, line, id): success paths and each raised exception."""
    grid = [[0.0], [1.0]]
    gtype = RaisingOnProjected()
    return [
        (ADJUST, GOOD[ADJUST], None, None, None, "success 3-D"),
        (ADJUST, (P2, [1, 1], 2, 30), None, None, None, "success 2-D"),
        (ADJUST, ([[1], [1, 2]], 0, 2, 0), None, ValueError, 17, "ragged points"),
        (ADJUST, (P2, "centre", 2, 0), None, TypeError, 17, "text centre"),
        (ADJUST, (P2, [1, 1], "x", 0), None, TypeError, 19, "text scale"),
        (ADJUST, (P2, [1, 1], [], 0), None, ValueError, 20, "empty scale"),
        (ADJUST, (P2, [1, 1], 2, None), None, TypeError, 22, "no angle"),
        (ADJUST, (P2, [1, 1], 2, []), None, ValueError, 23, "empty angle"),
        (ADJUST, (P2, [1, 1, 1], 2, 0), None, ValueError, 46, "centre of wrong length"),
        (ADJUST, (grid, [0], 2, 0), None, UnboundLocalError, 48, "one column"),
        (ADJUST, GOOD[ADJUST], without("init_points"), NameError, 17, "missing global"),
        (PARAMETERS, ("Linear", None), None, None, None, "success None"),
        (PARAMETERS, GOOD[PARAMETERS], None, None, None, "success dict"),
        (PARAMETERS, (["Linear"], None), None, TypeError, 54, "unhashable model"),
        (PARAMETERS, ("Cubic", None), None, error.SpmisError, 55, "unknown model"),
        (PARAMETERS, ("Cubic", None), non_exception_errors, TypeError, 55, "raise rule"),
        (PARAMETERS, ("Linear", MissingKeys(PARAMETER_DICT)), None, LookupError, 62, "keys"),
        (PARAMETERS, ("Linear", KeysWithBadContainer()), None, ArithmeticError, 63, "membership"),
        (PARAMETERS, ("Linear", {"Slope": 1}), None, error.ParameterError, 65, "missing"),
        (PARAMETERS, ("Linear", RaisingItem(PARAMETER_DICT)), None, KeyError, 67, "item"),
        (PARAMETERS, ("Linear", [1, 2]), None, error.ORVError, 69, "not a dict"),
        (PARAMETERS, ("Cubic", None), extra_model, AttributeError, 71, "undefined model"),
        (MODEL, GOOD[MODEL], None, None, None, "success PROJCS"),
        (MODEL, (P2, VALUES, 3, "GEOGCS"), None, None, None, "success GEOGCS"),
        (MODEL, ([[1], [1, 2]], VALUES, 3, "PROJCS"), None, ValueError, 77, "ragged points"),
        (MODEL, (P2, VALUES, 3, np.array([1, 2])), None, ValueError, 78, "ambiguous gtype"),
        (MODEL, (P3, VALUES, 3, "GEOGCS"), None, ValueError, 79, "three columns GEOGCS"),
        (MODEL, (P2, None, 3, "GEOGCS"), None, TypeError, 80, "no values GEOGCS"),
        (MODEL, (P2, VALUES[:2], 3, "GEOGCS"), None, IndexError, 83, "short values GEOGCS"),
        (MODEL, (P2, VALUES, 3, gtype), None, RuntimeError, 84, "raising gtype"),
        (MODEL, (P2, 1.0, 3, "PROJCS"), None, TypeError, 86, "scalar values"),
        (MODEL, (P2, VALUES, 3, "LOCAL"), None, error.SpmisError, 88, "unknown gtype"),
        (MODEL, (P2, VALUES, 3, "LOCAL"), non_exception_errors, TypeError, 88, "raise rule"),
        (MODEL, (P2[:1], VALUES[:1], 3, "PROJCS"), None, ValueError, 90, "one sample"),
        (MODEL, (P2, VALUES, "3", "PROJCS"), None, TypeError, 92, "text n_lags"),
        (MODEL, (P2, VALUES, 10**12, "PROJCS"), None, MemoryError, 93, "huge n_lags"),
        (MODEL, (P2, VALUES, -1, "PROJCS"), None, ValueError, 97, "negative n_lags"),
        (MODEL, (P2, VALUES[:2], 3, "PROJCS"), None, IndexError, 101, "short values"),
        (MODEL, GOOD[MODEL], without("spatial"), NameError, 85, "missing global"),
    ]


CASES = [*binding_cases()] + [
    pytest.param(name, args, {}, setup, exception, line, id=f"{name}-{label.replace(' ', '_')}")
    for name, args, setup, exception, line, label in body_cases()
]


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name, args, kwargs, setup, exception, line", CASES)
def test_repeated_calls_leave_nothing_behind(request, module_globals, name, args, kwargs, setup,
                                              exception, line):
    if setup:
        setup(module_globals)
    function = getattr(core, name)
    call = lambda: function(*args, **kwargs)  # noqa: E731
    if exception is None:
        call()
    else:
        with pytest.raises(exception) as info:
            call()
        assert [(e.name.rsplit(".", 1)[1], e.lineno) for e in module_entries(info.value)] == [
            (name, line)]
    watched = (*args, *kwargs.values(), module_globals["DEFAULT_PARAMETERS"],
               core.adjust_anisotropy, core.init_variogram_parameters, core.init_variogram_model)
    per_call = assert_no_leak(call, watched)
    print(f"\n{request.node.callspec.id}: {per_call:+.3f} blocks per call", end="")
