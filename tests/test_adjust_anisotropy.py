"""adjust_anisotropy: S · R · (p − c) + c for every sample p."""
import types

import numpy as np
import pytest
from conftest import assert_no_leak, raises_at
from scipy.spatial.transform import Rotation

from orv._algos.spmis.krige import core

adjust = core.adjust_anisotropy
P2, P3 = [[1.0, 2.0], [3.0, 5.0]], [[1.0, 2.0, 3.0], [3.0, 5.0, 8.0]]
NUMPY_USED = ("array", "cos", "dot", "max", "pad", "radians", "sin")


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("d", [2, 3])
def test_rotates_then_stretches_about_center(d, seed):
    rng = np.random.default_rng(seed)
    points, center = rng.normal(size=(20, d)) * 100, rng.normal(size=d) * 10
    scale, angle = rng.uniform(0.2, 5, d - 1), rng.uniform(-360, 360, d)
    # The inverse of the rotations about the first, second and third axis by the angles, in turn.
    turns = Rotation.from_euler("XYZ" if d == 3 else "Z", angle if d == 3 else angle[0], True)
    r = turns.as_matrix().T[:d, :d]
    expected = (np.diag([1, *scale]) @ r @ (points - center).T).T + center
    result = adjust(points, center, scale, angle)
    np.testing.assert_allclose(result, expected, rtol=1e-12, atol=1e-9)


@pytest.mark.parametrize("points, center, scale, angle, result", [
    # The direction at 90 degrees is turned onto the first axis.
    ([[1, 0], [0, 1]], [0, 0], [1], [90], [[0, -1], [1, 0]]),
    ([[1, 0, 5], [0, 1, 5]], [0, 0, 0], [1], [0, 0, 90], [[0, -1, 5], [1, 0, 5]]),
    ([[3, 4], [-1, 2]], [1, 1], [2], [0], [[3, 7], [-1, 3]]),
])
def test_known_transforms(points, center, scale, angle, result):
    np.testing.assert_allclose(adjust(points, center, scale, angle), result, atol=1e-15)


@pytest.mark.parametrize("d", [2, 3])
def test_exact_cases(d):
    rng = np.random.default_rng(d)
    points, center = rng.normal(size=(6, d)), rng.normal(size=d)
    np.testing.assert_array_equal(adjust(points, center, [1], [0]), (points - center) + center)
    points[2] = center
    moved = adjust(points, center, rng.uniform(0.5, 2, 2), rng.uniform(0, 360, 3))
    np.testing.assert_array_equal(moved[2], center)


@pytest.mark.parametrize("d, given, meant", [
    (3, {"scale": [2.0]}, {"scale": [2.0, 2.0]}),
    (3, {"angle": [30]}, {"angle": [30, 30, 30]}),
    (3, {"angle": [10, 20]}, {"angle": [10, 20, 20]}),
    (2, {"scale": [2, 9], "angle": [30, 45, 60]}, {"scale": [2], "angle": [30]}),
    (3, {"scale": [2, 3, 99], "angle": [10, 20, 30, 40]}, {"scale": [2, 3], "angle": [10, 20, 30]}),
    (3, {"scale": [[2], [3]], "angle": [[10, 20], [30, 40]]},
     {"scale": [2, 3], "angle": [10, 20, 30]}),
])
def test_parameter_extension(d, given, meant):
    points = np.random.default_rng(0).normal(size=(4, d))
    base = {"center": np.ones(d), "scale": [1.5, 0.5], "angle": [25, 35, 45]}
    np.testing.assert_array_equal(adjust(points, **base | given), adjust(points, **base | meant))


