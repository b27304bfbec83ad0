#include "cpu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Whether /proc/cpuinfo's flags hold flag; -1 where there is no such file.
int cpuinfo_flag(const std::string& flag) {
    std::ifstream info("/proc/cpuinfo");
    if (!info) return -1;
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("flags", 0) == 0) {
            return (line + " ").find(" " + flag + " ") != std::string::npos ? 1 : 0;
        }
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
