#include "range_check.h"

#include <gtest/gtest.h>

#include <string>

#include "fake_host.h"

using fake_host::call_list;

TEST(CheckBlock, PassesWholeBlocksWhereTheQuotientsAgree) {
    for (const std::uint32_t first : {0u, 1u, 99u, 2147483000u, RANGE_START, 4294966000u}) {
        EXPECT_EQ(check_block(first), first + BLOCK_SIZE) << first;
    }
}

TEST(CheckBlock, StopsAtTheDividendWhereTheIncrementWraps) {
    EXPECT_EQ(check_block(4294967000u), 4294967295u);
    EXPECT_EQ(check_block(4294966296u), 4294967295u);  // the block's last check
    EXPECT_EQ(check_block(4294967295u), 4294967295u);  // its first
}

TEST(VerifyRange, PrintsEveryCompletedBlockThenReturnsTheMismatchAndReportsIt) {
    fake_host::reset();
    const std::uint32_t mismatch = verify_range();
    EXPECT_EQ(mismatch, 4294967295u);
    report_mismatch(mismatch);
    call_list expected;
    for (std::uint64_t next = RANGE_START + BLOCK_SIZE; next <= 4294967000u; next += BLOCK_SIZE) {
        expected.insert(expected.end(), {"WriteFile(out, " + std::to_string(next) + ")",
                                         "WriteFile(out, \r\n)", "Sleep(1)"});
    }
    EXPECT_EQ(expected.size(), 967u * 3);
    expected.insert(expected.end(), {"WriteFile(out, mismatch at )", "WriteFile(out, 4294967295)",
                                     "WriteFile(out, \r\n)"});
    const call_list& calls = fake_host::calls();
    ASSERT_EQ(calls.size(), expected.size());
    for (std::size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i], expected[i]) << "call " << i;
}
