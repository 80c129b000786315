#include "engine/kriging_engine.hpp"

#include "engine/kriging_lanes.hpp"

#include <algorithm>
#include <bit>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <vector>

namespace krige::engine {

int drift_terms(int degree, int dimensions) {
    if (degree < 0) return 0;
    int terms = 1;
    if (degree >= 1) terms += dimensions;
    if (degree >= 2) terms += dimensions * (dimensions + 1) / 2;
    return terms;
}

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

int drift_dimensions(const SampleSettings &s) {
    return s.drift_points != nullptr ? s.drift_dimensions : s.dimensions;
}

// Drift terms 1, t_a, t_a t_b (a ≤ b) at x, with t = (x − centre) / scale.
void drift_at(const SampleSettings &s, const double *x, int dimensions, double *out) {
    if (s.drift_degree < 0) return;
    out[0] = 1.0;
    if (s.drift_degree == 0) return;
    double t[3];
    for (int a = 0; a < dimensions; ++a)
        t[a] = (x[a] - s.centre[a]) / s.scale;
    int i = 1;
    if (s.drift_degree >= 1)
        for (int a = 0; a < dimensions; ++a)
            out[i++] = t[a];
    if (s.drift_degree >= 2)
        for (int a = 0; a < dimensions; ++a)
            for (int b = a; b < dimensions; ++b)
                out[i++] = t[a] * t[b];
}

// The drift terms of sample i.
void sample_drift(const SampleSettings &s, std::int64_t i, double *out) {
    if (s.drift_points != nullptr)
        drift_at(s, s.drift_points + i * s.drift_dimensions, s.drift_dimensions, out);
    else
        drift_at(s, s.points + i * s.dimensions, s.dimensions, out);
}

double distance2(const double *x, const double *y, int dimensions) {
    double sum = 0.0;
    for (int axis = 0; axis < dimensions; ++axis) {
        const double d = x[axis] - y[axis];
        sum += d * d;
    }
    return sum;
}

// The samples of the last system a worker factorised by Cholesky, whose strict upper triangle
// still holds the covariances as built. A covariance depends only on its two samples (and
// distance2 is symmetric to the bit), so the next system of neighbours, which mostly overlap,
// copies the entries of pairs it shares instead of computing them: the same bits either way.
class LastSystem {
  public:
    bool empty() const { return size_ == 0; }
    void forget() { size_ = 0; }
    // `upper`: the system's n × n matrix, row-major, whose strict upper triangle holds the
    // covariances as built until the next system is built. May throw std::bad_alloc.
    void remember(const std::int64_t *samples, int n, const double *upper) {
        upper_ = upper;
        std::size_t slots = 16;
        while (slots < 4 * std::size_t(n))
            slots *= 2;
        slot_sample_.assign(slots, -1);
        slot_row_.resize(slots);
        shift_ = 64 - std::countr_zero(slots);
        for (int row = 0; row < n; ++row) {
            std::size_t slot = first_slot(samples[row]);
            while (slot_sample_[slot] >= 0)
                slot = (slot + 1) & (slots - 1);
            slot_sample_[slot] = samples[row];
            slot_row_[slot] = row;
        }
        size_ = n;
    }
    const double *upper() const { return upper_; }
    // The same matrix, moved to another buffer.
    void moved_to(const double *upper) { upper_ = upper; }
    std::size_t size() const { return std::size_t(size_); }
    // The row of `sample` in the last system, or −1.
    std::int32_t row_of(std::int64_t sample) const {
        const std::size_t mask = slot_sample_.size() - 1;
        for (std::size_t slot = first_slot(sample);; slot = (slot + 1) & mask) {
            if (slot_sample_[slot] == sample) return slot_row_[slot];
            if (slot_sample_[slot] < 0) return -1;
        }
    }
    std::vector<std::int32_t> last_row; // per row of the next system: its row in the last, or −1

