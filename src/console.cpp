#include "console.h"

#include <cstring>

#include "platform.h"

namespace {

// The longest a key wait waits on the console before it polls again: a key,
// or on a POSIX terminal a signal or a hang-up, ends the wait at once, so
// this only bounds how often an idle prompt wakes (10 times a second).
constexpr DWORD KEY_WAIT_MS = 100;
// What the console is given to take in keys typed before a prompt, and how
// often, at most, while keys keep coming.
constexpr DWORD KEY_SETTLE_MS = 50;
constexpr int KEY_SETTLE_ROUNDS = 10;
constexpr fixed_text KEYLESS_TEXT{"div100: no key can come: "};
bool keyless_said = false;
constexpr DWORD EVENTS_AT_ONCE = 16;
constexpr int DECIMAL = 10;
constexpr fixed_text OUTPUT_LOST_TEXT{"div100: cannot write the output: "};
constexpr fixed_text UNKNOWN_ARGUMENT{"div100: unknown argument: "};
constexpr std::size_t REASON_SIZE = 200;

// A write of the transcript failed: the run ends at once. A reader that went
// away ends it quietly, as a pipeline expects (on Linux SIGPIPE has ended
// the process before the failure comes back; wine reports a Unix pipe whose
// reader has gone as not connected); any other failure is said on standard
// error, in one line.
[[noreturn]] void end_with_output_lost() {
    const DWORD error = GetLastError();
    if (error != ERROR_BROKEN_PIPE && error != ERROR_NO_DATA && error != ERROR_PIPE_NOT_CONNECTED) {
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

// Takes the events at the head of the console's input out where none of them
// is a key pressed (focus, mouse, buffer size, keys released), so that a wait
// on the console blocks again; true where it did. They are the oldest, so
// reading as many as were looked at takes exactly those.
bool discard_events_that_are_no_keys(HANDLE console) {
    INPUT_RECORD events[EVENTS_AT_ONCE];
    DWORD count = 0;
    if (PeekConsoleInputA(console, events, EVENTS_AT_ONCE, &count) == FALSE || count == 0) {
        return false;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (events[i].EventType == KEY_EVENT && events[i].Event.KeyEvent.bKeyDown != FALSE) {
            return false;
        }
    }
    return ReadConsoleInputA(console, events, count, &count) != FALSE;
}

// What was typed at the console so far, discarded before the prompt shows,
// so that every key typed once it shows counts. A console that takes input
// in only while it is waited on (wine's, on a terminal) is given
// KEY_SETTLE_MS to take in what was typed, as often as it finds some.
void discard_keys_typed_so_far(HANDLE console) {
    if (console == INVALID_HANDLE_VALUE || FlushConsoleInputBuffer(console) == FALSE) return;
    for (int round = 0;
         round < KEY_SETTLE_ROUNDS && WaitForSingleObject(console, KEY_SETTLE_MS) == WAIT_OBJECT_0;
         ++round) {
        FlushConsoleInputBuffer(console);
    }
    // A key that yields two codes (arrows, F1 to F12, Home, Delete ...) leaves
    // its second in the runtime's own one-code buffer, out of the flush's
    // reach. Once the console is empty, a code still waiting is that one.
    if (_kbhit() != 0) _getch();
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
    // A console that can never deliver one is said once, and taken for none.
    const char* const keyless = keys_unavailable();
    if (keyless != nullptr && !keyless_said) {
        print_error_line(KEYLESS_TEXT.bytes, keyless,
                         static_cast<std::uint32_t>(std::strlen(keyless)));
        keyless_said = true;
    }
    HANDLE const console =
        keyless != nullptr
            ? INVALID_HANDLE_VALUE
            : CreateFileA(CONSOLE_INPUT_NAME, GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    discard_keys_typed_so_far(console);
    print_text(prompt);
    // A process with no console can never get a key, so it does not wait.
    if (console == INVALID_HANDLE_VALUE) return;
    // Between polls it waits on the console's input, up to KEY_WAIT_MS, so
    // that a console which takes input in only while it is waited on (wine's,
    // on a terminal) is seen. A wait that ends with no key to read (the
    // console holds only events that are none: focus, mouse, buffer size)
    // takes those events out, or where it cannot sleeps, so that they never
    // make it spin.
    for (;;) {
        const DWORD waited = WaitForSingleObject(console, KEY_WAIT_MS);
        if (_kbhit() != 0) break;
        if (waited != WAIT_TIMEOUT && !discard_events_that_are_no_keys(console)) Sleep(KEY_WAIT_MS);
    }
    _getch();
    CloseHandle(console);
}

void refuse_argument(const char* argument, const char* usage) {
    write_typed_line(UNKNOWN_ARGUMENT.bytes, argument, ARGUMENT_SHOWN);
    print_error(usage);
    ExitProcess(EXIT_BAD_ARGUMENT);
}
