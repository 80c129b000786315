#include "engine/direction_filter.hpp"

#include <algorithm>

namespace krige::engine {
namespace {

using DD = DoubleDouble;

DD quick_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

DD two_sum(double a, double b) {
    const double s = a + b, v = s - a;
    return {s, (a - (s - v)) + (b - v)};
}

DD two_product(double a, double b) {
    const double p = a * b;
    return {p, std::fma(a, b, -p)};
}

DD add(DD a, DD b) {
    const DD s = two_sum(a.hi, b.hi), t = two_sum(a.lo, b.lo);
    DD u = quick_two_sum(s.hi, s.lo + t.hi);
    return quick_two_sum(u.hi, u.lo + t.lo);
}

DD negate(DD a) {
    return {-a.hi, -a.lo};
}

DD multiply(DD a, DD b) {
    const DD p = two_product(a.hi, b.hi);
    return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DD divide(DD a, double b) {
    const double q1 = a.hi / b;
    const DD p = two_product(q1, b);
    const double q2 = ((a.hi - p.hi) - p.lo + a.lo) / b;
    return quick_two_sum(q1, q2);
}

DD absolute(DD a) {
    return a.hi < 0.0 || (a.hi == 0.0 && a.lo < 0.0) ? negate(a) : a;
}

// π / 180 to about 107 bits.
constexpr DD radians_per_degree = {0x1.1df46a2529d39p-6, 0x1.5c1d8becdd291p-62};

// sin and cos of x radians, |x| <= π/4, by their Taylor series (the terms fall below 2^-106 of
// the first by the 14th).
void sin_cos(DD x, DD &sine, DD &cosine) {
    const DD square = multiply(x, x);
    DD term = x;
    sine = x;
    for (int k = 1; k < 15; ++k) {
        term = divide(divide(multiply(term, square), -double(2 * k)), double(2 * k + 1));
        sine = add(sine, term);
    }
    term = {1.0, 0.0};
    cosine = term;
    for (int k = 1; k < 15; ++k) {
        term = divide(divide(multiply(term, square), -double(2 * k - 1)), double(2 * k));
        cosine = add(cosine, term);
    }
}

// cos and sin of an angle in degrees. The angle is reduced exactly to [-45°, 45°] and a
// quadrant, so angles that differ by quarter turns or mirror each other get the same numbers.
void degrees_cos_sin(double degrees, DD &cosine, DD &sine) {
    double r = std::fmod(degrees, 360.0); // exact
    if (r < 0.0) r += 360.0;              // exact: |r| < 360
    const int quadrant = int(std::floor((r + 45.0) / 90.0)) % 4;
    const double reduced = r - 90.0 * std::floor((r + 45.0) / 90.0); // exact (Sterbenz)
    const DD p = two_product(reduced, radians_per_degree.hi);
    const DD x = quick_two_sum(p.hi, p.lo + reduced * radians_per_degree.lo);
    DD s, c;
    sin_cos(x, s, c);
    switch (quadrant) {
    case 0:
        cosine = c, sine = s;
        break;
    case 1:
        cosine = negate(s), sine = c;
        break;
    case 2:
        cosine = negate(c), sine = negate(s);
        break;
    default:
        cosine = s, sine = negate(c);
        break;
    }
}

// The exact difference b − a as a double-double.
DD difference(double b, double a) {
    return two_sum(b, -a);
}

// Within the precision of double-double: a >= b, counting a pair on the bound as within.
bool at_least(DD a, DD b, double scale) {
    const DD gap = add(a, negate(b));
    return gap.hi >= -0x1p-96 * scale;
}

} // namespace

DirectionFilter::DirectionFilter(double degrees, double tolerance_degrees, double bandwidth) {
    degrees_cos_sin(degrees, cx_, cy_);
    ux_ = cx_.hi;
    uy_ = cy_.hi;
    every_angle_ = !(tolerance_degrees < 90.0);
    if (!every_angle_) {
        DD unused;
        degrees_cos_sin(tolerance_degrees, ct_, unused);
        cos_tolerance_ = ct_.hi;
    }
    has_bandwidth_ = !std::isnan(bandwidth);
    bandwidth_ = has_bandwidth_ ? bandwidth : 0.0;
}

bool DirectionFilter::angle_within(const double *xi, const double *xj) const {
    // |d · u| >= cos(t) |d|, squared: (d · u)² >= cos²(t) (dx² + dy²). The differences are
    // scaled by a power of two first, so that no square under- or overflows.
    const double dx0 = xj[0] - xi[0], dy0 = xj[1] - xi[1];
    const double largest = std::max(std::fabs(dx0), std::fabs(dy0));
    if (largest == 0.0) return true;
    const int shift = -std::ilogb(largest);
    DD dx = difference(xj[0], xi[0]), dy = difference(xj[1], xi[1]);
    dx = {std::ldexp(dx.hi, shift), std::ldexp(dx.lo, shift)};
    dy = {std::ldexp(dy.hi, shift), std::ldexp(dy.lo, shift)};
    const DD along = add(multiply(dx, cx_), multiply(dy, cy_));
    const DD length = add(multiply(dx, dx), multiply(dy, dy));
    const DD lhs = multiply(along, along), rhs = multiply(multiply(ct_, ct_), length);
    return at_least(lhs, rhs, length.hi);
}

bool DirectionFilter::offset_within(const double *xi, const double *xj) const {
    const DD dx = difference(xj[0], xi[0]), dy = difference(xj[1], xi[1]);
    const DD across = absolute(add(multiply(dy, cx_), negate(multiply(dx, cy_))));
    const double scale = std::max({std::fabs(dx.hi), std::fabs(dy.hi), bandwidth_});
    return at_least(DD{bandwidth_, 0.0}, across, scale);
}

} // namespace krige::engine
