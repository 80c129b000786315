"""The least-squares fit of the classic command (orv-variogram --classic)."""
import numpy as np
import pytest

from orv._algos.spmis.krige import variogram
from orv.krige._classic_workflow import fit_model


@pytest.mark.parametrize(
    "model, truth",
    [
        ("Spherical", {"PSill": 0.6, "Range": 900.0, "Nugget": 0.05}),
        ("Exponential", {"PSill": 1.5, "Range": 1200.0, "Nugget": 0.2}),
        ("Gaussian", {"PSill": 0.8, "Range": 700.0, "Nugget": 0.1}),
        ("Linear", {"Slope": 2e-4, "Nugget": 0.1}),
        ("Power", {"Scale": 0.01, "Exponent": 0.8, "Nugget": 0.05}),
    ],
)
def test_fit_recovers_the_parameters_of_exact_model_values(model, truth):
    lags = np.linspace(50.0, 2000.0, 15)
    gamma = getattr(variogram, model)(list(truth.values()), lags)
    fitted = fit_model(model, lags, gamma, cutoff=np.inf)
    assert list(fitted.parameters) == list(truth)
    np.testing.assert_allclose(list(fitted.parameters.values()), list(truth.values()),
                               rtol=1e-4, atol=1e-6)
    np.testing.assert_allclose(fitted(lags), gamma, rtol=1e-6, atol=1e-9)


def test_fit_uses_only_the_lags_up_to_the_cutoff():
    lags = np.linspace(100.0, 2000.0, 20)
    gamma = variogram.Spherical([0.6, 500.0, 0.05], lags)
    gamma[lags > 1000.0] = 5.0  # far classes that must not take part
    fitted = fit_model("Spherical", lags, gamma)
    assert fitted.cutoff == 1000.0
    np.testing.assert_allclose(list(fitted.parameters.values()), [0.6, 500.0, 0.05], rtol=1e-4)
