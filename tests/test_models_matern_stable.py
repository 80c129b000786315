"""The Matérn and Stable models: their special cases, the practical range, fits, and the native
kriging covariance against a system solved here with closed forms and SciPy's Bessel K."""
import math

import numpy as np
import pytest
from scipy.optimize import brentq
from scipy.special import gamma as gamma_function
from scipy.special import kv

from orv.krige import (
    ExperimentalVariogram,
    Exponential,
    Gaussian,
    Kriging,
    Matern,
    Stable,
    VariogramModel,
)

LAGS = np.concatenate([[0.0], np.geomspace(1e-6, 1e3, 60), [1e12, np.inf]])


def reference_correlation(x, nu):
    """ρ_ν by closed forms at half-integers, else by SciPy's K_ν."""
    x = np.asarray(x, dtype=np.float64)
    closed = {0.5: lambda: np.exp(-x), 1.5: lambda: (1 + x) * np.exp(-x),
              2.5: lambda: (1 + x + x * x / 3) * np.exp(-x)}
    if nu in closed:
        return closed[nu]()
    with np.errstate(invalid="ignore"):  # 0 · ∞ at x = 0, which the callers replace
        return 2 ** (1 - nu) / gamma_function(nu) * x**nu * kv(nu, x)


def reference_length(range_, nu):
    """ℓ with ρ_ν(Range / ℓ) = 0.05, by a root solve of the reference correlation."""
    x95 = brentq(lambda x: reference_correlation(x, nu) - 0.05, 1e-3, 100.0, xtol=1e-15)
    return range_ / x95


@pytest.mark.parametrize("psill, range_, nugget", [(1.0, 10.0, 0.0), (2.5, 0.3, 0.4)])
def test_matern_at_one_half_is_the_exponential_model(psill, range_, nugget):
    # ρ_½(x) = exp(−x) reaches 0.05 at x = ln 20, the Exponential's exp(−3 h / R) at R:
    # the same curve has Exponential Range 3 R / ln 20. Matérn forms 1 − ρ, so near the
    # origin it is exact to a few ulps of PSill rather than relative to γ.
    np.testing.assert_allclose(
        Matern([psill, range_, 0.5, nugget], LAGS),
        Exponential([psill, range_ * 3.0 / math.log(20.0), nugget], LAGS), rtol=1e-13,
        atol=4e-16 * psill)


@pytest.mark.parametrize("shape, reference", [(2.0, Gaussian), (1.0, Exponential)])
def test_stable_contains_the_gaussian_and_exponential_models(shape, reference):
    np.testing.assert_allclose(Stable([1.7, 4.0, shape, 0.2], LAGS),
                               reference([1.7, 4.0, 0.2], LAGS), rtol=1e-15, atol=0)


@pytest.mark.parametrize("nu", [0.05, 0.3, 0.5, 1.0, 1.5, 2.5, 4.0, 10.0, 20.0])
def test_matern_reaches_95_percent_of_the_partial_sill_at_the_range(nu):
    assert Matern([2.0, 7.0, nu, 0.0], 7.0) == pytest.approx(0.95 * 2.0, rel=1e-13)
    # Increasing towards the sill, which it never passes.
    h = np.linspace(0.0, 70.0, 200)
    gamma = Matern([2.0, 7.0, nu, 0.0], h)
    assert np.all(np.diff(gamma) >= 0.0) and 1.99 < gamma[-1] <= 2.0


@pytest.mark.parametrize("nu", [0.3, 0.5, 1.5, 2.5, 7.0])
def test_matern_matches_the_reference_correlation(nu):
    h = np.linspace(0.01, 40.0, 97)
    length = reference_length(12.0, nu)
    np.testing.assert_allclose(Matern([1.5, 12.0, nu, 0.25], h),
                               1.5 * (1 - reference_correlation(h / length, nu)) + 0.25,
                               rtol=1e-11)


@pytest.mark.parametrize("function, shape", [(Matern, 0.3), (Matern, 20.0), (Stable, 0.3),
                                             (Stable, 2.0)])
def test_conventions_at_the_origin_and_far_away(function, shape):
    with np.errstate(all="raise"):
        gamma = function([1.0, 5.0, shape, 0.3], [0.0, -2.0, 2.0, 1e300, np.inf, np.nan])
    assert gamma[0] == 0.0 and gamma[1] == gamma[2]
    assert gamma[3] == gamma[4] == 1.3 and np.isnan(gamma[5])


@pytest.mark.parametrize("model, parameters, message", [
    ("Matern", {"PSill": 1, "Range": 2, "Smoothness": 0, "Nugget": 0}, "Smoothness must be > 0"),
    ("Matern", {"PSill": 1, "Range": 2, "Smoothness": 25, "Nugget": 0}, "<= 20"),
    ("Stable", {"PSill": 1, "Range": 2, "Shape": 2.5, "Nugget": 0}, "Shape must be > 0 and <= 2"),
    ("Stable", {"PSill": 1, "Range": 2, "Nugget": 0}, "lack Shape"),
])
def test_model_parameters_are_checked(model, parameters, message):
    with pytest.raises(ValueError, match=message):
        VariogramModel(model, parameters)


