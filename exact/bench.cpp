// How fast div100-exact answers: one check at its worst (a divisor near
// 2^16, where residues and quotients are as many, 65 536) and as typical
// (7, 100), and the exact sequences for every divisor from 1 to 10^6 by the
// conditions in closed form, a sample of them proved by the reasoning.
#include <benchmark/benchmark.h>

#include "exact.h"

namespace {

void check_one(benchmark::State& state, sequence seq) {
    for (auto _ : state) {
        const check_result result = check(seq);
        benchmark::DoNotOptimize(result);
        state.counters["steps"] = static_cast<double>(result.steps);
    }
}

constexpr std::uint32_t MILLION = 1000000;
constexpr std::uint32_t SAMPLE_EVERY = 997;

void exact_for_a_million(benchmark::State& state) {
    for (auto _ : state) {
        for (std::uint32_t d = 1; d <= MILLION; ++d) benchmark::DoNotOptimize(exact_for(d));
    }
    for (std::uint32_t d = 1; d <= MILLION; d += SAMPLE_EVERY) {
        const exact_sequences exact = exact_for(d);
        const sequence& main_form = exact.has_short ? exact.short_form : exact.long_form;
        if (check(main_form).first.found ||
            (exact.has_incremented && check(exact.incremented).first.found)) {
            state.SkipWithError("a sequence found exact in closed form is not");
            return;
        }
    }
}

}  // namespace

BENCHMARK_CAPTURE(check_one, worst_residues_65535, exact_for(65535).short_form);
BENCHMARK_CAPTURE(check_one, worst_quotients_65537, exact_for(65537).short_form);
BENCHMARK_CAPTURE(check_one, typical_7, exact_for(7).long_form);
BENCHMARK_CAPTURE(check_one, typical_100_the_tools, sequence{100, 0xA3D70A3D, 38, increment::wrap});
BENCHMARK(exact_for_a_million)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
