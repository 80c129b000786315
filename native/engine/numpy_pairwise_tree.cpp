#include "engine/numpy_pairwise_tree.hpp"

#include <algorithm>
#include <array>

namespace krige::pairs {
namespace {

constexpr int64_t leaf_limit = 128; // NumPy's pairwise block; larger ranges are split in two

// Where the pairwise tree splits a range of n > leaf_limit values: half, down to a multiple of 8.
int64_t left_size(int64_t n) {
    int64_t half = n / 2;
    return half - half % 8;
}

// Splits on the deepest path of the tree of n values; the right part is never the smaller one.
int tree_depth(int64_t n) {
    int depth = 0;
    for (; n > leaf_limit; ++depth)
        n -= left_size(n);
    return depth;
}

// The top tree (chunk) that holds `position`: its first position and its size.
struct Span {
    int64_t start, size;
};
Span top_tree(int64_t count, int64_t chunk, int64_t position) {
    if (chunk <= 0 || chunk >= count) return {0, count};
    int64_t start = position / chunk * chunk;
    return {start, std::min(chunk, count - start)};
}

} // namespace

double pairwise_sum(const double *a, int64_t n) {
    if (n < 8) {
        double sum = -0.0; // keeps the sign of an all -0.0 range
        for (int64_t i = 0; i < n; ++i)
            sum += a[i];
        return sum;
    }
    if (n <= leaf_limit) {
        std::array<double, 8> r;
        std::copy(a, a + 8, r.begin());
        int64_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (int j = 0; j < 8; ++j)
                r[j] += a[i + j];
        double sum = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i)
            sum += a[i];
        return sum;
    }
    int64_t left = left_size(n);
    return pairwise_sum(a, left) + pairwise_sum(a + left, n - left);
}

double reduce_sum(const double *a, int64_t n, SummationRule rule) {
    double total = 0.0;
    int64_t chunk = rule.chunk > 0 ? rule.chunk : std::max<int64_t>(n, 1);
    for (int64_t start = 0; start < n; start += chunk)
        total += pairwise_sum(a + start, std::min(chunk, n - start));
    return total;
}

void ClassSegment::start(int64_t count, SummationRule rule, int64_t begin, int64_t end) {
    count_ = count;
    chunk_ = rule.chunk;
    position_ = begin;
    end_ = end;
    sums_ = {};
    levels_.assign(size_t(tree_depth(top_tree(count, chunk_, 0).size)), Level{});
    const size_t room = size_t(std::clamp<int64_t>(end - begin, 1, leaf_limit));
    leaves_.assign(2 * room, 0.0);
    leaf_d_ = leaves_.data();
    leaf_g_ = leaves_.data() + room;
    next_unit();
}

// The next unit of work from position_: the largest whole node that starts there and ends within
// the segment, or else the part of a leaf that the segment holds.
void ClassSegment::next_unit() {
    filled_ = 0;
    if (position_ >= end_) {
        // Nothing more should come; a value that does lands in the leaf buffers' first slot
        // and is noted.
        leaf_ = 1;
        return;
    }
    Span node = top_tree(count_, chunk_, position_);
    for (;;) {
        if (node.start == position_ && node.start + node.size <= end_) {
            partial_ = false;
            unit_start_ = node.start;
            unit_size_ = node.size;
            depth_ = 0;
            descend(node.size);
            return;
        }
        if (node.size <= leaf_limit) {
            partial_ = true;
            unit_start_ = position_;
            unit_size_ = std::min(node.start + node.size, end_) - position_;
            leaf_ = unit_size_;
            return;
        }
        int64_t left = left_size(node.size);
        if (position_ < node.start + left) {
            node.size = left;
        } else {
            node.start += left;
            node.size -= left;
        }
    }
}

// Goes down the left edge of a subtree of n values to its first leaf.
void ClassSegment::descend(int64_t n) {
    while (n > leaf_limit) {
        int64_t left = left_size(n);
        levels_[size_t(depth_++)] = {n - left, false, 0.0, 0.0};
        n = left;
    }
    leaf_ = n;
    filled_ = 0;
}

