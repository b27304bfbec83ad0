#include "main.h"

#include <cstring>

#include "console.h"
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
constexpr UINT EXIT_BAD_ARGUMENT = 2;
#ifdef _WIN32
#define HELP_NAMES "-h, --help, /?    "
#else
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
constexpr fixed_text UNKNOWN_ARGUMENT{"div100: unknown argument: "};
// The longest part of an unknown argument repeated back.
constexpr std::size_t ARGUMENT_SHOWN = 200;

bool is_help(const char* argument) {
    return std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0
#ifdef _WIN32
           || std::strcmp(argument, "/?") == 0
#endif
        ;
}

bool is_version(const char* argument) {
    return std::strcmp(argument, "-V") == 0 || std::strcmp(argument, "--version") == 0;
}

#ifdef _WIN32
// The refused argument as typed. msvcrt hands it over in the ANSI code page,
// which is not the one a console shows (its output code page, an OEM one):
// where standard error is a console the line goes to it as UTF-16, elsewhere
// in the console's output code page (the ANSI one where there is no console).
// Cut at ARGUMENT_SHOWN characters.
void print_refused(const char* argument) {
    wchar_t line[ERROR_LINE_SIZE];
    int length = 0;
    for (const char* lead = UNKNOWN_ARGUMENT.bytes; *lead != '\0'; ++lead) line[length++] = *lead;
    const int bytes = static_cast<int>(strnlen(argument, ARGUMENT_SHOWN));
    length += MultiByteToWideChar(CP_ACP, 0, argument, bytes, line + length, ARGUMENT_SHOWN);
    line[length++] = '\r';
    line[length++] = '\n';
    HANDLE const errors = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(errors, &mode) != FALSE) {
        WriteConsoleW(errors, line, static_cast<DWORD>(length), &written, nullptr);
        return;
    }
    UINT page = GetConsoleOutputCP();
    if (page == 0) page = CP_ACP;
    char shown[ERROR_LINE_SIZE * 4];
    const int count =
        WideCharToMultiByte(page, 0, line, length, shown, sizeof shown, nullptr, nullptr);
    WriteFile(errors, shown, static_cast<DWORD>(count), &written, nullptr);
}
#else
// The refused argument's bytes, cut at ARGUMENT_SHOWN on a UTF-8 character's
// first byte, so that the line stays valid UTF-8 where the argument is.
void print_refused(const char* argument) {
    std::size_t length = strnlen(argument, ARGUMENT_SHOWN);
    if (length == ARGUMENT_SHOWN) {
        while (length > 0 && (static_cast<unsigned char>(argument[length]) & 0xC0) == 0x80)
            --length;
    }
    print_error_line(UNKNOWN_ARGUMENT.bytes, argument, static_cast<std::uint32_t>(length));
}
#endif

// Refuses an argument the tool does not know, on standard error: its name
// (cut at ARGUMENT_SHOWN characters), then the usage.
[[noreturn]] void refuse(const char* argument) {
    print_refused(argument);
    print_error(USAGE.bytes);
    ExitProcess(EXIT_BAD_ARGUMENT);
}

// With arguments, answers --help or --version, or refuses the first unknown
// one, and ends the process without measuring or waiting; with none, returns.
void answer_arguments(int argc, char** argv) {
    if (argc < 2) return;
    for (int i = 1; i < argc; ++i) {
        if (!is_help(argv[i]) && !is_version(argv[i])) refuse(argv[i]);
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

int main(int argc, char** argv) {
    answer_arguments(argc, argv);
    run_sequence();
}
