// div100-bench's rooms in-process: the core table over CPUID signatures, the
// flag rules, the comparison's test and pairing, and the verdict.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "compare.h"
#include "cores.h"
#include "flags.h"
#include "verdict.h"

namespace {

cpu_signature cpu(const char* vendor, unsigned family, unsigned model) {
    cpu_signature signature = {};
    std::snprintf(signature.vendor, sizeof signature.vendor, "%s", vendor);
    signature.family = family;
    signature.model = model;
    return signature;
}

// What read_flags makes of arguments and variables (each "NAME=value").
flags read(std::vector<std::string> arguments, std::vector<std::string> variables = {}) {
    arguments.insert(arguments.begin(), "div100-bench");
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    std::vector<char*> environment;
    for (std::string& v : variables) environment.push_back(v.data());
    environment.push_back(nullptr);
    return read_flags(static_cast<int>(argv.size()), argv.data(), environment.data(), 0.05);
}

}  // namespace

TEST(Cores, NameEachCoreAndTheControlItsTableExpects) {
    for (const auto& [signature, name, imul, calibration_holds] :
         {std::tuple{cpu("AuthenticAMD", 0x19, 0x21), "Zen 3", 3.0, true},
          {cpu("AuthenticAMD", 0x19, 0x11), "Zen 4", 3.0, true},
          {cpu("AuthenticAMD", 0x19, 0x61), "Zen 4", 3.0, true},
          {cpu("AuthenticAMD", 0x1A, 0x02), "Zen 5", 3.0, true},
          {cpu("GenuineIntel", 0x6, 0x97), "Alder Lake (Golden Cove and Gracemont)", 3.0, true},
          {cpu("GenuineIntel", 0x6, 0xB7), "Raptor Lake (Raptor Cove and Gracemont)", 3.0, true},
          {cpu("GenuineIntel", 0x6, 0xC6), "Arrow Lake (Lion Cove and Skymont)", 3.0, true},
          {cpu("GenuineIntel", 0x6, 0xA7), "Rocket Lake (Cypress Cove)", 3.0, true},
          {cpu("AuthenticAMD", 0x15, 0x02), "Bulldozer or Piledriver", 4.0, true},
          {cpu("AuthenticAMD", 0x15, 0x13), "Piledriver", 4.0, true},
          {cpu("GenuineIntel", 0x6, 0x1C), "Atom Bonnell", 5.0, true},
          {cpu("CentaurHauls", 0x6, 0x0F), "VIA Nano", 2.0, true},
          {cpu("GenuineIntel", 0xF, 0x04), "Pentium 4 (NetBurst)", 14.0, false},
          {cpu("GenuineIntel", 0x6, 0x01), "unknown", 3.0, true},
          {cpu("", 0, 0), "unknown", 3.0, true}}) {
        const core_entry& core = identify_core(signature);
        EXPECT_STREQ(core.name, name) << signature.vendor << " " << signature.model;
        EXPECT_EQ(core.imul_latency, imul) << name;
        EXPECT_EQ(core.add_is_one_cycle, calibration_holds) << name;
        EXPECT_EQ(core.divide == nullptr, core.source == nullptr) << name;
    }
    EXPECT_NE(identify_core(cpu("GenuineIntel", 0x6, 0xA7)).divide, nullptr);
}

TEST(Verdict, TakesTheControlOfItsCoreAndNamesWhatFails) {
    verdict judged;
    judged.core = &identify_core(cpu("AuthenticAMD", 0x15, 0x02));
    judged.judge_control(4.02);
    judged.judge_clock(1.70, 1.72);
    judged.judge_floor("reciprocal/throughput", 1.0, "MUL r32", 1.05);
    EXPECT_TRUE(judged.holds()) << judged.text();
    judged.judge_control(3.0);
    judged.judge_control(2.0);  // only the first is named
    EXPECT_EQ(judged.failures(),
              std::vector<std::string>{"control 3.00, expected 4 on this core (Bulldozer or "
                                       "Piledriver): the calibration does not hold here"});
    judged.judge_floor("reciprocal/throughput", 0.80, "MUL r32", 1.00);
    judged.judge_floor("reciprocal/throughput", 0.70, "MUL r32", 1.00);  // another repetition
    judged.judge_clock(1.70, 1.90);
    EXPECT_EQ(judged.failures().size(), 3u);
    EXPECT_EQ(judged.text().rfind("fails: control 3.00", 0), 0u) << judged.text();
    EXPECT_NE(judged.text().find("reciprocal/throughput reads 0.80 cycles, faster than its MUL r32 "
                                 "alone (1.00): it cannot be a true figure"),
              std::string::npos);
}

