#include "report.h"

#include <cerrno>
#include <ostream>
#include <string>

namespace {

// Throughput rows that hold a 32-bit MUL, and so cannot go faster than the
// bench's own row of it: the reciprocal's, and on i686 the compiler's, whose
// n / 100u is a MUL too.
bool holds_a_mul(const std::string& row) {
    return row == RECIPROCAL_THROUGHPUT_ROW ||
           (sizeof(void*) == 4 && row == COMPILER_THROUGHPUT_ROW);
}

double counter(const benchmark::BenchmarkReporter::Run& run, const char* name) {
    const auto found = run.counters.find(name);
    return found == run.counters.end() ? -1 : found->second.value;
}

// The run's time: its core cycles per operation as seconds at a nominal
// clock of NOMINAL_HZ, each statistic of an aggregate that of the cycles. A
// time measured in seconds would move with the core clock from run to run
// (some per cent on a virtual machine), and a comparison of two runs with it.
void time_per_operation(benchmark::BenchmarkReporter::Run& run) {
    const double cycles = counter(run, "cycles/op");
    if (run.error_occurred || cycles < 0) return;
    if (run.run_type == benchmark::BenchmarkReporter::Run::RT_Aggregate &&
        run.aggregate_unit == benchmark::StatisticUnit::kPercentage) {
        run.real_accumulated_time = run.cpu_accumulated_time = cycles;
        return;
    }
    run.real_accumulated_time = run.cpu_accumulated_time =
        cycles / NOMINAL_HZ * static_cast<double>(run.iterations);
}

}  // namespace

int flush_error(std::ostream& one, std::ostream& other) {
    if (one.flush() && other.flush()) return 0;
    return errno != 0 ? errno : EIO;
}

void rows_end::finish() {
    if (done) return;
    done = true;
    how->rows_done = true;
    const double after = calibrate(*how);
    judged->judge_clock(per_tick_before, after);
    const double change = (after / per_tick_before - 1) * 100;
    benchmark::AddCustomContext("core_cycles_per_tick_after",
                                fixed(after, 4) + " (" + (change >= 0 ? "+" : "") +
                                    fixed(change, 2) + " % from before; beyond " +
                                    fixed(CALIBRATION_MARGIN * 100, 0) + " % the run fails)");
    benchmark::AddCustomContext("verdict", judged->text());
}

bool after_the_rows::ReportContext(const Context& context) {
    context_ = &context;
    return true;
}

// Control rows and the rows that hold a MUL are judged on the runs
// reported, not on the library's first short tries at an iteration count.
void after_the_rows::ReportRuns(const std::vector<Run>& runs) {
    runs_.push_back(runs);
    for (const Run& run : runs) {
        if (run.error_occurred && run.error_message == WRONG_RESULT) end_->wrong_result = true;
        const double cycles = counter(run, "cycles/op");
        if (run.run_type != Run::RT_Iteration || run.error_occurred || cycles < 0) continue;
        const std::string& row = run.run_name.function_name;
        if (counter(run, "samples") < ROW_SAMPLES_AT_LEAST) {
            end_->too_few = true;
            continue;  // no figure: neither the calibration nor the row is judged on it
        }
        if (row == CONTROL_ROW) end_->judged->judge_control(cycles);
        if (holds_a_mul(row)) end_->judged->judge_floor(row, cycles, "MUL r32", end_->mul_floor);
    }
}

void after_the_rows::Finalize() {
    end_->finish();
    errno = 0;  // a failed write leaves its error number; the flush below may not
    const verdict& judged = *end_->judged;
    for (std::vector<Run>& runs : runs_) {
        for (Run& run : runs) {
            const std::string& row = run.run_name.function_name;
            time_per_operation(run);
            const double samples = counter(run, "samples");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && samples >= 0 &&
                samples < ROW_SAMPLES_AT_LEAST) {
                run.error_occurred = true;
                run.error_message = "the least of " + fixed(samples, 0) + " samples, fewer than " +
                                    std::to_string(ROW_SAMPLES_AT_LEAST) + ": no figure";
            }
            if (!judged.control_failure.empty() && row == CONTROL_ROW) {
                run.error_occurred = true;
                run.error_message = judged.control_failure;
            }
            for (const std::string& impossible : judged.impossible_rows) {
                if (impossible.compare(0, row.size() + 1, row + " ") == 0) {
                    run.error_occurred = true;
                    run.error_message = impossible;
                }
            }
        }
    }
    shown_->SetOutputStream(&GetOutputStream());
    shown_->SetErrorStream(&GetErrorStream());
    if (context_ != nullptr && shown_->ReportContext(*context_)) {
        for (const std::vector<Run>& runs : runs_) shown_->ReportRuns(runs);
        shown_->Finalize();
    }
    write_error_ = flush_error(GetOutputStream(), GetErrorStream());
}
