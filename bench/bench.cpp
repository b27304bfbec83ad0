// div100-bench: the tool's question answered without CPUID in the timed
// region, for machines (virtual ones above all) where CPUID-framed cycle
// counts are noise. Rows: the 32-bit DIV, the tool's reciprocal sequence, and
// whatever g++ emits for n / 100u; each timed for latency (a dependency
// chain) and throughput (independent dividends over the whole 32-bit range).
#include <benchmark/benchmark.h>
#include <cpuid.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include "reciprocal.h"

namespace {

// Operations per benchmark iteration, written out inline so that loop
// overhead is small against the work.
constexpr std::size_t LATENCY_UNROLL = 64;
constexpr std::size_t THROUGHPUT_UNROLL = 64;
// The latency chain's step from one quotient to the next dividend: one XOR
// with an immediate (1 cycle), the same for every row. The keys differ from
// one unrolled position to the next so that the dividends spread over the
// whole range, and keep bit 26 clear so that no dividend is 4294967295: all
// three rows compute the same chain.
constexpr std::uint32_t step_key(std::size_t position) {
    return static_cast<std::uint32_t>((position + 1) * 0x9E3779B9u) & ~(1u << 26);
}
constexpr std::uint32_t CHAIN_START = 4294000000u;

std::uint32_t divide(std::uint32_t n) {
    std::uint32_t quotient;
    std::uint32_t remainder;
    asm("divl %[divisor]"
        : "=a"(quotient), "=d"(remainder)
        : "a"(n), "d"(0u), [divisor] "r"(DIVISOR)
        : "cc");
    return quotient;
}

std::uint32_t reciprocal(std::uint32_t n) {
    std::uint32_t low;
    std::uint32_t high;
    asm("addl $1, %%eax\n\t"
        "mull %[multiplier]\n\t"
        "shrl %[high_shift], %%edx"
        : "=a"(low), "=d"(high)
        : "a"(n), [multiplier] "r"(RECIPROCAL_MULTIPLIER), [high_shift] "i"(RECIPROCAL_HIGH_SHIFT)
        : "cc");
    return high;
}

std::uint32_t compiler(std::uint32_t n) { return n / DIVISOR; }

// The time-stamp counter, with every earlier instruction done before it is
// read and no later one started until it is.
std::uint64_t tsc() {
    std::uint32_t low;
    std::uint32_t high;
    asm volatile("lfence\n\trdtsc\n\tlfence" : "=a"(low), "=d"(high)::"memory");
    return (std::uint64_t{high} << 32) | low;
}

// n, as far as the compiler knows anything at all. No instruction: the
// value stays where it is, but no step can be worked out at compile time
// (the chain loses so much with each division that the compiler could
// otherwise fold it to constants).
std::uint32_t opaque(std::uint32_t n) {
    asm("" : "+r"(n));
    return n;
}

// q must be computed, here and in this order; it costs no instruction and
// leaves the quotients independent of each other.
void consume(std::uint32_t q) { asm volatile("" : : "r"(q)); }

template <typename Step, std::size_t... I>
inline __attribute__((always_inline)) void unrolled(Step step, std::index_sequence<I...>) {
    (step(std::integral_constant<std::size_t, I>{}), ...);
}

void report(benchmark::State& state, std::size_t unroll, std::uint64_t ticks) {
    const double operations = static_cast<double>(state.iterations()) * unroll;
    state.counters["time/op"] = benchmark::Counter(
        static_cast<double>(unroll),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["tsc/op"] = static_cast<double>(ticks) / operations;
}

// A row whose sequence gave a wrong quotient fails the run, checked outside
// the timed region against the compiler's n / 100 in plain C++.
bool wrong_quotient = false;

void check(benchmark::State& state, bool right) {
    if (right) return;
    wrong_quotient = true;
    state.SkipWithError("wrong quotient");
}

template <std::uint32_t (*Quotient)(std::uint32_t)>
void latency(benchmark::State& state) {
    std::uint32_t n = CHAIN_START;
    const std::uint64_t start = tsc();
    for (auto _ : state) {
        unrolled([&](auto position) { n = Quotient(opaque(n)) ^ step_key(position); },
                 std::make_index_sequence<LATENCY_UNROLL>{});
    }
    const std::uint64_t ticks = tsc() - start;
    benchmark::DoNotOptimize(n);
    std::uint32_t expected = CHAIN_START;
    for (benchmark::IterationCount i = 0; i < state.iterations(); ++i) {
        for (std::size_t position = 0; position < LATENCY_UNROLL; ++position) {
            expected = opaque(expected) / DIVISOR ^ step_key(position);
        }
    }
    check(state, n == expected);
    report(state, LATENCY_UNROLL, ticks);
}

template <std::uint32_t (*Quotient)(std::uint32_t)>
void throughput(benchmark::State& state) {
    std::uint32_t dividends[THROUGHPUT_UNROLL];
    for (std::size_t i = 0; i < THROUGHPUT_UNROLL; ++i) {  // spread over [7, 2^32 - 1)
        dividends[i] =
            static_cast<std::uint32_t>(((std::uint64_t{1} << 32) - 8) * i / THROUGHPUT_UNROLL + 7);
    }
    const std::uint64_t start = tsc();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dividends);  // unknown to the compiler, read afresh each time
        unrolled([&](auto i) { consume(Quotient(dividends[i])); },
                 std::make_index_sequence<THROUGHPUT_UNROLL>{});
    }
    const std::uint64_t ticks = tsc() - start;
    bool right = true;
    for (const std::uint32_t n : dividends) right = right && Quotient(n) == n / DIVISOR;
    check(state, right);
    report(state, THROUGHPUT_UNROLL, ticks);
}

