"""Great-circle distances between geographic coordinates on the mean Earth sphere."""
import numpy as np

from . import _geodesy
from .points import real_array

#: Mean radius of the Earth in kilometres (the arithmetic mean of the ellipsoid's radii).
EARTH_RADIUS_KM = 6371.0088


def _lon_lat_radians(x, name):
    """Longitude and latitude columns of `x` (N x 2, degrees) in radians, float64."""
    array = real_array(x, name)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(
            f"{name} must be an N x 2 array of (longitude, latitude) in degrees; "
            f"got shape {array.shape}"
        )
    return np.radians(array[:, 0], dtype=np.float64), np.radians(array[:, 1], dtype=np.float64)


def great_circle_distance(a, b):
    """Matrix of great-circle distances in kilometres between two sets of points.

    Entry (i, j) is the distance between a[i] and b[j] on a sphere of radius
    EARTH_RADIUS_KM, by the haversine formula

        h = sin²(Δφ/2) + (cos φ1 · cos φ2) · sin²(Δλ/2),   d = 2 R arcsin(√h),

    with h clipped to [0, 1] against rounding, evaluated pair by pair in native code (no N x M
    temporaries).

    Parameters
    ----------
    a : array_like, shape (N, 2)
        (longitude, latitude) in degrees, longitude first.
    b : array_like, shape (M, 2)
        The same for the second set.

    Returns
    -------
    ndarray of float64, shape (N, M)
        The distances in kilometres. Identical points are exactly 0 apart, and the terms are
        formed so that exchanging the two points gives the same bits: when `a` and `b` hold
        the same points the result is exactly symmetric. NaN coordinates give NaN.

    Raises
    ------
    ValueError
        If `a` or `b` is not an N x 2 array.
    TypeError
        If they do not hold integers or real floating-point numbers.
    """
    lon_a, lat_a = _lon_lat_radians(a, "a")
    lon_b, lat_b = _lon_lat_radians(b, "b")
    result = np.empty((lat_a.size, lat_b.size))
    # A set of points against itself: one triangle is computed and mirrored.
    same = np.array_equal(lon_a, lon_b) and np.array_equal(lat_a, lat_b)
    _geodesy.haversine_matrix(lon_a, lat_a, lon_b, lat_b, result, EARTH_RADIUS_KM, same)
    return result
