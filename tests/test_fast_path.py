"""The native shortcuts of init_variogram_model against the statement-by-statement path."""
import sys

import numpy as np
import pytest
from scipy.spatial.distance import cdist

from orv._algos.spmis.krige import core

from conftest import outcome


class ForwardingNumpy:
    """Behaves like NumPy but hands out wrappers of its functions, which keeps every shortcut off."""

    def __getattr__(self, name):
        value = getattr(np, name)
        if callable(value) and not isinstance(value, type):
            return lambda *args, **kwargs: value(*args, **kwargs)
        return value


def assert_paths_agree(module_globals, points, values, n_lags, gtype):
    native = outcome(points, values, n_lags, gtype)
    module_globals["np"] = ForwardingNumpy()
    try:
        plain = outcome(points, values, n_lags, gtype)
    finally:
        module_globals["np"] = np
    assert native == plain


@pytest.fixture
def planar_geogcs(module_globals):
    module_globals["great_circle_distance"] = cdist
    return module_globals


rng = np.random.default_rng(20261208)


def samples(n, dim=2, grid=False):
    points = rng.integers(0, 6, (n, dim)).astype(float) if grid else rng.random((n, dim)) * 100
    return points, rng.normal(size=n) * 10


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize(
    "n, n_lags, dim, grid",
    [
        (2, 1, 2, False),  # one pair
        (12, 20, 2, False),  # classes of one pair and empty ones
        (60, 6, 3, True),  # duplicates and distances exactly on inner edges
        (200, 10, 2, False),
        (500, 1, 2, False),  # one class of 124,750 pairs
        (700, 3, 3, False),  # classes around 80,000 pairs
    ],
)
def test_both_paths_agree_bit_for_bit(planar_geogcs, gtype, n, n_lags, dim, grid):
    points, values = samples(n, dim, grid)
    assert_paths_agree(planar_geogcs, points, values, n_lags, gtype)


@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize(
    "change",
    [
        "nan value", "nan coordinate", "inf value", "inf coordinate", "overflowing values",
        "tiny values", "int values", "strided values", "float32 values", "all at one place",
    ],
)
def test_special_inputs_give_the_same_result_and_warnings(planar_geogcs, gtype, change):
    points, values = samples(40)
    if change == "nan value":
        values[3] = np.nan
    elif change == "nan coordinate":
        points[5, 1] = np.nan
    elif change == "inf value":
        values[7] = np.inf
    elif change == "inf coordinate":
        points[2, 0] = np.inf
    elif change == "overflowing values":
        values[::2] = 1e300
        values[1::2] = -1e300
    elif change == "tiny values":
        values = values * 1e-160
    elif change == "int values":
        values = np.arange(40)
    elif change == "strided values":
        values = np.repeat(values, 2)[::2]
    elif change == "float32 values":
        values = values.astype(np.float32)
    elif change == "all at one place":
        points[:] = 3.0
    assert_paths_agree(planar_geogcs, points, values, 8, gtype)


@pytest.mark.parametrize(
    "distance",
    [
        lambda a, b: cdist(a, b).astype(np.float32),
        lambda a, b: np.asfortranarray(cdist(a, b)),
        lambda a, b: cdist(a, b).tolist(),
        lambda a, b: cdist(a, b)[:, :-1],  # not square: NumPy's own IndexError
    ],
    ids=["float32", "fortran", "list", "not square"],
)
def test_unusual_distance_matrices(module_globals, distance):
    module_globals["great_circle_distance"] = distance
    points, values = samples(30)
    assert_paths_agree(module_globals, points, values, 5, "GEOGCS")


@pytest.mark.parametrize("n_lags", [np.int64(7), True, 1, 300])
def test_lag_counts(planar_geogcs, n_lags):
    points, values = samples(50)
    assert_paths_agree(planar_geogcs, points, values, n_lags, "PROJCS")


@pytest.mark.parametrize("bufsize", [8192, 1024, 8192 * 4])
def test_changed_buffer_size(planar_geogcs, bufsize):
    old = np.setbufsize(bufsize)
    try:
        points, values = samples(300)
        assert_paths_agree(planar_geogcs, points, values, 2, "PROJCS")
    finally:
        np.setbufsize(old)


