#include "chains.h"

#include <gtest/gtest.h>

#include <cstdint>

TEST(AddChain, RunsExactlyTheAddsItCounts) {
    std::uint32_t adds = 0;
    add_chain_sample(&adds);
    EXPECT_EQ(adds, static_cast<std::uint32_t>(CALIBRATION_ADDS));
}

// A worked example: the 8000 ADDs took 4000 ticks beyond an empty sample of
// 40, so a tick is 2 core cycles; 960 ticks of work beyond the empty sample
// over 100 operations are 19.2 cycles each, 18.2 for a latency chain, whose
// XOR step of one cycle is taken off.
TEST(CyclesPerOperation, ConvertsTicksWithTheCalibrationTakenAmongTheSamples) {
    chain_minima least;
    least.work = 1000;
    least.add_chain = 4040;
    EXPECT_DOUBLE_EQ(cycles_per_operation(least, 40, 100, false), 19.2);
    EXPECT_DOUBLE_EQ(cycles_per_operation(least, 40, 100, true), 18.2);
    least.add_chain = 40;  // no longer than an empty sample: says nothing
    EXPECT_LT(cycles_per_operation(least, 40, 100, false), 0);
    least.add_chain = 4040;
    least.work = 30;  // below the empty sample: no time, not a wrapped one
    EXPECT_DOUBLE_EQ(cycles_per_operation(least, 40, 100, false), 0);
}

TEST(ChainMinima, KeepTheLeastOfEachKindOfSample) {
    chain_minima least;
    for (const std::uint64_t calibration : {500u, 300u, 400u}) least.sample(calibration, [] {});
    EXPECT_EQ(least.add_chain, 300u);
    EXPECT_LT(least.work, NO_SAMPLE);
}