TEST(Flags, RefuseWhatTheBenchCannotHonourBeforeAnythingRuns) {
    for (const auto& [arguments, variables] :
         std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>{
             {{"--v=abc"}, {}},
             {{"--benchmark_min_warmup_time=abc"}, {}},
             {{"--benchmark_filterx=divide"}, {}},
             {{"divide"}, {}},
             {{"--benchmark_repetitions=0"}, {}},
             {{"--benchmark_report_aggregates_only=ture"}, {}},
             {{"--benchmark_context=verdict=holds"}, {}},
             {{"--benchmark_context=run=1,core=mine"}, {}},
             {{}, {"BENCHMARK_CONTEXT=verdict=holds"}},
             {{}, {"BENCHMARK_FORMAT=xml"}},
             {{"--benchmark_min_time=100x"}, {}},
             {{"--benchmark_perf_counters=CYCLES"}, {}}}) {
        EXPECT_FALSE(read(arguments, variables).refusal.empty())
            << (arguments.empty() ? variables[0] : arguments[0]);
    }
    const flags taken =
        read({"--benchmark_min_time=0.5s", "--benchmark_context=run=1", "--benchmark_list_tests",
              "--benchmark_out=a.json", "--benchmark_out=b.json", "--v=2"},
             {"BENCHMARK_MIN_TIME=0.25s", "BENCHMARK_OUT_FORMAT=csv"});
    EXPECT_EQ(taken.refusal, "");
    // As Google Benchmark 1.7 reads them, the variable's before the arguments.
    EXPECT_EQ(taken.arguments[1], "--benchmark_min_time=0.25");
    EXPECT_EQ(taken.arguments[2], "--benchmark_min_time=0.5");
    EXPECT_FALSE(taken.min_time_raised);
    const flags raised = read({"--benchmark_min_time=1e-9"});
    EXPECT_TRUE(raised.min_time_raised);
    EXPECT_EQ(raised.arguments.back(), "--benchmark_min_time=0.05");
    EXPECT_EQ(taken.out, "b.json");  // the last, as the library takes it
    EXPECT_EQ(taken.out_format, "csv");
}

TEST(Compare, TheUTestTellsChanceFromChange) {
    const std::vector<double> low = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const std::vector<double> high = {11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    EXPECT_NEAR(mann_whitney_p(low, high), 2.0 / 184756, 1e-12);  // exact: 2 / C(20, 10)
    EXPECT_DOUBLE_EQ(mann_whitney_p(low, low), 1.0);
    // As SciPy's mannwhitneyu gives them: exact (U = 2), and with ties the
    // normal approximation with its corrections (U = 0.5).
    EXPECT_NEAR(mann_whitney_p({1, 2, 3.5, 4}, {3, 5, 6, 7, 8}), 0.0634921, 1e-6);
    EXPECT_NEAR(mann_whitney_p({1, 1, 2}, {2, 3, 3}), 0.1101489, 1e-6);
}

TEST(Compare, PairsRowsByNameAndSaysWhichChanged) {
    const auto report = [](double divide, double reciprocal) {
        std::string runs;
        for (int i = 0; i < 5; ++i) {
            for (const auto& [name, cycles] : {std::pair{"divide/throughput", divide + i * 0.01},
                                               {"reciprocal/throughput", reciprocal + i * 0.01}}) {
                runs +=
                    std::string(runs.empty() ? "" : ",") + "{\"name\": \"" + name +
                    "\", \"run_name\": \"" + name +
                    "\", \"run_type\": \"iteration\", \"cycles/op\": " + std::to_string(cycles) +
                    "}";
            }
        }
        return "{\"context\": {}, \"benchmarks\": [" + runs + "]}";
    };
    std::string why;
    const std::vector<compared_row> rows = compare_reports(report(6, 1.5), report(6, 1.2), 3, &why);
    ASSERT_EQ(rows.size(), 2u) << why;
    EXPECT_EQ(rows[0].name, "divide/throughput");
    EXPECT_FALSE(rows[0].changed);
    EXPECT_TRUE(rows[1].changed);
    EXPECT_NEAR(rows[1].change_percent, -19.7, 0.1);
    EXPECT_TRUE(compare_reports("{\"benchmarks\": [", report(6, 1.2), 3, &why).empty());
}
