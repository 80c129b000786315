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

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krige::engine {

class LagCells {
  public:
    LagCells() = default;
    // `width` positive and finite, 1 <= `per_axis`, and per_axis · width / 2 finite. May throw
    // std::bad_alloc.
    LagCells(double width, std::size_t per_axis);

    std::size_t per_axis() const { return n_; }
    std::size_t cells() const { return n_ * n_; }
    // The outer edge: every coordinate difference of a pair in a cell is at most this.
    double reach() const { return reach_; }

    // The cell (row dy, column dx: ky · n + kx) of the canonical lag of (dx, dy), both within
    // the outer edge (|dx| <= reach() and |dy| <= reach()).
    std::size_t cell_within(double dx, double dy) const {
        // Branch-free: the sign of a pair's dx is as likely one way as the other.
        const bool flip = dx < 0.0 || (dx == 0.0 && dy < 0.0);
        dx = flip ? -dx : dx;
        dy = flip ? -dy : dy;
        return axis_cell(dy) * n_ + axis_cell(dx);
    }
    std::size_t mirror(std::size_t cell) const { return cells() - 1 - cell; }

  private:
    // A coordinate t goes to the cell numbered by the interior edges it has passed: those at or
    // below it at or above zero, those strictly below it under zero (a lag on an edge goes away
    // from zero). With next_up applied to the negative edges, both are "threshold <= t".
    //
    // The thresholds are found through bins of a quarter width: bin(t) rounds t · scale + offset
    // down, which is monotone in t, so a threshold in a lower bin than t's is at or below t and
    // one in a higher bin above it; only a threshold in t's own bin needs a comparison, and a
    // quarter width keeps it to one.
    struct Bin {
        double threshold; // of the threshold in this bin, or +∞
        uint64_t passed;  // the thresholds in lower bins
    };

    int64_t bin(double t) const { return int64_t(t * scale_ + offset_); }
    std::size_t axis_cell(double t) const {
        if (bins_.empty()) [[unlikely]]
            return cell_by_search(t);
        const Bin &b = bins_[std::size_t(bin(t) - lowest_bin_)];
        return b.passed + (t >= b.threshold ? 1 : 0);
    }
    std::size_t cell_by_search(double t) const;

    std::size_t n_ = 0;
    double reach_ = 0.0;
    std::vector<double> thresholds_; // the n − 1 interior edges, ascending, as compared
    double scale_ = 0.0, offset_ = 0.0;
    int64_t lowest_bin_ = 0; // bin(−reach)
    std::vector<Bin> bins_;  // bin(−reach) … bin(reach); empty when two thresholds share a bin
};

} // namespace krige::engine
