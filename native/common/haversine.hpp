// The great-circle distance of one pair of points by the haversine formula. Every native path
// that needs a geographic distance (the matrix kernel of great_circle_distance and the pair
// engines) calls these, so that they all give the same bits.
#pragma once

#include <algorithm>
#include <cmath>

namespace krige::geodesy {

// sin²(|x − y| / 2), the haversine of a gap; the absolute value makes it symmetric.
inline double haversine(double x, double y) {
    double s = std::sin(std::fabs(x - y) * 0.5);
    return s * s;
}

// 2 R asin(√h) for h = hav(Δφ) + cos φ1 cos φ2 hav(Δλ), h clipped to [0, 1] against rounding.
// Angles in radians; cos_i and cos_j are std::cos of the latitudes.
inline double distance(double lon_i, double lat_i, double cos_i, double lon_j, double lat_j,
                       double cos_j, double diameter) {
    double h = haversine(lat_i, lat_j) + haversine(lon_i, lon_j) * (cos_i * cos_j);
    h = std::clamp(h, 0.0, 1.0); // NaN stays NaN
    return std::asin(std::sqrt(h)) * diameter;
}

} // namespace krige::geodesy
