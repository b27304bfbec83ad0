#pragma once
// div100-bench's verdict on its own figures: whether the calibration holds
// (its controls read what their core's table expects, the core clock held
// still), and whether any row reads faster than an instruction in it can go.
// One value, made by main and filled as the figures come in.
#include <string>
#include <vector>

#include "cores.h"

// How far a control may read from what its core's table expects, and the
// calibrations before and after the rows from each other: within 10 %, so
// that a calibration 11 % off (a ninth more ADDs than it counts) fails.
constexpr double CONTROL_MARGIN = 0.10;
constexpr double CALIBRATION_MARGIN = 0.10;
// How far a throughput row may read below the slowest instruction in it, as
// the bench's own row of that instruction reads it: the two are measured
// apart, each to within some per cent.
constexpr double FLOOR_MARGIN = 0.10;

struct verdict {
    const core_entry* core = nullptr;
    std::string control_failure;  // the first control figure off its band
    std::string clock_failure;
    std::vector<std::string> impossible_rows;  // rows faster than their slowest instruction

    double expected_control() const { return core->imul_latency; }
    bool control_holds(double cycles) const;

    // A figure of the control chain (the bench's own, or a row reported).
    void judge_control(double cycles);
    // The core cycles per tick of the calibrations before and after the rows.
    void judge_clock(double before, double after);
    // A throughput row against instruction's own row, floor cycles.
    void judge_floor(const std::string& row, double cycles, const char* instruction, double floor);

    bool holds() const;
    // "holds: ..." or "fails: ...", for the context; each failure for a line
    // on standard error.
    std::string text() const;
    std::vector<std::string> failures() const;
};

// A figure as text, to decimals places.
std::string fixed(double value, int decimals);