def exact_variogram(model, values, edges):
    lags = 0.5 * (edges[1:] + edges[:-1])
    gamma = model(values, lags)
    return ExperimentalVariogram(edges, lags, gamma, np.full(lags.size, 100),
                                 max_lag=float(edges[-1]))


@pytest.mark.parametrize("name, values", [
    ("Matern", [0.8, 300.0, 1.2, 0.1]),
    ("Matern", [0.8, 300.0, 0.4, 0.0]),
    ("Stable", [0.8, 300.0, 1.5, 0.1]),
    ("Stable", [2.0, 150.0, 0.7, 0.5]),
])
def test_fit_recovers_the_parameters_of_an_exact_curve(name, values):
    function = {"Matern": Matern, "Stable": Stable}[name]
    fitted = exact_variogram(function, values, np.linspace(0.0, 600.0, 25)).fit(name)
    np.testing.assert_allclose(list(fitted.parameters.values()), values, rtol=1e-5, atol=1e-7)
    assert fitted.r2 == pytest.approx(1.0, abs=1e-10)


def ordinary_kriging(points, values, targets, covariance):
    """Brute force: the bordered system [C 1; 1ᵀ 0] solved by np.linalg.solve per target."""
    n = len(values)
    distances = np.linalg.norm(points[:, None] - points[None], axis=2)
    system = np.ones((n + 1, n + 1))
    system[:n, :n] = covariance(distances)
    system[n, n] = 0.0
    estimates, variances = [], []
    for target in targets:
        right = np.ones(n + 1)
        right[:n] = covariance(np.linalg.norm(points - target, axis=1))
        solution = np.linalg.solve(system, right)
        estimates.append(solution[:n] @ values)
        variances.append(covariance(np.zeros(1))[0] - solution @ right)
    return np.array(estimates), np.array(variances)


@pytest.mark.parametrize("model, shape", [("Matern", 0.5), ("Matern", 1.5), ("Matern", 0.8),
                                          ("Matern", 6.0), ("Stable", 1.3), ("Stable", 2.0)])
def test_native_kriging_covariance_against_a_brute_force_solve(model, shape):
    """Kriging with the model equals the bordered system solved here."""
    rng = np.random.default_rng(7)
    points = rng.uniform(0.0, 100.0, (40, 2))
    values = rng.normal(size=40)
    targets = np.vstack([rng.uniform(0.0, 100.0, (6, 2)), points[3] + 1e-3])
    psill, range_, nugget = 1.3, 45.0, 0.2
    if model == "Matern":
        length = reference_length(range_, shape)
        correlation = lambda h: np.where(h == 0, 1.0, reference_correlation(h / length, shape))
        parameters = {"PSill": psill, "Range": range_, "Smoothness": shape, "Nugget": nugget}
    else:
        correlation = lambda h: np.exp(-3.0 * (h / range_) ** shape)
        parameters = {"PSill": psill, "Range": range_, "Shape": shape, "Nugget": nugget}

    def covariance(h):
        return np.where(h == 0, psill + nugget, psill * correlation(h))

    want_estimate, want_variance = ordinary_kriging(points, values, targets, covariance)
    result = Kriging(points, values, VariogramModel(model, parameters)).predict(targets)
    np.testing.assert_allclose(result.estimate, want_estimate, rtol=1e-9, atol=1e-10)
    np.testing.assert_allclose(result.variance, want_variance, rtol=1e-9, atol=1e-10)


@pytest.mark.parametrize("nu", [0.5, 1.5, 3.0, 0.8])
def test_the_gstools_conversions_of_the_docs(nu):
    gs = pytest.importorskip("gstools")
    from orv.krige._shape_models import matern_practical_x

    h = np.linspace(1.0, 900.0, 40)
    matern = gs.Matern(dim=2, var=1.0, len_scale=math.sqrt(nu) * 300.0 / matern_practical_x(nu),
                       nu=nu)
    np.testing.assert_allclose(1.0 - matern.correlation(h), Matern([1.0, 300.0, nu, 0.0], h),
                               rtol=1e-10, atol=1e-15)
    shape = min(nu, 2.0)
    stable = gs.Stable(dim=2, var=1.0, len_scale=300.0 / 3.0 ** (1.0 / shape), alpha=shape)
    np.testing.assert_allclose(1.0 - stable.correlation(h), Stable([1.0, 300.0, shape, 0.0], h),
                               rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("model, shape", [("Matern", 0.5), ("Matern", 20.0), ("Stable", 0.2)])
def test_native_covariance_of_samples_far_beyond_the_range(model, shape):
    # Lags of up to 1e7 lengths: the covariance is 0 (not an exception or NaN), and ordinary
    # kriging of uncorrelated samples weights them equally.
    points = np.array([[0.0, 0.0], [1e7, 0.0], [0.0, 1e7], [1e7, 1e7], [5e6, 3e6]])
    values = np.array([1.0, 2.0, 4.0, 8.0, 16.0])
    name = "Smoothness" if model == "Matern" else "Shape"
    fitted = VariogramModel(model, {"PSill": 2.0, "Range": 1.0, name: shape, "Nugget": 0.5})
    result = Kriging(points, values, fitted).predict([[2e6, 7e6]])
    assert result.estimate[0] == pytest.approx(values.mean(), rel=1e-14)
    assert result.variance[0] == pytest.approx(2.5 * (1 + 1 / 5), rel=1e-14)
