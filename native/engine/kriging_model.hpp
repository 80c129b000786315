// Covariances of the variogram models as the kriging systems use them.
//
// Bounded models enter through their covariance C(h) = sill − γ(h), written in the direct form
// (PSill · exp(−3 r²) rather than sill − PSill · (1 − exp(−3 r²))) so that no digits cancel;
// C(0) = PSill + Nugget since γ(0) = 0. Linear and Power have no covariance and enter through
// the generalized covariance K(h) = −γ(h), with K(0) = 0.
//
// Matérn and Stable take a third parameter, `shape`: the smoothness ν, or the stable exponent.
// For Matérn, `b` is the length ℓ of ρ(h/ℓ), not the practical range: the front end converts
// the range once, by its root solve, so the rule lives in one place.
#pragma once

#include <cmath>
#include <limits>
#include <numbers>

namespace krige::engine {

enum class ModelKind : int {
    linear = 0,
    power,
    gaussian,
    spherical,
    exponential,
    hole_effect,
    matern,
    stable
};

// Matérn correlation 2^(1−ν)/Γ(ν) · x^ν · K_ν(x) for x > 0. Where K_ν overflows (x tiny, ν large)
// the correlation is 1 to the last bit; where x^ν leaves the normal range the product is formed
// through logarithms, which neither overflow nor lose the factors.
inline double matern_correlation(double x, double nu) {
    const double bessel = std::cyl_bessel_k(nu, x);
    if (std::isinf(bessel)) return 1.0;
    if (bessel == 0.0) return 0.0;
    // tgamma rather than lgamma, which writes the global signgam from every thread; for
    // ν ≤ 20 neither factor leaves the range of a double.
    const double factor = std::exp2(1.0 - nu) / std::tgamma(nu);
    const double power = std::pow(x, nu);
    const double rho = power >= std::numeric_limits<double>::min()
                           ? factor * power * bessel
                           : std::exp(std::log(factor) + nu * std::log(x) + std::log(bessel));
    return rho < 1.0 ? rho : 1.0;
}

struct CovarianceModel {
    CovarianceModel() = default;
    CovarianceModel(ModelKind kind_, double a_, double b_, double nugget_, double shape_)
        : kind(kind_), a(a_), b(b_), nugget(nugget_), shape(shape_), per_b(1.0 / b_) {}

    ModelKind kind = ModelKind::spherical;
    // (Slope, –), (Scale, Exponent), (PSill, Range) or, for Matérn, (PSill, length ℓ)
    double a = 0, b = 0, nugget = 0;
    double shape = 0; // Matérn smoothness ν or Stable exponent; unused by the others
    // 1 / b: lengths are scaled by a multiplication, since a matrix of k neighbours takes
    // k(k − 1)/2 of them, and divisions share the unit of the square roots of the distances.
    double per_b = 0;

    bool bounded() const { return kind != ModelKind::linear && kind != ModelKind::power; }

    // C(0) of a point (bounded: the sill; generalized: 0).
    double at_zero() const { return bounded() ? a + nugget : 0.0; }

    // C(h) for a distance h ≥ 0 (h = 0 gives at_zero()).
    double operator()(double h) const {
        if (h == 0.0) return at_zero();
        switch (kind) {
        case ModelKind::linear:
            return -(a * h + nugget);
        case ModelKind::power:
            return -(a * std::pow(h, b) + nugget);
        case ModelKind::gaussian: {
            const double r = h * per_b;
            return a * std::exp(-3.0 * r * r);
        }
        case ModelKind::spherical: {
            const double r = h * per_b;
            if (r >= 1.0) return 0.0;
            return a * (1.0 - 1.5 * r + 0.5 * r * r * r);
        }
        case ModelKind::exponential:
            return a * std::exp(-3.0 * (h * per_b));
        case ModelKind::hole_effect: {
            const double x = std::numbers::pi * (h * per_b);
            // sin(x)/x tends to 0; at x = ∞ (a length below 1e−308) it would be NaN.
            if (!(x < std::numeric_limits<double>::infinity())) return 0.0;
            return a * (std::sin(x) / x);
        }
        case ModelKind::matern: {
            const double x = h * per_b;
            // From 745 lengths on K_ν(x) < e^−x underflows to 0 and the correlation is below
            // 1e−290 for every ν ≤ 20; libstdc++'s cyl_bessel_k throws for very large x, which
            // an engine thread must never do.
            if (!(x < 745.0)) return 0.0;
            return a * matern_correlation(x, shape);
        }
        case ModelKind::stable:
            return a * std::exp(-3.0 * std::pow(h * per_b, shape));
        }
        return 0.0;
    }
};

} // namespace krige::engine