def count_mean_calls(call):
    """How often NumPy's mean runs during call()."""
    calls = 0

    def profile(frame, event, arg):
        nonlocal calls
        if event == "call" and frame.f_code.co_name == "mean" and "fromnumeric" in frame.f_code.co_filename:
            calls += 1

    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return calls


def test_the_shortcut_runs_when_numpy_is_genuine(planar_geogcs):
    points, values = samples(100)
    core.init_variogram_model(points, values, 6, "PROJCS")  # NumPy is examined at first use
    for gtype in ("PROJCS", "GEOGCS"):
        assert count_mean_calls(lambda: core.init_variogram_model(points, values, 6, gtype)) == 0
    planar_geogcs["np"] = ForwardingNumpy()
    assert count_mean_calls(lambda: core.init_variogram_model(points, values, 6, "PROJCS")) == 12


def test_a_patched_numpy_function_turns_the_shortcut_off(monkeypatch):
    calls = []
    genuine_mean = np.mean

    def recording_mean(a, *args, **kwargs):
        calls.append(len(a))
        return genuine_mean(a, *args, **kwargs)

    monkeypatch.setattr(np, "mean", recording_mean)
    points, values = samples(30)
    core.init_variogram_model(points, values, 4, "PROJCS")
    assert len(calls) == 8 and sum(calls) == 2 * 30 * 29 // 2


def test_input_arrays_are_not_modified(planar_geogcs):
    points, values = samples(50)
    kept = points.copy(), values.copy()
    for gtype in ("PROJCS", "GEOGCS"):
        core.init_variogram_model(points, values, 5, gtype)
    np.testing.assert_array_equal(points, kept[0])
    np.testing.assert_array_equal(values, kept[1])


class RecordingDistance:
    """spatial with a pdist that keeps its results, for a NumPy whose zeros aliases them."""

    def __init__(self):
        self.results = []
        self.distance = self

    def pdist(self, *args, **kwargs):
        from scipy.spatial.distance import pdist

        self.results.append(pdist(*args, **kwargs))
        return self.results[-1]


def test_result_arrays_that_alias_the_distances_are_written_as_the_statements_write(
    module_globals, monkeypatch
):
    points = np.array([[0.0, 0.0], [1.0, 0.0], [3.0, 0.0], [7.0, 1.0], [2.0, 9.0]])
    values = np.array([1.0, 4.0, 2.0, 8.0, 5.0])
    genuine_mean = np.mean
    results = []
    for wrap_mean in (False, True):  # NumPy's own mean, then one that keeps every shortcut off
        module_globals["spatial"] = spatial = RecordingDistance()
        # np.zeros returns a view of the first distances: the class loop writes into them.
        monkeypatch.setattr(np, "zeros", lambda n: spatial.results[0][:n])
        if wrap_mean:
            monkeypatch.setattr(np, "mean", lambda a: genuine_mean(a))
        results.append(outcome(points, values, 4, "PROJCS"))
    assert results[0] == results[1]


def test_pdist_results_are_not_inspected(module_globals):
    touched = []

    class Inspected(np.ndarray):
        @property
        def base(self):
            touched.append(True)
            raise KeyboardInterrupt

    class Spatial:
        distance = None

        @staticmethod
        def pdist(*args, **kwargs):
            from scipy.spatial.distance import pdist

            return pdist(*args, **kwargs).view(Inspected)

    Spatial.distance = Spatial
    module_globals["spatial"] = Spatial
    points, values = samples(20)
    try:
        core.init_variogram_model(points, values, 3, "PROJCS")
    except KeyboardInterrupt:
        pass  # an exception from `base` must reach the caller, never be dropped
    else:
        assert not touched


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.longdouble])
def test_top_edge_stays_above_the_largest_distance_of_any_float_type(module_globals, dtype):
    module_globals["great_circle_distance"] = lambda a, b: cdist(a, b).astype(dtype)
    far = 2.0**45 if dtype != np.float32 else 40000.0
    points = np.array([[0.0, 0.0], [far, 0.0], [1.0, 0.0]])
    lags, semivariance = core.init_variogram_model(points, np.array([0.0, 2.0, 1.0]), 1, "GEOGCS")
    assert len(lags) == 1 and semivariance[0] == pytest.approx(1.0)