// CPUID leaf 1, ECX bit 31.
bool hypervisor_present() {
    unsigned eax, ebx, ecx, edx;
    return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && ((ecx >> 31) & 1) != 0;
}

// The TSC frequency: from CPUID leaf 0x15 where the processor gives it, from
// the hypervisor's timing leaf 0x40000010 where that exists, else measured
// against the monotonic clock.
std::string tsc_frequency() {
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(0x15, &eax, &ebx, &ecx, &edx) != 0 && eax != 0 && ebx != 0 && ecx != 0) {
        return std::to_string(std::uint64_t{ecx} * ebx / eax) + " Hz (CPUID leaf 0x15)";
    }
    __cpuid(0x40000000, eax, ebx, ecx, edx);
    if (hypervisor_present() && eax >= 0x40000010) {
        __cpuid(0x40000010, eax, ebx, ecx, edx);
        if (eax != 0) return std::to_string(std::uint64_t{eax} * 1000) + " Hz (hypervisor leaf)";
    }
    const auto begin = std::chrono::steady_clock::now();
    const std::uint64_t first = tsc();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t ticks = tsc() - first;
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - begin;
    return std::to_string(
               static_cast<std::uint64_t>(static_cast<double>(ticks) / seconds.count())) +
           " Hz (measured over 200 ms)";
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("divide/latency", latency<divide>);
    benchmark::RegisterBenchmark("reciprocal/latency", latency<reciprocal>);
    benchmark::RegisterBenchmark("compiler/latency", latency<compiler>);
    benchmark::RegisterBenchmark("divide/throughput", throughput<divide>);
    benchmark::RegisterBenchmark("reciprocal/throughput", throughput<reciprocal>);
    benchmark::RegisterBenchmark("compiler/throughput", throughput<compiler>);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("hypervisor", hypervisor_present() ? "yes" : "no");
    benchmark::AddCustomContext("tsc_frequency", tsc_frequency());
    benchmark::AddCustomContext("latency_step",
                                "next dividend = quotient XOR an immediate key (1 cycle)");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return wrong_quotient ? 1 : 0;
}
