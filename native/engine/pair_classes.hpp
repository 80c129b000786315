// Sorting pairs into distance classes and averaging each class exactly as NumPy's `np.mean` of the
// class's selection would: same pairwise summation tree, same chunking, same final division.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace krige::pairs {

// How NumPy's add.reduce splits a contiguous float64 sum: either in chunks of the iterator's
// buffer size, each summed pairwise and added to a running total, or in one piece.
struct SummationRule {
    int64_t chunk; // elements per chunk; 0 means the whole array at once
};

// NumPy's pairwise sum of a[0..n) (n > 0), bit for bit.
double pairwise_sum(const double *a, int64_t n);

// 0.0 + pairwise sums of the chunks, as add.reduce over a contiguous array of n values.
double reduce_sum(const double *a, int64_t n, SummationRule rule);

struct ClassMeans {
    std::vector<int64_t> counts;
    std::vector<double> distance_sums; // NaN-free only when the inputs are
    std::vector<double> semivariance_sums;
};

// Class k holds the pairs with edges[k] <= d < edges[k + 1]; edges must be finite and ascending
// (equal neighbours make empty classes). Sums are those NumPy forms for each class's selection
// in pair order.
ClassMeans sum_classes(std::span<const double> d, std::span<const double> g,
                       std::span<const double> edges, SummationRule rule);

} // namespace krige::pairs
