#include "engine/kriging_lanes.hpp"

#include "engine/kriging_system.hpp"
#include "engine/vector_lanes.hpp"

#include <cmath>

namespace krige::engine {

namespace {

static_assert(sizeof(Vector8) / sizeof(double) == system_lanes);

// Entry (i, j) of lane matrices with `columns` columns.
[[gnu::always_inline]] inline double *entry(double *a, int columns, int i, int j) {
    return a + (std::size_t(i) * std::size_t(columns) + std::size_t(j)) * system_lanes;
}
[[gnu::always_inline]] inline const double *entry(const double *a, int columns, int i, int j) {
    return a + (std::size_t(i) * std::size_t(columns) + std::size_t(j)) * system_lanes;
}

// The lanes' Cholesky factors overwrite the lower triangles of a (n × n); the mask of the lanes
// whose pivot was not clearly positive. As cholesky() in the scalar path, entry by entry.
[[gnu::always_inline]] inline unsigned cholesky_lanes(double *a, int n) {
    unsigned failed = 0;
    for (int j = 0; j < n; ++j) {
        const Vector8 diagonal = load8(entry(a, n, j, j));
        Vector8 d = diagonal;
        for (int k = 0; k < j; ++k) {
            const Vector8 l = load8(entry(a, n, j, k));
            d -= l * l;
        }
        Vector8 root;
        for (int lane = 0; lane < system_lanes; ++lane) {
            if (!(d[lane] > singular_pivot * std::fabs(diagonal[lane]))) failed |= 1u << lane;
            root[lane] = std::sqrt(d[lane]);
        }
        store8(entry(a, n, j, j), root);
        const Vector8 per_root = 1.0 / root;
        for (int i = j + 1; i < n; ++i) {
            Vector8 s = load8(entry(a, n, i, j));
            for (int k = 0; k < j; ++k)
                s -= load8(entry(a, n, i, k)) * load8(entry(a, n, j, k));
            store8(entry(a, n, i, j), s * per_root);
        }
    }
    return failed;
}

// x ← L⁻¹ x, lane by lane (x: n lane entries).
[[gnu::always_inline]] inline void forward_lanes(const double *l, int n, double *x) {
    for (int i = 0; i < n; ++i) {
        Vector8 s = load8(x + std::size_t(i) * system_lanes);
        for (int k = 0; k < i; ++k)
            s -= load8(entry(l, n, i, k)) * load8(x + std::size_t(k) * system_lanes);
        store8(x + std::size_t(i) * system_lanes, s / load8(entry(l, n, i, i)));
    }
}

// x ← L⁻ᵀ x.
[[gnu::always_inline]] inline void backward_lanes(const double *l, int n, double *x) {
    for (int i = n - 1; i >= 0; --i) {
        Vector8 s = load8(x + std::size_t(i) * system_lanes);
        for (int k = i + 1; k < n; ++k)
            s -= load8(entry(l, n, k, i)) * load8(x + std::size_t(k) * system_lanes);
        store8(x + std::size_t(i) * system_lanes, s / load8(entry(l, n, i, i)));
    }
}

[[gnu::always_inline]] inline Vector8 dot_lanes(const double *a, const double *b, int n) {
    Vector8 s = {};
    for (int i = 0; i < n; ++i)
        s += load8(a + std::size_t(i) * system_lanes) * load8(b + std::size_t(i) * system_lanes);
    return s;
}

[[gnu::target_clones("avx512f", "avx2", "default")]] unsigned
factorise_lanes(int n, int p, double *lower, double *y, double *zeta, double *y_zeta,
                double *schur) {
    unsigned failed = cholesky_lanes(lower, n);
    for (int j = 0; j < p; ++j)
        forward_lanes(lower, n, y + std::size_t(j) * n * system_lanes);
    forward_lanes(lower, n, zeta);
    for (int i = 0; i < p; ++i) {
        const double *yi = y + std::size_t(i) * n * system_lanes;
        store8(y_zeta + std::size_t(i) * system_lanes, dot_lanes(yi, zeta, n));
        for (int j = 0; j <= i; ++j)
            store8(entry(schur, p, i, j), dot_lanes(yi, y + std::size_t(j) * n * system_lanes, n));
    }
    failed |= cholesky_lanes(schur, p);
    return failed;
}

[[gnu::target_clones("avx512f", "avx2", "default")]] void
solve_lanes(int n, int p, const double *lower, const double *y, const double *zeta,
            const double *y_zeta, const double *schur, double *u, double *mu, double at_zero,
            double *estimate, double *variance) {
    forward_lanes(lower, n, u);
    for (int i = 0; i < p; ++i)
        store8(mu + std::size_t(i) * system_lanes,
               dot_lanes(y + std::size_t(i) * n * system_lanes, u, n) -
                   load8(mu + std::size_t(i) * system_lanes));
    forward_lanes(schur, p, mu);
    backward_lanes(schur, p, mu);
    Vector8 fit = dot_lanes(u, zeta, n);
    for (int i = 0; i < p; ++i)
        fit -= load8(mu + std::size_t(i) * system_lanes) *
               load8(y_zeta + std::size_t(i) * system_lanes);
    Vector8 quadratic = {};
    for (int j = 0; j < p; ++j) {
        Vector8 s = {};
        for (int i = j; i < p; ++i)
            s += load8(entry(schur, p, i, j)) * load8(mu + std::size_t(i) * system_lanes);
        quadratic += s * s;
    }
    store8(estimate, fit);
    store8(variance, at_zero - dot_lanes(u, u, n) + quadratic);
}

} // namespace

unsigned LaneSystems::factorise(int n, int p, const double *const *matrix,
                                const double *const *drift, const double *const *values,
                                int lanes) {
    n_ = n;
    p_ = p;
    lanes_ = lanes;
    lower_.resize(std::size_t(n) * n * system_lanes);
    y_.resize(std::size_t(p) * n * system_lanes);
    zeta_.resize(std::size_t(n) * system_lanes);
    y_zeta_.resize(std::size_t(p) * system_lanes);
    schur_.resize(std::size_t(p) * p * system_lanes);
    // Idle lanes repeat the first system, so that they compute nothing unusual.
    auto source = [&](int lane) { return lane < lanes ? lane : 0; };
    for (int i = 0; i < n; ++i)
        for (int j = 0; j <= i; ++j)
            for (int lane = 0; lane < system_lanes; ++lane)
                entry(lower_.data(), n, i, j)[lane] = matrix[source(lane)][std::size_t(i) * n + j];
    for (int j = 0; j < p; ++j)
        for (int i = 0; i < n; ++i)
            for (int lane = 0; lane < system_lanes; ++lane)
                y_[(std::size_t(j) * n + i) * system_lanes + lane] =
                    drift[source(lane)][std::size_t(i) * p + j];
    for (int i = 0; i < n; ++i)
        for (int lane = 0; lane < system_lanes; ++lane)
            zeta_[std::size_t(i) * system_lanes + lane] = values[source(lane)][i];
    const unsigned failed = factorise_lanes(n, p, lower_.data(), y_.data(), zeta_.data(),
                                            y_zeta_.data(), schur_.data());
    return ~failed & ((1u << lanes) - 1);
}

void LaneSystems::solve(const double *const *rhs, double at_zero, double *estimate,
                        double *variance) {
    const int n = n_, p = p_;
    u_.resize(std::size_t(n) * system_lanes);
    mu_.resize(std::size_t(p) * system_lanes);
    auto source = [&](int lane) { return lane < lanes_ ? lane : 0; };
    for (int i = 0; i < n; ++i)
        for (int lane = 0; lane < system_lanes; ++lane)
            u_[std::size_t(i) * system_lanes + lane] = rhs[source(lane)][i];
    for (int i = 0; i < p; ++i)
        for (int lane = 0; lane < system_lanes; ++lane)
            mu_[std::size_t(i) * system_lanes + lane] = rhs[source(lane)][n + i];
    double e[system_lanes], v[system_lanes];
    solve_lanes(n, p, lower_.data(), y_.data(), zeta_.data(), y_zeta_.data(), schur_.data(),
                u_.data(), mu_.data(), at_zero, e, v);
    for (int lane = 0; lane < lanes_; ++lane) {
        estimate[lane] = e[lane];
        variance[lane] = v[lane];
    }
}

} // namespace krige::engine
