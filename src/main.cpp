#include "main.h"

#include <cstring>

#include "console.h"
#include "doubt.h"
#include "platform.h"
#include "range_check.h"
#include "timing.h"

namespace {

constexpr DWORD START_DELAY_MS = 3000;
constexpr UINT EXIT_CODE = 0;
constexpr fixed_text RANGE_PROMPT{"Press any key to test range..."};
constexpr fixed_text EXIT_PROMPT{"Press any key to exit..."};

// Arguments: only the two that every user tries first; the run itself takes
// none.
// On Windows "/?" asks for help too, as Windows programs take it.
#ifdef _WIN32
constexpr bool SLASH_HELP = true;
#define HELP_NAMES "-h, --help, /?    "
#else
constexpr bool SLASH_HELP = false;
#define HELP_NAMES "-h, --help        "
#endif
constexpr fixed_text USAGE{
    "Usage: div100 [--help | --version]\r\n"
    "\r\n"
    "Times the processor's 32-bit DIV against the multiply-by-reciprocal\r\n"
    "sequence for n / 100 in time-stamp-counter cycles, waits for a key, checks\r\n"
    "the reciprocal against DIV from 4294000000 upward, reports the first\r\n"
    "mismatch, and waits for a key to exit. Any key answers either prompt; with\r\n"
    "input at its end, or no console, each prompt ends at once. The run takes\r\n"
    "no options.\r\n"
    "\r\n"
    "  " HELP_NAMES
    "print this and exit\r\n"
    "  -V, --version     print the version and exit\r\n"
    "\r\n"
    "Exit status: 0 when the run ends, 1 when the output cannot be written,\r\n"
    "2 for an unknown argument.\r\n"};
constexpr fixed_text VERSION_LINE{"div100 " DIV100_VERSION "\r\n"};

bool is_help(const char* argument) {
    return std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0 ||
           (SLASH_HELP && std::strcmp(argument, "/?") == 0);
}

bool is_version(const char* argument) {
    return std::strcmp(argument, "-V") == 0 || std::strcmp(argument, "--version") == 0;
}

// With arguments, answers --help or --version, or refuses the first unknown
// one, and ends the process without measuring or waiting; with none, returns.
void answer_arguments(int argc, char** argv) {
    if (argc < 2) return;
    for (int i = 1; i < argc; ++i) {
        if (!is_help(argv[i]) && !is_version(argv[i])) refuse_argument(argv[i], USAGE.bytes);
    }
    print_text(is_help(argv[1]) ? USAGE.bytes : VERSION_LINE.bytes);
    ExitProcess(EXIT_CODE);
}

}  // namespace

void run_sequence() {
    attach_console();
    Sleep(START_DELAY_MS);
    time_kernel<div_kernel>(div_cycles_buffer, DIV_LABEL.bytes);
    time_kernel<reciprocal_kernel>(reciprocal_cycles_buffer, RECIPROCAL_LABEL.bytes);
    report_count_doubt(overhead_cycles);  // the last timing run's least empty sample
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

int main(int argc, char** argv) {
    answer_arguments(argc, argv);
    run_sequence();
}
