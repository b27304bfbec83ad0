#pragma once
// Whether a multiply-by-reciprocal sequence, ((n + a) * m) >> s, computes
// n / d for every 32-bit dividend n, and where it first does not: by
// reasoning, not by trying every n.
//
// Write n = q d + r (0 <= r < d). The sequence gives q exactly when
//     q 2^s <= (q d + r + a) m < (q + 1) 2^s,
// that is, with the error e = d m - 2^s,
//     0 <= q e + (r + a) m < 2^s,
// a condition linear in q for each residue r, and in r for each quotient q.
// So the first failing q of a residue, or the first failing r of a quotient,
// comes out of one division; stepping over whichever of the d residues or
// the 2^32 / d quotients is fewer takes at most 65 536 steps. The products
// are held exactly (wide.h), multipliers up to 2^64 - 1 included.
// (Granlund and Montgomery, "Division by invariant integers using
// multiplication", 1994; Warren, "Hacker's Delight", chapter 10.)
#include <cstdint>

#include "wide.h"

constexpr std::uint64_t DIVIDENDS = std::uint64_t{1} << 32;  // every 32-bit n
constexpr std::uint64_t LARGEST_DIVISOR = DIVIDENDS - 1;
constexpr unsigned LARGEST_SHIFT = 63;

// How the dividend's increment a is taken: none (a = 0); n + 1 in 32 bits,
// wrapping to 0 at 2^32 - 1, as the tool's ADD does; in 64 bits; or
// saturating at 2^32 - 1 (ADD 1, then SBB 0).
enum class increment { none, wrap, wide64, saturate };

struct sequence {
    std::uint32_t divisor;     // d, 1 to 2^32 - 1
    std::uint64_t multiplier;  // m
    unsigned shift;            // s, 0 to 63
    increment add;
};

// ((n + a) * m) >> s, exactly, the increment taken as the sequence takes it.
wide value_at(const sequence& seq, std::uint32_t n);

struct mismatch {
    bool found = false;
    std::uint32_t n = 0;         // the first dividend where the sequence is wrong
    wide got;                    // what the sequence gives there
    std::uint32_t expected = 0;  // n / d
};

// The first n from 0 to limit - 1 (limit at most 2^32) where the sequence
// is not n / d, and the steps the reasoning took to find it (or that there
// is none).
struct check_result {
    mismatch first;
    std::uint64_t steps = 0;
};
check_result check(const sequence& seq, std::uint64_t limit = DIVIDENDS);

// The sequences exact for every n below 2^32 for a divisor, as compilers and
// the literature use them, each found by conditions in closed form (below):
// - short: the shortest multiply-and-shift whose multiplier, 2^s / d rounded
//   up, fits 32 bits, where one exists;
// - long: else the 33-bit multiplier, with its add-back, and for an even
//   divisor the pre-shift, n >> k first, then a 32-bit multiplier;
// - incremented: the multiplier 2^s / d rounded down, for n + 1 taken in 64
//   bits (what the tool's sequence is without its wrap), and whether the
//   increment saturating at 2^32 - 1 is exact too.
struct exact_sequences {
    bool has_short = false;
    sequence short_form{};
    bool has_long = false;
    sequence long_form{};
    bool has_pre_shift = false;
    unsigned pre_shift = 0;  // k, for the sequence pre_shifted over n >> k
    sequence pre_shifted{};
    bool has_incremented = false;
    sequence incremented{};
    bool saturating_too = false;
};
exact_sequences exact_for(std::uint32_t divisor);

// The conditions in closed form, for limit - 1 dividends from 0 (limit at
// most 2^32). The sequence's worst dividends are found, not searched for:
// with the multiplier rounded up (a = 0, e >= 0) the error grows with n and
// r, so the largest n of the range and the largest with r = d - 1 decide;
// rounded down with a = 1 (e < 0), the largest n with r = 0.
// The multiplier must be 2^s / d rounded up, or down for the second; where
// it is not, they say no.
bool rounded_up_is_exact(std::uint32_t divisor, std::uint64_t multiplier, unsigned shift,
                         std::uint64_t limit);
bool rounded_down_incremented_is_exact(std::uint32_t divisor, std::uint64_t multiplier,
                                       unsigned shift, std::uint64_t limit);
