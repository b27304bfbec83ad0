#pragma once
// The keys div100-bench writes into every report's context: its own, which
// no --benchmark_context (or BENCHMARK_CONTEXT) may set.
constexpr const char* CONTEXT_KEYS[] = {
    "core",       "hypervisor",     "mode",      "tsc_frequency", "core_cycles_per_tick_before",
    "core_clock", "calibration",    "samples",   "latency_step",  "control",
    "min_time",   "mul_throughput", "published", "time",          "core_cycles_per_tick_after",
    "verdict",
};
