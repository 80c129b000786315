// NumPy's sum of a float64 array, bit for bit, formed from values that arrive one at a time and
// from several threads.
//
// np.add.reduce over n contiguous values adds, to a running total that starts at 0.0, the pairwise
// sum of each chunk (the whole array since NumPy 2.3, chunks of the iterator's buffer size
// before). The pairwise sum of m values splits at half, rounded down to a multiple of 8, until at
// most 128 values remain; those "leaves" are summed with eight accumulators. The shape of the
// tree depends only on n, so once a class's count is known its values can be summed as they come:
// one leaf buffer and one pending left sum per tree level.
//
// With threads, each thread sees a contiguous range [begin, end) of a class's positions. It sums
// the largest whole tree nodes inside its range and keeps the raw values of the at most two leaves
// that its range cuts; merge() then rebuilds the tree from those nodes and joined leaves.
#pragma once

#include <cstdint>
#include <vector>

namespace krige::pairs {

// How NumPy's add.reduce splits a contiguous float64 sum: in chunks of `chunk` values, each summed
// pairwise and added to a running total, or (chunk 0) in one piece.
struct SummationRule {
    int64_t chunk;
};

// NumPy's pairwise sum of a[0..n) (n > 0), bit for bit.
double pairwise_sum(const double *a, int64_t n);

// 0.0 + the pairwise sums of the chunks: add.reduce over n contiguous values.
double reduce_sum(const double *a, int64_t n, SummationRule rule);

// A whole tree node summed by one thread: positions [start, start + size) of its class.
struct NodeSum {
    int64_t start, size;
    double d, g;
};

// Raw values of part of a leaf: positions [start, start + d.size()).
struct LeafPiece {
    int64_t start;
    std::vector<double> d, g;
};

// What one thread contributes to one class.
struct SegmentSums {
    std::vector<NodeSum> nodes;
    std::vector<LeafPiece> pieces;
};

// Sums the values of one class (distance d and semivariance g together) at positions
// [begin, end) of the class's sequence of `count` values. push() must be called exactly
// end - begin times; finish() then hands over the node sums and leaf pieces.
class ClassSegment {
  public:
    ClassSegment() = default;
    ClassSegment(const ClassSegment &) = delete; // the leaf pointers point into leaves_
    ClassSegment(ClassSegment &&) = default;
    void start(int64_t count, SummationRule rule, int64_t begin, int64_t end);

    void push(double d, double g) {
        leaf_d_[filled_] = d;
        leaf_g_[filled_] = g;
        if (++filled_ == leaf_) leaf_done();
    }

    SegmentSums &result() { return sums_; }

    // Exactly end - begin values came.
    bool complete() const { return position_ == end_ && !surplus_; }

  private:
    struct Level {
        int64_t right; // size of the right half still to come
        bool has_left;
        double left_d, left_g;
    };

    void leaf_done();
    void next_unit();
    void descend(int64_t n);

    int64_t count_ = 0, chunk_ = 0, position_ = 0, end_ = 0;
    int64_t unit_start_ = 0, unit_size_ = 0;
    bool partial_ = false;
    int64_t filled_ = 0, leaf_ = 0;
    std::vector<double> leaves_; // two leaf buffers, for d and g, sized to what this segment holds
    double *leaf_d_ = nullptr, *leaf_g_ = nullptr;
    std::vector<Level> levels_;
    int depth_ = 0;
    SegmentSums sums_;
    bool surplus_ = false;
};

// The total NumPy forms for a class of `count` values from the contributions of every segment,
// in segment order: the sums of both d and g.
struct ClassTotals {
    double d, g;
};
ClassTotals merge(int64_t count, SummationRule rule, const std::vector<const SegmentSums *> &parts);

} // namespace krige::pairs
