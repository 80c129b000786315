#include "engine/streaming_classes.hpp"

#include "engine/distance_classes.hpp"
#include "engine/haversine_screen.hpp"
#include "engine/pair_distances.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <limits>

namespace krige::engine {
namespace {

constexpr int64_t tile_size = 2048; // pairs produced at a time into a thread's buffers
constexpr int reported_flags = FE_OVERFLOW | FE_INVALID | FE_DIVBYZERO | FE_UNDERFLOW;

// Classes in the space of the stream's keys: class k holds the keys t[k] <= key < t[k + 1]; keys
// outside every class (NaN included) have the class -1.
class Classifier {
  public:
    explicit Classifier(std::span<const double> thresholds)
        : lookup_(thresholds), low_(thresholds.front()), high_(thresholds.back()) {}

    int operator()(double key) const {
        return key >= low_ && key < high_ ? int(lookup_.classify(key)) : -1;
    }

    // The classes of keys[0..count) into cls; `buckets` is room for count values.
    void operator()(const double *key, int64_t count, int *cls, uint32_t *buckets) const {
        lookup_.buckets(key, size_t(count), buckets);
        for (int64_t m = 0; m < count; ++m)
            cls[m] =
                key[m] >= low_ && key[m] < high_ ? int(lookup_.classify(key[m], buckets[m])) : -1;
    }

    int classes() const { return int(lookup_.classes()); }

  private:
    ClassLookup lookup_;
    double low_, high_;
};

// The smallest and largest of some keys, and whether any is NaN (which neither of them shows).
struct KeyRange {
    double max = -HUGE_VAL, min = HUGE_VAL;
    bool nan = false;

    void add(const double *key, int64_t count) {
        // Four lanes, so that no comparison waits for the one before.
        constexpr int lanes = 4;
        double mx[lanes], mn[lanes];
        int unordered[lanes] = {};
        for (int l = 0; l < lanes; ++l)
            mx[l] = max, mn[l] = min;
        int64_t m = 0;
        for (; m + lanes <= count; m += lanes)
            for (int l = 0; l < lanes; ++l) {
                const double q = key[m + l];
                mx[l] = q > mx[l] ? q : mx[l];
                mn[l] = q < mn[l] ? q : mn[l];
                unordered[l] |= int(q != q);
            }
        for (; m < count; ++m) {
            const double q = key[m];
            mx[0] = q > mx[0] ? q : mx[0];
            mn[0] = q < mn[0] ? q : mn[0];
            unordered[0] |= int(q != q);
        }
        for (int l = 0; l < lanes; ++l) {
            max = mx[l] > max ? mx[l] : max;
            min = mn[l] < min ? mn[l] : min;
            nan = nan || unordered[l] != 0;
        }
    }

    void merge(const KeyRange &other) {
        max = std::max(max, other.max);
        min = std::min(min, other.min);
        nan = nan || other.nan;
    }
};

// Counts per class, kept in four interleaved tallies so that pairs of one class in a row do not
// wait for each other's increments; class -1 (outside every class) has a slot of its own.
class Tallies {
  public:
    explicit Tallies(size_t classes) : stride_(classes + 1), tally_(lanes * stride_, 0) {}

    void add(int64_t m, int k) {
        const size_t slot = k >= 0 ? size_t(k) : stride_ - 1;
        ++tally_[size_t(m % lanes) * stride_ + slot];
    }

    void total(std::vector<int64_t> &counts) const {
        for (size_t k = 0; k + 1 < stride_; ++k)
            for (size_t l = 0; l < lanes; ++l)
                counts[k] += tally_[l * stride_ + k];
    }

