// Covariances of the variogram models as the kriging systems use them.
//
// Bounded models enter through their covariance C(h) = sill − γ(h), written in the direct form
// (PSill · exp(−3 r²) rather than sill − PSill · (1 − exp(−3 r²))) so that no digits cancel;
// C(0) = PSill + Nugget since γ(0) = 0. Linear and Power have no covariance and enter through
// the generalized covariance K(h) = −γ(h), with K(0) = 0.
#pragma once

#include <cmath>
#include <numbers>

namespace krige::engine {

enum class ModelKind : int { linear = 0, power, gaussian, spherical, exponential, hole_effect };

struct CovarianceModel {
    ModelKind kind = ModelKind::spherical;
    double a = 0, b = 0, nugget = 0; // (Slope, –), (Scale, Exponent) or (PSill, Range)

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
            const double r = h / b;
            return a * std::exp(-3.0 * r * r);
        }
        case ModelKind::spherical: {
            const double r = h / b;
            if (r >= 1.0) return 0.0;
            return a * (1.0 - 1.5 * r + 0.5 * r * r * r);
        }
        case ModelKind::exponential:
            return a * std::exp(-3.0 * h / b);
        case ModelKind::hole_effect: {
            const double x = std::numbers::pi * h / b;
            return a * (std::sin(x) / x);
        }
        }
        return 0.0;
    }
};

} // namespace krige::engine
