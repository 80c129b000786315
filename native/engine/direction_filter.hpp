// Which pairs point along a direction: the angle between a pair's separation and the direction
// (either sense) at most the tolerance, and optionally the separation's offset across the
// direction line at most the bandwidth. Both bounds are inclusive. In the plane the selected
// separations form a double wedge (a strip with a bandwidth); in three dimensions a double cone
// around the direction line (cut to a cylinder with a bandwidth).
//
// A pair far from either bound is decided by the test in double precision. One whose test lies
// within a small margin of a bound (a pair exactly on it, say at 45° to a 45° tolerance) is
// decided again in double-double arithmetic (about 106 bits) from the exact coordinate
// differences and the cosine and sine of the exact angles in degrees, and counted when it lies
// on the bound within that precision: so boundary pairs count and mirror images agree, whatever
// the rounding of cos and sin in double precision. The cone is tested as
// (d · u)² >= cos²(t) |d|² rather than through an angle from acos or atan2: no function whose
// rounding is unspecified stands between the coordinates and the decision, squares make the
// test the same for d and −d bit for bit, and a pair exactly on the cone (1, 0, 1) against a
// vertical direction with 45° has both sides equal to within 2^-100, which the double-double
// decision then counts.
//
// On the sphere (BearingFilter) the pair's separation is its chord between the unit vectors,
// which is tangent to the sphere at the midpoint of the great circle; its bearing there is
// measured counter-clockwise from east, in either sense, and the offset across the direction
// is the great-circle distance times the sine of the angle between bearing and direction.
#pragma once

#include "engine/pair_distances.hpp"

#include <cmath>

namespace krige::engine {

// An unevaluated sum hi + lo with |lo| <= ulp(hi) / 2.
struct DoubleDouble {
    double hi = 0.0, lo = 0.0;
};

class DirectionFilter {
  public:
    DirectionFilter() = default;
    // `degrees` and `dip_degrees` finite (the dip upwards from the plane of the first two
    // axes, used with 3 coordinates only), 0 < `tolerance_degrees` <= 90; `bandwidth` positive
    // and finite, or NaN for none.
    DirectionFilter(double degrees, double dip_degrees, double tolerance_degrees, double bandwidth);

    // Whether the separation from xi to xj (Dims = 2 or 3 coordinates each, at distance h > 0)
    // is selected.
    template <int Dims> bool selects(const double *xi, const double *xj, double h) const {
        double d[3] = {xj[0] - xi[0], xj[1] - xi[1], Dims == 3 ? xj[2] - xi[2] : 0.0};
        const double size = std::fabs(d[0]) + std::fabs(d[1]) + std::fabs(d[2]);
        const double margin = 0x1p-40 * size + 0x1p-1000;
        if (!every_angle_) {
            double dot = d[0] * u_[0] + d[1] * u_[1];
            if constexpr (Dims == 3) dot += d[2] * u_[2];
            const double along = std::fabs(dot), bound = cos_tolerance_ * h;
            if (std::fabs(along - bound) <= margin + 0x1p-40 * bound) {
                if (!angle_within(xi, xj, Dims)) return false;
            } else if (along < bound) {
                return false;
            }
        }
        if (!has_bandwidth_) return true;
        double across;
        if constexpr (Dims == 2) {
            across = std::fabs(d[1] * u_[0] - d[0] * u_[1]);
        } else {
            // |d × u|: each component loses at most a few units in the last place of |d|, where
            // sqrt(|d|² − (d · u)²) would lose half the digits near the direction line.
            const double c0 = d[1] * u_[2] - d[2] * u_[1], c1 = d[2] * u_[0] - d[0] * u_[2],
                         c2 = d[0] * u_[1] - d[1] * u_[0];
            across = std::sqrt((c0 * c0 + c1 * c1) + c2 * c2);
        }
        if (std::fabs(across - bandwidth_) <= margin + 0x1p-40 * bandwidth_)
            return offset_within(xi, xj, Dims);
        return across <= bandwidth_;
    }

    bool has_bandwidth() const { return has_bandwidth_; }

  private:
    bool angle_within(const double *xi, const double *xj, int dims) const;
    bool offset_within(const double *xi, const double *xj, int dims) const;

    double u_[3] = {1.0, 0.0, 0.0}, cos_tolerance_ = -1.0; // rounded to double
    DoubleDouble c_[3], ct_;                               // the same in double-double
    double bandwidth_ = 0.0;
    bool every_angle_ = true, has_bandwidth_ = false;
};

// The bearing test of geographic pairs, in double precision (the separation already rests on
// rounded sines and cosines, so no pair lies exactly on a bound). A pair and its mirror image
// (i, j) and (j, i) give chords of opposite sign and the same midpoint, hence the same decision.
class BearingFilter {
  public:
    BearingFilter() = default;
    // `degrees` counter-clockwise from east, 0 < `tolerance_degrees` <= 90; `bandwidth_km`
    // positive and finite, or NaN for none.
    BearingFilter(double degrees, double tolerance_degrees, double bandwidth_km);

    // Whether the pair (a, b), at great-circle distance h > 0 km, is selected. An antipodal
    // pair has no bearing and is selected only with a tolerance of 90° and no bandwidth.
    bool selects(const GeographicPoint &a, const GeographicPoint &b, double h) const;

  private:
    double east_ = 1.0, north_ = 0.0, cos_tolerance_ = -1.0, bandwidth_ = 0.0;
    bool every_angle_ = true, has_bandwidth_ = false;
};

} // namespace krige::engine
