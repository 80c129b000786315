"""fit(fixed=...): held parameters come back bit for bit, take no degrees of freedom, and
misuse names the argument."""
import numpy as np
import pytest

from orv.krige import ExperimentalVariogram, Matern, Power, Spherical, Stable

EDGES = np.linspace(0.0, 1200.0, 21)


def noisy_variogram(function, values, seed=3):
    lags = 0.5 * (EDGES[1:] + EDGES[:-1])
    rng = np.random.default_rng(seed)
    gamma = function(values, lags) * (1.0 + 0.03 * rng.standard_normal(lags.size))
    counts = rng.integers(50, 400, lags.size)
    return ExperimentalVariogram(EDGES, lags, gamma, counts, max_lag=float(EDGES[-1]))


SPHERICAL = noisy_variogram(Spherical, [0.9, 700.0, 0.1])
MATERN = noisy_variogram(Matern, [0.9, 700.0, 1.1, 0.1])


@pytest.mark.parametrize("experimental, model, fixed", [
    (SPHERICAL, "Spherical", {"Range": 900.0}),
    (SPHERICAL, "Spherical", {"Range": 0.1 + 0.2, "PSill": 0.7}),
    (SPHERICAL, "Exponential", {"Nugget": 0.1 + 0.2}),
    (MATERN, "Matern", {"Smoothness": 1.0 / 3.0}),
    (MATERN, "Matern", {"Range": 650.123456789, "Nugget": 0.05}),
    (MATERN, "Stable", {"Shape": 1.7}),
    (SPHERICAL, "Power", {"Exponent": 0.7, "Scale": 0.013}),
    (SPHERICAL, "Spherical", {"PSill": 0.8, "Range": 700.0, "Nugget": 0.1}),
], ids=lambda v: str(v) if isinstance(v, dict) else None)
@pytest.mark.parametrize("weights", ["counts", "cressie"])
@pytest.mark.filterwarnings("ignore:the fitted .* Range:RuntimeWarning")
def test_held_parameters_come_back_exactly_with_zero_error(experimental, model, fixed, weights):
    fitted = experimental.fit(model, fixed=fixed, weights=weights)
    for name, value in fixed.items():
        assert fitted.parameters[name] == value  # bit for bit
        assert fitted.stderr[name] == 0.0
        row = list(fitted.parameters).index(name)
        assert not fitted.covariance[row].any() and not fitted.covariance[:, row].any()
    assert not set(fixed) & set(fitted.at_bound)


def test_held_parameters_are_left_out_of_the_degrees_of_freedom():
    # Spherical with Range held is linear in (PSill, Nugget): the standard errors are those
    # of weighted linear least squares with n − 2 degrees of freedom, computed here directly.
    fitted = SPHERICAL.fit("Spherical", fixed={"Range": 800.0})
    h, g = SPHERICAL.lags, SPHERICAL.semivariance
    w = SPHERICAL.counts.astype(float)
    design = np.column_stack([Spherical([1.0, 800.0, 0.0], h), np.ones_like(h)])
    normal = design.T @ (w[:, None] * design)
    solution = np.linalg.solve(normal, design.T @ (w * g))
    residuals = g - design @ solution
    s2 = float(w @ residuals**2) / (h.size - 2)
    np.testing.assert_allclose([fitted.parameters["PSill"], fitted.parameters["Nugget"]],
                               solution, rtol=1e-8)
    np.testing.assert_allclose([fitted.stderr["PSill"], fitted.stderr["Nugget"]],
                               np.sqrt(np.diag(s2 * np.linalg.inv(normal))), rtol=1e-6)


def test_a_held_range_at_the_truth_gives_the_free_fit():
    free = MATERN.fit("Matern")
    held = MATERN.fit("Matern", fixed={"Range": free.parameters["Range"]})
    for name in ("PSill", "Smoothness", "Nugget"):
        assert held.parameters[name] == pytest.approx(free.parameters[name], rel=1e-6)


@pytest.mark.parametrize("model, fixed, nugget, error, message", [
    ("Spherical", {"range": 900.0}, True, ValueError,
     r"fixed names 'range', not a parameter of the Spherical model; it has PSill, Range"),
    ("Spherical", [("Range", 900.0)], True, TypeError, "fixed must be a dict"),
    ("Spherical", {"Range": "900"}, True, ValueError, r"fixed\['Range'\] must be a real"),
    ("Spherical", {"Range": True}, True, ValueError, r"fixed\['Range'\] must be a real"),
    ("Spherical", {"Range": 0.0}, True, ValueError, "fixed: parameter Range must be > 0"),
    ("Spherical", {"PSill": -1.0}, True, ValueError, "fixed: parameter PSill must be >= 0"),
    ("Spherical", {"Nugget": np.nan}, True, ValueError, "fixed: parameter Nugget must be finite"),
    ("Matern", {"Smoothness": 0.01}, True, ValueError,
     r"fixed\['Smoothness'\] = 0.01 lies outside the interval the fit allows, \[0.05, 20\]"),
    ("Stable", {"Shape": 2.5}, True, ValueError, "fixed: parameter Shape must be > 0 and <= 2"),
    ("Power", {"Scale": 0.01}, True, ValueError, "Scale needs its Exponent held too"),
    ("Spherical", {"Nugget": 0.2}, 0.1, ValueError,
     r"fixed holds the Nugget at 0.2 but nugget=0.1 asks for 0.1"),
    ("Spherical", {"Nugget": 0.2}, False, ValueError, "nugget=False asks for 0.0"),
])
def test_misuse_is_refused_naming_the_argument(model, fixed, nugget, error, message):
    with pytest.raises(error, match=message):
        SPHERICAL.fit(model, fixed=fixed, nugget=nugget)


@pytest.mark.parametrize("nugget", [True, 0.1])
def test_a_held_nugget_may_be_given_twice_when_both_agree(nugget):
    fitted = SPHERICAL.fit("Spherical", fixed={"Nugget": 0.1}, nugget=nugget)
    assert fitted.parameters["Nugget"] == 0.1
    assert fitted.stderr["Nugget"] == 0.0
    # The same as holding it through nugget= alone.
    assert fitted.parameters == SPHERICAL.fit("Spherical", nugget=0.1).parameters


def test_every_parameter_held_evaluates_the_given_model():
    values = {"Scale": 0.02, "Exponent": 0.6, "Nugget": 0.05}
    fitted = SPHERICAL.fit("Power", fixed=values)
    assert fitted.parameters == values
    residuals = SPHERICAL.semivariance - Power(list(values.values()), SPHERICAL.lags)
    assert fitted.rmse == pytest.approx(float(np.sqrt(np.mean(residuals**2))), rel=1e-12)


def test_a_held_range_beyond_the_fit_limit_is_kept_not_refused():
    # The fit refuses a Range it runs to 10 times the largest lag; one the caller holds there
    # is the caller's choice (with the usual warning that it lies beyond the lags).
    with pytest.warns(RuntimeWarning, match="beyond the largest lag"):
        fitted = noisy_variogram(Stable, [0.9, 700.0, 1.0, 0.1]).fit(
            "Stable", fixed={"Range": 20000.0})
    assert fitted.parameters["Range"] == 20000.0
