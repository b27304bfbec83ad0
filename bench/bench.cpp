// div100-bench: the tool's question answered in core clock cycles, without
// CPUID in any timed region, for machines (virtual ones above all) where the
// tool's CPUID-framed counts are noise and no performance counter is to be
// had. Rows: the 32-bit DIV, the tool's reciprocal sequence and whatever g++
// emits for n / 100u, each for latency (a dependency chain) and throughput
// (independent dividends), and a control of known latency, a chain of IMULs.
//
// Each row is measured as src/chains.h measures: the least of many short
// samples, each converted with calibration samples taken among its own. The
// calibrations before and after all rows go into the context: a core clock
// that changed during the run makes them differ, and beyond
// CALIBRATION_MARGIN the run fails. A total over the whole run would also
// count the time the core's other hardware thread, or a hypervisor, takes
// from it; throughput rows, which need the execution ports, lose most to
// that, and by an amount that changes from one second to the next. The least
// short sample is the work alone.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "chains.h"

namespace {

// Blocks of CHAIN_UNROLL independent operations per throughput sample.
constexpr std::size_t THROUGHPUT_BLOCKS = 256;
constexpr std::size_t UNROLL = CHAIN_UNROLL;

constexpr int CALIBRATION_SAMPLES = 2000;
constexpr int EMPTY_SAMPLES = 10000;
// How far the calibrations before and after the rows may differ.
constexpr double CALIBRATION_MARGIN = 0.10;

std::uint32_t compiler(std::uint32_t n) { return n / DIVISOR; }

// The control: a 32-bit IMUL, latency 3 on every current Intel and AMD core.
// A control row outside CONTROL_CYCLES_LOW to CONTROL_CYCLES_HIGH says the
// calibration does not hold on this machine, and fails the run: within 10 %,
// so that a calibration 11 % off (a ninth more ADDs than it counts) fails.
constexpr std::uint32_t CONTROL_FACTOR = 0x01000193u;
constexpr double CONTROL_CYCLES_LOW = 2.7;
constexpr double CONTROL_CYCLES_HIGH = 3.3;
constexpr const char* CONTROL_ROW = "control/imul/latency";
// The bench's own measurement of the control, taken on every run whatever
// the filter and the reporting flags: CONTROL_SAMPLES samples of its chain.
constexpr int CONTROL_SAMPLES = 2000;
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

// Set once the rows are done, for the calibration after them.
bool rows_done = false;

#ifdef DIV100_BENCH_FAULTS
// The tests' build stands in for a machine whose calibration fails, as the
// variable DIV100_BENCH_FAULT asks: "calibration", every calibration sample
// reads twice its ticks (the control then reads about 1 cycle); "clock", only
// those after the rows do (a core clock that changed during the run).
std::uint64_t fault_scale() {
    const char* fault = std::getenv("DIV100_BENCH_FAULT");
    const std::string asked = fault == nullptr ? "" : fault;
    return asked == "calibration" || (asked == "clock" && rows_done) ? 2 : 1;
}
#else
constexpr std::uint64_t fault_scale() { return 1; }
#endif

std::uint64_t calibration_sample() { return add_chain_sample() * fault_scale(); }

// Core cycles per TSC tick from the least of CALIBRATION_SAMPLES samples of
// the ADD chain.
double calibrate() {
    std::uint64_t least = NO_SAMPLE;
    for (int i = 0; i < CALIBRATION_SAMPLES; ++i) least = std::min(least, calibration_sample());
    return cycles_per_tick(least, empty_ticks);
}

double cycles_per_tick_before = 0;
double cycles_per_tick_after = 0;

// A row's samples, as many as the library asks for iterations, each after a
// calibration sample. Reports the least sample as core cycles and ticks per
// operation, less the chain's step for a latency row.
template <typename Work>
void measure(benchmark::State& state, Work work, std::size_t operations, bool latency_chain) {
    chain_minima least;
    for (auto _ : state) least.sample(calibration_sample(), work);
    const double cycles = cycles_per_operation(least, empty_ticks, operations, latency_chain);
    state.counters["cycles/op"] = cycles;
    state.counters["tsc/op"] = cycles / cycles_per_tick(least.add_chain, empty_ticks);
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

// The control chain's latency in core cycles, measured by the bench itself.
double control_latency() {
    chain_minima least;
    std::uint32_t n = any_value::START;
    for (int i = 0; i < CONTROL_SAMPLES; ++i) {
        least.sample(calibration_sample(), [&] { latency_chain<multiply, any_value>(n); });
    }
    return cycles_per_operation(least, empty_ticks, LATENCY_STEPS, true);
}

// The TSC frequency in Hz and where it comes from: CPUID leaf 0x15 where the
// processor gives it, the hypervisor's timing leaf 0x40000010 where that
// exists, else measured against the monotonic clock.
std::pair<double, std::string> tsc_frequency() {
    const char* source = nullptr;
    const std::uint64_t hz = tsc_hz_from_cpuid(&source);
    if (hz != 0) return {static_cast<double>(hz), source};
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

// The run's verdict on the calibration. The control fails where the bench's
// own control measurement, or any control row reported, reads outside
// CONTROL_CYCLES_LOW to CONTROL_CYCLES_HIGH: the first such figure is named.
// The clock fails where the calibrations before and after the rows differ by
// more than CALIBRATION_MARGIN.
std::string control_failure;
std::string clock_failure;

bool control_holds(double cycles) {
    return cycles >= CONTROL_CYCLES_LOW && cycles <= CONTROL_CYCLES_HIGH;
}

void judge_control(double cycles) {
    if (control_holds(cycles) || !control_failure.empty()) return;
    control_failure =
        "IMUL latency " + fixed(cycles, 2) + " cycles, not 3: the calibration does not hold here";
}

// Calibrates after the last row, once, judges the clock and adds both, and
// the verdict, to the context.
void calibrate_after_the_rows() {
    if (rows_done) return;
    rows_done = true;
    cycles_per_tick_after = calibrate();
    const double change = (cycles_per_tick_after / cycles_per_tick_before - 1) * 100;
    const std::string margin = fixed(CALIBRATION_MARGIN * 100, 0) + " %";
    benchmark::AddCustomContext("core_cycles_per_tick_after",
                                fixed(cycles_per_tick_after, 4) + " (" + (change >= 0 ? "+" : "") +
                                    fixed(change, 2) + " % from before; beyond " + margin +
                                    " the run fails)");
    if (!(std::fabs(change) <= CALIBRATION_MARGIN * 100)) {
        clock_failure = "the core clock changed during the run (" +
                        fixed(cycles_per_tick_before, 4) + ", then " +
                        fixed(cycles_per_tick_after, 4) +
                        " cycles per tick): the cycle counts do not hold";
    }
    std::string verdict = control_failure;
    if (!clock_failure.empty()) verdict += (verdict.empty() ? "" : "; ") + clock_failure;
    benchmark::AddCustomContext(
        "verdict", verdict.empty() ? "holds: the control within " + fixed(CONTROL_CYCLES_LOW, 1) +
                                         " to " + fixed(CONTROL_CYCLES_HIGH, 1) +
                                         " cycles, the calibrations within " + margin
                                   : "fails: " + verdict);
}

// The error number of the first write to either stream that failed (EIO
// where it is not known), or 0 where both have taken all they were given;
// errno is 0 before the first write.
int flush_error(std::ostream& one, std::ostream& other) {
    if (one.flush() && other.flush()) return 0;
    return errno != 0 ? errno : EIO;
}

// Holds a report back until the rows are done, then reports context (with
// both calibrations and the verdict) and rows through shown, in the format
// asked for and to the stream the library gave this reporter: the console,
// or the file of --benchmark_out. A failing control shows on every control
// row, aggregates included.
class after_the_rows : public benchmark::BenchmarkReporter {
  public:
    explicit after_the_rows(benchmark::BenchmarkReporter* shown) : shown_(shown) {}

    bool ReportContext(const Context& context) override {
        context_ = &context;
        return true;
    }

    // Control rows are judged on the runs reported, not on the library's
    // first short tries at finding an iteration count.
    void ReportRuns(const std::vector<Run>& runs) override {
        runs_.push_back(runs);
        for (const Run& run : runs) {
            const auto cycles = run.counters.find("cycles/op");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred &&
                run.run_name.function_name == CONTROL_ROW && cycles != run.counters.end()) {
                judge_control(cycles->second);
            }
        }
    }

    void Finalize() override {
        calibrate_after_the_rows();
        errno = 0;  // a failed write leaves its error number; the flush below may not
        for (std::vector<Run>& runs : runs_) {
            for (Run& run : runs) {
                if (control_failure.empty() || run.run_name.function_name != CONTROL_ROW) continue;
                run.error_occurred = true;
                run.error_message = control_failure;
            }
        }
        shown_->SetOutputStream(&GetOutputStream());
        shown_->SetErrorStream(&GetErrorStream());
        if (context_ != nullptr && shown_->ReportContext(*context_)) {
            for (const std::vector<Run>& runs : runs_) shown_->ReportRuns(runs);
            shown_->Finalize();
        }
        write_error_ = flush_error(GetOutputStream(), GetErrorStream());
    }

    // The error number of a report that could not be written, or 0.
    int write_error() const { return write_error_; }

  private:
    benchmark::BenchmarkReporter* shown_;
    const Context* context_ = nullptr;
    std::vector<std::vector<Run>> runs_;
    int write_error_ = 0;
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

// A flag as the library takes it, read before it takes its flags out: the
// last --NAME=VALUE among the arguments, else the variable NAME in capitals.
struct flag_setting {
    std::string as_given;  // "--name=value" or "NAME=value"; "" where not set
    std::string value;
};

flag_setting setting(int argc, char** argv, const std::string& name) {
    const std::string prefix = "--" + name + "=";
    for (int i = argc - 1; i > 0; --i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
            return {argv[i], argv[i] + prefix.size()};
        }
    }
    std::string variable = name;
    for (char& c : variable) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const char* value = std::getenv(variable.c_str());
    if (value == nullptr) return {};
    return {variable + "=" + value, value};
}

bool whole_from_1(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && value >= 1 &&
           value <= std::numeric_limits<std::int32_t>::max();
}
bool seconds_above_0(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value) && value > 0;
}
bool report_format(const std::string& text) {
    return text == "console" || text == "json" || text == "csv";
}
bool time_unit(const std::string& text) {
    return text.empty() || text == "ns" || text == "us" || text == "ms" || text == "s";
}
bool not_empty(const std::string& text) { return !text.empty(); }

// Flags whose values the library would crash on, or answer with its usage
// and status 0: refused here first.
struct flag_rule {
    const char* name;
    bool (*valid)(const std::string&);
    const char* expected;
};
constexpr flag_rule FLAG_RULES[] = {
    {"benchmark_repetitions", whole_from_1, "a whole number from 1 on"},
    {"benchmark_min_time", seconds_above_0, "a number of seconds above 0"},
    {"benchmark_format", report_format, "console, json or csv"},
    {"benchmark_out_format", report_format, "console, json or csv"},
    {"benchmark_time_unit", time_unit, "ns, us, ms or s"},
    {"benchmark_color", not_empty, "auto, true or false"},
};

// The first flag set to a value it cannot take, with what it takes; true
// where there is none.
bool flags_acceptable(int argc, char** argv) {
    for (const flag_rule& rule : FLAG_RULES) {
        const flag_setting flag = setting(argc, argv, rule.name);
        if (flag.as_given.empty() || rule.valid(flag.value)) continue;
        std::fprintf(stderr, "div100-bench: %s: expected %s\n", flag.as_given.c_str(),
                     rule.expected);
        return false;
    }
    return true;
}

// The reporter for --benchmark_out in the format asked for, made here (the
// library's own would bypass after_the_rows), csv included.
std::unique_ptr<benchmark::BenchmarkReporter> file_reporter(const std::string& format) {
    if (format == "console") {
        return std::make_unique<benchmark::ConsoleReporter>(benchmark::ConsoleReporter::OO_None);
    }
    if (format == "csv") {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        return std::make_unique<benchmark::CSVReporter>();
#pragma GCC diagnostic pop
    }
    return std::make_unique<benchmark::JSONReporter>();
}

// One line on standard error for a failure that fails the run.
void fail_with(const std::string& why) { std::fprintf(stderr, "div100-bench: %s\n", why.c_str()); }

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--version") {
        errno = 0;
        std::printf("div100-bench %s\n", DIV100_VERSION);
        if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
        fail_with(std::string("cannot write the output: ") + std::strerror(errno ? errno : EIO));
        return 1;
    }
    if (!flags_acceptable(argc, argv)) return 2;
    if (translated_by_qemu()) {
        fail_with(
            "x86 code is emulated here (QEMU's translator): no row would measure an x86 core");
        return 1;
    }
    benchmark::RegisterBenchmark(CONTROL_ROW, latency<multiply, multiply_expected, any_value>);
    latency_rows<divide, quotient_expected>("divide");
    latency_rows<reciprocal, quotient_expected>("reciprocal");
    latency_rows<compiler, divide>("compiler");
    benchmark::RegisterBenchmark("divide/throughput", throughput<divide, quotient_expected>);
    benchmark::RegisterBenchmark("reciprocal/throughput",
                                 throughput<reciprocal, quotient_expected>);
    benchmark::RegisterBenchmark("compiler/throughput", throughput<compiler, divide>);
    const std::string out = setting(argc, argv, "benchmark_out").value;
    const flag_setting out_format = setting(argc, argv, "benchmark_out_format");
    const std::unique_ptr<benchmark::BenchmarkReporter> in_file(
        file_reporter(out_format.as_given.empty() ? "json" : out_format.value));
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    empty_ticks = least_empty_sample(EMPTY_SAMPLES);
    cycles_per_tick_before = calibrate();
    const double control = control_latency();
    judge_control(control);
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
    benchmark::AddCustomContext(
        "control", "IMUL latency " + fixed(control, 2) + " cycles (least of " +
                       std::to_string(CONTROL_SAMPLES) + " samples, whatever rows are run)");

    const std::unique_ptr<benchmark::BenchmarkReporter> shown(
        benchmark::CreateDefaultDisplayReporter());
    after_the_rows reporter(shown.get());
    after_the_rows file(in_file.get());
    // The library itself says why where no row matches the filter; a list
    // of the rows is written to the console without the reporter.
    errno = 0;
    const bool ran =
        benchmark::RunSpecifiedBenchmarks(&reporter, out.empty() ? nullptr : &file) != 0;
    benchmark::Shutdown();
    const int console_error =
        reporter.write_error() != 0 ? reporter.write_error() : flush_error(std::cout, std::cerr);
    if (!control_failure.empty()) fail_with(control_failure);
    if (!clock_failure.empty()) fail_with(clock_failure);
    if (console_error != 0)
        fail_with(std::string("cannot write the output: ") + std::strerror(console_error));
    if (file.write_error() != 0) {
        fail_with("cannot write " + out + ": " + std::strerror(file.write_error()));
    }
    const bool failed = !control_failure.empty() || !clock_failure.empty() || console_error != 0 ||
                        file.write_error() != 0 || row_failed;
    return ran && !failed ? 0 : 1;
}
