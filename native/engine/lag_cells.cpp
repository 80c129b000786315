#include "engine/lag_cells.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace krige::engine {

LagCells::LagCells(double width, std::size_t per_axis) : n_(per_axis) {
    // The edges at or above zero: n even 0, w, …, (n/2)·w; n odd w/2, 3w/2, …, (n/2)·w. The same
    // products as the front end's edges, so that the engine and the reported edges agree bit for
    // bit; the edges below zero are their negatives.
    const bool odd = per_axis % 2 == 1;
    std::vector<double> outer(per_axis / 2 + 1);
    for (std::size_t m = 0; m < outer.size(); ++m)
        outer[m] = (double(m) + (odd ? 0.5 : 0.0)) * width;
    reach_ = outer.back();

    // Interior edges, ascending: the negatives of outer[last − 1 … first] and outer[first …
    // last − 1], where first skips zero (n even) so that it appears once.
    thresholds_.reserve(per_axis - 1);
    for (std::size_t m = outer.size() - 1; m-- > 0;)
        if (outer[m] > 0.0) thresholds_.push_back(std::nextafter(-outer[m], 0.0));
    for (std::size_t m = 0; m + 1 < outer.size(); ++m)
        thresholds_.push_back(outer[m]);

    // Four bins per cell over [−reach, reach].
    const double bins_per_side = 2.0 * double(per_axis);
    scale_ = bins_per_side / reach_;
    offset_ = bins_per_side;
    if (!std::isfinite(scale_)) return; // searched instead
    lowest_bin_ = bin(-reach_);
    const int64_t highest_bin = bin(reach_);
    for (std::size_t i = 1; i < thresholds_.size(); ++i)
        if (bin(thresholds_[i]) == bin(thresholds_[i - 1])) return; // searched instead
    bins_.assign(std::size_t(highest_bin - lowest_bin_ + 1),
                 Bin{std::numeric_limits<double>::infinity(), 0});
    std::size_t next = 0; // the first threshold not in a lower bin
    for (std::size_t k = 0; k < bins_.size(); ++k) {
        const int64_t b = lowest_bin_ + int64_t(k);
        while (next < thresholds_.size() && bin(thresholds_[next]) < b)
            ++next;
        bins_[k].passed = next;
        if (next < thresholds_.size() && bin(thresholds_[next]) == b)
            bins_[k].threshold = thresholds_[next];
    }
}

std::size_t LagCells::cell_by_search(double t) const {
    return std::size_t(std::upper_bound(thresholds_.begin(), thresholds_.end(), t) -
                       thresholds_.begin());
}

} // namespace krige::engine
