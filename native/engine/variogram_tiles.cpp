#include "engine/variogram_tiles.hpp"

#include "engine/distance_classes.hpp"
#include "common/thread_policy.hpp"

#include <algorithm>
#include <bit>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <new>
#include <optional>

namespace krige::engine {

namespace {

// Rows of a block of work, and columns of a tile: 64 × 512 candidate pairs between two looks at
// the checkpoint, about a millisecond even for great-circle distances.
constexpr std::size_t rows_per_block = 64;
constexpr std::size_t columns_per_tile = 512;

// Bounds of the chords of selected geographic pairs. A pair at great-circle distance h has the
// chord 2 sin(h / D) between its unit vectors (D the diameter); the relative margin covers the
// rounding of the haversine and of the vectors, and the absolute one the rounding of the
// vectors to float (2^-25 per coordinate, so at most 1.04e-7 on a chord).
struct ChordBound {
    bool usable = false; // false when the largest edge reaches near the antipode
    double chord = 0.0;  // bound of the float vectors' chord for every selected pair
};

ChordBound chord_bound(double max_lag, double diameter) {
    const double angle = max_lag / diameter; // half the central angle
    if (!(angle < 1.5)) return {};
    const double chord = 2.0 * std::sin(angle) * (1.0 + 0x1p-20) + 0x1p-40;
    return {true, chord + 0x1p-22};
}

struct Selection {
    const PairSettings &settings;
    ClassLookup classifier;
    double low, high;               // edges[0] and edges[n]
    double square_low, square_high; // projected: the squared distances within [low, high]
    double diameter = 2.0 * earth_radius_km;
    double chord_square_bound = INFINITY; // geographic, pruned: the prefilter on unit vectors

    explicit Selection(const PairSettings &s)
        : settings(s), classifier(s.edges), low(s.edges.front()), high(s.edges.back()),
          square_low(least_square_reaching(low)), square_high(greatest_square_within(high)) {}

    double pair_value(double vi, double vj) const {
        return settings.estimator == Estimator::matheron ? semivariance(vi, vj)
                                                         : std::sqrt(std::fabs(vi - vj));
    }

    template <int Dims> bool direction_selects(const double *xi, const double *xj, double h) const {
        return h == 0.0 || settings.direction.selects<Dims>(xi, xj, h);
    }
};

// Pairs of rows [r0, r1) of `rows` with columns [c0, c1) of `columns` (only j > i when
// `triangle`).
struct Block {
    std::size_t r0, r1, c0, c1;
    bool triangle;
};

// Calls segment(i, j_begin, j_end) for every row of the block and every tile of its columns,
// looking at the checkpoint after each tile; false when stopped.
template <class Segment>
bool for_each_tile(const Block &block, Checkpoint &checkpoint, Segment &&segment) {
    for (std::size_t tile = block.c0; tile < block.c1; tile += columns_per_tile) {
        const std::size_t tile_end = std::min(tile + columns_per_tile, block.c1);
        for (std::size_t i = block.r0; i < block.r1; ++i) {
            const std::size_t begin = block.triangle ? std::max(tile, i + 1) : tile;
            if (begin < tile_end) segment(i, begin, tile_end);
        }
        if (checkpoint.stop_requested()) return false;
    }
    return true;
}

// Candidates of one row segment that pass a cheap test, gathered without branches so that an
// unpredictable test costs no mispredictions; the survivors are then handled one by one.
struct Candidates {
    uint32_t column[columns_per_tile];
    double key[columns_per_tile];
    std::size_t count = 0;

