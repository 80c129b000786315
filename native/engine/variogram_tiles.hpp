// The pairs of one or two sets of samples, produced block by block on several threads, selected
// by distance class (and direction), and accumulated into exact per-class sums.
//
// Every selected pair adds its distance and its per-pair value to the exact sums of its class,
// so the result is the same whatever the order of the pairs, the number of threads, the grid
// that prunes the candidates or the partition of the pairs into calls.
#pragma once

#include "engine/direction_filter.hpp"
#include "engine/lag_cells.hpp"
#include "engine/pair_accumulator.hpp"
#include "engine/spatial_grid.hpp"
#include "common/progress.hpp"

#include <span>

namespace krige::engine {

enum class Estimator : int { matheron = 0, cressie = 1 };

struct PairSettings {
    std::span<const double> edges; // n + 1 finite, ascending, non-negative edges
    bool geographic = false;
    Estimator estimator = Estimator::matheron;
    bool directional = false;
    // With a direction: its angle, dip and tolerance in degrees and the bandwidth (NaN for
    // none), as given, and the filter made from them: `direction` for projected coordinates
    // with 2 or 3 columns (the dip only with 3), `bearing` for geographic ones.
    double degrees = 0.0, dip_degrees = 0.0, tolerance_degrees = 90.0, bandwidth = NAN;
    DirectionFilter direction;
    BearingFilter bearing;
    // A variogram map (projected coordinates with 2 columns, no edges or direction used): each
    // pair goes to the cell of its canonical lag, the classes are the cells.
    const LagCells *cells = nullptr;
    int threads = 1;
    ProgressCounter *progress = nullptr; // samples whose pairs are done; null: not counted
};

// A fingerprint of what decides which pairs a class holds and what they add: the edges, the
// coordinate type, the estimator, the direction and the bandwidth (not the thread count).
// States of pairs made with different settings have different fingerprints.
int64_t settings_fingerprint(const PairSettings &settings);

// Mean Earth radius in kilometres, as the package's geodesy uses it.
inline constexpr double earth_radius_km = 6371.0088;

// How accumulate_pairs ended: the run's status, then the samples' check (when the run finished),
// then whether a class count overflowed int64 while the workers' sums were merged.
struct PairsStatus {
    RunStatus run = RunStatus::finished;
    SampleCheck samples = SampleCheck::valid;
    bool count_overflow = false;

    bool ok() const {
        return run == RunStatus::finished && samples == SampleCheck::valid && !count_overflow;
    }
};

// Adds every selected pair to `result` (which has edges.size() − 1 classes): pairs i < j of `a`
// when `b` is null, otherwise every pair (a_i, b_j), on up to settings.threads threads. `prune`
// uses a grid of cells of about the largest edge to skip pairs that are surely farther apart.
// Stops when `interrupt` asks; may throw std::bad_alloc from the calling thread.
PairsStatus accumulate_pairs(const SampleArrays &a, const SampleArrays *b,
                             const PairSettings &settings, bool prune, PairAccumulator &result,
                             Interrupt &interrupt);

// The sums of a variogram map's cells with their mirror cells' added, so that each cell holds
// the pairs entered at its lags and those whose opposite lag falls there. May throw
// std::bad_alloc; false when a count would overflow.
bool mirrored_cells(const PairAccumulator &canonical, const LagCells &cells,
                    PairAccumulator &result);

} // namespace krige::engine
