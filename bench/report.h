#pragma once
// div100-bench's reports: every one (the console, the file of --benchmark_out
// in any format) is held back until the rows are done, so that its context
// holds both calibrations and the verdict; control rows and rows that cannot
// be true figures carry the verdict's error; and each row's time is its core
// cycles per operation at a nominal NOMINAL_HZ (a cycle a nanosecond), so
// that Google Benchmark's own tools compare what the rows measure.
#include <benchmark/benchmark.h>

#include <iosfwd>
#include <vector>

#include "rows.h"
#include "verdict.h"

constexpr double NOMINAL_HZ = 1e9;

// What every report needs once the rows are done, finished once by
// whichever report comes first.
struct rows_end {
    verdict* judged;
    measuring* how;
    double mul_floor = 0;  // the bench's own MUL r32 row
    double per_tick_before = 0;
    bool done = false;
    bool wrong_result = false;  // a row's results were not the sequence's
    bool too_few = false;       // a row was the least of too few samples

    // The calibration after the rows, the clock judged, both in the context.
    void finish();
};

class after_the_rows : public benchmark::BenchmarkReporter {
  public:
    after_the_rows(benchmark::BenchmarkReporter* shown, rows_end* end) : shown_(shown), end_(end) {}

    bool ReportContext(const Context& context) override;
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;

    // The error number of a report that could not be written, or 0.
    int write_error() const { return write_error_; }

  private:
    benchmark::BenchmarkReporter* shown_;
    rows_end* end_;
    const Context* context_ = nullptr;
    std::vector<std::vector<Run>> runs_;
    int write_error_ = 0;
};

// The error number of the first write to either stream that failed (EIO
// where it is not known), or 0 where both have taken all they were given;
// errno is 0 before the first write.
int flush_error(std::ostream& one, std::ostream& other);
