#include "exact.h"

#include <algorithm>

namespace {

// A signed error, e = d m - 2^s: its sign and its size.
struct signed_wide {
    bool negative;
    wide size;
};

signed_wide error_of(const sequence& seq) {
    const wide product = multiply(seq.divisor, seq.multiplier);
    const wide power = power_of_two(seq.shift);
    return power <= product ? signed_wide{false, product - power}
                            : signed_wide{true, power - product};
}

// The first n below limit where floor((n + a) m / 2^s) is not n / d, n + a
// taken in full (a is 0 or 1).
check_result first_wrong(const sequence& seq, std::uint64_t a, std::uint64_t limit) {
    check_result result;
    if (limit == 0) return result;
    const std::uint64_t d = seq.divisor;
    const std::uint64_t m = seq.multiplier;
    const wide power = power_of_two(seq.shift);
    const signed_wide e = error_of(seq);
    std::uint64_t best = limit;  // the first failing n found so far; limit for none
    if (d * d <= limit) {
        // By residue: f(q) = q e + (r + a) m, from f(0) = (r + a) m >= 0.
        for (std::uint64_t r = 0; r < d && r < limit && r < best; ++r) {
            ++result.steps;
            const std::uint64_t largest_q = (limit - 1 - r) / d;
            const wide start = multiply(r + a, m);
            std::uint64_t first_q = 0;
            if (!(start < power)) {
                first_q = 0;  // already 2^s or more
            } else if (e.size == wide{}) {
                continue;  // f is the same for every q, and holds
            } else if (!e.negative) {
                // f(q) >= 2^s from q = ceil((2^s - f(0)) / e) on.
                const wide q = divide_up(power - start, e.size);
                if (q.high != 0 || q.low > largest_q) continue;
                first_q = q.low;
            } else {
                // f(q) < 0 from q = floor(f(0) / |e|) + 1 on.
                const wide q = divide(start, e.size) + wide_of(1);
                if (q.high != 0 || q.low > largest_q) continue;
                first_q = q.low;
            }
            const std::uint64_t n = first_q * d + r;
            if (n < best) best = n;
        }
    } else {
        // By quotient: g(r) = q e + (r + a) m grows with r; the first q
        // with a failing r holds the first failing n.
        const std::uint64_t largest_q = (limit - 1) / d;
        for (std::uint64_t q = 0; q <= largest_q; ++q) {
            ++result.steps;
            const std::uint64_t largest_r = std::min(d - 1, limit - 1 - q * d);
            const wide added = multiply(a, m);
            // base = q e + a m, negative, at or above 2^s, or between.
            bool below_zero = false;
            bool too_high = false;
            wide base;
            if (!e.negative) {
                if (q != 0 && power <= e.size) {
                    too_high = true;
                } else {
                    base = multiply(e.size, q) + added;
                    too_high = power <= base;
                }
            } else {
                const wide taken = multiply(e.size, q);
                below_zero = added < taken;
                if (!below_zero) {
                    base = added - taken;
                    too_high = power <= base;
                }
            }
            std::uint64_t first_r = 0;
            if (!below_zero && !too_high) {
                if (m == 0) continue;
                const wide r = divide_up(power - base, wide_of(m));
                if (r.high != 0 || r.low > largest_r) continue;
                first_r = r.low;
            }
            best = q * d + first_r;
            break;
        }
    }
    if (best < limit) {
        result.first.found = true;
        result.first.n = static_cast<std::uint32_t>(best);
    }
    return result;
}

}  // namespace

wide value_at(const sequence& seq, std::uint32_t n) {
    std::uint64_t dividend = n;
    if (seq.add == increment::wrap) dividend = static_cast<std::uint32_t>(n + 1);
    if (seq.add == increment::wide64) dividend = std::uint64_t{n} + 1;
    if (seq.add == increment::saturate) dividend = n == LARGEST_DIVISOR ? n : std::uint64_t{n} + 1;
    return shift_right(multiply(dividend, seq.multiplier), seq.shift);
}

check_result check(const sequence& seq, std::uint64_t limit) {
    const std::uint64_t a = seq.add == increment::none ? 0 : 1;
    // Where the increment does not take n + 1 in full, its last dividend is
    // the one apart: reasoned over the rest, tried alone.
    const bool last_apart =
        (seq.add == increment::wrap || seq.add == increment::saturate) && limit == DIVIDENDS;
    check_result result = first_wrong(seq, a, last_apart ? limit - 1 : limit);
    if (!result.first.found && last_apart) {
        const auto n = static_cast<std::uint32_t>(LARGEST_DIVISOR);
        if (value_at(seq, n) != wide_of(n / seq.divisor)) {
            result.first.found = true;
            result.first.n = n;
        }
        ++result.steps;
    }
    if (result.first.found) {
        result.first.got = value_at(seq, result.first.n);
        result.first.expected = result.first.n / seq.divisor;
    }
    return result;
}

