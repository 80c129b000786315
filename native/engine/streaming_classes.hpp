// The experimental semivariogram's pairs without storing them: each pass produces the pairs again,
// in the order the statements give them, a tile of one row at a time, on one or several threads.
//
//   pass 1  extremes()     the smallest and largest distance, and whether any is NaN;
//   pass 2  class counts   the size of each class, which fixes the shape of its summation tree;
//   pass 3  class sums     every pair pushed into its class's NumPy pairwise tree.
//
// Threads split the pair sequence into contiguous segments (whole rows). Passes 1 and 2 do not
// depend on order; in pass 3 each segment knows from pass 2 which positions of each class it holds,
// and numpy_pairwise_tree rebuilds every class's sum exactly as one thread would.
#pragma once

#include "common/parallel.hpp"
#include "engine/numpy_pairwise_tree.hpp"
#include "common/thread_policy.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace krige::engine {

// Samples in projected coordinates: pairs (i, j), i < j, in SciPy's condensed order; distance
// sqrt of the left-to-right sum of squared differences, semivariance 0.5 * ((v_i - v_j)²).
struct ProjectedSamples {
    std::vector<std::vector<double>> columns; // one vector per coordinate column
    std::vector<double> values;
};

// Samples in geographic coordinates (radians): pairs (i, j), i > j, row by row; the haversine
// distance of the package's kernel, semivariance 0.5 * ((v_j - v_i)²).
struct GeographicSamples {
    std::vector<double> lon, lat, cos_lat, values;
    double diameter;
};

// Pairs already stored in two float64 arrays of equal length (the memory stays the caller's).
struct StoredPairs {
    const double *d, *g;
    int64_t count;
};

struct Extremes {
    double max, min; // NaN when any distance is NaN
};

// Per-class results of passes 2 and 3: count and NumPy's sums of distances and semivariances.
struct StreamedClassSums {
    std::vector<int64_t> counts;
    std::vector<double> d, g;
    bool flags_raised;        // a sum overflowed or the like: NumPy would report it
    bool passes_agree = true; // false: pass 3 did not find the pairs pass 2 counted (a fault)
};

// A stream of pairs that the passes read; made by one of the factories below, with the thread
// policy of the call. Each pass runs on the threads the policy gives for the stream's pairs and
// stops when `interrupt` asks; its status says whether it ran to its end. Memory for the passes'
// bookkeeping is allocated on the calling thread and may throw std::bad_alloc.
class PairStream {
  public:
    virtual ~PairStream() = default;
    virtual int64_t pairs() const = 0;
    // Pass 1.
    virtual RunStatus extremes(Extremes &out, Interrupt &interrupt) = 0;
    // Passes 2 and 3 for classes [edges[k], edges[k + 1]); edges finite and ascending (equal
    // neighbours allowed).
    virtual RunStatus class_sums(std::span<const double> edges, pairs::SummationRule rule,
                                 StreamedClassSums &out, Interrupt &interrupt) = 0;
    // Writes the distances and semivariances in pair order (for the statements to use).
    virtual RunStatus store(double *d, double *g, Interrupt &interrupt) = 0;
};

std::unique_ptr<PairStream> projected_stream(ProjectedSamples samples, ThreadPolicy threads);
std::unique_ptr<PairStream> geographic_stream(GeographicSamples samples, ThreadPolicy threads);
std::unique_ptr<PairStream> stored_stream(StoredPairs pairs, ThreadPolicy threads);

} // namespace krige::engine