  private:
    static constexpr size_t lanes = 4;
    size_t stride_;
    std::vector<int64_t> tally_;
};

// ---- Pair sources: rows of pairs in the statements' order ---------------------------------------

// pdist's condensed order: row i holds the pairs (i, j) for j = i + 1 … n − 1. Keys are squared
// distances: sqrt is correctly rounded and monotonic, so a distance reaches an edge exactly when
// its square reaches the edge's threshold.
template <int Fixed> struct ProjectedSource {
    ProjectedSamples s;
    int64_t n;
    size_t columns;
    static constexpr bool screened = false;

    explicit ProjectedSource(ProjectedSamples samples)
        : s(std::move(samples)), n(int64_t(s.values.size())), columns(s.columns.size()) {}

    int64_t rows() const { return n; }
    int64_t row_length(int64_t r) const { return n - 1 - r; }

    void keys(int64_t r, int64_t j0, int64_t j1, double *key) const {
        const int64_t first = r + 1 + j0, count = j1 - j0;
        if constexpr (Fixed > 0) {
            double a[Fixed];
            const double *x[Fixed];
            for (int c = 0; c < Fixed; ++c) {
                a[c] = s.columns[size_t(c)][size_t(r)];
                x[c] = s.columns[size_t(c)].data() + first;
            }
            for (int64_t m = 0; m < count; ++m) {
                double t[Fixed];
                for (int c = 0; c < Fixed; ++c)
                    t[c] = a[c] - x[c][m];
                key[m] = sum_of_squares(t);
            }
        } else {
            // Any other number of columns: the same additions in the same order, column by
            // column over the tile, the running sums kept in `key`.
            for (int64_t m = 0; m < count; ++m) {
                double t = s.columns[0][size_t(r)] - s.columns[0][size_t(first + m)];
                key[m] = t * t;
            }
            for (size_t c = 1; c < columns; ++c) {
                const double a = s.columns[c][size_t(r)], *x = s.columns[c].data() + first;
                for (int64_t m = 0; m < count; ++m) {
                    double t = a - x[m];
                    key[m] += t * t;
                }
            }
        }
    }

    void pairs(int64_t r, int64_t j0, int64_t j1, double *key, double *d, double *g) const {
        keys(r, j0, j1, key);
        const int64_t first = r + 1 + j0, count = j1 - j0;
        const double v = s.values[size_t(r)], *w = s.values.data() + first;
        for (int64_t m = 0; m < count; ++m) {
            d[m] = std::sqrt(key[m]);
            g[m] = semivariance(v, w[m]);
        }
    }

    static double distance(double key) { return std::sqrt(key); }
    static double threshold(double edge) { return least_square_reaching(edge); }
};

// The strictly lower triangle row by row: row i holds the pairs (i, j) for j = 0 … i − 1.
struct GeographicSource {
    GeographicSamples s;
    int64_t n;

    HaversineScreen screen;
    bool screened; // passes 1 and 2 look at approximate haversine terms first

    explicit GeographicSource(GeographicSamples samples)
        : s(std::move(samples)), n(int64_t(s.values.size())), screened(screen.build(s.lon, s.lat)) {
    }

    void screen_keys(int64_t r, int64_t j0, int64_t j1, double *h) const {
        screen.terms(size_t(r), size_t(j0), size_t(j1), s.cos_lat.data(), h);
    }

    double key(int64_t r, int64_t j) const {
        const size_t i = size_t(r), k = size_t(j);
        return geodesy::distance(s.lon[i], s.lat[i], s.cos_lat[i], s.lon[k], s.lat[k], s.cos_lat[k],
                                 s.diameter);
    }

    int64_t rows() const { return n; }
    int64_t row_length(int64_t r) const { return r; }

    void keys(int64_t r, int64_t j0, int64_t j1, double *out) const {
        for (int64_t j = j0; j < j1; ++j)
            out[j - j0] = key(r, j);
    }

    void pairs(int64_t r, int64_t j0, int64_t j1, double *key, double *d, double *g) const {
        keys(r, j0, j1, key);
        const double v = s.values[size_t(r)];
        for (int64_t j = j0; j < j1; ++j) {
            d[j - j0] = key[j - j0];
            // values[None, :] - values[:, None], and x ** 2.0 is x * x in NumPy.
            g[j - j0] = semivariance(s.values[size_t(j)], v);
        }
    }

