// Point and block kriging of many targets, local (k nearest samples) or global (every sample,
// one factorisation), on worker threads.
//
// Determinism: every target's arithmetic (neighbour search, system, solve) is sequential and
// fixed, and no target's result depends on another's, so the results are the same bits for any
// thread count and chunk size. No BLAS is used, since its results may depend on its threads
// and the shape of a batch.
#pragma once

#include "common/parallel.hpp"
#include "engine/kriging_model.hpp"

#include <cstdint>
#include <span>

namespace krige::engine {

struct KrigingSettings {
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
    // and latitude), N × drift_dimensions and M × drift_dimensions; null: the coordinates.
    const double *drift_points = nullptr;
    const double *drift_targets = nullptr;
    int drift_dimensions = 2;
    std::int64_t neighbours = 0; // 0: global (every sample, one factorisation)
    double max_distance2 = 0.0;  // inclusive; +inf for no limit
    std::int64_t min_neighbours = 1;
    std::span<const std::int64_t> labels;        // per sample; empty: none
    std::span<const std::int64_t> target_labels; // per target: samples of this label left out
    const double *targets = nullptr;             // M × dimensions
    std::int64_t target_count = 0;
    const double *offsets = nullptr; // B × dimensions: the block's discretisation (B = 1, 0: point)
    std::int64_t offset_count = 1;
    bool point = true;
    std::int64_t chunk = 256; // targets per unit of work
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

KrigingResult krige_targets(const KrigingSettings &settings, const KrigingOutput &output,
                            int threads, Interrupt &interrupt);

// Number of drift terms of a degree in `dimensions` coordinates (0 for simple kriging).
int drift_terms(int degree, int dimensions);

} // namespace krige::engine
