#include "engine/distance_classes.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace krige::engine {

double least_square_reaching(double e) {
    if (!(e > 0.0)) return 0.0; // every square but NaN reaches it
    double q = std::min(e * e, DBL_MAX);
    while (q > 0.0 && std::sqrt(std::nextafter(q, 0.0)) >= e)
        q = std::nextafter(q, 0.0);
    while (std::sqrt(q) < e) {
        if (q == DBL_MAX) return INFINITY;
        q = std::nextafter(q, INFINITY);
    }
    return q;
}

double greatest_square_within(double e) {
    double q = std::min(e * e, DBL_MAX);
    while (std::sqrt(q) > e)
        q = std::nextafter(q, 0.0);
    while (q < DBL_MAX && std::sqrt(std::nextafter(q, INFINITY)) <= e)
        q = std::nextafter(q, INFINITY);
    return q;
}

ClassLookup::ClassLookup(std::span<const double> bounds)
    : bounds_(bounds.begin(), bounds.end()), low_(bounds.front()) {
    const std::size_t classes = bounds.size() - 1;
    const std::size_t buckets = std::clamp<std::size_t>(64 * classes, 1024, std::size_t(1) << 16);
    buckets_per_unit_ = double(buckets) / (bounds.back() - low_);
    if (!std::isfinite(buckets_per_unit_)) buckets_per_unit_ = 0.0; // a subnormal width
    last_ = double(buckets - 1);
    // Values below an inner bound lie in its bucket or below, values from it on in its bucket or
    // above. So every value of bucket c reaches the j − 1 inner bounds of earlier buckets (j the
    // first inner bound from bucket c on), and stays below those of later buckets.
    // One entry more than the buckets: the first inner bound after the last bucket (none).
    table_.resize(buckets + 1);
    table_[buckets] = uint32_t(classes - 1);
    std::size_t j = 1;
    for (std::size_t c = 0; c < buckets; ++c) {
        while (j < classes && bucket(bounds[j]) < c)
            ++j;
        const bool holds_bound = j < classes && bucket(bounds[j]) == c;
        table_[c] = uint32_t(j - 1) | (holds_bound ? mixed : 0);
    }
}

} // namespace krige::engine
