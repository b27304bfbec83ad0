#include "latency.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "fake_host.h"

TEST(ChainLatencies, ArePrintedRoundedToTenthsWhereTheyAreFigures) {
    fake_host::reset();
    print_chain_latencies({8.98, 5.949});
    EXPECT_EQ(fake_host::printed(),
              "Latency in core cycles, no CPUID: 9.0 div, 5.9 magic number\r\n");
    for (const chain_latencies unprintable : {chain_latencies{-1, 6}, {9, 100000}}) {
        fake_host::reset();
        print_chain_latencies(unprintable);
        EXPECT_EQ(fake_host::printed(), "");
    }
}

// The figures are measured at high priority, and the range check and both
// key waits that follow run at normal priority again. Each figure is its own
// sequence's: on every x86 core a 32-bit DIV takes longer than an ADD, a MUL
// and a shift. (Unoptimised, each step of a chain goes through memory, and
// the chains measure that instead.)
TEST(ChainLatencies, EachIsItsOwnSequencesMeasuredAtHighPriority) {
    fake_host::reset();
    const chain_latencies figures = measure_chain_latencies();
    const auto& calls = fake_host::calls();
    EXPECT_NE(
        std::find(calls.begin(), calls.end(), "SetPriorityClass(process, HIGH_PRIORITY_CLASS)"),
        calls.end());
    EXPECT_EQ(fake_host::priority_class(), "NORMAL_PRIORITY_CLASS");
    EXPECT_GT(figures.reciprocal, 0);
#ifdef __OPTIMIZE__
    EXPECT_GT(figures.div, figures.reciprocal + 1);
#endif
}
