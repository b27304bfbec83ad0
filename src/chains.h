#pragma once
// Sequences timed in core clock cycles with no CPUID in any timed region: for
// machines where the tool's CPUID-framed counts cannot resolve a kernel of a
// few cycles (CPUID traps to a hypervisor; a counter that advances in coarse
// steps), and for div100-bench.
//
// The clock: the time-stamp counter, read between LFENCEs, runs at a fixed
// rate whatever the core's clock. A chain of dependent 32-bit register ADDs,
// one core cycle each on every x86 core of the last twenty years, timed the
// same way gives core cycles per tick. The core clock drifts by some per cent
// over seconds, so each sample of work is taken right after a calibration
// sample and converted with the least of those: a clock that changes while a
// measurement runs (a laptop's power states, a hybrid CPU moving the thread
// between core types) makes the figures wrong.
//
// The samples: a block of work between two fenced reads, some thousands of
// ticks (the counter may advance in steps of 21), short enough that most
// samples see no interrupt and no neighbour; the least sample is the work
// alone. LFENCE needs SSE2: check lfence_available() first.
#include <cstddef>
#include <cstdint>
#include <utility>

#include "cpu.h"
#include "reciprocal.h"

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

// Core cycles per tick from the least calibration sample; 0 where it is no
// longer than an empty sample, which says nothing.
double cycles_per_tick(std::uint64_t least_add_chain, std::uint64_t empty);

// The least of a measurement's samples of work, each taken right after a
// calibration sample, and the least of those calibration samples.
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
};

// Core cycles per operation of least's work, operations of them, less the
// empty sample and converted with least's own calibration; a latency chain's
// step is taken off. Negative where the calibration says nothing.
double cycles_per_operation(chain_minima least, std::uint64_t empty, std::size_t operations,
                            bool latency_chain);

// The dividends of a latency chain: where it starts, and the key each step's
// quotient is XORed with to make the next dividend, by its place in a block.
//
// The tool's timing kernel's dividend, 123: the quotient 1 XOR the key 122 is
// 123 again.
struct small_dividend {
    static constexpr std::uint32_t START = KERNEL_DIVIDEND;
    static constexpr std::uint32_t key(std::size_t) { return START ^ (START / DIVISOR); }
};

// The range check's dividends, near 2^32, because DIV takes longer for longer
// quotients on many cores. There every quotient has bit 25 set (n >= 100 *
// 2^25) and bits 26 to 31 clear, and every key sets bits 25 to 31, so the
// next dividend lies in [0xFC000000, 0xFDFFFFFF]: 26-bit quotients, as in the
// range check, and never 4294967295, where the reciprocal parts from DIV.
constexpr std::uint32_t spread(std::size_t position) {
    return static_cast<std::uint32_t>((position + 1) * 0x9E3779B9u);
}
struct dividend_near_2_32 {
    static constexpr std::uint32_t START = RANGE_START;
    static constexpr std::uint32_t key(std::size_t position) {
        return 0xFE000000u | (spread(position) & 0x01FFFFFFu);
    }
};

// Any value, over the whole range (the bench's control chain).
struct any_value {
    static constexpr std::uint32_t START = RANGE_START;
    static constexpr std::uint32_t key(std::size_t position) { return spread(position); }
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
