#pragma once
#include <cstdint>

// n / 100 without a divide: ((n + 1) * RECIPROCAL_MULTIPLIER) >> RECIPROCAL_SHIFT,
// the multiplier being 2^38 / 100 rounded down. The increment wraps at
// n = 4294967295, the one dividend where the two quotients differ.
constexpr std::uint32_t DIVISOR = 100;
constexpr std::uint32_t RECIPROCAL_MULTIPLIER = 0xA3D70A3D;
constexpr unsigned RECIPROCAL_SHIFT = 38;
static_assert(RECIPROCAL_MULTIPLIER == (std::uint64_t{1} << RECIPROCAL_SHIFT) / DIVISOR);

// The machine code applies the shift to the high word of the 64-bit product.
constexpr unsigned RECIPROCAL_HIGH_SHIFT = RECIPROCAL_SHIFT - 32;
