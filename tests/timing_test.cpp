#include "timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cycle_chains.h"
#include "fake_host.h"
#include "timing_asm.h"

using fake_host::call_list;

namespace {

// One sample's bookkeeping through the sampling loops' own text.
std::uint64_t after_sample(std::uint64_t minimum, std::uint64_t start, std::uint64_t end) {
    asm volatile(
        "movl %[end_low], %%eax\n\t"
        "movl %[end_high], %%edx\n\t" KEEP_MINIMUM
        :
        : [minimum] "r"(&minimum), [start] "r"(&start),
          [end_low] "r"(static_cast<std::uint32_t>(end)),
          [end_high] "r"(static_cast<std::uint32_t>(end >> 32))
        : "eax", "edx", "cc", "memory");
    return minimum;
}

// The harness's state as a host call finds it. A sampling loop that would
// start with nothing left to take runs 2^32 samples: stop the run instead.
std::string harness_state() {
    if (sample_counter == 0 && best_cycles == NO_SAMPLE) throw std::logic_error("no samples left");
    const auto held = [](std::uint64_t minimum) { return minimum == NO_SAMPLE ? "none" : "set"; };
    return std::to_string(sample_counter) + " left, best " + held(best_cycles) + ", overhead " +
           held(overhead_cycles);
}

// A real timing run on the recording host: each loop starts from a full
// counter and takes every sample, the empty loop's minimum lands in
// overhead_cycles and the kernel loop's in best_cycles, each from a real
// sample, and the count and label are printed at normal priority.
template <kernel K>
void expect_timing_run(const char* label) {
    fake_host::reset(0, harness_state);
    char buffer[NUMBER_BUFFER_SIZE] = {};
    time_kernel<K>(buffer, label);
    const std::string count = buffer;
    ASSERT_FALSE(count.empty());
    EXPECT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << count;
    const std::string before = " [1000 left, best none, overhead none]";
    const std::string after = " [0 left, best set, overhead set]";
    EXPECT_EQ(fake_host::calls(),
              (call_list{"SetPriorityClass(process, HIGH_PRIORITY_CLASS)" + before,
                         "Sleep(0)" + before, "Sleep(0) [1000 left, best none, overhead set]",
                         "SetPriorityClass(process, NORMAL_PRIORITY_CLASS)" + after,
                         "WriteFile(out, " + count + ")" + after,
                         "WriteFile(out, " + std::string(label) + ")" + after}));
}

}  // namespace

// The 64-bit difference and compare in two 32-bit halves: the edges the
// real runs rarely meet.
TEST(KeepMinimum, TakesOnlyAStrictlySmallerDifferenceModulo2To64ComparedAsUnsigned) {
    const std::uint64_t none = NO_SAMPLE;
    EXPECT_EQ(after_sample(none, 100, 350), 250u);  // the first sample replaces all ones
    EXPECT_EQ(after_sample(250, 100, 351), 250u);
    EXPECT_EQ(after_sample(250, 100, 349), 249u);
    EXPECT_EQ(after_sample(0x100000000, 0, 0xFFFFFFFF), 0xFFFFFFFFu);  // high halves first
    EXPECT_EQ(after_sample(0xFFFFFFFF, 0, 0x100000000), 0xFFFFFFFFu);
    EXPECT_EQ(after_sample(0x80000000, 0, 0x7FFFFFFF), 0x7FFFFFFFu);  // unsigned
    EXPECT_EQ(after_sample(0x8000000000000000, 0, 0x7FFFFFFFFFFFFFFF), 0x7FFFFFFFFFFFFFFFu);
    EXPECT_EQ(after_sample(none, 0x1FFFFFFFF, 0x200000005), 6u);  // borrow across the halves
    EXPECT_EQ(after_sample(none, 10, 4), none - 5);               // the counter went back
}

TEST(KernelCycles, NeverWraps) {
    EXPECT_EQ(kernel_cycles(499, 500), 0u);
    EXPECT_EQ(kernel_cycles(0x100000002, 0xFFFFFFFF), 3u);
}

TEST(TimeKernel, EachLoopTakesEverySampleIntoItsOwnMinimumThenPrintsAtNormalPriority) {
    expect_timing_run<div_kernel>(DIV_LABEL.bytes);
    expect_timing_run<reciprocal_kernel>(RECIPROCAL_LABEL.bytes);
}

TEST(CountDoubt, TrustsOnlyCheapCpuidWithoutAHypervisorAndAFineCounter) {
    EXPECT_EQ(count_doubt(false, 150, 1), COUNTS_HOLD);
    EXPECT_EQ(count_doubt(false, TRAPPED_CPUID_TICKS, FINEST_STEP), COUNTS_HOLD);
    EXPECT_EQ(count_doubt(true, 150, 1), CPUID_TRAPS);
    EXPECT_EQ(count_doubt(false, TRAPPED_CPUID_TICKS + 1, 1), CPUID_TRAPS);
    EXPECT_EQ(count_doubt(false, 150, FINEST_STEP + 1), COARSE_COUNTER);
    EXPECT_EQ(count_doubt(false, 150, 0), COARSE_COUNTER);  // a counter that never moved
    EXPECT_EQ(count_doubt(true, 2793, 21), CPUID_TRAPS | COARSE_COUNTER);
}

