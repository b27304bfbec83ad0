#include "main.h"

#include "console.h"
#include "platform.h"
#include "range_check.h"
#include "timing.h"

namespace {

constexpr DWORD START_DELAY_MS = 3000;
constexpr UINT EXIT_CODE = 0;
constexpr fixed_text RANGE_PROMPT{"Press any key to test range..."};
constexpr fixed_text EXIT_PROMPT{"Press any key to exit..."};

}  // namespace

void run_sequence() {
    attach_console();
    Sleep(START_DELAY_MS);
    time_kernel<div_kernel>(div_cycles_buffer, DIV_LABEL.bytes);
    time_kernel<reciprocal_kernel>(reciprocal_cycles_buffer, RECIPROCAL_LABEL.bytes);
    report_count_doubt();
    wait_for_key(RANGE_PROMPT.bytes);
    print_text(LINE_BREAK.bytes);
    report_mismatch(verify_range());
    exit_sequence();
}

void exit_sequence() {
    wait_for_key(EXIT_PROMPT.bytes);
    print_text(LINE_BREAK.bytes);
    ExitProcess(EXIT_CODE);
}

int main() { run_sequence(); }
