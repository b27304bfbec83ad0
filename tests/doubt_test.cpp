#include "doubt.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "cpu.h"
#include "fake_host.h"

TEST(CountDoubt, TrustsOnlyCheapCpuidWithoutAHypervisorAndAFineCounter) {
    EXPECT_EQ(count_doubt(false, 150, 1), COUNTS_HOLD);
    EXPECT_EQ(count_doubt(false, TRAPPED_CPUID_TICKS, FINEST_STEP), COUNTS_HOLD);
    EXPECT_EQ(count_doubt(true, 150, 1), CPUID_TRAPS);
    EXPECT_EQ(count_doubt(false, TRAPPED_CPUID_TICKS + 1, 1), CPUID_TRAPS);
    EXPECT_EQ(count_doubt(false, 150, FINEST_STEP + 1), COARSE_COUNTER);
    EXPECT_EQ(count_doubt(false, 150, 0), COARSE_COUNTER);  // a counter that never moved
    EXPECT_EQ(count_doubt(true, 2793, 21), CPUID_TRAPS | COARSE_COUNTER);
}

TEST(CountDoubtReport, SaysWhy) {
    for (const auto& [doubt, why] :
         {std::pair<unsigned, std::string>{CPUID_TRAPS, "CPUID traps to a hypervisor"},
          {COARSE_COUNTER, "counter step 26 ticks"},
          {CPUID_TRAPS | COARSE_COUNTER, "CPUID traps to a hypervisor, counter step 26 ticks"}}) {
        fake_host::reset();
        print_count_doubt(doubt, 26);
        EXPECT_EQ(fake_host::printed(), "Counts unresolved: " + why + "\r\n");
    }
}

constexpr char EMULATED[] =
    "x86 code is emulated here: no count or figure measures an x86 core\r\n";

// An empty sample that says CPUID traps: why, and then the figures (where
// qemu translates this code, as it runs the tests of the 32-bit exe on some
// machines, that it is emulated instead).
TEST(CountDoubtReport, WhereCpuidTrapsSaysSoAndGivesTheFigures) {
    fake_host::reset();
    report_count_doubt(TRAPPED_CPUID_TICKS + 1);
    const std::string out = fake_host::printed();
    if (translated_by_qemu()) {
        EXPECT_EQ(out, EMULATED);
        return;
    }
    EXPECT_EQ(out.rfind("Counts unresolved: CPUID traps to a hypervisor", 0), 0u) << out;
    EXPECT_NE(out.find("\r\nLatency in core cycles, no CPUID: "), std::string::npos) << out;
    EXPECT_EQ(fake_host::priority_class(), "NORMAL_PRIORITY_CLASS");
}

// On Windows on Arm the x86 code is emulated: one line says so, and nothing
// is measured or printed as core cycles. Where the machine is x86, or the
// host cannot tell, nothing is emulated.
TEST(CountDoubtReport, OnAnotherMachineSaysX86IsEmulatedInsteadOfAnyFigure) {
    fake_host::reset();
    fake_host::native_machine(0xAA64);
    report_count_doubt(TRAPPED_CPUID_TICKS + 1);
    EXPECT_EQ(fake_host::printed(), EMULATED);
    for (const USHORT native :
         {IMAGE_FILE_MACHINE_UNKNOWN, IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64}) {
        fake_host::reset();
        fake_host::native_machine(native);
        EXPECT_EQ(x86_emulated(), translated_by_qemu()) << native;
    }
}
