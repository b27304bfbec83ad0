// The console's input on a POSIX system: standard input, where it is a
// terminal, is the console, and the calls that read keys from it have the
// meaning they have on a Windows console. Its key mode, the signals that give
// it back, and what a Windows console does by itself that a terminal needs
// done are terminal_posix.cpp's.
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "platform_posix.h"
#include "terminal_posix.h"

namespace host {

namespace {

using terminal::CONSOLE_FD;
constexpr int NO_KEY = -1;

// Input a key wait reads rather than polls: not a terminal (a pipe, a file,
// a socket, nothing), or a terminal that has hung up.
bool input_is_read() { return isatty(CONSOLE_FD) == 0; }

}  // namespace

// The console's input is standard input: CONSOLE_INPUT_NAME opens it, and
// closing it leaves it open. Nothing else can be opened.
HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    return std::strcmp(name, CONSOLE_INPUT_NAME) == 0 ? handle_of(CONSOLE_FD)
                                                      : INVALID_HANDLE_VALUE;
}

BOOL CloseHandle(HANDLE) { return TRUE; }

// Discards what has been typed at the console and not yet read. Input that
// is not a terminal is no console: nothing is discarded and the call fails,
// as on Windows.
BOOL FlushConsoleInputBuffer(HANDLE input) {
    return isatty(fd_of(input)) != 0 && terminal::discard_typed_keys() ? TRUE : FALSE;
}

// Waits until the object, the console's input, has something to read (or
// has hung up), at most milliseconds. A signal ends the wait early, as a
// timeout: the caller looks again.
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    terminal::write_prompt_again_after_fg();
    pollfd ready = {fd_of(object), POLLIN, 0};
    const int count =
        poll(&ready, 1, milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds));
    if (count > 0) return WAIT_OBJECT_0;
    if (count == 0 || errno == EINTR) return WAIT_TIMEOUT;
    set_last_error(ERRNO_ERROR | static_cast<DWORD>(errno));
    return WAIT_FAILED;
}

// A terminal holds bytes, not events: there are none to look at or take.
BOOL PeekConsoleInputA(HANDLE, INPUT_RECORD*, DWORD, LPDWORD count) {
    *count = 0;
    return FALSE;
}
BOOL ReadConsoleInputA(HANDLE, INPUT_RECORD*, DWORD, LPDWORD count) {
    *count = 0;
    return FALSE;
}

// Non-zero when a key can be read at once. Input that is not a terminal is
// read, not polled (poll does not see a FIFO that never had a writer, or a
// listening socket): a byte, or its end or an error, always comes, so the
// answer is yes.
int _kbhit() {
    if (input_is_read()) return 1;
    // In the background the keys are the foreground job's, and reading them
    // would stop the process: none is ours.
    if (!terminal::take_key_mode_when_polled()) return 0;
    pollfd ready = {CONSOLE_FD, POLLIN, 0};
    int count;
    do {
        count = poll(&ready, 1, 0);
    } while (count < 0 && errno == EINTR);
    return count > 0 ? 1 : 0;  // a poll that fails finds no key
}

// One byte of input, waited for; NO_KEY at end of input or on an error.
int _getch() {
    unsigned char key;
    for (;;) {
        const ssize_t count = read(CONSOLE_FD, &key, 1);
        if (count == 1) return key;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready = {CONSOLE_FD, POLLIN, 0};
            poll(&ready, 1, -1);
            continue;
        }
        return NO_KEY;
    }
}

}  // namespace host

namespace {
constexpr unsigned long LEAST_TIMER_SLACK_NS = 1;
}  // namespace

void attach_console() {
    std::signal(SIGXFSZ, SIG_IGN);
    // The 968 one-millisecond sleeps of the range check, each about a
    // millisecond, not one plus the kernel's default 50 microsecond slack.
    prctl(PR_SET_TIMERSLACK, LEAST_TIMER_SLACK_NS);
    if (isatty(host::terminal::CONSOLE_FD) != 0) host::terminal::attach();
}

// A terminal that cannot be polled (poll fails with EINVAL where the limit on
// open files is 0) can never show that a key is there.
const char* keys_unavailable() {
    static char why[100];
    if (isatty(host::terminal::CONSOLE_FD) == 0) return nullptr;
    pollfd ready = {host::terminal::CONSOLE_FD, POLLIN, 0};
    if (poll(&ready, 1, 0) >= 0 || errno == EINTR) return nullptr;
    std::snprintf(why, sizeof why, "the terminal cannot be polled (%s)", std::strerror(errno));
    return why;
}
