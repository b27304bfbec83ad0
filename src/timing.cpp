#include "timing.h"

#include <algorithm>
#include <cstring>

#include "cycle_chains.h"
#include "platform.h"
#include "reciprocal.h"
#include "timing_asm.h"

std::uint64_t best_cycles;
std::uint64_t overhead_cycles;
std::uint32_t sample_counter;

namespace {

constexpr std::uint32_t DIV_KERNEL_DIVIDEND = small_dividend::START;

// The measurement without CPUID: a few thousand counter reads for its step,
// and CHAIN_SAMPLES short samples of each chain, about 2 ms in all. The
// figures' spread comes from the counter's step, not from the number of
// samples (docs/measuring.md).
constexpr int STEP_READS = 4000;
constexpr int EMPTY_CHAIN_SAMPLES = 1000;
constexpr int CHAIN_SAMPLES = 200;
// Figures from 0 to below this many cycles are printed; beyond, the
// measurement has failed.
constexpr double LARGEST_FIGURE = 100000;

constexpr fixed_text EMULATED_TEXT{
    "x86 code is emulated here: no count or figure measures an x86 core\r\n"};
constexpr fixed_text UNRESOLVED_TEXT{"Counts unresolved: "};
constexpr fixed_text TRAPS_TEXT{"CPUID traps to a hypervisor"};
constexpr fixed_text BOTH_TEXT{", "};
constexpr fixed_text STEP_TEXT{"counter step "};
constexpr fixed_text STEP_LABEL{" ticks\r\n"};
constexpr fixed_text LATENCY_TEXT{"Latency in core cycles, no CPUID: "};
constexpr fixed_text DIV_LATENCY_LABEL{" div, "};
constexpr fixed_text RECIPROCAL_LATENCY_LABEL{" magic number\r\n"};
char step_buffer[NUMBER_BUFFER_SIZE];
char div_latency_buffer[NUMBER_BUFFER_SIZE];
char reciprocal_latency_buffer[NUMBER_BUFFER_SIZE];

// Sequence's latency from dividend 123 in core cycles: the least of
// CHAIN_SAMPLES chain samples, each after a calibration sample.
template <std::uint32_t (*Sequence)(std::uint32_t)>
double chain_latency(std::uint64_t empty) {
    chain_minima least;
    std::uint32_t n = small_dividend::START;
    for (int i = 0; i < CHAIN_SAMPLES; ++i) {
        least.sample(add_chain_sample(), [&] { latency_chain<Sequence, small_dividend>(n); });
    }
    return least.cycles_per_operation(empty, LATENCY_STEPS, true);
}

bool printable(double cycles) { return cycles >= 0 && cycles < LARGEST_FIGURE; }

}  // namespace

void render_tenths(double cycles, char* buffer) {
    const auto tenths = static_cast<std::uint32_t>(cycles * 10 + 0.5);
    render_decimal(tenths / 10, buffer);
    const std::uint32_t end = text_length(buffer);
    buffer[end] = '.';
    buffer[end + 1] = static_cast<char>('0' + tenths % 10);
    buffer[end + 2] = '\0';
}

// A whole sampling loop in one block, so no part of a sample can be unrolled,
// peeled or moved: its head on a 16-byte boundary, SAMPLE_COUNT framed
// samples around KERNEL (empty for the calibration), the least kept in MINIMUM.
#define SAMPLING_LOOP(KERNEL, MINIMUM)                                                             \
    do {                                                                                           \
        std::uint64_t start = 0;                                                                   \
        asm volatile(                                                                              \
            ".p2align 4\n"                                                                         \
            "1:\n\t" SAMPLE_OPEN KERNEL SAMPLE_CLOSE KEEP_MINIMUM                                  \
            "decl %[counter]\n\t"                                                                  \
            "jnz 1b"                                                                               \
            : [counter] "+m"(sample_counter)                                                       \
            : [minimum] "r"(&(MINIMUM)), [start] "r"(&start), [dividend] "i"(DIV_KERNEL_DIVIDEND), \
              [divisor] "i"(DIVISOR), [multiplier] "i"(RECIPROCAL_MULTIPLIER),                     \
              [high_shift] "i"(RECIPROCAL_HIGH_SHIFT)                                              \
            : "eax", "ebx", "ecx", "edx", "cc", "memory");                                         \
    } while (0)

