#include "engine/spatial_grid.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace krige::engine {

namespace {

// Samples handled between two looks at the checkpoint.
constexpr std::size_t samples_per_poll = 4096;

// Latitudes in radians as the front end converts ±90 degrees.
constexpr double largest_latitude = 1.5707963267948966;

// The coordinates a sample is gridded on.
std::array<double, 3> grid_coordinates(const SampleArrays &samples, bool geographic,
                                       std::size_t i) {
    const double *row = samples.points + i * std::size_t(samples.columns);
    if (geographic) {
        const std::array<float, 3> unit = unit_vector(row[0], row[1]);
        return {unit[0], unit[1], unit[2]};
    }
    std::array<double, 3> at{};
    std::copy_n(row, samples.columns, at.begin());
    return at;
}

} // namespace

CellKey GridGeometry::key_of(const double *at) const {
    CellKey key{};
    for (int k = 0; k < dims; ++k) {
        const double position = (at[k] - low[k]) / side;
        // The plan keeps positions below 2^24; the clamp only guards against a change of the
        // caller's arrays between the plan and the placement.
        key[std::size_t(2 - k)] =
            position >= 1.0 ? int64_t(position < 0x1p24 ? position : 0x1p24) : 0;
    }
    return key;
}

GridGeometry plan_grid(int dims, const double *low, const double *high, double reach) {
    GridGeometry grid;
    grid.dims = dims;
    if (!(reach > 0.0) || !std::isfinite(reach)) return grid;
    for (int k = 0; k < dims; ++k) {
        if (!std::isfinite(high[k] - low[k])) return grid;
        grid.low[k] = low[k];
    }
    // The margin covers the rounding of the cell positions: at most 2^24 cells on an axis keep
    // it below 2^-27 of a cell.
    constexpr double margin = 1.0 + 0x1p-16;
    constexpr double most_per_axis = 0x1p24;
    const double whole = reach * margin;
    double side = std::max(whole / 2.0, std::numeric_limits<double>::denorm_min());
    for (;;) {
        bool fits = true;
        for (int k = 0; k < dims && fits; ++k)
            fits = (high[k] - low[k]) / side < most_per_axis;
        if (fits) break;
        side *= 2.0;
    }
    grid.side = side;
    grid.span = side >= whole ? 1 : 2;
    grid.occupied.clear();
    return grid;
}

std::array<float, 3> unit_vector(double lon, double lat) {
    const double cos_lat = std::cos(lat);
    return {float(cos_lat * std::cos(lon)), float(cos_lat * std::sin(lon)), float(std::sin(lat))};
}

SampleCheck check_samples(const SampleArrays &samples, bool geographic, bool bounds, double *low,
                          double *high, Checkpoint &checkpoint) {
    const int dims = geographic ? 3 : samples.columns;
    std::fill_n(low, 3, std::numeric_limits<double>::infinity());
    std::fill_n(high, 3, -std::numeric_limits<double>::infinity());
    const auto columns = std::size_t(samples.columns);
    for (std::size_t i = 0; i < samples.size; ++i) {
        if (i % samples_per_poll == 0 && checkpoint.stop_requested()) return SampleCheck::stopped;
        const double *row = samples.points + i * columns;
        bool finite = std::isfinite(samples.values[i]);
        for (std::size_t k = 0; k < columns; ++k)
            finite = finite && std::isfinite(row[k]);
        if (!finite) return SampleCheck::not_finite;
        if (geographic && std::fabs(row[1]) > largest_latitude)
            return SampleCheck::latitude_out_of_range;
        if (!bounds) continue;
        const std::array<double, 3> at = grid_coordinates(samples, geographic, i);
        for (int k = 0; k < dims; ++k) {
            low[k] = std::min(low[k], at[k]);
            high[k] = std::max(high[k], at[k]);
        }
    }
    return SampleCheck::valid;
}

bool occupy_cells(GridGeometry &grid, const SampleArrays &a, const SampleArrays *b, bool geographic,
                  Checkpoint &checkpoint) {
    std::vector<CellKey> &keys = grid.occupied;
    keys.clear();
    for (const SampleArrays *set : {&a, b}) {
        if (set == nullptr) continue;
        for (std::size_t i = 0; i < set->size; ++i) {
            if (i % samples_per_poll == 0 && checkpoint.stop_requested()) return false;
            const std::array<double, 3> at = grid_coordinates(*set, geographic, i);
            keys.push_back(grid.key_of(at.data()));
        }
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    if (keys.empty()) keys.push_back({});
    return true;
}

bool build_layout(const SampleArrays &samples, bool geographic, bool with_units,
                  const GridGeometry &grid, CellLayout &layout, Checkpoint &checkpoint) {
    const std::size_t size = samples.size;
    const auto columns = std::size_t(samples.columns);
    layout.size = size;
    if (geographic) {
        layout.places.resize(size);
        if (with_units) layout.units.resize(3 * size);
    } else {
        layout.coords.resize(size * columns);
    }
    layout.values.resize(size);
    const std::size_t cells = grid.cells();
    layout.cell_start.assign(cells + 1, 0);

    // The cell of every sample, read once, so that the placement below cannot go astray even
    // if the caller's arrays changed meanwhile.
    std::vector<uint32_t> cell_of_sample;
    if (cells > 1) {
        cell_of_sample.resize(size);
        for (std::size_t i = 0; i < size; ++i) {
            if (i % samples_per_poll == 0 && checkpoint.stop_requested()) return false;
            const std::array<double, 3> at = grid_coordinates(samples, geographic, i);
            // A key that is not among the occupied cells (the arrays changed meanwhile) goes to
            // a neighbouring one: the index stays valid.
            const auto cell = uint32_t(std::min(grid.cell_of(grid.key_of(at.data())), cells - 1));
            cell_of_sample[i] = cell;
            ++layout.cell_start[cell + 1];
        }
    } else {
        layout.cell_start[1] = uint32_t(size);
    }
    // cell_start[c + 1] counts cell c; after the sums it is where cell c + 1 begins, and the
    // placement advances cell_start[c] (each cell's begin) to its end. A shift by one restores
    // the begins.
    std::vector<uint32_t> &start = layout.cell_start;
    for (std::size_t c = 0; c < cells; ++c)
        start[c + 1] += start[c];
    for (std::size_t i = 0; i < size; ++i) {
        if (i % samples_per_poll == 0 && checkpoint.stop_requested()) return false;
        const std::size_t to = cells > 1 ? start[cell_of_sample[i]]++ : i;
        const double *row = samples.points + i * columns;
        if (geographic) {
            layout.places[to] = geographic_point(row[0], row[1]);
            if (with_units) {
                const std::array<float, 3> unit = unit_vector(row[0], row[1]);
                std::copy(unit.begin(), unit.end(), layout.units.begin() + 3 * to);
            }
        } else {
            std::copy_n(row, columns, layout.coords.begin() + to * columns);
        }
        layout.values[to] = samples.values[i];
    }
    if (cells > 1) {
        std::copy_backward(start.begin(), start.end() - 2, start.end() - 1);
        start[0] = 0;
    }
    return true;
}

} // namespace krige::engine
