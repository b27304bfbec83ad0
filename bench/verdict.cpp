#include "verdict.h"

#include <cmath>
#include <cstdio>

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

bool verdict::control_holds(double cycles) const {
    return cycles >= expected_control() * (1 - CONTROL_MARGIN) &&
           cycles <= expected_control() * (1 + CONTROL_MARGIN);
}

void verdict::judge_control(double cycles) {
    if (control_holds(cycles) || !control_failure.empty()) return;
    control_failure = "control " + fixed(cycles, 2) + ", expected " + fixed(expected_control(), 0) +
                      " on this core (" + core->name + "): the calibration does not hold here";
}

void verdict::judge_clock(double before, double after) {
    if (std::fabs(after / before - 1) <= CALIBRATION_MARGIN) return;
    clock_failure = "the core clock changed during the run (" + fixed(before, 4) + ", then " +
                    fixed(after, 4) + " cycles per tick): the cycle counts do not hold";
}

void verdict::judge_floor(const std::string& row, double cycles, const char* instruction,
                          double floor) {
    if (cycles >= floor * (1 - FLOOR_MARGIN)) return;
    for (const std::string& named : impossible_rows) {
        if (named.compare(0, row.size() + 1, row + " ") == 0) return;  // a repetition of it
    }
    impossible_rows.push_back(row + " reads " + fixed(cycles, 2) + " cycles, faster than its " +
                              instruction + " alone (" + fixed(floor, 2) +
                              "): it cannot be a true figure");
}

bool verdict::holds() const { return failures().empty(); }

std::vector<std::string> verdict::failures() const {
    std::vector<std::string> all;
    if (!control_failure.empty()) all.push_back(control_failure);
    if (!clock_failure.empty()) all.push_back(clock_failure);
    all.insert(all.end(), impossible_rows.begin(), impossible_rows.end());
    return all;
}

std::string verdict::text() const {
    const std::vector<std::string> all = failures();
    if (all.empty()) {
        return "holds: the control within " + fixed(CONTROL_MARGIN * 100, 0) + " % of " +
               fixed(expected_control(), 0) + " cycles, expected on this core (" + core->name +
               "), the calibrations within " + fixed(CALIBRATION_MARGIN * 100, 0) +
               " %, no row faster than the slowest instruction in it";
    }
    std::string text = "fails: ";
    for (std::size_t i = 0; i < all.size(); ++i) text += (i == 0 ? "" : "; ") + all[i];
    return text;
}
