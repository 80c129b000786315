// A uniform grid of cells over the samples, so that pairs within a maximum distance are only
// looked for among neighbouring cells. Only the occupied cells exist, numbered in the order of
// their integer coordinates (last axis first), so the cost follows the samples and the pairs
// near each other, not the extent: one far outlier does not widen the cells of a cluster.
//
// `reach` is an upper bound of each coordinate difference of any pair that can be selected; the
// cells are at least reach / 2 wide, so a selected pair lies in cells at most two apart along
// each axis (half-reach cells examine about 30 % fewer candidates than cells of a whole reach).
// Projected samples are gridded on their own coordinates. Geographic samples are gridded on their
// unit vectors, rounded to float: the distance of a pair bounds its chord, and the chord bounds the
// vectors' coordinate differences. The samples of a set are copied in cell order (a counting sort
// over the occupied cells), next to the start of every cell, in O(N) memory.
#pragma once

#include "common/parallel.hpp"
#include "engine/pair_distances.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace krige::engine {

// The caller's samples: rows of `columns` coordinates (longitude and latitude in radians when
// geographic) and one value each.
struct SampleArrays {
    const double *points;
    const double *values;
    std::size_t size;
    int columns;
};

// The integer coordinates of a cell, last axis first, so that cells sort row by row.
using CellKey = std::array<int64_t, 3>;

struct GridGeometry {
    int dims = 1;
    std::array<double, 3> low{};
    double side = 1.0;
    int span = 1; // how many cells apart, along an axis, a selected pair may lie
    std::vector<CellKey> occupied{{}}; // ascending; a single cell until samples are placed
    std::size_t cells() const { return occupied.size(); }

    // The integer coordinates of grid coordinates `at` (NaN and anything below `low` in the
    // first cell of its axis).
    CellKey key_of(const double *at) const;
    // The number of an occupied cell.
    std::size_t cell_of(const CellKey &key) const {
        return std::size_t(std::lower_bound(occupied.begin(), occupied.end(), key) -
                           occupied.begin());
    }
    // The occupied cells from `first` to `last` (inclusive) as numbers [begin, end).
    std::pair<std::size_t, std::size_t> range(const CellKey &first, const CellKey &last) const {
        const auto begin = std::lower_bound(occupied.begin(), occupied.end(), first);
        const auto end = std::upper_bound(begin, occupied.end(), last);
        return {std::size_t(begin - occupied.begin()), std::size_t(end - occupied.begin())};
    }
};

// Geometry with cells of about reach / 2 over [low, high] (wider cells only when an axis would
// hold more than 2^24 of them); a single cell when reach or the box's size is not finite.
GridGeometry plan_grid(int dims, const double *low, const double *high, double reach);

// The unit vector of a longitude and latitude in radians, rounded to float.
std::array<float, 3> unit_vector(double lon, double lat);

// One set of samples in cell order.
struct CellLayout {
    std::size_t size = 0;
    std::vector<double> coords;          // projected: size × columns
    std::vector<GeographicPoint> places; // geographic
    std::vector<float> units;            // geographic and gridded: size × 3
    std::vector<double> values;
    std::vector<uint32_t> cell_start; // cells + 1 entries
};

// Records in `grid` the cells that the samples of one or two sets occupy (with grid planned).
// False when stopped by the checkpoint.
bool occupy_cells(GridGeometry &grid, const SampleArrays &a, const SampleArrays *b, bool geographic,
                  Checkpoint &checkpoint);

// Checks every sample (finite coordinates and values; latitudes within ±π/2) and, when `bounds`
// is set, finds the box of the grid coordinates (low and high, 3 entries each).
enum class SampleCheck { valid, not_finite, latitude_out_of_range, stopped };
SampleCheck check_samples(const SampleArrays &samples, bool geographic, bool bounds, double *low,
                          double *high, Checkpoint &checkpoint);

// Copies `samples` into `layout` in the cell order of `grid` (one cell when grid.cells() is 1).
// False when stopped by the checkpoint.
bool build_layout(const SampleArrays &samples, bool geographic, bool with_units,
                  const GridGeometry &grid, CellLayout &layout, Checkpoint &checkpoint);

} // namespace krige::engine
