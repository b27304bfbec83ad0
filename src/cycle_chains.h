#pragma once
// Latency in core clock cycles, with no CPUID in any timed region: for
// machines where the tool's CPUID-framed counts cannot resolve a kernel of a
// few cycles (CPUID traps to a hypervisor; a time-stamp counter that
// advances in coarse steps), and for div100-bench.
//
// The clock: the time-stamp counter, read between LFENCEs, runs at a fixed
// rate whatever the core's clock. A chain of dependent 32-bit register ADDs,
// one core cycle each on every x86 core of the last twenty years, timed the
// same way gives core cycles per tick. The calibration samples are taken
// among the measured ones, since the core clock drifts by some per cent over
// seconds; a clock that changes while a row runs (a laptop's power states, a
// hybrid CPU moving the thread between core types) makes the figures wrong.
//
// The samples: a block of work between two fenced reads, some thousands of
// ticks (the counter may advance in steps of 21), short enough that most
// samples see no interrupt and no neighbour; the least sample is the work
// alone. LFENCE needs SSE2: check lfence_available() first.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "reciprocal.h"

// A minimum of samples before its first sample.
constexpr std::uint64_t NO_SAMPLE = ~std::uint64_t{0};

// Steps per block, written out inline so the loop's own count is small
// against the work; blocks per latency sample.
constexpr std::size_t CHAIN_UNROLL = 64;
constexpr std::size_t LATENCY_BLOCKS = 16;
constexpr std::size_t LATENCY_STEPS = LATENCY_BLOCKS * CHAIN_UNROLL;

// A calibration sample: CALIBRATION_LOOPS x 1000 dependent ADDs.
constexpr int CALIBRATION_LOOPS = 8;
constexpr int CALIBRATION_ADDS = CALIBRATION_LOOPS * 1000;

// A latency chain's step from one quotient to the next dividend: one XOR
// with an immediate, one core cycle, taken off the latency figures.
constexpr double CHAIN_STEP_CYCLES = 1.0;

// What the processor says of itself, through CPUID, each leaf and bit named
// here once. Leaf 1: EDX bit 26 (SSE2, which brings LFENCE), ECX bit 31 (the
// processor runs under a hypervisor). Leaf 0x15: the counter's frequency as
// crystal Hz (ECX) times EBX / EAX. Leaf 0x40000000: the highest leaf of a
// hypervisor's (EAX); its leaf 0x40000010: the counter's kHz (EAX).
constexpr unsigned FEATURES_LEAF = 1;
constexpr unsigned SSE2_BIT = 26;        // EDX
constexpr unsigned HYPERVISOR_BIT = 31;  // ECX
constexpr unsigned TSC_LEAF = 0x15;
constexpr unsigned HYPERVISOR_LEAF = 0x40000000;
constexpr unsigned HYPERVISOR_TIMING_LEAF = 0x40000010;
bool lfence_available();
bool hypervisor_present();

// The time-stamp counter's frequency in Hz as CPUID gives it (leaf 0x15,
// else a hypervisor's timing leaf), with where it came from; 0 where neither
// gives it.
std::uint64_t tsc_hz_from_cpuid(const char** source);

// The time-stamp counter, with every earlier instruction done before it is
// read and no later one started until it is.
inline std::uint64_t fenced_tsc() {
    std::uint32_t low;
    std::uint32_t high;
    asm volatile("lfence\n\trdtsc\n\tlfence" : "=a"(low), "=d"(high)::"memory");
    return (std::uint64_t{high} << 32) | low;
}

// The ticks of one sample: work between two fenced reads.
template <typename Work>
inline __attribute__((always_inline)) std::uint64_t chain_sample(Work work) {
    const std::uint64_t start = fenced_tsc();
    work();
    return fenced_tsc() - start;
}

// The least of count samples with no work in them: the fences and the reads.
std::uint64_t least_empty_sample(int count);

// One calibration sample: CALIBRATION_ADDS dependent ADDs, each adding 1 to
// a chain that starts at 0; where adds is given, it receives the chain's end
// (CALIBRATION_ADDS where every ADD counted ran, and no other).
std::uint64_t add_chain_sample(std::uint32_t* adds = nullptr);

// The greatest common divisor of the differences of count + 1 consecutive
// readings of read; 0 where the readings never moved.
template <typename Read>
std::uint64_t common_step(int count, Read read) {
    std::uint64_t step = 0;
    std::uint64_t last = read();
    for (int i = 0; i < count; ++i) {
        const std::uint64_t now = read();
        std::uint64_t a = step;
        std::uint64_t b = now - last;
        while (b != 0) {
            const std::uint64_t rest = a % b;
            a = b;
            b = rest;
        }
        step = a;
        last = now;
    }
    return step;
}

