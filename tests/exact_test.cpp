// div100-exact's reasoning against brute force: every dividend where that is
// quick (a range of 2^12), the first mismatch and samples over the whole
// 32-bit range elsewhere; its closed forms against the reasoning; the wide
// arithmetic under it.
#include "exact.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "answer.h"

namespace {

constexpr std::uint64_t SMALL = 4096;

// The first n below limit where the sequence is not n / d, tried one by one.
std::uint64_t brute_first_wrong(const sequence& seq, std::uint64_t begin, std::uint64_t limit) {
    for (std::uint64_t n = begin; n < limit; ++n) {
        if (value_at(seq, static_cast<std::uint32_t>(n)) != wide_of(n / seq.divisor)) return n;
    }
    return limit;
}

std::string named(const sequence& seq) {
    return "d=" + std::to_string(seq.divisor) + " " + formula(seq) + " add " +
           std::to_string(static_cast<int>(seq.add));
}

// Over the whole 32-bit range: the mismatch reasoned is one, nothing before
// it is (every n of the 2^16 before it, and samples below those), and where
// none is reasoned, samples and the largest dividends find none.
void expect_agrees_over_all_dividends(const sequence& seq) {
    const check_result reasoned = check(seq);
    const std::uint64_t first = reasoned.first.found ? reasoned.first.n : DIVIDENDS;
    EXPECT_LE(reasoned.steps, 65537u) << named(seq);
    if (reasoned.first.found) {
        EXPECT_NE(value_at(seq, reasoned.first.n), wide_of(reasoned.first.n / seq.divisor))
            << named(seq);
    }
    const std::uint64_t before = first > 65536 ? first - 65536 : 0;
    EXPECT_EQ(brute_first_wrong(seq, before, first), first) << named(seq);
    std::mt19937_64 random(seq.divisor ^ seq.multiplier);
    for (int i = 0; i < 20000 && before > 0; ++i) {
        const std::uint64_t n = random() % before;
        ASSERT_EQ(brute_first_wrong(seq, n, n + 1), n + 1) << named(seq) << " at " << n;
    }
}

}  // namespace

TEST(Wide, MultipliesShiftsAndDividesExactly) {
    const wide product = multiply(~std::uint64_t{0}, ~std::uint64_t{0});  // (2^64 - 1)^2
    EXPECT_EQ(product.high, ~std::uint64_t{0} - 1);
    EXPECT_EQ(product.low, 1u);
    wide rest;
    EXPECT_EQ(divide(product, wide_of(~std::uint64_t{0}), &rest), wide_of(~std::uint64_t{0}));
    EXPECT_EQ(rest, wide{});
    EXPECT_EQ(shift_right(power_of_two(97), 64), wide_of(std::uint64_t{1} << 33));
    EXPECT_EQ(divide_up(wide_of(7), wide_of(2)), wide_of(4));
    EXPECT_EQ(decimal(power_of_two(96)), "79228162514264337593543950336");
}

// The tool's own sequence: wrong only where n + 1 wraps, as div100 reports;
// with the increment in 64 bits, or saturating, it is exact.
TEST(Exact, TheToolsOwnSequenceFailsOnlyWhereItsIncrementWraps) {
    const check_result tool = check({100, 0xA3D70A3D, 38, increment::wrap});
    ASSERT_TRUE(tool.first.found);
    EXPECT_EQ(tool.first.n, 4294967295u);
    EXPECT_EQ(tool.first.got, wide{});
    EXPECT_EQ(tool.first.expected, 42949672u);
    EXPECT_FALSE(check({100, 0xA3D70A3D, 38, increment::wide64}).first.found);
    EXPECT_FALSE(check({100, 0xA3D70A3D, 38, increment::saturate}).first.found);
    const exact_sequences exact = exact_for(100);
    ASSERT_TRUE(exact.has_short);
    EXPECT_EQ(formula(exact.short_form), "(n * 0x51EB851F) >> 37");
    ASSERT_TRUE(exact.has_incremented);
    EXPECT_EQ(formula(exact.incremented), "((n + 1) * 0xA3D70A3D) >> 38");
    EXPECT_TRUE(exact.saturating_too);
}

// Every d from 1 to 1000 with its multipliers rounded up and down and one off
// them, at its shift and the one below, both increments; then powers of two,
// divisors near the range's end, multipliers near 2^32, 2^33 and 2^64: the
// reasoning over 2^12 dividends against every one of them.
TEST(Exact, TheReasoningAgreesWithEveryDividendOverASmallRange) {
    std::vector<sequence> sequences;
    for (std::uint32_t d = 1; d <= 1000; ++d) {
        unsigned bits = 0;
        while ((std::uint64_t{1} << bits) < d) ++bits;
        for (const unsigned s : {12 + bits, 11 + bits}) {
            const std::uint64_t down = (std::uint64_t{1} << s) / d;
            for (const std::uint64_t m : {down, down + 1, down + 2, down - 1}) {
                for (const increment add : {increment::none, increment::wide64}) {
                    sequences.push_back({d, m, s, add});
                }
            }
        }
    }
    for (const std::uint32_t d : {1u, 2u, 64u, 1024u, 4095u, 4096u, 4097u, 65536u, 4294967295u}) {
        for (const std::uint64_t m : {0xFFFFFFFFull, 0x100000000ull, 0x100000001ull, 0x1FFFFFFFFull,
                                      0x200000000ull, ~0ull, 1ull, 0ull}) {
            for (const unsigned s : {0u, 12u, 32u, 33u, 44u, 63u}) {
                sequences.push_back({d, m, s, increment::none});
                sequences.push_back({d, m, s, increment::wide64});
            }
        }
    }
    for (const sequence& seq : sequences) {
        const check_result reasoned = check(seq, SMALL);
        const std::uint64_t first = reasoned.first.found ? reasoned.first.n : SMALL;
        ASSERT_EQ(first, brute_first_wrong(seq, 0, SMALL)) << named(seq);
    }
}

