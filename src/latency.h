#pragma once
// Each of the tool's sequences timed as latency in core cycles, with no CPUID
// in the timed region (chains.h): the figures the tool gives where its counts
// cannot be trusted.

// Each kernel's latency in core cycles from the divide kernel's dividend, as
// dependent chains, at high priority and then normal again; negative where
// the calibration says nothing. Needs LFENCE (lfence_available).
struct chain_latencies {
    double div;
    double reciprocal;
};
chain_latencies measure_chain_latencies();

// The latency line, where both figures are from 0 to below 100 000 cycles.
void print_chain_latencies(const chain_latencies& figures);

// cycles rounded to one decimal, as digits, a point and a digit, into buffer.
void render_tenths(double cycles, char* buffer);
