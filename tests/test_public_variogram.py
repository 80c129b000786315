"""orv.krige.variogram: exact class means against a brute-force reference, options, misuse."""
import dataclasses
import math
import warnings
from decimal import Decimal, localcontext
from fractions import Fraction

import numpy as np
import pytest

import orv.krige
from orv.krige import ExperimentalVariogram, great_circle_distance, variogram
from orv.krige import _engine


def reference(points, values, edges, gtype="PROJCS", estimator="matheron", direction=None,
              tolerance=22.5, bandwidth=None):
    """Every pair i < j in plain Python floats; exact class means with Fraction."""
    points = np.asarray(points, dtype=float).reshape(len(values), -1)
    values = [float(v) for v in values]
    edges = [float(e) for e in edges]
    n = len(edges) - 1
    geographic = great_circle_distance(points, points) if gtype == "GEOGCS" else None
    classes = [[] for _ in range(n)]
    for i in range(len(values)):
        for j in range(i + 1, len(values)):
            if geographic is not None:
                h = float(geographic[i, j])
            else:
                total = 0.0
                for k in range(points.shape[1]):
                    t = float(points[i, k]) - float(points[j, k])
                    total = total + t * t
                h = math.sqrt(total)
            if direction is not None and h != 0.0 and not along(
                    points[i, :2], points[j, :2], direction, tolerance, bandwidth):
                continue
            k = next((k for k in range(n) if edges[k] <= h < edges[k + 1]), None)
            if k is None and h == edges[n]:
                k = n - 1
            if k is None:
                continue
            dv = values[i] - values[j]
            value = 0.5 * (dv * dv) if estimator == "matheron" else math.sqrt(abs(dv))
            classes[k].append((h, value))
    counts = np.array([len(c) for c in classes], dtype=np.int64)
    lags, means = np.full(n, np.nan), np.full(n, np.nan)
    for k, members in enumerate(classes):
        if members:
            lags[k] = exact_mean([h for h, _ in members])
            means[k] = exact_mean([g for _, g in members])
    return counts, lags, means


# Directions decided in 60-digit decimal arithmetic from the exact coordinate differences and
# the angles in degrees; within 1e-40 of a bound a pair is on it, and counts.
PRECISION, ON_BOUND = 60, Decimal("1e-40")
PI = Decimal("3.14159265358979323846264338327950288419716939937510582097494459230781640629")


def _cos_sin(degrees):
    with localcontext() as context:
        context.prec = PRECISION + 10
        x = Decimal(degrees) % 360 * PI / 180
        cos, sin, term, k = Decimal(0), Decimal(0), Decimal(1), 0
        while True:  # the Taylor series of exp(ix), split into its real and imaginary parts
            if k % 4 == 0:
                cos += term
            elif k % 4 == 1:
                sin += term
            elif k % 4 == 2:
                cos -= term
            else:
                sin -= term
            k += 1
            term = term * x / k
            if abs(term) < Decimal(10) ** -(PRECISION + 5):
                return +cos, +sin


def along(a, b, direction, tolerance, bandwidth):
    """Whether the separation a -> b lies within `tolerance` degrees of `direction` (either
    sense) and within `bandwidth` of the direction line; both bounds inclusive."""
    with localcontext() as context:
        context.prec = PRECISION
        dx = Decimal(float(b[0])) - Decimal(float(a[0]))
        dy = Decimal(float(b[1])) - Decimal(float(a[1]))
        ux, uy = _cos_sin(direction)
        if tolerance < 90:
            ct, _ = _cos_sin(tolerance)
            lhs, rhs = (dx * ux + dy * uy) ** 2, ct * ct * (dx * dx + dy * dy)
            if lhs < rhs - ON_BOUND * rhs:
                return False
        if bandwidth is not None:
            across, width = abs(dy * ux - dx * uy), Decimal(float(bandwidth))
            if across > width + ON_BOUND * max(width, abs(dx) + abs(dy)):
                return False
        return True


def exact_mean(numbers):
    """The correctly rounded mean; infinite if a value overflowed."""
    if math.inf in numbers:
        return math.inf
    return float(sum(map(Fraction, numbers)) / len(numbers))


def cressie(m, n):
    with np.errstate(divide="ignore", invalid="ignore"):
        return 0.5 * m**4 / (0.457 + 0.494 / n + 0.045 / n**2)


