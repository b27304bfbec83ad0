#pragma once
// div100-bench --compare BEFORE.json AFTER.json: two runs of the bench
// (--benchmark_format=json or --benchmark_out, repeated, say
// --benchmark_repetitions=10) compared row by row in core cycles per
// operation, the figure the bench measures. Rows are paired by name; where
// both runs have repetitions enough for it to tell (4 each at least), a
// Mann-Whitney U test over them says whether the change is more than chance,
// as Google Benchmark's compare.py does for times; a row whose change is
// beyond the tolerance, and significant where the test can tell, fails the
// comparison.
#include <string>
#include <vector>

constexpr double DEFAULT_TOLERANCE_PERCENT = 5;
constexpr double SIGNIFICANCE = 0.05;

// The two-sided p-value of the Mann-Whitney U test that before and after
// come from one distribution: exact where there are no ties and few values,
// else from the normal approximation with the tie and continuity
// corrections.
double mann_whitney_p(const std::vector<double>& before, const std::vector<double>& after);

// One row of each run, as the comparison found it.
struct compared_row {
    std::string name;
    std::vector<double> before;  // cycles/op of each repetition
    std::vector<double> after;
    double change_percent;  // of the medians
    double p_value;         // -1 where the repetitions are too few for the test to tell
    bool changed;           // significant and beyond the tolerance
};

// The rows of both reports, paired by name, in the first report's order;
// why not, where a report cannot be read.
std::vector<compared_row> compare_reports(const std::string& before_text,
                                          const std::string& after_text, double tolerance_percent,
                                          std::string* why_not);

// Runs the comparison of the files named and prints it: exit status 0 where
// no row changed beyond tolerance_percent, 1 where one did, 2 where a file
// cannot be read or holds no row of the bench.
int compare_files(const char* before, const char* after, double tolerance_percent);