FAILURES = [
    (ValueError, 20, None, (P2, [0, 0], [], [0])),
    (ValueError, 23, None, (P2, [0, 0], [1], [])),
    (ValueError, 46, "broadcast", (P2, [0, 0, 0], [1], [0])),
    (ValueError, 46, "broadcast", ([[1.0, 2, 3, 4]], [0, 0, 0], [1], [0])),
    (UnboundLocalError, 48, "^local variable 'stretch' referenced before assignment$",
     ([[1.0, 2, 3, 4]], [0, 0, 0, 0], [1], [0])),
    (UnboundLocalError, 48, "'stretch'", ([[1.0], [2.0]], [0], [1], [0])),
]


@pytest.mark.parametrize("exception, line, match, args", FAILURES)
def test_failure_lines(exception, line, match, args):
    raises_at(exception, "adjust_anisotropy", line, adjust, *args, match=match)


def test_one_dimensional_points_fail_at_shape(module_globals):
    module_globals["init_points"] = lambda p: np.asarray(p, float)
    raises_at(IndexError, "adjust_anisotropy", 18, adjust, [1.0, 2.0], [0], [1], [0])


@pytest.mark.parametrize("name, line", [("init_points", 17), ("to_numeric_array", 17), ("np", 20)])
def test_missing_global(module_globals, name, line):
    del module_globals[name]
    raises_at(NameError, "adjust_anisotropy", line, adjust, P2, [0, 0], [1], [0],
              match=f"^name '{name}' is not defined$")


def numpy_failing(name, call=0):
    """A stand-in for `np` whose `name` raises on its call number `call` (counting from 0)."""
    count = [0]

    def fail(*args, **kwargs):
        count[0] += 1
        if count[0] > call:
            raise ArithmeticError(name)
        return getattr(np, name)(*args, **kwargs)

    return types.SimpleNamespace(**{n: getattr(np, n) for n in NUMPY_USED} | {name: fail})


# The line of each successive call; each matrix entry calls np.cos or np.sin afresh.
CALL_LINES = [(2, "max", [20, 23]), (2, "pad", [20, 23]), (2, "radians", [24]),
              (2, "array", [27, 29]), (2, "cos", [29, 30]), (2, "sin", [29, 30]),
              (2, "dot", [48, 48]), (3, "array", [32, 35, 38, 41]),
              (3, "cos", [36, 37, 38, 40, 41, 42]), (3, "sin", [36, 37, 38, 40, 41, 42]),
              (3, "dot", [44, 44, 48, 48])]


@pytest.mark.parametrize("d, name, call, line", [
    (d, name, call, line) for d, name, lines in CALL_LINES for call, line in enumerate(lines)])
def test_numpy_failure_lines(module_globals, d, name, call, line):
    module_globals["np"] = numpy_failing(name, call)
    raises_at(ArithmeticError, "adjust_anisotropy", line, adjust, [P2, P3][d - 2], np.zeros(d),
              [2, 3], [10, 20, 30])


def test_arguments_unchanged(module_globals):
    module_globals["init_points"] = module_globals["to_numeric_array"] = np.asarray  # no copies
    rng = np.random.default_rng(1)
    args = [rng.normal(size=(6, 3)), rng.normal(size=3), np.array([2.0, 0.5]),
            np.array([[10.0, 20.0, 30.0]])]
    copies = [a.copy() for a in args]
    result = adjust(*args)
    for argument, copy in zip(args, copies):
        np.testing.assert_array_equal(argument, copy)
    assert not any(np.shares_memory(result, a) for a in args)


@pytest.mark.parametrize("failing, args", [
    (None, (P2, [1, 2], [2], [30])), (None, (P3, [1, 2, 3], [2, 3], [30, 40])),
    ("cos", (P3, [0, 0, 0], [2], [30])), ("dot", (P3, [0, 0, 0], [2], [30])),
] + [(None, f[3]) for f in FAILURES])
def test_no_leak(module_globals, failing, args):
    if failing:
        module_globals["np"] = numpy_failing(failing)
    watched = (*args, *(getattr(np, name) for name in NUMPY_USED))
    assert_no_leak(lambda: adjust(*args), watched=watched)
