#pragma once
// What the published instruction tables say of a core, for div100-bench:
// the latency its control, a chain of 32-bit IMULs, should read there;
// whether the ADD calibration can hold there at all; and the figures to show
// beside the rows. One entry per core, in cores.cpp, every figure with its
// source.
#include "cpu.h"

struct core_entry {
    const char* vendor;  // as CPUID leaf 0 gives it
    unsigned family;
    unsigned first_model;  // the models of the family this entry covers
    unsigned last_model;
    const char* name;
    double imul_latency;    // IMUL r32, r32: what the control should read
    bool add_is_one_cycle;  // a dependent 32-bit ADD takes one core cycle
    const char* divide;     // DIV r32 as published; nullptr where no table is at hand
    const char* multiply;   // MUL r32 as published; nullptr likewise
    const char* source;     // of divide and multiply
};

// The control's latency: IMUL r32, r32 as Agner Fog's instruction tables
// give it for each core.
constexpr const char* CONTROL_SOURCE = "Agner Fog's instruction tables";

// The entry for the core CPUID names; the unknown one (IMUL 3 cycles, as on
// every other core of the last twenty years) where the table has none.
const core_entry& identify_core(const cpu_signature& cpu);
