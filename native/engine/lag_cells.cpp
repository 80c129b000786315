#include "engine/lag_cells.hpp"

namespace krige::engine {

LagCells::LagCells(double width, std::size_t per_axis)
    : n_(per_axis), odd_(per_axis % 2 == 1), inverse_width_(1.0 / width) {
    // n even: 0, w, …, (n/2)·w; n odd: w/2, 3w/2, …, (n/2)·w. The same products as the front
    // end's edges, so that the engine and the reported edges agree bit for bit.
    const std::size_t count = per_axis / 2 + 1;
    outer_.resize(count);
    for (std::size_t m = 0; m < count; ++m)
        outer_[m] = (double(m) + (odd_ ? 0.5 : 0.0)) * width;
}

} // namespace krige::engine
