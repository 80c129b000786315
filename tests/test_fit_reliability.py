"""Fits that used to succeed with wrong results: overflow, scale, bounds, errors, Cressie."""
import copy
import math
import pickle
import warnings

import numpy as np
import pytest
from scipy.optimize import least_squares

from orv.krige import ExperimentalVariogram, Exponential, Gaussian, Spherical

EDGES = np.linspace(0.0, 2000.0, 21)
LAGS = (EDGES[:-1] + EDGES[1:]) / 2.0
COUNTS = np.arange(100, 120) * 7
FUNCTIONS = {"Spherical": Spherical, "Exponential": Exponential, "Gaussian": Gaussian}


def noisy(scale=1.0, truth=(0.9, 900.0, 0.1), seed=3, model="Spherical"):
    rng = np.random.default_rng(seed)
    gamma = FUNCTIONS[model](list(truth), LAGS) * (1.0 + 0.1 * rng.standard_normal(LAGS.size))
    return ExperimentalVariogram(EDGES, LAGS, gamma * scale, COUNTS, max_lag=2000.0)


def finite_difference_jacobian(function, theta, h, step=1e-6):
    columns = []
    for k in range(theta.size):
        delta = np.zeros_like(theta)
        delta[k] = step * max(abs(theta[k]), 1.0)
        columns.append((function(theta + delta, h) - function(theta - delta, h))
                       / (2.0 * delta[k]))
    return np.column_stack(columns)


@pytest.mark.parametrize("gamma, message", [
    (lambda g: np.where(np.arange(g.size) == 4, np.inf, g), "overflow"),
    (lambda g: np.full(g.size, np.inf), "overflow"),
])
def test_an_infinite_semivariance_is_refused_naming_the_overflow(gamma, message):
    ev = noisy()
    ev = ExperimentalVariogram(EDGES, LAGS, gamma(ev.semivariance.copy()), COUNTS)
    with pytest.raises(ValueError, match=message):
        ev.fit("Spherical")


@pytest.mark.parametrize("scale", [1e-200, 1e-30, 1e30, 1e200])  # values × 1e∓100
def test_fit_statistics_do_not_depend_on_the_scale_of_the_values(scale):
    reference = noisy().fit("Spherical")
    scaled = noisy(scale).fit("Spherical")
    assert scaled.r2 == pytest.approx(reference.r2, rel=1e-6)
    assert scaled.rmse == pytest.approx(reference.rmse * scale, rel=1e-6)
    for name in ("PSill", "Nugget"):
        assert scaled.stderr[name] == pytest.approx(reference.stderr[name] * scale, rel=1e-6)
    assert scaled.stderr["Range"] == pytest.approx(reference.stderr["Range"], rel=1e-6)
    if 1e-100 < scale < 1e100:  # the squared scale of the covariance stays in range
        np.testing.assert_allclose(scaled.covariance[0, 2],
                                   reference.covariance[0, 2] * scale * scale, rtol=1e-6)


@pytest.mark.parametrize("weights", ["counts", None])
def test_standard_errors_are_s2_times_the_inverse_normal_matrix(weights):
    """s² (JᵀWJ)⁻¹ with s² = Σwr²/(n − p), J by central differences, W the pair counts."""
    ev = noisy()
    fitted = ev.fit("Spherical", weights=weights)
    theta = np.array(list(fitted.parameters.values()))
    w = COUNTS.astype(float) if weights == "counts" else np.ones(LAGS.size)
    residuals = ev.semivariance - Spherical(theta, LAGS)
    jacobian = finite_difference_jacobian(lambda t, h: Spherical(t, h), theta, LAGS)
    s2 = np.sum(w * residuals**2) / (LAGS.size - 3)
    expected = s2 * np.linalg.inv(jacobian.T @ (w[:, None] * jacobian))
    np.testing.assert_allclose(fitted.covariance, expected, rtol=1e-5)
    np.testing.assert_allclose(list(fitted.stderr.values()), np.sqrt(np.diag(expected)),
                               rtol=1e-5)


def test_a_cressie_fit_is_the_weighted_fit_under_pairs_over_model_squared():
    """At the Cressie solution θ, minimising Σ n/γ_θ(h)² r² (weights held) gives θ again."""
    ev = noisy(seed=7)
    fitted = ev.fit("Spherical", weights="cressie")
    theta = np.array(list(fitted.parameters.values()))
    root = np.sqrt(COUNTS / Spherical(theta, LAGS) ** 2)
    g = ev.semivariance
    again = least_squares(lambda t: root * (Spherical(t, LAGS) - g), theta * 1.05,
                          x_scale=theta, xtol=1e-15, ftol=1e-15, gtol=1e-15)
    np.testing.assert_allclose(theta, again.x, rtol=1e-5)
    # The weights pairs / γ (one power too few) give another solution on these data.
    root_wrong = np.sqrt(COUNTS / Spherical(theta, LAGS))
    wrong = least_squares(lambda t: root_wrong * (Spherical(t, LAGS) - g), theta,
                          x_scale=theta, xtol=1e-15, ftol=1e-15, gtol=1e-15)
    assert not np.allclose(theta, wrong.x, rtol=1e-4)


def test_a_parameter_at_its_bound_is_the_bound_with_nan_error_and_a_flag():
    # Data rising from zero at the origin: the free nugget wants to be negative.
    gamma = Spherical([1.0, 900.0, 0.0], LAGS) - 0.05
    ev = ExperimentalVariogram(EDGES, LAGS, gamma, COUNTS)
    fitted = ev.fit("Spherical")
    assert fitted.at_bound == ("Nugget",)
    assert fitted.parameters["Nugget"] == 0.0
    assert math.isnan(fitted.stderr["Nugget"])
    assert np.isnan(fitted.covariance[2]).all() and np.isnan(fitted.covariance[:, 2]).all()
    assert all(math.isfinite(fitted.stderr[name]) for name in ("PSill", "Range"))
    assert not noisy().fit("Spherical").at_bound


def test_a_range_beyond_the_largest_lag_is_kept_with_a_warning_and_a_flag():
    ev = ExperimentalVariogram(EDGES, LAGS, Gaussian([1.0, 4000.0, 0.1], LAGS), COUNTS)
    with pytest.warns(RuntimeWarning, match="beyond the largest lag"):
        fitted = ev.fit("Gaussian")
    assert fitted.extrapolated and fitted.parameters["Range"] == pytest.approx(4000.0)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert not noisy().fit("Spherical").extrapolated


@pytest.mark.parametrize("clone", [lambda x: pickle.loads(pickle.dumps(x)), copy.deepcopy,
                                   copy.copy], ids=["pickle", "deepcopy", "copy"])
def test_results_stay_read_only_after_pickle_and_copy(clone):
    ev = noisy()
    fitted = ev.fit("Spherical")
    ev2, fitted2 = clone(ev), clone(fitted)
    assert ev2 == ev
    for array in (ev2.edges, ev2.lags, ev2.semivariance, ev2.counts, fitted2.covariance):
        with pytest.raises(ValueError, match="read-only"):
            array[0] = 0
    np.testing.assert_array_equal(fitted2.covariance, fitted.covariance)
    assert fitted2.parameters == fitted.parameters


def test_repr_shows_every_class_of_a_fifty_class_table():
    edges = np.linspace(0.0, 50.0, 51)
    lags = edges[:-1] + 0.5
    ev = ExperimentalVariogram(edges, lags, lags * 2.0, np.arange(50) + 1)
    text = repr(ev)
    assert "more classes" not in text
    assert len(text.splitlines()) == 52