  private:
    // Open addressing, at most a quarter full: a look-up takes a probe or two.
    std::size_t first_slot(std::int64_t sample) const {
        return std::size_t((std::uint64_t(sample) * 0x9e3779b97f4a7c15u) >> shift_);
    }
    std::vector<std::int64_t> slot_sample_; // −1: free
    std::vector<std::int32_t> slot_row_;
    int shift_ = 64;
    int size_ = 0;
    const double *upper_ = nullptr;
};

// The bordered system of the samples `chosen` (n of them): the symmetric matrix of their
// covariances, their drift terms and values. With `last`, entries shared with the last system
// are copied from it.
void build_system(const SampleSettings &s, int p, const std::int64_t *chosen, int n,
                  std::vector<double> &matrix, std::vector<double> &drift,
                  std::vector<double> &values, LastSystem *last) {
    matrix.resize(std::size_t(n) * n);
    drift.resize(std::size_t(n) * p);
    values.resize(std::size_t(n));
    const double *last_upper = last != nullptr && !last->empty() ? last->upper() : nullptr;
    const std::size_t last_n = last_upper != nullptr ? last->size() : 0;
    if (last_upper != nullptr) {
        last->last_row.resize(std::size_t(n));
        for (int i = 0; i < n; ++i)
            last->last_row[std::size_t(i)] = last->row_of(chosen[i]);
    }
    for (int i = 0; i < n; ++i) {
        const double *xi = s.points + chosen[i] * s.dimensions;
        matrix[std::size_t(i) * n + i] = s.model.at_zero();
        const std::int32_t last_i = last_upper != nullptr ? last->last_row[std::size_t(i)] : -1;
        for (int j = 0; j < i; ++j) {
            const std::int32_t last_j = last_i >= 0 ? last->last_row[std::size_t(j)] : -1;
            double c;
            if (last_j >= 0) {
                const auto [low, high] = std::minmax(last_i, last_j);
                c = last_upper[std::size_t(low) * last_n + std::size_t(high)];
            } else {
                const double *xj = s.points + chosen[j] * s.dimensions;
                c = s.model(std::sqrt(distance2(xi, xj, s.dimensions)));
            }
            matrix[std::size_t(i) * n + j] = c;
            matrix[std::size_t(j) * n + i] = c;
        }
        sample_drift(s, chosen[i], drift.data() + std::size_t(i) * p);
        const double z = s.values[chosen[i]];
        values[std::size_t(i)] = s.drift_degree < 0 ? z - s.mean : z;
    }
}

// The same, factorised; with `last`, which then describes this system.
bool factorise_samples(const SampleSettings &s, int p, const std::int64_t *chosen, int n,
                       std::vector<double> &matrix, std::vector<double> &drift,
                       std::vector<double> &values, KrigingSystem &system,
                       const std::function<bool()> &stop = {}, LastSystem *last = nullptr) {
    build_system(s, p, chosen, n, matrix, drift, values, last);
    const bool factorised =
        system.factorise(n, p, matrix, drift, values.data(), s.model.bounded(), stop);
    if (last != nullptr) {
        if (factorised && system.given_upper() != nullptr)
            last->remember(chosen, n, system.given_upper());
        else
            last->forget();
    }
    return factorised;
}

// What one worker keeps between targets.
struct Workspace {
    std::vector<Neighbour> found;
    std::vector<std::int64_t> chosen;
    std::vector<double> matrix, drift, values, rhs, scratch;
    double point[3] = {0, 0, 0};
    KrigingSystem system;
    LastSystem last;
    // Targets waiting for a factorisation in lanes, their systems as built.
    struct LaneSlot {
        std::int64_t target = 0;
        std::vector<std::int64_t> chosen;
        std::vector<double> matrix, drift, values, rhs;
    };
    LaneSlot slots[system_lanes];
    std::vector<double> last_built; // the matrix of the last slot built, after its group
    LaneSystems lanes;
    KrigingSystem alone; // a lane's system when the lanes cannot take it
    // The last target searched without left-out samples, when it found k neighbours: its
    // coordinates and the squared distance of its k-th.
    bool last_target_full = false;
    double last_target[3] = {0, 0, 0};
    double last_kth2 = 0.0;
};

class Kriger {
  public:
    Kriger(const KrigingSamples &samples, const TargetSettings &t, const KrigingOutput &out)
        : samples_(samples), s_(samples.settings()), t_(t), out_(out), p_(samples.drift_terms()),
          at_zero_(block_at_zero()) {}

