#include "engine/kriging_engine.hpp"

#include "engine/kriging_neighbours.hpp"
#include "engine/kriging_system.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
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

// Drift terms 1, t_a, t_a t_b (a ≤ b) at x, with t = (x − centre) / scale.
void drift_at(const KrigingSettings &s, const double *x, int dimensions, double *out) {
    if (s.drift_degree < 0) return;
    double t[3];
    for (int a = 0; a < dimensions; ++a)
        t[a] = (x[a] - s.centre[a]) / s.scale;
    int i = 0;
    out[i++] = 1.0;
    if (s.drift_degree >= 1)
        for (int a = 0; a < dimensions; ++a)
            out[i++] = t[a];
    if (s.drift_degree >= 2)
        for (int a = 0; a < dimensions; ++a)
            for (int b = a; b < dimensions; ++b)
                out[i++] = t[a] * t[b];
}

int drift_dimensions(const KrigingSettings &s) {
    return s.drift_points != nullptr ? s.drift_dimensions : s.dimensions;
}

double distance2(const double *x, const double *y, int dimensions) {
    double sum = 0.0;
    for (int axis = 0; axis < dimensions; ++axis) {
        const double d = x[axis] - y[axis];
        sum += d * d;
    }
    return sum;
}

// Mean covariance between the discretisation points of a block, the nugget left out of the
// coincident pairs: a nugget does not survive averaging over a block.
double block_at_zero(const KrigingSettings &s) {
    if (s.point) return s.model.at_zero();
    const std::int64_t b = s.offset_count;
    double sum = 0.0;
    for (std::int64_t i = 0; i < b; ++i)
        for (std::int64_t j = 0; j < b; ++j) {
            const double h2 =
                distance2(s.offsets + i * s.dimensions, s.offsets + j * s.dimensions, s.dimensions);
            sum += h2 == 0.0 ? s.model.at_zero() - s.model.nugget * (s.model.bounded() ? 1 : 0)
                             : s.model(std::sqrt(h2));
        }
    return sum / double(b * b);
}

// What one worker keeps between targets.
struct Workspace {
    std::vector<Neighbour> found;
    std::vector<double> matrix, drift, values, rhs, scratch, point;
    KrigingSystem system;
};

class Kriger {
  public:
    Kriger(const KrigingSettings &s, const KrigingOutput &out)
        : s_(s), out_(out), p_(drift_terms(s.drift_degree, drift_dimensions(s))),
          at_zero_(block_at_zero(s)) {}

    // Right-hand side of sample `sample` and the target: the point covariance, or its mean
    // over the block's discretisation.
    double covariance_to(const double *target, std::int64_t sample, double point_distance2,
                         Workspace &w) const {
        const double *x = s_.points + sample * s_.dimensions;
        if (s_.point) return s_.model(std::sqrt(point_distance2));
        double sum = 0.0;
        for (std::int64_t o = 0; o < s_.offset_count; ++o) {
            for (int a = 0; a < s_.dimensions; ++a)
                w.point[std::size_t(a)] = target[a] + s_.offsets[o * s_.dimensions + a];
            sum += s_.model(std::sqrt(distance2(x, w.point.data(), s_.dimensions)));
        }
        return sum / double(s_.offset_count);
    }

    void target_drift(std::int64_t t, double *f, Workspace &w) const {
        if (p_ == 0) return;
        const double *target = s_.targets + t * s_.dimensions;
        if (s_.drift_targets != nullptr) {
            drift_at(s_, s_.drift_targets + t * s_.drift_dimensions, s_.drift_dimensions, f);
            return;
        }
        if (s_.point) {
            drift_at(s_, target, s_.dimensions, f);
            return;
        }
        double terms[16];
        for (int i = 0; i < p_; ++i)
            f[i] = 0.0;
        for (std::int64_t o = 0; o < s_.offset_count; ++o) {
            for (int a = 0; a < s_.dimensions; ++a)
                w.point[std::size_t(a)] = target[a] + s_.offsets[o * s_.dimensions + a];
            drift_at(s_, w.point.data(), s_.dimensions, terms);
            for (int i = 0; i < p_; ++i)
                f[i] += terms[i];
        }
        for (int i = 0; i < p_; ++i)
            f[i] /= double(s_.offset_count);
    }

