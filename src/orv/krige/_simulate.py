"""Gaussian random fields with a known spherical variogram, for checks against a known truth."""
from __future__ import annotations

import math

import numpy as np
from scipy.linalg import cholesky
from scipy.spatial.distance import pdist, squareform


def anisotropic_distances(points, *, angle, ratio):
    """Pair distances (N x N) in the frame where the anisotropy becomes isotropic.

    The coordinates are turned so that the direction `angle` (degrees counter-clockwise from
    the first axis) lies along the first axis, and the component across it is multiplied by
    `ratio`: a range R along `angle` is then a range R / ratio across it.
    """
    theta = math.radians(angle)
    along = points[:, 0] * math.cos(theta) + points[:, 1] * math.sin(theta)
    across = -points[:, 0] * math.sin(theta) + points[:, 1] * math.cos(theta)
    return squareform(pdist(np.column_stack([along, ratio * across])))


def spherical_field(n, *, extent, psill, range_, nugget, angle=0.0, ratio=1.0, seed):
    """Samples at `n` uniformly random points of a square of side `extent`, and their values.

    The values are a zero-mean Gaussian random field whose covariance is that of the
    spherical model (PSill `psill`, Range `range_` along `angle`, `range_ / ratio` across)
    plus an independent nugget of variance `nugget`. They are drawn exactly, as L·z with L
    the Cholesky factor of the N x N covariance matrix and z standard normal, so the cost
    is O(N³) and N should stay in the low thousands.
    """
    rng = np.random.default_rng(seed)
    points = rng.uniform(0.0, extent, size=(n, 2))
    r = anisotropic_distances(points, angle=angle, ratio=ratio) / range_
    covariance = psill * np.where(r < 1.0, 1.0 - 1.5 * r + 0.5 * r**3, 0.0)
    # The nugget keeps the matrix well conditioned even for nearly coincident points.
    covariance[np.diag_indices(n)] += max(nugget, 1e-10 * psill)
    factor = cholesky(covariance, lower=True, overwrite_a=True, check_finite=False)
    return points, factor @ rng.standard_normal(n)
