#pragma once
// Whether the tool's CPUID-framed counts can be read as the kernels' cost on
// this machine, and the lines that say so where they cannot.
#include <cstdint>

// Why the counts cannot be read as the kernels' cost, as bits; COUNTS_HOLD
// where they can. CPUID traps where a hypervisor is present or an empty
// sample, two CPUIDs and a counter read, never took less than
// TRAPPED_CPUID_TICKS; a counter that advances in steps above FINEST_STEP
// ticks (or not at all) cannot resolve kernels of a few cycles.
enum count_doubt_bits : unsigned { COUNTS_HOLD = 0, CPUID_TRAPS = 1, COARSE_COUNTER = 2 };
constexpr std::uint64_t TRAPPED_CPUID_TICKS = 1000;
constexpr std::uint64_t FINEST_STEP = 2;
unsigned count_doubt(bool hypervisor, std::uint64_t least_empty, std::uint64_t counter_step);

// After the two count lines, given a timing run's least empty sample: where
// x86 code is emulated (Windows on Arm) one line saying so; elsewhere, where
// count_doubt finds the counts unresolved, a line saying why and one giving
// both kernels' latency in core cycles (latency.h). Nothing where they hold.
void report_count_doubt(std::uint64_t least_empty);

// True where this x86 code runs emulated: on another machine, as the host
// says (native_machine), or by QEMU's translator (under qemu-user or a
// virtual machine without acceleration). No count or figure then measures an
// x86 core.
bool x86_emulated();

// The line saying why, for doubt (not COUNTS_HOLD) and the counter's step.
void print_count_doubt(unsigned doubt, std::uint64_t step);
