// Distance classes, shared by the pair engines: the class of a value among ascending bounds,
// found through a lookup table, and the squared-distance thresholds that let a pass compare
// squared distances instead of their roots.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace krige::engine {

// The smallest q >= 0 with sqrt(q) >= e, and the largest q with sqrt(q) <= e: since
// the square root is monotonic and correctly rounded, comparing a squared distance with these
// decides exactly how its root compares with e. Found by stepping with nextafter from e * e.
double least_square_reaching(double e);
double greatest_square_within(double e);

// Finds among ascending bounds b[0..n] (n >= 1, equal neighbours allowed) the class k with
// b[k] <= x < b[k + 1], the outer classes extended to −∞ and +∞, so that x == b[n] falls into the
// last class. A table over equal-width buckets of [b[0], b[n]] answers directly for a bucket that
// no inner bound falls into; otherwise it gives a first guess that comparisons with the bounds
// then raise. The bucket of a value is a monotonic function of it, computed alike for values and
// bounds, so neither answer depends on the table's rounding.
class ClassLookup {
  public:
    explicit ClassLookup(std::span<const double> bounds);

    // Any x but NaN.
    std::size_t classify(double x) const { return classify(x, bucket(x)); }

    // The same for many values: their buckets first, in a loop the compiler can vectorise.
    void buckets(const double *x, std::size_t count, uint32_t *out) const {
        for (std::size_t m = 0; m < count; ++m)
            out[m] = bucket(x[m]);
    }
    std::size_t classify(double x, uint32_t bucket) const {
        const uint32_t entry = table_[bucket];
        if ((entry & mixed) == 0) [[likely]]
            return entry;
        // x reaches the bounds of earlier buckets and stays below those of later ones: only the
        // inner bounds in its own bucket, bounds_[k + 1 .. end), can be passed.
        std::size_t k = entry & ~mixed;
        const std::size_t end = (table_[bucket + 1] & ~mixed) + 1;
        if (end - k > 9) // many bounds in one bucket: a binary search among them
            return std::size_t(std::upper_bound(bounds_.data() + k + 1, bounds_.data() + end, x) -
                               bounds_.data()) -
                   1;
        while (k + 1 < end && x >= bounds_[k + 1])
            ++k;
        return k;
    }

    std::size_t classes() const { return bounds_.size() - 1; }

  private:
    static constexpr uint32_t mixed = uint32_t(1) << 31; // an inner bound lies in the bucket

    uint32_t bucket(double x) const {
        // Clamped to the table, NaN to bucket 0.
        double position = (x - low_) * buckets_per_unit_;
        position = position > 0.0 ? position : 0.0;
        position = position < last_ ? position : last_;
        return uint32_t(int32_t(position));
    }

    std::vector<double> bounds_;
    double low_, buckets_per_unit_, last_;
    std::vector<uint32_t> table_;
};

} // namespace krige::engine