    // Local kriging of targets [first, last), at most system_lanes: those with the full number of
    // neighbours under a bounded model are factorised together, lane by lane (the same bits as
    // alone); returns the failures.
    std::int64_t local_group(std::int64_t first, std::int64_t last, Workspace &w) const {
        std::int64_t failures = 0;
        int used = 0;
        for (std::int64_t t = first; t < last; ++t) {
            if (!search(t, w)) continue;
            const auto n = std::int64_t(w.chosen.size());
            if (!s_.model.bounded() || n != t_.neighbours || n > most_lane_samples) {
                if (!local_alone(t, w)) ++failures;
                continue;
            }
            Workspace::LaneSlot &slot = w.slots[used++];
            slot.target = t;
            slot.chosen.assign(w.chosen.begin(), w.chosen.end());
            build_system(s_, p_, slot.chosen.data(), int(n), slot.matrix, slot.drift, slot.values,
                         &w.last);
            // The slot keeps its matrix as built until it takes a later target, and the next
            // target builds into another slot.
            w.last.remember(slot.chosen.data(), int(n), slot.matrix.data());
            right_hand_side(t, slot.chosen, w, slot.rhs);
        }
        failures += solve_slots(used, w);
        // The next group builds into the slots from the first: the last system's matrix moves
        // out of them.
        for (int lane = 0; lane < used; ++lane)
            if (w.last.upper() == w.slots[lane].matrix.data()) {
                std::swap(w.slots[lane].matrix, w.last_built);
                w.last.moved_to(w.last_built.data());
            }
        return failures;
    }

  private:
    // The neighbours of target t into w.found and w.chosen; false when the target is settled
    // without a system (too few neighbours: missing; at a sample: its value).
    bool search(std::int64_t t, Workspace &w) const {
        const double *target = t_.targets + t * s_.dimensions;
        const std::int64_t exclude =
            t_.target_labels.empty() ? -1 : t_.target_labels[std::size_t(t)];
        samples_.index()->nearest(target, t_.neighbours, search_limit(target, w), t_.labels,
                                  exclude, w.found);
        const auto n = std::int64_t(w.found.size());
        w.last_target_full = t_.target_labels.empty() && n == t_.neighbours;
        if (w.last_target_full) {
            std::copy_n(target, s_.dimensions, w.last_target);
            w.last_kth2 = w.found.back().distance2;
        }
        out_.neighbours[t] = n;
        if (n < t_.min_neighbours || n == 0) {
            missing(t);
            return false;
        }
        if (t_.point && w.found[0].distance2 == 0.0) {
            // At a sample: its value, with variance 0 (γ(0) = 0), exactly.
            out_.estimate[t] = s_.values[w.found[0].index];
            out_.variance[t] = 0.0;
            return false;
        }
        w.chosen.resize(std::size_t(n));
        for (std::int64_t i = 0; i < n; ++i)
            w.chosen[std::size_t(i)] = w.found[std::size_t(i)].index;
        return true;
    }

    // c (the covariances to the target of the samples w.found lists) and f of target t.
    void right_hand_side(std::int64_t t, const std::vector<std::int64_t> &chosen, Workspace &w,
                         std::vector<double> &rhs) const {
        const double *target = t_.targets + t * s_.dimensions;
        const std::size_t n = chosen.size();
        rhs.resize(n + std::size_t(p_));
        for (std::size_t i = 0; i < n; ++i)
            rhs[i] = covariance_to(target, chosen[i], w.found[i].distance2, w);
        target_drift(t, rhs.data() + n, w);
    }

