#include "rows.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <utility>

#include "chains.h"
#include "reciprocal.h"

namespace {

// Blocks of CHAIN_UNROLL independent operations per throughput sample.
constexpr std::size_t THROUGHPUT_BLOCKS = 256;
constexpr std::size_t UNROLL = CHAIN_UNROLL;

constexpr int CALIBRATION_SAMPLES = 2000;
// The bench's own measurements of the controls: this many samples each.
constexpr int CONTROL_SAMPLES = 2000;

std::uint32_t compiler(std::uint32_t n) { return n / DIVISOR; }

// The latency control: a chain of 32-bit IMULs by a register.
constexpr std::uint32_t CONTROL_FACTOR = 0x01000193u;
std::uint32_t multiply(std::uint32_t n) {
    asm("imull %[factor], %[n]" : [n] "+r"(n) : [factor] "r"(CONTROL_FACTOR) : "cc");
    return n;
}
std::uint32_t multiply_expected(std::uint32_t n) { return n * CONTROL_FACTOR; }

// The throughput control: the reciprocal's own 32-bit MUL, EAX by a register
// into EDX:EAX, alone; its high half as the result. EDX is written before the
// multiplier is read (early clobber), so the multiplier stays in a register
// of its own and is not loaded again for every MUL.
std::uint32_t mul32(std::uint32_t n) {
    std::uint32_t low;
    std::uint32_t high;
    asm("mull %[multiplier]"
        : "=a"(low), "=&d"(high)
        : "a"(n), [multiplier] "r"(RECIPROCAL_MULTIPLIER)
        : "cc");
    return high;
}
std::uint32_t mul32_expected(std::uint32_t n) {
    return static_cast<std::uint32_t>((std::uint64_t{n} * RECIPROCAL_MULTIPLIER) >> 32);
}
std::uint32_t quotient_expected(std::uint32_t n) { return n / DIVISOR; }

// q must be computed, here and in this order; it costs no instruction and
// leaves the quotients independent of each other.
void consume(std::uint32_t q) { asm volatile("" : : "r"(q)); }

#ifdef DIV100_BENCH_FAULTS
std::uint64_t calibration_sample(const measuring& how) {
    const bool faulty = !how.only_after_rows || how.rows_done;
    return add_chain_sample() * (faulty ? how.fault_scale_ticks : 1);
}
#else
std::uint64_t calibration_sample(const measuring&) { return add_chain_sample(); }
#endif

// A row's samples, as many as the library asks for iterations, each after a
// calibration sample. Returns how many were taken; reports the least as core
// cycles and ticks per operation, less the chain's step for a latency row,
// and the count of samples, which the reports judge.
template <typename Work>
std::int64_t measure(benchmark::State& state, const measuring& how, Work work,
                     std::size_t operations, bool latency_chain) {
    chain_minima least;
    for (auto _ : state) least.sample(calibration_sample(how), work);
    const auto samples = static_cast<std::int64_t>(state.iterations());
    const double cycles = cycles_per_operation(least, how.empty_ticks, operations, latency_chain);
    state.counters["cycles/op"] = cycles;
    state.counters["tsc/op"] = cycles / cycles_per_tick(least.add_chain, how.empty_ticks);
    state.counters["samples"] = static_cast<double>(samples);
    return samples;
}

// Beside a row, the published figures of the instruction it is about, where
// the core's table has them: DIV r32 for the divide, MUL r32 for the
// reciprocal and its control; nothing for the others.
template <std::uint32_t (*Sequence)(std::uint32_t)>
struct published {
    static const std::string* of(const measuring&) { return nullptr; }
};
template <>
struct published<divide> {
    static const std::string* of(const measuring& how) { return &how.label_divide; }
};
template <>
struct published<reciprocal> {
    static const std::string* of(const measuring& how) { return &how.label_multiply; }
};
template <>
struct published<mul32> {
    static const std::string* of(const measuring& how) { return &how.label_multiply; }
};

template <std::uint32_t (*Sequence)(std::uint32_t)>
void label(benchmark::State& state, const measuring& how) {
    const std::string* figures = published<Sequence>::of(how);
    if (figures != nullptr && !figures->empty()) state.SetLabel(*figures);
}

// A row whose sequence gave a wrong result (checked outside the timed region
// against plain C++, or the compiler's own n / 100u against DIV) is marked
// with an error.
void check(benchmark::State& state, bool right) {
    if (!right) state.SkipWithError(WRONG_RESULT);
}

template <std::uint32_t (*Sequence)(std::uint32_t), std::uint32_t (*Expected)(std::uint32_t),
          typename Dividends>
void latency(benchmark::State& state, const measuring* how) {
    std::uint32_t n = Dividends::START;
    const std::int64_t samples = measure(
        state, *how, [&] { latency_chain<Sequence, Dividends>(n); }, LATENCY_STEPS, true);
    std::uint32_t expected = Dividends::START;
    for (std::int64_t block = 0; block < samples * static_cast<std::int64_t>(LATENCY_BLOCKS);
         ++block) {
        for (std::size_t position = 0; position < UNROLL; ++position) {
            expected = Expected(opaque(expected)) ^ Dividends::key(position);
        }
    }
    check(state, n == expected);
    label<Sequence>(state, *how);
}

// The dividends of a throughput sample: spread over [7, 2^32 - 1).
struct spread_dividends {
    std::uint32_t n[UNROLL];
    spread_dividends() {
        for (std::size_t i = 0; i < UNROLL; ++i) {
            n[i] = static_cast<std::uint32_t>(((std::uint64_t{1} << 32) - 8) * i / UNROLL + 7);
        }
    }
};

// THROUGHPUT_BLOCKS blocks of Quotient of each of the dividends.
template <std::uint32_t (*Quotient)(std::uint32_t)>
inline __attribute__((always_inline)) void throughput_sample(spread_dividends& dividends) {
#pragma GCC unroll 1
    for (std::size_t block = 0; block < THROUGHPUT_BLOCKS; ++block) {
        benchmark::DoNotOptimize(dividends.n);  // unknown to the compiler, read afresh
        unrolled([&](auto i) { consume(Quotient(dividends.n[i])); },
                 std::make_index_sequence<UNROLL>{});
    }
}

template <std::uint32_t (*Quotient)(std::uint32_t), std::uint32_t (*Expected)(std::uint32_t)>
void throughput(benchmark::State& state, const measuring* how) {
    spread_dividends dividends;
    measure(
        state, *how, [&] { throughput_sample<Quotient>(dividends); }, THROUGHPUT_BLOCKS * UNROLL,
        false);
    bool right = true;
    for (const std::uint32_t n : dividends.n) right = right && Quotient(n) == Expected(n);
    check(state, right);
    label<Quotient>(state, *how);
}

}  // namespace

