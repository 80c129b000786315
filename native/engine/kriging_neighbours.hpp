// A k-d tree over the prepared sample coordinates, built once, for the k nearest samples of a
// target.
//
// Squared distances are always the sum over the axes, in axis order, of the squared coordinate
// differences, so a sample's distance to a target is the same number however it is reached.
// Neighbours are ordered by (squared distance, sample index): exact ties go to the lower
// sample index. A search can leave out the samples of one label (the fold of a
// cross-validation target) without rebuilding anything. Memory: O(N).
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace krige::engine {

struct Neighbour {
    double distance2;
    std::int64_t index;
    bool operator<(const Neighbour &other) const {
        return distance2 < other.distance2 || (distance2 == other.distance2 && index < other.index);
    }
};

class NeighbourIndex {
  public:
    // points: N × dimensions, row-major; the memory must outlive the index. The build asks
    // `stop` every million or so steps and gives up when it answers true (stopped() is then
    // true and the index must not be searched).
    NeighbourIndex(const double *points, std::int64_t count, int dimensions,
                   const std::function<bool()> &stop = {});
    bool stopped() const { return stopped_; }

    // The (at most) k nearest samples within max_distance2 (inclusive), sorted; samples whose
    // label equals `exclude` are skipped (labels may be empty: nothing skipped).
    void nearest(const double *target, std::int64_t k, double max_distance2,
                 std::span<const std::int64_t> labels, std::int64_t exclude,
                 std::vector<Neighbour> &found) const;

    double distance2(const double *target, std::int64_t sample) const {
        const double *p = points_ + sample * dimensions_;
        double sum = 0.0;
        for (int axis = 0; axis < dimensions_; ++axis) {
            const double d = target[axis] - p[axis];
            sum += d * d;
        }
        return sum;
    }

  private:
    struct Node {
        std::int64_t begin, end; // range of order_
        double split;            // inner nodes: the split coordinate
        int axis;                // -1 for a leaf
        std::int32_t left, right;
    };
    std::int32_t build(std::int64_t begin, std::int64_t end, const std::function<bool()> &stop);

    const double *points_;
    std::int64_t count_;
    int dimensions_;
    std::vector<std::int64_t> order_;
    std::vector<Node> nodes_;
    bool stopped_ = false;
};

} // namespace krige::engine