def grid_samples(n, seed, columns=2):
    """Integer coordinates (ties, duplicates, pairs on integer and root edges), varied values."""
    rng = np.random.default_rng(seed)
    points = rng.integers(0, 5, size=(n, columns)).astype(float)
    values = rng.normal(size=n) * 10.0 ** rng.integers(-3, 4, size=n)
    return points, values


EDGES = [0.0, 1.0, math.sqrt(2.0), 2.0, 3.0, 5.0]


@pytest.mark.parametrize("estimator", ["matheron", "cressie"])
@pytest.mark.parametrize("case", [
    dict(columns=1), dict(columns=2), dict(columns=3),
    dict(columns=2, direction=0.0), dict(columns=2, direction=45.0, tolerance=10.0),
    dict(columns=2, direction=120.0, tolerance=40.0, bandwidth=1.5),
    dict(columns=2, direction=-30.0, tolerance=90.0, bandwidth=2.0),
])
@pytest.mark.parametrize("n", [2, 30])
def test_projected_classes_equal_the_exact_reference(case, estimator, n):
    options = dict(case)
    points, values = grid_samples(n, seed=n, columns=options.pop("columns"))
    result = variogram(points, values, EDGES, estimator=estimator, **options)
    counts, lags, means = reference(points, values, EDGES, estimator=estimator, **options)
    np.testing.assert_array_equal(result.counts, counts)
    assert result.lags.tobytes() == lags.tobytes()
    if estimator == "matheron":
        assert result.semivariance.tobytes() == means.tobytes()
    else:
        np.testing.assert_allclose(result.semivariance, cressie(means, counts), rtol=1e-15)


@pytest.mark.parametrize("estimator", ["matheron", "cressie"])
def test_geographic_classes_equal_the_exact_reference(estimator):
    rng = np.random.default_rng(5)
    points = np.c_[rng.uniform(-179.0, 179.0, 40), rng.uniform(-89.0, 89.0, 40)]
    points[1] = points[0]
    points[2] = [points[3, 0] + 360.0, points[3, 1]]
    values = rng.normal(size=40)
    edges = [0.0, 500.0, 2000.0, 8000.0, 20016.0]
    result = variogram(points, values, edges, gtype="GEOGCS", estimator=estimator)
    counts, lags, means = reference(points, values, edges, gtype="GEOGCS", estimator=estimator)
    np.testing.assert_array_equal(result.counts, counts)
    assert result.lags.tobytes() == lags.tobytes()
    semivariance = means if estimator == "matheron" else cressie(means, counts)
    np.testing.assert_allclose(result.semivariance, semivariance, rtol=1e-15)
    assert (result.unit, result.gtype) == ("km", "GEOGCS")


@pytest.mark.parametrize("coordinate_scale", [1e-310, 3e-170, 1e150])
@pytest.mark.parametrize("estimator", ["matheron", "cressie"])
def test_extreme_magnitudes_equal_the_exact_reference(coordinate_scale, estimator):
    rng = np.random.default_rng(11)
    points = rng.integers(0, 4, size=(16, 2)) * coordinate_scale
    # Subnormal and huge values: squared differences underflow or overflow to infinity.
    values = rng.normal(size=16) * np.array([1e-320, 1e-160, 1.0, 1e154, 1e200] * 3 + [1.0])
    edges = np.array([0.0, 0.5, 1.5, 2.9, 5.0]) * coordinate_scale
    result = variogram(points, values, edges, estimator=estimator)
    counts, lags, means = reference(points, values, edges, estimator=estimator)
    np.testing.assert_array_equal(result.counts, counts)
    assert result.lags.tobytes() == lags.tobytes()
    if estimator == "matheron":
        assert np.isinf(means).any()
        assert result.semivariance.tobytes() == means.tobytes()


def test_classes_are_half_open_and_the_last_is_closed():
    points = [0.0, 1.0, 2.0, 3.0, 4.5]
    result = variogram(points, [0.0, 1.0, 0.0, 1.0, 0.0], [1.0, 2.0, 3.0])
    # [1, 2): distances 1, 1, 1, 1.5; [2, 3]: 2, 2, 2.5, 3 (closed); 3.5 and 4.5 are beyond.
    np.testing.assert_array_equal(result.counts, [4, 4])


