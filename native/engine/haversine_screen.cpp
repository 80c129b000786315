#include "engine/haversine_screen.hpp"

#include <algorithm>

namespace krige::engine {

bool HaversineScreen::build(std::span<const double> lon, std::span<const double> lat) {
    for (std::span<const double> angles : {lon, lat})
        for (double a : angles)
            if (!(std::fabs(a) <= 8.0)) return false;
    auto halves = [](std::span<const double> angles, std::vector<double> &sines,
                     std::vector<double> &cosines) {
        sines.resize(angles.size());
        cosines.resize(angles.size());
        for (std::size_t i = 0; i < angles.size(); ++i) {
            sines[i] = std::sin(0.5 * angles[i]);
            cosines[i] = std::cos(0.5 * angles[i]);
        }
    };
    halves(lat, sin_lat_, cos_lat_);
    halves(lon, sin_lon_, cos_lon_);
    return true;
}

namespace {

// The bands' starts, a lookup needs at least two.
std::vector<double> band_starts(std::span<const double> edges, double diameter) {
    std::vector<double> low(edges.size());
    // Terms below sin²(1.5)·(1 − 2^-30) give distances below 1.5 D; farther edges are told apart
    // by the distance alone.
    const double far = std::sin(1.5) * std::sin(1.5) * (1.0 - 0x1p-30) - 2.0 * term_error;
    for (std::size_t k = 0; k < edges.size(); ++k) {
        const double a = edges[k] / diameter;
        const double s = a > 0.0 ? std::sin(std::min(a, 1.5)) : 0.0;
        low[k] = a >= 1.5 ? far : s * s * (1.0 - 0x1p-30) - 2.0 * term_error;
        if (k > 0)
            low[k] = std::max(low[k], low[k - 1]); // sin need not be monotonic in its last bit
    }
    return low;
}

} // namespace

TermBands::TermBands(std::span<const double> edges, double diameter)
    : low_(band_starts(edges, diameter)), high_(edges.size()), starts_(low_) {
    for (std::size_t k = 0; k < edges.size(); ++k) {
        const double a = edges[k] / diameter;
        const double s = a > 0.0 ? std::sin(std::min(a, 1.5)) : 0.0;
        high_[k] = a >= 1.5 ? INFINITY : s * s * (1.0 + 0x1p-30) + 2.0 * term_error;
        if (k > 0) high_[k] = std::max(high_[k], high_[k - 1]);
    }
}

} // namespace krige::engine