    // The system of the samples `chosen` (n of them).
    bool factorise(const std::int64_t *chosen, int n, Workspace &w, KrigingSystem &system,
                   const std::function<bool()> &stop = {}) const {
        w.matrix.resize(std::size_t(n) * n);
        w.drift.resize(std::size_t(n) * p_);
        w.values.resize(std::size_t(n));
        for (int i = 0; i < n; ++i) {
            const double *xi = s_.points + chosen[i] * s_.dimensions;
            w.matrix[std::size_t(i) * n + i] = s_.model.at_zero();
            for (int j = 0; j < i; ++j) {
                const double *xj = s_.points + chosen[j] * s_.dimensions;
                const double c = s_.model(std::sqrt(distance2(xi, xj, s_.dimensions)));
                w.matrix[std::size_t(i) * n + j] = c;
                w.matrix[std::size_t(j) * n + i] = c;
            }
            if (s_.drift_points != nullptr)
                drift_at(s_, s_.drift_points + chosen[i] * s_.drift_dimensions, s_.drift_dimensions,
                         w.drift.data() + std::size_t(i) * p_);
            else
                drift_at(s_, xi, s_.dimensions, w.drift.data() + std::size_t(i) * p_);
            const double z = s_.values[chosen[i]];
            w.values[std::size_t(i)] = s_.drift_degree < 0 ? z - s_.mean : z;
        }
        return system.factorise(n, p_, w.matrix, w.drift, w.values.data(), s_.model.bounded(),
                                stop);
    }

    // Writes target t from a factorised system; false when the result is not finite.
    bool finish(std::int64_t t, const KrigingSystem &system, Workspace &w) const {
        double estimate, variance;
        system.solve(w.rhs.data(), at_zero_, estimate, variance, w.scratch);
        return store(t, estimate, variance);
    }

    bool store(std::int64_t t, double estimate, double variance) const {
        if (s_.drift_degree < 0) estimate += s_.mean;
        if (!std::isfinite(estimate) || !std::isfinite(variance)) {
            out_.estimate[t] = nan;
            out_.variance[t] = nan;
            return false;
        }
        out_.estimate[t] = estimate;
        out_.variance[t] = variance;
        return true;
    }

    void missing(std::int64_t t) const {
        out_.estimate[t] = nan;
        out_.variance[t] = nan;
    }

    // Local kriging of one target; false when its system failed.
    bool local(std::int64_t t, const NeighbourIndex &index, Workspace &w) const {
        const double *target = s_.targets + t * s_.dimensions;
        const std::int64_t exclude =
            s_.target_labels.empty() ? -1 : s_.target_labels[std::size_t(t)];
        index.nearest(target, s_.neighbours, s_.max_distance2, s_.labels, exclude, w.found);
        const auto n = std::int64_t(w.found.size());
        out_.neighbours[t] = n;
        if (n < s_.min_neighbours || n == 0) {
            missing(t);
            return true;
        }
        if (s_.point && w.found[0].distance2 == 0.0) {
            // At a sample: its value, with variance 0 (γ(0) = 0), exactly.
            out_.estimate[t] = s_.values[w.found[0].index];
            out_.variance[t] = 0.0;
            return true;
        }
        std::vector<std::int64_t> &chosen = chosen_scratch(w, n);
        for (std::int64_t i = 0; i < n; ++i)
            chosen[std::size_t(i)] = w.found[std::size_t(i)].index;
        if (!factorise(chosen.data(), int(n), w, w.system)) {
            missing(t);
            return false;
        }
        w.rhs.resize(std::size_t(n + p_));
        for (std::int64_t i = 0; i < n; ++i)
            w.rhs[std::size_t(i)] =
                covariance_to(target, chosen[std::size_t(i)], w.found[std::size_t(i)].distance2, w);
        target_drift(t, w.rhs.data() + n, w);
        return finish(t, w.system, w);
    }

    // Global kriging of one target from the one factorised system.
    bool global(std::int64_t t, const KrigingSystem &system, Workspace &w) const {
        const double *target = s_.targets + t * s_.dimensions;
        const std::int64_t n = s_.count;
        out_.neighbours[t] = n;
        if (n < s_.min_neighbours) {
            missing(t);
            return true;
        }
        w.rhs.resize(std::size_t(n + p_));
        for (std::int64_t i = 0; i < n; ++i) {
            const double h2 = distance2(target, s_.points + i * s_.dimensions, s_.dimensions);
            if (s_.point && h2 == 0.0) {
                out_.estimate[t] = s_.values[i];
                out_.variance[t] = 0.0;
                return true;
            }
            w.rhs[std::size_t(i)] = covariance_to(target, i, h2, w);
        }
        target_drift(t, w.rhs.data() + n, w);
        return finish(t, system, w);
    }