void register_rows(const measuring& how) {
    using row = void (*)(benchmark::State&, const measuring*);
    const std::pair<const char*, row> rows[] = {
        {CONTROL_ROW, latency<multiply, multiply_expected, any_value>},
        {MUL_ROW, throughput<mul32, mul32_expected>},
        {"divide/latency/n=123", latency<divide, quotient_expected, small_dividend>},
        {"divide/latency/n~2^32", latency<divide, quotient_expected, dividend_near_2_32>},
        {"reciprocal/latency/n=123", latency<reciprocal, quotient_expected, small_dividend>},
        {"reciprocal/latency/n~2^32", latency<reciprocal, quotient_expected, dividend_near_2_32>},
        {"compiler/latency/n=123", latency<compiler, divide, small_dividend>},
        {"compiler/latency/n~2^32", latency<compiler, divide, dividend_near_2_32>},
        {"divide/throughput", throughput<divide, quotient_expected>},
        {RECIPROCAL_THROUGHPUT_ROW, throughput<reciprocal, quotient_expected>},
        {COMPILER_THROUGHPUT_ROW, throughput<compiler, divide>},
    };
    for (const auto& [name, function] : rows) benchmark::RegisterBenchmark(name, function, &how);
}

double calibrate(const measuring& how) {
    std::uint64_t least = NO_SAMPLE;
    for (int i = 0; i < CALIBRATION_SAMPLES; ++i) least = std::min(least, calibration_sample(how));
    return cycles_per_tick(least, how.empty_ticks);
}

double control_latency(const measuring& how) {
    chain_minima least;
    std::uint32_t n = any_value::START;
    for (int i = 0; i < CONTROL_SAMPLES; ++i) {
        least.sample(calibration_sample(how), [&] { latency_chain<multiply, any_value>(n); });
    }
    return cycles_per_operation(least, how.empty_ticks, LATENCY_STEPS, true);
}

double mul_throughput(const measuring& how) {
    chain_minima least;
    spread_dividends dividends;
    for (int i = 0; i < CONTROL_SAMPLES; ++i) {
        least.sample(calibration_sample(how), [&] { throughput_sample<mul32>(dividends); });
    }
    return cycles_per_operation(least, how.empty_ticks, THROUGHPUT_BLOCKS * UNROLL, false);
}
