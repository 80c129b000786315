// Work completed so far, counted by the engines' workers and read by whoever reports it.
//
// Workers add what they finish (pairs, targets) in pieces of at least a few thousand steps, so
// the shared counter costs nothing measurable; a null counter means nobody is watching.
#pragma once

#include <atomic>
#include <cstdint>

namespace krige {

class ProgressCounter {
  public:
    void add(std::int64_t steps) noexcept { done_.fetch_add(steps, std::memory_order_relaxed); }
    std::int64_t done() const noexcept { return done_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::int64_t> done_{0};
};

// Adds to a counter that may be null.
inline void count_progress(ProgressCounter *counter, std::int64_t steps) noexcept {
    if (counter != nullptr) counter->add(steps);
}

} // namespace krige
