#include "timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "fake_host.h"

using fake_host::call_list;

namespace {

std::uint64_t after_sample(std::uint64_t minimum, std::uint64_t start, std::uint64_t end) {
    keep_minimum(start, end, &minimum);
    return minimum;
}

template <kernel K>
void expect_timing_run(const char* label) {
    fake_host::reset();
    char buffer[NUMBER_BUFFER_SIZE] = {};
    time_kernel<K>(buffer, label);
    const std::string count = buffer;
    ASSERT_FALSE(count.empty());
    EXPECT_EQ(count.find_first_not_of("0123456789"), std::string::npos) << count;
    EXPECT_EQ(
        fake_host::calls(),
        (call_list{"SetPriorityClass(process, HIGH_PRIORITY_CLASS)", "Sleep(0)", "Sleep(0)",
                   "SetPriorityClass(process, NORMAL_PRIORITY_CLASS)",
                   "WriteFile(out, " + count + ")", "WriteFile(out, " + std::string(label) + ")"}));
}

}  // namespace

TEST(KeepMinimum, TakesTheSampleOnlyWhenStrictlySmaller) {
    const std::uint64_t none = ~std::uint64_t{0};
    EXPECT_EQ(after_sample(none, 100, 350), 250u);  // the first sample replaces all ones
    EXPECT_EQ(after_sample(250, 100, 351), 250u);
    EXPECT_EQ(after_sample(250, 100, 349), 249u);
}

TEST(KeepMinimum, ComparesHighHalvesFirstAndBothAsUnsigned) {
    EXPECT_EQ(after_sample(0x100000000, 0, 0xFFFFFFFF), 0xFFFFFFFFu);
    EXPECT_EQ(after_sample(0xFFFFFFFF, 0, 0x100000000), 0xFFFFFFFFu);
    EXPECT_EQ(after_sample(0x80000000, 0, 0x7FFFFFFF), 0x7FFFFFFFu);
    EXPECT_EQ(after_sample(0x8000000000000000, 0, 0x7FFFFFFFFFFFFFFF), 0x7FFFFFFFFFFFFFFFu);
}

TEST(KeepMinimum, SampleIsTheCounterDifferenceModulo2To64) {
    const std::uint64_t none = ~std::uint64_t{0};
    EXPECT_EQ(after_sample(none, 0x1FFFFFFFF, 0x200000005), 6u);  // borrow across the halves
    EXPECT_EQ(after_sample(none, 10, 4), none - 5);               // the counter went back
}

TEST(KernelCycles, IsTheDifferenceOfTheMinimaAndNeverWraps) {
    EXPECT_EQ(kernel_cycles(540, 500), 40u);
    EXPECT_EQ(kernel_cycles(500, 500), 0u);
    EXPECT_EQ(kernel_cycles(499, 500), 0u);
    EXPECT_EQ(kernel_cycles(0x100000002, 0xFFFFFFFF), 3u);
}

TEST(TimeKernel, SamplesAtHighPriorityThenPrintsTheCountAndItsLabel) {
    expect_timing_run<div_kernel>(DIV_LABEL.bytes);
    expect_timing_run<reciprocal_kernel>(RECIPROCAL_LABEL.bytes);
}
