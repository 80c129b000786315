// Great-circle distances screened by a cheap approximation of their haversine term, so that the
// passes that only compare distances need the sines and the arcsine of a pair only when the
// approximation cannot decide.
//
// The package's kernel computes h = sin²(|Δφ| / 2) + sin²(|Δλ| / 2) · cos φ1 cos φ2 and then
// d = asin(√h) · D. Here each sample's half-angle sines and cosines are computed once, and
// sin(Δ / 2) = sin(a / 2) cos(b / 2) − cos(a / 2) sin(b / 2) gives an approximate term within
// `term_error` of the kernel's for coordinates within ±8 radians (the kernel's rounding of Δ,
// the sines' and the products' errors, with a margin of 16). d is a non-decreasing function of h
// up to its own rounding: terms more than a relative 2^-36 apart give ordered distances, which the
// windows below allow for.
#pragma once

#include "engine/distance_classes.hpp"

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace krige::engine {

inline constexpr double term_error = 0x1p-42;

class HaversineScreen {
  public:
    // False (and no screen) when a coordinate is not finite or beyond ±8 radians.
    bool build(std::span<const double> lon, std::span<const double> lat);

    // Approximate terms of the pairs (i, j) for j in [j0, j1); cos_lat as the kernel takes it.
    void terms(std::size_t i, std::size_t j0, std::size_t j1, const double *cos_lat,
               double *h) const {
        const double sa = sin_lat_[i], ca = cos_lat_[i], so = sin_lon_[i], co = cos_lon_[i];
        const double c = cos_lat[i];
        for (std::size_t j = j0; j < j1; ++j) {
            const double s1 = sa * cos_lat_[j] - ca * sin_lat_[j];
            const double s2 = so * cos_lon_[j] - co * sin_lon_[j];
            h[j - j0] = s1 * s1 + (s2 * s2) * (c * cos_lat[j]);
        }
    }

  private:
    // Sines and cosines of half the latitudes and longitudes.
    std::vector<double> sin_lat_, cos_lat_, sin_lon_, cos_lon_;
};

// Running extremes of distances seen through approximate terms. Every pair whose distance may be
// the largest (or smallest) one has a term near the largest (or smallest) term so far, and only
// those pairs need their distance, which `exact` computes.
struct ScreenedExtremes {
    double term_max = -INFINITY, term_min = INFINITY;
    double max_window = -INFINITY, min_window = INFINITY;
    double max = -INFINITY, min = INFINITY;

    template <class Exact> void add(const double *h, std::size_t count, Exact exact) {
        for (std::size_t m = 0; m < count; ++m) {
            if (h[m] >= max_window) [[unlikely]] {
                if (h[m] > term_max) {
                    term_max = h[m];
                    max_window = (term_max - term_error) * (1.0 - 0x1p-35) - 2.0 * term_error;
                }
                max = std::fmax(max, exact(m));
            }
            if (h[m] <= min_window) [[unlikely]] {
                if (h[m] < term_min) {
                    term_min = h[m];
                    min_window = (term_min + term_error) * (1.0 + 0x1p-35) + 2.0 * term_error;
                }
                min = std::fmin(min, exact(m));
            }
        }
    }
};

// The classes of distances [e_k, e_k+1) told from approximate terms: for each edge a band of terms
// outside which the term alone decides on which side of the edge the distance lies.
class TermBands {
  public:
    static constexpr int outside = -1, undecided = -2;

    TermBands(std::span<const double> edges, double diameter);

    // The class, `outside`, or `undecided` when only the distance itself can tell.
    int classify(double h) const {
        if (!(h >= low_.front())) return outside;
        if (h >= low_.back()) return h < high_.back() ? undecided : outside;
        const std::size_t k = starts_.classify(h); // low_k <= h < low_k+1
        return h < high_[k] ? undecided : int(k);
    }

  private:
    std::vector<double> low_, high_; // bands [low_k, high_k) of the edges, both ascending
    ClassLookup starts_;             // among the bands' starts
};

} // namespace krige::engine
