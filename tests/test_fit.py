"""Model fits of ExperimentalVariogram: known parameters, standard errors, refusals."""
import math

import numpy as np
import pytest
from scipy.spatial.distance import pdist

from orv.krige import ExperimentalVariogram, FittedVariogram
from orv.krige import Exponential, Gaussian, HoleEffect, Linear, Power, Spherical
from orv.krige._simulate import spherical_field

EDGES = np.linspace(0.0, 2000.0, 21)
LAGS = (EDGES[:-1] + EDGES[1:]) / 2.0
COUNTS = np.arange(100, 120) * 7

TRUTHS = {
    "Linear": (Linear, {"Slope": 2e-4, "Nugget": 0.1}),
    "Power": (Power, {"Scale": 0.01, "Exponent": 0.8, "Nugget": 0.05}),
    "Gaussian": (Gaussian, {"PSill": 0.8, "Range": 700.0, "Nugget": 0.1}),
    "Spherical": (Spherical, {"PSill": 0.6, "Range": 900.0, "Nugget": 0.05}),
    "Exponential": (Exponential, {"PSill": 1.5, "Range": 1200.0, "Nugget": 0.2}),
    "HoleEffect": (HoleEffect, {"PSill": 0.5, "Range": 800.0, "Nugget": 0.1}),
}


def exact(model, parameters, lags=LAGS, counts=COUNTS, edges=EDGES):
    function = TRUTHS[model][0]
    gamma = function(list(parameters.values()), lags)
    return ExperimentalVariogram(edges, lags, gamma, counts, max_lag=float(edges[-1]))


def experimental(points, values, edges):
    """Matheron semivariogram of the samples by pdist and binning, independent of the package."""
    distances = pdist(points)
    halves = 0.5 * pdist(values[:, None], "sqeuclidean")
    which = np.digitize(distances, edges) - 1
    keep = (which >= 0) & (which < edges.size - 1)
    n = np.bincount(which[keep], minlength=edges.size - 1)
    with np.errstate(invalid="ignore"):
        lags = np.bincount(which[keep], distances[keep], edges.size - 1) / n
        gamma = np.bincount(which[keep], halves[keep], edges.size - 1) / n
    return ExperimentalVariogram(edges, lags, gamma, n, max_lag=float(edges[-1]))


@pytest.mark.parametrize("weights", ["counts", "cressie", None])
@pytest.mark.parametrize("nugget", ["free", "zero", "fixed"])
@pytest.mark.parametrize("model", list(TRUTHS))
def test_fit_recovers_the_parameters_of_an_exact_model_curve(model, nugget, weights):
    truth = dict(TRUTHS[model][1])
    if nugget == "zero":
        truth["Nugget"] = 0.0
    option = {"free": True, "zero": False, "fixed": truth["Nugget"]}[nugget]
    fitted = exact(model, truth).fit(model.upper(), weights=weights, nugget=option)
    assert isinstance(fitted, FittedVariogram)
    assert fitted.model == model and list(fitted.parameters) == list(truth)
    np.testing.assert_allclose(list(fitted.parameters.values()), list(truth.values()),
                               rtol=1e-7, atol=1e-12)
    assert fitted.r2 == pytest.approx(1.0) and fitted.rmse < 1e-9
    assert fitted.n_lags == LAGS.size
    np.testing.assert_allclose(fitted(LAGS), exact(model, truth).semivariance, rtol=1e-8)
    assert all(s < 1e-6 * max(abs(v), 1.0) for v, s in
               zip(fitted.parameters.values(), fitted.stderr.values()))
    if nugget != "free":
        assert fitted.stderr["Nugget"] == 0.0
        assert not fitted.covariance[-1].any() and not fitted.covariance[:, -1].any()


