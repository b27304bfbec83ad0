#pragma once
#include <cstdint>

#include "console.h"
#include "reciprocal.h"

constexpr std::uint32_t BLOCK_SIZE = 1000;

inline constexpr fixed_text MISMATCH_TEXT{"mismatch at "};
inline char progress_buffer[NUMBER_BUFFER_SIZE];
inline char mismatch_buffer[NUMBER_BUFFER_SIZE];

// Checks the reciprocal quotient against DIV from RANGE_START upward, a
// progress line after each completed block, and returns the first dividend
// where they differ. Nothing is printed for the block that holds it.
std::uint32_t verify_range();

// BLOCK_SIZE inline checks of first, first + 1, ... (modulo 2^32). Returns the
// first dividend not shown to agree: the failing one, or first + BLOCK_SIZE
// when all agree.
std::uint32_t check_block(std::uint32_t first);

// "mismatch at ", the decimal n and a line break.
void report_mismatch(std::uint32_t n);