    void offer(std::size_t j, double key_value, bool passes) {
        column[count] = uint32_t(j);
        key[count] = key_value;
        count += passes ? 1 : 0;
    }
};

template <int Dims, bool Directional>
bool projected_block(const Selection &s, const CellLayout &rows, const CellLayout &columns,
                     const Block &block, PairAccumulator &accumulator, Checkpoint &checkpoint) {
    const double *x = rows.coords.data();
    const double *y = columns.coords.data();
    const double *v = rows.values.data();
    const double *w = columns.values.data();
    Candidates candidates;
    return for_each_tile(block, checkpoint, [&](std::size_t i, std::size_t begin, std::size_t end) {
        const double *xi = x + i * Dims;
        candidates.count = 0;
        for (std::size_t j = begin; j < end; ++j) {
            const double q = squared_distance<Dims>(xi, y + j * Dims);
            candidates.offer(j, q, (q >= s.square_low) & (q <= s.square_high));
        }
        const double vi = v[i];
        for (std::size_t m = 0; m < candidates.count; ++m) {
            const std::size_t j = candidates.column[m];
            const double h = std::sqrt(candidates.key[m]);
            if constexpr (Directional)
                if (!s.template direction_selects<Dims>(xi, y + j * Dims, h)) continue;
            accumulator.add(s.classifier.classify(h), h, s.pair_value(vi, w[j]));
        }
    });
}

// The pairs of a block entered in the cells of their lags (2 columns): a pair is a candidate
// when both coordinate differences are within the outer edge. `EveryCellOpen`: the accumulator
// holds the sums of every cell, by cell.
template <bool EveryCellOpen>
bool map_block(const Selection &s, const CellLayout &rows, const CellLayout &columns,
               const Block &block, PairAccumulator &accumulator, Checkpoint &checkpoint) {
    const double *x = rows.coords.data();
    const double *y = columns.coords.data();
    const double *v = rows.values.data();
    const double *w = columns.values.data();
    const LagCells &cells = *s.settings.cells;
    const double reach = cells.reach();
    ExactClassSums *every_cell = EveryCellOpen ? accumulator.every_class() : nullptr;
    Candidates candidates;
    return for_each_tile(block, checkpoint, [&](std::size_t i, std::size_t begin, std::size_t end) {
        const double xi = x[2 * i], yi = x[2 * i + 1];
        candidates.count = 0;
        for (std::size_t j = begin; j < end; ++j) {
            const double dx = y[2 * j] - xi, dy = y[2 * j + 1] - yi;
            candidates.offer(j, dx, (std::fabs(dx) <= reach) & (std::fabs(dy) <= reach));
        }
        const double vi = v[i];
        for (std::size_t m = 0; m < candidates.count; ++m) {
            const std::size_t j = candidates.column[m];
            const std::size_t cell = cells.cell_within(candidates.key[m], y[2 * j + 1] - yi);
            const double value = s.pair_value(vi, w[j]);
            if constexpr (EveryCellOpen)
                PairAccumulator::add_value_to(every_cell[cell], value);
            else
                accumulator.add_value(cell, value);
        }
    });
}

template <bool Prefilter, bool Directional>
bool geographic_block(const Selection &s, const CellLayout &rows, const CellLayout &columns,
                      const Block &block, PairAccumulator &accumulator, Checkpoint &checkpoint) {
    const GeographicPoint *p = rows.places.data();
    const GeographicPoint *q = columns.places.data();
    const float *u = rows.units.data();
    const float *t = columns.units.data();
    const double *v = rows.values.data();
    const double *w = columns.values.data();
    Candidates candidates;
    return for_each_tile(block, checkpoint, [&](std::size_t i, std::size_t begin, std::size_t end) {
        const GeographicPoint pi = p[i];
        const double vi = v[i];
        auto add_if_within = [&](std::size_t j) {
            const double h = great_circle_distance(pi, q[j], s.diameter);
            if (!(h >= s.low && h <= s.high)) return;
            if constexpr (Directional)
                if (h != 0.0 && !s.settings.bearing.selects(pi, q[j], h)) return;
            accumulator.add(s.classifier.classify(h), h, s.pair_value(vi, w[j]));
        };
        if constexpr (!Prefilter) {
            for (std::size_t j = begin; j < end; ++j)
                add_if_within(j);
            return;
        }
        const double ux = u[3 * i], uy = u[3 * i + 1], uz = u[3 * i + 2];
        candidates.count = 0;
        for (std::size_t j = begin; j < end; ++j) {
            const double dx = ux - double(t[3 * j]), dy = uy - double(t[3 * j + 1]),
                         dz = uz - double(t[3 * j + 2]);
            const double chord_square = dx * dx + dy * dy + dz * dz;
            candidates.offer(j, chord_square, chord_square <= s.chord_square_bound);
        }
        for (std::size_t m = 0; m < candidates.count; ++m)
            add_if_within(candidates.column[m]);
    });
}

using BlockKernel = bool (*)(const Selection &, const CellLayout &, const CellLayout &,
                             const Block &, PairAccumulator &, Checkpoint &);

// Maps of at most this many cells keep the sums of every cell from the start, at most 9 MiB
// per thread, rather than only of those that pairs reach.
constexpr std::size_t most_cells_open = 8192;

bool every_cell_open(const PairSettings &settings) {
    return settings.cells != nullptr && settings.cells->cells() <= most_cells_open;
}

BlockKernel choose_kernel(const PairSettings &settings, int columns, bool prefilter) {
    if (settings.cells != nullptr)
        return every_cell_open(settings) ? map_block<true> : map_block<false>;
    if (settings.geographic) {
        if (settings.directional)
            return prefilter ? geographic_block<true, true> : geographic_block<false, true>;
        return prefilter ? geographic_block<true, false> : geographic_block<false, false>;
    }
    if (settings.directional)
        return columns == 2 ? projected_block<2, true> : projected_block<3, true>;
    switch (columns) {
    case 1:
        return projected_block<1, false>;
    case 2:
        return projected_block<2, false>;
    default:
        return projected_block<3, false>;
    }
}

// A block of rows within one cell of the row layout.
struct RowBlock {
    uint32_t r0, r1, cell;
};

std::vector<RowBlock> row_blocks(const CellLayout &rows, std::size_t cells) {
    std::vector<RowBlock> blocks;
    for (std::size_t c = 0; c < cells; ++c)
        for (std::size_t r = rows.cell_start[c]; r < rows.cell_start[c + 1]; r += rows_per_block)
            blocks.push_back(
                {uint32_t(r),
                 uint32_t(std::min<std::size_t>(r + rows_per_block, rows.cell_start[c + 1])),
                 uint32_t(c)});
    return blocks;
}

// Runs one row block against its cell's neighbours: for a set with itself, the rest of its own
// cell and the cells after it (so each pair is formed once); for two sets, every neighbour.
bool run_row_block(const RowBlock &rows_block, const GridGeometry &grid, const CellLayout &rows,
                   const CellLayout &columns, bool same, BlockKernel kernel, const Selection &s,
                   PairAccumulator &accumulator, Checkpoint &checkpoint) {
    const std::size_t cell = rows_block.cell;
    const CellKey key = grid.occupied[cell]; // (axis 2, axis 1, axis 0)
    const std::vector<uint32_t> &start = columns.cell_start;
    auto run = [&](std::size_t first_cell, std::size_t end_cell, bool triangle) {
        const Block block{rows_block.r0, rows_block.r1, start[first_cell], start[end_cell],
                          triangle};
        return block.c0 >= block.c1 || kernel(s, rows, columns, block, accumulator, checkpoint);
    };
    if (same && !run(cell, cell + 1, true)) return false;
    const int64_t span = grid.span;
    const int64_t span1 = grid.dims >= 2 ? span : 0, span2 = grid.dims >= 3 ? span : 0;
    for (int64_t o2 = same ? 0 : -span2; o2 <= span2; ++o2) {
        for (int64_t o1 = -span1; o1 <= span1; ++o1) {
            int64_t first = key[2] - span;
            if (same && o2 == 0 && o1 <= 0) {
                if (o1 < 0) continue; // these pairs are formed from the other cell
                first = key[2] + 1;   // the own cell was done above
            }
            // The occupied cells of this row of the grid within the span are consecutive.
            const auto [begin, end] = grid.range({key[0] + o2, key[1] + o1, first},
                                                 {key[0] + o2, key[1] + o1, key[2] + span});
            if (begin < end && !run(begin, end, false)) return false;
        }
    }
    return true;
}

// The samples in cell order, and the grid that orders them.
struct PairLayout {
    GridGeometry grid;
    CellLayout rows, columns; // columns is empty for a set with itself
    bool prefilter = false;   // geographic: compare the unit vectors' chords first
};

// Checks the samples, plans the grid (when pruning) and sorts the samples into its cells.
SampleCheck lay_out(const SampleArrays &a, const SampleArrays *b, const PairSettings &settings,
                    bool prune, Selection &s, PairLayout &layout, Checkpoint &checkpoint) {
    double low[3], high[3], low_b[3], high_b[3];
    SampleCheck check = check_samples(a, settings.geographic, prune, low, high, checkpoint);
    if (check == SampleCheck::valid && b != nullptr)
        check = check_samples(*b, settings.geographic, prune, low_b, high_b, checkpoint);
    if (check != SampleCheck::valid) return check;
    const int dims = settings.geographic ? 3 : a.columns;
    if (b != nullptr)
        for (int k = 0; k < dims; ++k)
            low[k] = std::min(low[k], low_b[k]), high[k] = std::max(high[k], high_b[k]);
    if (prune && settings.geographic) {
        const ChordBound bound = chord_bound(s.high, s.diameter);
        if (bound.usable) {
            layout.prefilter = true;
            s.chord_square_bound = bound.chord * bound.chord * (1.0 + 0x1p-30);
            layout.grid = plan_grid(3, low, high, bound.chord);
        }
    } else if (settings.cells != nullptr) {
        // Every coordinate difference of a pair in the map is at most the outer edge.
        layout.grid = plan_grid(dims, low, high, std::max(settings.cells->reach(), 0x1p-500));
    } else if (prune) {
        // Squares below the subnormals vanish: coordinates up to about 1e-162 apart can give
        // the distance 0, so the reach never goes below 2^-500.
        layout.grid = plan_grid(dims, low, high, std::max(s.high, 0x1p-500));
    }
    if (layout.grid.occupied.empty() &&
        !occupy_cells(layout.grid, a, b, settings.geographic, checkpoint))
        return SampleCheck::stopped;
    const bool units = layout.prefilter;
    if (!build_layout(a, settings.geographic, units, layout.grid, layout.rows, checkpoint) ||
        (b != nullptr &&
         !build_layout(*b, settings.geographic, units, layout.grid, layout.columns, checkpoint)))
        return SampleCheck::stopped;
    return SampleCheck::valid;
}

} // namespace

int64_t settings_fingerprint(const PairSettings &settings) {
    // FNV-1a over the bit patterns of the settings.
    uint64_t hash = 0xcbf29ce484222325u;
    auto mix = [&](uint64_t word) {
        for (int byte = 0; byte < 8; ++byte) {
            hash ^= (word >> (8 * byte)) & 0xffu;
            hash *= 0x100000001b3u;
        }
    };
    mix(settings.edges.size());
    for (double edge : settings.edges)
        mix(std::bit_cast<uint64_t>(edge));
    mix(uint64_t(settings.geographic) | uint64_t(settings.estimator) << 1 |
        uint64_t(settings.directional) << 3 | uint64_t(!std::isnan(settings.bandwidth)) << 4);
    if (settings.directional)
        for (double part : {settings.degrees, settings.dip_degrees, settings.tolerance_degrees,
                            std::isnan(settings.bandwidth) ? 0.0 : settings.bandwidth})
            mix(std::bit_cast<uint64_t>(part));
    return int64_t(hash);
}

PairsStatus accumulate_pairs(const SampleArrays &a, const SampleArrays *b,
                             const PairSettings &settings, bool prune, PairAccumulator &result,
                             Interrupt &interrupt) {
    const bool same = b == nullptr;
    Selection s(settings);

    // One worker lays the samples out.
    PairLayout layout;
    PairsStatus status;
    status.run = run_parallel(1, interrupt, [&](int, Checkpoint &checkpoint) {
        status.samples = lay_out(a, b, settings, prune, s, layout, checkpoint);
    });
    if (status.run != RunStatus::finished || status.samples != SampleCheck::valid) return status;
    const GridGeometry &grid = layout.grid;
    const CellLayout &rows = layout.rows;
    const CellLayout &columns = same ? rows : layout.columns;

    const std::vector<RowBlock> blocks = row_blocks(rows, grid.cells());
    const int threads = int(std::clamp<std::size_t>(
        std::size_t(std::max(settings.threads, 1)), 1,
        std::min<std::size_t>(most_threads, std::max<std::size_t>(blocks.size(), 1))));
    std::vector<PairAccumulator> partial(
        std::size_t(threads), PairAccumulator(result.classes(), every_cell_open(settings)));
    const BlockKernel kernel = choose_kernel(settings, a.columns, layout.prefilter);
    std::atomic<std::size_t> next_block{0};
    status.run =
        run_parallel(int(partial.size()), interrupt, [&](int worker, Checkpoint &checkpoint) {
            PairAccumulator &accumulator = partial[std::size_t(worker)];
            for (;;) {
                const std::size_t index = next_block.fetch_add(1, std::memory_order_relaxed);
                if (index >= blocks.size()) return;
                const RowBlock &block = blocks[index];
                if (!run_row_block(block, grid, rows, columns, same, kernel, s, accumulator,
                                   checkpoint))
                    return;
                // A block's rows have met all their partners (those of earlier rows included).
                count_progress(settings.progress, block.r1 - block.r0);
            }
        });
    if (status.run != RunStatus::finished) return status;
    for (const PairAccumulator &part : partial)
        if (!result.merge(part)) {
            status.count_overflow = true;
            return status;
        }
    return status;
}

bool mirrored_cells(const PairAccumulator &canonical, const LagCells &cells,
                    PairAccumulator &result) {
    for (std::size_t k = 0; k < cells.cells(); ++k)
        for (const std::size_t from : {k, cells.mirror(k)})
            if (const ExactClassSums *sums = canonical.find(from); sums != nullptr) {
                ExactClassSums &into = result.at(k);
                if (__builtin_add_overflow(into.count, sums->count, &into.count)) return false;
                into.value.merge(sums->value);
            }
    return true;
}

} // namespace krige::engine