def test_fit_uses_only_non_empty_classes_up_to_max_lag():
    truth = {"PSill": 0.6, "Range": 500.0, "Nugget": 0.05}
    gamma = Spherical(list(truth.values()), LAGS)
    gamma[LAGS > 1000.0] = 5.0  # far classes that must not take part
    counts = COUNTS.copy()
    counts[3] = 0  # an empty class: its NaN entries are skipped
    lags, gamma = LAGS.copy(), gamma.copy()
    lags[3] = gamma[3] = np.nan
    ev = ExperimentalVariogram(EDGES, lags, gamma, counts, max_lag=2000.0)
    fitted = ev.fit("spherical", max_lag=1000.0)
    assert fitted.n_lags == int(np.sum(LAGS <= 1000.0)) - 1 and fitted.max_lag == 1000.0
    np.testing.assert_allclose(list(fitted.parameters.values()), list(truth.values()),
                               rtol=1e-7)


def test_weights_change_the_fit_of_noisy_data():
    rng = np.random.default_rng(3)
    truth = [0.9, 900.0, 0.1]
    gamma = Spherical(truth, LAGS) * (1.0 + 0.1 * rng.standard_normal(LAGS.size))
    counts = np.geomspace(5000, 20, LAGS.size).astype(np.int64)
    ev = ExperimentalVariogram(EDGES, LAGS, gamma, counts, max_lag=2000.0)
    fits = {w: ev.fit("Spherical", weights=w) for w in ("counts", "cressie", None)}
    ranges = [f.parameters["Range"] for f in fits.values()]
    assert len(set(ranges)) == 3
    for fitted in fits.values():
        assert 0.0 < fitted.r2 < 1.0
        np.testing.assert_allclose(list(fitted.parameters.values()), truth, rtol=0.5)
        assert all(0.0 < s < math.inf for s in fitted.stderr.values())


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_standard_errors_shrink_with_more_pairs(seed):
    # A range of a tenth of the square: many independent patches, so the scatter of the
    # classes comes from the pairs rather than from the one realisation's large-scale shape.
    edges = np.linspace(0.0, 20.0, 21)
    errors, bound = [], set()
    for n in (200, 800):  # 16 times the pairs: a quarter of the standard error expected
        points, values = spherical_field(n, extent=100.0, psill=0.9, range_=10.0, nugget=0.1,
                                         seed=seed)
        fitted = experimental(points, values, edges).fit("Spherical")
        np.testing.assert_allclose(fitted.parameters["Range"], 10.0, rtol=0.3)
        errors.append(fitted.stderr)
        bound.update(fitted.at_bound)
    # A Nugget at its bound is held there, and the PSill's error, which trades off against it,
    # is then the smaller conditional one: only the Range compares.
    names = ("Range",) if bound else ("PSill", "Range", "Nugget")
    for name in names:
        assert errors[1][name] < errors[0][name] / 1.5, name


def test_covariance_matches_the_standard_errors_and_is_read_only():
    points, values = spherical_field(400, extent=100.0, psill=0.9, range_=10.0, nugget=0.1,
                                     seed=5)
    fitted = experimental(points, values, np.linspace(0.0, 20.0, 21)).fit("Spherical")
    covariance = fitted.covariance
    np.testing.assert_allclose(np.sqrt(np.diag(covariance)), list(fitted.stderr.values()))
    np.testing.assert_allclose(covariance, covariance.T, rtol=1e-12)
    # PSill and Nugget trade off against each other: their errors are negatively correlated.
    assert covariance[0, 2] < 0.0
    with pytest.raises(ValueError):
        covariance[0, 0] = 1.0


def test_cressie_weights_settle_where_the_model_fits_poorly():
    # A zero nugget on data with a large one: undamped reweighting swings between two fits.
    edges = np.linspace(0.0, 400.0, 9)
    lags = np.array([33.59, 79.67, 126.21, 176.22, 226.22, 275.74, 325.97, 374.79])
    gamma = np.array([0.5623, 0.5825, 0.7361, 0.9505, 0.7925, 0.8000, 0.8249, 0.8063])
    counts = np.array([53, 140, 201, 328, 348, 410, 456, 467])
    ev = ExperimentalVariogram(edges, lags, gamma, counts)
    fitted = ev.fit("Spherical", weights="cressie", nugget=False)
    assert fitted.parameters["Nugget"] == 0.0 and 0.0 < fitted.r2 < 0.5
    assert 30.0 < fitted.parameters["Range"] < 150.0


