#pragma once
#include <cstdint>

#include "console.h"

// The two sequences the tool times; each is compiled into its own copy of the
// timing harness, never chosen at run time.
enum kernel { div_kernel, reciprocal_kernel };

constexpr std::uint32_t SAMPLE_COUNT = 1000;

// The harness's state, reset at the start of every timing run and left as the
// run ends it: the least kernel sample, the least empty sample, and the
// samples still to take in the current sampling loop.
extern std::uint64_t best_cycles;
extern std::uint64_t overhead_cycles;
extern std::uint32_t sample_counter;

inline constexpr fixed_text DIV_LABEL{" cycles, div\r\n"};
inline constexpr fixed_text RECIPROCAL_LABEL{" cycles, magic number\r\n"};
inline char div_cycles_buffer[NUMBER_BUFFER_SIZE];
inline char reciprocal_cycles_buffer[NUMBER_BUFFER_SIZE];

// Times kernel K: the least of SAMPLE_COUNT framed samples around it, less the
// least of SAMPLE_COUNT framed samples around nothing, at high priority. Prints
// the count's low 32 bits from buffer, then label.
template <kernel K>
void time_kernel(char* buffer, const char* label);

// The kernel's own cost: best less overhead, or 0 where the kernel's least
// sample came out below the empty one's (as it can where serialising costs
// vary, in a virtual machine for one).
std::uint64_t kernel_cycles(std::uint64_t best, std::uint64_t overhead);
