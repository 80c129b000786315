"""The table of variogram models: names as the classic module has them, derivatives and
scaling checked against the model functions themselves."""
import numpy as np
import pytest

from orv._algos.spmis.krige import core
from orv.krige._models import MODELS

VALUES = {
    "Linear": [0.7, 0.2],
    "Power": [0.8, 1.3, 0.1],
    "Gaussian": [1.2, 0.9, 0.15],
    "Spherical": [1.2, 0.9, 0.15],
    "Exponential": [1.2, 0.9, 0.15],
    "HoleEffect": [1.2, 0.9, 0.15],
    "Matern": [1.2, 0.9, 1.3, 0.15],
    "Stable": [1.2, 0.9, 1.4, 0.15],
}
#: The models of the public toolkit that the classic module does not have.
PUBLIC_ONLY = ("Matern", "Stable")


def test_names_and_order_are_those_of_the_classic_module():
    assert {name: list(record.parameters) for name, record in MODELS.items()
            if name not in PUBLIC_ONLY} == {
        name: list(names) for name, names in core.DEFAULT_PARAMETERS.items()
    }
    assert not set(PUBLIC_ONLY) & set(core.DEFAULT_PARAMETERS)


@pytest.mark.parametrize("name", list(MODELS))
def test_derivatives_match_central_differences(name):
    record, values = MODELS[name], VALUES[name]
    h = np.linspace(0.05, 2.0, 37)  # crosses the Spherical model's range
    h = h[np.abs(h - values[1]) > 1e-3] if record.has_range else h
    for column in range(len(values)):
        step = 1e-6 * max(abs(values[column]), 1.0)
        up, down = list(values), list(values)
        up[column] += step
        down[column] -= step
        numeric = (record.function(up, h) - record.function(down, h)) / (2 * step)
        np.testing.assert_allclose(record.derivatives(values, h)[:, column], numeric,
                                   rtol=1e-6, atol=1e-8)


@pytest.mark.parametrize("name", list(MODELS))
def test_scaled_parameters_give_the_same_curve_in_data_units(name):
    record, values = MODELS[name], VALUES[name]
    h_scale, g_scale = 350.0, 0.04
    h = np.linspace(0.01, 1.5, 23)
    data = record.to_data_units(values, h_scale, g_scale)
    np.testing.assert_allclose(record.function(data, h * h_scale),
                               g_scale * record.function(values, h), rtol=1e-12)
