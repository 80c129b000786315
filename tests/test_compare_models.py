"""compare_models: the true model of a simulated field ranked first, every row's figures those
of its own cross-validation, and models that cannot be compared kept with the reason."""
import math
import sys

import numpy as np
import pytest
from scipy.spatial.distance import cdist

from orv.krige import (
    Exponential,
    Kriging,
    ModelComparison,
    Spherical,
    compare_models,
    variogram,
)


def simulated(model, parameters, n=800, seed=1):
    """A Gaussian random field with the covariance of `model`, drawn exactly by Cholesky."""
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, 100.0, (n, 2))
    sill = parameters[0] + parameters[-1]
    covariance = sill - model(parameters, cdist(points, points))
    covariance[np.diag_indices(n)] = sill
    return points, np.linalg.cholesky(covariance) @ rng.standard_normal(n)


@pytest.mark.parametrize("model, name", [(Spherical, "Spherical"), (Exponential, "Exponential")])
def test_the_true_model_is_ranked_first(model, name):
    points, values = simulated(model, [1.0, 20.0, 0.05])
    experimental = variogram(points, values, bins=15, max_lag=30.0)
    comparison = compare_models(points, values, experimental, neighbours=32)
    assert [row.model for row in comparison.rows][0] == name
    assert comparison.best is comparison.rows[0].fitted
    rmse = [row.rmse for row in comparison.rows]
    assert rmse == sorted(rmse) and len(rmse) == 4


def test_each_row_is_its_own_fit_and_cross_validation_on_shared_folds():
    points, values = simulated(Spherical, [1.0, 20.0, 0.05], n=300, seed=4)
    experimental = variogram(points, values, bins=12, max_lag=30.0)
    comparison = compare_models(points, values, experimental, ("gaussian", "Spherical"),
                                folds=5, seed=3, neighbours=16, kind="ordinary")
    for row in comparison.rows:
        fitted = experimental.fit(row.model)
        assert row.parameters == fitted.parameters and row.r2 == fitted.r2
        check = Kriging(points, values, fitted, neighbours=16).cross_validate(folds=5, seed=3)
        assert (row.rmse, row.mean_error, row.mean_squared_zscore) == (
            check.rmse, check.mean_error, check.mean_squared_zscore)


def test_models_that_cannot_be_compared_keep_their_row_with_the_reason():
    points, values = simulated(Spherical, [1.0, 20.0, 0.05], n=200, seed=2)
    # Two classes: the three parameters of Spherical cannot be fitted, Linear's two can.
    two_classes = variogram(points, values, bins=2, max_lag=30.0)
    comparison = compare_models(points, values, two_classes, ("Spherical", "Linear"))
    assert [row.model for row in comparison.rows] == ["Linear", "Spherical"]
    failed = comparison.rows[1]
    assert failed.fitted is None and math.isnan(failed.rmse) and failed.parameters == {}
    assert failed.error.startswith("the fit failed: cannot fit the 3 free parameters")
    assert "Spherical: not compared: the fit failed" in repr(comparison)
    # Simple kriging needs a sill, which Power lacks: its fit is kept, its kriging is not.
    experimental = variogram(points, values, bins=12, max_lag=30.0)
    simple = compare_models(points, values, experimental, ("Power", "Spherical"),
                            kind="simple", mean=0.0)
    assert [row.model for row in simple.rows] == ["Spherical", "Power"]
    assert simple.rows[1].fitted is not None and "needs a model with a sill" in simple.rows[1].error


def test_best_names_every_reason_when_nothing_could_be_compared():
    points, values = simulated(Spherical, [1.0, 20.0, 0.05], n=100, seed=2)
    comparison = compare_models(points, values, variogram(points, values, bins=2),
                                ("Spherical", "Gaussian"))
    with pytest.raises(ValueError, match="no model could be fitted.*Spherical: the fit failed.*"
                                         "Gaussian: the fit failed"):
        comparison.best


def test_to_dataframe_and_the_message_without_pandas(monkeypatch):
    pandas = pytest.importorskip("pandas")
    points, values = simulated(Spherical, [1.0, 20.0, 0.05], n=200, seed=2)
    comparison = compare_models(points, values, variogram(points, values, bins=12),
                                ("Spherical", "Matern"), neighbours=16)
    frame = comparison.to_dataframe()
    assert isinstance(frame, pandas.DataFrame)
    assert list(frame["model"]) == [row.model for row in comparison.rows]
    assert list(frame.columns[:6]) == ["model", "r2", "rmse", "mean_error",
                                       "mean_squared_zscore", "error"]
    assert set(frame.columns[6:]) == {"PSill", "Range", "Nugget", "Smoothness"}
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match="needs pandas"):
        comparison.to_dataframe()


@pytest.mark.parametrize("arguments, error, message", [
    ({"experimental": "not one"}, TypeError, "experimental must be an ExperimentalVariogram"),
    ({"models": ("Spherical", "Cubic")}, ValueError, "unknown model 'Cubic'"),
    ({"models": ()}, ValueError, "models must name at least one model"),
    ({"neighbors": 8}, TypeError, "neighbors"),
])
def test_misuse_is_refused(arguments, error, message):
    points, values = simulated(Spherical, [1.0, 20.0, 0.05], n=50, seed=2)
    call = {"experimental": variogram(points, values, bins=8)}
    call.update(arguments)
    with pytest.raises(error, match=message):
        compare_models(points, values, **call)


def test_the_result_is_a_table():
    points, values = simulated(Spherical, [1.0, 20.0, 0.05], n=150, seed=2)
    comparison = compare_models(points, values, variogram(points, values, bins=10),
                                ("Exponential",), neighbours=8)
    assert isinstance(comparison, ModelComparison) and len(comparison) == 1
    text = repr(comparison).splitlines()
    assert text[0] == "ModelComparison (leave-one-out, best first)"
    assert text[1].split() == ["model", "fit", "r2", "cv", "rmse", "mean", "error", "mean", "z2"]
    assert text[2].split()[0] == "Exponential"
