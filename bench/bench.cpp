// div100-bench: the tool's question answered in core clock cycles, without
// CPUID in any timed region, for machines (virtual ones above all) where the
// tool's CPUID-framed counts are noise and no performance counter is to be
// had. Rows: the 32-bit DIV, the tool's reciprocal sequence and whatever g++
// emits for n / 100u, each for latency (a dependency chain) and throughput
// (independent dividends), and a control of known latency, a chain of IMULs.
//
// The clock: a row is timed in time-stamp-counter ticks, which run at a fixed
// rate whatever the core's clock. A chain of dependent 32-bit register ADDs,
// one core cycle each on every x86 core of the last twenty years, timed the
// same way gives core cycles per tick: among each row's own samples, for
// that row, since the clock drifts by some per cent over seconds; and before
// and after all rows, for the context. That assumes a core clock steady
// while a row runs: a clock that changes (a laptop's power states; a hybrid
// CPU moving the thread between core types) makes the calibrations before
// and after differ, and beyond CALIBRATION_MARGIN the run fails.
//
// The samples: each row is the least of many short samples (a block of work
// between two fenced TSC reads), less the least empty sample, as the tool
// itself measures. A total over the whole run would also count the time the
// core's other hardware thread, or a hypervisor, takes from it; throughput
// rows, which need the execution ports, lose most to that, and by an amount
// that changes from one second to the next. The least short sample is the
// work alone.
#include <benchmark/benchmark.h>
#include <cpuid.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cycle_chains.h"