template <kernel K>
void time_kernel(char* buffer, const char* label) {
    best_cycles = NO_SAMPLE;
    overhead_cycles = NO_SAMPLE;
    sample_counter = SAMPLE_COUNT;
    SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
    // Settle the pipeline (and a hypervisor's CPUID path) before sampling.
    asm volatile(SERIALISE SERIALISE SERIALISE ::: "eax", "ebx", "ecx", "edx", "memory");
    Sleep(0);  // begin sampling on a fresh time slice
    SAMPLING_LOOP("", overhead_cycles);
    sample_counter = SAMPLE_COUNT;
    Sleep(0);
    if constexpr (K == div_kernel) {
        SAMPLING_LOOP(DIV_KERNEL, best_cycles);
    } else {
        SAMPLING_LOOP(RECIPROCAL_KERNEL, best_cycles);
    }
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    render_decimal(static_cast<std::uint32_t>(kernel_cycles(best_cycles, overhead_cycles)), buffer);
    print_text(buffer);
    print_text(label);
}

template void time_kernel<div_kernel>(char*, const char*);
template void time_kernel<reciprocal_kernel>(char*, const char*);

std::uint64_t kernel_cycles(std::uint64_t best, std::uint64_t overhead) {
    return best > overhead ? best - overhead : 0;
}

unsigned count_doubt(bool hypervisor, std::uint64_t least_empty, std::uint64_t counter_step) {
    unsigned doubt = COUNTS_HOLD;
    if (hypervisor || least_empty > TRAPPED_CPUID_TICKS) doubt |= CPUID_TRAPS;
    if (counter_step == 0 || counter_step > FINEST_STEP) doubt |= COARSE_COUNTER;
    return doubt;
}

void print_count_doubt(unsigned doubt, std::uint64_t step) {
    print_text(UNRESOLVED_TEXT.bytes);
    if ((doubt & CPUID_TRAPS) != 0) print_text(TRAPS_TEXT.bytes);
    if ((doubt & COARSE_COUNTER) == 0) {
        print_text(LINE_BREAK.bytes);
    } else {
        if ((doubt & CPUID_TRAPS) != 0) print_text(BOTH_TEXT.bytes);
        print_text(STEP_TEXT.bytes);
        render_decimal(static_cast<std::uint32_t>(std::min<std::uint64_t>(step, ~0u)), step_buffer);
        print_text(step_buffer);
        print_text(STEP_LABEL.bytes);
    }
}

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

bool x86_emulated() {
    // Looked up, so that the exe still starts where kernel32 lacks it.
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "IsWow64Process2") : nullptr;
    if (found == nullptr) return false;
    BOOL(WINAPI * query)(HANDLE, USHORT*, USHORT*) = nullptr;
    static_assert(sizeof query == sizeof found, "one code pointer for another");
    std::memcpy(&query, &found, sizeof query);
    USHORT process_machine = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT native_machine = IMAGE_FILE_MACHINE_UNKNOWN;
    if (query(GetCurrentProcess(), &process_machine, &native_machine) == FALSE) return false;
    return native_machine != IMAGE_FILE_MACHINE_UNKNOWN &&
           native_machine != IMAGE_FILE_MACHINE_I386 && native_machine != IMAGE_FILE_MACHINE_AMD64;
}

void report_count_doubt() {
    if (x86_emulated()) {
        print_text(EMULATED_TEXT.bytes);
        return;
    }
    // Without SSE2 there is no LFENCE to read the counter by: its step goes
    // unmeasured, and so do the chains.
    const bool fenced = lfence_available();
    const std::uint64_t step = fenced ? counter_step(STEP_READS) : 1;
    const unsigned doubt = count_doubt(hypervisor_present(), overhead_cycles, step);
    if (doubt == COUNTS_HOLD) return;
    print_count_doubt(doubt, step);
    if (fenced) print_chain_latencies(measure_chain_latencies());
}