def test_empty_classes_are_nan_and_zero():
    result = variogram([[0.0, 0.0], [3.0, 4.0]], [1.0, 3.0], 4, max_lag=8.0)
    np.testing.assert_array_equal(result.counts, [0, 0, 1, 0])
    np.testing.assert_array_equal(result.lags, [np.nan, np.nan, 5.0, np.nan])
    np.testing.assert_array_equal(result.semivariance, [np.nan, np.nan, 2.0, np.nan])


def test_int_bins_are_linspace_edges():
    points, values = grid_samples(30, seed=1)
    by_count = variogram(points, values, 4, max_lag=3.5)
    by_edges = variogram(points, values, list(np.linspace(0.0, 3.5, 5)))
    assert by_count == by_edges
    assert by_count.edges.tobytes() == np.linspace(0.0, 3.5, 5).tobytes()
    assert by_count.max_lag == 3.5


def test_default_max_lag_is_a_third_of_the_extent():
    points = [[1.0, 2.0], [4.0, 2.0], [1.0, 6.0], [2.0, 3.0]]
    assert variogram(points, [1, 2, 3, 4]).max_lag == 5.0 / 3.0
    lon_lat = [[5.0, 50.0], [6.5, 50.2], [5.2, 51.0]]
    corners = great_circle_distance([[5.0, 50.0]], [[6.5, 51.0]])[0, 0]
    result = variogram(lon_lat, [1, 2, 3], 3, gtype="GEOGCS")
    assert result.max_lag == corners / 3.0
    assert result.edges.tobytes() == np.linspace(0.0, corners / 3.0, 4).tobytes()


def test_samples_at_one_location():
    with pytest.raises(ValueError, match="max_lag cannot be derived"):
        variogram([[1.0, 1.0]] * 3, [1.0, 2.0, 4.0])
    result = variogram([[1.0, 1.0]] * 3, [1.0, 2.0, 4.0], 2, max_lag=1.0, direction=10.0)
    np.testing.assert_array_equal(result.counts, [3, 0])
    assert result.semivariance[0] == (0.5 + 2.0 + 4.5) / 3


def test_cressie_hawkins_formula():
    result = variogram([0.0, 1.0, 2.0], [0.0, 1.0, 5.0], [0.0, 10.0], estimator="cressie")
    # Pairs: |0-1| = 1, |0-5| = 5, |1-5| = 4: m = (1 + sqrt 5 + 2) / 3.
    m = (1.0 + math.sqrt(5.0) + 2.0) / 3.0
    assert result.semivariance[0] == pytest.approx(cressie(m, 3), rel=1e-15)
    assert result.counts[0] == 3


