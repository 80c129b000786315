"""The statements of `init_variogram_model`, written plainly in NumPy: the one reference that the
tests and the benchmark compare the native function with, bit for bit.

The benchmark imports this module by putting this folder on `sys.path`.
"""
import numpy as np
from scipy.spatial.distance import pdist

from orv._algos.spmis.krige import great_circle_distance


def reference_variogram(points, values, n_lags, gtype, distance=great_circle_distance):
    """The experimental semivariogram, statement by statement; `distance` is the great-circle
    distance routine of the GEOGCS branch (tests put straight-line distances in its place)."""
    if gtype == "GEOGCS":
        d = distance(points, points)
        g = 0.5 * (values[None, :] - values[:, None]) ** 2.0
        indices = np.indices(d.shape)
        d, g = d[indices[0] > indices[1]], g[indices[0] > indices[1]]
    else:
        d = pdist(points, metric="euclidean")
        g = 0.5 * pdist(values[:, None], metric="sqeuclidean")
    d_max, d_min = np.max(d), np.min(d)
    dd = (d_max - d_min) / n_lags
    bins = d_min + dd * np.arange(n_lags)
    top = d_max + 0.001
    if top == d_max and np.isfinite(top):  # the farthest pair stays in the last class
        top = np.nextafter(d_max, np.inf)
    bins = np.append(bins, top)
    lags, semivariance = np.zeros(n_lags), np.zeros(n_lags)
    for n in range(n_lags):
        in_class = (d >= bins[n]) & (d < bins[n + 1])
        lags[n], semivariance[n] = np.mean(d[in_class]), np.mean(g[in_class])
    keep = ~np.isnan(semivariance)
    return lags[keep], semivariance[keep]