void ClassSegment::leaf_done() {
    if (position_ >= end_) {
        surplus_ = true;
        filled_ = 0;
        return;
    }
    position_ += leaf_;
    if (partial_) {
        sums_.pieces.push_back({unit_start_, std::vector<double>(leaf_d_, leaf_d_ + leaf_),
                                std::vector<double>(leaf_g_, leaf_g_ + leaf_)});
        next_unit();
        return;
    }
    double sum_d = pairwise_sum(leaf_d_, leaf_);
    double sum_g = pairwise_sum(leaf_g_, leaf_);
    while (depth_ > 0) {
        Level &level = levels_[size_t(depth_ - 1)];
        if (!level.has_left) {
            level.has_left = true;
            level.left_d = sum_d;
            level.left_g = sum_g;
            descend(level.right);
            return;
        }
        sum_d = level.left_d + sum_d;
        sum_g = level.left_g + sum_g;
        --depth_;
    }
    sums_.nodes.push_back({unit_start_, unit_size_, sum_d, sum_g});
    next_unit();
}

namespace {

// Rebuilds one class's tree from the segments' whole nodes and leaf pieces.
class Rebuild {
  public:
    explicit Rebuild(const std::vector<const SegmentSums *> &parts) {
        for (const SegmentSums *part : parts) {
            for (const NodeSum &node : part->nodes)
                nodes_.push_back(node);
            for (const LeafPiece &piece : part->pieces)
                pieces_.push_back(&piece);
        }
        std::sort(nodes_.begin(), nodes_.end(),
                  [](const NodeSum &a, const NodeSum &b) { return a.start < b.start; });
        std::sort(pieces_.begin(), pieces_.end(),
                  [](const LeafPiece *a, const LeafPiece *b) { return a->start < b->start; });
    }

    ClassTotals node(int64_t start, int64_t size) {
        auto found = std::lower_bound(nodes_.begin(), nodes_.end(), start,
                                      [](const NodeSum &a, int64_t s) { return a.start < s; });
        if (found != nodes_.end() && found->start == start && found->size == size)
            return {found->d, found->g};
        if (size <= leaf_limit) return leaf(start, size);
        int64_t left = left_size(size);
        ClassTotals a = node(start, left);
        ClassTotals b = node(start + left, size - left);
        return {a.d + b.d, a.g + b.g};
    }

  private:
    // A leaf cut by segment ends: its pieces joined in order, then summed as NumPy does.
    ClassTotals leaf(int64_t start, int64_t size) {
        std::array<double, leaf_limit> d, g;
        int64_t filled = 0;
        auto piece = std::lower_bound(pieces_.begin(), pieces_.end(), start,
                                      [](const LeafPiece *a, int64_t s) { return a->start < s; });
        for (; piece != pieces_.end() && filled < size; ++piece) {
            std::copy((*piece)->d.begin(), (*piece)->d.end(), d.begin() + filled);
            std::copy((*piece)->g.begin(), (*piece)->g.end(), g.begin() + filled);
            filled += int64_t((*piece)->d.size());
        }
        return {pairwise_sum(d.data(), size), pairwise_sum(g.data(), size)};
    }

    std::vector<NodeSum> nodes_;
    std::vector<const LeafPiece *> pieces_;
};

} // namespace

ClassTotals merge(int64_t count, SummationRule rule,
                  const std::vector<const SegmentSums *> &parts) {
    Rebuild tree(parts);
    ClassTotals total{0.0, 0.0};
    for (int64_t start = 0; start < count;) {
        Span top = top_tree(count, rule.chunk, start);
        ClassTotals sum = tree.node(top.start, top.size);
        total.d += sum.d;
        total.g += sum.g;
        start = top.start + top.size;
    }
    return total;
}

} // namespace krige::pairs
