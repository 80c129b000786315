// Point and block kriging of many targets, local (k nearest samples) or global (every sample,
// one factorisation), on worker threads, and the leave-one-out of global kriging.
//
// KrigingSamples holds what every call shares: the prepared samples, the model, the drift,
// the k-d tree over the samples and the one factorisation of global kriging, each built once.
//
// Determinism: every target's arithmetic (neighbour search, system, solve) is sequential and
// fixed, and no target's result depends on another's, so the results are the same bits for any
// thread count and chunk size. No BLAS is used, since its results may depend on its threads
// and the shape of a batch.
#pragma once

#include "common/parallel.hpp"
#include "common/progress.hpp"
#include "engine/kriging_model.hpp"
#include "engine/kriging_neighbours.hpp"
#include "engine/kriging_system.hpp"

#include <cstdint>
#include <optional>
#include <span>

namespace krige::engine {

struct SampleSettings {
    const double *points = nullptr; // N × dimensions, prepared (anisotropy, GEOGCS) coordinates
    const double *values = nullptr; // N
    std::int64_t count = 0;
    int dimensions = 2;
    CovarianceModel model;
    int drift_degree = 0; // −1: simple kriging (known mean); 0: ordinary; 1, 2: universal
    double mean = 0.0;
    double centre[3] = {0, 0, 0}; // the drift's coordinates are (x − centre) / scale
    double scale = 1.0;
    // Coordinates of the drift when they are not the kriging coordinates (GEOGCS: longitude
    // and latitude), N × drift_dimensions; null: the coordinates.
    const double *drift_points = nullptr;
    int drift_dimensions = 2;
};

struct TargetSettings {
    std::int64_t neighbours = 0; // 0: global (every sample, the samples' factorisation)
    double max_distance2 = 0.0;  // inclusive; +inf for no limit
    std::int64_t min_neighbours = 1;
    std::span<const std::int64_t> labels;        // per sample; empty: none
    std::span<const std::int64_t> target_labels; // per target: samples of this label left out
    const double *targets = nullptr;             // M × dimensions
    std::int64_t target_count = 0;
    const double *drift_targets = nullptr; // M × drift_dimensions when the samples have them
    const double *offsets = nullptr; // B × dimensions: the block's discretisation (B = 1, 0: point)
    std::int64_t offset_count = 1;
    bool point = true;
    std::int64_t chunk = 256;            // targets per unit of work
    ProgressCounter *progress = nullptr; // targets done; null: not counted
};

struct KrigingOutput {
    double *estimate;
    double *variance;
    std::int64_t *neighbours;
};

struct KrigingResult {
    RunStatus status = RunStatus::finished;
    std::int64_t failed = 0; // targets whose system could not be solved
};

class KrigingSamples {
  public:
    // The memory behind the settings' pointers must outlive this object.
    explicit KrigingSamples(const SampleSettings &settings);

    // The k-d tree, for neighbourhoods (k nearest, or within a distance).
    RunStatus build_index(Interrupt &interrupt);
    // The system of every sample, for global kriging; a singular system leaves factorised()
    // false, and global targets then get NaN.
    RunStatus factorise(Interrupt &interrupt);

    const SampleSettings &settings() const { return settings_; }
    int drift_terms() const { return drift_terms_; }
    const NeighbourIndex *index() const { return index_ ? &*index_ : nullptr; }
    bool factorised() const { return factorised_; }
    const KrigingSystem &system() const { return system_; }

  private:
    SampleSettings settings_;
    int drift_terms_;
    std::optional<NeighbourIndex> index_;
    KrigingSystem system_;
    bool factorised_ = false;
};

KrigingResult krige_targets(const KrigingSamples &samples, const TargetSettings &targets,
                            const KrigingOutput &output, int threads, Interrupt &interrupt);

// Each sample predicted from all the others by global kriging, from the one factorisation
// (samples.factorised() must be true): with B the inverse of the bordered system and
// a = B [z; 0], sample i's residual is a_i / B_ii and its kriging variance 1 / B_ii, which is
// the kriging of sample i from the other samples, in O(N³) for all of them rather than N
// factorisations of O(N³) each.
KrigingResult leave_one_out(const KrigingSamples &samples, std::int64_t min_neighbours,
                            const KrigingOutput &output, int threads, Interrupt &interrupt,
                            ProgressCounter *progress);

// Number of drift terms of a degree in `dimensions` coordinates (0 for simple kriging).
int drift_terms(int degree, int dimensions);

} // namespace krige::engine