// Over all 2^32 dividends: the edges of the divisors, multipliers and
// increments, each as the reasoning finds it, checked where it says.
TEST(Exact, TheReasoningAgreesOverAllDividendsAtTheEdges) {
    for (const std::uint32_t d :
         {1u, 3u, 7u, 100u, 641u, 65535u, 65536u, 65537u, 86400u, 1000000007u, 2147483647u,
          2147483648u, 2147483649u, 4294967295u}) {
        const exact_sequences exact = exact_for(d);
        std::vector<sequence> sequences;
        for (const bool present : {exact.has_short, exact.has_long}) {
            if (!present) continue;
            const sequence& seq = exact.has_short ? exact.short_form : exact.long_form;
            sequences.push_back(seq);
            sequences.push_back({d, seq.multiplier - 1, seq.shift, increment::none});
            sequences.push_back({d, seq.multiplier + 1, seq.shift, increment::none});
            sequences.push_back({d, seq.multiplier, seq.shift, increment::wrap});
        }
        if (exact.has_incremented) {
            for (const increment add : {increment::wide64, increment::wrap, increment::saturate}) {
                sequences.push_back(
                    {d, exact.incremented.multiplier, exact.incremented.shift, add});
            }
            sequences.push_back(
                {d, exact.incremented.multiplier - 1, exact.incremented.shift, increment::wide64});
        }
        for (const std::uint64_t m : {0xFFFFFFFFull, 0x100000000ull, 0x1FFFFFFFFull, ~0ull}) {
            sequences.push_back({d, m, 63, increment::none});
            sequences.push_back({d, m, 32, increment::wrap});
        }
        for (const sequence& seq : sequences) expect_agrees_over_all_dividends(seq);
    }
}

// The exact sequences found in closed form are exact by the reasoning; the
// short one is the shortest; none is left out where one exists.
TEST(Exact, TheClosedFormsAgreeWithTheReasoning) {
    std::vector<std::uint32_t> divisors;
    for (std::uint32_t d = 1; d <= 1500; ++d) divisors.push_back(d);
    std::mt19937 random(1994);
    for (int i = 0; i < 150; ++i) divisors.push_back(random() | 1);
    for (const std::uint32_t d : divisors) {
        const exact_sequences exact = exact_for(d);
        EXPECT_TRUE(exact.has_short || exact.has_long) << d;
        // One of a 32-bit multiplier rounded up or rounded down with the
        // increment always does (Robison 2005).
        EXPECT_TRUE(exact.has_short || exact.has_incremented) << d;
        if (exact.has_short) {
            EXPECT_FALSE(check(exact.short_form).first.found) << d;
            const unsigned s = exact.short_form.shift;
            if (s > 0) {
                const wide m = divide_up(power_of_two(s - 1), wide_of(d));
                EXPECT_TRUE(m == wide{} || check({d, m.low, s - 1, increment::none}).first.found)
                    << d;
            }
        } else if (d <= 300) {
            for (unsigned s = 0; s <= 63; ++s) {  // truly no 32-bit multiplier rounded up
                const wide m = divide_up(power_of_two(s), wide_of(d));
                if (m.high != 0 || m.low >= DIVIDENDS) break;
                EXPECT_TRUE(m.low == 0 || check({d, m.low, s, increment::none}).first.found) << d;
            }
        }
        if (exact.has_long) {
            EXPECT_FALSE(check(exact.long_form).first.found) << d;
        }
        if (exact.has_pre_shift) {
            EXPECT_FALSE(check(exact.pre_shifted, DIVIDENDS >> exact.pre_shift).first.found) << d;
        }
        if (!exact.has_incremented && d <= 300) {
            for (unsigned s = 0; s <= 63; ++s) {  // truly none rounded down
                const wide m = divide(power_of_two(s), wide_of(d));
                if (m.high != 0 || m.low >= DIVIDENDS) break;
                EXPECT_TRUE(m.low == 0 || check({d, m.low, s, increment::wide64}).first.found) << d;
            }
        }
        if (exact.has_incremented) {
            EXPECT_FALSE(check(exact.incremented).first.found) << d;
            sequence saturating = exact.incremented;
            saturating.add = increment::saturate;
            EXPECT_EQ(exact.saturating_too, !check(saturating).first.found) << d;
        }
    }
}
