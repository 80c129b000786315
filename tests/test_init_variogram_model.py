"""init_variogram_model: the experimental semivariogram."""
import warnings

import numpy as np
import pytest
from conftest import assert_no_leak, raises_at
from reference_statements import reference_variogram
from scipy.spatial.distance import cdist

from orv._algos.spmis.krige import core, error

NAME = "init_variogram_model"
variogram = core.init_variogram_model


@pytest.fixture
def planar_geogcs(module_globals):
    """Straight-line distances in place of great-circle ones, so that both branches agree."""
    module_globals["great_circle_distance"] = cdist


def assert_result(result, expected):
    assert type(result) is tuple and len(result) == 2
    for got, want in zip(result, expected):
        assert got.dtype == np.float64
        np.testing.assert_array_equal(got, want)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize("layout", ["uniform", "grid"])
@pytest.mark.parametrize("dim", [2, 3])
@pytest.mark.parametrize("n_lags", [1, 6, 10, 20])
@pytest.mark.parametrize("size", [2, 40, 450])
def test_matches_reference_bit_for_bit(planar_geogcs, gtype, layout, dim, n_lags, size):
    rng = np.random.default_rng([size, n_lags, dim])
    if layout == "uniform":
        points = rng.random((size, dim)) * 100.0
    else:  # repeated locations and distances on the class edges
        points = rng.integers(0, 6, (size, dim)).astype(np.float64)
    values = rng.normal(size=size)
    saved = points.copy(), values.copy()
    result = variogram(points, values, n_lags, gtype)
    assert_result(result, reference_variogram(*saved, n_lags, gtype, distance=cdist))
    np.testing.assert_array_equal(points, saved[0])
    np.testing.assert_array_equal(values, saved[1])


NAN = float("nan")
EMPTY_MIDDLE = [[0, 0], [1, 0], [10, 0], [11, 0]]
THREE = [[0, 0], [3, 4], [6, 8]]
VALUES = np.array([1.0, 2.0, 4.0])


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize(
    "points, values, n_lags, expected",
    [
        pytest.param([[0, 0], [3, 4], [6, 8]], [1, 2, 4], 1, ([20 / 3], [7 / 3]), id="one class"),
        pytest.param([[1, 1]] * 4, [0, 1, 2, 4], 5, ([0.0], [17.5 / 6]), id="one location"),
        pytest.param([[0, 0], [3, 4]], [1, 4], 7, ([5.0], [4.5]), id="two samples"),
        pytest.param([[0, 0], [1, 0], [3, 0]], [0, 1, 3], 2, ([1, 2.5], [0.5, 3.25]), id="edge"),
        pytest.param(EMPTY_MIDDLE, [0, 1, 2, 3], 5, ([1, 10], [0.5, 2.25]), id="empty middle"),
        pytest.param([[0, 0], [1, 0], [100, 0]], [0, 1, NAN], 2, ([1.0], [0.5]), id="nan value"),
        pytest.param([[0, 0], [1, 0], [9, 0]], [NAN] * 3, 2, ([], []), id="all values nan"),
        pytest.param([[0, 0], [NAN, 0], [1, 0]], [0, 1, 2], 3, ([], []), id="nan coordinate"),
        pytest.param([[0, 0], [0, 2**44]], [0, 2], 3, ([2**44], [2.0]), id="far pair 2**44"),
        pytest.param([[0, 0], [0, 2**60]], [0, 2], 1, ([2**60], [2.0]), id="far pair 2**60"),
        pytest.param(
            [[0, 0], [0, 2**43], [0, 2**44]], [0, 0, 2], 2, ([2**43, 2**44], [1.0, 2.0]), id="far"
        ),
    ],
)
def test_edge_cases(planar_geogcs, gtype, points, values, n_lags, expected):
    result = variogram(np.array(points, float), np.array(values, float), n_lags, gtype)
    assert_result(result, expected)


