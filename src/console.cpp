#include "console.h"

#include <cstring>

#include "platform.h"

namespace {

constexpr DWORD KEY_POLL_MS = 1;
constexpr int DECIMAL = 10;
constexpr fixed_text OUTPUT_LOST_TEXT{"div100: cannot write the output: "};
constexpr std::size_t REASON_SIZE = 200;

// A write of the transcript failed: the run ends at once. A reader that went
// away ends it quietly, as a pipeline expects (on Linux SIGPIPE has ended
// the process before the failure comes back); any other failure is said on
// standard error, in one line.
[[noreturn]] void end_with_output_lost() {
    const DWORD error = GetLastError();
    if (error != ERROR_BROKEN_PIPE && error != ERROR_NO_DATA) {
        char reason[REASON_SIZE];
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, reason, REASON_SIZE, nullptr);
        // Windows ends its text in ".\r\n"; the line ends in one line break.
        while (length > 0 && (reason[length - 1] == '\n' || reason[length - 1] == '\r' ||
                              reason[length - 1] == '.')) {
            --length;
        }
        print_error_line(OUTPUT_LOST_TEXT.bytes, reason, length);
    }
    ExitProcess(EXIT_OUTPUT_LOST);
}

}  // namespace

std::uint32_t print_text(const char* text) {
    DWORD written = 0;
    if (WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, text_length(text), &written, nullptr) ==
        FALSE) {
        end_with_output_lost();
    }
    return written;
}

void print_error(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, text_length(text), &written, nullptr);
}

void print_error_line(const char* lead, const char* detail, std::uint32_t detail_length) {
    // Zeros to the end: text_length reads whole words.
    char line[ERROR_LINE_SIZE] = {};
    std::uint32_t length = text_length(lead);
    if (detail_length > sizeof line - length - sizeof LINE_BREAK.bytes) {
        detail_length = static_cast<std::uint32_t>(sizeof line - length - sizeof LINE_BREAK.bytes);
    }
    std::memcpy(line, lead, length);
    std::memcpy(line + length, detail, detail_length);
    std::memcpy(line + length + detail_length, LINE_BREAK.bytes, sizeof LINE_BREAK.bytes);
    print_error(line);
}

std::uint32_t text_length(const char* text) {
    const char* word = text;
    for (;;) {
        std::uint32_t w;
        std::memcpy(&w, word, sizeof w);  // little-endian: byte 0 is the low byte
        // The top bit of a byte is set in t where that byte is zero; bytes
        // above a zero byte may be flagged too, so the lowest flag counts.
        const std::uint32_t t = (w - 0x01010101u) & ~w & 0x80808080u;
        if (t != 0) {
            const std::uint32_t byte =
                (t & 0x8080u) != 0 ? ((t & 0x80u) != 0 ? 0 : 1) : ((t & 0x800000u) != 0 ? 2 : 3);
            return static_cast<std::uint32_t>(word - text) + byte;
        }
        word += sizeof w;
    }
}

void render_decimal(std::uint32_t value, char* buffer) { _ultoa(value, buffer, DECIMAL); }

void wait_for_key(const char* prompt) {
    // The keys come from the console itself, whatever standard input is: the
    // runtime's _kbhit and _getch read CONIN$, not the standard input handle.
    // What was typed so far is discarded before the prompt shows, so that
    // every key typed once it shows counts.
    HANDLE const console =
        CreateFileA(CONSOLE_INPUT_NAME, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    BOOL flushed = FALSE;
    if (console != INVALID_HANDLE_VALUE) {
        flushed = FlushConsoleInputBuffer(console);
        CloseHandle(console);
    }
    // A key that yields two codes (arrows, F1 to F12, Home, Delete ...) leaves
    // its second in the runtime's own one-code buffer, out of the flush's
    // reach. Once the console is empty, a code still waiting is that one.
    if (flushed != FALSE && _kbhit() != 0) _getch();
    print_text(prompt);
    // A process with no console can never get a key, so it does not wait.
    if (console == INVALID_HANDLE_VALUE) return;
    do {
        Sleep(KEY_POLL_MS);
    } while (_kbhit() == 0);
    _getch();
}
