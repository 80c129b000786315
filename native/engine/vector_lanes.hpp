// Eight doubles in one vector of the compiler's vector extension, for loops that run several
// systems or right-hand sides side by side, one per lane.
//
// The operations are element-wise and each is rounded as the scalar one (the build fuses no
// multiplication and addition), so code on them gives every lane the bits of the scalar loop on
// any instruction set. Functions that take or return such vectors are always inlined into
// target_clones functions, so no 64-byte vector crosses a call: the warning about the ABI of
// such calls does not apply, and is silenced for the files that include this one (it is given
// at the end of a file, so it cannot be silenced around the helpers alone).
#pragma once

#include <cstring>

namespace krige::engine {

using Vector8 = double __attribute__((vector_size(8 * sizeof(double))));

#pragma GCC diagnostic ignored "-Wpsabi"

[[gnu::always_inline]] inline Vector8 load8(const double *from) {
    Vector8 v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void store8(double *to, Vector8 v) {
    std::memcpy(to, &v, sizeof v);
}

} // namespace krige::engine
