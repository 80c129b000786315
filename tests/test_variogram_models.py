"""The variogram models at the edges of the lag axis: no floating-point error is raised and the
bounded models give their sill however far the lag."""
import numpy as np
import pytest

from orv._algos.spmis.krige import variogram

HUGE = [1e300, np.finfo(np.float64).max]

# model: (parameters, value at the huge lags, value at an infinite lag)
MODELS = {
    "Linear": ([0.5, 0.25], [0.5e300 + 0.25, 0.5 * HUGE[1]], np.inf),
    "Power": ([2.0, 0.5, 0.25], [2e150 + 0.25, 2.0 * np.sqrt(HUGE[1]) + 0.25], np.inf),
    "Gaussian": ([2.0, 10.0, 0.25], [2.25, 2.25], 2.25),
    "Spherical": ([2.0, 10.0, 0.25], [2.25, 2.25], 2.25),
    "Exponential": ([2.0, 10.0, 0.25], [2.25, 2.25], 2.25),
    "HoleEffect": ([2.0, 10.0, 0.25], [2.25, 2.25], 2.25),
}


@pytest.mark.parametrize("model", MODELS)
def test_zero_small_huge_and_infinite_lags_raise_nothing(model):
    parameters, at_huge, at_inf = MODELS[model]
    function = getattr(variogram, model)
    lags = np.array([0.0, 1e-3, 3.0, *HUGE, np.inf, -np.inf])
    with np.errstate(all="raise"):
        result = function(parameters, lags)
        assert function(parameters, np.inf) == at_inf
    assert result[0] == 0.0 and np.all(np.isfinite(result[1:3]))
    np.testing.assert_array_equal(result[3:], [*at_huge, at_inf, at_inf])


@pytest.mark.parametrize("model", ["Gaussian", "Spherical", "Exponential", "HoleEffect"])
def test_bounded_models_reach_the_sill_when_the_ratio_overflows(model):
    with np.errstate(all="raise"):
        assert getattr(variogram, model)([2.0, 1e-10, 0.25], 1e300) == 2.25