    // Global kriging of targets [begin, end) in batches of `lanes`, their triangular solves run
    // lane-wise (the same bits as global() target by target); returns the failures.
    std::int64_t global_batch(std::int64_t begin, std::int64_t end, const KrigingSystem &system,
                              Workspace &w) const {
        constexpr int lanes = 16;
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
                if (n < s_.min_neighbours) {
                    missing(t);
                    continue;
                }
                const double *target = s_.targets + t * s_.dimensions;
                bool at_sample = false;
                for (std::int64_t i = 0; i < n; ++i) {
                    const double h2 =
                        distance2(target, s_.points + i * s_.dimensions, s_.dimensions);
                    if (s_.point && h2 == 0.0) {
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

  private:
    static std::vector<std::int64_t> &chosen_scratch(Workspace &w, std::int64_t n) {
        thread_local std::vector<std::int64_t> chosen;
        (void)w;
        chosen.resize(std::size_t(n));
        return chosen;
    }

    const KrigingSettings &s_;
    const KrigingOutput &out_;
    int p_;
    double at_zero_;
};

} // namespace

KrigingResult krige_targets(const KrigingSettings &s, const KrigingOutput &out, int threads,
                            Interrupt &interrupt) {
    KrigingResult result;
    const Kriger kriger(s, out);
    const bool global = s.neighbours == 0;
    std::optional<NeighbourIndex> index;
    KrigingSystem shared;
    bool shared_ok = true;
    if (global) {
        if (s.count >= s.min_neighbours && s.count > 0) {
            std::vector<std::int64_t> all(std::size_t(s.count));
            for (std::int64_t i = 0; i < s.count; ++i)
                all[std::size_t(i)] = i;
            // The one factorisation runs on the calling thread, stoppable.
            result.status = run_parallel(1, interrupt, [&](int, Checkpoint &checkpoint) {
                Workspace w;
                w.point.resize(3);
                shared_ok = kriger.factorise(all.data(), int(s.count), w, shared,
                                             [&] { return checkpoint.stop_requested(); });
            });
            if (result.status != RunStatus::finished) return result;
            if (shared.stopped()) {
                result.status = RunStatus::interrupted;
                return result;
            }
        }
    } else {
        index.emplace(s.points, s.count, s.dimensions);
    }

    const std::int64_t chunk = s.chunk > 0 ? s.chunk : 256;
    const std::int64_t chunks = (s.target_count + chunk - 1) / chunk;
    std::atomic<std::int64_t> next{0}, failed{0};
    result.status = run_parallel(threads, interrupt, [&](int, Checkpoint &checkpoint) {
        Workspace w;
        w.point.resize(3);
        std::int64_t my_failed = 0;
        for (;;) {
            const std::int64_t c = next.fetch_add(1, std::memory_order_relaxed);
            if (c >= chunks) break;
            const std::int64_t end = std::min(s.target_count, (c + 1) * chunk);
            if (global && shared_ok && shared.batched()) {
                // A batch of 16 targets of a system with N samples takes about N² / 8 ns:
                // the checkpoint is asked before each batch.
                for (std::int64_t first = c * chunk; first < end; first += 16) {
                    if (checkpoint.stop_requested()) {
                        failed.fetch_add(my_failed);
                        return;
                    }
                    my_failed += kriger.global_batch(first, std::min(end, first + 16), shared, w);
                }
                continue;
            }
            for (std::int64_t t = c * chunk; t < end; ++t) {
                if (checkpoint.stop_requested()) {
                    failed.fetch_add(my_failed);
                    return;
                }
                bool ok;
                if (global) {
                    if (!shared_ok) {
                        kriger.missing(t);
                        out.neighbours[t] = s.count;
                        ok = false;
                    } else {
                        ok = kriger.global(t, shared, w);
                    }
                } else {
                    ok = kriger.local(t, *index, w);
                }
                if (!ok) ++my_failed;
            }
        }
        failed.fetch_add(my_failed);
    });
    result.failed = failed.load();
    return result;
}

} // namespace krige::engine