namespace {

// What the calls so far wrote to standard output, run together.
std::string printed() {
    std::string out;
    for (const std::string& call : fake_host::calls()) {
        const std::string lead = "WriteFile(out, ";
        if (call.rfind(lead, 0) == 0)
            out += call.substr(lead.size(), call.size() - lead.size() - 1);
    }
    return out;
}

}  // namespace

TEST(CountDoubtReport, SaysWhyAndGivesTheFiguresRoundedToTenths) {
    for (const auto& [doubt, why] :
         {std::pair<unsigned, std::string>{CPUID_TRAPS, "CPUID traps to a hypervisor"},
          {COARSE_COUNTER, "counter step 26 ticks"},
          {CPUID_TRAPS | COARSE_COUNTER, "CPUID traps to a hypervisor, counter step 26 ticks"}}) {
        fake_host::reset();
        print_count_doubt(doubt, 26);
        EXPECT_EQ(printed(), "Counts unresolved: " + why + "\r\n");
    }
    fake_host::reset();
    print_chain_latencies({8.98, 5.949});
    EXPECT_EQ(printed(), "Latency in core cycles, no CPUID: 9.0 div, 5.9 magic number\r\n");
    for (const chain_latencies unprintable : {chain_latencies{-1, 6}, {9, 100000}}) {
        fake_host::reset();
        print_chain_latencies(unprintable);
        EXPECT_EQ(fake_host::calls(), call_list{});
    }
}

// On Windows on Arm the x86 code is emulated: one line says so, and nothing
// is measured or printed as core cycles. Where kernel32 lacks
// IsWow64Process2, or the machine is x86, nothing is emulated.
TEST(CountDoubtReport, OnAnotherMachineSaysX86IsEmulatedInsteadOfAnyFigure) {
    fake_host::reset();
    fake_host::native_machine(0xAA64);
    report_count_doubt();
    EXPECT_EQ(printed(), "x86 code is emulated here: no count or figure measures an x86 core\r\n");
    for (const USHORT native :
         {IMAGE_FILE_MACHINE_UNKNOWN, IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64}) {
        fake_host::reset();
        fake_host::native_machine(native);
        EXPECT_FALSE(x86_emulated()) << native;
    }
}

// The figures are measured at high priority, and the range check and both
// key waits that follow run at normal priority again. Each figure is its own
// sequence's: on every x86 core a 32-bit DIV takes longer than an ADD, a MUL
// and a shift. (Unoptimised, each step of a chain goes through memory, and
// the chains measure that instead.)
TEST(CountDoubtReport, MeasuresEachSequenceAtHighPriorityThenNormalAgain) {
    fake_host::reset();
    const chain_latencies figures = measure_chain_latencies();
    EXPECT_EQ(fake_host::calls(), (call_list{"SetPriorityClass(process, HIGH_PRIORITY_CLASS)",
                                             "SetPriorityClass(process, NORMAL_PRIORITY_CLASS)"}));
    EXPECT_GT(figures.reciprocal, 0);
#ifdef __OPTIMIZE__
    EXPECT_GT(figures.div, figures.reciprocal + 1);
#endif
}

namespace {

// Whether /proc/cpuinfo's flags hold flag; -1 where there is no such file.
int cpuinfo_flag(const std::string& flag) {
    std::ifstream info("/proc/cpuinfo");
    if (!info) return -1;
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("flags", 0) == 0)
            return (line + " ").find(" " + flag + " ") != std::string::npos;
    }
    return -1;
}

}  // namespace

// CPUID's bits as the kernel reads them.
TEST(Cpuid, SaysWhatTheKernelSaysOfTheHypervisorAndSse2) {
    if (cpuinfo_flag("sse2") < 0) GTEST_SKIP() << "no /proc/cpuinfo here";
    EXPECT_EQ(hypervisor_present(), cpuinfo_flag("hypervisor") == 1);
    EXPECT_EQ(lfence_available(), cpuinfo_flag("sse2") == 1);
}

TEST(CommonStep, IsTheGreatestCommonDivisorOfTheReadingsDifferences) {
    for (const auto& [readings, step] :
         {std::pair<std::vector<std::uint64_t>, std::uint64_t>{{100, 126, 178, 230}, 26},
          {{7, 7, 7}, 0},  // a counter that never moved
          {{0, 21, 63, 64}, 1},
          {{~std::uint64_t{0} - 20, 21}, 42}}) {  // across the wrap
        std::size_t next = 0;
        EXPECT_EQ(
            common_step(static_cast<int>(readings.size()) - 1, [&] { return readings[next++]; }),
            step);
    }
}

TEST(AddChain, RunsExactlyTheAddsItCountsAndTheyGiveCyclesPerTick) {
    std::uint32_t adds = 0;
    add_chain_sample(&adds);
    EXPECT_EQ(adds, static_cast<std::uint32_t>(CALIBRATION_ADDS));
    EXPECT_DOUBLE_EQ(cycles_per_tick(CALIBRATION_ADDS / 2 + 40, 40), 2.0);
    EXPECT_EQ(cycles_per_tick(40, 40), 0.0);
}
