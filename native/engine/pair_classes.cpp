#include "engine/pair_classes.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace krige::pairs {
namespace {

constexpr int64_t block_size = 128; // NumPy's pairwise block; larger ranges are split in two

// Where the pairwise tree splits a range of n > block_size values: half, down to a multiple of 8.
int64_t left_size(int64_t n) {
    int64_t half = n / 2;
    return half - half % 8;
}

// Splits on the deepest path of the tree of n values; the right part is never the smaller one.
int tree_depth(int64_t n) {
    int depth = 0;
    for (; n > block_size; ++depth)
        n -= left_size(n);
    return depth;
}

} // namespace

double pairwise_sum(const double *a, int64_t n) {
    if (n < 8) {
        double sum = -0.0; // keeps the sign of an all -0.0 range
        for (int64_t i = 0; i < n; ++i)
            sum += a[i];
        return sum;
    }
    if (n <= block_size) {
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

namespace {

// One pending left half of the summation tree: its sums wait for the right half.
struct Level {
    int64_t right; // size of the right half still to come
    bool has_left;
    double left_d, left_g;
};

// Streams one class's (distance, semivariance) values in pair order and forms both sums with the
// tree that pairwise_sum/reduce_sum would use for the class's known count, holding at most one
// block of values and one pending left sum per tree level.
class ClassStream {
  public:
    void start(int64_t count, int64_t chunk, double *block_d, double *block_g, Level *levels) {
        remaining_ = count;
        chunk_ = chunk > 0 ? chunk : count;
        block_d_ = block_d;
        block_g_ = block_g;
        levels_ = levels;
        if (count > 0) begin_chunk();
    }

    void push(double d, double g) {
        block_d_[filled_] = d;
        block_g_[filled_] = g;
        if (++filled_ == leaf_) finish_leaf();
    }

    double distance_sum() const { return total_d_; }
    double semivariance_sum() const { return total_g_; }

  private:
    void begin_chunk() {
        chunk_left_ = std::min(chunk_, remaining_);
        remaining_ -= chunk_left_;
        descend(chunk_left_);
    }

    // Goes down the left edge of a subtree of n values to its first leaf.
    void descend(int64_t n) {
        while (n > block_size) {
            int64_t left = left_size(n);
            levels_[depth_++] = {n - left, false, 0.0, 0.0};
            n = left;
        }
        leaf_ = n;
        filled_ = 0;
    }

    void finish_leaf() {
        double sum_d = pairwise_sum(block_d_, leaf_);
        double sum_g = pairwise_sum(block_g_, leaf_);
        while (depth_ > 0) {
            Level &level = levels_[depth_ - 1];
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
        total_d_ += sum_d;
        total_g_ += sum_g;
        if (remaining_ > 0) begin_chunk();
    }

    Level *levels_ = nullptr; // room for the deepest path of this class's tree
    int depth_ = 0;
    int64_t leaf_ = 0, filled_ = 0;
    int64_t remaining_ = 0, chunk_ = 0, chunk_left_ = 0;
    double *block_d_ = nullptr, *block_g_ = nullptr;
    double total_d_ = 0.0, total_g_ = 0.0;
};

// The class of d, or -1: the k with edges[k] <= d < edges[k + 1]. A first guess from the class
// width is corrected with the exact comparisons, so rounding in the guess never matters.
class Classifier {
  public:
    explicit Classifier(std::span<const double> edges)
        : edges_(edges), last_(int64_t(edges.size()) - 2) {
        double width = edges.back() - edges.front();
        scale_ = width > 0 && std::isfinite(width) ? double(last_ + 1) / width : 0.0;
    }

    int64_t operator()(double d) const {
        if (!(d >= edges_.front() && d < edges_.back()))
            return -1; // outside every class, NaN included
        double guess = (d - edges_.front()) * scale_;
        int64_t k = guess < double(last_) ? int64_t(guess) : last_;
        while (d < edges_[size_t(k)])
            --k;
        while (d >= edges_[size_t(k) + 1])
            ++k;
        return k;
    }

  private:
    std::span<const double> edges_;
    int64_t last_;
    double scale_;
};

} // namespace

ClassMeans sum_classes(std::span<const double> d, std::span<const double> g,
                       std::span<const double> edges, SummationRule rule) {
    const size_t classes = edges.size() - 1;
    const Classifier classify(edges);
    ClassMeans result{std::vector<int64_t>(classes, 0), std::vector<double>(classes, 0.0),
                      std::vector<double>(classes, 0.0)};

    // First pass: the class sizes, which fix the shape of each summation tree.
    for (double distance : d)
        if (int64_t k = classify(distance); k >= 0) ++result.counts[size_t(k)];

    // Second pass: stream each pair into its class; a class needs at most one block of values
    // and one level per split on the deepest path of its tree.
    std::vector<size_t> offsets(classes + 1, 0), level_offsets(classes + 1, 0);
    for (size_t k = 0; k < classes; ++k) {
        int64_t count = result.counts[k], chunk = rule.chunk > 0 ? rule.chunk : count;
        offsets[k + 1] = offsets[k] + size_t(std::min(count, block_size));
        level_offsets[k + 1] = level_offsets[k] + size_t(tree_depth(std::min(count, chunk)));
    }
    std::vector<double> blocks(2 * offsets[classes]);
    std::vector<Level> levels(level_offsets[classes]);
    std::vector<ClassStream> streams(classes);
    for (size_t k = 0; k < classes; ++k)
        streams[k].start(result.counts[k], rule.chunk, blocks.data() + offsets[k],
                         blocks.data() + offsets[classes] + offsets[k],
                         levels.data() + level_offsets[k]);
    for (size_t i = 0; i < d.size(); ++i)
        if (int64_t k = classify(d[i]); k >= 0) streams[size_t(k)].push(d[i], g[i]);
    for (size_t k = 0; k < classes; ++k) {
        result.distance_sums[k] = streams[k].distance_sum();
        result.semivariance_sums[k] = streams[k].semivariance_sum();
    }
    return result;
}

} // namespace krige::pairs
