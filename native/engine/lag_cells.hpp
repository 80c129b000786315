// The square cells of a variogram map: n × n cells of side `width` over the lag vectors
// (dx, dy), laid symmetrically about zero lag, so that the cell of −d is the mirror image of the
// cell of d.
//
// Along each axis the edges are ±m·width (n even: zero lag is the corner of four cells) or
// ±(m + ½)·width (n odd: zero lag is the centre of the middle cell), up to the outer edge
// n·width / 2. A lag on an edge goes to the cell farther from zero; a lag beyond the outer edge
// is in no cell, one on it in the outermost cell.
//
// A pair enters the map twice, at d = xj − xi and at −d. Its orientation is made canonical
// first (d or −d, whichever has dx > 0, or dx = 0 and dy >= 0), so that the cell does not
// depend on which sample of the pair comes first: (0, dy) and (0, −dy) are then mirror images
// too, and a duplicate (0, 0) enters the cell above and right of zero and its mirror. The second
// entry is always the mirror cell, so the map is point-symmetric by construction, and the pairs
// need only be accumulated once, in the cell of their canonical lag, the mirror's sums added at
// the end (mirrored_cells).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace krige::engine {

class LagCells {
  public:
    LagCells() = default;
    // `width` positive and finite, 1 <= `per_axis`, and per_axis · width / 2 finite.
    LagCells(double width, std::size_t per_axis);

    std::size_t per_axis() const { return n_; }
    std::size_t cells() const { return n_ * n_; }
    // The outer edge: every coordinate difference of a pair in a cell is at most this.
    double reach() const { return outer_.empty() ? 0.0 : outer_.back(); }

    // The cell (row dy, column dx: ky · n + kx) of the canonical lag of (dx, dy), or false when
    // the lag lies beyond the outer edge along an axis.
    bool cell_of(double dx, double dy, std::size_t &cell) const {
        if (dx < 0.0 || (dx == 0.0 && dy < 0.0)) dx = -dx, dy = -dy;
        std::size_t kx = 0, ky = 0;
        if (!axis_cell(dx, kx) || !axis_cell(dy, ky)) return false;
        cell = ky * n_ + kx;
        return true;
    }
    std::size_t mirror(std::size_t cell) const { return cells() - 1 - cell; }

  private:
    bool axis_cell(double t, std::size_t &k) const {
        const double a = std::fabs(t);
        if (!(a <= reach())) return false;
        // outer_[m] is the m-th edge above zero (or above the middle cell); a first guess from
        // the width, then the comparisons with the edges themselves decide.
        std::size_t m = 0;
        const double guess = a * inverse_width_ - (odd_ ? 0.5 : 0.0);
        if (guess >= 1.0) m = std::size_t(std::min(guess, double(outer_.size() - 1)));
        while (m > 0 && a < outer_[m])
            --m;
        while (m + 1 < outer_.size() && a >= outer_[m + 1])
            ++m;
        std::size_t out; // 0 = the first cell beyond zero (or the middle one)
        if (odd_)
            out = a < outer_[0] ? 0 : std::min(m + 1, outer_.size() - 1);
        else
            out = std::min(m, outer_.size() - 2);
        const std::size_t middle = n_ / 2; // the cell right of zero (n even), or the middle
        if (odd_) {
            k = t < 0.0 ? middle - out : middle + out;
        } else {
            k = t < 0.0 ? middle - 1 - out : middle + out;
        }
        return true;
    }

    std::size_t n_ = 0;
    bool odd_ = false;
    double inverse_width_ = 1.0;
    std::vector<double> outer_; // the edges at or above zero: m·width, or (m + ½)·width
};

} // namespace krige::engine