    // Target t of w.chosen factorised and solved alone; false when its system failed.
    bool local_alone(std::int64_t t, Workspace &w) const {
        const auto n = int(w.chosen.size());
        if (!factorise_samples(s_, p_, w.chosen.data(), n, w.matrix, w.drift, w.values, w.system,
                               {}, &w.last)) {
            missing(t);
            return false;
        }
        right_hand_side(t, w.chosen, w, w.rhs);
        double estimate, variance;
        w.system.solve(w.rhs.data(), at_zero_, estimate, variance, w.scratch);
        return store(t, estimate, variance);
    }

    // The first `used` slots' systems: in lanes when there are enough of them to fill half the
    // lanes, a lane whose Cholesky path fails, and every slot otherwise, alone (with the LU
    // fall-back); returns the failures.
    std::int64_t solve_slots(int used, Workspace &w) const {
        std::int64_t failures = 0;
        unsigned in_lanes = 0;
        double estimate[system_lanes], variance[system_lanes];
        if (used >= system_lanes / 2) {
            const double *matrix[system_lanes], *drift[system_lanes], *values[system_lanes],
                *rhs[system_lanes];
            for (int lane = 0; lane < used; ++lane) {
                matrix[lane] = w.slots[lane].matrix.data();
                drift[lane] = w.slots[lane].drift.data();
                values[lane] = w.slots[lane].values.data();
                rhs[lane] = w.slots[lane].rhs.data();
            }
            in_lanes = w.lanes.factorise(int(t_.neighbours), p_, matrix, drift, values, used);
            if (in_lanes != 0) w.lanes.solve(rhs, at_zero_, estimate, variance);
        }
        for (int lane = 0; lane < used; ++lane) {
            Workspace::LaneSlot &slot = w.slots[lane];
            if ((in_lanes >> lane & 1u) == 0) {
                // The factorisation consumes its matrix; the slot's stays as built.
                w.matrix.assign(slot.matrix.begin(), slot.matrix.end());
                if (!w.alone.factorise(int(slot.chosen.size()), p_, w.matrix, slot.drift,
                                       slot.values.data(), s_.model.bounded())) {
                    missing(slot.target);
                    ++failures;
                    continue;
                }
                w.alone.solve(slot.rhs.data(), at_zero_, estimate[lane], variance[lane], w.scratch);
            }
            if (!store(slot.target, estimate[lane], variance[lane])) ++failures;
        }
        return failures;
    }

  public:
    // Global kriging of one target from the samples' system (LU systems).
    bool global(std::int64_t t, Workspace &w) const {
        const double *target = t_.targets + t * s_.dimensions;
        const std::int64_t n = s_.count;
        out_.neighbours[t] = n;
        if (n < t_.min_neighbours) {
            missing(t);
            return true;
        }
        if (!samples_.factorised()) {
            missing(t);
            return false;
        }
        w.rhs.resize(std::size_t(n + p_));
        for (std::int64_t i = 0; i < n; ++i) {
            const double h2 = distance2(target, s_.points + i * s_.dimensions, s_.dimensions);
            if (t_.point && h2 == 0.0) {
                out_.estimate[t] = s_.values[i];
                out_.variance[t] = 0.0;
                return true;
            }
            w.rhs[std::size_t(i)] = covariance_to(target, i, h2, w);
        }
        target_drift(t, w.rhs.data() + n, w);
        double estimate, variance;
        samples_.system().solve(w.rhs.data(), at_zero_, estimate, variance, w.scratch);
        return store(t, estimate, variance);
    }

