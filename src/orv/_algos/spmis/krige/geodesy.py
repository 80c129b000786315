"""Great-circle distances between geographic coordinates on the mean Earth sphere."""
import numpy as np

from .points import real_array

#: Mean radius of the Earth in kilometres (the arithmetic mean of the ellipsoid's radii).
EARTH_RADIUS_KM = 6371.0088

# Rows of the result computed per pass: bounds the working arrays to a few megabytes each,
# so that a large matrix needs little memory besides itself.
_BLOCK_ENTRIES = 1 << 18


def _lon_lat_radians(x, name):
    """Longitude and latitude columns of `x` (N x 2, degrees) in radians, float64."""
    array = real_array(x, name)
    if array.ndim != 2 or array.shape[1] != 2:
        raise ValueError(
            f"{name} must be an N x 2 array of (longitude, latitude) in degrees; "
            f"got shape {array.shape}"
        )
    return np.radians(array[:, 0], dtype=np.float64), np.radians(array[:, 1], dtype=np.float64)


def _haversine_of_gap(u, v, out):
    """out[i, j] = sin²(|u_i - v_j| / 2); the absolute value makes it symmetric bit for bit."""
    np.subtract.outer(u, v, out=out)
    np.abs(out, out=out)
    out *= 0.5
    np.sin(out, out=out)
    np.square(out, out=out)
    return out


def great_circle_distance(a, b):
    """Matrix of great-circle distances in kilometres, shape len(a) x len(b).

    `a` and `b` are N x 2 and M x 2 arrays of (longitude, latitude) in degrees, longitude
    first. Entry (i, j) is the distance between a[i] and b[j] on a sphere of radius
    EARTH_RADIUS_KM, by the haversine formula

        h = sin²(Δφ/2) + (cos φ1 · cos φ2) · sin²(Δλ/2),   d = 2 R arcsin(√h),

    with h clipped to [0, 1] against rounding. Identical points are exactly 0 apart, and the
    terms are formed so that exchanging the two points gives the same bits: when `a` and `b`
    hold the same points the result is exactly symmetric. NaN coordinates give NaN.
    """
    lon_a, lat_a = _lon_lat_radians(a, "a")
    lon_b, lat_b = _lon_lat_radians(b, "b")
    cos_a, cos_b = np.cos(lat_a), np.cos(lat_b)
    result = np.empty((lat_a.size, lat_b.size))
    step = max(1, _BLOCK_ENTRIES // max(1, lat_b.size))
    scratch = np.empty((min(step, lat_a.size), lat_b.size))
    for start in range(0, lat_a.size, step):
        rows = slice(start, start + step)
        block = result[rows]
        gap = scratch[: block.shape[0]]
        _haversine_of_gap(lat_a[rows], lat_b, out=block)
        _haversine_of_gap(lon_a[rows], lon_b, out=gap)
        # cos φ1 · cos φ2 as one product first, so that it is the same for (i, j) and (j, i).
        gap *= np.multiply.outer(cos_a[rows], cos_b)
        block += gap
    np.clip(result, 0.0, 1.0, out=result)
    np.sqrt(result, out=result)
    np.arcsin(result, out=result)
    result *= 2.0 * EARTH_RADIUS_KM
    return result
