#pragma once
#include <cstdint>

#include "console.h"
#include "cycle_chains.h"

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

// Why the counts cannot be read as the kernels' cost on this machine, as
// bits; COUNTS_HOLD where they can. CPUID traps where a hypervisor is
// present or an empty sample, two CPUIDs and a counter read, never took less
// than TRAPPED_CPUID_TICKS; a counter that advances in steps above
// FINEST_STEP ticks (or not at all) cannot resolve kernels of a few cycles.
enum count_doubt_bits : unsigned { COUNTS_HOLD = 0, CPUID_TRAPS = 1, COARSE_COUNTER = 2 };
constexpr std::uint64_t TRAPPED_CPUID_TICKS = 1000;
constexpr std::uint64_t FINEST_STEP = 2;
unsigned count_doubt(bool hypervisor, std::uint64_t least_empty, std::uint64_t counter_step);

// After the two count lines: where count_doubt finds them unresolved, a line
// saying why and one giving both kernels' latency in core cycles, measured as
// dependent chains with no CPUID in the timed region, at high priority.
void report_count_doubt();

// True where this x86 code runs emulated on another machine (Windows on Arm),
// as IsWow64Process2 says where Windows has it (10 1709 on): no count or
// figure then measures an x86 core, and report_count_doubt says so instead.
bool x86_emulated();

// Its parts. The line saying why, for doubt (not COUNTS_HOLD) and the
// counter's step.
void print_count_doubt(unsigned doubt, std::uint64_t step);

// Each kernel's latency in core cycles from dividend 123, as dependent
// chains, at high priority and then normal again; negative where the
// calibration says nothing. Needs LFENCE (lfence_available).
struct chain_latencies {
    double div;
    double reciprocal;
};
chain_latencies measure_chain_latencies();

// The latency line, where both figures are from 0 to below 100 000 cycles.
void print_chain_latencies(const chain_latencies& figures);

// cycles rounded to one decimal, as digits, a point and a digit, into buffer.
void render_tenths(double cycles, char* buffer);
