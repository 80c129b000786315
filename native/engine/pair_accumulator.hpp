// Per-class pair counts and exact sums, and their exchange as flat integer states.
//
// A PairAccumulator holds, for each distance class, the number of pairs and the exact sums of
// their distances and of their per-pair values. Accumulators of disjoint sets of pairs merge
// exactly, in any order; the class means are rounded once, at the end. The same content travels
// between processes as a flat int64 state (write_state / read_state).
#pragma once

#include "engine/exact_sum.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace krige::engine {

struct ExactClassSums {
    int64_t count = 0;
    ExactSum distance;
    ExactSum value;
};

// The sums of each class live apart from the class table and only once a class receives a pair,
// so that many classes cost a few bytes each, not the kilobyte of two exact sums.
class PairAccumulator {
  public:
    // May throw std::bad_alloc. With `open_every_class`, the sums of every class exist from the
    // start, those of class k at every_class()[k], for kernels that reach most of a few classes
    // and need not look their slots up.
    explicit PairAccumulator(std::size_t classes, bool open_every_class = false);

    void add(std::size_t k, double distance, double value) {
        uint32_t slot = slot_[k];
        if (slot == unused) [[unlikely]]
            slot = open(k);
        ExactClassSums &sums = sums_[slot];
        sums.distance.add_without_carries(distance);
        sums.value.add_without_carries(value);
        // Every merge normalises, so a class count that reaches a multiple of the limit has
        // had at most that many additions since.
        if ((++sums.count & (ExactSum::pending_limit - 1)) == 0) [[unlikely]] {
            sums.distance.normalise();
            sums.value.normalise();
        }
    }

    // The same without a distance, for classes whose mean distance is not asked for.
    void add_value(std::size_t k, double value) {
        uint32_t slot = slot_[k];
        if (slot == unused) [[unlikely]]
            slot = open(k);
        add_value_to(sums_[slot], value);
    }
    static void add_value_to(ExactClassSums &sums, double value) {
        sums.value.add_without_carries(value);
        if ((++sums.count & (ExactSum::pending_limit - 1)) == 0) [[unlikely]]
            sums.value.normalise();
    }
    // The sums of every class, by class, when they were all opened at construction; else null.
    ExactClassSums *every_class() { return every_class_open_ ? sums_.data() : nullptr; }

    // Adds another accumulator's classes (same class count); false when a count would overflow.
    bool merge(const PairAccumulator &other);

    std::size_t classes() const { return slot_.size(); }
    // The sums of class k, or null when no pair reached it.
    const ExactClassSums *find(std::size_t k) const {
        return slot_[k] == unused ? nullptr : &sums_[slot_[k]];
    }
    ExactClassSums *find(std::size_t k) { return slot_[k] == unused ? nullptr : &sums_[slot_[k]]; }
    // The sums of class k, made empty when it had none. May throw std::bad_alloc.
    ExactClassSums &at(std::size_t k) { return sums_[slot_[k] == unused ? open(k) : slot_[k]]; }

  private:
    static constexpr uint32_t unused = UINT32_MAX;
    static std::size_t checked(std::size_t classes);
    uint32_t open(std::size_t k);

    std::vector<uint32_t> slot_;       // per class: its entry in sums_, or unused
    std::vector<ExactClassSums> sums_; // of the classes that received pairs
    bool every_class_open_ = false;    // then slot_[k] == k, and no class is opened later
};

// The flat state: a header (marker, class count, limb count, the fingerprint of the settings the
// pairs were selected and valued with), then per class its count, the flags of its two sums
// (distance flags | value flags << 3) and their normalised limbs.
std::size_t state_length(std::size_t classes);
void write_state(PairAccumulator &accumulator, int64_t fingerprint, int64_t *state);

// The class count a state claims, or 0 when its header or length is not that of a state.
std::size_t state_classes(std::span<const int64_t> state);
// The fingerprint of a state whose header state_classes accepted.
int64_t state_fingerprint(std::span<const int64_t> state);
// Loads a state of `accumulator.classes()` classes; false when any entry is out of range or
// holds sums that no pairs could make: sums without pairs, or sums below zero, NaN or −∞ (every
// pair's distance and value is at least zero).
bool read_state(std::span<const int64_t> state, PairAccumulator &accumulator);

// Counts and correctly rounded means (NaN for empty classes) of every class.
struct ClassMeans {
    std::vector<int64_t> counts;
    std::vector<double> distances;
    std::vector<double> values;
};
ClassMeans class_means(const PairAccumulator &accumulator);

} // namespace krige::engine
