#include "latency.h"

#include <cstdint>

#include "chains.h"
#include "console.h"
#include "platform.h"

namespace {

// CHAIN_SAMPLES short samples of each chain, about 2 ms in all: the figures'
// spread comes from the counter's step, not from the number of samples
// (docs/measuring.md).
constexpr int EMPTY_CHAIN_SAMPLES = 1000;
constexpr int CHAIN_SAMPLES = 200;
// Figures from 0 to below this many cycles are printed; beyond, the
// measurement has failed.
constexpr double LARGEST_FIGURE = 100000;

constexpr fixed_text LATENCY_TEXT{"Latency in core cycles, no CPUID: "};
constexpr fixed_text DIV_LATENCY_LABEL{" div, "};
constexpr fixed_text RECIPROCAL_LATENCY_LABEL{" magic number\r\n"};
char div_latency_buffer[NUMBER_BUFFER_SIZE];
char reciprocal_latency_buffer[NUMBER_BUFFER_SIZE];

// Sequence's latency from the kernel's dividend in core cycles.
template <std::uint32_t (*Sequence)(std::uint32_t)>
double chain_latency(std::uint64_t empty) {
    chain_minima least;
    std::uint32_t n = small_dividend::START;
    for (int i = 0; i < CHAIN_SAMPLES; ++i) {
        least.sample(add_chain_sample(), [&] { latency_chain<Sequence, small_dividend>(n); });
    }
    return cycles_per_operation(least, empty, LATENCY_STEPS, true);
}

bool printable(double cycles) { return cycles >= 0 && cycles < LARGEST_FIGURE; }

}  // namespace

chain_latencies measure_chain_latencies() {
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    const std::uint64_t empty = least_empty_sample(EMPTY_CHAIN_SAMPLES);
    const chain_latencies figures{chain_latency<divide>(empty), chain_latency<reciprocal>(empty)};
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    return figures;
}

void print_chain_latencies(const chain_latencies& figures) {
    if (!printable(figures.div) || !printable(figures.reciprocal)) return;
    render_tenths(figures.div, div_latency_buffer);
    render_tenths(figures.reciprocal, reciprocal_latency_buffer);
    print_text(LATENCY_TEXT.bytes);
    print_text(div_latency_buffer);
    print_text(DIV_LATENCY_LABEL.bytes);
    print_text(reciprocal_latency_buffer);
    print_text(RECIPROCAL_LATENCY_LABEL.bytes);
}

void render_tenths(double cycles, char* buffer) {
    const auto tenths = static_cast<std::uint32_t>(cycles * 10 + 0.5);
    render_decimal(tenths / 10, buffer);
    const std::uint32_t end = text_length(buffer);
    buffer[end] = '.';
    buffer[end + 1] = static_cast<char>('0' + tenths % 10);
    buffer[end + 2] = '\0';
}