    // Global kriging of targets [begin, end) in batches of `lanes`, their triangular solves run
    // lane-wise (the same bits as global() target by target); returns the failures.
    std::int64_t global_batch(std::int64_t begin, std::int64_t end, Workspace &w) const {
        constexpr int lanes = 16;
        const KrigingSystem &system = samples_.system();
        const std::int64_t n = s_.count;
        std::int64_t failures = 0;
        w.matrix.resize(std::size_t(n) * lanes);
        w.drift.resize(std::size_t(p_) * lanes);
        w.values.resize(std::size_t(n));
        for (std::int64_t first = begin; first < end; first += lanes) {
            std::int64_t batch[lanes];
            int used = 0;
            for (std::int64_t t = first; t < std::min(end, first + lanes); ++t) {
                out_.neighbours[t] = n;
                if (n < t_.min_neighbours) {
                    missing(t);
                    continue;
                }
                const double *target = t_.targets + t * s_.dimensions;
                bool at_sample = false;
                for (std::int64_t i = 0; i < n; ++i) {
                    const double h2 =
                        distance2(target, s_.points + i * s_.dimensions, s_.dimensions);
                    if (t_.point && h2 == 0.0) {
                        out_.estimate[t] = s_.values[i];
                        out_.variance[t] = 0.0;
                        at_sample = true;
                        break;
                    }
                    w.matrix[std::size_t(i) * lanes + used] = covariance_to(target, i, h2, w);
                }
                if (at_sample) continue;
                target_drift(t, w.drift.data() + std::size_t(used) * p_, w);
                batch[used++] = t;
            }
            if (used == 0) continue;
            for (int lane = used; lane < lanes; ++lane) // idle lanes solve a zero column
                for (std::int64_t i = 0; i < n; ++i)
                    w.matrix[std::size_t(i) * lanes + lane] = 0.0;
            system.forward_lanes(w.matrix.data(), lanes);
            for (int lane = 0; lane < used; ++lane) {
                for (std::int64_t i = 0; i < n; ++i)
                    w.values[std::size_t(i)] = w.matrix[std::size_t(i) * lanes + lane];
                double estimate, variance;
                system.finish(w.values.data(), w.drift.data() + std::size_t(lane) * p_, at_zero_,
                              estimate, variance);
                if (!store(batch[lane], estimate, variance)) ++failures;
            }
        }
        return failures;
    }

    void missing(std::int64_t t) const {
        out_.estimate[t] = nan;
        out_.variance[t] = nan;
    }

  private:
    // A squared distance within which the k nearest samples of `target` lie: the k-th of the
    // last target plus the step between them (the last target's k neighbours are that close),
    // widened for rounding, or the caller's limit when that is smaller or there is no last
    // target. A tighter limit from the start prunes more of the tree and keeps out candidates
    // that would only be displaced; it changes nothing found.
    double search_limit(const double *target, const Workspace &w) const {
        if (!w.last_target_full) return t_.max_distance2;
        constexpr double widen = 1.0 + 0x1p-40;
        const double step = std::sqrt(distance2(target, w.last_target, s_.dimensions));
        const double reach = (std::sqrt(w.last_kth2) + step) * widen;
        // The absolute term covers squares that round into the subnormals.
        return std::min(t_.max_distance2, reach * reach * widen + 0x1p-1000);
    }

    // Mean covariance between the discretisation points of a block, the nugget left out of
    // the coincident pairs: a nugget does not survive averaging over a block.
    double block_at_zero() const {
        if (t_.point) return s_.model.at_zero();
        const std::int64_t b = t_.offset_count;
        double sum = 0.0;
        for (std::int64_t i = 0; i < b; ++i)
            for (std::int64_t j = 0; j < b; ++j) {
                const double h2 = distance2(t_.offsets + i * s_.dimensions,
                                            t_.offsets + j * s_.dimensions, s_.dimensions);
                sum += h2 == 0.0
                           ? s_.model.at_zero() - s_.model.nugget * (s_.model.bounded() ? 1 : 0)
                           : s_.model(std::sqrt(h2));
            }
        return sum / double(b * b);
    }

    // Right-hand side of sample `sample` and the target: the point covariance, or its mean
    // over the block's discretisation.
    double covariance_to(const double *target, std::int64_t sample, double point_distance2,
                         Workspace &w) const {
        if (t_.point) return s_.model(std::sqrt(point_distance2));
        const double *x = s_.points + sample * s_.dimensions;
        double sum = 0.0;
        for (std::int64_t o = 0; o < t_.offset_count; ++o) {
            for (int a = 0; a < s_.dimensions; ++a)
                w.point[a] = target[a] + t_.offsets[o * s_.dimensions + a];
            sum += s_.model(std::sqrt(distance2(x, w.point, s_.dimensions)));
        }
        return sum / double(t_.offset_count);
    }

