// The distance and the semivariance of one pair of samples, computed the same way by every pair
// engine.
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

// The squared distance from the coordinate differences t, their squares added left to right.
template <int Dims> inline double sum_of_squares(const double (&t)[Dims]) {
    double sum = t[0] * t[0];
    for (int k = 1; k < Dims; ++k)
        sum += t[k] * t[k];
    return sum;
}

// Squared Euclidean distance of rows a and b of Dims coordinates.
template <int Dims> inline double squared_distance(const double *a, const double *b) {
    double t[Dims];
    for (int k = 0; k < Dims; ++k)
        t[k] = a[k] - b[k];
    return sum_of_squares(t);
}

// The same for a number of columns known only at run time: the same additions in the same
// order, the running sum kept instead of the differences.
inline double squared_distance(const double *a, const double *b, std::size_t columns) {
    double t = a[0] - b[0];
    double sum = t * t;
    for (std::size_t k = 1; k < columns; ++k) {
        t = a[k] - b[k];
        sum += t * t;
    }
    return sum;
}

// The semivariance of a pair of values, ½(a − b)². (b − a)² is the same number: the difference
// is rounded symmetrically.
inline double semivariance(double a, double b) {
    const double t = a - b;
    return 0.5 * (t * t);
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
