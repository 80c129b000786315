// Which pairs point along a direction: the angle between a pair's separation and the direction
// (either sense) at most the tolerance, and optionally the separation's offset across the
// direction line at most the bandwidth. Both bounds are inclusive.
//
// A pair far from either bound is decided by the test in double precision. One whose test lies
// within a small margin of a bound (a pair exactly on it, say at 45° to a 45° tolerance) is
// decided again in double-double arithmetic (about 106 bits) from the exact coordinate
// differences and the cosine and sine of the exact angles in degrees, and counted when it lies
// on the bound within that precision: so boundary pairs count and mirror images agree, whatever
// the rounding of cos and sin in double precision.
#pragma once

#include <cmath>

namespace krige::engine {

// An unevaluated sum hi + lo with |lo| <= ulp(hi) / 2.
struct DoubleDouble {
    double hi = 0.0, lo = 0.0;
};

class DirectionFilter {
  public:
    DirectionFilter() = default;
    // `degrees` finite, 0 < `tolerance_degrees` <= 90; `bandwidth` positive and finite, or
    // NaN for none.
    DirectionFilter(double degrees, double tolerance_degrees, double bandwidth);

    // Whether the separation from xi to xj (2 coordinates each, at distance h > 0) is selected.
    bool selects(const double *xi, const double *xj, double h) const {
        const double dx = xj[0] - xi[0], dy = xj[1] - xi[1];
        const double size = std::fabs(dx) + std::fabs(dy);
        const double margin = 0x1p-40 * size + 0x1p-1000;
        if (!every_angle_) {
            const double along = std::fabs(dx * ux_ + dy * uy_), bound = cos_tolerance_ * h;
            if (std::fabs(along - bound) <= margin + 0x1p-40 * bound) {
                if (!angle_within(xi, xj)) return false;
            } else if (along < bound) {
                return false;
            }
        }
        if (!has_bandwidth_) return true;
        const double across = std::fabs(dy * ux_ - dx * uy_);
        if (std::fabs(across - bandwidth_) <= margin + 0x1p-40 * bandwidth_)
            return offset_within(xi, xj);
        return across <= bandwidth_;
    }

    bool has_bandwidth() const { return has_bandwidth_; }

  private:
    bool angle_within(const double *xi, const double *xj) const;
    bool offset_within(const double *xi, const double *xj) const;

    double ux_ = 1.0, uy_ = 0.0, cos_tolerance_ = -1.0; // rounded to double
    DoubleDouble cx_, cy_, ct_;                         // the same in double-double
    double bandwidth_ = 0.0;
    bool every_angle_ = true, has_bandwidth_ = false;
};

} // namespace krige::engine
