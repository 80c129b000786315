"""A short, fully typed tour of the three functions of the kriging core.

Run it with ``python examples/usage.py``; the test suite also checks it with ``mypy --strict``.
"""

import numpy as np
from numpy.typing import NDArray

from orv._algos.spmis.krige import (
    adjust_anisotropy,
    init_variogram_model,
    init_variogram_parameters,
)
from orv._algos.spmis.krige.core import DEFAULT_PARAMETERS

rng = np.random.default_rng(7)
# 50 samples on a 1 km square, projected coordinates in metres.
points: NDArray[np.float64] = rng.uniform(0.0, 1000.0, size=(50, 2))
values: NDArray[np.float64] = np.sin(points[:, 0] / 300.0) + 0.1 * rng.standard_normal(50)

# Rotate by -30 degrees and stretch the second axis by 2 about the centre of the square.
adjusted: NDArray[np.float64] = adjust_anisotropy(points, [500.0, 500.0], [2.0], [30.0])

lags, semivariance = init_variogram_model(adjusted, values, 8, "PROJCS")
for lag, gamma in zip(lags.tolist(), semivariance.tolist()):
    print(f"{lag:8.1f} m  {gamma:.4f}")

# The same samples as (longitude, latitude) in degrees: lags in kilometres.
lon_lat = np.column_stack([5.7 + points[:, 0] / 70_000.0, 50.9 + points[:, 1] / 111_000.0])
km_lags, _ = init_variogram_model(lon_lat, values, 8, "GEOGCS")
print("largest geographic lag:", round(float(km_lags[-1]), 3), "km")

names: list[str] = DEFAULT_PARAMETERS["Spherical"]
model, function, pars = init_variogram_parameters(
    "Spherical", {"PSill": 0.5, "Range": 400.0, "Nugget": 0.05}
)
curve: NDArray[np.float64] = function(pars, lags)
print(model, dict(zip(names, pars)), curve.round(3).tolist())