def test_standard_errors_are_nan_without_residual_degrees_of_freedom():
    truth = {"PSill": 0.6, "Range": 900.0, "Nugget": 0.05}
    with pytest.warns(RuntimeWarning, match="beyond the largest lag"):
        fitted = exact("Spherical", truth).fit("Spherical", max_lag=300.0)  # 3 classes
    assert fitted.n_lags == 3
    np.testing.assert_allclose(list(fitted.parameters.values()), list(truth.values()),
                               rtol=1e-6)
    assert all(math.isnan(s) for s in fitted.stderr.values())


def flat(level):
    return ExperimentalVariogram(EDGES, LAGS, np.full(LAGS.size, level), COUNTS)


@pytest.mark.parametrize(
    "variogram, model, options, message",
    [
        (lambda: exact("Spherical", TRUTHS["Spherical"][1]), "Spherical", {"max_lag": 200.0},
         "3 free parameters of the Spherical model to 2 non-empty"),
        (lambda: flat(0.0), "Exponential", {}, "zero in every distance class"),
        (lambda: flat(0.7), "Spherical", {}, "negligible|below the first lag"),
        (lambda: flat(0.7), "Power", {}, "power term is negligible"),
        (lambda: exact("Linear", {"Slope": 1e-3, "Nugget": 0.0}), "Spherical",
         {"nugget": False}, "does not level off"),
        (lambda: exact("Spherical", {"PSill": 1.0, "Range": 50.0, "Nugget": 0.0}),
         "Spherical", {"nugget": False}, "below the first lag"),
        (lambda: ExperimentalVariogram(EDGES, np.full(20, np.nan), np.full(20, np.nan),
                                       np.zeros(20)), "Linear", {}, "to 0 non-empty"),
    ],
)
def test_undeterminable_fits_are_refused(variogram, model, options, message):
    with pytest.raises(ValueError, match=message):
        variogram().fit(model, **options)


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        (("Cubic",), ValueError, "unknown model 'Cubic'; choose one of Linear, Power"),
        ((None,), TypeError, "model must be a model name"),
        (("Spherical",), ValueError, "weights must be 'counts', 'cressie' or None"),
        (("Spherical",), ValueError, "nugget must be True"),
        (("Spherical",), ValueError, "nugget must be True"),
        (("Spherical",), ValueError, "nugget must be True"),
        (("Spherical",), ValueError, "max_lag must be None or a positive number"),
        (("Spherical",), ValueError, "max_lag must be None or a positive number"),
    ],
    ids=["model", "model-type", "weights", "nugget-negative", "nugget-nan", "nugget-str",
         "max-lag-zero", "max-lag-nan"],
)
def test_bad_options_name_the_accepted_values(arguments, error, message, request):
    options = {
        "weights": {"weights": "pairs"},
        "nugget-negative": {"nugget": -0.1},
        "nugget-nan": {"nugget": math.nan},
        "nugget-str": {"nugget": "yes"},
        "max-lag-zero": {"max_lag": 0.0},
        "max-lag-nan": {"max_lag": math.nan},
    }.get(request.node.callspec.id, {})
    with pytest.raises(error, match=message):
        exact("Spherical", TRUTHS["Spherical"][1]).fit(*arguments, **options)


def test_fitted_variogram_is_frozen_and_evaluates_the_model():
    fitted = exact("Gaussian", TRUTHS["Gaussian"][1]).fit("gaussian")
    with pytest.raises(AttributeError):
        fitted.r2 = 0.0
    assert fitted(0.0) == 0.0  # γ(0) = 0: no nugget at the origin
    assert "Gaussian" in repr(fitted) and "±" in repr(fitted)