SQUARE = [[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [1.0, 1.0]]


@pytest.mark.parametrize("direction, tolerance, expected", [
    (0.0, 22.5, [2, 0]),     # the two horizontal sides
    (180.0, 22.5, [2, 0]),   # either sense
    (90.0, 22.5, [2, 0]),    # the two vertical sides
    (45.0, 22.5, [0, 1]),    # one diagonal
    (-45.0, 1.0, [0, 1]),    # the other diagonal
    (20.0, 22.5, [2, 0]),    # horizontal sides 20 degrees off; the diagonal 25 degrees off
    (20.0, 30.0, [2, 1]),
    (10.0, 90.0, [4, 2]),    # every pair
])
def test_directional_selection_on_a_square(direction, tolerance, expected):
    result = variogram(SQUARE, [0, 1, 2, 3], [0.5, 1.2, 1.5], direction=direction,
                       tolerance=tolerance)
    np.testing.assert_array_equal(result.counts, expected)
    assert (result.direction, result.tolerance) == (direction, tolerance)


ISSUE_SQUARE_VALUES = [0, 1, 2, 4]
TRIANGLE = [[0.0, 0.0], [1.0, 2.0], [-1.0, 2.0]]


@pytest.mark.parametrize("points, values, edges, options, expected", [
    # Pairs exactly at the tolerance angle count, and mirror images alike.
    (SQUARE, ISSUE_SQUARE_VALUES, [0, 1.2, 1.5], dict(direction=45.0, tolerance=45.0), [4, 1]),
    (SQUARE, ISSUE_SQUARE_VALUES, [0, 1.2, 1.5], dict(direction=0.0, tolerance=45.0), [2, 2]),
    (SQUARE, ISSUE_SQUARE_VALUES, [0, 1.2, 1.5], dict(direction=90.0, tolerance=45.0), [2, 2]),
    (SQUARE, ISSUE_SQUARE_VALUES, [0, 1.2, 1.5], dict(direction=-45.0, tolerance=45.0), [4, 1]),
    (SQUARE, ISSUE_SQUARE_VALUES, [0, 1.2, 1.5], dict(direction=135.0, tolerance=45.0), [4, 1]),
    # Pairs exactly at the bandwidth count, whichever way the geometry is turned.
    (TRIANGLE, [0, 1, 3], [0, 3], dict(direction=90.0, tolerance=45.0, bandwidth=1.0), [2]),
    ([p[::-1] for p in TRIANGLE], [0, 1, 3], [0, 3],
     dict(direction=0.0, tolerance=45.0, bandwidth=1.0), [2]),
    ([[-x, -y] for x, y in TRIANGLE], [0, 1, 3], [0, 3],
     dict(direction=270.0, tolerance=45.0, bandwidth=1.0), [2]),
])
def test_pairs_on_the_direction_bounds_count(points, values, edges, options, expected):
    result = variogram(points, values, edges, **options)
    np.testing.assert_array_equal(result.counts, expected)
    counts, lags, means = reference(points, values, edges, **options)
    np.testing.assert_array_equal(result.counts, counts)
    np.testing.assert_array_equal(result.lags, lags)
    np.testing.assert_array_equal(result.semivariance, means)


def test_every_diagonal_of_a_grid_counts_at_a_tolerance_of_45_degrees():
    x, y = np.meshgrid(np.arange(6.0), np.arange(6.0))
    points = np.column_stack([x.ravel(), y.ravel()])
    values = np.sin(points[:, 0]) + points[:, 1]
    for direction in (0.0, 90.0):
        result = variogram(points, values, [0.5, 1.2, 1.5], direction=direction, tolerance=45.0)
        np.testing.assert_array_equal(result.counts, [30, 50])  # the sides along, all diagonals


def test_bandwidth_limits_the_offset_from_the_direction_line():
    # Pairs along the first axis at offsets 0, 1 and 3 across it.
    points = [[0.0, 0.0], [10.0, 0.0], [10.0, 1.0], [10.0, 3.0]]
    result = variogram(points, [0, 1, 2, 3], [0.0, 20.0], direction=0.0, tolerance=30.0,
                       bandwidth=1.0)
    # (0,0)-(10,0) offset 0 and (0,0)-(10,1) offset 1 count; (0,0)-(10,3) is 16.7 deg, offset 3.
    np.testing.assert_array_equal(result.counts, [2])
    assert result.bandwidth == 1.0
    unlimited = variogram(points, [0, 1, 2, 3], [0.0, 20.0], direction=0.0, tolerance=30.0)
    np.testing.assert_array_equal(unlimited.counts, [3])


def test_duplicates_count_in_every_direction():
    points = [[0.0, 0.0], [0.0, 0.0], [0.0, 2.0]]
    result = variogram(points, [1.0, 2.0, 3.0], [0.0, 1.0, 3.0], direction=0.0, tolerance=5.0)
    np.testing.assert_array_equal(result.counts, [1, 0])


def test_nan_policy_raise_names_the_count_and_first_index():
    points = [[0.0, 0.0], [1.0, np.nan], [2.0, 0.0], [3.0, 0.0]]
    with pytest.raises(ValueError, match=r"^2 sample\(s\) have a NaN or infinite .* index 1;"):
        variogram(points, [1.0, 2.0, np.inf, 4.0])


def test_nan_policy_omit_drops_samples_with_a_warning():
    points = [[0.0, 0.0], [1.0, np.nan], [2.0, 0.0], [3.0, 0.0]]
    values = [1.0, 2.0, np.inf, 4.0]
    with pytest.warns(RuntimeWarning, match="omitted 2 sample") as record:
        result = variogram(points, values, 3, max_lag=3.0, nan_policy="omit")
    assert record[0].filename == __file__
    assert result == variogram([[0.0, 0.0], [3.0, 0.0]], [1.0, 4.0], 3, max_lag=3.0)
    assert result.n_samples == 2
    with pytest.warns(RuntimeWarning), pytest.raises(ValueError, match="at least 2 samples"):
        variogram(points[:3], values[:3], nan_policy="omit")


def test_finite_data_gives_no_warning():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        variogram([[0.0, 0.0], [1.0, 0.0]], [1.0, 2.0], nan_policy="omit")


def test_array_likes_and_one_dimensional_points():
    points, values = grid_samples(20, seed=3, columns=1)
    expected = variogram(points, values, 4, max_lag=2.0)
    assert variogram(points.ravel().tolist(), values.tolist(), 4, max_lag=2.0) == expected
    assert variogram(points.astype(np.int32), values, 4, max_lag=2.0) == expected


def test_pandas_columns():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame({"x": [0.0, 1.0, 3.0], "y": [0.0, 2.0, 1.0], "z": [1.0, 2.0, 4.0]})
    result = variogram(frame[["x", "y"]], frame["z"], 2, max_lag=4.0)
    assert result == variogram(frame[["x", "y"]].to_numpy(), [1.0, 2.0, 4.0], 2, max_lag=4.0)


def test_inputs_are_not_modified():
    points, values = grid_samples(10, seed=4)
    points[0, 0], values[1] = np.nan, np.nan
    copies = points.copy(), values.copy()
    with pytest.warns(RuntimeWarning):
        variogram(points, values, nan_policy="omit")
    np.testing.assert_array_equal(points, copies[0])
    np.testing.assert_array_equal(values, copies[1])


def test_result_is_read_only_and_replaceable():
    result = variogram(SQUARE, [0, 1, 2, 3], 2, max_lag=1.5)
    for name in ("edges", "lags", "semivariance", "counts"):
        with pytest.raises(ValueError, match="read-only"):
            getattr(result, name)[0] = 0
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.max_lag = 2.0
    changed = dataclasses.replace(result, semivariance=[1.0, 2.0])
    assert not changed.semivariance.flags.writeable
    assert changed != result
    with pytest.raises(ValueError, match="one entry per class"):
        dataclasses.replace(result, counts=[1, 2, 3])
    assert repr(result).startswith("ExperimentalVariogram(PROJCS, matheron, 4 samples")


P, V = [[0.0, 0.0], [1.0, 0.0], [0.0, 2.0]], [1.0, 2.0, 3.0]


@pytest.mark.parametrize("args, options, error, message", [
    ((P, V[:2]), {}, ValueError, "points and values must have the same length"),
    (([[0.0, 0.0]], [1.0]), {}, ValueError, "at least 2 samples"),
    ((P, V), {"gtype": "UTM"}, ValueError, "gtype must be one of 'PROJCS', 'GEOGCS'"),
    ((P, V), {"gtype": 3}, TypeError, "gtype must be one of"),
    ((P, V), {"estimator": "dowd"}, ValueError, "estimator must be one of 'matheron', 'cressie'"),
    ((P, V), {"nan_policy": "propagate"}, ValueError, "nan_policy must be one of 'raise', 'omit'"),
    ((P, [[1.0, 2.0, 3.0]]), {}, ValueError, "values must be a one-dimensional"),
    ((np.zeros((3, 4)), V), {}, ValueError, "d = 1, 2 or 3"),
    ((np.zeros((3, 3)), V), {"gtype": "GEOGCS"}, ValueError, r"N x 2 array of \(longitude"),
    (([[0.0, 91.0], [0.0, 0.0]], [1.0, 2.0]), {"gtype": "GEOGCS"}, ValueError,
     r"latitudes .* within \[-90, 90\].* 91.0 at index 0"),
    ((P, [True, False, True]), {}, TypeError, "values must hold integers or real"),
    ((P, [1j, 2, 3]), {}, TypeError, "values must hold integers or real"),
    ((["a", "b", "c"], V), {}, TypeError, "points must hold integers or real"),
    ((P, V, [0.0, 2.0, 1.0]), {}, ValueError, "strictly ascending"),
    ((P, V, [0.0, 1.0, 1.0]), {}, ValueError, "strictly ascending"),
    ((P, V, [-1.0, 1.0]), {}, ValueError, "finite and non-negative"),
    ((P, V, [0.0, np.inf]), {}, ValueError, "finite and non-negative"),
    ((P, V, [1.0]), {}, ValueError, "at least 2 class edges"),
    ((P, V, [0.0, 1.0]), {"max_lag": 1.0}, ValueError, "max_lag must be None when bins is a seq"),
    ((P, V, 0), {}, ValueError, "bins must be a positive number of classes"),
    ((P, V, 2.5), {}, TypeError, "bins must be a positive int"),
    ((P, V, True), {}, TypeError, "bins must be a positive int"),
    ((P, V, "auto"), {}, TypeError, "bins must be a positive int"),
    ((P, V, 4), {"max_lag": 5e-324}, ValueError, "would have equal edges"),
    ((P, V), {"max_lag": 0.0}, ValueError, "max_lag must be a positive finite number"),
    ((P, V), {"max_lag": np.nan}, ValueError, "max_lag must be a positive finite number"),
    ((P, V), {"max_lag": True}, TypeError, "max_lag must be a positive finite number"),
    ((P, V), {"max_lag": "3"}, TypeError, "max_lag must be a positive finite number"),
    ((P, V), {"direction": (0.0, 5.0), "gtype": "GEOGCS"}, ValueError, r"\(angle, dip\) needs"),
    ((P, V), {"direction": (0.0, 5.0)}, ValueError, r"\(angle, dip\) needs .* 3 coordinate"),
    (([0.0, 1.0], [1.0, 2.0]), {"direction": 0.0}, ValueError, "direction must be None for"),
    ((P, V), {"direction": True}, TypeError, "direction must be a number of degrees"),
    ((P, V), {"direction": np.inf}, ValueError, "direction must be a number of degrees"),
    ((P, V), {"direction": 0.0, "tolerance": 0.0}, ValueError, r"0 < tolerance <= 90"),
    ((P, V), {"direction": 0.0, "tolerance": 90.5}, ValueError, r"0 < tolerance <= 90"),
    ((P, V), {"tolerance": -1.0}, ValueError, r"0 < tolerance <= 90"),
    ((P, V), {"direction": 0.0, "bandwidth": 0.0}, ValueError, "bandwidth must be a positive"),
    ((P, V), {"direction": 0.0, "bandwidth": False}, TypeError, "bandwidth must be a positive"),
    ((P, V), {"bandwidth": 1.0}, ValueError, "bandwidth must be None when direction is None"),
])
def test_misuse_names_the_argument_and_accepted_values(args, options, error, message):
    with pytest.raises(error, match=message):
        variogram(*args, **options)


def test_options_are_keyword_only():
    with pytest.raises(TypeError):
        variogram(P, V, 3, 2.0)


# The engine's own contract: the same bits with and without pruning, on any number of threads,
# and from merged states of a partition of the pairs.
def test_engine_results_do_not_depend_on_pruning_threads_or_partition():
    points, values = grid_samples(24, seed=9)
    edges = np.array(EDGES)
    direction = (17.0, 40.0)
    runs = [
        _engine.pair_sums(points, values, edges, False, 0, direction, 2.0, prune, threads)
        for prune in (False, True) for threads in (1, 2, 3)
    ]
    a, b = points[:10], points[10:]
    va, vb = values[:10], values[10:]
    common = (edges, False, 0, direction, 2.0)
    states = [
        _engine.pair_state(a, va, a, va, *common, True, 1),
        _engine.pair_state(a, va, b, vb, *common, False, 2),
        _engine.pair_state(b, vb, b, vb, *common, True, 1),
    ]
    merged = _engine.merge_states(states[2], _engine.merge_states(states[0], states[1]))
    runs.append(_engine.finish_state(merged))
    for counts, lags, means in runs[1:]:
        assert counts.tobytes() == runs[0][0].tobytes()
        assert lags.tobytes() == runs[0][1].tobytes()
        assert means.tobytes() == runs[0][2].tobytes()
    expected = reference(points, values, EDGES, direction=17.0, tolerance=40.0,
                         bandwidth=2.0)
    np.testing.assert_array_equal(runs[0][0], expected[0])


def test_public_names_have_english_numpydoc_docstrings():
    for name in set(orv.krige.__all__) - {"__version__"}:
        doc = getattr(orv.krige, name).__doc__
        assert any(f"\n    {section}\n    ---" in doc
                   for section in ("Parameters", "Returns", "Attributes")), name
        assert not any("\u4e00" <= c <= "\u9fff" for c in doc), name
    assert isinstance(orv.krige.__version__, str)
    assert isinstance(variogram([0.0, 1.0], [0.0, 1.0]), ExperimentalVariogram)
