#include "engine/kriging_neighbours.hpp"

#include <algorithm>
#include <limits>

namespace krige::engine {

namespace {
constexpr std::int64_t leaf_size = 12;
}

NeighbourIndex::NeighbourIndex(const double *points, std::int64_t count, int dimensions,
                               const std::function<bool()> &stop)
    : points_(points), count_(count), dimensions_(dimensions), order_(std::size_t(count)) {
    for (std::int64_t i = 0; i < count; ++i)
        order_[std::size_t(i)] = i;
    nodes_.reserve(std::size_t(2 * (count / leaf_size + 1)));
    if (count > 0) build(0, count, stop);
}

std::int32_t NeighbourIndex::build(std::int64_t begin, std::int64_t end,
                                   const std::function<bool()> &stop) {
    const auto id = std::int32_t(nodes_.size());
    nodes_.push_back(Node{begin, end, 0.0, -1, -1, -1});
    if (end - begin <= leaf_size || stopped_) return id;
    // A node's work is proportional to its size: large ones are worth a question.
    if (stop && end - begin >= (1 << 16) && stop()) {
        stopped_ = true;
        return id;
    }
    // Split the widest axis at the median.
    int axis = 0;
    double widest = -1.0;
    for (int a = 0; a < dimensions_; ++a) {
        double low = std::numeric_limits<double>::infinity(), high = -low;
        for (std::int64_t i = begin; i < end; ++i) {
            const double v = points_[order_[std::size_t(i)] * dimensions_ + a];
            low = std::min(low, v);
            high = std::max(high, v);
        }
        if (high - low > widest) {
            widest = high - low;
            axis = a;
        }
    }
    const std::int64_t middle = begin + (end - begin) / 2;
    auto coordinate = [&](std::int64_t sample) { return points_[sample * dimensions_ + axis]; };
    std::nth_element(order_.begin() + begin, order_.begin() + middle, order_.begin() + end,
                     [&](std::int64_t x, std::int64_t y) {
                         const double cx = coordinate(x), cy = coordinate(y);
                         return cx < cy || (cx == cy && x < y);
                     });
    const double split = coordinate(order_[std::size_t(middle)]);
    const std::int32_t left = build(begin, middle, stop);
    const std::int32_t right = build(middle, end, stop);
    Node &node = nodes_[std::size_t(id)];
    node.axis = axis;
    node.split = split;
    node.left = left;
    node.right = right;
    return id;
}

void NeighbourIndex::nearest(const double *target, std::int64_t k, double max_distance2,
                             std::span<const std::int64_t> labels, std::int64_t exclude,
                             std::vector<Neighbour> &found) const {
    found.clear();
    if (count_ == 0 || k <= 0) return;
    // Depth-first with the nearer child first; a subtree is skipped when its cell lies
    // farther than the current k-th neighbour (strictly, so that ties can still enter). A
    // cell's squared distance is the sum over the axes of the squared offsets from the target
    // to the cell's sides (zero on the axes where the target is inside it).
    struct Pending {
        std::int32_t node;
        double bound2;
        double offset[3];
    };
    Pending stack[128];
    int depth = 0;
    stack[depth++] = {0, 0.0, {0.0, 0.0, 0.0}};
    auto worst = [&] {
        return std::int64_t(found.size()) < k ? max_distance2 : found.back().distance2;
    };
    while (depth > 0) {
        const Pending pending = stack[--depth];
        if (pending.bound2 > worst()) continue;
        const Node &node = nodes_[std::size_t(pending.node)];
        if (node.axis < 0) {
            for (std::int64_t i = node.begin; i < node.end; ++i) {
                const std::int64_t sample = order_[std::size_t(i)];
                if (!labels.empty() && labels[std::size_t(sample)] == exclude) continue;
                const Neighbour candidate{distance2(target, sample), sample};
                if (candidate.distance2 > max_distance2) continue;
                if (std::int64_t(found.size()) == k) {
                    if (!(candidate < found.back())) continue;
                    found.back() = candidate;
                } else {
                    found.push_back(candidate);
                }
                // One step of insertion sort, from the back: the search and the shift in one
                // pass over the neighbours after it.
                std::size_t place = found.size() - 1;
                for (; place > 0 && candidate < found[place - 1]; --place)
                    found[place] = found[place - 1];
                found[place] = candidate;
            }
            continue;
        }
        const double offset = target[node.axis] - node.split;
        // The far child's cell: its side at the split replaces this cell's offset on the axis.
        // Its distance is summed afresh in the order of a sample's: rounding is monotonic, so
        // it never exceeds the computed distance of any sample in the cell.
        Pending far = pending;
        far.offset[node.axis] = offset;
        far.bound2 = 0.0;
        for (int axis = 0; axis < dimensions_; ++axis)
            far.bound2 += far.offset[axis] * far.offset[axis];
        // The split sample lies in the right child; points equal to the split may be on both
        // sides, so the far cell's distance is only a lower bound, which is all we need.
        Pending near = pending;
        if (offset < 0) {
            far.node = node.right;
            near.node = node.left;
        } else {
            far.node = node.left;
            near.node = node.right;
        }
        stack[depth++] = far;
        stack[depth++] = near;
    }
}

} // namespace krige::engine
