#include "timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cpu.h"
#include "fake_host.h"
#include "timing_asm.h"

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

// The harness's state and the priority as a host call finds them. A
// sampling loop that would start with nothing left to take runs 2^32
// samples: stop the run instead.
std::string harness_state() {
    if (sample_counter == 0 && best_cycles == NO_SAMPLE) throw std::logic_error("no samples left");
    const auto held = [](std::uint64_t minimum) { return minimum == NO_SAMPLE ? "none" : "set"; };
    return std::to_string(sample_counter) + " left, best " + held(best_cycles) + ", overhead " +
           held(overhead_cycles) + ", " + fake_host::priority_class();
}

// What a real timing run on the recording host did: what it printed, and the
// state (and priority) each sampling loop began from, at the time slice given
// up just before it, each print was made at, and it ended with.
struct timing_run {
    std::string printed;
    std::vector<std::string> loops_began;
    std::vector<std::string> printed_at;
    std::string ended;
};

template <kernel K>
timing_run time_it(const char* label) {
    fake_host::reset(0, harness_state);
    char buffer[NUMBER_BUFFER_SIZE] = {};
    time_kernel<K>(buffer, label);
    timing_run run;
    for (const std::string& call : fake_host::calls()) {
        const std::size_t state = call.rfind(" [");
        const std::string at = call.substr(state + 2, call.size() - state - 3);
        if (call.rfind("Sleep(0)", 0) == 0) run.loops_began.push_back(at);
        if (call.rfind("WriteFile(out, ", 0) == 0) {
            run.printed += call.substr(15, state - 16);
            run.printed_at.push_back(at);
        }
    }
    run.ended = harness_state();
    return run;
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

// A real timing run of each kernel: each loop starts from a full counter and
// takes every sample at high priority, the empty loop's minimum lands in
// overhead_cycles and the kernel loop's in best_cycles, each from a real
// sample, and the count and label are printed at normal priority.
TEST(TimeKernel, EachLoopTakesEverySampleIntoItsOwnMinimumThenPrintsAtNormalPriority) {
    const std::string done = "0 left, best set, overhead set, NORMAL_PRIORITY_CLASS";
    for (const auto& [run, label] :
         {std::pair{time_it<div_kernel>(DIV_LABEL.bytes), std::string(DIV_LABEL.bytes)},
          {time_it<reciprocal_kernel>(RECIPROCAL_LABEL.bytes), RECIPROCAL_LABEL.bytes}}) {
        EXPECT_EQ(run.loops_began, (std::vector<std::string>{
                                       "1000 left, best none, overhead none, HIGH_PRIORITY_CLASS",
                                       "1000 left, best none, overhead set, HIGH_PRIORITY_CLASS"}));
        EXPECT_EQ(run.printed_at, (std::vector<std::string>{done, done}));
        EXPECT_EQ(run.ended, done);
        const std::string count = run.printed.substr(0, run.printed.size() - label.size());
        EXPECT_FALSE(count.empty());
        EXPECT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << count;
        EXPECT_EQ(run.printed.substr(count.size()), label);
    }
}
