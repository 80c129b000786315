// The distance of one pair of samples, computed the same way by every pair engine.
//
// Projected coordinates: the square root of the squared coordinate differences added strictly
// left to right, ((t0·t0 + t1·t1) + t2·t2) with t_k = x_ik − x_jk, which is the arithmetic of
// SciPy's Euclidean pdist for float64 rows. Geographic coordinates: the haversine distance of
// geodesy/haversine.hpp, from longitudes and latitudes in radians with the latitudes' cosines
// computed once per sample.
#pragma once

#include "common/haversine.hpp"

#include <cmath>
#include <cstddef>

namespace krige::engine {

// Squared Euclidean distance of rows a and b of `columns` coordinates, summed left to right.
inline double squared_distance(const double *a, const double *b, std::size_t columns) {
    double t = a[0] - b[0];
    double sum = t * t;
    for (std::size_t k = 1; k < columns; ++k) {
        t = a[k] - b[k];
        sum += t * t;
    }
    return sum;
}

inline double euclidean_distance(const double *a, const double *b, std::size_t columns) {
    return std::sqrt(squared_distance(a, b, columns));
}

// A sample in geographic coordinates, prepared once: radians and the cosine of the latitude.
struct GeographicPoint {
    double lon;
    double lat;
    double cos_lat;
};

inline GeographicPoint geographic_point(double lon_radians, double lat_radians) {
    return {lon_radians, lat_radians, std::cos(lat_radians)};
}

inline double great_circle_distance(const GeographicPoint &a, const GeographicPoint &b,
                                    double diameter) {
    return geodesy::distance(a.lon, a.lat, a.cos_lat, b.lon, b.lat, b.cos_lat, diameter);
}

} // namespace krige::engine
