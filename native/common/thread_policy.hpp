// How many threads a pair engine runs on: the configured count, capped, for work large enough to
// gain from threads; one thread below that.
#pragma once

#include <algorithm>
#include <cstdint>

namespace krige {

// Below this many pairs one thread is as fast as several.
inline constexpr int64_t pairs_worth_a_thread = 10'000'000;
// The most threads any engine starts, whatever the setting.
inline constexpr int most_threads = 256;

// The setting as the module layer read it once for a call.
struct ThreadPolicy {
    int64_t configured = 1;                   // the configured count (at least 1)
    int64_t min_pairs = pairs_worth_a_thread; // threads from this many pairs on

    int threads_for(int64_t pairs) const {
        if (pairs < min_pairs) return 1;
        return int(std::clamp<int64_t>(configured, 1, most_threads));
    }
};

} // namespace krige