namespace {

// Blocks of CHAIN_UNROLL independent operations per throughput sample.
constexpr std::size_t THROUGHPUT_BLOCKS = 256;
constexpr std::size_t UNROLL = CHAIN_UNROLL;

constexpr int CALIBRATION_SAMPLES = 2000;
constexpr int EMPTY_SAMPLES = 10000;
// How far the calibrations before and after the rows may differ.
constexpr double CALIBRATION_MARGIN = 0.10;

// Two kinds of dividend for the latency chains, because DIV takes longer for
// longer quotients on many cores: 123, the tool's own timing kernel's (the
// quotient 1; key 122 makes the next dividend 123 again), and the range
// check's, near 2^32. There every quotient has bit 25 set (n >= 100 * 2^25)
// and bits 26 to 31 clear, and every key sets bits 25 to 31, so the next
// dividend lies in [0xFC000000, 0xFDFFFFFF]: 26-bit quotients, as in the
// range check, and never 4294967295, where the reciprocal parts from DIV.
constexpr std::uint32_t spread(std::size_t position) {
    return static_cast<std::uint32_t>((position + 1) * 0x9E3779B9u);
}
struct dividend_near_2_32 {
    static constexpr std::uint32_t START = 4294000000u;
    static constexpr std::uint32_t key(std::size_t position) {
        return 0xFE000000u | (spread(position) & 0x01FFFFFFu);
    }
};
// The control chain's keys: any, over the whole range.
struct any_value {
    static constexpr std::uint32_t START = 4294000000u;
    static constexpr std::uint32_t key(std::size_t position) { return spread(position); }
};

std::uint32_t compiler(std::uint32_t n) { return n / DIVISOR; }

// The control: a 32-bit IMUL, latency 3 on every current Intel and AMD core.
// A control row outside CONTROL_CYCLES_LOW to CONTROL_CYCLES_HIGH says the
// calibration does not hold on this machine, and fails the run.
constexpr std::uint32_t CONTROL_FACTOR = 0x01000193u;
constexpr double CONTROL_CYCLES_LOW = 2.5;
constexpr double CONTROL_CYCLES_HIGH = 3.5;
constexpr const char* CONTROL_ROW = "control/imul/latency";
std::uint32_t multiply(std::uint32_t n) {
    asm("imull %[factor], %[n]" : [n] "+r"(n) : [factor] "r"(CONTROL_FACTOR) : "cc");
    return n;
}
std::uint32_t multiply_expected(std::uint32_t n) { return n * CONTROL_FACTOR; }
std::uint32_t quotient_expected(std::uint32_t n) { return n / DIVISOR; }

// q must be computed, here and in this order; it costs no instruction and
// leaves the quotients independent of each other.
void consume(std::uint32_t q) { asm volatile("" : : "r"(q)); }

// What a sample costs with no work in it: the fences and the reads.
std::uint64_t empty_ticks = 0;

// Core cycles per TSC tick from the least of samples of the ADD chain.
double cycles_per_tick(std::uint64_t least_add_chain) {
    return ::cycles_per_tick(least_add_chain, empty_ticks);
}

double calibrate() {
    std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
    for (int i = 0; i < CALIBRATION_SAMPLES; ++i) least = std::min(least, add_chain_sample());
    return cycles_per_tick(least);
}

double cycles_per_tick_before = 0;
double cycles_per_tick_after = 0;

// A row's samples, as many as the library asks for iterations, each after a
// calibration sample: the clock drifts by some per cent over seconds, so
// each row is converted with the least calibration sample taken among its
// own. Reports the least sample as core cycles and ticks per operation, less
// the chain's step for a latency row.
template <typename Work>
void measure(benchmark::State& state, Work work, std::size_t operations, bool latency_chain) {
    std::uint64_t least = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t least_add_chain = least;
    for (auto _ : state) {
        least_add_chain = std::min(least_add_chain, add_chain_sample());
        least = std::min(least, chain_sample(work));
    }
    const double cycles =
        cycles_per_operation(least, least_add_chain, empty_ticks, operations, latency_chain);
    state.counters["cycles/op"] = cycles;
    state.counters["tsc/op"] = cycles / cycles_per_tick(least_add_chain);
}

// A row whose sequence gave a wrong result (checked outside the timed region
// against plain C++, or the compiler's own n / 100u against DIV), or a
// control row off its known latency, fails the run.
bool row_failed = false;

void check(benchmark::State& state, bool right, const char* why = "wrong result") {
    if (right) return;
    row_failed = true;
    state.SkipWithError(why);
}

template <std::uint32_t (*Sequence)(std::uint32_t), std::uint32_t (*Expected)(std::uint32_t),
          typename Dividends>
void latency(benchmark::State& state) {
    std::uint32_t n = Dividends::START;
    measure(
        state, [&] { latency_chain<Sequence, Dividends>(n); }, LATENCY_STEPS, true);
    std::uint32_t expected = Dividends::START;
    const auto blocks = state.iterations() * static_cast<benchmark::IterationCount>(LATENCY_BLOCKS);
    for (benchmark::IterationCount i = 0; i < blocks; ++i) {
        for (std::size_t position = 0; position < UNROLL; ++position) {
            expected = Expected(opaque(expected)) ^ Dividends::key(position);
        }
    }
    check(state, n == expected);
}

template <std::uint32_t (*Quotient)(std::uint32_t), std::uint32_t (*Expected)(std::uint32_t)>
void throughput(benchmark::State& state) {
    std::uint32_t dividends[UNROLL];
    for (std::size_t i = 0; i < UNROLL; ++i) {  // spread over [7, 2^32 - 1)
        dividends[i] = static_cast<std::uint32_t>(((std::uint64_t{1} << 32) - 8) * i / UNROLL + 7);
    }
    measure(
        state,
        [&] {
#pragma GCC unroll 1
            for (std::size_t block = 0; block < THROUGHPUT_BLOCKS; ++block) {
                benchmark::DoNotOptimize(dividends);  // unknown to the compiler, read afresh
                unrolled([&](auto i) { consume(Quotient(dividends[i])); },
                         std::make_index_sequence<UNROLL>{});
            }
        },
        THROUGHPUT_BLOCKS * UNROLL, false);
    bool right = true;
    for (const std::uint32_t n : dividends) right = right && Quotient(n) == Expected(n);
    check(state, right);
}

// The TSC frequency in Hz and where it comes from: CPUID leaf 0x15 where the
// processor gives it, the hypervisor's timing leaf 0x40000010 where that
// exists, else measured against the monotonic clock.
std::pair<double, std::string> tsc_frequency() {
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(0x15, &eax, &ebx, &ecx, &edx) != 0 && eax != 0 && ebx != 0 && ecx != 0) {
        return {static_cast<double>(std::uint64_t{ecx} * ebx / eax), "CPUID leaf 0x15"};
    }
    __cpuid(0x40000000, eax, ebx, ecx, edx);
    if (hypervisor_present() && eax >= 0x40000010) {
        __cpuid(0x40000010, eax, ebx, ecx, edx);
        if (eax != 0) return {eax * 1000.0, "hypervisor leaf 0x40000010"};
    }
    const auto begin = std::chrono::steady_clock::now();
    const std::uint64_t first = fenced_tsc();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::uint64_t ticks = fenced_tsc() - first;
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - begin;
    return {static_cast<double>(ticks) / seconds.count(), "measured over 200 ms"};
}

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

