#pragma once
// div100-bench's rows: the 32-bit DIV, the tool's reciprocal sequence and
// whatever g++ emits for n / 100u, each for latency (a dependency chain) and
// throughput (independent dividends), and two controls: a chain of 32-bit
// IMULs, whose latency the core's table gives, and independent 32-bit MULs,
// the reciprocal's own multiply, no row holding one of which can go faster.
// Each row is measured as src/chains.h measures: the least of many short
// samples, converted with calibration samples taken among its own.
#include <cstdint>
#include <string>

// The error a row whose results were not its sequence's carries.
constexpr const char* WRONG_RESULT = "wrong result";

// The rows' names, as reports give them.
constexpr const char* CONTROL_ROW = "control/imul/latency";
constexpr const char* MUL_ROW = "control/mul/throughput";
constexpr const char* RECIPROCAL_THROUGHPUT_ROW = "reciprocal/throughput";
constexpr const char* COMPILER_THROUGHPUT_ROW = "compiler/throughput";

// What every row's measurement shares: the least empty sample, and in the
// tests' build (bench_faults, whose rows.cpp is built with
// DIV100_BENCH_FAULTS), a calibration stood in for.
struct measuring {
    std::uint64_t empty_ticks = 0;
    // With fault_scale_ticks, every calibration sample reads that many times
    // its ticks (after the rows only, with only_after_rows).
    std::uint64_t fault_scale_ticks = 1;
    bool only_after_rows = false;
    bool rows_done = false;
    std::string label_divide;    // beside the divide rows: DIV r32 as published
    std::string label_multiply;  // beside the rows that hold a MUL r32
};

// The least of a row's samples per operation: core cycles, and ticks.
struct row_figure {
    double cycles;
    double ticks;
};

// Registers every row with the library.
void register_rows(const measuring& how);

// A calibration: core cycles per tick from the least of many ADD-chain
// samples.
double calibrate(const measuring& how);

// The bench's own measurements of the controls, taken on every run whatever
// the filter and the reporting flags.
double control_latency(const measuring& how);
double mul_throughput(const measuring& how);

// A floor on the samples of any row: --benchmark_min_time=1e-9 asks the
// library for a single iteration, and the least of one sample is no figure.
// A smaller minimum time is raised to ROW_MIN_SECONDS, which on a core of
// 1 GHz or more takes more than ROW_SAMPLES_AT_LEAST samples of the slowest
// row (16 384 DIVs); a row reported with fewer carries an error of its own.
constexpr int ROW_SAMPLES_AT_LEAST = 200;
constexpr double ROW_MIN_SECONDS = 0.05;