// The counter's step: the common step of count fenced reads (on bare metal
// 1; 21 on some virtual machines, where every reading is a multiple of 21).
inline std::uint64_t counter_step(int count) { return common_step(count, fenced_tsc); }

// Core cycles per tick from the least calibration sample; 0 where it is no
// longer than an empty sample, which says nothing.
double cycles_per_tick(std::uint64_t least_add_chain, std::uint64_t empty);

// Core cycles per operation of a sample of operations, converted with the
// least calibration sample taken among its own; a latency chain's step is
// taken off. Negative where the calibration says nothing.
double cycles_per_operation(std::uint64_t least_work, std::uint64_t least_add_chain,
                            std::uint64_t empty, std::size_t operations, bool latency_chain);

// The least of a chain's samples, each taken right after a calibration
// sample, and the least of those calibration samples: the clock drifts by
// some per cent over seconds, so a chain is converted with the calibration
// taken among its own samples.
struct chain_minima {
    std::uint64_t work = NO_SAMPLE;
    std::uint64_t add_chain = NO_SAMPLE;

    // add_chain_ticks, an argument, is measured before work runs.
    template <typename Work>
    inline __attribute__((always_inline)) void sample(std::uint64_t add_chain_ticks, Work chain) {
        if (add_chain_ticks < add_chain) add_chain = add_chain_ticks;
        const std::uint64_t ticks = chain_sample(chain);
        if (ticks < work) work = ticks;
    }

    double cycles_per_operation(std::uint64_t empty, std::size_t operations,
                                bool latency_chain) const {
        return ::cycles_per_operation(work, add_chain, empty, operations, latency_chain);
    }
};

// The 32-bit DIV of EDX:EAX = (0 : n) by 100 in a register, as the tool's
// kernel and check run it: the quotient in EAX, the remainder in EDX.
inline std::uint32_t divide(std::uint32_t n) {
    std::uint32_t quotient;
    std::uint32_t remainder;
    asm(DIVIDE_SEQUENCE("%[divisor]")
        : "=a"(quotient), "=d"(remainder)
        : "a"(n), "d"(0u), [divisor] "r"(DIVISOR)
        : "cc");
    return quotient;
}

// The tool's sequence: n + 1 in EAX (wrapping at 2^32 - 1), the 32-bit MUL
// into EDX:EAX, the high half shifted; the low half is dropped.
inline std::uint32_t reciprocal(std::uint32_t n) {
    std::uint32_t low;
    std::uint32_t high;
    asm(RECIPROCAL_SEQUENCE("%[multiplier]")
        : "=a"(low), "=d"(high)
        : "a"(n), [multiplier] "r"(RECIPROCAL_MULTIPLIER), [high_shift] "i"(RECIPROCAL_HIGH_SHIFT)
        : "cc");
    return high;
}

// The tool's timing kernel's dividend: 123, quotient 1; key 122 makes the
// next dividend 123 again.
struct small_dividend {
    static constexpr std::uint32_t START = 123;
    static constexpr std::uint32_t key(std::size_t) { return 122; }
};

// n, as far as the compiler knows anything at all. No instruction: the
// value stays where it is, but no step can be worked out at compile time
// (the chain loses so much with each division that the compiler could
// otherwise fold it to constants).
inline std::uint32_t opaque(std::uint32_t n) {
    asm("" : "+r"(n));
    return n;
}

template <typename Step, std::size_t... I>
inline __attribute__((always_inline)) void unrolled(Step step, std::index_sequence<I...>) {
    (step(std::integral_constant<std::size_t, I>{}), ...);
}

// LATENCY_STEPS dependent steps of Sequence from n, each result XOR a key of
// Dividends the next dividend; n is left holding the last, computed here
// even where nothing reads it.
template <std::uint32_t (*Sequence)(std::uint32_t), typename Dividends>
inline __attribute__((always_inline)) void latency_chain(std::uint32_t& n) {
#pragma GCC unroll 1
    for (std::size_t block = 0; block < LATENCY_BLOCKS; ++block) {
        unrolled([&](auto position) { n = Sequence(opaque(n)) ^ Dividends::key(position); },
                 std::make_index_sequence<CHAIN_UNROLL>{});
    }
    asm volatile("" : : "r"(n));
}
