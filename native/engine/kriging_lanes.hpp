// The Cholesky systems of several local kriging targets at once, one per vector lane.
//
// Neighbour systems of 32 samples are small: one alone leaves the processor waiting on chains
// of dependent subtractions. Eight of the same size, interleaved entry by entry, run those
// chains side by side in vector registers. Each lane performs exactly the operations of
// KrigingSystem's Cholesky path, in the same order (multiplication and subtraction separate,
// no fused multiply-add), so a target gives the same bits in a lane as alone.
#pragma once

#include <cstdint>
#include <vector>

namespace krige::engine {

constexpr int system_lanes = 8;
// Larger systems have enough independent work each, and eight of them would take much memory.
constexpr int most_lane_samples = 64;

class LaneSystems {
  public:
    // Factorises `lanes` (≤ system_lanes) systems of n samples and p drift terms: matrix[ℓ] the
    // n × n symmetric block K (row-major), drift[ℓ] n × p, values[ℓ] z. Returns the mask of the
    // lanes whose factorisation succeeded; the others need the full scalar path (which may fall
    // back to LU, or fail).
    unsigned factorise(int n, int p, const double *const *matrix, const double *const *drift,
                       const double *const *values, int lanes);

    // rhs[ℓ]: c (n) then f (p) of lane ℓ. Writes estimate[ℓ] and variance[ℓ].
    void solve(const double *const *rhs, double at_zero, double *estimate, double *variance);

  private:
    int n_ = 0, p_ = 0, lanes_ = 0;
    std::vector<double> lower_, y_, zeta_, y_zeta_, schur_, u_, mu_;
};

} // namespace krige::engine
