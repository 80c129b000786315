#include "engine/kriging_system.hpp"

#include "engine/vector_lanes.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace krige::engine {

namespace {

// L (n × n row-major, lower) overwrites a; false when a pivot is not clearly positive.
// kriging_lanes.cpp repeats the operations of cholesky_path, forward, backward and finish for
// several systems at once; the tests hold both to the same bits.
bool cholesky(double *a, int n, const std::function<bool()> &stop, bool &stopped) {
    for (int j = 0; j < n; ++j) {
        // Large (global) systems take seconds: the caller may stop them every 64 columns.
        if (stop && j % 64 == 63 && stop()) {
            stopped = true;
            return false;
        }
        double *row_j = a + std::size_t(j) * n;
        const double diagonal = row_j[j];
        double d = diagonal;
        for (int k = 0; k < j; ++k)
            d -= row_j[k] * row_j[k];
        if (!(d > singular_pivot * std::fabs(diagonal))) return false;
        const double root = std::sqrt(d);
        row_j[j] = root;
        // One division per column; the entries below take a multiplication each.
        const double per_root = 1.0 / root;
        // Four rows at a time: four independent sums in flight rather than one chain of
        // dependent subtractions; each sum still runs in ascending k.
        int i = j + 1;
        for (; i + 4 <= n; i += 4) {
            double *r0 = a + std::size_t(i) * n, *r1 = r0 + n, *r2 = r1 + n, *r3 = r2 + n;
            double s0 = r0[j], s1 = r1[j], s2 = r2[j], s3 = r3[j];
            for (int k = 0; k < j; ++k) {
                const double ljk = row_j[k];
                s0 -= r0[k] * ljk;
                s1 -= r1[k] * ljk;
                s2 -= r2[k] * ljk;
                s3 -= r3[k] * ljk;
            }
            r0[j] = s0 * per_root;
            r1[j] = s1 * per_root;
            r2[j] = s2 * per_root;
            r3[j] = s3 * per_root;
        }
        for (; i < n; ++i) {
            double *row_i = a + std::size_t(i) * n;
            double s = row_i[j];
            for (int k = 0; k < j; ++k)
                s -= row_i[k] * row_j[k];
            row_i[j] = s * per_root;
        }
    }
    return true;
}

// x ← L⁻¹ x.
void forward(const double *l, int n, double *x) {
    for (int i = 0; i < n; ++i) {
        const double *row = l + std::size_t(i) * n;
        double s = x[i];
        for (int k = 0; k < i; ++k)
            s -= row[k] * x[k];
        x[i] = s / row[i];
    }
}

// x ← L⁻ᵀ x.
void backward(const double *l, int n, double *x) {
    for (int i = n - 1; i >= 0; --i) {
        double s = x[i];
        for (int k = i + 1; k < n; ++k)
            s -= l[std::size_t(k) * n + i] * x[k];
        x[i] = s / l[std::size_t(i) * n + i];
    }
}

double dot(const double *a, const double *b, int n) {
    double s = 0.0;
    for (int i = 0; i < n; ++i)
        s += a[i] * b[i];
    return s;
}

} // namespace

bool KrigingSystem::factorise(int n, int p, std::vector<double> &matrix,
                              const std::vector<double> &drift, const double *values,
                              bool positive_definite, const std::function<bool()> &stop) {
    n_ = n;
    p_ = p;
    stopped_ = false;
    if (positive_definite) {
        // Cholesky writes only the lower triangle and the diagonal: with the diagonal kept, the
        // symmetric matrix can be restored for the fall-back without an n × n copy.
        diagonal_.resize(std::size_t(n));
        for (int i = 0; i < n; ++i)
            diagonal_[std::size_t(i)] = matrix[std::size_t(i) * n + i];
        drift_singular_ = false;
        if (cholesky_path(matrix, drift, values, stop)) return true;
        if (stopped_ || drift_singular_) return false;
        for (int i = 0; i < n; ++i) {
            matrix[std::size_t(i) * n + i] = diagonal_[std::size_t(i)];
            for (int j = 0; j < i; ++j)
                matrix[std::size_t(i) * n + j] = matrix[std::size_t(j) * n + i];
        }
    }
    return lu_path(matrix, drift, values, stop);
}

