#include "engine/pair_accumulator.hpp"

#include <algorithm>
#include <cmath>
#include <new>

namespace krige::engine {

namespace {

constexpr int64_t state_marker = 0x5653554d53524f; // tells a state from other int64 arrays
constexpr std::size_t header_length = 4;
constexpr std::size_t class_length = 2 + 2 * ExactSum::limb_count;
constexpr int flag_bits = 3;

} // namespace

std::size_t PairAccumulator::checked(std::size_t classes) {
    if (classes >= unused) throw std::bad_alloc(); // slots are 32-bit numbers
    return classes;
}

PairAccumulator::PairAccumulator(std::size_t classes, bool open_every_class)
    : slot_(checked(classes), unused) {
    if (!open_every_class) return;
    sums_.resize(classes);
    for (std::size_t k = 0; k < classes; ++k)
        slot_[k] = uint32_t(k);
    every_class_open_ = true;
}

uint32_t PairAccumulator::open(std::size_t k) {
    sums_.emplace_back();
    slot_[k] = uint32_t(sums_.size() - 1);
    return slot_[k];
}

bool PairAccumulator::merge(const PairAccumulator &other) {
    for (std::size_t k = 0; k < classes(); ++k) {
        const ExactClassSums *more_sums = other.find(k);
        if (more_sums == nullptr) continue;
        const ExactClassSums &more = *more_sums;
        ExactClassSums &sums = at(k);
        if (__builtin_add_overflow(sums.count, more.count, &sums.count)) return false;
        sums.distance.merge(more.distance);
        sums.value.merge(more.value);
    }
    return true;
}

std::size_t state_length(std::size_t classes) {
    return header_length + classes * class_length;
}

void write_state(PairAccumulator &accumulator, int64_t fingerprint, int64_t *state) {
    state[0] = state_marker;
    state[1] = int64_t(accumulator.classes());
    state[2] = ExactSum::limb_count;
    state[3] = fingerprint;
    int64_t *entry = state + header_length;
    const ExactClassSums none;
    for (std::size_t k = 0; k < accumulator.classes(); ++k) {
        ExactClassSums *found = accumulator.find(k);
        if (found != nullptr) {
            found->distance.normalise();
            found->value.normalise();
        }
        const ExactClassSums &sums = found != nullptr ? *found : none;
        entry[0] = sums.count;
        entry[1] = sums.distance.flags() | (sums.value.flags() << flag_bits);
        std::copy_n(sums.distance.limbs(), ExactSum::limb_count, entry + 2);
        std::copy_n(sums.value.limbs(), ExactSum::limb_count, entry + 2 + ExactSum::limb_count);
        entry += class_length;
    }
}

std::size_t state_classes(std::span<const int64_t> state) {
    if (state.size() < header_length + class_length || state[0] != state_marker ||
        state[2] != ExactSum::limb_count || state[1] < 1)
        return 0;
    const auto classes = uint64_t(state[1]);
    if (classes > (state.size() - header_length) / class_length ||
        state.size() != state_length(classes))
        return 0;
    return classes;
}

int64_t state_fingerprint(std::span<const int64_t> state) {
    return state[3];
}

namespace {

// A sum that pairs can make: every distance and value is at least zero, so NaN, −∞ and a
// negative finite part cannot occur.
bool possible_sum(const ExactSum &sum) {
    return (sum.flags() & (ExactSum::negative_infinity | ExactSum::not_a_number)) == 0 &&
           !sum.negative();
}

} // namespace

bool read_state(std::span<const int64_t> state, PairAccumulator &accumulator) {
    const int64_t *entry = state.data() + header_length;
    for (std::size_t k = 0; k < accumulator.classes(); ++k) {
        ExactClassSums sums;
        const int64_t flags = entry[1];
        if (entry[0] < 0 || flags < 0 || (flags >> (2 * flag_bits)) != 0) return false;
        const int64_t low_flags = flags & ((1 << flag_bits) - 1);
        if (!sums.distance.assign(entry + 2, low_flags) ||
            !sums.value.assign(entry + 2 + ExactSum::limb_count, flags >> flag_bits))
            return false;
        sums.count = entry[0];
        if (!possible_sum(sums.distance) || !possible_sum(sums.value) ||
            (sums.count == 0 && !(sums.distance.zero() && sums.value.zero())))
            return false;
        if (sums.count > 0) accumulator.at(k) = sums;
        entry += class_length;
    }
    return true;
}

ClassMeans class_means(const PairAccumulator &accumulator) {
    const std::size_t classes = accumulator.classes();
    ClassMeans means{std::vector<int64_t>(classes), std::vector<double>(classes),
                     std::vector<double>(classes)};
    for (std::size_t k = 0; k < classes; ++k) {
        static const ExactClassSums none;
        const ExactClassSums *found = accumulator.find(k);
        const ExactClassSums &sums = found != nullptr ? *found : none;
        means.counts[k] = sums.count;
        if (sums.count == 0) {
            means.distances[k] = means.values[k] = std::nan("");
        } else {
            means.distances[k] = correctly_rounded_mean(sums.distance, uint64_t(sums.count));
            means.values[k] = correctly_rounded_mean(sums.value, uint64_t(sums.count));
        }
    }
    return means;
}

} // namespace krige::engine
