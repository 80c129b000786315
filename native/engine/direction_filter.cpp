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

// The tolerance and bandwidth as both filters hold them: the cosine of the tolerance (−1 when
// every angle is selected) and the bandwidth (0 when there is none).
void bounds(double tolerance_degrees, double bandwidth, bool &every_angle, DD &cos_tolerance,
            bool &has_bandwidth, double &width) {
    every_angle = !(tolerance_degrees < 90.0);
    cos_tolerance = {-1.0, 0.0};
    if (!every_angle) {
        DD unused;
        degrees_cos_sin(tolerance_degrees, cos_tolerance, unused);
    }
    has_bandwidth = !std::isnan(bandwidth);
    width = has_bandwidth ? bandwidth : 0.0;
}

} // namespace

DirectionFilter::DirectionFilter(double degrees, double dip_degrees, double tolerance_degrees,
                                 double bandwidth) {
    DD cos_angle, sin_angle, cos_dip, sin_dip;
    degrees_cos_sin(degrees, cos_angle, sin_angle);
    degrees_cos_sin(dip_degrees, cos_dip, sin_dip);
    c_[0] = multiply(cos_dip, cos_angle);
    c_[1] = multiply(cos_dip, sin_angle);
    c_[2] = sin_dip;
    for (int k = 0; k < 3; ++k)
        u_[k] = c_[k].hi;
    bounds(tolerance_degrees, bandwidth, every_angle_, ct_, has_bandwidth_, bandwidth_);
    cos_tolerance_ = ct_.hi;
}

namespace {

// The exact coordinate differences xj − xi (dims of them, the rest zero), scaled by a power of
// two so that the largest lies in [1, 2): no square under- or overflows. `shift` is the
// exponent of the scale; false when every difference is zero.
bool scaled_differences(const double *xi, const double *xj, int dims, DD (&d)[3], int &shift) {
    double largest = 0.0;
    for (int k = 0; k < dims; ++k)
        largest = std::max(largest, std::fabs(xj[k] - xi[k]));
    if (largest == 0.0) return false;
    shift = -std::ilogb(largest);
    for (int k = 0; k < 3; ++k) {
        const DD exact = k < dims ? difference(xj[k], xi[k]) : DD{};
        d[k] = {std::ldexp(exact.hi, shift), std::ldexp(exact.lo, shift)};
    }
    return true;
}

} // namespace

bool DirectionFilter::angle_within(const double *xi, const double *xj, int dims) const {
    // |d · u| >= cos(t) |d|, squared: (d · u)² >= cos²(t) |d|².
    DD d[3];
    int shift = 0;
    if (!scaled_differences(xi, xj, dims, d, shift)) return true;
    DD along{}, length{};
    for (int k = 0; k < 3; ++k) {
        along = add(along, multiply(d[k], c_[k]));
        length = add(length, multiply(d[k], d[k]));
    }
    const DD lhs = multiply(along, along), rhs = multiply(multiply(ct_, ct_), length);
    return at_least(lhs, rhs, length.hi);
}

bool DirectionFilter::offset_within(const double *xi, const double *xj, int dims) const {
    // |d × u| <= bandwidth, squared, on the scaled differences (the bandwidth scaled alike).
    DD d[3];
    int shift = 0;
    if (!scaled_differences(xi, xj, dims, d, shift)) return true;
    const DD across[3] = {add(multiply(d[1], c_[2]), negate(multiply(d[2], c_[1]))),
                          add(multiply(d[2], c_[0]), negate(multiply(d[0], c_[2]))),
                          add(multiply(d[0], c_[1]), negate(multiply(d[1], c_[0])))};
    DD square{};
    for (const DD &part : across)
        square = add(square, multiply(part, part));
    const double width = std::ldexp(bandwidth_, shift);
    if (!std::isfinite(width * width)) return true; // the bandwidth dwarfs the separation
    const DD limit = two_product(width, width);
    return at_least(limit, square, std::max({limit.hi, square.hi, 1.0}));
}

BearingFilter::BearingFilter(double degrees, double tolerance_degrees, double bandwidth_km) {
    DD cosine, sine;
    degrees_cos_sin(degrees, cosine, sine);
    east_ = cosine.hi;
    north_ = sine.hi;
    bounds(tolerance_degrees, bandwidth_km, every_angle_, cosine, has_bandwidth_, bandwidth_);
    cos_tolerance_ = cosine.hi;
}

bool BearingFilter::selects(const GeographicPoint &a, const GeographicPoint &b, double h) const {
    if (every_angle_ && !has_bandwidth_) return true;
    const double pa[3] = {a.cos_lat * std::cos(a.lon), a.cos_lat * std::sin(a.lon),
                          std::sin(a.lat)};
    const double pb[3] = {b.cos_lat * std::cos(b.lon), b.cos_lat * std::sin(b.lon),
                          std::sin(b.lat)};
    // The midpoint's direction (a + b is the same for (a, b) and (b, a)) and the chord.
    const double m[3] = {pa[0] + pb[0], pa[1] + pb[1], pa[2] + pb[2]};
    const double c[3] = {pb[0] - pa[0], pb[1] - pa[1], pb[2] - pa[2]};
    const double size = std::sqrt((m[0] * m[0] + m[1] * m[1]) + m[2] * m[2]);
    if (!(size > 0x1p-30)) return every_angle_ && !has_bandwidth_;
    const double mx = m[0] / size, my = m[1] / size, mz = m[2] / size;
    // East and north at the midpoint; at a pole, where east is undefined, the meridian of
    // longitude 0 serves as north's opposite.
    const double r = std::sqrt(mx * mx + my * my);
    double e[3] = {0.0, 1.0, 0.0}, n[3] = {-1.0, 0.0, 0.0};
    if (r > 0.0) {
        e[0] = -my / r, e[1] = mx / r;
        n[0] = -mz * mx / r, n[1] = -mz * my / r, n[2] = r;
    }
    const double ce = c[0] * e[0] + c[1] * e[1];
    const double cn = (c[0] * n[0] + c[1] * n[1]) + c[2] * n[2];
    const double along = std::fabs(ce * east_ + cn * north_);
    const double across = std::fabs(cn * east_ - ce * north_);
    const double length = std::hypot(ce, cn);
    if (!every_angle_ && along < cos_tolerance_ * length) return false;
    return !has_bandwidth_ || h * across <= bandwidth_ * length;
}

} // namespace krige::engine