bool KrigingSystem::cholesky_path(std::vector<double> &matrix, const std::vector<double> &drift,
                                  const double *values, const std::function<bool()> &stop) {
    cholesky_ = true;
    if (!cholesky(matrix.data(), n_, stop, stopped_)) return false;
    lower_.swap(matrix);
    y_.assign(std::size_t(p_) * n_, 0.0);
    for (int j = 0; j < p_; ++j) {
        double *column = y_.data() + std::size_t(j) * n_;
        for (int i = 0; i < n_; ++i)
            column[i] = drift[std::size_t(i) * p_ + j];
        forward(lower_.data(), n_, column);
    }
    zeta_.assign(values, values + n_);
    forward(lower_.data(), n_, zeta_.data());
    y_zeta_.resize(std::size_t(p_));
    schur_.assign(std::size_t(p_) * p_, 0.0);
    for (int i = 0; i < p_; ++i) {
        y_zeta_[std::size_t(i)] = dot(y_.data() + std::size_t(i) * n_, zeta_.data(), n_);
        for (int j = 0; j <= i; ++j)
            schur_[std::size_t(i) * p_ + j] =
                dot(y_.data() + std::size_t(i) * n_, y_.data() + std::size_t(j) * n_, n_);
    }
    for (int i = 0; i < p_; ++i)
        for (int j = i + 1; j < p_; ++j)
            schur_[std::size_t(i) * p_ + j] = schur_[std::size_t(j) * p_ + i];
    if (!cholesky(schur_.data(), p_, {}, stopped_)) {
        // A singular drift (samples collinear under a linear drift, too few samples for the
        // terms) cannot be rescued by another factorisation of the same system.
        drift_singular_ = true;
        return false;
    }
    return true;
}

bool KrigingSystem::lu_path(const std::vector<double> &matrix, const std::vector<double> &drift,
                            const double *values, const std::function<bool()> &stop) {
    cholesky_ = false;
    const int m = n_ + p_;
    lower_.assign(std::size_t(m) * m, 0.0);
    double largest = 0.0;
    for (int i = 0; i < m; ++i)
        for (int j = 0; j < m; ++j) {
            double v = 0.0;
            if (i < n_ && j < n_)
                v = matrix[std::size_t(i) * n_ + j];
            else if (i < n_)
                v = drift[std::size_t(i) * p_ + (j - n_)];
            else if (j < n_)
                v = drift[std::size_t(j) * p_ + (i - n_)];
            lower_[std::size_t(i) * m + j] = v;
            largest = std::fmax(largest, std::fabs(v));
        }
    pivots_.resize(std::size_t(m));
    for (int k = 0; k < m; ++k) {
        if (stop && k % 64 == 63 && stop()) {
            stopped_ = true;
            return false;
        }
        int best = k;
        double size = std::fabs(lower_[std::size_t(k) * m + k]);
        for (int i = k + 1; i < m; ++i) {
            const double v = std::fabs(lower_[std::size_t(i) * m + k]);
            if (v > size) {
                size = v;
                best = i;
            }
        }
        pivots_[std::size_t(k)] = best;
        if (!(size > singular_pivot * largest)) return false;
        if (best != k)
            for (int j = 0; j < m; ++j)
                std::swap(lower_[std::size_t(k) * m + j], lower_[std::size_t(best) * m + j]);
        const double pivot = lower_[std::size_t(k) * m + k];
        for (int i = k + 1; i < m; ++i) {
            double *row = lower_.data() + std::size_t(i) * m;
            const double factor = row[k] / pivot;
            row[k] = factor;
            const double *pivot_row = lower_.data() + std::size_t(k) * m;
            for (int j = k + 1; j < m; ++j)
                row[j] -= factor * pivot_row[j];
        }
    }
    values_.assign(values, values + n_);
    return true;
}

void KrigingSystem::finish(const double *u, const double *f, double at_zero, double &estimate,
                           double &variance) const {
    const int n = n_, p = p_;
    // mu = S⁻¹ (Yᵀu − f)
    double mu[16];
    for (int i = 0; i < p; ++i)
        mu[i] = dot(y_.data() + std::size_t(i) * n, u, n) - f[i];
    forward(schur_.data(), p, mu);
    backward(schur_.data(), p, mu);
    double fit = dot(u, zeta_.data(), n);
    for (int i = 0; i < p; ++i)
        fit -= mu[i] * y_zeta_[std::size_t(i)];
    // μᵀSμ = ‖Rᵀμ‖² with S = R Rᵀ.
    double quadratic = 0.0;
    for (int j = 0; j < p; ++j) {
        double s = 0.0;
        for (int i = j; i < p; ++i)
            s += schur_[std::size_t(i) * p + j] * mu[i];
        quadratic += s * s;
    }
    estimate = fit;
    variance = at_zero - dot(u, u, n) + quadratic;
}

