"""A short, fully typed tour of the public interface `orv.krige`.

Run it with ``python examples/public_api.py``; the test suite also checks it with
``mypy --strict``.
"""

import dataclasses

import numpy as np
from numpy.typing import NDArray

from orv.krige import ExperimentalVariogram, Spherical, variogram

rng = np.random.default_rng(7)
# 2,000 samples on a 100 km square, projected coordinates in kilometres: a smooth field that
# varies faster along the first axis, plus noise.
points: NDArray[np.float64] = rng.uniform(0.0, 100.0, size=(2000, 2))
field = np.sin(points[:, 0] / 8.0) + 0.5 * np.cos(points[:, 1] / 20.0)
values: NDArray[np.float64] = field + 0.2 * rng.standard_normal(2000)

# 12 classes of 2.5 km up to 30 km.
result: ExperimentalVariogram = variogram(points, values, 12, max_lag=30.0)
print(result)

# Robust estimator, explicit edges, and only pairs within 22.5 degrees of the first axis.
along: ExperimentalVariogram = variogram(
    points, values, [0.0, 2.0, 5.0, 10.0, 20.0], estimator="cressie", direction=0.0
)
across = variogram(points, values, along.edges, estimator="cressie", direction=90.0)
for k, lag in enumerate(along.lags.tolist()):
    print(f"{lag:6.2f} km  along {along.semivariance[k]:.3f}  across {across.semivariance[k]:.3f}")

# Geographic coordinates (degrees): lags in km.
lon_lat = np.column_stack([5.0 + points[:, 0] / 70.0, 50.0 + points[:, 1] / 111.0])
geographic = variogram(lon_lat, values, 6, max_lag=30.0, gtype="GEOGCS")
print(geographic.unit, geographic.counts.tolist())

# Results are frozen; dataclasses.replace makes a changed copy.
averaged = np.convolve(result.semivariance, [0.5, 0.5], "same")
smoothed = dataclasses.replace(result, semivariance=averaged)
curve: NDArray[np.float64] = Spherical([0.6, 25.0, 0.05], result.lags)
print(float(np.nanmax(np.abs(curve - smoothed.semivariance))))