@pytest.mark.filterwarnings("ignore:invalid value encountered")
def test_numpy_warnings_reach_the_warnings_machinery():
    with pytest.warns(RuntimeWarning, match="divide by zero"):
        assert_result(variogram(THREE, VALUES, 0, "PROJCS"), ([], []))
    args = (EMPTY_MIDDLE, np.arange(4.0), 5, "PROJCS")
    with pytest.warns(RuntimeWarning, match="Mean of empty slice"):
        variogram(*args)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        raises_at(RuntimeWarning, NAME, 100, variogram, *args)


class Truthless:
    def __eq__(self, other):
        return self

    def __bool__(self):
        raise KeyError("truth")


@pytest.mark.parametrize(
    "points, values, n_lags, gtype, exception, line",
    [
        (THREE, VALUES, 10.0, "PROJCS", TypeError, 97),
        (THREE, VALUES, -1, "GEOGCS", ValueError, 97),
        (THREE, VALUES, "3", "PROJCS", TypeError, 92),
        (THREE, VALUES[:2], 3, "GEOGCS", IndexError, 83),
        (THREE, VALUES[:2], 3, "PROJCS", IndexError, 101),
        (THREE, [1.0, 2.0, 4.0], 3, "GEOGCS", TypeError, 80),
        (THREE, [1.0, 2.0, 4.0], 3, "PROJCS", TypeError, 86),
        ([[1, 2]], VALUES[:1], 3, "PROJCS", ValueError, 90),
        ([[1, 2]], VALUES[:1], 3, "GEOGCS", ValueError, 90),
        (THREE, VALUES, 3, Truthless(), KeyError, 78),
    ],
)
def test_failures_report_their_line_and_release_everything(
    planar_geogcs, points, values, n_lags, gtype, exception, line
):
    raises_at(exception, NAME, line, variogram, points, values, n_lags, gtype)
    assert_no_leak(lambda: variogram(points, values, n_lags, gtype), watched=(values, gtype))


@pytest.mark.parametrize("gtype", ["geogcs", "PROJCS ", "", None, 4326, b"GEOGCS"])
def test_unknown_coordinate_type_raises_spmis_error(gtype):
    raised = raises_at(error.SpmisError, NAME, 88, variogram, THREE, VALUES, 3, gtype)
    assert raised.errors is gtype
    assert_no_leak(lambda: variogram(THREE, VALUES, 3, gtype), watched=(gtype,))


@pytest.mark.parametrize(
    "name, gtype, line",
    [
        ("init_points", "PROJCS", 77),
        ("great_circle_distance", "GEOGCS", 79),
        ("np", "GEOGCS", 81),
        ("spatial", "PROJCS", 85),
        ("np", "PROJCS", 90),
        ("error", "local", 88),
    ],
)
def test_missing_global_is_a_name_error(module_globals, name, gtype, line):
    del module_globals[name]
    match = f"name '{name}' is not defined"
    raises_at(NameError, NAME, line, variogram, THREE, VALUES, 3, gtype, match=match)


class RecordingNumpy:
    def __init__(self):
        self.seen = []

    def __getattr__(self, name):
        self.seen.append(name)
        return getattr(np, name)


def test_numpy_is_looked_up_at_every_use(module_globals):
    module_globals["np"] = recorder = RecordingNumpy()
    variogram(THREE, VALUES, 2, "PROJCS")
    uses = ["max", "min", "arange", "append", "zeros", "zeros"] + ["mean"] * 4 + ["isnan"] * 2
    assert recorder.seen == uses


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("gtype", ["PROJCS", "GEOGCS"])
@pytest.mark.parametrize("n_lags", [0, 6])
def test_success_releases_everything(planar_geogcs, gtype, n_lags):
    points, values = np.random.default_rng(5).random((30, 2)), np.arange(30.0)
    assert_no_leak(lambda: variogram(points, values, n_lags, gtype), watched=(points, values))
