// The exact sum of any number of doubles, and its mean rounded once.
//
// ExactSum holds Σ x as an integer multiple of 2^-1074 (the spacing of the subnormals, so every
// finite double is one), in 68 limbs of 32-bit digits kept in 64-bit integers: limb i weighs
// 2^(32 i − 1074). A double is added as at most three digit updates, with no carry; the spare
// 32 bits of each limb absorb the carries of 2^30 additions before the limbs are normalised
// again. Two sums merge by limb-wise addition, so a total never depends on the order in which
// values or partial sums arrive. Infinities and NaN are recorded as flags beside the finite part.
//
// correctly_rounded_mean divides the exact sum by the count (long division of the digits) and
// rounds the quotient once, to nearest with ties to even.
#pragma once

#include <algorithm>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace krige::engine {

class ExactSum {
  public:
    // 2098 bits span the finite doubles; 63 more hold the carries of up to 2^63 additions.
    static constexpr int limb_count = 68;
    static constexpr int64_t digit_base = int64_t(1) << 32;
    // The top limb is signed and, normalised, far below this for any real sum; a stored state
    // beyond it is refused rather than risking overflow in a merge.
    static constexpr int64_t top_limb_bound = int64_t(1) << 40;

    enum Flag : int64_t { positive_infinity = 1, negative_infinity = 2, not_a_number = 4 };

    void add(double x) {
        add_without_carries(x);
        if (++pending_ == pending_limit) [[unlikely]]
            normalise();
    }

    // add() for callers that count the additions themselves and call normalise() at least once
    // every `pending_limit` additions.
    void add_without_carries(double x) {
        const uint64_t bits = std::bit_cast<uint64_t>(x);
        int exponent = int((bits >> 52) & 0x7ff);
        uint64_t mantissa = bits & ((uint64_t(1) << 52) - 1);
        const bool negative = (bits >> 63) != 0;
        if (exponent == 0x7ff) [[unlikely]] {
            flags_ |= mantissa != 0 ? not_a_number
                      : negative    ? negative_infinity
                                    : positive_infinity;
            return;
        }
        if (exponent != 0) [[likely]] {
            mantissa |= uint64_t(1) << 52;
        } else {
            exponent = 1; // subnormals share the exponent of the smallest normals
        }
        // x = mantissa · 2^(exponent − 1075) = mantissa · 2^position · 2^-1074: the 53-bit
        // mantissa shifted by 0 … 31 bits spans three 32-bit digits from limb position / 32.
        const int position = exponent - 1;
        const int shift = position & 31;
        int64_t *limb = limbs_ + (position >> 5);
        const uint64_t below = mantissa << shift;
        const auto low = int64_t(below & 0xffffffffu);
        const auto middle = int64_t(below >> 32);
        const auto high = int64_t((mantissa >> 1) >> (63 - shift));
        if (negative) [[unlikely]] {
            limb[0] -= low;
            limb[1] -= middle;
            limb[2] -= high;
        } else {
            limb[0] += low;
            limb[1] += middle;
            limb[2] += high;
        }
    }

    // Adds another sum; both may hold pending carries.
    void merge(const ExactSum &other) {
        normalise();
        for (int i = 0; i < limb_count; ++i)
            limbs_[i] += other.limbs_[i];
        flags_ |= other.flags_;
        normalise();
    }

    // Carries every limb's excess into the next, leaving digits in [0, 2^32) below the top limb.
    void normalise() {
        int64_t carry = 0;
        for (int i = 0; i + 1 < limb_count; ++i) {
            const int64_t limb = limbs_[i] + carry;
            carry = limb >> 32; // arithmetic shift: floor division, also for negative limbs
            limbs_[i] = limb & (digit_base - 1);
        }
        limbs_[limb_count - 1] += carry;
        pending_ = 0;
    }

    int64_t flags() const { return flags_; }
    const int64_t *limbs() const { return limbs_; }

    // Rebuilds a sum from normalised limbs and flags; false when they are not such limbs.
    bool assign(const int64_t *limbs, int64_t flags) {
        if ((flags & ~int64_t(positive_infinity | negative_infinity | not_a_number)) != 0)
            return false;
        for (int i = 0; i + 1 < limb_count; ++i)
            if (limbs[i] < 0 || limbs[i] >= digit_base) return false;
        const int64_t top = limbs[limb_count - 1];
        if (top <= -top_limb_bound || top >= top_limb_bound) return false;
        for (int i = 0; i < limb_count; ++i)
            limbs_[i] = limbs[i];
        flags_ = flags;
        pending_ = 0;
        return true;
    }

