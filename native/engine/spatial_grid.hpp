// A uniform grid of cells over the samples, so that pairs within a maximum distance are only
// looked for among neighbouring cells.
//
// `reach` is an upper bound of each coordinate difference of any pair that can be selected; the
// cells are at least reach / 2 wide, so a selected pair lies in cells at most two apart along
// each axis (half-reach cells examine about 30 % fewer candidates than cells of a whole reach).
// Projected samples are gridded on their own coordinates. Geographic samples are gridded on their
// unit vectors, rounded to float: the distance of a pair bounds its chord, and the chord bounds the
// vectors' coordinate differences. The samples of a set are copied in cell order (a counting sort),
// next to the start of every cell, in O(N) memory.
#pragma once

#include "common/parallel.hpp"
#include "engine/pair_distances.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
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

struct GridGeometry {
    int dims = 1;
    std::array<double, 3> low{};
    double side = 1.0;
    std::array<std::size_t, 3> extent{1, 1, 1}; // cells along each axis
    std::size_t cells = 1;
    int span = 1; // how many cells apart, along an axis, a selected pair may lie

    // The cell of grid coordinates `at`; coordinates outside the planned box go to the border
    // cells, and NaN to the first, so the index is always valid.
    std::size_t cell_of(const double *at) const;
};

// Geometry with cells of about reach / 2 over [low, high], but at most `max_cells` cells (wider
// cells when the box would hold more); a single cell when reach or the box's size is not finite.
GridGeometry plan_grid(int dims, const double *low, const double *high, double reach,
                       std::size_t max_cells);

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

// Checks every sample (finite coordinates and values; latitudes within ±π/2) and, when `bounds`
// is set, finds the box of the grid coordinates (low and high, 3 entries each).
enum class SampleCheck { valid, not_finite, latitude_out_of_range, stopped };
SampleCheck check_samples(const SampleArrays &samples, bool geographic, bool bounds, double *low,
                          double *high, Checkpoint &checkpoint);

// Copies `samples` into `layout` in the cell order of `grid` (one cell when `grid.cells` is 1).
// False when stopped by the checkpoint.
bool build_layout(const SampleArrays &samples, bool geographic, bool with_units,
                  const GridGeometry &grid, CellLayout &layout, Checkpoint &checkpoint);

} // namespace krige::engine