bool calibrations_disagree() {
    return std::fabs(cycles_per_tick_after / cycles_per_tick_before - 1) > CALIBRATION_MARGIN;
}

// Calibrates after the last row, once, and adds it to the context.
void calibrate_after_the_rows() {
    if (cycles_per_tick_after != 0) return;
    cycles_per_tick_after = calibrate();
    const double change = (cycles_per_tick_after / cycles_per_tick_before - 1) * 100;
    benchmark::AddCustomContext("core_cycles_per_tick_after",
                                fixed(cycles_per_tick_after, 4) + " (" + (change >= 0 ? "+" : "") +
                                    fixed(change, 2) + " % from before; beyond " +
                                    fixed(CALIBRATION_MARGIN * 100, 0) + " % the run fails)");
}

// Holds a report back until the rows are done, then reports context (with
// both calibrations) and rows through shown, in the format asked for and to
// the stream the library gave this reporter: the console, or the file of
// --benchmark_out.
class after_the_rows : public benchmark::BenchmarkReporter {
  public:
    explicit after_the_rows(benchmark::BenchmarkReporter* shown) : shown_(shown) {}

    bool ReportContext(const Context& context) override {
        context_ = &context;
        return true;
    }

    // The control row is judged on the runs reported, not on the library's
    // first short tries at finding an iteration count.
    void ReportRuns(const std::vector<Run>& runs) override {
        runs_.push_back(runs);
        for (Run& run : runs_.back()) {
            if (run.run_type != Run::RT_Iteration || run.run_name.function_name != CONTROL_ROW) {
                continue;
            }
            const double cycles = run.counters["cycles/op"];
            if (cycles >= CONTROL_CYCLES_LOW && cycles <= CONTROL_CYCLES_HIGH) continue;
            run.error_occurred = true;
            run.error_message = "IMUL latency " + fixed(cycles, 2) +
                                " cycles, not 3: the calibration does not hold here";
            row_failed = true;
        }
    }

    void Finalize() override {
        calibrate_after_the_rows();
        shown_->SetOutputStream(&GetOutputStream());
        shown_->SetErrorStream(&GetErrorStream());
        if (context_ == nullptr || !shown_->ReportContext(*context_)) return;
        for (const std::vector<Run>& runs : runs_) shown_->ReportRuns(runs);
        shown_->Finalize();
    }

  private:
    benchmark::BenchmarkReporter* shown_;
    const Context* context_ = nullptr;
    std::vector<std::vector<Run>> runs_;
};

// The latency rows of a quotient sequence, for both kinds of dividend.
// Their results are checked against Expected: plain C++, or for the
// compiler's own n / 100u, the DIV instruction.
template <std::uint32_t (*Quotient)(std::uint32_t), std::uint32_t (*Expected)(std::uint32_t)>
void latency_rows(const std::string& name) {
    benchmark::RegisterBenchmark((name + "/latency/n=123").c_str(),
                                 latency<Quotient, Expected, small_dividend>);
    benchmark::RegisterBenchmark((name + "/latency/n~2^32").c_str(),
                                 latency<Quotient, Expected, dividend_near_2_32>);
}