    void target_drift(std::int64_t t, double *f, Workspace &w) const {
        if (p_ == 0) return;
        const double *target = t_.targets + t * s_.dimensions;
        if (s_.drift_points != nullptr) {
            drift_at(s_, t_.drift_targets + t * s_.drift_dimensions, s_.drift_dimensions, f);
            return;
        }
        if (t_.point) {
            drift_at(s_, target, s_.dimensions, f);
            return;
        }
        double terms[16];
        for (int i = 0; i < p_; ++i)
            f[i] = 0.0;
        for (std::int64_t o = 0; o < t_.offset_count; ++o) {
            for (int a = 0; a < s_.dimensions; ++a)
                w.point[a] = target[a] + t_.offsets[o * s_.dimensions + a];
            drift_at(s_, w.point, s_.dimensions, terms);
            for (int i = 0; i < p_; ++i)
                f[i] += terms[i];
        }
        for (int i = 0; i < p_; ++i)
            f[i] /= double(t_.offset_count);
    }

    bool store(std::int64_t t, double estimate, double variance) const {
        if (s_.drift_degree < 0) estimate += s_.mean;
        if (!std::isfinite(estimate) || !std::isfinite(variance)) {
            missing(t);
            return false;
        }
        out_.estimate[t] = estimate;
        out_.variance[t] = variance;
        return true;
    }

    const KrigingSamples &samples_;
    const SampleSettings &s_;
    const TargetSettings &t_;
    const KrigingOutput &out_;
    int p_;
    double at_zero_;
};

} // namespace

KrigingSamples::KrigingSamples(const SampleSettings &settings)
    : settings_(settings),
      drift_terms_(engine::drift_terms(settings.drift_degree, drift_dimensions(settings))) {}

RunStatus KrigingSamples::build_index(Interrupt &interrupt) {
    const RunStatus status = run_parallel(1, interrupt, [&](int, Checkpoint &checkpoint) {
        index_.emplace(settings_.points, settings_.count, settings_.dimensions,
                       [&] { return checkpoint.stop_requested(); });
    });
    if (status == RunStatus::finished && index_ && !index_->stopped()) return status;
    index_.reset();
    return status == RunStatus::finished ? RunStatus::interrupted : status;
}

RunStatus KrigingSamples::factorise(Interrupt &interrupt) {
    factorised_ = false;
    if (settings_.count == 0) return RunStatus::finished;
    bool stopped = false;
    const RunStatus status = run_parallel(1, interrupt, [&](int, Checkpoint &checkpoint) {
        std::vector<std::int64_t> all(std::size_t(settings_.count));
        for (std::int64_t i = 0; i < settings_.count; ++i)
            all[std::size_t(i)] = i;
        std::vector<double> matrix, drift, values;
        factorised_ =
            factorise_samples(settings_, drift_terms_, all.data(), int(settings_.count), matrix,
                              drift, values, system_, [&] { return checkpoint.stop_requested(); });
        stopped = system_.stopped();
    });
    if (status != RunStatus::finished) return status;
    return stopped ? RunStatus::interrupted : status;
}