// The forward substitution of many right-hand sides, the lanes innermost: the compiler keeps
// each lane's running value in a vector register, and each row of L is read once per batch
// rather than once per target, which turns a memory-bound loop into arithmetic. Multiplication
// and subtraction stay separate operations (no fused multiply-add), so every instruction set
// gives the bits of the scalar loop.
namespace {

// x holds 16 lanes per row. Four rows at a time share each load of x[k] (register blocking);
// every row still subtracts its terms in ascending k, the order of the scalar loop.
[[gnu::always_inline]] inline void forward_block16(const double *l, int n, std::size_t stride,
                                                   double *x) {
    constexpr int rows = 4;
    int i0 = 0;
    for (; i0 + rows <= n; i0 += rows) {
        Vector8 s[rows][2];
        const double *row[rows];
        for (int r = 0; r < rows; ++r) {
            row[r] = l + std::size_t(i0 + r) * stride;
            s[r][0] = load8(x + std::size_t(i0 + r) * 16);
            s[r][1] = load8(x + std::size_t(i0 + r) * 16 + 8);
        }
        for (int k = 0; k < i0; ++k) {
            const Vector8 a = load8(x + std::size_t(k) * 16),
                          b = load8(x + std::size_t(k) * 16 + 8);
            for (int r = 0; r < rows; ++r) {
                const double lik = row[r][k];
                s[r][0] -= lik * a;
                s[r][1] -= lik * b;
            }
        }
        for (int r = 0; r < rows; ++r) {
            for (int k = i0; k < i0 + r; ++k) {
                const double lik = row[r][k];
                s[r][0] -= lik * load8(x + std::size_t(k) * 16);
                s[r][1] -= lik * load8(x + std::size_t(k) * 16 + 8);
            }
            const double pivot = row[r][i0 + r];
            store8(x + std::size_t(i0 + r) * 16, s[r][0] / pivot);
            store8(x + std::size_t(i0 + r) * 16 + 8, s[r][1] / pivot);
        }
    }
    for (int i = i0; i < n; ++i) {
        const double *row = l + std::size_t(i) * stride;
        Vector8 s0 = load8(x + std::size_t(i) * 16), s1 = load8(x + std::size_t(i) * 16 + 8);
        for (int k = 0; k < i; ++k) {
            s0 -= row[k] * load8(x + std::size_t(k) * 16);
            s1 -= row[k] * load8(x + std::size_t(k) * 16 + 8);
        }
        store8(x + std::size_t(i) * 16, s0 / row[i]);
        store8(x + std::size_t(i) * 16 + 8, s1 / row[i]);
    }
}

// L's leading n × n block, rows `stride` apart.
[[gnu::target_clones("avx512f", "avx2", "default")]] void
forward_16(const double *l, int n, std::size_t stride, double *x) {
    forward_block16(l, n, stride, x);
}
} // namespace

void KrigingSystem::forward_lanes(double *x, int lanes) const {
    if (lanes == 16) {
        forward_16(lower_.data(), n_, std::size_t(n_), x);
        return;
    }
    for (int lane = 0; lane < lanes; ++lane) { // any other width: one lane at a time
        std::vector<double> column(static_cast<std::size_t>(n_));
        for (int i = 0; i < n_; ++i)
            column[std::size_t(i)] = x[std::size_t(i) * lanes + lane];
        forward(lower_.data(), n_, column.data());
        for (int i = 0; i < n_; ++i)
            x[std::size_t(i) * lanes + lane] = column[std::size_t(i)];
    }
}

void KrigingSystem::solve(const double *rhs, double at_zero, double &estimate, double &variance,
                          std::vector<double> &scratch) const {
    const int n = n_, p = p_;
    if (cholesky_) {
        scratch.assign(rhs, rhs + n);
        forward(lower_.data(), n, scratch.data());
        finish(scratch.data(), rhs + n, at_zero, estimate, variance);
        return;
    }
    const int m = n + p;
    scratch.assign(rhs, rhs + m);
    double *x = scratch.data();
    lu_solve(x);
    estimate = dot(x, values_.data(), n);
    variance = at_zero - dot(x, rhs, m);
}