// The value of --benchmark_out=, --benchmark_out_format= and the like in
// argv, or "": read before the library takes its flags out.
std::string flag_value(int argc, char** argv, const std::string& name) {
    const std::string prefix = "--" + name + "=";
    std::string value;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind(prefix, 0) == 0) value = argv[i] + prefix.size();
    }
    return value;
}

// The reporter for --benchmark_out in the format asked for; none for the
// deprecated csv, which the library makes itself, with no context.
std::unique_ptr<benchmark::BenchmarkReporter> file_reporter(const std::string& format) {
    if (format == "console") {
        return std::make_unique<benchmark::ConsoleReporter>(benchmark::ConsoleReporter::OO_None);
    }
    if (format == "csv") return nullptr;
    return std::make_unique<benchmark::JSONReporter>();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        std::printf("div100-bench %s\n", DIV100_VERSION);
        return 0;
    }
    benchmark::RegisterBenchmark(CONTROL_ROW, latency<multiply, multiply_expected, any_value>);
    latency_rows<divide, quotient_expected>("divide");
    latency_rows<reciprocal, quotient_expected>("reciprocal");
    latency_rows<compiler, divide>("compiler");
    benchmark::RegisterBenchmark("divide/throughput", throughput<divide, quotient_expected>);
    benchmark::RegisterBenchmark("reciprocal/throughput",
                                 throughput<reciprocal, quotient_expected>);
    benchmark::RegisterBenchmark("compiler/throughput", throughput<compiler, divide>);
    const std::unique_ptr<benchmark::BenchmarkReporter> in_file(
        file_reporter(flag_value(argc, argv, "benchmark_out_format")));
    const bool to_file = in_file && !flag_value(argc, argv, "benchmark_out").empty();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    empty_ticks = least_empty_sample(EMPTY_SAMPLES);
    cycles_per_tick_before = calibrate();
    const auto [hz, source] = tsc_frequency();
    benchmark::AddCustomContext("hypervisor", hypervisor_present() ? "yes" : "no");
    benchmark::AddCustomContext("tsc_frequency", fixed(hz, 0) + " Hz (" + source + ")");
    benchmark::AddCustomContext("core_cycles_per_tick_before", fixed(cycles_per_tick_before, 4));
    benchmark::AddCustomContext("core_clock", fixed(hz * cycles_per_tick_before / 1e9, 3) + " GHz");
    benchmark::AddCustomContext("calibration",
                                "least of " + std::to_string(CALIBRATION_SAMPLES) + " samples of " +
                                    std::to_string(CALIBRATION_ADDS) +
                                    " dependent 32-bit register ADDs, 1 core cycle each");
    benchmark::AddCustomContext(
        "samples", "least of each row's samples (" + std::to_string(LATENCY_BLOCKS * UNROLL) +
                       " chained or " + std::to_string(THROUGHPUT_BLOCKS * UNROLL) +
                       " independent operations), less the least empty sample (" +
                       std::to_string(empty_ticks) + " ticks)");
    benchmark::AddCustomContext(
        "latency_step", "next dividend = quotient XOR an immediate key; its 1 cycle is taken off");

    const std::unique_ptr<benchmark::BenchmarkReporter> shown(
        benchmark::CreateDefaultDisplayReporter());
    after_the_rows reporter(shown.get());
    after_the_rows file(in_file.get());
    benchmark::RunSpecifiedBenchmarks(&reporter, to_file ? &file : nullptr);
    benchmark::Shutdown();
    if (cycles_per_tick_after != 0 && calibrations_disagree()) {
        std::fprintf(stderr,
                     "div100-bench: the core clock changed during the run (%.4f, then "
                     "%.4f cycles per tick): the cycle counts do not hold\n",
                     cycles_per_tick_before, cycles_per_tick_after);
        return 1;
    }
    return row_failed ? 1 : 0;
}
