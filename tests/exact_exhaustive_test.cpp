// div100-exact's sweep over all 2^32 dividends, on every core, against its
// reasoning: the tool's own sequence, the exact ones for 7 and 100, and some
// that are not.
#include <gtest/gtest.h>

#include "exact.h"
#include "sweep.h"

TEST(SweepOverAllDividends, FindsWhatTheReasoningFinds) {
    for (const sequence& seq : {sequence{100, 0xA3D70A3D, 38, increment::wrap},
                                sequence{100, 0x51EB851F, 37, increment::none},
                                sequence{7, 0x124924925, 35, increment::none},
                                sequence{7, 0x124924924, 35, increment::none},
                                sequence{641, 0x663D80, 32, increment::saturate},
                                sequence{4294967295u, 0xFFFFFFFF, 64 - 1, increment::wide64}}) {
        const sweep_result swept = sweep(seq);
        const check_result reasoned = check(seq);
        EXPECT_EQ(swept.first.found, reasoned.first.found) << seq.divisor << " " << seq.multiplier;
        EXPECT_EQ(swept.first.n, reasoned.first.n) << seq.divisor << " " << seq.multiplier;
    }
}