    static double distance(double key) { return key; }
    static double threshold(double edge) { return edge; }
};

struct StoredSource {
    StoredPairs p;
    static constexpr int64_t row = 4096;
    static constexpr bool screened = false;

    int64_t rows() const { return (p.count + row - 1) / row; }
    int64_t row_length(int64_t r) const { return std::min(row, p.count - r * row); }
    void keys(int64_t r, int64_t j0, int64_t j1, double *key) const {
        std::copy(p.d + r * row + j0, p.d + r * row + j1, key);
    }
    void pairs(int64_t r, int64_t j0, int64_t j1, double *key, double *d, double *g) const {
        keys(r, j0, j1, key);
        std::copy(key, key + (j1 - j0), d);
        std::copy(p.g + r * row + j0, p.g + r * row + j1, g);
    }
    static double distance(double key) { return key; }
    static double threshold(double edge) { return edge; }
};

// ---- The passes
// -----------------------------------------------------------------------------------

struct Segment {
    int64_t first_row, end_row, first_pair;
};

template <class Source> class Stream final : public PairStream {
  public:
    Stream(Source source, ThreadPolicy threads) : source_(std::move(source)), policy_(threads) {
        for (int64_t r = 0; r < source_.rows(); ++r)
            pairs_ += source_.row_length(r);
    }

    int64_t pairs() const override { return pairs_; }

    RunStatus extremes(Extremes &out, Interrupt &interrupt) override {
        auto segments = split(policy_.threads_for(pairs_));
        std::vector<KeyRange> partial(segments.size());
        RunStatus status =
            run_parallel(int(segments.size()), interrupt, [&](int w, Checkpoint &checkpoint) {
                std::vector<double> key(static_cast<size_t>(tile_size));
                KeyRange range;
                if constexpr (requires { &Source::screen_keys; }) {
                    if (source_.screened) {
                        ScreenedExtremes screened;
                        for_tiles(segments[size_t(w)], checkpoint,
                                  [&](int64_t r, int64_t j0, int64_t j1) {
                                      source_.screen_keys(r, j0, j1, key.data());
                                      screened.add(key.data(), size_t(j1 - j0), [&](size_t m) {
                                          return source_.key(r, j0 + int64_t(m));
                                      });
                                  });
                        partial[size_t(w)] = {screened.max, screened.min, false};
                        return;
                    }
                }
                for_tiles(segments[size_t(w)], checkpoint, [&](int64_t r, int64_t j0, int64_t j1) {
                    source_.keys(r, j0, j1, key.data());
                    range.add(key.data(), j1 - j0);
                });
                partial[size_t(w)] = range;
            });
        if (status != RunStatus::finished) return status;
        KeyRange all;
        for (const KeyRange &p : partial)
            all.merge(p);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        out = all.nan ? Extremes{nan, nan}
                      : Extremes{Source::distance(all.max), Source::distance(all.min)};
        return RunStatus::finished;
    }

    RunStatus class_sums(std::span<const double> edges, pairs::SummationRule rule,
                         StreamedClassSums &out, Interrupt &interrupt) override {
        std::vector<double> thresholds(edges.size());
        std::transform(edges.begin(), edges.end(), thresholds.begin(), Source::threshold);
        const Classifier classify(thresholds);
        const size_t classes = size_t(classify.classes());
        auto segments = split(policy_.threads_for(pairs_));
        const size_t parts = segments.size();

        // Pass 2: the size of each class in each segment.
        std::vector<std::vector<int64_t>> counts(parts, std::vector<int64_t>(classes, 0));
        RunStatus status = run_parallel(int(parts), interrupt, [&](int w, Checkpoint &checkpoint) {
            std::vector<double> key(static_cast<size_t>(tile_size));
            Tallies tallies(classes);
            if constexpr (requires { &Source::screen_keys; }) {
                if (source_.screened) {
                    const TermBands bands(edges, source_.s.diameter);
                    for_tiles(segments[size_t(w)], checkpoint,
                              [&](int64_t r, int64_t j0, int64_t j1) {
                                  source_.screen_keys(r, j0, j1, key.data());
                                  for (int64_t m = 0; m < j1 - j0; ++m) {
                                      int k = bands.classify(key[size_t(m)]);
                                      if (k == TermBands::undecided) [[unlikely]]
                                          k = classify(source_.key(r, j0 + m));
                                      tallies.add(m, k);
                                  }
                              });
                    tallies.total(counts[size_t(w)]);
                    return;
                }
            }
            std::vector<int> cls(static_cast<size_t>(tile_size));
            std::vector<uint32_t> buckets(static_cast<size_t>(tile_size));
            for_tiles(segments[size_t(w)], checkpoint, [&](int64_t r, int64_t j0, int64_t j1) {
                source_.keys(r, j0, j1, key.data());
                classify(key.data(), j1 - j0, cls.data(), buckets.data());
                for (int64_t m = 0; m < j1 - j0; ++m)
                    tallies.add(m, cls[size_t(m)]);
            });
            tallies.total(counts[size_t(w)]);
        });
        if (status != RunStatus::finished) return status;
        out.counts.assign(classes, 0);
        std::vector<std::vector<int64_t>> begin(parts, std::vector<int64_t>(classes, 0));
        for (size_t w = 0; w < parts; ++w)
            for (size_t k = 0; k < classes; ++k) {
                begin[w][k] = out.counts[k];
                out.counts[k] += counts[w][k];
            }

        // Pass 3: every pair into its class's tree, each segment over its own positions.
        std::vector<std::vector<pairs::ClassSegment>> sums(parts);
        std::vector<int> flags(parts, 0);
        status = run_parallel(int(parts), interrupt, [&](int w, Checkpoint &checkpoint) {
            std::vector<pairs::ClassSegment> &mine = sums[size_t(w)];
            mine.resize(classes);
            for (size_t k = 0; k < classes; ++k)
                mine[k].start(out.counts[k], rule, begin[size_t(w)][k],
                              begin[size_t(w)][k] + counts[size_t(w)][k]);
            std::vector<double> key(static_cast<size_t>(tile_size)),
                d(static_cast<size_t>(tile_size)), g(static_cast<size_t>(tile_size));
            std::vector<int> cls(static_cast<size_t>(tile_size));
            std::vector<uint32_t> buckets(static_cast<size_t>(tile_size));
            int raised = 0;
            for_tiles(segments[size_t(w)], checkpoint, [&](int64_t r, int64_t j0, int64_t j1) {
                source_.pairs(r, j0, j1, key.data(), d.data(), g.data());
                classify(key.data(), j1 - j0, cls.data(), buckets.data());
                // Only the sums count: flags raised while forming distances are not NumPy's.
                std::feclearexcept(FE_ALL_EXCEPT);
                for (int64_t m = 0; m < j1 - j0; ++m)
                    if (int k = cls[size_t(m)]; k >= 0)
                        mine[size_t(k)].push(d[size_t(m)], g[size_t(m)]);
                raised |= std::fetestexcept(reported_flags);
            });
            flags[size_t(w)] = raised;
        });
        if (status != RunStatus::finished) return status;
        // Passes 2 and 3 must have classed every pair alike; a disagreement is a fault of the
        // engine, reported rather than summed.
        out.passes_agree = true;
        for (const auto &segment : sums)
            for (const pairs::ClassSegment &part : segment)
                if (!part.complete()) {
                    out.passes_agree = false;
                    return RunStatus::finished;
                }

        // The merge and NumPy's final division by the count.
        out.d.assign(classes, 0.0);
        out.g.assign(classes, 0.0);
        int raised = 0;
        for (int f : flags)
            raised |= f;
        std::feclearexcept(FE_ALL_EXCEPT);
        std::vector<const pairs::SegmentSums *> contributions(parts);
        for (size_t k = 0; k < classes; ++k) {
            if (out.counts[k] == 0) continue;
            for (size_t w = 0; w < parts; ++w)
                contributions[w] = &sums[w][k].result();
            pairs::ClassTotals total = pairs::merge(out.counts[k], rule, contributions);
            out.d[k] = total.d / double(out.counts[k]);
            out.g[k] = total.g / double(out.counts[k]);
        }
        raised |= std::fetestexcept(reported_flags);
        std::feclearexcept(FE_ALL_EXCEPT);
        out.flags_raised = raised != 0;
        return RunStatus::finished;
    }

    RunStatus store(double *d, double *g, Interrupt &interrupt) override {
        auto segments = split(policy_.threads_for(pairs_));
        return run_parallel(int(segments.size()), interrupt, [&](int w, Checkpoint &checkpoint) {
            std::vector<double> key(static_cast<size_t>(tile_size));
            int64_t at = segments[size_t(w)].first_pair;
            for_tiles(segments[size_t(w)], checkpoint, [&](int64_t r, int64_t j0, int64_t j1) {
                source_.pairs(r, j0, j1, key.data(), d + at, g + at);
                at += j1 - j0;
            });
        });
    }

  private:
    // Contiguous runs of whole rows with about equal numbers of pairs, at most `threads` of them.
    std::vector<Segment> split(int threads) const {
        std::vector<Segment> segments;
        int64_t done = 0, row = 0;
        const int64_t rows = source_.rows();
        for (int t = 0; t < threads && row < rows; ++t) {
            int64_t goal = pairs_ * (t + 1) / threads, first = row, first_pair = done;
            while (row < rows && (done < goal || t == threads - 1))
                done += source_.row_length(row++);
            segments.push_back({first, row, first_pair});
        }
        if (segments.empty()) segments.push_back({0, rows, 0});
        return segments;
    }

    // Calls tile(r, j0, j1) over a segment's pairs; returns early when the work must stop.
    template <class Tile> void for_tiles(const Segment &s, Checkpoint &checkpoint, Tile tile) {
        for (int64_t r = s.first_row; r < s.end_row; ++r) {
            const int64_t length = source_.row_length(r);
            for (int64_t j0 = 0; j0 < length; j0 += tile_size) {
                if (checkpoint.stop_requested()) return;
                tile(r, j0, std::min(length, j0 + tile_size));
            }
        }
    }

    Source source_;
    ThreadPolicy policy_;
    int64_t pairs_ = 0;
};

} // namespace

std::unique_ptr<PairStream> projected_stream(ProjectedSamples samples, ThreadPolicy threads) {
    switch (samples.columns.size()) {
    case 1:
        return std::make_unique<Stream<ProjectedSource<1>>>(ProjectedSource<1>(std::move(samples)),
                                                            threads);
    case 2:
        return std::make_unique<Stream<ProjectedSource<2>>>(ProjectedSource<2>(std::move(samples)),
                                                            threads);
    case 3:
        return std::make_unique<Stream<ProjectedSource<3>>>(ProjectedSource<3>(std::move(samples)),
                                                            threads);
    default:
        return std::make_unique<Stream<ProjectedSource<0>>>(ProjectedSource<0>(std::move(samples)),
                                                            threads);
    }
}

std::unique_ptr<PairStream> geographic_stream(GeographicSamples samples, ThreadPolicy threads) {
    return std::make_unique<Stream<GeographicSource>>(GeographicSource(std::move(samples)),
                                                      threads);
}

std::unique_ptr<PairStream> stored_stream(StoredPairs pairs, ThreadPolicy threads) {
    return std::make_unique<Stream<StoredSource>>(StoredSource{pairs}, threads);
}

} // namespace krige::engine