bool rounded_up_is_exact(std::uint32_t divisor, std::uint64_t multiplier, unsigned shift,
                         std::uint64_t limit) {
    const wide power = power_of_two(shift);
    const wide product = multiply(divisor, multiplier);
    if (product < power) return false;  // rounded down: not this form
    const wide e = product - power;
    if (!(e < wide_of(divisor))) return false;    // not 2^s / d rounded up
    const wide bound = multiply(power, divisor);  // d 2^s: below 2^96
    const std::uint64_t last = limit - 1;
    const std::uint64_t last_residue = last % divisor;
    // r 2^s + n e < d 2^s, at the largest n, and the largest with r = d - 1.
    const auto holds = [&](std::uint64_t n) {
        const std::uint64_t r = n % divisor;
        return multiply(power, r) + multiply(e, n) < bound;
    };
    if (!holds(last)) return false;
    return last_residue == divisor - 1 || last == last_residue || holds(last - last_residue - 1);
}

bool rounded_down_incremented_is_exact(std::uint32_t divisor, std::uint64_t multiplier,
                                       unsigned shift, std::uint64_t limit) {
    const wide power = power_of_two(shift);
    const wide product = multiply(divisor, multiplier);
    if (power < product || product == power) return false;  // rounded up, or exact: not this form
    const wide e = power - product;
    if (!(e < wide_of(divisor))) return false;  // not 2^s / d rounded down
    // (r + 1) 2^s >= (n + 1) e for every n = q d + r: the least margin is at
    // r = 0 with the largest such n (another r, its n at most r above that
    // one, adds r 2^s and takes away at most r e, with e < 2^s).
    const std::uint64_t n = (limit - 1) / divisor * divisor;
    return !(power < multiply(e, n + 1));
}

exact_sequences exact_for(std::uint32_t divisor) {
    exact_sequences found;
    // The shortest 32-bit multiplier rounded up: the multiplier grows with
    // the shift, so the first shift whose multiplier is 2^32 or more ends
    // the search.
    for (unsigned s = 0; s <= LARGEST_SHIFT && !found.has_short; ++s) {
        const wide m = divide_up(power_of_two(s), wide_of(divisor));
        if (m.high != 0 || m.low >= DIVIDENDS) break;
        if (m.low != 0 && rounded_up_is_exact(divisor, m.low, s, DIVIDENDS)) {
            found.has_short = true;
            found.short_form = {divisor, m.low, s, increment::none};
        }
    }
    if (!found.has_short) {
        // The 33-bit multiplier: s = 32 + ceil(log2 d).
        unsigned bits = 0;
        while ((std::uint64_t{1} << bits) < divisor) ++bits;
        const unsigned s = 32 + bits;
        const wide m = divide_up(power_of_two(s), wide_of(divisor));
        if (m.high == 0 && rounded_up_is_exact(divisor, m.low, s, DIVIDENDS)) {
            found.has_long = true;
            found.long_form = {divisor, m.low, s, increment::none};
        }
        // The pre-shift: an even divisor's twos taken off the dividend first.
        unsigned k = 0;
        while (((divisor >> k) & 1) == 0) ++k;
        const std::uint32_t odd = divisor >> k;
        for (unsigned s2 = 0; k != 0 && s2 <= LARGEST_SHIFT && !found.has_pre_shift; ++s2) {
            const wide m2 = divide_up(power_of_two(s2), wide_of(odd));
            if (m2.high != 0 || m2.low >= DIVIDENDS) break;
            if (m2.low != 0 && rounded_up_is_exact(odd, m2.low, s2, DIVIDENDS >> k)) {
                found.has_pre_shift = true;
                found.pre_shift = k;
                found.pre_shifted = {odd, m2.low, s2, increment::none};
            }
        }
    }
    // The multiplier rounded down, with n + 1 in 64 bits.
    for (unsigned s = 0; s <= LARGEST_SHIFT && !found.has_incremented; ++s) {
        const wide m = divide(power_of_two(s), wide_of(divisor));
        if (m.high != 0 || m.low >= DIVIDENDS) break;
        if (m.low != 0 && rounded_down_incremented_is_exact(divisor, m.low, s, DIVIDENDS)) {
            found.has_incremented = true;
            found.incremented = {divisor, m.low, s, increment::wide64};
            const sequence saturating = {divisor, m.low, s, increment::saturate};
            found.saturating_too =
                value_at(saturating, static_cast<std::uint32_t>(LARGEST_DIVISOR)) ==
                wide_of(static_cast<std::uint32_t>(LARGEST_DIVISOR) / divisor);
        }
    }
    return found;
}