void KrigingSystem::lu_solve(double *x) const {
    const int m = n_ + p_;
    for (int k = 0; k < m; ++k) {
        const int swap_with = pivots_[std::size_t(k)];
        if (swap_with != k) std::swap(x[k], x[swap_with]);
    }
    for (int i = 0; i < m; ++i) {
        const double *row = lower_.data() + std::size_t(i) * m;
        double s = x[i];
        for (int k = 0; k < i; ++k)
            s -= row[k] * x[k];
        x[i] = s;
    }
    for (int i = m - 1; i >= 0; --i) {
        const double *row = lower_.data() + std::size_t(i) * m;
        double s = x[i];
        for (int k = i + 1; k < m; ++k)
            s -= row[k] * x[k];
        x[i] = s / row[i];
    }
}

void KrigingSystem::dual_values(std::vector<double> &a) const {
    const int n = n_, p = p_;
    if (!cholesky_) {
        a.assign(std::size_t(n + p), 0.0);
        std::copy(values_.begin(), values_.end(), a.begin());
        lu_solve(a.data());
        a.resize(std::size_t(n));
        return;
    }
    // a = K⁻¹z − K⁻¹F S⁻¹ FᵀK⁻¹z = L⁻ᵀ (ζ − Y S⁻¹ Yᵀζ).
    double mu[16];
    for (int i = 0; i < p; ++i)
        mu[i] = y_zeta_[std::size_t(i)];
    forward(schur_.data(), p, mu);
    backward(schur_.data(), p, mu);
    a = zeta_;
    for (int j = 0; j < p; ++j) {
        const double *column = y_.data() + std::size_t(j) * n;
        for (int i = 0; i < n; ++i)
            a[std::size_t(i)] -= column[i] * mu[j];
    }
    backward(lower_.data(), n, a.data());
}

void KrigingSystem::inverse_diagonal(int first, int count, double *diagonal,
                                     std::vector<double> &scratch) const {
    const int n = n_, p = p_;
    if (!cholesky_) {
        const int m = n + p;
        scratch.resize(std::size_t(m));
        for (int lane = 0; lane < count; ++lane) {
            std::fill(scratch.begin(), scratch.end(), 0.0);
            scratch[std::size_t(first + lane)] = 1.0;
            lu_solve(scratch.data());
            diagonal[lane] = scratch[std::size_t(first + lane)];
        }
        return;
    }
    // Column i of L⁻¹ is zero above row i: the lanes solve L's trailing block from row
    // `first`, and B_ii = ‖L⁻¹eᵢ‖² − ‖R⁻¹ Yᵀ L⁻¹eᵢ‖² (the drift's share, S = R Rᵀ).
    constexpr int lanes = 16;
    const int rows = n - first;
    scratch.assign(std::size_t(rows) * lanes, 0.0);
    for (int lane = 0; lane < count; ++lane)
        scratch[std::size_t(lane) * lanes + lane] = 1.0;
    forward_16(lower_.data() + std::size_t(first) * n + first, rows, std::size_t(n),
               scratch.data());
    for (int lane = 0; lane < count; ++lane) {
        double norm = 0.0;
        for (int r = lane; r < rows; ++r) {
            const double v = scratch[std::size_t(r) * lanes + lane];
            norm += v * v;
        }
        double v[16];
        for (int j = 0; j < p; ++j) {
            const double *column = y_.data() + std::size_t(j) * n + first;
            double sum = 0.0;
            for (int r = lane; r < rows; ++r)
                sum += column[r] * scratch[std::size_t(r) * lanes + lane];
            v[j] = sum;
        }
        forward(schur_.data(), p, v);
        diagonal[lane] = norm - dot(v, v, p);
    }
}

void drift_leverages(const double *drift, std::int64_t n, int p, double *leverage) {
    std::vector<double> gram(std::size_t(p) * p, 0.0);
    for (int a = 0; a < p; ++a)
        for (int b = 0; b <= a; ++b) {
            double sum = 0.0;
            for (std::int64_t i = 0; i < n; ++i)
                sum += drift[std::size_t(i) * p + a] * drift[std::size_t(i) * p + b];
            gram[std::size_t(a) * p + b] = sum;
            gram[std::size_t(b) * p + a] = sum;
        }
    bool stopped = false;
    if (!cholesky(gram.data(), p, {}, stopped)) {
        std::fill(leverage, leverage + n, 1.0);
        return;
    }
    double v[16];
    for (std::int64_t i = 0; i < n; ++i) {
        std::copy(drift + std::size_t(i) * p, drift + std::size_t(i + 1) * p, v);
        forward(gram.data(), p, v);
        leverage[i] = dot(v, v, p);
    }
}

} // namespace krige::engine
