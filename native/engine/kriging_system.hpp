// The kriging system of one set of samples, factorised once and solved for any right-hand side.
//
// The system is [K F; Fᵀ 0] [w; μ] = [c; f] with K the n × n (generalized) covariances of the
// samples, F their p drift terms, c the covariances to the target and f its drift terms. The
// estimate is wᵀz and the variance C₀ − wᵀc − μᵀf.
//
// Bounded models (a positive definite K): Cholesky K = L Lᵀ, Y = L⁻¹F, and the p × p Schur
// complement S = YᵀY, itself by Cholesky. With u = L⁻¹c, S μ = Yᵀu − f gives
//     estimate = uᵀζ − μᵀ(Yᵀζ),    variance = C₀ − ‖u‖² + μᵀSμ,      ζ = L⁻¹z,
// so a target needs one triangular solve of its right-hand side and nothing of size n × n.
// Why this way: Cholesky is the cheapest stable factorisation of a positive definite block, and
// the drift through the Schur complement keeps the indefinite part p × p.
//
// Linear and Power (K = −γ is only conditionally positive definite) and a block whose Cholesky
// fails (HoleEffect is not positive definite for every configuration) use an LU factorisation
// of the whole bordered system with partial pivoting, which solves indefinite systems stably.
//
// Every operation runs in a fixed order, so a system's result does not depend on the thread or
// batch it is solved in. A pivot below a relative threshold marks the system as singular.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace krige::engine {

// A pivot this small relative to its diagonal entry (or to the largest entry of the matrix for
// LU) means the matrix is singular to working precision.
constexpr double singular_pivot = 1e-12;

class KrigingSystem {
  public:
    // matrix: the n × n block K (row-major, full), drift: n × p (row-major), values: z (for
    // simple kriging already less the mean). Returns false for a singular system.
    bool factorise(int n, int p, std::vector<double> &matrix, const std::vector<double> &drift,
                   const double *values, bool positive_definite,
                   const std::function<bool()> &stop = {});

    // True when the last factorise() gave up because `stop` answered true.
    bool stopped() const { return stopped_; }

    // rhs: c (n) then f (p). Writes estimate and variance; false when the answer is not finite.
    void solve(const double *rhs, double at_zero, double &estimate, double &variance,
               std::vector<double> &scratch) const;

    // Lane-wise batches of right-hand sides (Cholesky systems only): x holds `lanes` columns,
    // row-major (x[i * lanes + lane]); each lane sees exactly the operations of solve(), so a
    // batch gives the same bits as one target at a time.
    bool batched() const { return cholesky_; }
    void forward_lanes(double *x, int lanes) const;
    // estimate and variance from u = L⁻¹c (n) and the target's drift terms f (p).
    void finish(const double *u, const double *f, double at_zero, double &estimate,
                double &variance) const;
    int size() const { return n_; }
    // Of a Cholesky system: the n × n matrix as factorise() received it, row-major, of which
    // only the strict upper triangle is still valid (the factorisation writes the lower one and
    // the diagonal); null otherwise.
    const double *given_upper() const { return cholesky_ && n_ > 0 ? lower_.data() : nullptr; }

    // For leave-one-out, with B the inverse of the bordered system: a = the first n entries of
    // B [z; 0], and B_ii for i in [first, first + count), count ≤ 16.
    void dual_values(std::vector<double> &a) const;
    void inverse_diagonal(int first, int count, double *diagonal,
                          std::vector<double> &scratch) const;

  private:
    void lu_solve(double *x) const; // x ← M⁻¹ x for the LU factors of the bordered system M
    bool cholesky_path(std::vector<double> &matrix, const std::vector<double> &drift,
                       const double *values, const std::function<bool()> &stop);
    bool lu_path(const std::vector<double> &matrix, const std::vector<double> &drift,
                 const double *values, const std::function<bool()> &stop);
    bool stopped_ = false;
    bool drift_singular_ = false;
    std::vector<double> diagonal_;

    int n_ = 0, p_ = 0;
    bool cholesky_ = true;
    std::vector<double> lower_; // Cholesky: L (n × n); LU: the factors of the (n+p)² system
    std::vector<double> y_;     // Y = L⁻¹F, column by column (p × n)
    std::vector<double> schur_; // Cholesky factor of S (p × p)
    std::vector<double> zeta_;  // L⁻¹z
    std::vector<double> y_zeta_;
    std::vector<double> values_; // LU path: z
    std::vector<int> pivots_;    // LU path
};

// The leverage of each sample in the drift, h_i = f_iᵀ (FᵀF)⁻¹ f_i for F the n × p drift terms
// (row-major): 1 when the drift of the other samples is rank deficient. All 1 when F itself is.
void drift_leverages(const double *drift, std::int64_t n, int p, double *leverage);

} // namespace krige::engine
