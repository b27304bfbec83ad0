// div100-bench: the tool's question answered in core clock cycles, without
// CPUID in any timed region, for machines (virtual ones above all) where the
// tool's CPUID-framed counts are noise and no performance counter is to be
// had. The rows are rows.cpp's, the verdict verdict.cpp's, the flags it
// passes on flags.cpp's, the reports report.cpp's; here they are put
// together: flags refused or passed on, the core named, the controls
// measured, the rows run and reported, the verdict said.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "chains.h"
#include "compare.h"
#include "cores.h"
#include "cpu.h"
#include "flags.h"
#include "report.h"
#include "rows.h"
#include "verdict.h"

extern char** environ;

namespace {

constexpr int EMPTY_SAMPLES = 10000;
constexpr const char* BENCH = "div100-bench: ";

// One line on standard error for a failure that fails the run.
void fail_with(const std::string& why) { std::fprintf(stderr, "%s%s\n", BENCH, why.c_str()); }

#ifdef DIV100_BENCH_FAULTS
// The tests' build stands in for other machines, as the variable
// DIV100_BENCH_FAULT asks, its items separated by commas: "calibration",
// every calibration sample reads twice its ticks (the control then reads
// about a third of its cycles); "clock", only those after the rows do (a core
// clock that changed during the run); "cpu=VENDOR/FAMILY/MODEL" (hexadecimal
// numbers), CPUID names that core; "control=CYCLES", the control reads that.
std::string fault(const char* name) {
    const char* asked = std::getenv("DIV100_BENCH_FAULT");
    const std::string items = std::string(",") + (asked == nullptr ? "" : asked) + ",";
    const std::string lead = std::string(",") + name;
    const std::size_t at = items.find(lead);
    if (at == std::string::npos) return "";
    const std::size_t value = at + lead.size();
    if (items[value] == ',') return "yes";
    if (items[value] != '=') return "";
    return items.substr(value + 1, items.find(',', value) - value - 1);
}
#else
std::string fault(const char*) { return ""; }
#endif

cpu_signature this_cpu() {
    cpu_signature cpu = read_cpu_signature();
    const std::string stand_in = fault("cpu");
    if (!stand_in.empty()) {
        unsigned family = 0;
        unsigned model = 0;
        char vendor[13] = {};
        if (std::sscanf(stand_in.c_str(), "%12[^/]/%x/%x", vendor, &family, &model) == 3) {
            std::memcpy(cpu.vendor, vendor, sizeof vendor);
            cpu.family = family;
            cpu.model = model;
            std::snprintf(cpu.brand, sizeof cpu.brand, "a stand-in for the tests");
        }
    }
    return cpu;
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

// The core as CPUID reports it: a hypervisor may report another than its
// host's (and a figure of the table then speaks of that one).
std::string core_text(const cpu_signature& cpu, const core_entry& core, bool hypervisor) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%s family 0x%X model 0x%X", cpu.vendor, cpu.family,
                  cpu.model);
    std::string brand = cpu.brand;
    while (!brand.empty() && brand.back() == ' ') brand.pop_back();
    return std::string(core.name) + " (" + numbers + (brand.empty() ? "" : ", \"" + brand + "\"") +
           "), as CPUID reports it" +
           (hypervisor ? "; under a hypervisor, which may report a core other than its host's"
                       : "");
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

int print_version() {
    errno = 0;
    std::printf("div100-bench %s\n", DIV100_VERSION);
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return 0;
    fail_with(std::string("cannot write the output: ") + std::strerror(errno ? errno : EIO));
    return 1;
}

// --compare BEFORE AFTER [--tolerance=PERCENT]
int compare(int argc, char** argv) {
    double tolerance = DEFAULT_TOLERANCE_PERCENT;
    if (argc == 5) {
        char* end = nullptr;
        const char* lead = "--tolerance=";
        if (std::strncmp(argv[4], lead, std::strlen(lead)) == 0) {
            tolerance = std::strtod(argv[4] + std::strlen(lead), &end);
        }
        if (end == nullptr || *end != '\0' || !(tolerance >= 0)) {
            fail_with(std::string(argv[4]) + ": expected --tolerance=PERCENT, from 0 on");
            return 2;
        }
    } else if (argc != 4) {
        fail_with("--compare: expected two JSON reports, and --tolerance=PERCENT if you will");
        return 2;
    }
    return compare_files(argv[2], argv[3], tolerance);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return print_version();
    if (argc >= 2 && std::strcmp(argv[1], "--compare") == 0) return compare(argc, argv);
    const flags asked = read_flags(argc, argv, environ, ROW_MIN_SECONDS);
    if (!asked.refusal.empty()) {
        fail_with(asked.refusal);
        return 2;
    }
    if (translated_by_qemu()) {
        fail_with(
            "x86 code is emulated here (QEMU's translator): no row would measure an x86 core");
        return 1;
    }
    const cpu_signature cpu = this_cpu();
    const core_entry& core = identify_core(cpu);
    if (!core.add_is_one_cycle) {
        fail_with(std::string("on this core (") + core.name +
                  ") a dependent ADD is not one core cycle: no calibration by ADDs holds here");
        return 1;
    }
    std::vector<std::string> arguments = asked.arguments;
    std::vector<char*> library_argv;
    for (std::string& argument : arguments) library_argv.push_back(argument.data());
    library_argv.push_back(nullptr);
    int library_argc = static_cast<int>(arguments.size());

    measuring how;
    if (!fault("calibration").empty() || !fault("clock").empty()) {
        how.fault_scale_ticks = 2;
        how.only_after_rows = fault("calibration").empty();
    }
    const std::string published =
        core.source == nullptr ? "" : std::string(" (") + core.source + ")";
    if (core.divide != nullptr)
        how.label_divide = std::string("DIV r32 ") + core.divide + published;
    if (core.multiply != nullptr) {
        how.label_multiply = std::string("MUL r32 ") + core.multiply + published;
    }
    register_rows(how);
    const std::unique_ptr<benchmark::BenchmarkReporter> in_file(file_reporter(asked.out_format));
    benchmark::Initialize(&library_argc, library_argv.data());
    if (benchmark::ReportUnrecognizedArguments(library_argc, library_argv.data())) return 2;

    verdict judged;
    judged.core = &core;
    how.empty_ticks = least_empty_sample(EMPTY_SAMPLES);
    rows_end end{&judged, &how};
    end.per_tick_before = calibrate(how);
    const std::string stand_in = fault("control");
    const double control = stand_in.empty() ? control_latency(how) : std::atof(stand_in.c_str());
    judged.judge_control(control);
    end.mul_floor = mul_throughput(how);
    const auto [hz, source] = tsc_frequency();
    const bool hypervisor = hypervisor_present();
    benchmark::AddCustomContext("core", core_text(cpu, core, hypervisor));
    benchmark::AddCustomContext("hypervisor", hypervisor ? "yes" : "no");
    // The same instructions can take other times in the two modes (a 32-bit
    // MUL writes RDX whole in 64-bit mode): a comparison across builds says
    // which it compares.
    benchmark::AddCustomContext(
        "mode", sizeof(void*) == 8 ? "64-bit (x86-64 build)" : "32-bit (i686 build)");
    benchmark::AddCustomContext("tsc_frequency", fixed(hz, 0) + " Hz (" + source + ")");
    benchmark::AddCustomContext("core_cycles_per_tick_before", fixed(end.per_tick_before, 4));
    benchmark::AddCustomContext("core_clock", fixed(hz * end.per_tick_before / 1e9, 3) + " GHz");
    benchmark::AddCustomContext("calibration",
                                "least of the samples of " + std::to_string(CALIBRATION_ADDS) +
                                    " dependent 32-bit register ADDs, 1 core cycle each");
    benchmark::AddCustomContext(
        "samples", "least of each row's samples (at least " + std::to_string(ROW_SAMPLES_AT_LEAST) +
                       "; 1024 chained or 16384 independent operations each), less the least "
                       "empty sample (" +
                       std::to_string(how.empty_ticks) + " ticks)");
    if (asked.min_time_raised) {
        benchmark::AddCustomContext(
            "min_time", "raised to " + fixed(ROW_MIN_SECONDS, 2) + " s from the " +
                            asked.min_time_asked +
                            " asked, so that no row is the least of a handful of samples");
    }
    benchmark::AddCustomContext(
        "latency_step", "next dividend = quotient XOR an immediate key; its 1 cycle is taken off");
    benchmark::AddCustomContext("control", "IMUL r32 latency " + fixed(control, 2) +
                                               " cycles, expected " + fixed(core.imul_latency, 0) +
                                               " on this core (" + CONTROL_SOURCE + ")");
    benchmark::AddCustomContext(
        "mul_throughput",
        "MUL r32 throughput " + fixed(end.mul_floor, 2) +
            " cycles: no row holding one (reciprocal/throughput) can read faster");
    benchmark::AddCustomContext(
        "published",
        core.source == nullptr
            ? std::string("no published figures for this core are at hand")
            : "DIV r32 " + std::string(core.divide) + "; MUL r32 " + core.multiply + published);
    benchmark::AddCustomContext(
        "time",
        "each row's Time is its cycles/op as nanoseconds at a nominal 1 GHz, not a duration: "
        "compare.py then compares cycles (tsc/op over tsc_frequency is the duration)");

    const std::unique_ptr<benchmark::BenchmarkReporter> shown(
        benchmark::CreateDefaultDisplayReporter());
    after_the_rows reporter(shown.get(), &end);
    after_the_rows file(in_file.get(), &end);
    // The library itself says why where no row matches the filter; a list
    // of the rows is written to the console without the reporter.
    errno = 0;
    const bool ran =
        benchmark::RunSpecifiedBenchmarks(&reporter, asked.out.empty() ? nullptr : &file) != 0;
    benchmark::Shutdown();
    const int console_error =
        reporter.write_error() != 0 ? reporter.write_error() : flush_error(std::cout, std::cerr);
    for (const std::string& failure : judged.failures()) fail_with(failure);
    if (console_error != 0) {
        fail_with(std::string("cannot write the output: ") + std::strerror(console_error));
    }
    if (file.write_error() != 0) {
        fail_with("cannot write " + asked.out + ": " + std::strerror(file.write_error()));
    }
    if (end.too_few) {
        fail_with("a row was the least of fewer than " + std::to_string(ROW_SAMPLES_AT_LEAST) +
                  " samples: raise --benchmark_min_time");
    }
    const bool failed = !judged.holds() || end.wrong_result || end.too_few || console_error != 0 ||
                        file.write_error() != 0;
    return ran && !failed ? 0 : 1;
}