KrigingResult krige_targets(const KrigingSamples &samples, const TargetSettings &t,
                            const KrigingOutput &out, int threads, Interrupt &interrupt) {
    KrigingResult result;
    const Kriger kriger(samples, t, out);
    const bool global = t.neighbours == 0;
    if (!global && samples.index() == nullptr) {
        result.status = RunStatus::failed;
        return result;
    }
    const bool batched = global && samples.factorised() && samples.system().batched();
    const std::int64_t chunk = t.chunk > 0 ? t.chunk : 256;
    const std::int64_t chunks = (t.target_count + chunk - 1) / chunk;
    std::atomic<std::int64_t> next{0}, failed{0};
    result.status = run_parallel(threads, interrupt, [&](int, Checkpoint &checkpoint) {
        Workspace w;
        std::int64_t my_failed = 0;
        for (;;) {
            const std::int64_t c = next.fetch_add(1, std::memory_order_relaxed);
            if (c >= chunks) break;
            const std::int64_t begin = c * chunk, end = std::min(t.target_count, begin + chunk);
            if (batched) {
                // A batch of 16 targets of a system with N samples takes about N² / 8 ns:
                // the checkpoint is asked before each batch.
                for (std::int64_t first = begin; first < end; first += 16) {
                    if (checkpoint.stop_requested()) break;
                    const std::int64_t last = std::min(end, first + 16);
                    my_failed += kriger.global_batch(first, last, w);
                    count_progress(t.progress, last - first);
                }
            } else if (!global) {
                for (std::int64_t first = begin; first < end; first += system_lanes) {
                    if (checkpoint.stop_requested()) break;
                    my_failed += kriger.local_group(first, std::min(end, first + system_lanes), w);
                }
                count_progress(t.progress, end - begin);
            } else {
                for (std::int64_t target = begin; target < end; ++target) {
                    if (checkpoint.stop_requested()) break;
                    if (!kriger.global(target, w)) ++my_failed;
                }
                count_progress(t.progress, end - begin);
            }
            if (checkpoint.stop_requested()) break;
        }
        failed.fetch_add(my_failed);
    });
    result.failed = failed.load();
    return result;
}

KrigingResult leave_one_out(const KrigingSamples &samples, std::int64_t min_neighbours,
                            const KrigingOutput &out, int threads, Interrupt &interrupt,
                            ProgressCounter *progress) {
    KrigingResult result;
    const SampleSettings &s = samples.settings();
    const std::int64_t n = s.count;
    const int p = samples.drift_terms();
    for (std::int64_t i = 0; i < n; ++i) {
        out.neighbours[i] = n - 1;
        out.estimate[i] = nan;
        out.variance[i] = nan;
    }
    if (n - 1 < min_neighbours || n == 1) return result;
    if (!samples.factorised() || n - 1 < p) {
        result.failed = n;
        return result;
    }
    const KrigingSystem &system = samples.system();
    std::vector<double> dual;
    system.dual_values(dual);
    // A sample whose removal leaves the drift without full rank (the one sample off a line
    // under a linear drift) has no leave-one-out system: its leverage in the drift is 1.
    std::vector<double> leverage(std::size_t(n), 0.0);
    if (p > 0) {
        std::vector<double> terms(std::size_t(n) * p);
        for (std::int64_t i = 0; i < n; ++i)
            sample_drift(s, i, terms.data() + std::size_t(i) * p);
        drift_leverages(terms.data(), n, p, leverage.data());
    }
    constexpr int lanes = 16;
    const std::int64_t batches = (n + lanes - 1) / lanes;
    std::atomic<std::int64_t> next{0}, failed{0};
    result.status = run_parallel(threads, interrupt, [&](int, Checkpoint &checkpoint) {
        std::vector<double> scratch;
        double diagonal[lanes];
        std::int64_t my_failed = 0;
        for (;;) {
            const std::int64_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b >= batches || checkpoint.stop_requested()) break;
            const std::int64_t first = b * lanes;
            const int count = int(std::min<std::int64_t>(lanes, n - first));
            system.inverse_diagonal(int(first), count, diagonal, scratch);
            for (int lane = 0; lane < count; ++lane) {
                const std::int64_t i = first + lane;
                const double variance = 1.0 / diagonal[lane];
                const double estimate = s.values[i] - dual[std::size_t(i)] * variance;
                if (!(diagonal[lane] > 0.0) || !std::isfinite(variance) ||
                    !std::isfinite(estimate) || leverage[std::size_t(i)] > 1.0 - 1e-9) {
                    ++my_failed;
                    continue;
                }
                out.estimate[i] = estimate;
                out.variance[i] = variance;
            }
            count_progress(progress, count);
        }
        failed.fetch_add(my_failed);
    });
    result.failed = failed.load();
    return result;
}

} // namespace krige::engine