    // Of a normalised sum: whether its finite part is below zero (the lower digits are never
    // negative, so the top limb has the sign), and whether it is exactly zero with no flag.
    bool negative() const { return limbs_[limb_count - 1] < 0; }
    bool zero() const {
        return flags_ == 0 &&
               std::all_of(limbs_, limbs_ + limb_count, [](int64_t l) { return l == 0; });
    }

    // Whether the normalised top limb is still within the bound that stored states must keep.
    bool within_bounds() const {
        const int64_t top = limbs_[limb_count - 1];
        return top > -top_limb_bound && top < top_limb_bound;
    }

    // Additions that the spare bits of the limbs absorb between two normalisations.
    static constexpr int pending_limit = 1 << 30;

  private:
    int64_t limbs_[limb_count] = {};
    int64_t flags_ = 0;
    int pending_ = 0;
};

namespace detail {

// Rounds q · 2^-1074 + (remainder / divisor) · 2^-1074 to the nearest double, ties to even;
// q holds `count` 32-bit digits, most significant last.
inline double round_quotient(const uint32_t *q, int count, uint64_t remainder, uint64_t divisor) {
    int top = count - 1;
    while (top >= 0 && q[top] == 0)
        --top;
    if (top < 0) { // quotient below one unit: 0, or the smallest subnormal
        const unsigned __int128 twice = (unsigned __int128)remainder * 2;
        return twice > divisor ? std::ldexp(1.0, -1074) : 0.0;
    }
    const int top_bit = top * 32 + (31 - std::countl_zero(q[top])); // position of the leading 1
    auto bit = [&](int position) { return (q[position >> 5] >> (position & 31)) & 1u; };
    uint64_t mantissa = 0;
    int shift = 0; // the kept bits are q >> shift
    bool round_up = false;
    if (top_bit < 53) {
        for (int position = top_bit; position >= 0; --position)
            mantissa = (mantissa << 1) | bit(position);
        const unsigned __int128 twice = (unsigned __int128)remainder * 2;
        round_up = twice > divisor || (twice == divisor && (mantissa & 1) != 0);
    } else {
        shift = top_bit - 52;
        for (int position = top_bit; position >= shift; --position)
            mantissa = (mantissa << 1) | bit(position);
        const bool half = bit(shift - 1) != 0;
        bool sticky = remainder != 0;
        for (int position = shift - 2; position >= 0 && !sticky; --position)
            sticky = bit(position) != 0;
        round_up = half && (sticky || (mantissa & 1) != 0);
    }
    if (round_up) ++mantissa; // 2^53 is still exact below
    return std::ldexp(double(mantissa), shift - 1074);
}

} // namespace detail

// The mean of `count` (> 0) values whose exact sum is `sum`, rounded once to nearest even. A
// recorded NaN, or infinities of both signs, give NaN; an infinity of one sign gives that one.
inline double correctly_rounded_mean(const ExactSum &sum, uint64_t count) {
    const int64_t flags = sum.flags();
    if ((flags & ExactSum::not_a_number) != 0 ||
        (flags & ExactSum::positive_infinity && flags & ExactSum::negative_infinity))
        return std::numeric_limits<double>::quiet_NaN();
    if (flags & ExactSum::positive_infinity) return std::numeric_limits<double>::infinity();
    if (flags & ExactSum::negative_infinity) return -std::numeric_limits<double>::infinity();

    ExactSum normal = sum;
    normal.normalise();
    // Digits of the magnitude, least significant first; the top limb may hold more than 32 bits
    // or a sign, so it is split into two digits of the two's complement magnitude.
    constexpr int digit_count = ExactSum::limb_count + 1;
    uint32_t digits[digit_count];
    const int64_t *limbs = normal.limbs();
    for (int i = 0; i + 1 < ExactSum::limb_count; ++i)
        digits[i] = uint32_t(limbs[i]);
    const int64_t top = limbs[ExactSum::limb_count - 1];
    digits[digit_count - 2] = uint32_t(uint64_t(top));
    digits[digit_count - 1] = uint32_t(uint64_t(top) >> 32);
    const bool negative = top < 0;
    if (negative) { // two's complement negation of the whole number
        uint64_t carry = 1;
        for (uint32_t &digit : digits) {
            const uint64_t flipped = uint64_t(~digit) + carry;
            digit = uint32_t(flipped);
            carry = flipped >> 32;
        }
    }
    uint32_t quotient[digit_count];
    uint64_t remainder = 0;
    for (int i = digit_count - 1; i >= 0; --i) {
        const unsigned __int128 dividend = ((unsigned __int128)remainder << 32) | digits[i];
        quotient[i] = uint32_t(dividend / count);
        remainder = uint64_t(dividend % count);
    }
    const double mean = detail::round_quotient(quotient, digit_count, remainder, count);
    return negative ? -mean : mean;
}

} // namespace krige::engine
